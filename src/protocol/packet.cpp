#include "protocol/packet.h"

#include <cstring>
#include <new>
#include <vector>

#include "crypto/des.h"
#include "log/log.h"
#include "protocol/wiped_buffer.h"

std::atomic<unsigned char> g_bEncryptPackets{0};

namespace {
const uint8_t kPacketKey[8] = {'3', '6', '1', '5', '2', '9', '4', '7'};
}

int x_Str3Des(int length, const uint8_t* in, uint8_t* out, int direction) {
  const int blocks = (length + 7) / 8;
  for (int b = 0; b < blocks; ++b) {
    uint8_t block[8] = {0};
    const int n = length - b * 8 < 8 ? length - b * 8 : 8;
    memcpy(block, in + b * 8, static_cast<size_t>(n));
    DesBlock(kPacketKey, block, out + b * 8, direction == 1);
  }
  return 0;
}

// The dumps before and after the cipher show the shape only: payloads carry keys and PIN
// blocks.
int dataEncrypt(uint8_t* payload, int L, uint8_t* out, int* outLength) {
  const int fill = 8 - (L % 8);
  memset(payload + L, 0, static_cast<size_t>(fill));
  const int padded = L + fill;
  WriteMaskedHexLog(static_cast<size_t>(padded), 'D', "数据加密前:");
  x_Str3Des(padded, payload, out, 1);
  *outLength = padded;
  WriteMaskedHexLog(static_cast<size_t>(padded), 'D', "数据加密后:");
  return 0;
}

int EncodePacket(const uint8_t* payload, int L, uint8_t* packet) {
  if (L < 0 || L > kMaxPacketPayload) return -1;
  uint8_t check = 0;
  packet[0] = kStx;
  PutNibbles(static_cast<uint8_t>((L >> 8) & 0xFF), packet + 1);
  PutNibbles(static_cast<uint8_t>(L & 0xFF), packet + 3);
  for (int i = 0; i < L; ++i) {
    PutNibbles(payload[i], packet + 5 + 2 * i);
    check ^= payload[i];
  }
  PutNibbles(check, packet + 5 + 2 * L);
  packet[2 * L + 7] = kEtx;
  return 2 * L + 8;
}

int MakeDataPackage(uint8_t* payload, int L, uint8_t* packet, int* packetLength) {
  WriteLog('I', "MakeDataPackage startin %d,%d", static_cast<int>(g_bEncryptPackets.load()), L);
  if (L < 0 || L > kMaxPacketPayload) return -1;
  if (!g_bEncryptPackets.load()) {
    *packetLength = EncodePacket(payload, L, packet);
    return 1;
  }
  WriteLog('I', "dataEncrypt start");
  WipedBytes encrypted(static_cast<size_t>(L) + 16);
  int encryptedLength = 0;
  dataEncrypt(payload, L, encrypted.data(), &encryptedLength);
  WriteLog('I', "dataEncrypt end");
  const int length = EncodePacket(encrypted.data(), encryptedLength, packet);
  if (length < 0) return -1;  // the fill took the payload past the length field
  *packetLength = length;
  return 1;
}

int UnpackDataPackage(const uint8_t* packet, int n, uint8_t* out, int* outLength) {
  if (n <= 0 || (packet[0] != kStx && packet[n - 1] != kEtx)) return -5;
  const int L = n >= 8 ? (n - 8) / 2 : 0;
  auto decode = [&](uint8_t* dst) {
    for (int i = 0; i < L; ++i) {
      dst[i] = static_cast<uint8_t>((packet[5 + 2 * i] * 16) + (packet[6 + 2 * i] - 0x30));
    }
  };
  if (!g_bEncryptPackets.load()) {
    decode(out);
    *outLength = L;
    return 1;
  }
  WipedBytes work(static_cast<size_t>(L) + 1);
  decode(work.data());
  WriteMaskedHexLog(static_cast<size_t>(L), 'D', "数据解密前:");
  // Whole blocks are decrypted; only the L payload bytes reach the caller.
  WipedBytes plain(static_cast<size_t>(L) + 8);
  x_Str3Des(L, work.data(), plain.data(), 0);
  if (L) memcpy(out, plain.data(), static_cast<size_t>(L));
  WriteMaskedHexLog(static_cast<size_t>(L), 'D', "数据解密后:");
  *outLength = L;
  return 1;
}

int AnnouncedLength(const uint8_t* packet) {
  int L = 0;
  for (int i = 1; i <= 4; ++i) L = L * 16 + (packet[i] & 0x0F);
  return L;
}
