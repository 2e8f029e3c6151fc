#include "protocol/transfer_link.h"

#include <cstring>
#include <vector>

#include "link/process_state.h"
#include "link/usbhid_link.h"
#include "log/log.h"
#include "protocol/exchange.h"
#include "protocol/hid_exchange.h"
#include "protocol/packet.h"

namespace {
// Room for a report: the link's buffers hold at most 1000 bytes.
constexpr size_t kReportRoom = 1000;
}  // namespace

int OpenTransferLink(int* reportPayload) {
  const int opened = OpenPort();
  if (opened < 0) {
    WriteLog('E', "打开端口失败!");
    return -1;
  }
  const int cs = CommuniSize.load();
  const int output = UsbDevice().OutputReportLength();
  if (cs < 2 || cs > output - 1 || static_cast<size_t>(cs) + 1 > kReportRoom) {
    WriteLog('E', "CommuniSize %d does not fit the output report of %d bytes!", cs, output);
    ClosePort();
    return -2;
  }
  *reportPayload = cs;
  return 0;
}

int SendData(const uint8_t* packet, int length, uint8_t* answer, size_t capacity, int* answerLength,
             int timeoutMs) {
  WriteLog('I', "SendData:[%02X]", length > 0 ? packet[0] : 0);
  if (length <= 0 || packet[0] != kStx) {
    WriteLog('I', "SendData format error");
    ClosePort();
    return -7;
  }
  if (SendPackage(packet, length, timeoutMs) != 0) {
    ClosePort();
    return -3;
  }
  const int received = RecvPackage(answer, capacity, answerLength, timeoutMs);
  if (received != 0) {
    ClosePort();
    return received;
  }
  if (TakeCancel()) {
    ClosePort();
    return -6;
  }
  return 0;
}

int SendDataReport(const uint8_t* data, int length) {
  return UsbDevice().WriteReport(data, static_cast<size_t>(length)) < 0 ? -1 : 0;
}

int RecvDataReport(uint8_t* out, int* length, int timeoutMs) {
  CUSBHID& device = UsbDevice();
  if (g_bPortOpen.load() == 0 || !device.Connected()) return -4;
  uint8_t report[kReportRoom];
  const int got = device.ReadReport(report, timeoutMs);
  if (got <= 0) {
    WriteLog('I', "接收len==0");
    WriteLog('I', "BytesRead==%d", got);
    return -1;
  }
  const int cs = CommuniSize.load();
  if (cs <= 0 || cs + 1 > got) return -1;
  memcpy(out, report + 1, static_cast<size_t>(cs));
  *length = cs;
  return 0;
}

int RecvDecodedPacket(uint8_t* payload, size_t capacity, int* payloadLength, int timeoutMs) {
  std::vector<uint8_t> packet(PacketCapacity(capacity), 0);
  int packetLength = 0;
  const int received = RecvPackage(packet.data(), packet.size(), &packetLength, timeoutMs);
  if (received == kAnswerTooLong) return -3;
  if (received != 0) return -2;
  if (packetLength < 8 || static_cast<size_t>((packetLength - 8) / 2) > capacity) return -3;
  std::vector<uint8_t> decoded(static_cast<size_t>(packetLength / 2) + 8, 0);
  int decodedLength = 0;
  if (UnpackDataPackage(packet.data(), packetLength, decoded.data(), &decodedLength) != 1) return -3;
  if (decodedLength < 0 || static_cast<size_t>(decodedLength) > capacity) return -3;
  memcpy(payload, decoded.data(), static_cast<size_t>(decodedLength));
  *payloadLength = decodedLength;
  return 0;
}

int ReceiveOnOpenLink(uint8_t* response, size_t capacity, int* responseLength, int timeoutMs) {
  WriteLog('I', "before");
  std::vector<uint8_t> packet(PacketCapacity(capacity), 0);
  int packetLength = 0;
  const int received = RecvPackage(packet.data(), packet.size(), &packetLength, timeoutMs);
  WriteLog('I', "after");
  int result = received;
  if (received == 0 && TakeCancel()) result = -6;
  if (result == 0) {
    std::vector<uint8_t> payload(static_cast<size_t>(packetLength / 2) + 8, 0);
    int payloadLength = 0;
    if (packetLength < 8 || static_cast<size_t>((packetLength - 8) / 2) > capacity) {
      result = kAnswerTooLong;
    } else if (UnpackDataPackage(packet.data(), packetLength, payload.data(), &payloadLength) != 1) {
      result = kAnswerMalformed;
    } else {
      memcpy(response, payload.data(), static_cast<size_t>(payloadLength));
      *responseLength = payloadLength;
    }
  }
  ClosePort();
  return result;
}
