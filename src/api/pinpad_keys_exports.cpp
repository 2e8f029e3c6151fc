// Password pad and screen keyboard: key-pair generation, master and work key loads and
// check values for each surface, and the two password entries.
//
// Key texts and the password block never reach the log in clear: their lines keep their
// text with each secret character written as '*'.
//
// Choices where the caller's buffers and the request set limits:
// - Public key, check value, password block and password data are copied only when they
//   fit the size the caller gave (iLen, iMemLen): a check-value read whose iLen cannot
//   hold its 8 bytes (and the terminator of RV270Api_GetPwCheckValue), and a password
//   entry whose iMemLen is below 32 (RV270Api_InputPassword) or whose password is null,
//   are refused before anything is sent like any other bad argument (last error 100,
//   the export's bad-argument result). An answer larger than the caller's buffer (a
//   public key over iLen, RV270Api_SetPassword data over iMemLen) copies nothing and
//   gives last error 122 with the export's "other status" result.
// - A request that does not fit its 4096 bytes (a master key of more than 4091
//   characters, entry texts together too long) or a one-byte length field (voice text
//   and status area over 255 bytes) is refused before sending: "<export> <what> too
//   long!" (E), last error 100, the bad-argument result. A work key longer than 255
//   characters keeps only the low byte of its length, as the device expects.
// - A successful answer shorter than the key length it announces copies nothing: last
//   error 103, the export's "other status" result.
#include <algorithm>
#include <cstring>
#include <string>

#include "QornRV270API.h"
#include "api/frame.h"
#include "api/pinpad_common.h"
#include "api/secret_text.h"
#include "text/voice_text.h"

using namespace api;
using namespace pinpad;

namespace {

constexpr int kKeyTimeoutMs = 5000;
constexpr int kGenerateTimeoutMs = 10000;
constexpr int kKeyRefused = -2;
constexpr size_t kCheckValueLength = 8;
constexpr size_t kPasswordBlock = 32;
constexpr int kInputPasswordResult = 16;  // what RV270Api_InputPassword returns on success

constexpr const char* kReturnError = "RV270Api_Communication return error!";

// Results of one export for a link failure, status 0x00 0x09 and any other status.
struct Results {
  int link;
  int hardware;
  int other;
};

// ---- Key-pair generation -------------------------------------------------------------

int GenerateKey(const char* name, uint8_t command, int port, int selector, int iLen, char* pubkey,
                Results results, const char* hwLine) {
  CallFrame frame(name);
  if (iLen <= 0) return frame.ArgError(kKeyRefused, "%s iLen<=0!", name);
  if (!pubkey) return frame.ArgError(kKeyRefused, "%s NULL==pubkey!", name);
  memset(pubkey, 0, static_cast<size_t>(iLen));
  WriteLog('I', "%s iLen:[%d]", name, iLen);
  Request request(kRequestSize, 0x50, command);
  Answer answer;
  int refused = 0;
  if (!frame.Transact(port, selector, request, kGenerateTimeoutMs, answer, {kKeyRefused}, &refused)) return refused;
  const auto rows = KeyRows(results.link, results.hardware, hwLine, results.other);
  if (!Done(answer)) return frame.Map(TableOf(rows), answer);
  const size_t keyLength = answer.length >= 4 ? (answer.response[2] << 8) | answer.response[3] : 0;
  if (answer.length < 4 || static_cast<size_t>(answer.length) < 4 + keyLength) {
    return ShortAnswer(frame, results.other);
  }
  if (keyLength > static_cast<size_t>(iLen)) return AnswerTooLong(frame, results.other, keyLength, iLen);
  memcpy(pubkey, answer.response + 4, keyLength);
  WriteLog('E', "RV270Api_Communication return ok keyLen:[%d],pubkey:[%.*s]!", static_cast<int>(keyLength),
           static_cast<int>(keyLength), pubkey);
  SetLastError(kOk);
  return static_cast<int>(keyLength);
}

// ---- Master and work key loads -------------------------------------------------------

enum class Load { kMaster, kWork };

int LoadKey(const char* name, const char* keyName, uint8_t command, Load kind, int port, int selector,
            int masterIndex, int workIndex, const char* key, int iLen, Results results) {
  CallFrame frame(name);
  if (iLen <= 0 || Empty(key)) return frame.ArgError(kKeyRefused, "%s %s is empty!", name, keyName);
  if (static_cast<size_t>(iLen) > strlen(key)) {
    return frame.ArgError(kKeyRefused, "%s iLen>strlen(%s)!", name, keyName);
  }
  WriteLog('I', "%s %s:[%s],iLen:[%d]", name, keyName, Masked(key).c_str(), iLen);
  Request request(kLongRequestSize, 0x50, command);
  request.U8(masterIndex);
  if (kind == Load::kMaster) {
    request.U16(iLen);
  } else {
    request.U8(workIndex).U8(iLen);
  }
  request.Bytes(key, static_cast<size_t>(iLen));
  const auto rows = KeyRows(results.link, results.hardware, "RV270Api_Communication myloadKeyResult[1]==0x09!",
                            results.other, 'E');
  return frame.Call(port, selector, request, kKeyTimeoutMs, TableOf(rows), {kKeyRefused, keyName});
}

// ---- Check values --------------------------------------------------------------------

struct CheckValueLines {
  const char* busy;     // nullptr: "<export> error for usb being busying!"
  const char* success;  // formatted with the check value and 8
  char lengthLevel;     // level of the two short-answer lines
  const char* other;
  bool terminate;       // a terminator after the 8 bytes
};

int ReadCheckValue(const char* name, uint8_t command, int port, int selector, int iType, int iLen,
                   char* pCheckValue, const CheckValueLines& lines) {
  CallFrame frame(name);
  if (iLen <= 0) return frame.ArgError(kKeyRefused, "%s iLen<=0!", name);
  if (!pCheckValue) return frame.ArgError(kKeyRefused, "%s NULL==pCheckValue!", name);
  memset(pCheckValue, 0, static_cast<size_t>(iLen));
  WriteLog('I', "%s iType:[%d],iLen:[%d]", name, iType, iLen);
  if (iType < 0) return frame.ArgError(kKeyRefused, "RV270Api_Communication iType error!");
  const size_t needed = kCheckValueLength + (lines.terminate ? 1 : 0);
  if (static_cast<size_t>(iLen) < needed) {
    return frame.ArgError(kKeyRefused, "%s iLen:[%d] < %d!", name, iLen, static_cast<int>(needed));
  }
  Request request(kRequestSize, 0x50, command);
  request.U8(iType);
  Answer answer;
  int refused = 0;
  if (!frame.Transact(port, selector, request, kKeyTimeoutMs, answer, {kKeyRefused}, &refused)) return refused;
  const auto rows = KeyRows(-4, -6, "RV270Api_Communication myCheckValue[1]==0x09!", -5, 'I',
                            "RV270Api_Communication return ok!", lines.other, lines.busy);
  if (!Done(answer)) return frame.Map(TableOf(rows), answer);
  if (answer.length < 3) {
    WriteLog(lines.lengthLevel, "myCheckValueLen:[%d] < 3", answer.length);
    SetLastError(kReceivedDataError);
    return -5;
  }
  const int announced = answer.response[2] + 3;
  if (answer.length < announced) {
    WriteLog(lines.lengthLevel, "myCheckValueLen:[%d] < %d", answer.length, announced);
    SetLastError(kReceivedDataError);
    return -5;
  }
  // Eight bytes whatever the announced length: beyond the answer they are the zeroes
  // of the cleared response buffer.
  memcpy(pCheckValue, answer.response + 3, kCheckValueLength);
  if (lines.terminate) pCheckValue[kCheckValueLength] = '\0';
  WriteLog('I', lines.success, static_cast<int>(kCheckValueLength), pCheckValue,
           static_cast<int>(kCheckValueLength));
  SetLastError(kOk);
  return static_cast<int>(kCheckValueLength);
}

const CheckValueLines kPwCheckLines{"GetPwCheckValue error for usb being busying!",
                                    "RV270Api_Communication return ok CheckValue:[%.*s],ValueLen:[%d]", 'I',
                                    kReturnError, true};
const CheckValueLines kScreenCheckLines{nullptr, "CheckValue:[%.*s],ValueLen:[%d]", 'E',
                                        "RV270Api_Communication return error", false};

// ---- Password entry ------------------------------------------------------------------

enum class Entry { kInput, kSet };

struct EntryArgs {
  int timeout;
  const char* pStatusArea;
  const char* pTipInfo;
  const char* pVoice;
  int ipwLen;
  int iMemLen;
  char* password;
};

constexpr int kEntryRefused = -4;

// The argument checks, in order; 0 when they pass, otherwise the refusal's result.
int CheckEntry(CallFrame& frame, Entry kind, const EntryArgs& a) {
  // RV270Api_SetPassword logs its first three lines at level I.
  const char level = kind == Entry::kInput ? 'E' : 'I';
  const struct {
    bool failed;
    const char* line;
    char level;
  } kChecks[] = {
      {a.timeout <= 0, kind == Entry::kInput ? "timeout<=0" : "timeout <= 0", level},
      {a.ipwLen <= 1, "ipwLen<=1", level},
      {a.iMemLen <= 0, "iMemLen<=0", level},
      {a.password == nullptr, "NULL==password!", 'E'},
  };
  for (const auto& check : kChecks) {
    if (!check.failed) continue;
    WriteLog(check.level, "%s %s", frame.Name(), check.line);
    SetLastError(kParamError);
    return kEntryRefused;
  }
  if (kind == Entry::kInput && static_cast<size_t>(a.iMemLen) < kPasswordBlock) {
    return frame.ArgError(kEntryRefused, "%s iMemLen:[%d] < %d!", frame.Name(), a.iMemLen,
                          static_cast<int>(kPasswordBlock));
  }
  return 0;
}

constexpr Outcome kEntryBusy = Busy();
constexpr Outcome kEntryLink = LinkFailure(-5);
constexpr Outcome kEntry02 = OnStatus(0x00, 0x02, kAny, -1, kOk, 'E', "RV270Api_Communication myPassword[1]==0x02!");
constexpr Outcome kEntry03 = OnStatus(0x00, 0x03, kAny, -2, kOk, 'E', "RV270Api_Communication myPassword[1]==0x03!");
constexpr Outcome kEntry09 =
    OnStatus(0x00, 0x09, kAny, -7, kHardwareException, 'E', "RV270Api_Communication myPassword[1]==0x09!");
constexpr Outcome kEntryAA = OnStatus(0xAA, kAny, kAny, -3, kOk, 'E', "RV270Api_Communication myPassword[0]==0xAA!");
constexpr Outcome kEntryElse = Otherwise(-6, kReceivedDataError, 'E', kReturnError);
// The failures of the two entries; RV270Api_SetPassword has no case of its own for 0x00 0x01.
constexpr Outcome kInputRows[] = {
    kEntryBusy, kEntryLink,
    OnStatus(0x00, 0x01, kAny, 0, kOk, 'E', "RV270Api_Communication myPassword[1]==0x01!"),
    kEntry02, kEntry03, kEntry09, kEntryAA, kEntryElse,
};
constexpr Outcome kSetRows[] = {kEntryBusy, kEntryLink, kEntry02, kEntry03, kEntry09, kEntryAA, kEntryElse};

int PasswordEntry(const char* name, uint8_t command, Entry kind, int port, int selector, const EntryArgs& a) {
  CallFrame frame(name);
  const int refused = CheckEntry(frame, kind, a);
  if (refused) return refused;
  memset(a.password, 0, static_cast<size_t>(a.iMemLen));
  std::string voice = Empty(a.pVoice) ? std::string() : PrepareVoiceText(a.pVoice);
  WriteLog('I', "%s timeout:[%d],pStatusArea:[%s],pTipInfo[%s],pVoice:[%s],ipwLen:[%d],iMemLen:[%d]", name,
           a.timeout, Shown(a.pStatusArea), Shown(a.pTipInfo), Shown(a.pVoice), a.ipwLen, a.iMemLen);
  if (voice.size() > kByteLengthMax) return frame.TooLong(kEntryRefused, "voice");
  const size_t statusLength = TextLength(a.pStatusArea);
  if (statusLength > kByteLengthMax) return frame.TooLong(kEntryRefused, "status area");
  const size_t tipLength = TextLength(a.pTipInfo);
  Request request(kLongRequestSize, 0x50, command);
  request.U16(a.timeout).U8(a.ipwLen).U8(static_cast<int>(voice.size())).Bytes(voice.data(), voice.size());
  request.U16(static_cast<int>(std::min<size_t>(tipLength, 0xFFFF))).Bytes(a.pTipInfo, tipLength);
  request.U8(static_cast<int>(statusLength)).Bytes(a.pStatusArea, statusLength);
  Answer answer;
  int notSent = 0;
  if (!frame.Transact(port, selector, request, WaitMs(a.timeout, 3), answer, {kEntryRefused, "tip"}, &notSent)) {
    return notSent;
  }
  // On every failure the password buffer holds the zeroes of the entry step.
  if (!Done(answer)) return frame.Map(kind == Entry::kInput ? OutcomeTable(kInputRows) : OutcomeTable(kSetRows), answer);
  if (kind == Entry::kInput) {
    if (answer.length < 2 + static_cast<int>(kPasswordBlock)) {
      WriteLog('E', "RV270Api_Communication myPasswordLen<34!");
      SetLastError(kReceivedDataError);
      return -6;
    }
    memcpy(a.password, answer.response + 2, kPasswordBlock);
    WriteLog('I', "RV270Api_Communication return ok password:%s!", Masked(a.password, kPasswordBlock).c_str());
    SetLastError(kOk);
    return kInputPasswordResult;
  }
  const uint8_t* data = nullptr;
  size_t n = 0;
  if (!CountedData(answer, &data, &n)) return ShortAnswer(frame, -6);
  if (n < 6) {
    WriteLog('I', "RV270Api_Communication reurn myPassword wholeLen < 6");
    SetLastError(kReceivedDataError);
    return -6;
  }
  if (n > static_cast<size_t>(a.iMemLen)) return AnswerTooLong(frame, -6, n, static_cast<size_t>(a.iMemLen));
  memcpy(a.password, data, n);
  WriteLog('I', "RV270Api_Communication reurn ok wholeLen:%d,password:%s", static_cast<int>(n),
           Masked(a.password, n).c_str());
  SetLastError(kOk);
  return static_cast<int>(n);
}

}  // namespace

extern "C" {

RV270_API int RV270_CALL RV270Api_GenerateKeyFromPw(int port, int selector, int iLen, char* pubkey) {
  return GuardExport(-3, [&] {
    return GenerateKey("RV270Api_GenerateKeyFromPw", 0x30, port, selector, iLen, pubkey, {-3, -5, -4},
                       "RV270Api_Communication myGenerateKey[1]==0x09!");
  });
}

RV270_API int RV270_CALL RV270Api_GenerateKeyFromScreen(int port, int selector, int iLen, char* pubkey) {
  return GuardExport(-4, [&] {
    return GenerateKey("RV270Api_GenerateKeyFromScreen", 0x40, port, selector, iLen, pubkey, {-4, -6, -5},
                       "RV270Api_Communication myPassword[1]==0x09!");
  });
}

RV270_API int RV270_CALL RV270Api_SetPwMkey(int port, int selector, int iMkeyIndex, const char* pwMkey, int iLen) {
  return GuardExport(-4, [&] {
    return LoadKey("RV270Api_SetPwMkey", "pwMkey", 0x31, Load::kMaster, port, selector, iMkeyIndex, 0, pwMkey,
                   iLen, {-4, -5, -6});
  });
}

RV270_API int RV270_CALL RV270Api_SetPwWkey(int port, int selector, int iMkeyIndex, int iWkeyIndex,
                                            const char* pwWkey, int iLen) {
  return GuardExport(-4, [&] {
    return LoadKey("RV270Api_SetPwWkey", "pwWkey", 0x32, Load::kWork, port, selector, iMkeyIndex, iWkeyIndex, pwWkey,
                   iLen, {-4, -5, -6});
  });
}

RV270_API int RV270_CALL RV270Api_SetScreenMkey(int port, int selector, int iMkeyIndex, const char* pMkey,
                                                int iLen) {
  return GuardExport(-3, [&] {
    return LoadKey("RV270Api_SetScreenMkey", "pMkey", 0x41, Load::kMaster, port, selector, iMkeyIndex, 0, pMkey,
                   iLen, {-3, -4, -5});
  });
}

RV270_API int RV270_CALL RV270Api_SetScreenWkey(int port, int selector, int iMkeyIndex, int iWkeyIndex,
                                                const char* pWkey, int iLen) {
  return GuardExport(-4, [&] {
    return LoadKey("RV270Api_SetScreenWkey", "pWkey", 0x42, Load::kWork, port, selector, iMkeyIndex, iWkeyIndex,
                   pWkey, iLen, {-4, -5, -6});
  });
}

RV270_API int RV270_CALL RV270Api_GetPwCheckValue(int port, int selector, int iType, int iLen, char* pCheckValue) {
  return GuardExport(-4, [&] {
    return ReadCheckValue("RV270Api_GetPwCheckValue", 0x33, port, selector, iType, iLen, pCheckValue, kPwCheckLines);
  });
}

RV270_API int RV270_CALL RV270Api_GetScreenCheckValue(int port, int selector, int iType, int iLen,
                                                      char* pCheckValue) {
  return GuardExport(-4, [&] {
    return ReadCheckValue("RV270Api_GetScreenCheckValue", 0x43, port, selector, iType, iLen, pCheckValue,
                          kScreenCheckLines);
  });
}

RV270_API int RV270_CALL RV270Api_InputPassword(int port, int selector, int timeout, const char* pStatusArea,
                                                const char* pTipInfo, const char* pVoice, int ipwLen, int iMemLen,
                                                char* password) {
  return GuardExport(-5, [&] {
    return PasswordEntry("RV270Api_InputPassword", 0x34, Entry::kInput, port, selector,
                         {timeout, pStatusArea, pTipInfo, pVoice, ipwLen, iMemLen, password});
  });
}

RV270_API int RV270_CALL RV270Api_SetPassword(int port, int selector, int timeout, const char* pStatusArea,
                                              const char* pTipInfo, const char* pVoice, int ipwLen, int iMemLen,
                                              char* password) {
  return GuardExport(-5, [&] {
    return PasswordEntry("RV270Api_SetPassword", 0x35, Entry::kSet, port, selector,
                         {timeout, pStatusArea, pTipInfo, pVoice, ipwLen, iMemLen, password});
  });
}

}  // extern "C"
