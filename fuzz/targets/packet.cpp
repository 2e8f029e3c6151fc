// The library's packet decoder: any bytes as a received packet, with and without the
// payload encryption; and every payload through the encoder and back.
#include <cstring>
#include <vector>

#include "../support.h"
#include "protocol/packet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 0x20000) return 0;
  rv270fuzz::InputReader input(data, size);
  const uint8_t mode = input.Byte();
  const std::vector<uint8_t> bytes = input.Rest();
  const int n = static_cast<int>(bytes.size());
  // Encryption runs DES block by block, slow under the sanitizers; its code is the same
  // for every length, so short inputs cover it.
  g_bEncryptPackets = ((mode & 1) && n <= 64) ? 1 : 0;

  // As a received packet: the decoder's room is (n - 8) / 2 bytes, as documented.
  if (n > 0) {
    std::vector<uint8_t> packet(bytes);
    std::vector<uint8_t> out(n >= 8 ? static_cast<size_t>((n - 8) / 2) : 0);
    int outLength = -1;
    const int unpacked = UnpackDataPackage(packet.data(), n, out.empty() ? nullptr : out.data(), &outLength);
    RV270_FUZZ_CHECK(unpacked == 1 || unpacked == -5);
    if (unpacked == 1) RV270_FUZZ_CHECK(outLength == (n >= 8 ? (n - 8) / 2 : 0));
    if (n >= 5) {
      const int announced = AnnouncedLength(packet.data());
      RV270_FUZZ_CHECK(announced >= 0 && announced <= 0xFFFF);
    }
  }

  // As a payload: encoded and decoded again it comes back whole (encrypted payloads
  // come back with their fill bytes after them).
  if (n <= 0xFFFF - 16) {
    std::vector<uint8_t> payload(bytes);
    payload.resize(bytes.size() + 16, 0);
    std::vector<uint8_t> packet(PacketLength(bytes.size()) + 24, 0);
    int packetLength = 0;
    RV270_FUZZ_CHECK(MakeDataPackage(payload.data(), n, packet.data(), &packetLength) == 1);
    RV270_FUZZ_CHECK(static_cast<size_t>(packetLength) <= packet.size());
    RV270_FUZZ_CHECK(packet[0] == kStx && packet[static_cast<size_t>(packetLength) - 1] == kEtx);
    std::vector<uint8_t> back(static_cast<size_t>((packetLength - 8) / 2), 0);
    int backLength = 0;
    RV270_FUZZ_CHECK(UnpackDataPackage(packet.data(), packetLength, back.data(), &backLength) == 1);
    RV270_FUZZ_CHECK(backLength >= n);
    RV270_FUZZ_CHECK(n == 0 || memcmp(back.data(), bytes.data(), bytes.size()) == 0);
    if (!g_bEncryptPackets) RV270_FUZZ_CHECK(backLength == n);
  }
  g_bEncryptPackets = 0;
  return 0;
}
