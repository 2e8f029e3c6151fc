// Packet framing: the worked byte examples, corruption of a good packet, encryption.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "protocol/packet.h"

namespace {

std::vector<uint8_t> Frame(std::vector<uint8_t> payload) {
  std::vector<uint8_t> packet(2 * payload.size() + 24, 0);
  payload.resize(payload.size() + 16, 0);
  int length = 0;
  EXPECT_EQ(1, MakeDataPackage(payload.data(), static_cast<int>(payload.size() - 16), packet.data(), &length));
  packet.resize(static_cast<size_t>(length));
  return packet;
}

std::vector<uint8_t> Unframe(const std::vector<uint8_t>& packet, int* result = nullptr) {
  std::vector<uint8_t> out(packet.size() + 16, 0);
  int length = 0;
  const int r = UnpackDataPackage(packet.data(), static_cast<int>(packet.size()), out.data(), &length);
  if (result) *result = r;
  out.resize(r == 1 ? static_cast<size_t>(length) : 0);
  return out;
}

struct WorkedExample {
  const char* what;
  std::vector<uint8_t> payload;
  std::vector<uint8_t> packet;
};

// The status request, the error-message probe and the two answers to them.
const WorkedExample kExamples[] = {
    {"status request 50 01", {0x50, 0x01}, {0x02, 0x30, 0x30, 0x30, 0x32, 0x35, 0x30, 0x30, 0x31, 0x35, 0x31, 0x03}},
    {"probe 50 0A", {0x50, 0x0A}, {0x02, 0x30, 0x30, 0x30, 0x32, 0x35, 0x30, 0x30, 0x3A, 0x35, 0x3A, 0x03}},
    {"answer ready", {0x00, 0x00}, {0x02, 0x30, 0x30, 0x30, 0x32, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x03}},
    {"answer 00 09", {0x00, 0x09}, {0x02, 0x30, 0x30, 0x30, 0x32, 0x30, 0x30, 0x30, 0x39, 0x30, 0x39, 0x03}},
};

TEST(Packet, WorkedExamplesBothWays) {
  for (const WorkedExample& e : kExamples) {
    SCOPED_TRACE(e.what);
    EXPECT_EQ(e.packet, Frame(e.payload));
    EXPECT_EQ(e.payload, Unframe(e.packet));
  }
}

TEST(Packet, LengthCheckByteAndNibbleCharacters) {
  std::vector<uint8_t> big(300, 0x11);
  const std::vector<uint8_t> packet = Frame(big);
  ASSERT_EQ(608u, packet.size());
  EXPECT_EQ((std::vector<uint8_t>{0x30, 0x31, 0x32, 0x3C}), std::vector<uint8_t>(packet.begin() + 1, packet.begin() + 5));
  EXPECT_EQ(300, AnnouncedLength(packet.data()));

  const std::vector<uint8_t> ff = Frame({0xFF});
  EXPECT_EQ(0x3F, ff[5]);
  EXPECT_EQ(0x3F, ff[6]);

  // XOR of 12 34 56 is 70, written as "70".
  const std::vector<uint8_t> check = Frame({0x12, 0x34, 0x56});
  EXPECT_EQ(0x37, check[11]);
  EXPECT_EQ(0x30, check[12]);
}

TEST(Packet, DecoderAcceptsOneMarkerAndRejectsBoth) {
  std::vector<uint8_t> packet = kExamples[3].packet;
  int result = 0;
  packet.front() = 0x05;  // ETX still in place
  EXPECT_EQ((std::vector<uint8_t>{0x00, 0x09}), Unframe(packet, &result));
  packet.back() = 0x04;   // both markers wrong
  Unframe(packet, &result);
  EXPECT_EQ(-5, result);
}

TEST(Packet, EncryptionPadsToWholeBlocksAndRoundTrips) {
  g_bEncryptPackets = 1;
  const std::vector<uint8_t> payload = {1, 2, 3, 4, 5, 6, 7, 8};
  const std::vector<uint8_t> packet = Frame(payload);
  EXPECT_EQ(40u, packet.size());  // 8 bytes gain a whole block of fill: L = 16
  EXPECT_EQ(16, AnnouncedLength(packet.data()));
  std::vector<uint8_t> back = Unframe(packet);
  g_bEncryptPackets = 0;
  ASSERT_EQ(16u, back.size());
  EXPECT_EQ(payload, std::vector<uint8_t>(back.begin(), back.begin() + 8));
  EXPECT_EQ(std::vector<uint8_t>(8, 0), std::vector<uint8_t>(back.begin() + 8, back.end()));
}

}  // namespace
