// The simulator's own packet codec: the terminal's view of the wire format.
//
// Packet = STX 0x02, the payload length L (16 bits, big-endian), the L payload bytes and
// the check byte (XOR of the payload bytes), each of these bytes written as two "nibble
// characters" 0x30 + high nibble, 0x30 + low nibble, then ETX 0x03: 2L + 8 bytes in all.
// This code is deliberately separate from the library's packet code, so that a fault
// in one is not mirrored by the other.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace rv270sim {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEtx = 0x03;
// Bytes a packet adds around its payload (STX, 4 length, 2 check, ETX).
constexpr size_t kPacketOverhead = 8;
// Longest payload the 16-bit length field can announce, and the longest packet.
constexpr size_t kMaxPayload = 0xFFFF;
constexpr size_t kMaxPacket = 2 * kMaxPayload + kPacketOverhead;

// XOR of the bytes.
uint8_t CheckByte(const uint8_t* data, size_t length);
inline uint8_t CheckByte(const Bytes& data) { return CheckByte(data.data(), data.size()); }

// Appends b as its two nibble characters.
void AppendNibbles(Bytes& out, uint8_t b);

// The byte spelled by two nibble characters. False when either is not 0x30..0x3F.
bool ReadNibblePair(uint8_t high, uint8_t low, uint8_t& out);

// The packet of a payload (at most kMaxPayload bytes; longer payloads are cut there).
Bytes EncodePacket(const uint8_t* payload, size_t length);
inline Bytes EncodePacket(const Bytes& payload) { return EncodePacket(payload.data(), payload.size()); }

// The payload length announced by the first five bytes of a packet (STX and the four
// length characters). False when the header is not STX followed by nibble characters.
bool ReadLengthField(const uint8_t* header, size_t available, size_t& length);

enum class DecodeResult {
  kOk,
  kBadLength,     // the byte count is not 2L + 8 for the announced L (or under 8 bytes)
  kBadStx,        // first byte is not 0x02
  kBadCharacter,  // a length, payload or check character is not a nibble character
  kBadCheck,      // the check byte does not match the payload
  kBadEtx,        // last byte is not 0x03
};
const char* DecodeResultName(DecodeResult result);

// Strict decoding of one whole packet: every rule above is checked.
DecodeResult DecodePacket(const uint8_t* packet, size_t length, Bytes& payload);
inline DecodeResult DecodePacket(const Bytes& packet, Bytes& payload) {
  return DecodePacket(packet.data(), packet.size(), payload);
}

}  // namespace rv270sim
