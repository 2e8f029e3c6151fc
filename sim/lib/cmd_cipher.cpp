// The terminal's national-cipher engine (class 0x60, command byte 0x00; byte 2 is 0x00
// and byte 3 the service). The simulated engine computes SM3 and answers the other
// services from a table of published known-answer vectors:
// - SM2 (GB/T 32918.4, the example of its annex: the key pair dB/PB on the example curve,
//   the message "encryption standard" encrypted with its fixed k): the key pair service
//   answers that key pair; encryption of the message answers 04||C1||C2||C3 (the
//   "_af" service C1||C3||C2); decryption answers the message.
// - SM4 ECB and CBC: the example of GB/T 32907 and the examples A.2.1.1 and A.2.2.1 of the
//   SM4 description in draft-ribose-cfrg-sm4; the MAC of one block under a zero initial
//   vector is the cipher of that block.
// Keys and data are hexadecimal text, except the SM3 and SM2 messages, which are the
// caller's bytes; answers are upper-case hexadecimal text (the SM2 decryption: the
// message). Inputs without a vector are refused with status 0x01 0x00; a length byte
// that does not match the data is a malformed request. The random-data job (0x13)
// stores a file of random bytes under the name it is given, for the host to upload.
#include <array>
#include <cstdio>
#include <string>

#include "commands.h"

namespace rv270sim {
namespace {

// ---- SM3 (GB/T 32905) ------------------------------------------------------------------

uint32_t Rotl(uint32_t x, int n) {
  n &= 31;
  return n ? (x << n) | (x >> (32 - n)) : x;
}

void Sm3Block(std::array<uint32_t, 8>& v, const uint8_t* block) {
  uint32_t w[68], w1[64];
  for (int j = 0; j < 16; ++j) {
    w[j] = (uint32_t(block[4 * j]) << 24) | (uint32_t(block[4 * j + 1]) << 16) | (uint32_t(block[4 * j + 2]) << 8) |
           block[4 * j + 3];
  }
  for (int j = 16; j < 68; ++j) {
    const uint32_t x = w[j - 16] ^ w[j - 9] ^ Rotl(w[j - 3], 15);
    w[j] = (x ^ Rotl(x, 15) ^ Rotl(x, 23)) ^ Rotl(w[j - 13], 7) ^ w[j - 6];
  }
  for (int j = 0; j < 64; ++j) w1[j] = w[j] ^ w[j + 4];
  uint32_t a = v[0], b = v[1], c = v[2], d = v[3], e = v[4], f = v[5], g = v[6], h = v[7];
  for (int j = 0; j < 64; ++j) {
    const uint32_t t = j < 16 ? 0x79CC4519u : 0x7A879D8Au;
    const uint32_t ss1 = Rotl(Rotl(a, 12) + e + Rotl(t, j), 7);
    const uint32_t ss2 = ss1 ^ Rotl(a, 12);
    const uint32_t ff = j < 16 ? (a ^ b ^ c) : ((a & b) | (a & c) | (b & c));
    const uint32_t gg = j < 16 ? (e ^ f ^ g) : ((e & f) | (~e & g));
    const uint32_t tt1 = ff + d + ss2 + w1[j];
    const uint32_t tt2 = gg + h + ss1 + w[j];
    d = c;
    c = Rotl(b, 9);
    b = a;
    a = tt1;
    h = g;
    g = Rotl(f, 19);
    f = e;
    e = tt2 ^ Rotl(tt2, 9) ^ Rotl(tt2, 17);
  }
  v[0] ^= a; v[1] ^= b; v[2] ^= c; v[3] ^= d; v[4] ^= e; v[5] ^= f; v[6] ^= g; v[7] ^= h;
}

std::string Sm3Hex(const std::string& message) {
  std::array<uint32_t, 8> v{0x7380166F, 0x4914B2B9, 0x172442D7, 0xDA8A0600,
                            0xA96F30BC, 0x163138AA, 0xE38DEE4D, 0xB0FB0E4E};
  std::string m = message;
  const uint64_t bits = uint64_t(message.size()) * 8;
  m.push_back('\x80');
  while (m.size() % 64 != 56) m.push_back('\0');
  for (int i = 7; i >= 0; --i) m.push_back(static_cast<char>((bits >> (8 * i)) & 0xFF));
  for (size_t at = 0; at < m.size(); at += 64) Sm3Block(v, reinterpret_cast<const uint8_t*>(m.data()) + at);
  std::string out;
  char cell[9];
  for (uint32_t word : v) {
    snprintf(cell, sizeof(cell), "%08X", word);
    out += cell;
  }
  return out;
}

// ---- Known-answer vectors ---------------------------------------------------------------

// GB/T 32918.4 annex example: private key dB, public key PB = xB||yB, message, and the
// ciphertext parts for k = 4C62EEFD6ECFC2B95B92FD6C3D9575148AFA17425546D49018E5388D49DD7B4F.
constexpr const char* kSm2Private = "1649AB77A00637BD5E2EFE283FBF353534AA7F7CB89463F208DDBC2920BB0DA0";
constexpr const char* kSm2Public =
    "435B39CCA8F3B508C1488AFC67BE491A0F7BA07E581A0E4849A5CF70628A7E0A"
    "75DDBA78F15FEECB4C7895E2C1CDF5FE01DEBB2CDBADF45399CCF77BBA076A42";
constexpr const char* kSm2Message = "encryption standard";
constexpr const char* kSm2C1 =
    "04245C26FB68B1DDDDB12C4B6BF9F2B6D5FE60A383B0D18D1C4144ABF17F6252E7"
    "76CB9264C2A7E88E52B19903FDC47378F605E36811F5C07423A24B84400F01B8";
constexpr const char* kSm2C2 = "650053A89B41C418B0C3AAD00D886C00286467";
constexpr const char* kSm2C3 = "9C3D7360C30156FAB7C80A0276712DA9D8094A634B766D3A285E07480653426D";

struct Sm4Vector {
  uint8_t service;  // 0x08 MAC, 0x09/0x11 CBC, 0x10/0x12 ECB (encryption; decryption reverses it)
  const char* key;
  const char* iv;
  const char* plain;
  const char* cipher;
};

constexpr const char* kKey = "0123456789ABCDEFFEDCBA9876543210";
constexpr const char* kIv = "000102030405060708090A0B0C0D0E0F";
constexpr const char* kZeroIv = "00000000000000000000000000000000";
constexpr const char* kDraftPlain = "AAAAAAAABBBBBBBBCCCCCCCCDDDDDDDDEEEEEEEEFFFFFFFFAAAAAAAABBBBBBBB";

const Sm4Vector kSm4Vectors[] = {
    {0x10, kKey, "", kKey, "681EDF34D206965E86B3E94F536E4246"},  // GB/T 32907 example 1
    {0x10, kKey, "", kDraftPlain, "5EC8143DE509CFF7B5179F8F474B86192F1D305A7FB17DF985F81C8482192304"},  // A.2.1.1
    {0x09, kKey, kIv, kDraftPlain, "78EBB11CC40B0A48312AAEB2040244CB4CB7016951909226979B0D15DC6A8F6D"},  // A.2.2.1
    {0x08, kKey, kZeroIv, kKey, "681EDF34D206965E86B3E94F536E4246"},
};

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// What the engine does not know.
Answer NoVector() { return Answer::Status(0x01, 0x00); }

// ---- The services -----------------------------------------------------------------------

// The fields of one service request after its four header bytes.
struct Job {
  uint8_t service = 0;
  std::string pub, pri, extra, key, iv, data;
};

struct Layout {
  uint8_t service;
  size_t pub, pri, extra, key, iv;  // field sizes, 0 when absent
  bool lengthByte;
};

const Layout kLayouts[] = {
    {0x01, 0, 0, 0, 0, 0, false},   {0x02, 128, 64, 0, 0, 0, false}, {0x03, 128, 64, 0, 0, 0, true},
    {0x04, 128, 64, 64, 0, 0, true}, {0x05, 128, 64, 0, 0, 0, true}, {0x06, 128, 64, 32, 0, 0, true},
    {0x07, 0, 0, 0, 0, 0, true},    {0x08, 0, 0, 0, 32, 32, true},   {0x09, 0, 0, 0, 32, 32, false},
    {0x10, 0, 0, 0, 32, 0, false},  {0x11, 0, 0, 0, 32, 32, false},  {0x12, 0, 0, 0, 32, 0, false},
    {0x13, 0, 0, 0, 0, 0, false},
};

// Reads a request into a job; false when its fields do not add up.
bool ReadJob(const Request& r, Job& job) {
  FieldReader f(r);
  int zero = 0, service = 0;
  if (!(f.U8(zero) && f.U8(service)) || zero != 0) return false;
  for (const Layout& layout : kLayouts) {
    if (layout.service != service) continue;
    job.service = layout.service;
    if (!(f.Text(layout.pub, job.pub) && f.Text(layout.pri, job.pri) && f.Text(layout.extra, job.extra) &&
          f.Text(layout.key, job.key) && f.Text(layout.iv, job.iv))) {
      return false;
    }
    int length = 0;
    if (layout.lengthByte && !f.U8(length)) return false;
    f.Rest(job.data);
    return !layout.lengthByte || static_cast<size_t>(length) == (job.data.size() & 0xFF);
  }
  return false;
}

Answer Sm2(const Job& job) {
  const bool encrypt = job.service != 0x03;
  if (encrypt) {
    if (Upper(job.pub) != kSm2Public || job.data != kSm2Message) return NoVector();
    const std::string c1 = kSm2C1;
    return Answer::Done(job.service == 0x05 ? c1 + kSm2C3 + kSm2C2 : c1 + kSm2C2 + kSm2C3);
  }
  if (Upper(job.pri) != kSm2Private || Upper(job.data) != std::string(kSm2C1) + kSm2C2 + kSm2C3) return NoVector();
  return Answer::Done(std::string(kSm2Message));
}

Answer Sm4(const Job& job) {
  const bool decrypt = job.service == 0x11 || job.service == 0x12;
  const uint8_t mode = job.service == 0x11 ? 0x09 : job.service == 0x12 ? 0x10 : job.service;
  for (const Sm4Vector& v : kSm4Vectors) {
    if (v.service != mode || Upper(job.key) != v.key || Upper(job.iv) != v.iv) continue;
    if (Upper(job.data) == (decrypt ? v.cipher : v.plain)) return Answer::Done(std::string(decrypt ? v.plain : v.cipher));
  }
  return NoVector();
}

// Random data: a file of kRandomBytes bytes stored as the signature-image file named by
// the request (category 9), for the host to upload.
constexpr size_t kRandomBytes = 2000;
Answer RandomData(const Job& job, DeviceState& s) {
  if (job.data.empty()) return NoVector();
  Bytes content(kRandomBytes);
  uint32_t x = static_cast<uint32_t>(s.files.size()) * 2654435761u + 12345u;
  for (uint8_t& b : content) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  s.files[{9, job.data}] = KeptFile(content);
  return Answer::Done();
}

Answer Cipher(const Request& r, DeviceState& s) {
  Job job;
  if (!ReadJob(r, job)) return Malformed(s);
  s.values["cipher.lastService"] = std::to_string(job.service);
  switch (job.service) {
    case 0x01: return Answer::Done(std::string(kSm2Public) + kSm2Private);
    case 0x06:  // the digest of the data; the key fields are the engine's concern
    case 0x07: return Answer::Done(Sm3Hex(job.data));
    case 0x02: case 0x03: case 0x04: case 0x05: return Sm2(job);
    case 0x13: return RandomData(job, s);
    default: return Sm4(job);
  }
}

}  // namespace

void RegisterCipherCommands(CommandTable& t) { t.Add(0x60, 0x00, Cipher); }

}  // namespace rv270sim
