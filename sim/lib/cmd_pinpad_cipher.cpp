#include "cmd_pinpad_cipher.h"

#include <mutex>
#include <random>

#include "crypto/des.h"
#include "crypto/sm4.h"

namespace rv270sim {
namespace pinpad {
namespace {

size_t BlockSize(Cipher cipher) { return cipher == Cipher::kSm4 ? 16 : 8; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Triple DES EDE of one block with keys K1 K2 K3 (K3 = K1 for 16-byte keys; a single
// DES key gives single DES).
void DesEde(const Bytes& key, const uint8_t* in, uint8_t* out, bool encrypt) {
  if (key.size() == 8) {
    DesBlock(key.data(), in, out, encrypt);
    return;
  }
  const uint8_t* k1 = key.data();
  const uint8_t* k2 = key.data() + 8;
  const uint8_t* k3 = key.size() == 24 ? key.data() + 16 : k1;
  uint8_t a[8], b[8];
  if (encrypt) {
    DesBlock(k1, in, a, true);
    DesBlock(k2, a, b, false);
    DesBlock(k3, b, out, true);
  } else {
    DesBlock(k3, in, a, false);
    DesBlock(k2, a, b, true);
    DesBlock(k1, b, out, false);
  }
}

void Sm4(const Bytes& key, const uint8_t* in, uint8_t* out, bool encrypt) {
  uint32_t rk[32];
  Sm4KeyExpansion(key.data(), rk);
  if (!encrypt) {
    for (int i = 0; i < 16; ++i) std::swap(rk[i], rk[31 - i]);  // decryption: round keys reversed
  }
  Sm4EncryptBlock(rk, in, out);
}

}  // namespace

std::string ToHex(const Bytes& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 0x0F];
  }
  return out;
}

bool FromHex(const std::string& text, Bytes& out) {
  out.clear();
  if (text.size() % 2) return false;
  for (size_t i = 0; i < text.size(); i += 2) {
    const int hi = HexDigit(text[i]), lo = HexDigit(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(static_cast<uint8_t>(hi << 4 | lo));
  }
  return true;
}

bool KeyFits(Cipher cipher, const Bytes& key) {
  return cipher == Cipher::kSm4 ? key.size() == 16 : (key.size() == 8 || key.size() == 16 || key.size() == 24);
}

Bytes Ecb(Cipher cipher, const Bytes& key, const Bytes& data, bool encrypt) {
  const size_t block = BlockSize(cipher);
  Bytes in = data;
  if (in.empty() || in.size() % block) in.resize((in.size() / block + 1) * block, 0);
  Bytes out(in.size());
  for (size_t at = 0; at < in.size(); at += block) {
    if (cipher == Cipher::kSm4) {
      Sm4(key, in.data() + at, out.data() + at, encrypt);
    } else {
      DesEde(key, in.data() + at, out.data() + at, encrypt);
    }
  }
  return out;
}

std::string CheckValue(Cipher cipher, const Bytes& key) {
  const Bytes zero(BlockSize(cipher), 0);
  return ToHex(Ecb(cipher, key, zero, true)).substr(0, 8);
}

Bytes Format0Block(const std::string& pin, const std::string& accountField) {
  std::string pinField = "0";
  pinField += static_cast<char>(pin.size() < 10 ? '0' + pin.size() : 'A' + pin.size() - 10);
  pinField += pin;
  pinField.resize(16, 'F');
  std::string panField = "0000" + (accountField.empty() ? std::string(12, '0') : accountField);
  panField.resize(16, '0');
  Bytes a, b;
  FromHex(pinField, a);
  FromHex(panField, b);
  if (a.size() != 8 || b.size() != 8) return Bytes(8, 0);
  for (size_t i = 0; i < 8; ++i) a[i] ^= b[i];
  return a;
}

std::string AccountField(const std::string& cardNumber) {
  std::string digits = cardNumber.empty() ? std::string() : cardNumber.substr(0, cardNumber.size() - 1);
  if (digits.size() > 12) digits = digits.substr(digits.size() - 12);
  return std::string(12 - digits.size(), '0') + digits;
}

Bytes RandomBytes(size_t n) {
  static std::mutex mutex;
  static std::mt19937 generator(20260105u);
  std::lock_guard<std::mutex> lock(mutex);
  Bytes out(n);
  for (uint8_t& b : out) b = static_cast<uint8_t>(generator() & 0xFF);
  return out;
}

bool FindKey(const DeviceState& s, const std::string& name, StoredKey& out) {
  auto it = s.values.find(name);
  if (it == s.values.end() || !FromHex(it->second, out.key)) return false;
  out.cipher = Value(s, name + ".cipher") == "SM4" ? Cipher::kSm4 : Cipher::kDes;
  return true;
}

void StoreKey(DeviceState& s, const std::string& name, const StoredKey& key) {
  s.values[name] = ToHex(key.key);
  s.values[name + ".cipher"] = key.cipher == Cipher::kSm4 ? "SM4" : "DES";
}

std::string Value(const DeviceState& s, const std::string& name, const std::string& fallback) {
  auto it = s.values.find(name);
  return it == s.values.end() ? fallback : it->second;
}

}  // namespace pinpad
}  // namespace rv270sim
