#include "protocol/serial_exchange.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "link/serial_link.h"
#include "platform/time.h"
#include "protocol/exchange.h"
#include "protocol/packet.h"
#include "protocol/wiped_buffer.h"

namespace {

constexpr size_t kFrameBuffer = 9000;
constexpr size_t kIncomingBuffer = 4096;
constexpr int kRestMs = 2000;

struct AnswerTimes {
  int firstMs;
  int restMs;  // 0: what remains of firstMs after the first bytes
  bool verifyCheck;
  bool cancellable;
};

// Reads one answer packet and decodes it (the steps after the request was written).
int ReadAnswer(const AnswerTimes& t, uint8_t* response, size_t capacity, int* responseLength, int* status) {
  const uint32_t start = platform::TickMs();
  CSerial& serial = SerialDevice();
  WipedBytes in(kIncomingBuffer);
  auto read = [&](uint8_t* dst, size_t n, int ms) {
    return t.cancellable ? serial.ReadExact(dst, n, ms) : serial.ReadExactNoCancel(dst, n, ms);
  };
  if (read(in.data(), 5, t.firstMs) != 0) return kSerialNoAnswer;
  if (in[0] != kStx) return kSerialNoStx;
  const int L = AnnouncedLength(in.data());
  if (L > kMaxSerialAnswer || static_cast<size_t>(L) > capacity) {
    serial.DiscardInput();
    return kAnswerTooLong;
  }
  int restMs = t.restMs;
  if (restMs == 0) restMs = std::max(1, platform::MsLeft(t.firstMs, start));
  if (read(in.data() + 5, static_cast<size_t>(2 * L + 3), restMs) != 0) {
    serial.DiscardInput();
    return kSerialRestMissing;
  }
  WipedBytes decoded(static_cast<size_t>(L) + 1);
  for (int i = 0; i <= L; ++i) {
    decoded[static_cast<size_t>(i)] =
        static_cast<uint8_t>((in[5 + 2 * i] << 4) | (in[6 + 2 * i] & 0x0F));
  }
  uint8_t check = 0;
  for (int i = 0; i < L; ++i) check ^= decoded[static_cast<size_t>(i)];
  if (t.verifyCheck && check != decoded[static_cast<size_t>(L)]) return kSerialBadCheck;
  if (in[static_cast<size_t>(2 * L + 7)] != kEtx) return kSerialNoEtx;
  *status = L >= 2 ? (decoded[0] << 8) | decoded[1] : 0;
  if (L) memcpy(response, decoded.data(), static_cast<size_t>(L));
  *responseLength = L;
  return 0;
}

int Exchange(const uint8_t* request, int L, int timeoutMs, uint8_t* response, size_t capacity,
             int* responseLength, int* status, bool cancellable, bool wholeAnswerInTime = false) {
  if (L < 0 || L > kMaxSerialRequest) return kRequestTooLong;
  WipedBytes packet(kFrameBuffer);
  const int length = EncodePacket(request, L, packet.data());
  CSerial& serial = SerialDevice();
  if (!serial.IsOpen()) return kSerialPortNotOpen;
  serial.WriteData(packet.data(), static_cast<size_t>(length));
  return ReadAnswer(AnswerTimes{timeoutMs, wholeAnswerInTime && timeoutMs > 0 ? 0 : kRestMs, true, cancellable},
                    response, capacity, responseLength, status);
}

}  // namespace

int ICCombo_Commdu(const uint8_t* request, int L, int timeoutMs, uint8_t* response, size_t capacity,
                   int* responseLength, int* status) {
  return Exchange(request, L, timeoutMs, response, capacity, responseLength, status, true);
}

int ICCombo_CommduNoCancel(const uint8_t* request, int L, int timeoutMs, uint8_t* response,
                           size_t capacity, int* responseLength, int* status, bool wholeAnswerInTime) {
  return Exchange(request, L, timeoutMs, response, capacity, responseLength, status, false, wholeAnswerInTime);
}

int CommduChangeBaud(const uint8_t* request3, int port, int rate, uint8_t* response, size_t capacity,
                     int* responseLength, int* status) {
  uint8_t packet[14] = {0};
  EncodePacket(request3, 3, packet);
  CSerial& serial = SerialDevice();
  if (!serial.IsOpen()) return kSerialPortNotOpen;
  serial.WriteData(packet, sizeof(packet));
  CloseSerialLink();
  if (ReopenSerialLink(port, rate) != 0) return kSerialReopenFailed;
  return ReadAnswer(AnswerTimes{20000, 500, true, true}, response, capacity, responseLength, status);
}

int CommduFramed(const uint8_t* packet, int length, uint8_t* response, size_t capacity,
                 int* responseLength, int* status, int firstMs) {
  CSerial& serial = SerialDevice();
  if (!serial.IsOpen()) return kSerialPortNotOpen;
  serial.WriteData(packet, static_cast<size_t>(length));
  return ReadAnswer(AnswerTimes{firstMs, kRestMs, false, true}, response, capacity, responseLength, status);
}

int CommduReceiveOnly(int timeoutMs, uint8_t* response, size_t capacity, int* responseLength, int* status) {
  if (!SerialDevice().IsOpen()) return kSerialPortNotOpen;
  return ReadAnswer(AnswerTimes{timeoutMs, kRestMs, true, true}, response, capacity, responseLength, status);
}

int RecvRawAndAck(const uint8_t* ack, int N, uint8_t* out, int timeoutMs) {
  if (N < 0 || N > 4096) return kSerialNoAnswer;
  uint8_t packet[12] = {0};
  EncodePacket(ack, 2, packet);
  CSerial& serial = SerialDevice();
  WipedBytes raw(static_cast<size_t>(N) + 1);
  if (serial.ReadExact(raw.data(), static_cast<size_t>(N), timeoutMs) != 0) return kSerialNoAnswer;
  if (N) memcpy(out, raw.data(), static_cast<size_t>(N));
  if (!serial.IsOpen()) return kSerialPortNotOpen;
  serial.WriteData(packet, sizeof(packet));
  return 0;
}
