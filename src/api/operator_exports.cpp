// Operator management: the administrator session, the operator records and the operator
// session kept by the terminal. Passwords and keys leave the host only encrypted with
// SM4, under the transport key the terminal hands out for each command (getSM4) or the
// operator key the caller gives, together with a check value; nothing secret is logged,
// and every block that held a password, key or round keys is wiped after use.
//
// Every export takes the serial rate second: it becomes the library serial rate. The
// exchange always uses the selector '0', which selects no serial channel.
//
// Choices where the request and the caller's buffers set limits (checked after the
// start lines, before anything is sent; "<export> <what> too long!" (E), last error 100,
// return -2):
// - a password of more than 16 characters (the password block holds 16);
// - an operator key text of more than 96 hexadecimal characters (its decoding area holds
//   48 bytes, of which the first 16 are the key);
// - a ciphertext of more than 507 characters (the 512-byte request).
// An ApplySM2Key answer of more than kAnswerCopyMax (2048) bytes copies nothing (last
// error 122, return -4); a transport key text is kept to its first 255 characters (only
// its first 32 are used). A getSM4 success answer without a key text is refused ("getSM4
// answer shorter than announced!" (E), last error 103, return -4) and the command stops.
#include <cstring>

#include "QornRV270API.h"
#include "api/frame.h"
#include "api/pinpad_common.h"
#include "crypto/sm4.h"
#include "crypto/wipe.h"
#include "protocol/exchange.h"

using namespace api;
using namespace pinpad;

namespace {

constexpr int kSelector = '0';
constexpr int kTransportKeyWaitMs = 8000;
constexpr int kNoAnswerInTime = -9;
constexpr int kRefused = -2;
constexpr int kFailed = -4;
constexpr size_t kBlock = 16;
constexpr size_t kPasswordMax = 16;
constexpr size_t kKeyTextMax = 96;        // hexadecimal characters of the 48-byte decoding area
constexpr size_t kTransportKeyText = 256;
constexpr int kDefaultOperator = 1;       // the operator SetOperatorKey addresses
constexpr int kCheckValueText = 8;        // hexadecimal characters of the check value sent

constexpr const char* kBusyLine = "RV270Api_Communication error for usb being busying!";
constexpr const char* kKeytestDone = "RV270Api_Communication return ok,Keytest done!";

// The three groups of commands differ in which statuses are cases of their own.
enum class Group { kAdministrator, kRecords, kTransportKey };

// A 16-byte block and the round keys of one use, wiped when they go.
struct Secrets {
  uint8_t key[kBlock] = {0};
  uint8_t block[kBlock] = {0};
  uint8_t cipher[kBlock] = {0};
  uint32_t roundKeys[32] = {0};
  char cipherText[2 * kBlock + 1] = {0};
  char checkText[2 * kBlock + 1] = {0};
  Secrets() = default;
  Secrets(const Secrets&) = delete;
  Secrets& operator=(const Secrets&) = delete;
  ~Secrets() {
    SecureWipe(key, sizeof(key));
    SecureWipe(block, sizeof(block));
    SecureWipe(cipher, sizeof(cipher));
    SecureWipe(roundKeys, sizeof(roundKeys));
    SecureWipe(cipherText, sizeof(cipherText));
    SecureWipe(checkText, sizeof(checkText));
  }
};

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return 0;
}

void ToHex(const uint8_t* bytes, size_t length, char* out) {
  static const char kDigits[] = "0123456789ABCDEF";
  for (size_t i = 0; i < length; ++i) {
    out[2 * i] = kDigits[bytes[i] >> 4];
    out[2 * i + 1] = kDigits[bytes[i] & 0x0F];
  }
  out[2 * length] = '\0';
}

// The password block: 0x30 plus the hexadecimal value of each character, zero bytes after.
void PasswordBlock(const char* password, uint8_t block[kBlock]) {
  memset(block, 0, kBlock);
  const size_t length = TextLength(password);
  for (size_t i = 0; i < length && i < kBlock; ++i) block[i] = static_cast<uint8_t>(0x30 + HexValue(password[i]));
}

// A key from hexadecimal text: its first 16 bytes (an odd last digit pairs with a 0 nibble).
void KeyFromHex(const char* text, uint8_t key[kBlock]) {
  memset(key, 0, kBlock);
  const size_t length = TextLength(text);
  for (size_t i = 0; i < length && i < 2 * kBlock; ++i) {
    key[i / 2] = static_cast<uint8_t>(key[i / 2] | (HexValue(text[i]) << (i % 2 == 0 ? 4 : 0)));
  }
}

// s.block encrypted under s.key, as 32 hexadecimal characters in s.cipherText; then the
// key is wiped.
void EncryptBlock(Secrets& s) {
  Sm4KeyExpansion(s.key, s.roundKeys);
  Sm4EncryptBlock(s.roundKeys, s.block, s.cipher);
  ToHex(s.cipher, kBlock, s.cipherText);
  SecureWipe(s.key, sizeof(s.key));
  SecureWipe(s.cipher, sizeof(s.cipher));
}

// The check value of s.block: the all-zero block encrypted under it, in s.checkText.
void CheckValue(Secrets& s) {
  const uint8_t zero[kBlock] = {0};
  Sm4KeyExpansion(s.block, s.roundKeys);
  Sm4EncryptBlock(s.roundKeys, zero, s.cipher);
  ToHex(s.cipher, kBlock, s.checkText);
  SecureWipe(s.cipher, sizeof(s.cipher));
}

// The operator identifier field with its length byte: 0x04, "000", the operator number.
void OperatorField(Request& request, int operatorNo) {
  request.U8(4).Bytes("000", 3).U8(operatorNo & 0x3F);
}

// The start of every command: its start line, the serial rate taken over, last error 0.
void TakeRate(int iBaud) {
  WriteLog('I', "****************RV270Api_SetBaud start****************");
  g_nSerialRate = iBaud;
  SetLastError(kOk);
}

// Maps the answer of an exchange that ran, as the group does. An exchange that got no
// answer in time first clears the customer screen (over USB), which may still show the
// command's screen.
int Conclude(CallFrame& frame, const Answer& answer, Group group, const char* okLine) {
  if (answer.result == kNoAnswerInTime) {
    WriteLog('E', "RV270Api_Communication return timeout");
    WriteLog('I', "****************%s end****************", frame.Name());
    RV270Api_ClearMainScreen(0, 0);
  }
  // Statuses 0x00 0x01 and 0x00 0x02 are cases of their own only in some groups; the
  // rows of the others repeat the 0x00 0x00 pattern, which the row before them takes.
  const int own01 = group != Group::kAdministrator ? 0x01 : 0x00;
  const int own02 = group == Group::kRecords ? 0x02 : 0x00;
  const Outcome rows[] = {
      Busy(kBusyLine),
      LinkFailure(-3),
      OnStatus(0x00, 0x00, kAny, 0, kOk, 'I', okLine),
      OnStatus(0x00, own01, kAny, -1, kOk, 'I', okLine),
      OnStatus(0x00, own02, kAny, -2, kOk, 'I', okLine),
      Otherwise(kFailed, kReceivedDataError, 'E', "RV270Api_Communication return error!"),
  };
  return frame.Map(rows, answer);
}

// Exchanges the request and maps the answer as the group does; `answer` keeps it.
int Exchange(CallFrame& frame, int port, Request& request, int timeoutMs, Group group, const char* okLine,
             Answer& answer) {
  int refused = 0;
  if (!frame.Transact(port, kSelector, request, timeoutMs, answer, {kRefused}, &refused)) return refused;
  return Conclude(frame, answer, group, okLine);
}

int Exchange(CallFrame& frame, int port, Request& request, int timeout, Group group, const char* okLine) {
  Answer answer;
  return Exchange(frame, port, request, WaitMs(timeout, 3), group, okLine, answer);
}

// Fetches the transport key text of this command into `text` (kTransportKeyText bytes).
int GetSm4(int port, int iBaud, char* text) {
  CallFrame frame("getSM4");
  TakeRate(iBaud);
  Request request(kRequestSize, 0x50, 0xA7);
  request.U8(0x00);
  Answer answer;
  const int result = Exchange(frame, port, request, kTransportKeyWaitMs, Group::kTransportKey, kKeytestDone, answer);
  if (result != 0) return result;
  // A success answer without the key text would leave the transport key all zeros, and
  // a password or key block would go out under a key anyone knows: refused like an
  // answer shorter than its data, and the command sends nothing more.
  if (answer.DataLength() == 0) return ShortAnswer(frame, kFailed);
  BoundedCopy(text, kTransportKeyText - 1, answer.Data(), answer.DataLength());
  return 0;
}

// A record command: start lines, the transport key, then `build` fills the request.
template <typename Build>
int RecordCommand(const char* name, int port, int iBaud, int timeout, const char* okLine, Build build) {
  CallFrame frame(name);
  TakeRate(iBaud);
  char transport[kTransportKeyText] = {0};
  const int fetched = GetSm4(port, iBaud, transport);
  if (fetched != 0) {
    SecureWipe(transport, sizeof(transport));
    frame.NoEndLine();
    return fetched;
  }
  Request request(kRequestSize, 0x50, 0xA7);
  build(request, transport);
  SecureWipe(transport, sizeof(transport));
  return Exchange(frame, port, request, timeout, Group::kRecords, okLine);
}

// The 32 characters of a block encrypted under the transport key and the 8 of its check value.
void ProtectedBlock(Request& request, Secrets& s, const char* transport) {
  KeyFromHex(transport, s.key);
  EncryptBlock(s);
  CheckValue(s);
  request.U8(0x20).Bytes(s.cipherText, 2 * kBlock).U8(kCheckValueText).Bytes(s.checkText, kCheckValueText);
}

// What a record command protects: an operator password or the operator key (hex text).
enum class Protected { kPassword, kKey };

// Creates an operator or sets the operator key: the value's block goes encrypted under
// the transport key, with its check value. A value longer than its block is refused.
int ProtectedRecord(const char* name, const char* okLine, uint8_t sub, int operatorNo, Protected kind,
                    const char* text, int port, int iBaud, int timeout) {
  const bool password = kind == Protected::kPassword;
  if (TextLength(text) > (password ? kPasswordMax : kKeyTextMax)) {
    CallFrame frame(name);
    TakeRate(iBaud);
    return frame.TooLong(kRefused, password ? "pPassword" : "pOperatorKey");
  }
  return RecordCommand(name, port, iBaud, timeout, okLine, [&](Request& request, const char* transport) {
    Secrets s;
    if (password) {
      PasswordBlock(text, s.block);
    } else {
      KeyFromHex(text, s.block);
    }
    request.U8(sub);
    OperatorField(request, operatorNo);
    ProtectedBlock(request, s, transport);
  });
}

// A command without a transport key or anything secret.
int PlainCommand(const char* name, int port, int iBaud, int timeout, uint8_t command, uint8_t sub, Group group,
                 const char* okLine) {
  CallFrame frame(name);
  TakeRate(iBaud);
  Request request(kRequestSize, 0x50, command);
  request.U8(sub);
  return Exchange(frame, port, request, timeout, group, okLine);
}

}  // namespace

extern "C" {

RV270_API int RV270_CALL ApplySM2Key(int port, int iBaud, char* pSm2PubKey, int /*iUnused*/, int timeout) {
  return GuardExport(-3, [&] {
    CallFrame frame("ApplySM2Key");
    TakeRate(iBaud);
    Request request(kRequestSize, 0x50, 0xA6);
    request.U8(0x00);
    Answer answer;
    int refused = 0;
    if (!frame.Transact(port, kSelector, request, WaitMs(timeout, 3), answer, {kRefused}, &refused)) return refused;
    if (Done(answer)) {
      const size_t length = answer.DataLength();
      if (length > kAnswerCopyMax) return AnswerTooLong(frame, kFailed, length, kAnswerCopyMax);
      if (pSm2PubKey && length) memcpy(pSm2PubKey, answer.Data(), length);
    }
    return Conclude(frame, answer, Group::kAdministrator, kKeytestDone);
  });
}

RV270_API int RV270_CALL SendCiphertext(int port, int iBaud, const char* pCiphertext, int timeout) {
  return GuardExport(-3, [&] {
    CallFrame frame("SendCiphertext");
    TakeRate(iBaud);
    Request request(kRequestSize, 0x50, 0xA6);
    request.U8(0x01).U8(0x00).U8(0x63).Text(pCiphertext);
    if (request.Overflowed()) return frame.TooLong(kRefused, "pCiphertext");
    return Exchange(frame, port, request, timeout, Group::kAdministrator, kKeytestDone);
  });
}

RV270_API int RV270_CALL AdministratorSignOut(int port, int iBaud, int timeout) {
  return GuardExport(-3, [&] {
    return PlainCommand("AdministratorSignOut", port, iBaud, timeout, 0xA6, 0x02, Group::kAdministrator,
                        kKeytestDone);
  });
}

RV270_API int RV270_CALL CreatOperator(int port, int iBaud, int iOperatorNo, const char* pPassword, int timeout) {
  return GuardExport(-3, [&] {
    return ProtectedRecord("CreatOperator", "RV270Api_Communication return ok,CreatOperator done!", 0x01, iOperatorNo,
                           Protected::kPassword, pPassword, port, iBaud, timeout);
  });
}

RV270_API int RV270_CALL SetOperatorKey(int port, int iBaud, const char* pOperatorKey, int timeout) {
  return GuardExport(-3, [&] {
    return ProtectedRecord("SetOperatorKey", "RV270Api_Communication return ok,SetOperatorKey done!", 0x02,
                           kDefaultOperator, Protected::kKey, pOperatorKey, port, iBaud, timeout);
  });
}

RV270_API int RV270_CALL SetOperatorPower(int port, int iBaud, int iOperatorNo, int iPower, int timeout) {
  return GuardExport(-3, [&] {
    return RecordCommand("SetOperatorPower", port, iBaud, timeout,
                         "RV270Api_Communication return ok,SetOperatorPower done!",
                         [&](Request& request, const char*) {
                           request.U8(0x03);
                           OperatorField(request, iOperatorNo);
                           request.U8(0x01).U8(iPower & 0x3F);
                         });
  });
}

RV270_API int RV270_CALL DelOperator(int port, int iBaud, int iOperatorNo, int timeout) {
  return GuardExport(-3, [&] {
    return RecordCommand("DelOperator", port, iBaud, timeout, "RV270Api_Communication return ok,DelOperator done!",
                         [&](Request& request, const char*) {
                           request.U8(0x04);
                           OperatorField(request, iOperatorNo);
                         });
  });
}

RV270_API int RV270_CALL DelAllOperator(int port, int iBaud, int timeout) {
  return GuardExport(-3, [&] {
    return RecordCommand("DelAllOperator", port, iBaud, timeout,
                         "RV270Api_Communication return ok,DelAllOperator done!",
                         [&](Request& request, const char*) { request.U8(0x05); });
  });
}

RV270_API int RV270_CALL OperatorSignIn(int port, int iBaud, int iOperatorNo, const char* pOperatorKey,
                                        const char* pPassword, int timeout) {
  return GuardExport(-3, [&] {
    CallFrame frame("OperatorSignIn");
    TakeRate(iBaud);
    if (TextLength(pOperatorKey) > kKeyTextMax) return frame.TooLong(kRefused, "pOperatorKey");
    if (TextLength(pPassword) > kPasswordMax) return frame.TooLong(kRefused, "pPassword");
    Request request(kRequestSize, 0x50, 0xA8);
    request.U8(0x00);
    OperatorField(request, iOperatorNo);
    {
      Secrets s;
      PasswordBlock(pPassword, s.block);
      KeyFromHex(pOperatorKey, s.key);
      EncryptBlock(s);
      request.U8(0x20).Bytes(s.cipherText, 2 * kBlock);
    }
    return Exchange(frame, port, request, timeout, Group::kRecords, "RV270Api_Communication return ok,OperatorSignIn done!");
  });
}

RV270_API int RV270_CALL CiphertextSignOut(int port, int iBaud, int /*iUnused*/, int timeout) {
  return GuardExport(-3, [&] {
    return PlainCommand("CiphertextSignOut", port, iBaud, timeout, 0xA8, 0x01, Group::kRecords,
                        "RV270Api_Communication return ok,CiphertextSignOut done!");
  });
}

}  // extern "C"
