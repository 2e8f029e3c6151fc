// Packet framing: STX, the 16-bit payload length, the payload and the XOR check byte,
// each byte spelled as two "nibble characters" (0x30 + nibble), then ETX. A payload of
// L bytes gives a packet of 2L + 8 bytes.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEtx = 0x03;

// Payload encryption switch (DES with a fixed key), off; nothing in the library sets it.
extern std::atomic<unsigned char> g_bEncryptPackets;

// The length field holds four hexadecimal digits: no packet carries more payload.
constexpr int kMaxPacketPayload = 0xFFFF;

// Packet length of a payload of L bytes.
constexpr size_t PacketLength(size_t payloadLength) { return 2 * payloadLength + 8; }

// The one packet encoder of both links: writes the packet of payload[0..L) (never
// encrypted) into `packet` (at least 2L + 8 bytes). The packet length, or -1 when L is
// negative or over kMaxPacketPayload (nothing written).
int EncodePacket(const uint8_t* payload, int L, uint8_t* packet);

// Writes the packet of payload[0..L) into `packet` (zeroed by the caller, at least
// 2L + 8 bytes, 2L + 24 with encryption on: the payload buffer then needs room for up to
// 8 fill bytes) and sets *packetLength. 1, or -1 when the payload (after the encryption
// fill) does not fit the length field.
int MakeDataPackage(uint8_t* payload, int L, uint8_t* packet, int* packetLength);

// Decodes the payload of a received packet of n bytes into `out` (at least (n - 8) / 2
// bytes) and sets *outLength. 1; -5 when the packet neither starts with STX nor ends
// with ETX; -1 when a working buffer cannot be had (encryption on).
int UnpackDataPackage(const uint8_t* packet, int n, uint8_t* out, int* outLength);

// Pads payload[0..L) with 8 - (L mod 8) zero bytes in place, encrypts it into `out` and
// sets *outLength to the padded length.
int dataEncrypt(uint8_t* payload, int L, uint8_t* out, int* outLength);

// DES in 8-byte blocks (electronic code book) with the fixed key: direction 1 encrypts,
// 0 decrypts; a short last block is completed with zero bytes. 0.
int x_Str3Des(int length, const uint8_t* in, uint8_t* out, int direction);

// The payload length announced by the four length characters at packet[1..4].
int AnnouncedLength(const uint8_t* packet);

// Nibble characters of one byte.
inline void PutNibbles(uint8_t byte, uint8_t* out) {
  out[0] = static_cast<uint8_t>(0x30 | (byte >> 4));
  out[1] = static_cast<uint8_t>(0x30 | (byte & 0x0F));
}
