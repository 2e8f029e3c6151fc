// The PIN pad (class 0x50, and 0x10 for the customer variants): password-pad and screen
// keys, the key store of master and work keys with their check values, public keys,
// data encryption, PIN entry by the scripted customer, the entry length, random data,
// account fields, and the keypad identity texts.
//
// The key store lives in the state's free slots ("tmk.NNN" master keys, "wk.NNN.KK"
// work keys, as hexadecimal text with a ".cipher" slot). Master keys come from
// components (XOR of the hexadecimal components) or under an old master key; work
// keys arrive encrypted under their master key. Keys of 8, 16 or 24 bytes use DES or
// triple DES, unless the command's flag or the command itself says SM4.
//
// The scripted customer: "pinpad.pin" (default 1234) is the PIN typed at a PIN entry,
// "pinpad.password" (default 123456) the password at a password entry, "pinpad.number"
// (default 12345) the digits on the numeric keyboard; they take the state's
// customerDelayMs. Every PIN entry leaves its clear PIN block in "pinpad.lastClearBlock".
//
// Statuses of the device's own: 0x00 0x04 a key that is not stored, 0x00 0x06 a key
// whose check value does not match, 0x00 0x05 a request whose fields do not add up.
#include <cstdlib>

#include "cmd_pinpad_cipher.h"
#include "commands.h"

namespace rv270sim {
namespace {

using namespace pinpad;

constexpr uint8_t kNotStored = 0x04;
constexpr uint8_t kCheckMismatch = 0x06;

Answer NotStored() { return Answer::Status(0x00, kNotStored); }

// Data counted by one length byte after the status bytes.
Answer Counted(const std::string& text) {
  Bytes data{static_cast<uint8_t>(text.size())};
  data.insert(data.end(), text.begin(), text.end());
  return Answer::Done(data);
}

std::string MasterName(const std::string& index) { return "tmk." + index; }
std::string WorkName(const std::string& master, const std::string& work) { return "wk." + master + "." + work; }

// ---- Password pad and screen keyboard (0x30-0x35, 0x40-0x43) -------------------------

CommandHandler GenerateKeyPair() {
  return [](const Request& r, DeviceState& s) {
    FieldReader f(r);
    if (!f.End()) return Malformed(s);
    const std::string key = ToHex(RandomBytes(32));
    Bytes data{0x00, static_cast<uint8_t>(key.size())};
    data.insert(data.end(), key.begin(), key.end());
    return Answer::Done(data);
  };
}

// 0x31/0x41: index(1) length(2) key; 0x32/0x42: master(1) work(1) length(1) key, whose
// length byte carries the low 8 bits of longer keys.
CommandHandler SurfaceKey(const std::string& surface, bool master) {
  return [surface, master](const Request& r, DeviceState& s) {
    FieldReader f(r);
    int index = 0, work = 0, length = 0;
    std::string key;
    const bool ok = master ? f.U8(index) && f.U16(length) && f.Text(length, key) && f.End()
                           : f.U8(index) && f.U8(work) && f.U8(length) && f.Rest(key) && (key.size() & 0xFF) == static_cast<size_t>(length);
    if (!ok) return Malformed(s);
    const std::string name = surface + (master ? ".mk." + std::to_string(index) : ".wk." + std::to_string(index) + "." + std::to_string(work));
    s.values[name] = key;
    s.values[surface + ".last"] = key;
    return Answer::Done();
  };
}

// The check value of the surface's latest key, as 8 characters counted by byte 2.
CommandHandler SurfaceCheckValue(const std::string& surface) {
  return [surface](const Request& r, DeviceState& s) {
    FieldReader f(r);
    int type = 0;
    if (!f.U8(type) || !f.End()) return Malformed(s);
    Bytes key;
    if (!FromHex(Value(s, surface + ".last"), key) || !KeyFits(Cipher::kDes, key)) return NotStored();
    return Counted(CheckValue(Cipher::kDes, key));
  };
}

// The customer's password, padded with 0xFF and encrypted under the pad's latest key
// (SM4 for a 16-byte key, otherwise under an all-zero SM4 key), as 32 characters.
std::string PasswordBlock(const DeviceState& s) {
  Bytes block(16, 0xFF);
  const std::string password = Value(s, "pinpad.password", "123456");
  for (size_t i = 0; i < password.size() && i < block.size(); ++i) block[i] = static_cast<uint8_t>(password[i]);
  Bytes key;
  if (!FromHex(Value(s, "pw.last"), key) || key.size() != 16) key.assign(16, 0);
  return ToHex(Ecb(Cipher::kSm4, key, block, true));
}

// 0x34/0x35: timeout(2) pwLen(1) V(1) voice T(2) tip S(1) status area.
CommandHandler PasswordEntry(bool counted) {
  return [counted](const Request& r, DeviceState& s) {
    FieldReader f(r);
    int timeout = 0, pwLen = 0, v = 0, t = 0, st = 0;
    std::string voice, tip, status;
    if (!(f.U16(timeout) && f.U8(pwLen) && f.U8(v) && f.Text(v, voice) && f.U16(t) && f.Text(t, tip) && f.U8(st) &&
          f.Text(st, status) && f.End())) {
      return Malformed(s);
    }
    s.screen.lastTimeout = timeout;
    const std::string block = PasswordBlock(s);
    Answer answer = counted ? Counted(block) : Answer::Done(block);
    answer.delayMs = s.customerDelayMs;
    return answer;
  };
}

// ---- Key store (0x54-0x59, 0x5F-0x62, 0x68, 0x10 0x17) ------------------------------

Cipher CipherOfFlag(int flag) { return (flag & 0xFF) == 1 ? Cipher::kSm4 : Cipher::kDes; }

// Answers the check value of a newly stored key.
Answer Stored(DeviceState& s, const std::string& name, const StoredKey& key) {
  if (!KeyFits(key.cipher, key.key)) return Malformed(s);
  StoreKey(s, name, key);
  return Counted(CheckValue(key.cipher, key.key));
}

// Decrypts a key sent under `wrapping` (hexadecimal text) and stores it under `name`.
Answer Unwrapped(DeviceState& s, const std::string& name, const StoredKey& wrapping, const std::string& wrappedHex) {
  Bytes wrapped;
  if (!FromHex(wrappedHex, wrapped) || wrapped.empty()) return Malformed(s);
  return Stored(s, name, StoredKey{Ecb(wrapping.cipher, wrapping.key, wrapped, false), wrapping.cipher});
}

// 0x54: index(3) L1 component1 L2 component2 flag.
Answer InputMaster(const Request& r, DeviceState& s) {
  FieldReader f(r);
  std::string index, c1, c2;
  int l1 = 0, l2 = 0, flag = 0;
  if (!(f.Text(3, index) && f.U8(l1) && f.Text(l1, c1) && f.U8(l2) && f.Text(l2, c2) && f.U8(flag) && f.End())) {
    return Malformed(s);
  }
  Bytes key, other;
  if (!FromHex(c1, key) || !FromHex(c2, other) || (!other.empty() && other.size() != key.size())) return Malformed(s);
  for (size_t i = 0; i < other.size(); ++i) key[i] ^= other[i];
  return Stored(s, MasterName(index), StoredKey{key, CipherOfFlag(flag)});
}

// 0x55: new index(3) key length(1) key under the old master key, flag, old index(3).
Answer LoadMaster(const Request& r, DeviceState& s) {
  const Bytes& p = r.payload;
  if (p.size() < 2 + 3 + 1 + 1 + 3) return Malformed(s);
  const std::string index(p.begin() + 2, p.begin() + 5);
  const std::string wrapped(p.begin() + 6, p.end() - 4);
  const std::string oldIndex(p.end() - 3, p.end());
  StoredKey old;
  if (!FindKey(s, MasterName(oldIndex), old)) return NotStored();
  return Unwrapped(s, MasterName(index), old, wrapped);
}

// 0x56: master(3) work(2) key length in bytes(1), the key under the master key (twice
// the length in characters), its check value, flag.
Answer InputWork(const Request& r, DeviceState& s) {
  FieldReader f(r);
  std::string master, work, rest;
  int length = 0;
  if (!(f.Text(3, master) && f.Text(2, work) && f.U8(length) && f.Rest(rest)) || rest.size() < 2 * static_cast<size_t>(length) + 1) {
    return Malformed(s);
  }
  const std::string wrapped = rest.substr(0, 2 * length);
  const std::string check = rest.substr(2 * length, rest.size() - 1 - 2 * length);
  StoredKey tmk;
  if (!FindKey(s, MasterName(master), tmk)) return NotStored();
  Bytes key;
  if (!FromHex(wrapped, key)) return Malformed(s);
  key = Ecb(tmk.cipher, tmk.key, key, false);
  const std::string kcv = CheckValue(tmk.cipher, key);
  if (!check.empty() && kcv.compare(0, check.size(), check) != 0) return Answer::Status(0x00, kCheckMismatch);
  StoreKey(s, WorkName(master, work), StoredKey{key, tmk.cipher});
  return Answer::Done();
}

// 0x10 0x17: 0x00 0x00, master(3) work(2) and the key under the master key.
Answer InputWorkNb(const Request& r, DeviceState& s) {
  FieldReader f(r);
  int zero = 0;
  std::string master, work, wrapped;
  if (!(f.U16(zero) && f.Text(3, master) && f.Text(2, work) && f.Rest(wrapped))) return Malformed(s);
  StoredKey tmk;
  if (!FindKey(s, MasterName(master), tmk)) return NotStored();
  const Answer stored = Unwrapped(s, WorkName(master, work), tmk, wrapped);
  return stored.payload.size() > 2 ? Answer::Done() : stored;
}

// 0x68: master(3) work(2): the work key PIN entries under that master key use.
Answer ActivateWork(const Request& r, DeviceState& s) {
  FieldReader f(r);
  std::string master, work;
  if (!(f.Text(3, master) && f.Text(2, work) && f.End())) return Malformed(s);
  StoredKey key;
  if (!FindKey(s, WorkName(master, work), key)) return NotStored();
  s.values["active." + master] = work;
  return Answer::Done();
}

// 0x57: master(3) work(2) flag: the work key's check value.
Answer CheckWork(const Request& r, DeviceState& s) {
  FieldReader f(r);
  std::string master, work;
  int flag = 0;
  if (!(f.Text(3, master) && f.Text(2, work) && f.U8(flag) && f.End())) return Malformed(s);
  StoredKey key;
  if (!FindKey(s, WorkName(master, work), key)) return NotStored();
  return Counted(CheckValue(key.cipher, key.key));
}

// 0x58: master(3) work(2) length(1) data as hexadecimal text, flag (1 decrypts).
Answer CryptWithWork(const Request& r, DeviceState& s) {
  const Bytes& p = r.payload;
  if (p.size() < 2 + 3 + 2 + 1 + 1) return Malformed(s);
  const std::string master(p.begin() + 2, p.begin() + 5), work(p.begin() + 5, p.begin() + 7);
  const std::string dataHex(p.begin() + 8, p.end() - 1);
  StoredKey key;
  if (!FindKey(s, WorkName(master, work), key)) return NotStored();
  Bytes data;
  if (!FromHex(dataHex, data)) return Malformed(s);
  const std::string out = ToHex(Ecb(key.cipher, key.key, data, p.back() != 1));
  if (out.size() > 255) return Malformed(s);
  return Counted(out);
}

// 0x59: master(3) flag: the master key's check value.
Answer MasterCheck(const Request& r, DeviceState& s) {
  FieldReader f(r);
  std::string master;
  int flag = 0;
  if (!(f.Text(3, master) && f.U8(flag) && f.End())) return Malformed(s);
  StoredKey key;
  if (!FindKey(s, MasterName(master), key)) return NotStored();
  return Counted(CheckValue(key.cipher, key.key));
}

// 0x5F/0x60: index(3) length(1) the new master key under the old one at that index.
CommandHandler RewriteMaster(Cipher cipher) {
  return [cipher](const Request& r, DeviceState& s) {
    FieldReader f(r);
    std::string index, wrapped;
    int length = 0;
    if (!(f.Text(3, index) && f.U8(length) && f.Rest(wrapped))) return Malformed(s);
    StoredKey old;
    if (!FindKey(s, MasterName(index), old)) return NotStored();
    old.cipher = cipher;
    if (!KeyFits(cipher, old.key)) return Malformed(s);
    return Unwrapped(s, MasterName(index), old, wrapped);
  };
}

// 0x61: master(3) work(3) length(1) the work key under the master key.
Answer WorkUnderMaster(const Request& r, DeviceState& s) {
  FieldReader f(r);
  std::string master, work, wrapped;
  int length = 0;
  if (!(f.Text(3, master) && f.Text(3, work) && f.U8(length) && f.Rest(wrapped))) return Malformed(s);
  StoredKey tmk;
  if (!FindKey(s, MasterName(master), tmk)) return NotStored();
  return Unwrapped(s, WorkName(master, work.substr(1)), tmk, wrapped);
}

Answer CleanSession(const Request& r, DeviceState& s) {
  FieldReader f(r);
  if (!f.End()) return Malformed(s);
  s.values.erase("session");
  return Answer::Done();
}

// ---- Public keys (0x36-0x38, 0x5E) --------------------------------------------------

// 0x36/0x38: index(3) length(2) key text: stored; the answer is the index.
CommandHandler PublicKey(const std::string& kind) {
  return [kind](const Request& r, DeviceState& s) {
    FieldReader f(r);
    std::string index, key;
    int length = 0;
    if (!(f.Text(3, index) && f.U16(length) && f.Text(length, key) && f.End())) return Malformed(s);
    s.values[kind + "." + index] = key;
    return Answer::Done(index);
  };
}

// 0x37: the key length in bits as decimal text; answer: two length bytes, the key text.
Answer RsaPublicKey(const Request& r, DeviceState& s) {
  FieldReader f(r);
  std::string text;
  f.Rest(text);
  const int bits = atoi(text.c_str());
  if (bits <= 0 || bits > 4096 || bits % 8) return Malformed(s);
  const std::string key = ToHex(RandomBytes(static_cast<size_t>(bits / 8)));
  Bytes data{static_cast<uint8_t>(key.size() >> 8), static_cast<uint8_t>(key.size() & 0xFF)};
  data.insert(data.end(), key.begin(), key.end());
  return Answer::Done(data);
}

// Two length bytes whose sum is the part's length, then the part.
void AppendPart(Bytes& out, const std::string& part) {
  const size_t first = part.size() > 255 ? 255 : 0;
  out.push_back(static_cast<uint8_t>(first));
  out.push_back(static_cast<uint8_t>(part.size() - first));
  out.insert(out.end(), part.begin(), part.end());
}

// 0x5E: key length(1) L(1) SM2 public key: a random session key, returned wrapped (a
// stand-in text) and with its check value.
Answer SessionKeyUnderSm2(const Request& r, DeviceState& s) {
  FieldReader f(r);
  int keyLength = 0, length = 0;
  std::string pk;
  if (!(f.U8(keyLength) && f.U8(length) && f.Text(length, pk) && f.End()) || keyLength != 16) return Malformed(s);
  const Bytes key = RandomBytes(16);
  s.values["session"] = ToHex(key);
  Bytes data;
  AppendPart(data, ToHex(RandomBytes(64)) + ToHex(Ecb(Cipher::kSm4, key, RandomBytes(16), true)));
  AppendPart(data, CheckValue(Cipher::kSm4, key));
  return Answer::Done(data);
}

// ---- PIN and keypad entry (0x5A-0x5C, 0x63-0x67, 0x10 0x19) --------------------------

// The PIN entry's answer: PIN block under `key` (DES: 16 characters; SM4: 32), after
// the customer's delay.
Answer PinAnswer(DeviceState& s, const StoredKey& key, Cipher cipher, const std::string& account, bool counted,
                 bool lengthByte) {
  const std::string pin = Value(s, "pinpad.pin", "1234");
  Bytes block = Format0Block(pin, account);
  s.values["pinpad.lastClearBlock"] = ToHex(block);
  if (cipher == Cipher::kSm4) block.resize(16, 0xFF);
  if (!KeyFits(cipher, key.key)) return Malformed(s);
  const std::string text = ToHex(Ecb(cipher, key.key, block, true));
  Bytes data;
  if (lengthByte) data.push_back(static_cast<uint8_t>(counted ? text.size() : pin.size()));
  data.insert(data.end(), text.begin(), text.end());
  if (!counted) {
    const std::string tail = Value(s, "pinpad.pinTail");
    data.insert(data.end(), tail.begin(), tail.end());
  }
  Answer answer = Answer::Done(data);
  answer.delayMs = s.customerDelayMs;
  return answer;
}

// The key a PIN entry under a master key uses: its active work key, or the master key.
bool PinKey(const DeviceState& s, const std::string& master, StoredKey& key) {
  const std::string work = Value(s, "active." + master);
  return (!work.empty() && FindKey(s, WorkName(master, work), key)) || FindKey(s, MasterName(master), key);
}

// 0x5A: index(3) [account(12)] mode(1) timeout(2) block type(1) option(1).
Answer ReadPin(const Request& r, DeviceState& s) {
  const size_t fields = r.payload.size() - 2;
  if (fields != 8 && fields != 20) return Malformed(s);
  FieldReader f(r);
  std::string master, account;
  int mode = 0, timeout = 0, type = 0, option = 0;
  if (!(f.Text(3, master) && (fields == 8 || f.Text(12, account)) && f.U8(mode) && f.U16(timeout) && f.U8(type) &&
        f.U8(option) && f.End())) {
    return Malformed(s);
  }
  s.screen.lastTimeout = timeout;
  StoredKey key;
  if (!PinKey(s, master, key)) return NotStored();
  return PinAnswer(s, key, type == 1 ? Cipher::kSm4 : Cipher::kDes, account, false, true);
}

// 0x63: flag(1) key index(3) key type(1) account(12) mode(1) timeout(2) min(1) max(1).
Answer GuomiPin(const Request& r, DeviceState& s) {
  FieldReader f(r);
  std::string index, account;
  int flag = 0, type = 0, mode = 0, timeout = 0, minLen = 0, maxLen = 0;
  if (!(f.U8(flag) && f.Text(3, index) && f.U8(type) && f.Text(12, account) && f.U8(mode) && f.U16(timeout) &&
        f.U8(minLen) && f.U8(maxLen) && f.End())) {
    return Malformed(s);
  }
  s.screen.lastTimeout = timeout;
  StoredKey key;
  if (!PinKey(s, index, key)) return NotStored();
  if (account.find('\0') != std::string::npos) account.clear();
  return PinAnswer(s, key, Cipher::kSm4, account, true, true);
}

// 0x10 0x19: timeout(2) byte(1) byte(1) 0x00 0x00 byte(1) tail text: a PIN block under
// master key 001 without an account.
Answer ReadPinNb(const Request& r, DeviceState& s) {
  FieldReader f(r);
  int timeout = 0, b4 = 0, b5 = 0, zero = 0, b8 = 0;
  std::string tail;
  if (!(f.U16(timeout) && f.U8(b4) && f.U8(b5) && f.U16(zero) && f.U8(b8) && f.Rest(tail))) return Malformed(s);
  s.screen.lastTimeout = timeout;
  StoredKey key;
  if (!PinKey(s, "001", key)) return NotStored();
  Answer answer = PinAnswer(s, key, Cipher::kDes, "", true, false);
  answer.payload.resize(2 + 16);
  return answer;
}

// 0x67: timeout(1) input type(1) mode(1) length(1): the digits the customer types.
Answer NumberKeyboard(const Request& r, DeviceState& s) {
  FieldReader f(r);
  int timeout = 0, type = 0, mode = 0, length = 0;
  if (!(f.U8(timeout) && f.U8(type) && f.U8(mode) && f.U8(length) && f.End())) return Malformed(s);
  s.screen.lastTimeout = timeout;
  Answer answer = Answer::Done(Value(s, "pinpad.number", "12345"));
  answer.delayMs = s.customerDelayMs;
  return answer;
}

Answer EntryLength(const Request& r, DeviceState& s) {
  FieldReader f(r);
  int minLen = 0, maxLen = 0;
  if (!(f.U8(minLen) && f.U8(maxLen) && f.End())) return Malformed(s);
  s.values["keyboard.minLen"] = std::to_string(minLen);
  s.values["keyboard.maxLen"] = std::to_string(maxLen);
  return Answer::Done();
}

Answer Ansi98Account(const Request& r, DeviceState& s) {
  FieldReader f(r);
  int length = 0;
  std::string number;
  if (!(f.U8(length) && f.Text(length, number) && f.End())) return Malformed(s);
  return Answer::Done(AccountField(number));
}

Answer Random(const Request& r, DeviceState& s) {
  FieldReader f(r);
  int length = 0;
  if (!(f.U8(length) && f.End())) return Malformed(s);
  return Answer::Done(RandomBytes(static_cast<size_t>(length)));
}

Answer Break(const Request& r, DeviceState& s) {
  FieldReader f(r);
  return f.End() ? Answer::Done() : Malformed(s);
}

// ---- Keypad identity (0x50-0x53, 0x65, 0x6A) -----------------------------------------

// A setter with a one-byte (or two-byte) length and its text.
CommandHandler SetIdentity(const std::string& slot, bool twoByteLength) {
  return [slot, twoByteLength](const Request& r, DeviceState& s) {
    FieldReader f(r);
    int length = 0;
    std::string text;
    if (!((twoByteLength ? f.U16(length) : f.U8(length)) && f.Text(length, text) && f.End())) return Malformed(s);
    s.values[slot] = text;
    return Answer::Done();
  };
}

Answer GetAppNum(const Request& r, DeviceState& s) {
  FieldReader f(r);
  if (!f.End()) return Malformed(s);
  return Counted(Value(s, "keyboard.appNum", "00000001"));
}

Answer GetKeyboardSn(const Request& r, DeviceState& s) {
  FieldReader f(r);
  if (!f.End()) return Malformed(s);
  return Answer::Done(Value(s, "keyboard.sn", "KB27000000000001"));
}

// 0x53: the keypad back to its initial state: identity texts empty.
Answer InitKeyboard(const Request& r, DeviceState& s) {
  FieldReader f(r);
  if (!f.End()) return Malformed(s);
  s.values["keyboard.appNum"] = "";
  s.values["keyboard.sn"] = "";
  s.values["keyboard.info"] = "";
  return Answer::Done();
}

}  // namespace

void RegisterPinpadCommands(CommandTable& t) {
  t.Add(0x50, 0x30, GenerateKeyPair());
  t.Add(0x50, 0x31, SurfaceKey("pw", true));
  t.Add(0x50, 0x32, SurfaceKey("pw", false));
  t.Add(0x50, 0x33, SurfaceCheckValue("pw"));
  t.Add(0x50, 0x34, PasswordEntry(false), CommandKind::kWaits);
  t.Add(0x50, 0x35, PasswordEntry(true), CommandKind::kWaits);
  t.Add(0x50, 0x40, GenerateKeyPair());
  t.Add(0x50, 0x41, SurfaceKey("screen", true));
  t.Add(0x50, 0x42, SurfaceKey("screen", false));
  t.Add(0x50, 0x43, SurfaceCheckValue("screen"));

  t.Add(0x50, 0x54, InputMaster);
  t.Add(0x50, 0x55, LoadMaster);
  t.Add(0x50, 0x56, InputWork);
  t.Add(0x10, 0x17, InputWorkNb);
  t.Add(0x50, 0x68, ActivateWork);
  t.Add(0x50, 0x57, CheckWork);
  t.Add(0x50, 0x58, CryptWithWork);
  t.Add(0x50, 0x59, MasterCheck);
  t.Add(0x50, 0x5F, RewriteMaster(Cipher::kDes));
  t.Add(0x50, 0x60, RewriteMaster(Cipher::kSm4));
  t.Add(0x50, 0x61, WorkUnderMaster);
  t.Add(0x50, 0x62, CleanSession);
  t.Add(0x50, 0x36, PublicKey("sm2"));
  t.Add(0x50, 0x37, RsaPublicKey);
  t.Add(0x50, 0x38, PublicKey("rsa"));
  t.Add(0x50, 0x5E, SessionKeyUnderSm2);

  t.Add(0x50, 0x5A, ReadPin, CommandKind::kWaits);
  t.Add(0x50, 0x63, GuomiPin, CommandKind::kWaits);
  t.Add(0x10, 0x19, ReadPinNb, CommandKind::kWaits);
  t.Add(0x50, 0x67, NumberKeyboard, CommandKind::kWaits);
  t.Add(0x50, 0x66, EntryLength);
  t.Add(0x50, 0x5B, Ansi98Account);
  t.Add(0x50, 0x64, Random);
  t.Add(0x50, 0x5C, Break, CommandKind::kEndsWaits);

  t.Add(0x50, 0x50, SetIdentity("keyboard.appNum", false));
  t.Add(0x50, 0x51, GetAppNum);
  t.Add(0x50, 0x65, SetIdentity("keyboard.sn", false));
  t.Add(0x50, 0x52, GetKeyboardSn);
  t.Add(0x50, 0x53, InitKeyboard);
  t.Add(0x50, 0x6A, SetIdentity("keyboard.info", true));
}

}  // namespace rv270sim
