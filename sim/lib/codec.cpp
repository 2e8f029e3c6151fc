#include "rv270sim/codec.h"

namespace rv270sim {

uint8_t CheckByte(const uint8_t* data, size_t length) {
  uint8_t x = 0;
  for (size_t i = 0; i < length; ++i) x ^= data[i];
  return x;
}

void AppendNibbles(Bytes& out, uint8_t b) {
  out.push_back(static_cast<uint8_t>(0x30 + (b >> 4)));
  out.push_back(static_cast<uint8_t>(0x30 + (b & 0x0F)));
}

bool ReadNibblePair(uint8_t high, uint8_t low, uint8_t& out) {
  if (high < 0x30 || high > 0x3F || low < 0x30 || low > 0x3F) return false;
  out = static_cast<uint8_t>(((high - 0x30) << 4) | (low - 0x30));
  return true;
}

Bytes EncodePacket(const uint8_t* payload, size_t length) {
  if (length > kMaxPayload) length = kMaxPayload;
  Bytes out;
  out.reserve(2 * length + kPacketOverhead);
  out.push_back(kStx);
  AppendNibbles(out, static_cast<uint8_t>(length >> 8));
  AppendNibbles(out, static_cast<uint8_t>(length & 0xFF));
  for (size_t i = 0; i < length; ++i) AppendNibbles(out, payload[i]);
  AppendNibbles(out, CheckByte(payload, length));
  out.push_back(kEtx);
  return out;
}

bool ReadLengthField(const uint8_t* header, size_t available, size_t& length) {
  if (available < 5 || header[0] != kStx) return false;
  uint8_t high = 0;
  uint8_t low = 0;
  if (!ReadNibblePair(header[1], header[2], high) || !ReadNibblePair(header[3], header[4], low)) return false;
  length = (static_cast<size_t>(high) << 8) | low;
  return true;
}

const char* DecodeResultName(DecodeResult result) {
  switch (result) {
    case DecodeResult::kOk: return "ok";
    case DecodeResult::kBadLength: return "bad length";
    case DecodeResult::kBadStx: return "bad STX";
    case DecodeResult::kBadCharacter: return "bad character";
    case DecodeResult::kBadCheck: return "bad check byte";
    case DecodeResult::kBadEtx: return "bad ETX";
  }
  return "?";
}

DecodeResult DecodePacket(const uint8_t* packet, size_t length, Bytes& payload) {
  payload.clear();
  if (length < kPacketOverhead) return DecodeResult::kBadLength;
  if (packet[0] != kStx) return DecodeResult::kBadStx;
  size_t announced = 0;
  if (!ReadLengthField(packet, length, announced)) return DecodeResult::kBadCharacter;
  if (length != 2 * announced + kPacketOverhead) return DecodeResult::kBadLength;
  Bytes decoded(announced);
  for (size_t i = 0; i < announced; ++i) {
    if (!ReadNibblePair(packet[5 + 2 * i], packet[6 + 2 * i], decoded[i])) return DecodeResult::kBadCharacter;
  }
  uint8_t check = 0;
  if (!ReadNibblePair(packet[5 + 2 * announced], packet[6 + 2 * announced], check)) {
    return DecodeResult::kBadCharacter;
  }
  if (check != CheckByte(decoded)) return DecodeResult::kBadCheck;
  if (packet[length - 1] != kEtx) return DecodeResult::kBadEtx;
  payload.swap(decoded);
  return DecodeResult::kOk;
}

}  // namespace rv270sim
