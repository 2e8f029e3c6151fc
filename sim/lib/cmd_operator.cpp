// Operator management (class 0x50, 0xA6 to 0xA8; the sub-command in byte 2): the
// administrator session, the operator records and the operator session.
//
// Each record command is preceded by getSM4 (0xA7 0x00), which hands out a new SM4
// transport key as 32 hexadecimal characters; passwords and keys arrive encrypted under
// it, with the check value of the clear value (its first 8 characters). The operator
// session's sign-in sends the password block encrypted under the operator key.
//
// Statuses: 0x00 0x01 an operator that exists (create) or does not (the others), or a
// wrong password; 0x00 0x02 no administrator session (records) or no operator key (sign
// in) or nobody signed in (sign out); 0x00 0x03 a check value that does not match;
// 0x00 0x05 a request whose fields do not add up. The state's free slots hold
// "op.admin", "op.transport", "op.key", "op.<n>.password" (hexadecimal text of the
// password block), "op.<n>.power" and "op.signedIn".
#include <cctype>
#include <iterator>

#include "cmd_pinpad_cipher.h"
#include "commands.h"

namespace rv270sim {
namespace {

using namespace pinpad;

constexpr uint8_t kOperatorConflict = 0x01;
constexpr uint8_t kNotPermitted = 0x02;
constexpr uint8_t kCheckMismatch = 0x03;

std::string OperatorSlot(int number, const char* what) { return "op." + std::to_string(number) + "." + what; }

bool Admin(const DeviceState& s) { return Value(s, "op.admin") == "1"; }

// The operator identifier field: 0x04 "000" number.
bool OperatorField(FieldReader& f, int& number) {
  int length = 0;
  std::string prefix;
  return f.U8(length) && length == 4 && f.Text(3, prefix) && prefix == "000" && f.U8(number);
}

// 0x20, 32 characters encrypted under `key`, and (with a check value) 0x08 and 8 more.
bool ProtectedValue(FieldReader& f, const Bytes& key, bool withCheck, Bytes& clear, std::string& check) {
  int length = 0, checkLength = 0;
  std::string cipherHex;
  Bytes cipher;
  if (!(f.U8(length) && length == 32 && f.Text(32, cipherHex) && FromHex(cipherHex, cipher))) return false;
  if (withCheck && !(f.U8(checkLength) && checkLength == 8 && f.Text(8, check))) return false;
  if (!f.End() || key.size() != 16) return false;
  clear = Ecb(Cipher::kSm4, key, cipher, false);
  return true;
}

Answer AdminSession(const Request& r, DeviceState& s) {
  FieldReader f(r);
  int sub = 0;
  if (!f.U8(sub)) return Malformed(s);
  switch (sub) {
    case 0x00:
      if (!f.End()) return Malformed(s);
      return Answer::Done(ToHex(RandomBytes(64)));
    case 0x01: {
      int fixed = 0;
      std::string ciphertext;
      if (!f.U16(fixed) || fixed != 0x0063 || !f.Rest(ciphertext) || ciphertext.empty()) return Malformed(s);
      s.values["op.admin"] = "1";
      return Answer::Done();
    }
    case 0x02:
      if (!f.End()) return Malformed(s);
      s.values["op.admin"] = "0";
      return Answer::Done();
    default:
      return Malformed(s);
  }
}

// Create (0x01) and set the operator key (0x02): the value under the transport key.
Answer ProtectedRecord(FieldReader& f, DeviceState& s, int sub) {
  int number = 0;
  Bytes transport, clear;
  std::string check;
  FromHex(Value(s, "op.transport"), transport);
  if (!OperatorField(f, number) || !ProtectedValue(f, transport, true, clear, check)) return Malformed(s);
  s.values.erase("op.transport");  // one use per transport key
  if (!Admin(s)) return Answer::Status(0x00, kNotPermitted);
  if (CheckValue(Cipher::kSm4, clear) != check) return Answer::Status(0x00, kCheckMismatch);
  if (sub == 0x02) {
    s.values["op.key"] = ToHex(clear);
    return Answer::Done();
  }
  if (s.values.count(OperatorSlot(number, "password"))) return Answer::Status(0x00, kOperatorConflict);
  s.values[OperatorSlot(number, "password")] = ToHex(clear);
  s.values[OperatorSlot(number, "power")] = "0";
  return Answer::Done();
}

Answer Records(const Request& r, DeviceState& s) {
  FieldReader f(r);
  int sub = 0, number = 0;
  if (!f.U8(sub)) return Malformed(s);
  switch (sub) {
    case 0x00: {
      if (!f.End()) return Malformed(s);
      const std::string key = ToHex(RandomBytes(16));
      s.values["op.transport"] = key;
      return Answer::Done(key);
    }
    case 0x01:
    case 0x02:
      return ProtectedRecord(f, s, sub);
    case 0x03: {
      int length = 0, power = 0;
      if (!(OperatorField(f, number) && f.U8(length) && length == 1 && f.U8(power) && f.End())) return Malformed(s);
      if (!Admin(s)) return Answer::Status(0x00, kNotPermitted);
      if (!s.values.count(OperatorSlot(number, "password"))) return Answer::Status(0x00, kOperatorConflict);
      s.values[OperatorSlot(number, "power")] = std::to_string(power);
      return Answer::Done();
    }
    case 0x04:
      if (!(OperatorField(f, number) && f.End())) return Malformed(s);
      if (!Admin(s)) return Answer::Status(0x00, kNotPermitted);
      if (!s.values.count(OperatorSlot(number, "password"))) return Answer::Status(0x00, kOperatorConflict);
      s.values.erase(OperatorSlot(number, "password"));
      s.values.erase(OperatorSlot(number, "power"));
      return Answer::Done();
    case 0x05:
      if (!f.End()) return Malformed(s);
      if (!Admin(s)) return Answer::Status(0x00, kNotPermitted);
      for (auto it = s.values.begin(); it != s.values.end();) {
        const bool record = it->first.rfind("op.", 0) == 0 && isdigit(static_cast<unsigned char>(it->first[3]));
        it = record ? s.values.erase(it) : std::next(it);
      }
      return Answer::Done();
    default:
      return Malformed(s);
  }
}

Answer OperatorSession(const Request& r, DeviceState& s) {
  FieldReader f(r);
  int sub = 0, number = 0;
  if (!f.U8(sub)) return Malformed(s);
  if (sub == 0x00) {
    Bytes key, clear;
    std::string unused;
    const bool haveKey = FromHex(Value(s, "op.key"), key) && key.size() == 16;
    if (!OperatorField(f, number) || !ProtectedValue(f, haveKey ? key : Bytes(16, 0), false, clear, unused)) {
      return Malformed(s);
    }
    if (!haveKey) return Answer::Status(0x00, kNotPermitted);
    if (Value(s, OperatorSlot(number, "password")) != ToHex(clear)) return Answer::Status(0x00, kOperatorConflict);
    s.values["op.signedIn"] = std::to_string(number);
    return Answer::Done();
  }
  if (sub == 0x01 && f.End()) {
    if (Value(s, "op.signedIn").empty()) return Answer::Status(0x00, kNotPermitted);
    s.values.erase("op.signedIn");
    return Answer::Done();
  }
  return Malformed(s);
}

}  // namespace

void RegisterOperatorCommands(CommandTable& t) {
  t.Add(0x50, 0xA6, AdminSession);
  t.Add(0x50, 0xA7, Records);
  t.Add(0x50, 0xA8, OperatorSession);
}

}  // namespace rv270sim
