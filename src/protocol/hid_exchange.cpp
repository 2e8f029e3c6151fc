#include "protocol/hid_exchange.h"

#include <cstring>
#include <memory>
#include <vector>

#include "link/process_state.h"
#include "link/usbhid_link.h"
#include "log/log.h"
#include "protocol/device_lock.h"
#include "protocol/link_session.h"
#include "protocol/exchange.h"
#include "protocol/packet.h"
#include "protocol/wiped_buffer.h"
#include "platform/time.h"

namespace {
constexpr int kFurtherReportMs = 1000;
constexpr size_t kReportBuffer = 4096;
}  // namespace

size_t PacketCapacity(size_t payload) {
  const size_t size = PacketLength(payload);
  const int cs = CommuniSize.load();
  const size_t step = cs > 0 ? static_cast<size_t>(cs) : 64;
  return (size + step - 1) / step * step + step;
}

int SendPackage(const uint8_t* packet, int length, int timeoutMs, bool cancellable) {
  const int cs = CommuniSize.load();
  if (cs <= 0 || length < 0) return kSendFailed;
  const int reports = (length + cs - 1) / cs;
  WipedBytes copy(packet, static_cast<size_t>(length), static_cast<size_t>(length) + 100);
  CUSBHID& device = UsbDevice();
  const uint32_t start = platform::TickMs();
  for (int i = 0; i < reports; ++i) {
    if (cancellable && g_bKeepWaiting.load() != 1) break;  // the receive then reports -8
    if (platform::TickMs() - start > static_cast<uint32_t>(timeoutMs > 0 ? timeoutMs : 0)) {
      // A request cut short would leave the terminal with half a packet: a failed send.
      WriteLog('E', "time out");
      return kSendFailed;
    }
    const int offset = i * cs;
    const int chunk = length - offset < cs ? length - offset : cs;
    if (device.WriteReport(copy.data() + offset, static_cast<size_t>(chunk)) < 0) {
      WriteLog('E', "发送错误在第%d", i + 1);
      WriteOsErrorLine();
      return kSendFailed;
    }
  }
  return 0;
}

int RecvPackage(uint8_t* packet, size_t capacity, int* length, int timeoutMs, bool cancellable,
                bool wholeAnswerInTime) {
  const uint32_t start = platform::TickMs();
  CUSBHID& device = UsbDevice();
  if (g_bPortOpen.load() == 0 || !device.Connected()) return kHidLinkNotOpen;
  const int cs = CommuniSize.load();
  if (cs <= 0 || static_cast<size_t>(cs) + 1 > kReportBuffer) return kHidNoAnswer;

  WipedBytes report(kReportBuffer);
  const int first = cancellable ? device.ReadReport(report.data(), timeoutMs)
                                : device.ReadReportNoCancel(report.data(), timeoutMs);
  if (first <= 0) {
    *length = 0;
    WriteLog('I', "接收len==0");
    WriteLog('I', "BytesRead==%d", first);
    if (first == kReportFailed) WriteOsErrorLine();
    return (first == kReportBrokenOff && cancellable) ? kHidWaitBrokenOff : kHidNoAnswer;
  }
  if (static_cast<size_t>(cs) > capacity) return kAnswerTooLong;
  memcpy(packet, report.data() + 1, static_cast<size_t>(cs));

  const int L = AnnouncedLength(packet);
  const int total = 2 * L + 8;
  if (total <= cs) {
    *length = total;
    return 0;
  }
  const int further = (total - cs + cs - 1) / cs;
  // Every further report lands at k x CommuniSize: the whole run must fit the buffer.
  if (static_cast<size_t>(further + 1) * static_cast<size_t>(cs) > capacity) {
    WriteLog('E', "answer of %d bytes exceeds the buffer of %d bytes!", total, static_cast<int>(capacity));
    return kAnswerTooLong;
  }
  for (int k = 1; k <= further; ++k) {
    std::fill(report.data(), report.data() + report.size(), 0);
    int wait = kFurtherReportMs;
    if (wholeAnswerInTime) {
      wait = platform::MsLeft(timeoutMs, start);
      if (wait == 0) return kHidAnswerCut;
    }
    const int got = device.ReadReport(report.data(), wait);
    if (got <= 0) return kHidAnswerCut;
    memcpy(packet + static_cast<size_t>(k) * static_cast<size_t>(cs), report.data() + 1, static_cast<size_t>(cs));
  }
  *length = total;
  return 0;
}

namespace {

// Decodes a received packet into the caller's response (at most `capacity` bytes).
int DeliverAnswer(const uint8_t* packet, int packetLength, uint8_t* response, size_t capacity,
                  int* responseLength) {
  const int L = AnnouncedLength(packet);
  if (2 * L + 7 > CommuniSize.load()) WriteLog('E', "交互接收到的数据交互超过CommuniSize");
  if (packetLength < 8 || static_cast<size_t>((packetLength - 8) / 2) > capacity) return kAnswerTooLong;
  WipedBytes payload(static_cast<size_t>(packetLength / 2) + 8);
  int payloadLength = 0;
  if (UnpackDataPackage(packet, packetLength, payload.data(), &payloadLength) != 1) return kAnswerMalformed;
  memcpy(response, payload.data(), static_cast<size_t>(payloadLength));
  *responseLength = payloadLength;
  return 0;
}

// The exchange. The cancel variant ignores g_bKeepWaiting and the device-access lock,
// and frames into a 1000-byte buffer and receives into a 10240-byte one.
struct HidExchangeKind {
  bool cancellable;
  int maxRequest;
  size_t maxIncoming;
};
constexpr HidExchangeKind kOrdinary{true, kMaxHidRequest, 0};
constexpr HidExchangeKind kCancel{false, kMaxHidCancelRequest, 10240};

// Frames the request into `outgoing`: 0, or kRequestTooLong (nothing framed).
int FrameRequest(const uint8_t* request, int requestLength, const HidExchangeKind& kind,
                 std::unique_ptr<WipedBytes>& outgoing, int* outgoingLength) {
  if (requestLength < 0 || requestLength > kind.maxRequest) {
    WriteLog('E', "request of %d bytes too long!", requestLength);
    return kRequestTooLong;
  }
  WipedBytes payload(request, static_cast<size_t>(requestLength),
                     static_cast<size_t>(requestLength) + 16);  // room for encryption fill
  outgoing.reset(new WipedBytes(PacketLength(static_cast<size_t>(requestLength)) + 40));
  WriteLog('I', "MakeDataPackage start");
  const int made = MakeDataPackage(payload.data(), requestLength, outgoing->data(), outgoingLength);
  WriteLog('I', "MakeDataPackage end");
  return made == 1 ? 0 : kRequestTooLong;
}

// Sends the framed request on the open link and receives and decodes the answer.
// With `wholeAnswerInTime`, all of the answer's reports must come within timeoutMs.
int SendAndReceive(const WipedBytes& outgoing, int outgoingLength, uint8_t* response, size_t capacity,
                   int* responseLength, int timeoutMs, const HidExchangeKind& kind,
                   bool wholeAnswerInTime = false) {
  const bool cancellable = kind.cancellable;
  WriteLog('I', "send before");
  const int sent = SendPackage(outgoing.data(), outgoingLength, timeoutMs, cancellable);
  WriteLog('I', "send end");
  if (sent < 0) {
    if (cancellable && TakeCancel()) return kHidWaitBrokenOff;
    return kHidSendFailed;
  }
  // Room for the longest answer the 16-bit length field can announce that still fits
  // the caller's response.
  size_t incomingSize = PacketCapacity(capacity < 65535 ? capacity : 65535);
  if (kind.maxIncoming && incomingSize > kind.maxIncoming) incomingSize = kind.maxIncoming;
  WipedBytes incoming(incomingSize);
  int incomingLength = 0;
  WriteLog('I', "before");
  const int received =
      RecvPackage(incoming.data(), incoming.size(), &incomingLength, timeoutMs, cancellable, wholeAnswerInTime);
  WriteLog('I', "after");
  if (received != 0) {
    // A cancel call reconnects the link: this exchange may fail on the lost link before
    // its read saw the cleared flag. The cancel is taken here all the same, so the flag
    // is 1 again and the caller learns that its wait was broken off.
    if (cancellable && TakeCancel()) return kHidWaitBrokenOff;
    return received;
  }
  if (cancellable && TakeCancel()) return kHidBrokenOffAfterAnswer;
  return DeliverAnswer(incoming.data(), incomingLength, response, capacity, responseLength);
}

// With `within`, timeoutMs is a budget that started at the call (CommunicateCancelWithin).
int HidExchange(const uint8_t* request, int requestLength, uint8_t* response, size_t capacity,
                int* responseLength, int timeoutMs, const HidExchangeKind& kind, bool within = false) {
  const uint32_t start = platform::TickMs();
  std::unique_ptr<WipedBytes> outgoing;
  int outgoingLength = 0;
  const int framed = FrameRequest(request, requestLength, kind, outgoing, &outgoingLength);
  if (framed != 0) return framed;

  LinkSession session(0, 0, kind.cancellable ? LinkSession::Kind::kExchange : LinkSession::Kind::kCancel);
  if (!session.Acquired()) return kBusy;
  if ((*outgoing)[0] != kStx) {
    WriteLog('E', "发送数据格式不正确");
    return kHidBadFrame;
  }
  const int opened = session.Open();
  if (opened < 0) return opened;
  return SendAndReceive(*outgoing, outgoingLength, response, capacity, responseLength,
                        within ? AnswerWaitWithin(timeoutMs, start) : timeoutMs, kind, within);
}

}  // namespace

int HidExchangeOnOpenLink(const uint8_t* request, int requestLength, uint8_t* response, size_t capacity,
                          int* responseLength, int timeoutMs, bool cancellable) {
  const HidExchangeKind& kind = cancellable ? kOrdinary : kCancel;
  std::unique_ptr<WipedBytes> outgoing;
  int outgoingLength = 0;
  const int framed = FrameRequest(request, requestLength, kind, outgoing, &outgoingLength);
  if (framed != 0) return framed;
  return SendAndReceive(*outgoing, outgoingLength, response, capacity, responseLength, timeoutMs, kind);
}

int HidCommunication(const uint8_t* request, int requestLength, uint8_t* response, size_t capacity,
                     int* responseLength, int timeoutMs) {
  return HidExchange(request, requestLength, response, capacity, responseLength, timeoutMs, kOrdinary);
}

int HidCommunicationCancel(const uint8_t* request, int requestLength, uint8_t* response, size_t capacity,
                           int* responseLength, int timeoutMs) {
  return HidExchange(request, requestLength, response, capacity, responseLength, timeoutMs, kCancel);
}

int HidCommunicationCancelWithin(const uint8_t* request, int requestLength, uint8_t* response, size_t capacity,
                                 int* responseLength, int budgetMs) {
  return HidExchange(request, requestLength, response, capacity, responseLength, budgetMs, kCancel, true);
}
