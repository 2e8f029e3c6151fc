// Known-answer tests of the library's own DES, SM4 and Base64 routines.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "crypto/base64.h"
#include "crypto/des.h"
#include "crypto/sm4.h"

namespace {

std::vector<uint8_t> FromHex(const std::string& hex) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

std::string ToHex(const uint8_t* data, size_t length) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (size_t i = 0; i < length; ++i) {
    text += kDigits[data[i] >> 4];
    text += kDigits[data[i] & 0x0F];
  }
  return text;
}

// ---------------------------------------------------------------------------- DES

struct DesVector {
  const char* key;
  const char* plain;
  const char* cipher;
};

const DesVector kDesVectors[] = {
    // The classic worked example (J. Orlin Grabbe, "The DES Algorithm Illustrated").
    {"133457799BBCDFF1", "0123456789ABCDEF", "85E813540F0AB405"},
    // NIST SP 800-17, variable plaintext known answer test (key 01..01).
    {"0101010101010101", "8000000000000000", "95F8A5E5DD31D900"},
    {"0101010101010101", "4000000000000000", "DD7F121CA5015619"},
    {"0101010101010101", "2000000000000000", "2E8653104F3834EA"},
    {"0101010101010101", "0000000000000001", "166B40B44ABA4BD6"},
    // NIST SP 800-17, variable key known answer test (plaintext 0).
    {"8001010101010101", "0000000000000000", "95A8D72813DAA94D"},
    {"4001010101010101", "0000000000000000", "0EEC1487DD8C26D5"},
    {"2001010101010101", "0000000000000000", "7AD16FFB79C45926"},
    {"0101010101010102", "0000000000000000", "869EFD7F9F265A09"},
    // NIST SP 800-17, permutation operation known answer test.
    {"1046913489980131", "0000000000000000", "88D55E54F54C97B4"},
    {"1007103489988020", "0000000000000000", "0C0CC00C83EA48FD"},
    // NIST SP 800-17, substitution table known answer test.
    {"7CA110454A1A6E57", "01A1D6D039776742", "690F5B0D9A26939B"},
    {"0131D9619DC1376E", "5CD54CA83DEF57DA", "7A389D10354BD271"},
    {"07A1133E4A0B2686", "0248D43806F67172", "868EBB51CAB4599A"},
    // Widely published example (key 0E329232EA6D0D73 maps 8787878787878787 to zero).
    {"0E329232EA6D0D73", "8787878787878787", "0000000000000000"},
    // The packet key "36152947" on the status request 50 01 padded with zeros;
    // computed independently with OpenSSL 3 (des-ecb, legacy provider).
    {"3336313532393437", "5001000000000000", "70C6759EA4B79E11"},
};

TEST(DesTest, KnownAnswersInBothDirections) {
  for (const DesVector& v : kDesVectors) {
    SCOPED_TRACE(std::string("key ") + v.key + " plain " + v.plain);
    const std::vector<uint8_t> key = FromHex(v.key);
    const std::vector<uint8_t> plain = FromHex(v.plain);
    const std::vector<uint8_t> cipher = FromHex(v.cipher);
    uint8_t out[8] = {};
    DesBlock(key.data(), plain.data(), out, true);
    EXPECT_EQ(ToHex(out, 8), v.cipher);
    DesBlock(key.data(), cipher.data(), out, false);
    EXPECT_EQ(ToHex(out, 8), v.plain);
  }
}

// The low bit of each key byte is parity and must not change the result: the packet
// key "36152947" mixes odd and even parity bytes.
TEST(DesTest, KeyParityBitsAreIgnored) {
  const std::vector<uint8_t> key = FromHex("133457799BBCDFF1");
  std::vector<uint8_t> flipped = key;
  for (uint8_t& b : flipped) b ^= 0x01;
  const std::vector<uint8_t> plain = FromHex("0123456789ABCDEF");
  uint8_t out[8] = {};
  DesBlock(flipped.data(), plain.data(), out, true);
  EXPECT_EQ(ToHex(out, 8), "85E813540F0AB405");
}

TEST(DesTest, InPlaceRoundTrip) {
  const uint8_t key[8] = {'3', '6', '1', '5', '2', '9', '4', '7'};
  const std::vector<uint8_t> original = FromHex("FF00FF00A55A0102");
  std::vector<uint8_t> block = original;
  DesBlock(key, block.data(), block.data(), true);
  EXPECT_NE(block, original);
  DesBlock(key, block.data(), block.data(), false);
  EXPECT_EQ(block, original);
}

// ---------------------------------------------------------------------------- SM4

// GB/T 32907-2016, Appendix A, example 1: key = plaintext.
const char kSm4Key[] = "0123456789ABCDEFFEDCBA9876543210";

TEST(Sm4Test, StandardExample) {
  const std::vector<uint8_t> key = FromHex(kSm4Key);
  uint32_t roundKeys[32] = {};
  Sm4KeyExpansion(key.data(), roundKeys);
  // Round keys rk0 and rk31 as listed in the standard's example.
  EXPECT_EQ(roundKeys[0], 0xF12186F9u);
  EXPECT_EQ(roundKeys[31], 0x9124A012u);
  uint8_t out[16] = {};
  Sm4EncryptBlock(roundKeys, key.data(), out);
  EXPECT_EQ(ToHex(out, 16), "681EDF34D206965E86B3E94F536E4246");
}

// GB/T 32907-2016, Appendix A, example 2: the same plaintext encrypted 1,000,000 times
// with the same key (each output is the next input, encrypted in place).
TEST(Sm4Test, MillionFoldEncryption) {
  const std::vector<uint8_t> key = FromHex(kSm4Key);
  uint32_t roundKeys[32] = {};
  Sm4KeyExpansion(key.data(), roundKeys);
  std::vector<uint8_t> block = key;
  for (int i = 0; i < 1000000; ++i) Sm4EncryptBlock(roundKeys, block.data(), block.data());
  EXPECT_EQ(ToHex(block.data(), 16), "595298C7C6FD271F0402F804C33D3F66");
}

// ------------------------------------------------------------------------- Base64

// Encodes through a buffer with guard bytes; fails the test if Encode writes past the
// reported length.
std::string Encode(const std::vector<uint8_t>& input) {
  constexpr char kGuard = '\x5A';
  const size_t needed = CBase64::EncodedLength(input.size());
  std::vector<char> buffer(needed + 4, kGuard);
  size_t length = 12345;
  CBase64 encoder;
  EXPECT_TRUE(encoder.Encode(input.data(), input.size(), buffer.data(), needed, &length));
  EXPECT_EQ(length, needed);
  for (size_t i = needed; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], kGuard) << "at " << i;
  return std::string(buffer.data(), length);
}

std::vector<uint8_t> Bytes(const char* text) {
  return std::vector<uint8_t>(text, text + std::strlen(text));
}

// RFC 4648, section 10 (test vectors).
TEST(Base64Test, Rfc4648Vectors) {
  const struct {
    const char* input;
    const char* text;
  } kVectors[] = {{"", ""},         {"f", "Zg=="},       {"fo", "Zm8="},
                  {"foo", "Zm9v"},  {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
                  {"foobar", "Zm9vYmFy"}};
  for (const auto& v : kVectors) EXPECT_EQ(Encode(Bytes(v.input)), v.text) << v.input;
}

TEST(Base64Test, BinaryBytes) {
  const struct {
    std::vector<uint8_t> input;
    const char* text;
  } kVectors[] = {
      {{0x00}, "AA=="},
      {{0xFF}, "/w=="},
      {{0xFB, 0xFF}, "+/8="},
      {{0x00, 0x00, 0x00}, "AAAA"},
      {{0xFF, 0xFF, 0xFF}, "////"},
      {{0xFB, 0xEF, 0xBE}, "++++"},
      // PNG signature, the start of every signature image.
      {{0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A}, "iVBORw0KGgo="},
      // The 48 bytes whose text is the whole alphabet in order (decoded with
      // Python's base64 module): every table entry in its place.
      {{0x00, 0x10, 0x83, 0x10, 0x51, 0x87, 0x20, 0x92, 0x8B, 0x30, 0xD3, 0x8F,
        0x41, 0x14, 0x93, 0x51, 0x55, 0x97, 0x61, 0x96, 0x9B, 0x71, 0xD7, 0x9F,
        0x82, 0x18, 0xA3, 0x92, 0x59, 0xA7, 0xA2, 0x9A, 0xAB, 0xB2, 0xDB, 0xAF,
        0xC3, 0x1C, 0xB3, 0xD3, 0x5D, 0xB7, 0xE3, 0x9E, 0xBB, 0xF3, 0xDF, 0xBF},
       "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"},
  };
  for (const auto& v : kVectors)
    EXPECT_EQ(Encode(v.input), v.text) << ToHex(v.input.data(), v.input.size());
  EXPECT_STREQ(g_szBase64Alphabet,
               "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/");
}

TEST(Base64Test, EncodedLength) {
  const struct {
    size_t bytes;
    size_t chars;
  } kCases[] = {{0, 0}, {1, 4}, {2, 4}, {3, 4}, {4, 8}, {102400, 136536}, {204800, 273068}};
  for (const auto& c : kCases) EXPECT_EQ(CBase64::EncodedLength(c.bytes), c.chars) << c.bytes;
  // Past the largest representable text length the count saturates instead of wrapping.
  EXPECT_EQ(CBase64::EncodedLength(SIZE_MAX), SIZE_MAX);
  EXPECT_EQ(CBase64::EncodedLength(SIZE_MAX / 4 * 3), SIZE_MAX / 4 * 4);
}

TEST(Base64Test, RefusesShortBufferWithoutWriting) {
  const std::vector<uint8_t> input = Bytes("foobar!");  // 7 bytes -> 12 characters
  CBase64 encoder;
  for (size_t capacity : {size_t{0}, size_t{1}, size_t{8}, size_t{11}}) {
    std::vector<char> buffer(16, '\0');
    size_t length = 0;
    EXPECT_FALSE(encoder.Encode(input.data(), input.size(), buffer.data(), capacity, &length))
        << capacity;
    EXPECT_EQ(length, 12u);
    EXPECT_EQ(std::string(buffer.data(), buffer.size()), std::string(16, '\0')) << capacity;
  }
}

TEST(Base64Test, RefusesMissingOrImpossibleArguments) {
  CBase64 encoder;
  const uint8_t one[1] = {0x41};
  char buffer[8] = {};
  size_t length = 99;

  // No input bytes behind a non-zero count.
  EXPECT_FALSE(encoder.Encode(nullptr, 3, buffer, sizeof buffer, &length));
  EXPECT_EQ(length, 0u);
  // No output buffer: treated as no room.
  EXPECT_FALSE(encoder.Encode(one, 1, nullptr, 100, &length));
  EXPECT_EQ(length, 4u);
  // A count whose text cannot even be sized is refused before any byte is read.
  EXPECT_FALSE(encoder.Encode(one, SIZE_MAX, buffer, SIZE_MAX, &length));
  EXPECT_EQ(length, SIZE_MAX);
  // Zero bytes: nothing written, count 0; the length pointer is optional.
  EXPECT_TRUE(encoder.Encode(nullptr, 0, nullptr, 0, &length));
  EXPECT_EQ(length, 0u);
  EXPECT_TRUE(encoder.Encode(one, 1, buffer, sizeof buffer, nullptr));
  EXPECT_EQ(std::string(buffer, 4), "QQ==");
  EXPECT_EQ(buffer[4], '\0');
}

}  // namespace
