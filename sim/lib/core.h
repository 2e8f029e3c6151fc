// The simulator's shared core: scripts, device state, records and the queue of
// outgoing answers, behind one lock. The transport threads feed it what arrives and
// take from it what is due to go out.
#pragma once
#include <chrono>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "commands.h"
#include "rv270sim/simulator.h"

namespace rv270sim {

using Clock = std::chrono::steady_clock;

// Records kept at most; past that the oldest go (a long download must not eat memory).
constexpr size_t kMaxRecords = 200000;
constexpr size_t kMaxSerialRecord = 8 * 1024 * 1024;

// Bytes waiting to go out on one link.
struct Outgoing {
  Link link = Link::kUsb;
  int connection = -1;  // USB: the connection of the request; -1: the newest open link
  Clock::time_point due;
  uint64_t seq = 0;     // order among items due at the same time
  bool isPacket = false;
  Bytes packet;                // isPacket: the whole packet, packet-level faults applied
  std::vector<Bytes> chunks;   // raw chunks; for a packet, its pieces once cut
  bool cut = false;            // chunks hold the pieces (packet) or were given (raw)
  size_t next = 0;             // first chunk not yet sent
  int dropReport = -1;
  int chunkBytes = 0;
  int gapMs = 0;
  bool breakable = false;      // a customer wait that kEndsWaits commands break off
  uint64_t customerWait = 0;   // the timeout answer of a wait held for the page's customer
};

// A customer wait held for the customer at the screen view (customer.cpp).
struct PageWait {
  uint64_t id = 0;  // 0: none
  Link link = Link::kUsb;
  int connection = -1;
  Request request;
  size_t minTyped = 0, maxTyped = 0;  // keypad waits
};

// Builds the packet of a payload with the packet-level faults applied.
Bytes BuildPacket(const Bytes& payload, const Faults& faults);

// Cuts an item's packet into pieces of at most `pieceSize` bytes (the fault's chunk
// size when smaller) and drops the faulted report. No-op once cut.
void CutPacket(Outgoing& item, size_t pieceSize);

// One file transfer in progress (at most one at a time).
struct FileSession {
  enum class Kind { kNone, kDownload, kUpload };
  Kind kind = Kind::kNone;
  Link link = Link::kUsb;
  int connection = -1;   // USB: the link of the handshake
  int category = 0;
  std::string name;
  uint64_t total = 0;    // USB: file and check bytes (T); serial: file bytes
  uint64_t done = 0;     // of total
  int unit = 64;         // USB: report payload size; serial: package size
  uint64_t unitsPerBlock = 1;
  uint64_t unitsInBlock = 0;
  int block = 0;
  bool blockBad = false;
  int resends = 0;
  // Download: the file as received, and its state when the block started.
  uint64_t fileBytes = 0;
  uint64_t hash = 0;
  bool keep = true;
  Bytes content;
  uint64_t blockStartDone = 0, blockStartFile = 0, blockStartHash = 0;
  Bytes partial;         // serial: the package being received
  // Upload.
  StoredFile source;
  uint64_t units = 0;    // reports (USB) or packages (serial) in all
  uint64_t next = 0;     // next to send
  bool awaitingAck = false;
  Clock::time_point paceStart;
  uint64_t paceFirst = 0;
  Clock::time_point started;
  uint64_t unitsSeen = 0;  // download: reports received, for pacing
};

class Transport {
 public:
  virtual ~Transport() = default;  // stops the thread and closes what it opened
};

struct Simulator::Core {
  // ---- called by the transports ----
  void OnRequest(Link link, int connection, Bytes payload);
  void OnRawSequence(Link link, int connection, Bytes bytes);
  void OnBadPacket(Link link, Bytes bytes, DecodeResult result);
  void OnProtocolError(const std::string& text);
  void OnOutputReport(const uint8_t* report, size_t length);
  void OnFeature(FeatureRecord record);
  void OnSerialBytes(const uint8_t* data, size_t length);
  void OnSerialSettings(const SerialSettings& settings);
  void OnChannelSwitch(uint8_t letter);
  void OnSearch();
  // The record an `O` opens, when it may be opened (false: answer `N`).
  bool OnOpen(size_t index, DeviceRecord& record);
  void OnLinkClosed();
  void OnUndelivered();
  Bytes DeviceListPayload();  // empty while the USB side is unplugged
  bool UsbUnplugged();
  bool FeatureReportsWork();

  // ---- file transfers (cmd_file.cpp) ----
  // A USB output report while a download runs on that link: taken as data (true).
  bool OnDataReport(Link link, int connection, const uint8_t* body, size_t length);
  // Serial bytes while a download runs on the serial side: the number taken as data.
  size_t OnSerialData(const uint8_t* data, size_t length);
  // The next upload report (USB, its payload) or package (serial) due now; false when
  // none. `closeLink`: the USB link is to be closed after it.
  bool NextUploadChunk(Link link, Clock::time_point now, Bytes& chunk, int& connection, bool& closeLink);
  // Bytes a USB connection may deliver now: during a paced download no more than the
  // line would have carried since the handshake (0: hold it back); otherwise no limit.
  size_t DataAllowance(Link link, int connection, Clock::time_point now);
  // The upload's link went away.
  void AbandonUpload(Link link);

  // Items of `link` due by `now`, in order. USB items for the newest open link stay
  // queued while `anyLinkOpen` is false.
  std::vector<Outgoing> TakeDue(Link link, Clock::time_point now, bool anyLinkOpen);
  // Puts back an item with chunks left (sent after a gap).
  void Requeue(Outgoing item);
  // Milliseconds until the next item of `link` is due, at most `cap`.
  int MsUntilDue(Link link, bool anyLinkOpen, int cap);

  // ---- the customer at the screen view (customer.cpp) ----
  // REQUIRES: mu held. Runs the handler of a waiting command whose customer is at the
  // page: true when its answer is held for the page (nothing is sent now); false with
  // the terminal's own answer (a refusal) in `answer`.
  bool HoldForPage(Link link, int connection, const Request& request, const CommandInfo& info, Answer& answer);
  ActionResult Act(const CustomerAction& action);
  // REQUIRES: mu held. The wait fields of a view.
  void DescribeWait(CustomerView& view) const;

  // ---- everything below is guarded by mu ----
  mutable std::mutex mu;
  std::vector<DeviceRecord> devices{DeviceRecord::Terminal()};
  bool usbUnplugged = false;  // the device list is empty and every link is dropped
  bool featureReportsWork = true;
  CommandTable commands;

  struct Scripted {
    bool anyCommand = true;
    uint8_t cls = 0;
    uint8_t cmd = 0;
    Answer answer;
  };
  std::deque<Scripted> scripts;
  std::deque<Faults> faults;
  TransferFaults transferFaults;
  bool linePacing = false;
  FileSession session;
  bool pendingInstall = false;  // serial firmware stored: answer after the rate switch back
  std::deque<Bytes> dataReports;
  uint64_t dataReportCount = 0;
  std::deque<RawSend> rawReplies[2];  // by link
  DeviceState state;
  PageWait pageWait;
  std::string typed;  // the digits entered at the page's keypad (never shown anywhere)
  uint64_t nextWaitId = 1;

  std::list<Outgoing> outgoing;
  uint64_t nextSeq = 0;

  std::deque<RequestRecord> requests;
  std::deque<Bytes> outputReports;
  std::deque<FeatureRecord> features;
  std::deque<RawRecord> raws;
  std::deque<BadPacketRecord> badPackets;
  std::deque<uint8_t> serialBytes;
  std::vector<SerialSettings> serialSettings;
  std::string channelLetters;
  std::vector<std::string> protocolErrors;
  int linksOpened = 0;
  int linksClosed = 0;
  int refusedOpens = 0;
  int searches = 0;
  int undelivered = 0;

  // ---- lifecycle, guarded by lifeMu (never taken by the transport threads) ----
  std::mutex lifeMu;
  std::unique_ptr<Transport> usb;
  std::unique_ptr<Transport> serial;
  uint16_t usbPort = 0;
  std::string serialName;
  std::string serialPath;
  std::string lastError;

 private:
  // REQUIRES: mu held.
  bool TakeAck(Link link, const Bytes& payload);
  void ArmSession(Link link, int connection, const Request& request, const Answer& answer);
  void EndOfBlock(Clock::time_point now);
  void StoreReceived();
  int UploadWaitMs(Link link, Clock::time_point now) const;
  void Enqueue(Outgoing item, int delayMs);
  void EnqueueAnswer(Link link, int connection, const Bytes& payload, const Faults& faults,
                     int delayMs, bool breakable);
  void BreakOffWaits();
  bool PageWaitOpen() const;
  void FinishPageWait(const Bytes& answer);
  void WipeTyped();
};

std::unique_ptr<Transport> StartUsbTransport(Simulator::Core& core, uint16_t port, uint16_t& bound,
                                             std::string& error);
std::unique_ptr<Transport> StartSerialTransport(Simulator::Core& core, const std::string& name,
                                                std::string& path, std::string& error);

template <typename T>
void PushCapped(std::deque<T>& list, T value, size_t cap = kMaxRecords) {
  if (list.size() >= cap) list.pop_front();
  list.push_back(std::move(value));
}

}  // namespace rv270sim
