// HID devices of a simulated terminal, reached over TCP.
//
// Device search: one connection, `E`, one `D` answer listing device records, close.
// Link: one connection per opened device, `O` + record index answered by `A` or `N`;
// then `W` output reports, `R` input reports (queued in arrival order), `S`/`s` and
// `G`/`g` feature reports. Any frame that breaks these rules ends the link: the
// connection is closed and every later call on the device fails.
#include "platform/sim/hid_sim.h"

#include <deque>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/socket.h"
#include "platform/time.h"

namespace platform {
namespace {

constexpr size_t kHeaderSize = 3;
// Bytes taken from the socket per TakeArrived call: a peer that never stops sending
// cannot keep a call busy forever.
constexpr size_t kMaxTakePerCall = 256 * 1024;

// A connection with its not yet consumed received bytes.
class FrameStream {
 public:
  explicit FrameStream(std::unique_ptr<TcpStream> stream) : stream_(std::move(stream)) {}

  bool Send(char type, const uint8_t* payload, size_t length) {
    if (!stream_ || length > 0xFFFF) return false;
    std::vector<uint8_t> frame(kHeaderSize + length);
    frame[0] = static_cast<uint8_t>(type);
    frame[1] = static_cast<uint8_t>(length >> 8);
    frame[2] = static_cast<uint8_t>(length & 0xFF);
    for (size_t i = 0; i < length; ++i) frame[kHeaderSize + i] = payload[i];
    return stream_->SendAll(frame.data(), frame.size());
  }

  // Appends what has arrived, without waiting. Frames that arrived before the peer
  // closed the connection stay readable; Ended() tells that nothing more will come.
  void TakeArrived() {
    if (!stream_ || ended_) return;
    uint8_t chunk[4096];
    size_t taken = 0;
    while (taken < kMaxTakePerCall) {
      const int n = stream_->Receive(chunk, sizeof(chunk));
      if (n < 0) ended_ = true;
      if (n <= 0) break;
      rx_.insert(rx_.end(), chunk, chunk + n);
      taken += static_cast<size_t>(n);
    }
  }

  bool Ended() const { return !stream_ || ended_; }

  // Waits in the kernel until more bytes may be taken. 1 readable, 0 time is up, -1 failure.
  int WaitArrival(uint32_t waitMs) { return stream_ ? stream_->WaitReadable(waitMs) : -1; }

  // The type and payload length of the frame at the front, once its header is here.
  bool PeekHeader(char& type, size_t& length) const {
    if (rx_.size() < kHeaderSize) return false;
    type = static_cast<char>(rx_[0]);
    length = (static_cast<size_t>(rx_[1]) << 8) | rx_[2];
    return true;
  }

  bool FrontComplete() const {
    char type = '\0';
    size_t length = 0;
    return PeekHeader(type, length) && rx_.size() >= kHeaderSize + length;
  }

  // Removes the complete front frame, handing its payload out when `payload` is set.
  void PopFrame(std::vector<uint8_t>* payload) {
    char type = '\0';
    size_t length = 0;
    if (!PeekHeader(type, length)) return;
    if (payload) payload->assign(rx_.begin() + kHeaderSize, rx_.begin() + kHeaderSize + length);
    rx_.erase(rx_.begin(), rx_.begin() + kHeaderSize + length);
  }

  bool HasPartialFrame() const { return !rx_.empty(); }
  char FrontType() const { return rx_.empty() ? '\0' : static_cast<char>(rx_[0]); }

  void Close() {
    stream_.reset();
    rx_.clear();
  }

 private:
  std::unique_ptr<TcpStream> stream_;
  std::vector<uint8_t> rx_;
  bool ended_ = false;
};

// Waits up to waitMs for one complete frame whose header `accepts` allows.
// False on time-out, a refused header, or a broken connection.
template <typename Accepts>
bool WaitOneFrame(FrameStream& fs, uint32_t waitMs, Accepts accepts, char& type,
                  std::vector<uint8_t>& payload) {
  const uint32_t start = TickMs();
  for (;;) {
    fs.TakeArrived();
    size_t length = 0;
    if (fs.PeekHeader(type, length)) {
      if (!accepts(type, length)) return false;
      if (fs.FrontComplete()) {
        fs.PopFrame(&payload);
        return true;
      }
    }
    if (fs.Ended()) return false;
    const uint32_t spent = TickMs() - start;
    if (spent >= waitMs || fs.WaitArrival(waitMs - spent) != 1) return false;
  }
}

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

// One device record of a `D` payload.
struct SimRecord {
  uint16_t vendorId;
  uint16_t productId;
  HidCaps caps;
  std::string className;
  std::string hardwareId;
};

// Splits a `D` payload into records. False when a record is cut short.
bool ParseDeviceList(const std::vector<uint8_t>& payload, std::vector<SimRecord>& out) {
  size_t at = 0;
  const size_t size = payload.size();
  auto text = [&](std::string& into) {
    if (at >= size || size - at - 1 < payload[at]) return false;
    const size_t k = payload[at];
    into.assign(reinterpret_cast<const char*>(payload.data()) + at + 1, k);
    at += 1 + k;
    return true;
  };
  while (at < size) {
    if (size - at < 10) return false;
    SimRecord r;
    const uint8_t* p = payload.data() + at;
    r.vendorId = Be16(p);
    r.productId = Be16(p + 2);
    r.caps.inputReportLength = Be16(p + 4);
    r.caps.outputReportLength = Be16(p + 6);
    r.caps.featureReportLength = Be16(p + 8);
    at += 10;
    if (!text(r.className) || !text(r.hardwareId)) return false;
    out.push_back(std::move(r));
  }
  return true;
}

// The record index of a simulator device path: decimal 0 to 255 (one `O` payload byte).
bool ParseRecordIndex(const std::string& path, uint8_t& index) {
  if (path.empty() || path.size() > 3) return false;
  unsigned value = 0;
  for (char c : path) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value > 255) return false;
  index = static_cast<uint8_t>(value);
  return true;
}

// One opened link to a simulated device.
class SimHidDevice : public HidDevice {
 public:
  SimHidDevice(FrameStream&& fs, const HidCaps& caps) : fs_(std::move(fs)), caps_(caps) {}

  bool SetFeature(const uint8_t* report, size_t length) override {
    if (failed_ || length == 0 || length > 0xFFFF) return false;
    if (!fs_.Send('S', report, length)) return Fail();
    std::vector<uint8_t> answer;
    if (!AwaitAnswer('s', answer)) return false;
    return answer[0] == 1;
  }

  bool GetFeature(uint8_t* report, size_t length) override {
    if (failed_ || length == 0 || length > 0xFFFF) return false;
    const uint8_t request[3] = {report[0], static_cast<uint8_t>(length >> 8),
                                static_cast<uint8_t>(length & 0xFF)};
    if (!fs_.Send('G', request, sizeof(request))) return Fail();
    getLength_ = length;
    std::vector<uint8_t> answer;
    if (!AwaitAnswer('g', answer)) return false;
    if (answer.empty()) return false;  // the simulated device refused the request
    for (size_t i = 0; i < length; ++i) report[i] = answer[i];
    return true;
  }

  bool WriteReport(const uint8_t* report, size_t length) override {
    if (failed_ || length != static_cast<size_t>(caps_.outputReportLength)) return false;
    return fs_.Send('W', report, length) || Fail();
  }

  void FlushInput() override {
    if (failed_ || !TakeAndSort()) return;
    reports_.clear();
    if (fs_.Ended()) {
      Fail();
      return;
    }
    // A report whose first bytes are already here was received too: drop it once whole.
    dropPartialReport_ = fs_.HasPartialFrame() && fs_.FrontType() == 'R';
  }

  int WaitInputReport(uint8_t* out, size_t length, uint32_t waitMs) override {
    if (failed_ || length != static_cast<size_t>(caps_.inputReportLength)) return -1;
    const uint32_t start = TickMs();
    for (;;) {
      if (!TakeAndSort()) return -1;
      if (!reports_.empty()) {
        const std::vector<uint8_t>& report = reports_.front();
        for (size_t i = 0; i < length; ++i) out[i] = report[i];
        reports_.pop_front();
        return 1;
      }
      if (fs_.Ended()) {
        Fail();
        return -1;
      }
      const uint32_t spent = TickMs() - start;
      if (spent >= waitMs) return 0;
      const int ready = fs_.WaitArrival(waitMs - spent);
      if (ready < 0) {
        Fail();
        return -1;
      }
      if (ready == 0) return 0;
    }
  }

  // Nothing is read into a caller's buffer in the background here.
  void CancelRead() override {}

 private:
  // Ends the link: closes the connection; every later call fails. Returns false.
  bool Fail() {
    failed_ = true;
    fs_.Close();
    reports_.clear();
    return false;
  }

  // Moves every complete frame that has arrived to where it belongs: input reports to
  // the queue, a feature answer to answer_. False (after closing) on a broken rule.
  bool TakeAndSort() {
    fs_.TakeArrived();
    char type;
    size_t length;
    while (fs_.PeekHeader(type, length)) {
      if (!Acceptable(type, length)) return Fail();
      if (!fs_.FrontComplete()) break;
      if (type == 'R') {
        std::vector<uint8_t> report;
        fs_.PopFrame(&report);
        if (dropPartialReport_) {
          dropPartialReport_ = false;
          continue;
        }
        if (reports_.size() >= sim::kMaxQueuedReports) reports_.pop_front();
        reports_.push_back(std::move(report));
      } else {
        fs_.PopFrame(&answer_);
        answerType_ = type;
        awaiting_ = '\0';
      }
      dropPartialReport_ = false;
    }
    return true;
  }

  // Whether a frame with this header may come now: input reports of the input report
  // length at any time; `s` (one byte) and `g` (the wanted length, or empty) only as
  // the answer that a feature request waits for.
  bool Acceptable(char type, size_t length) const {
    switch (type) {
      case 'R':
        return length == static_cast<size_t>(caps_.inputReportLength);
      case 's':
        return awaiting_ == 's' && length == 1;
      case 'g':
        return awaiting_ == 'g' && (length == 0 || length == getLength_);
      default:
        return false;
    }
  }

  // Waits a bounded time for the answer of the feature request just sent, keeping the
  // input reports that come before it. A missing answer ends the link: a late one
  // could otherwise be taken for the answer of the next request.
  bool AwaitAnswer(char type, std::vector<uint8_t>& answer) {
    awaiting_ = type;
    answerType_ = '\0';
    const uint32_t start = TickMs();
    for (;;) {
      if (!TakeAndSort()) return false;
      if (answerType_ == type) {
        answer.swap(answer_);
        answerType_ = '\0';
        return true;
      }
      if (fs_.Ended()) return Fail();
      const uint32_t spent = TickMs() - start;
      if (spent >= sim::kAnswerWaitMs || fs_.WaitArrival(sim::kAnswerWaitMs - spent) != 1) {
        return Fail();
      }
    }
  }

  FrameStream fs_;
  HidCaps caps_;
  bool failed_ = false;
  std::deque<std::vector<uint8_t>> reports_;
  bool dropPartialReport_ = false;
  char awaiting_ = '\0';    // 's' or 'g' while a feature request waits for its answer
  size_t getLength_ = 0;    // wanted length of the pending `G`
  char answerType_ = '\0';  // type of the answer in answer_, '\0' when none
  std::vector<uint8_t> answer_;
};

class SimHidBackend : public HidBackend {
 public:
  explicit SimHidBackend(std::string hostPort) : address_(std::move(hostPort)) {}

  void SetAddress(const std::string& hostPort) {
    std::lock_guard<std::mutex> lock(mutex_);
    address_ = hostPort;
  }

  // A simulator that cannot be reached, or answers with anything but a well-formed `D`,
  // gives false: the device list cannot be obtained (not an empty list).
  bool ListPresentDevices(std::vector<PresentDevice>& out) override {
    std::vector<SimRecord> records;
    if (!Search(records)) return false;
    for (SimRecord& r : records) out.push_back(PresentDevice{r.className, r.hardwareId});
    return true;
  }

  bool ListHidInterfaces(std::vector<HidInterface>& out, size_t maxCount) override {
    std::vector<SimRecord> records;
    if (!Search(records)) return false;
    for (size_t i = 0; i < records.size() && i < maxCount; ++i) {
      HidInterface iface;
      iface.path = std::to_string(i);
      iface.attributesRead = true;
      iface.vendorId = records[i].vendorId;
      iface.productId = records[i].productId;
      iface.caps = records[i].caps;
      out.push_back(iface);
    }
    return true;
  }

  std::unique_ptr<HidDevice> Open(const HidInterface& iface) override {
    uint8_t index = 0;
    if (!ParseRecordIndex(iface.path, index)) return nullptr;
    std::unique_ptr<TcpStream> stream = ConnectTcp(Address(), sim::kAnswerWaitMs);
    if (!stream) return nullptr;
    FrameStream fs(std::move(stream));
    if (!fs.Send('O', &index, 1)) return nullptr;
    char type = '\0';
    std::vector<uint8_t> payload;
    auto accepts = [](char t, size_t length) { return (t == 'A' || t == 'N') && length == 0; };
    if (!WaitOneFrame(fs, sim::kAnswerWaitMs, accepts, type, payload) || type != 'A') {
      return nullptr;  // `N`: matched but not openable; anything else: no usable link
    }
    return std::unique_ptr<HidDevice>(new SimHidDevice(std::move(fs), iface.caps));
  }

 private:
  std::string Address() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return address_;
  }

  bool Search(std::vector<SimRecord>& records) {
    std::unique_ptr<TcpStream> stream = ConnectTcp(Address(), sim::kAnswerWaitMs);
    if (!stream) return false;
    FrameStream fs(std::move(stream));
    if (!fs.Send('E', nullptr, 0)) return false;
    char type = '\0';
    std::vector<uint8_t> payload;
    auto accepts = [](char t, size_t) { return t == 'D'; };
    if (!WaitOneFrame(fs, sim::kAnswerWaitMs, accepts, type, payload)) return false;
    return ParseDeviceList(payload, records);
  }

  mutable std::mutex mutex_;
  std::string address_;
};

}  // namespace

HidBackend& SharedSimHidBackend(const std::string& hostPort) {
  static SimHidBackend backend(hostPort);
  backend.SetAddress(hostPort);
  return backend;
}

std::unique_ptr<HidBackend> MakeSimHidBackend(const std::string& hostPort) {
  return std::unique_ptr<HidBackend>(new SimHidBackend(hostPort));
}

}  // namespace platform
