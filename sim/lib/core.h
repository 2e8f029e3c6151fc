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
};

// Builds the packet of a payload with the packet-level faults applied.
Bytes BuildPacket(const Bytes& payload, const Faults& faults);

// Cuts an item's packet into pieces of at most `pieceSize` bytes (the fault's chunk
// size when smaller) and drops the faulted report. No-op once cut.
void CutPacket(Outgoing& item, size_t pieceSize);

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

  // Items of `link` due by `now`, in order. USB items for the newest open link stay
  // queued while `anyLinkOpen` is false.
  std::vector<Outgoing> TakeDue(Link link, Clock::time_point now, bool anyLinkOpen);
  // Puts back an item with chunks left (sent after a gap).
  void Requeue(Outgoing item);
  // Milliseconds until the next item of `link` is due, at most `cap`.
  int MsUntilDue(Link link, bool anyLinkOpen, int cap);

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
  std::deque<RawSend> rawReplies[2];  // by link
  DeviceState state;

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
  void Enqueue(Outgoing item, int delayMs);
  void EnqueueAnswer(Link link, int connection, const Bytes& payload, const Faults& faults,
                     int delayMs, bool breakable);
  void BreakOffWaits();
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
