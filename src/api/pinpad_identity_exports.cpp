// Keypad identity: the PIN pad's application number and serial number, its initial
// state, and its configuration text.
//
// Choices where the request and the caller's buffers set limits:
// - A text that does not fit its one-byte length field (application number, keypad
//   serial number: over 255 characters) or the 512-byte request (configuration text:
//   over 508 characters) is refused before sending: "<export> <what> too long!" (E),
//   last error 100, return -2.
// - RV270Api_GetAppNum copies at most 255 bytes (its length byte) and
//   RV270Api_GetKeyBoardSN at most kAnswerCopyMax (2048) bytes; a longer answer copies
//   nothing (last error 122, return -4). An answer shorter than the length it announces
//   copies nothing (last error 103, return -4). The success lines show the bytes copied.
#include <cstring>
#include <string>

#include "QornRV270API.h"
#include "api/frame.h"
#include "api/pinpad_common.h"

using namespace api;
using namespace pinpad;

namespace {

constexpr int kTimeoutMs = 5000;
constexpr int kInitTimeoutMs = 15000;
constexpr int kRefused = -2;
constexpr int kFailed = -4;

constexpr Outcome kRows[] = {
    Busy(),
    LinkFailure(-3),
    OnStatus(0x00, 0x00, kAny, 0, kOk, 'I', "RV270Api_Communication return ok!"),
    Otherwise(kFailed, kReceivedDataError, 'E', "RV270Api_Communication return error!"),
};

// The setters with a one-byte length: refuse a null or empty text, send length and text.
int SetText(const char* name, const char* argName, uint8_t command, int port, int selector, const char* text) {
  CallFrame frame(name);
  if (Empty(text)) return frame.ArgError(kRefused, "%s %s is empty!", name, argName);
  const size_t length = strlen(text);
  if (length > kByteLengthMax) return frame.TooLong(kRefused, argName);
  Request request(kRequestSize, 0x50, command);
  request.U8(static_cast<int>(length)).Bytes(text, length);
  WriteLog('I', "%s %s:[%s]", name, argName, text);
  return frame.Call(port, selector, request, kTimeoutMs, kRows, {kRefused, argName});
}

// The getters: the answer data (counted by byte 2, or the whole answer) into `out`.
int GetText(const char* name, uint8_t command, int port, int selector, bool counted, char* out,
            const char* okLine) {
  CallFrame frame(name);
  Request request(kRequestSize, 0x50, command);
  Answer answer;
  int refused = 0;
  if (!frame.Transact(port, selector, request, kTimeoutMs, answer, {kRefused}, &refused)) return refused;
  if (!Done(answer)) return frame.Map(kRows, answer);
  const uint8_t* data = answer.Data();
  size_t length = answer.DataLength();
  if (counted && !CountedData(answer, &data, &length)) return ShortAnswer(frame, kFailed);
  const size_t capacity = counted ? kByteLengthMax : kAnswerCopyMax;
  if (length > capacity) return AnswerTooLong(frame, kFailed, length, capacity);
  if (out && length) memcpy(out, data, length);
  const std::string shown(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), length));
  WriteLog('I', okLine, shown.c_str());
  SetLastError(kOk);
  return 0;
}

}  // namespace

extern "C" {

RV270_API int RV270_CALL RV270Api_SetAppNum(int port, int selector, const char* pAppNum) {
  return GuardExport(-3, [&] { return SetText("RV270Api_SetAppNum", "pAppNum", 0x50, port, selector, pAppNum); });
}

RV270_API int RV270_CALL RV270Api_SetKeyBoardSN(int port, int selector, const char* pKeyBoardSn) {
  return GuardExport(-3, [&] {
    return SetText("RV270Api_SetKeyBoardSN", "pKeyBoardSn", 0x65, port, selector, pKeyBoardSn);
  });
}

RV270_API int RV270_CALL RV270Api_GetAppNum(int port, int selector, char* pAppNum) {
  return GuardExport(-3, [&] {
    return GetText("RV270Api_GetAppNum", 0x51, port, selector, true, pAppNum,
                   "RV270Api_Communication return ok,pAppNum:[%s]!");
  });
}

RV270_API int RV270_CALL RV270Api_GetKeyBoardSN(int port, int selector, char* pKeyBoardSn) {
  return GuardExport(-3, [&] {
    return GetText("RV270Api_GetKeyBoardSN", 0x52, port, selector, false, pKeyBoardSn,
                   "RV270Api_Communication return ok,pKeyBoardSn:[%s]!");
  });
}

RV270_API int RV270_CALL RV270Api_InitKeyBoard(int port, int selector) {
  return GuardExport(-3, [&] {
    CallFrame frame("RV270Api_InitKeyBoard");
    Request request(kRequestSize, 0x50, 0x53);
    return frame.Call(port, selector, request, kInitTimeoutMs, kRows);
  });
}

RV270_API int RV270_CALL RV270Api_SetKeyboardInfo(int port, int selector, const char* pKeyBoardInfo) {
  return GuardExport(-3, [&] {
    CallFrame frame("RV270Api_SetKeyboardInfo");
    if (!pKeyBoardInfo) return frame.ArgError(kRefused, "RV270Api_SetKeyboardInfo pKeyBoardInfo is null!");
    const size_t length = strlen(pKeyBoardInfo);
    Request request(kRequestSize, 0x50, 0x6A);
    request.U16(static_cast<int>(length > 0xFFFF ? 0xFFFF : length)).Bytes(pKeyBoardInfo, length);
    WriteLog('I', "RV270Api_SetKeyboardInfo pKeyBoardInfo:[%s]", pKeyBoardInfo);
    return frame.Call(port, selector, request, kTimeoutMs, kRows, {kRefused, "pKeyBoardInfo"});
  });
}

}  // extern "C"
