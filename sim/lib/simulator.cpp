// The Simulator's public members: lifecycle, scripting, state and records, each a
// short step under the core's lock.
#include <algorithm>
#include <thread>

#include "core.h"

namespace rv270sim {

namespace {

template <typename T>
std::vector<T> ToVector(const std::deque<T>& d) {
  return std::vector<T>(d.begin(), d.end());
}

}  // namespace

Simulator::Simulator() : core_(std::make_shared<Core>()) { RegisterBuiltInCommands(core_->commands); }

Simulator::~Simulator() { Stop(); }

bool Simulator::StartUsb(uint16_t port) {
  std::lock_guard<std::mutex> life(core_->lifeMu);
  if (core_->usb) return true;
  uint16_t bound = 0;
  core_->usb = StartUsbTransport(*core_, port, bound, core_->lastError);
  if (!core_->usb) return false;
  core_->usbPort = bound;
  return true;
}

std::string Simulator::UsbAddress() const {
  std::lock_guard<std::mutex> life(core_->lifeMu);
  return core_->usb ? "127.0.0.1:" + std::to_string(core_->usbPort) : std::string();
}

uint16_t Simulator::UsbPort() const {
  std::lock_guard<std::mutex> life(core_->lifeMu);
  return core_->usb ? core_->usbPort : 0;
}

void Simulator::SetSerialPortName(const std::string& name) {
  std::lock_guard<std::mutex> life(core_->lifeMu);
  core_->serialName = name;
}

bool Simulator::StartSerial() {
  std::lock_guard<std::mutex> life(core_->lifeMu);
  if (core_->serial) return true;
  core_->serial = StartSerialTransport(*core_, core_->serialName, core_->serialPath, core_->lastError);
  return core_->serial != nullptr;
}

std::string Simulator::SerialDevicePath() const {
  std::lock_guard<std::mutex> life(core_->lifeMu);
  return core_->serial ? core_->serialPath : std::string();
}

void Simulator::Stop() {
  std::unique_ptr<Transport> usb, serial;
  {
    std::lock_guard<std::mutex> life(core_->lifeMu);
    usb = std::move(core_->usb);
    serial = std::move(core_->serial);
  }
  usb.reset();  // joins the thread, closes the sockets
  serial.reset();
  std::lock_guard<std::mutex> lock(core_->mu);
  core_->outgoing.clear();
}

void Simulator::Unplug(Link link) {
  std::unique_ptr<Transport> serial;
  if (link == Link::kSerial) {
    std::lock_guard<std::mutex> life(core_->lifeMu);
    serial = std::move(core_->serial);
  }
  serial.reset();  // joins the thread, closes the line
  std::lock_guard<std::mutex> lock(core_->mu);
  if (link == Link::kUsb) core_->usbUnplugged = true;
  core_->outgoing.remove_if([link](const Outgoing& item) { return item.link == link; });
  // A terminal that loses its line gives up the transfer it was in.
  if (core_->session.link == link) core_->session.kind = FileSession::Kind::kNone;
}

bool Simulator::Plug(Link link) {
  if (link == Link::kSerial) return StartSerial();
  std::lock_guard<std::mutex> lock(core_->mu);
  core_->usbUnplugged = false;
  return true;
}

std::string Simulator::LastError() const {
  std::lock_guard<std::mutex> life(core_->lifeMu);
  return core_->lastError;
}

void Simulator::SetDevices(const std::vector<DeviceRecord>& records) {
  std::lock_guard<std::mutex> lock(core_->mu);
  core_->devices = records;
}

std::vector<DeviceRecord> Simulator::Devices() const {
  std::lock_guard<std::mutex> lock(core_->mu);
  return core_->devices;
}

void Simulator::SetFeatureReportsWork(bool work) {
  std::lock_guard<std::mutex> lock(core_->mu);
  core_->featureReportsWork = work;
}

void Simulator::SetHandler(uint8_t cls, uint8_t cmd, CommandHandler handler, CommandKind kind) {
  std::lock_guard<std::mutex> lock(core_->mu);
  core_->commands.Add(cls, cmd, std::move(handler), kind);
}

void Simulator::ScriptNext(const Answer& answer) {
  std::lock_guard<std::mutex> lock(core_->mu);
  core_->scripts.push_back(Core::Scripted{true, 0, 0, answer});
}

void Simulator::ScriptNext(uint8_t cls, uint8_t cmd, const Answer& answer) {
  std::lock_guard<std::mutex> lock(core_->mu);
  core_->scripts.push_back(Core::Scripted{false, cls, cmd, answer});
}

void Simulator::FaultNextAnswer(const Faults& faults) {
  std::lock_guard<std::mutex> lock(core_->mu);
  core_->faults.push_back(faults);
}

void Simulator::SetCustomerOutcome(const Bytes& answer, int delayMs) {
  std::lock_guard<std::mutex> lock(core_->mu);
  core_->state.customerAnswer = answer;
  core_->state.customerDelayMs = delayMs;
}

void Simulator::ClearScripts() {
  std::lock_guard<std::mutex> lock(core_->mu);
  core_->scripts.clear();
  core_->faults.clear();
  core_->rawReplies[0].clear();
  core_->rawReplies[1].clear();
  core_->transferFaults = TransferFaults();
}

void Simulator::SendRaw(Link link, const RawSend& send) {
  std::lock_guard<std::mutex> lock(core_->mu);
  Outgoing item;
  item.link = link;
  item.chunks = send.chunks;
  item.cut = true;
  item.gapMs = send.gapMs;
  item.due = Clock::now() + std::chrono::milliseconds(std::max(0, send.delayMs));
  item.seq = core_->nextSeq++;
  core_->outgoing.push_back(std::move(item));
}

void Simulator::ReplyToNextRawSequence(Link link, const RawSend& send) {
  std::lock_guard<std::mutex> lock(core_->mu);
  core_->rawReplies[static_cast<int>(link)].push_back(send);
}

void Simulator::SendUnsolicited(Link link, const Bytes& payload, int delayMs, const Faults& faults) {
  std::lock_guard<std::mutex> lock(core_->mu);
  Outgoing item;
  item.link = link;
  item.isPacket = true;
  item.packet = BuildPacket(payload, faults);
  item.dropReport = faults.dropReport;
  item.chunkBytes = faults.chunkBytes;
  item.gapMs = faults.chunkGapMs;
  item.due = Clock::now() + std::chrono::milliseconds(std::max(0, delayMs));
  item.seq = core_->nextSeq++;
  core_->outgoing.push_back(std::move(item));
}

bool Simulator::KeptFileContent(int category, const std::string& name, Bytes& content) const {
  std::lock_guard<std::mutex> lock(core_->mu);
  auto it = core_->state.files.find({category, name});
  if (it == core_->state.files.end() || !it->second.kept) return false;
  content = it->second.content;
  return true;
}

DeviceState Simulator::State() const {
  std::lock_guard<std::mutex> lock(core_->mu);
  return core_->state;
}

void Simulator::EditState(const std::function<void(DeviceState&)>& edit) {
  std::lock_guard<std::mutex> lock(core_->mu);
  edit(core_->state);
}

CustomerView Simulator::View(size_t lastRequests, bool withSignature) const {
  std::lock_guard<std::mutex> lock(core_->mu);
  const DeviceState& s = core_->state;
  CustomerView view;
  view.screen = s.screen;
  view.media = s.media;
  view.values = s.values;
  auto sign = s.files.find({9, "UserSign.png"});
  if (sign != s.files.end()) {
    view.hasSignature = true;
    view.signatureHash = sign->second.hash;
    if (withSignature && sign->second.kept) view.signature = sign->second.content;
  }
  const std::deque<RequestRecord>& all = core_->requests;
  view.lastRequests.assign(all.end() - static_cast<std::ptrdiff_t>(std::min(lastRequests, all.size())), all.end());
  view.customerWaiting = std::any_of(core_->outgoing.begin(), core_->outgoing.end(),
                                     [](const Outgoing& item) { return item.breakable; });
  core_->DescribeWait(view);
  return view;
}

std::vector<RequestRecord> Simulator::Requests() const {
  std::lock_guard<std::mutex> lock(core_->mu);
  return ToVector(core_->requests);
}

std::vector<Bytes> Simulator::RequestPayloads(Link link) const {
  std::lock_guard<std::mutex> lock(core_->mu);
  std::vector<Bytes> out;
  for (const RequestRecord& r : core_->requests) {
    if (r.link == link) out.push_back(r.payload);
  }
  return out;
}

std::vector<Bytes> Simulator::OutputReports() const {
  std::lock_guard<std::mutex> lock(core_->mu);
  return ToVector(core_->outputReports);
}

std::vector<FeatureRecord> Simulator::FeatureReports() const {
  std::lock_guard<std::mutex> lock(core_->mu);
  return ToVector(core_->features);
}

std::vector<RawRecord> Simulator::RawSequences() const {
  std::lock_guard<std::mutex> lock(core_->mu);
  return ToVector(core_->raws);
}

std::vector<BadPacketRecord> Simulator::BadPackets() const {
  std::lock_guard<std::mutex> lock(core_->mu);
  return ToVector(core_->badPackets);
}

Bytes Simulator::SerialBytes() const {
  std::lock_guard<std::mutex> lock(core_->mu);
  return Bytes(core_->serialBytes.begin(), core_->serialBytes.end());
}

std::vector<SerialSettings> Simulator::SerialSettingsSeen() const {
  std::lock_guard<std::mutex> lock(core_->mu);
  return core_->serialSettings;
}

std::string Simulator::ChannelSwitches() const {
  std::lock_guard<std::mutex> lock(core_->mu);
  return core_->channelLetters;
}

int Simulator::LinksOpened() const {
  std::lock_guard<std::mutex> lock(core_->mu);
  return core_->linksOpened;
}

int Simulator::LinksClosed() const {
  std::lock_guard<std::mutex> lock(core_->mu);
  return core_->linksClosed;
}

int Simulator::LinksOpenNow() const {
  std::lock_guard<std::mutex> lock(core_->mu);
  return core_->linksOpened - core_->linksClosed;
}

int Simulator::RefusedOpens() const {
  std::lock_guard<std::mutex> lock(core_->mu);
  return core_->refusedOpens;
}

int Simulator::DeviceSearches() const {
  std::lock_guard<std::mutex> lock(core_->mu);
  return core_->searches;
}

int Simulator::UndeliveredAnswers() const {
  std::lock_guard<std::mutex> lock(core_->mu);
  return core_->undelivered;
}

std::vector<std::string> Simulator::ProtocolErrors() const {
  std::lock_guard<std::mutex> lock(core_->mu);
  return core_->protocolErrors;
}

void Simulator::ClearRecords() {
  std::lock_guard<std::mutex> lock(core_->mu);
  Core& c = *core_;
  c.requests.clear();
  c.outputReports.clear();
  c.features.clear();
  c.raws.clear();
  c.badPackets.clear();
  c.serialBytes.clear();
  c.serialSettings.clear();
  c.channelLetters.clear();
  c.protocolErrors.clear();
  c.dataReports.clear();
  c.dataReportCount = 0;
  // Links still open stay counted as open.
  c.linksOpened -= c.linksClosed;
  c.linksClosed = 0;
  c.refusedOpens = 0;
  c.searches = 0;
  c.undelivered = 0;
}

bool Simulator::WaitUntil(const std::function<bool()>& condition, int timeoutMs) const {
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (condition()) return true;
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

bool Simulator::WaitForRequests(size_t count, int timeoutMs) const {
  return WaitUntil([this, count] { return Requests().size() >= count; }, timeoutMs);
}

bool Simulator::WaitForRawSequences(size_t count, int timeoutMs) const {
  return WaitUntil([this, count] { return RawSequences().size() >= count; }, timeoutMs);
}

bool Simulator::WaitForNoOpenLinks(int timeoutMs) const {
  return WaitUntil([this] { return LinksOpenNow() == 0; }, timeoutMs);
}

}  // namespace rv270sim
