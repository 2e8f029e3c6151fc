// Customer screen: texts with a spoken prompt, web pages, scripts in the shown page, the
// signature pad, the welcome text, the status bar, the advertisement area and the poster.
//
// Display texts go to the terminal as the caller's GBK bytes; voice texts are prepared
// by PrepareVoiceText (UTF-8, numbers spelled out) unless the caller asks for its bytes
// unchanged (iVoiceFlag 0 of RV270Api_ShowInfo and RV270Api_ShowText).
//
// Choices where the terminal's buffers and length fields set limits:
// - A text that does not fit its request buffer (4096 bytes for the commands with long
//   texts, 512 for the welcome and status-bar texts) or a one-byte length field (the page
//   text of the web commands, the status area of RV270Api_ShowInfoOrWaitSign) is refused
//   before anything is sent: "<export> <what> too long!" (E), last error 100, return -2.
//   Nothing is cut, so the caller learns the text was not shown. The voice counts as it
//   would be sent: the prepared text, or the caller's bytes with voice flag 0.
// - RV270Api_ExcuteJs copies at most iLen - 1 bytes of the script result, so pResult stays
//   terminated. A longer result is copied cut and reported as -7 with last error 122
//   ("RV270Api_ExcuteJs result length %d over iLen %d!", E). A successful answer shorter
//   than its two status bytes copies nothing.
#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <string>
#include <utility>

#include "QornRV270API.h"
#include "api/frame.h"
#include "text/voice_text.h"

using namespace api;

namespace {

constexpr size_t kByteLengthMax = 255;  // a one-byte length field
constexpr int kRefused = -2;            // argument errors and texts that do not fit

// The exchange wait in ms: the terminal's own timeout in seconds plus a margin, so the
// terminal's answer (its own timeout included) arrives before the library gives up.
int WaitMs(int timeoutSeconds, int marginSeconds) {
  const long long ms = (static_cast<long long>(timeoutSeconds) + marginSeconds) * 1000;
  return static_cast<int>(std::clamp<long long>(ms, 0, INT_MAX));
}

// The prepared voice text; empty when there is nothing to say.
std::string Spoken(const char* pVoice) { return Empty(pVoice) ? std::string() : PrepareVoiceText(pVoice); }

// A field of a two-byte length and the bytes.
void Field16(Request& request, const void* bytes, size_t length) {
  request.U16(static_cast<int>(std::min<size_t>(length, 0xFFFF))).Bytes(bytes, length);
}
void Field16(Request& request, const std::string& text) { Field16(request, text.data(), text.size()); }
void Field16(Request& request, const char* text) { Field16(request, Shown(text), strlen(Shown(text))); }

// ---- RV270Api_ShowInfo and RV270Api_ShowText -------------------------------------------

constexpr const char* kAnswerOne = "RV270Api_Communication return ok!myWebResult[2]==0x01!";
constexpr const char* kErrorValue = "RV270Api_Communication return error value!";
constexpr const char* kBreak101D = "RV270Api_Communication return 101D break!";

// Status 0x00 0x00 with mode 1: the customer's answer in byte 2.
constexpr Outcome kDoneAnswered[] = {
    OnStatus(0x00, 0x00, 0x00, 0, kOk, 'E', "RV270Api_Communication [mode=0] return ok!"),
    OnStatus(0x00, 0x00, 0x01, 1, kOk, 'E', kAnswerOne),
    OnStatus(0x00, 0x00, kAny, -5, kReceivedDataError, 'E', kErrorValue),
};
// Status 0x00 0x00 with any other mode: shown, nothing to answer.
constexpr Outcome kDoneShown[] = {
    OnStatus(0x00, 0x00, kAny, 0, kOk, 'E', "RV270Api_Communication [mode=1] return ok!"),
};

constexpr Outcome kShowInfoHead[] = {
    Busy(),
    OnResult(-8, 2, kFunctionCanceled),
    LinkFailure(-4),
};
constexpr Outcome kShowInfoTail[] = {
    OnStatus(0x00, 0x01, kAny, 1, kOk, 'E', kAnswerOne),
    OnStatus(0x00, 0x04, kAny, 2, kOk, 'E', "RV270Api_Communication myWebResult[1]==0x04!"),
    OnStatus(0x00, 0x09, kAny, -10, kHardwareException, 'E', "RV270Api_Communication myWebResult[1]==0x09!"),
    OnStatus(0xAA, kAny, kAny, -11, kHandleTimeout, 'E', "RV270Api_Communication myWebResult[0]==0xAA!"),
    OnStatus(0x50, 0x1D, kAny, 2, kFunctionCanceled, 'I', kBreak101D),
    Otherwise(-5, kReceivedDataError, 'E', kErrorValue, true),
};
constexpr auto kShowInfoAnswered = Join(kShowInfoHead, kDoneAnswered, kShowInfoTail);
constexpr auto kShowInfoShown = Join(kShowInfoHead, kDoneShown, kShowInfoTail);

constexpr Outcome kShowTextHead[] = {
    Busy(),
    LinkFailure(-4),
};
constexpr Outcome kShowTextTail[] = {
    OnStatus(0x00, 0x01, kAny, 1, kOk, 'E', "RV270Api_Communication myJsResult[1]==0x01!"),
    OnStatus(0x00, 0x09, kAny, -5, kHardwareException, 'E', "RV270Api_Communication myJsResult[1]==0x09!"),
    OnStatus(0xAA, kAny, kAny, -11, kHandleTimeout, 'E', "RV270Api_Communication myJsResult[0]==0xAA!"),
    Otherwise(-6, kReceivedDataError, 'E', "RV270Api_Communication return error!"),
};
constexpr auto kShowTextAnswered = Join(kShowTextHead, kDoneAnswered, kShowTextTail);
constexpr auto kShowTextShown = Join(kShowTextHead, kDoneShown, kShowTextTail);

// The request of both: timeout, mode, the text with its two-byte length, the voice flag
// and the voice with its two-byte length. Voice flag 0 sends the caller's voice bytes
// unchanged, any other flag the prepared text.
void BuildShownText(Request& request, int timeout, int mode, const char* text, int iVoiceFlag,
                    const char* pVoice, const std::string& prepared) {
  request.U16(timeout).U8(mode);
  Field16(request, text);
  request.U8(iVoiceFlag);
  if (iVoiceFlag == 0) {
    Field16(request, pVoice);
  } else {
    Field16(request, prepared);
  }
}

// ---- Web pages ------------------------------------------------------------------------

struct WebCommand {
  const char* name;
  uint8_t command;
  const char* emptyLine;
  const char* timeoutLine;
  const char* argLine;
};

constexpr Outcome kWebTable[] = {
    Busy(),
    OnResult(-8, 2, kFunctionCanceled),
    LinkFailure(-4),
    OnStatus(0x00, 0x00, 0x00, 0, kOk, 'E', "RV270Api_Communication return ok!"),
    OnStatus(0x00, 0x00, 0x01, 1, kOk, 'E', "RV270Api_Communication myWebResult[2]==0x01!"),
    OnStatus(0x00, 0x04, kAny, 2, kOk, 'E', "RV270Api_Communication myWebResult[1]==0x04!"),
    OnStatus(0x00, 0x09, kAny, -10, kHardwareException, 'E', "RV270Api_Communication myWebResult[1]==0x09!"),
    OnStatus(0xAA, kAny, kAny, -11, kHandleTimeout, 'E', "RV270Api_Communication myWebResult[0]==0xAA!"),
    OnStatus(0x50, 0x1D, kAny, 2, kFunctionCanceled, 'I', kBreak101D),
    Otherwise(-5, kReceivedDataError, 'E', kErrorValue),
};

// The compressed page reports a wait that ran out (-9) as broken off, and a cancel (-8)
// as a link failure.
constexpr Outcome kWebCompressTable[] = {
    Busy(),
    OnResult(-9, 2, kFunctionCanceled, "RV270Api_Communication2 return %d!"),
    LinkFailure(-4, "RV270Api_Communication2 return %d!"),
    OnStatus(0x00, 0x00, 0x00, 0, kOk, 'I', "RV270Api_Communication2 return ok!"),
    OnStatus(0x00, 0x00, 0x01, 1, kOk, 'I', "RV270Api_Communication2 myWebResult[2]==0x01!"),
    OnStatus(0x00, 0x04, kAny, 2, kOk, 'I', "RV270Api_Communication2 myWebResult[1]==0x04!"),
    OnStatus(0x00, 0x09, kAny, -7, kHardwareException, 'E', "RV270Api_Communication myWebResult[1]==0x09!"),
    OnStatus(0xAA, kAny, kAny, -11, kHandleTimeout, 'E', "RV270Api_Communication myWebResult[0]==0xAA"),
    OnStatus(0x50, 0x1D, kAny, 2, kFunctionCanceled, 'I', "RV270Api_Communication2 return 101D break!"),
    Otherwise(-5, kReceivedDataError, 'E', "RV270Api_Communication2 return error value!"),
};

constexpr WebCommand kWebOnly{"RV270Api_ShowWebOnly", 0x17, "RV270Api_ShowWebOnly pInfo is empty!",
                              "RV270Api_ShowWebOnly timeout<0!",
                              "RV270Api_ShowWebOnly:[%s],pVoice:[%s],timeout:[%d]"};
constexpr WebCommand kWebCompress{"RV270Api_ShowWebCompress", 0x18, "RV270Api_ShowWebCompress pWeb is empty!",
                                  "RV270Api_ShowWebCompress timeout<0!",
                                  "RV270Api_ShowWebCompress:[%s],pVoice:[%s],timeout:[%d]"};
constexpr WebCommand kWebAd{"RV270Api_ShowWebAd", 0x1A, "RV270Api_ShowWebAd pInfo is empty!",
                            "RV270Api_ShowWebAd timeout<0!", "RV270Api_ShowWebAd:[%s],pVoice:[%s],timeout:[%d]"};

// A page: timeout, the prepared voice with its two-byte length, the page text with its
// one-byte length.
int ShowWeb(const WebCommand& web, OutcomeTable table, int port, int selector, const char* page,
            const char* pVoice, int timeout) {
  CallFrame frame(web.name);
  if (Empty(page)) return frame.ArgError(kRefused, "%s", web.emptyLine);
  if (timeout < 0) return frame.ArgError(kRefused, "%s", web.timeoutLine);
  const size_t pageLength = strlen(page);
  if (pageLength > kByteLengthMax) return frame.TooLong(kRefused, "page text");
  const std::string voice = Spoken(pVoice);
  WriteLog('I', web.argLine, page, Shown(pVoice), timeout);
  Request request(kLongRequestSize, 0x50, web.command);
  request.U16(timeout);
  Field16(request, voice);
  request.U8(static_cast<int>(pageLength)).Bytes(page, pageLength);
  return frame.Call(port, selector, request, WaitMs(timeout, 3), table, {kRefused, "pVoice"});
}

// ---- Signature pad --------------------------------------------------------------------

constexpr Outcome kWaitSignTable[] = {
    Busy(),
    OnResult(-8, 4, kFunctionCanceled),
    LinkFailure(-4),
    OnStatus(0x00, 0x00, kAny, 0, kOk, 'I', "RV270Api_Communication return ok!"),
    OnStatus(0x00, 0x01, kAny, 1, kKeep, 'I', "RV270Api_Communication mySignResult[1]==0x01!"),
    OnStatus(0x00, 0x02, kAny, 2, kKeep, 'I', "RV270Api_Communication mySignResult[1]==0x02!"),
    OnStatus(0x00, 0x03, kAny, 4, kKeep, 'I', "RV270Api_Communication mySignResult[1]==0x03!"),
    OnStatus(0x00, 0x05, kAny, -6, kParameterNotReasonable, 'I', "RV270Api_Communication mySignResult[1]==0x05!"),
    OnStatus(0x00, 0x09, kAny, -10, kHardwareException, 'E', "RV270Api_Communication mySignResult[1]==0x09!"),
    OnStatus(0xAA, kAny, kAny, 3, kKeep, 'I', "RV270Api_Communication mySignResult[0]==0xAA!"),
    OnStatus(0x50, 0x1D, kAny, 4, kFunctionCanceled, 'I', kBreak101D),
    Otherwise(-7, kReceivedDataError, 'I', "RV270Api_Communication return error"),
};

// ---- Script in the shown page ---------------------------------------------------------

constexpr Outcome kExcuteJsTable[] = {
    Busy(),
    LinkFailure(-4),
    OnStatus(0x00, 0x00, kAny, 0, kOk, 'I', "RV270Api_Communication return ok pResult=[%s]!", Arg::Text),
    OnStatus(0x00, 0x09, kAny, -5, kHardwareException, 'E', "RV270Api_Communication myJsResult[1]==0x09!"),
    Otherwise(-6, kReceivedDataError, 'E', "RV270Api_Communication return error!"),
};

// ---- Simple commands ------------------------------------------------------------------

constexpr UsualMapping kAdAreaTable(-2, -3, "RV270Api_Communication pWorkingStatus[1]==0x09!", -4,
                                    "RV270Api_Communication return ok");
constexpr UsualMapping kClearMainTable(-2, -3, "RV270Api_Communication myClearResult[1]==0x09!", -4);
constexpr UsualMapping kSimpleTable(-3, -4);

// A command of no payload.
int BareCommand(const char* name, int port, int selector, uint8_t command, OutcomeTable table) {
  CallFrame frame(name);
  Request request(kRequestSize, 0x50, command);
  return frame.Call(port, selector, request, 5000, table, {kRefused, "request"});
}

// The welcome and status-bar texts: the text with its two-byte length.
struct BarText {
  const char* name;
  uint8_t command;
  bool emptyAllowed;      // an empty text is sent (length 0); only null is refused
  const char* refusedLine;
  const char* argLine;
  const char* what;
};

constexpr BarText kWelCome{"RV270Api_SetWelCome", 0x1C, false, "RV270Api_SetWelCome pWelCome is empty!",
                           "RV270Api_SetWelCome pWelCome:[%s]", "pWelCome"};
constexpr BarText kInitStatusBar{"RV270Api_InitStatusBar", 0x1D, false,
                                 "RV270Api_InitStatusBar pOrginStatusBar is empty!",
                                 "RV270Api_InitStatusBar pOrginStatusBar:[%s]", "pOrginStatusBar"};
constexpr BarText kStatusBarInfo{"RV270Api_SetStatusBarInfo", 0x1E, true,
                                 "RV270Api_SetStatusBarInfo pStatusBarInfo is null!",
                                 "RV270Api_SetStatusBarInfo pStatusBarInfo:[%s]", "pStatusBarInfo"};

int SetBarText(const BarText& bar, int port, int selector, const char* text) {
  CallFrame frame(bar.name);
  if (bar.emptyAllowed ? text == nullptr : Empty(text)) return frame.ArgError(kRefused, "%s", bar.refusedLine);
  WriteLog('I', bar.argLine, text);
  Request request(kRequestSize, 0x50, bar.command);
  Field16(request, text);
  return frame.Call(port, selector, request, 5000, kSimpleTable, {kRefused, bar.what});
}

}  // namespace

extern "C" {

RV270_API int RV270_CALL RV270Api_ShowInfo(int port, int selector, int mode, const char* pInfo, int iVoiceFlag,
                                           const char* pVoice, int timeout) {
  return GuardExport(kRefused, [&] {
    CallFrame frame("RV270Api_ShowInfo");
    if (Empty(pInfo)) return frame.ArgError(kRefused, "RV270Api_ShowInfo pInfo is empty!");
    if (timeout < 0) return frame.ArgError(kRefused, "RV270Api_ShowInfo timeout<0!");
    const std::string voice = Spoken(pVoice);
    WriteLog('I', "RV270Api_ShowInfo:[%s],pVoice:[%s],timeout:[%d]", pInfo, Shown(pVoice), timeout);
    WriteHexLog(pInfo, strlen(pInfo), 'I', "value:%s");
    Request request(kLongRequestSize, 0x50, 0x10);
    BuildShownText(request, timeout, mode, pInfo, iVoiceFlag, pVoice, voice);
    return frame.Call(port, selector, request, WaitMs(timeout, 3),
                mode == 1 ? TableOf(kShowInfoAnswered) : TableOf(kShowInfoShown), {kRefused, "text and voice"});
  });
}

RV270_API int RV270_CALL RV270Api_ShowText(int port, int selector, int mode, const char* pShowText,
                                           int iVoiceFlag, const char* pVoice, int timeout) {
  return GuardExport(kRefused, [&] {
    CallFrame frame("RV270Api_ShowText");
    if (Empty(pShowText)) return frame.ArgError(kRefused, "RV270Api_ShowText pJs is empty!");
    const std::string voice = Spoken(pVoice);
    WriteLog('I', "RV270Api_ShowText pShowText:[%s],pVoice:[%s]", pShowText, Shown(pVoice));
    Request request(kLongRequestSize, 0x50, 0x1B);
    BuildShownText(request, timeout, mode, pShowText, iVoiceFlag, pVoice, voice);
    return frame.Call(port, selector, request, WaitMs(timeout, 1),
                mode == 1 ? TableOf(kShowTextAnswered) : TableOf(kShowTextShown), {kRefused, "text and voice"});
  });
}

RV270_API int RV270_CALL RV270Api_SetAdArea(int port, int selector, int iAreaValue1, int iAreaValue2,
                                            int iAreaValue3, int iAreaValue4) {
  return GuardExport(kRefused, [&] {
    CallFrame frame("RV270Api_SetAdArea");
    Request request(kRequestSize, 0x50, 0x11);
    request.U16(iAreaValue1).U16(iAreaValue2).U16(iAreaValue3).U16(iAreaValue4);
    return frame.Call(port, selector, request, 3000, kAdAreaTable, {kRefused, "request"});
  });
}

RV270_API int RV270_CALL RV270Api_ShowInfoOrWaitSign(int port, int selector, int mode, const char* pStatusArea,
                                                     const char* pMainArea, int iSignValue1, int iSignValue2,
                                                     int iSignValue3, int iSignValue4, int iSignByte,
                                                     const char* pVoice, int timeout, int iLen, int iReserved) {
  return GuardExport(kRefused, [&] {
    CallFrame frame("RV270Api_ShowInfoOrWaitSign");
    if (Empty(pMainArea)) return frame.ArgError(kRefused, "RV270Api_ShowInfoOrWaitSign pMainArea is empty!");
    if (timeout < 0) return frame.ArgError(kRefused, "RV270Api_ShowInfoOrWaitSign timeout<=0!");
    const size_t statusLength = pStatusArea ? strlen(pStatusArea) : 0;
    if (statusLength > kByteLengthMax) return frame.TooLong(kRefused, "pStatusArea");
    // The signature screen prepares any voice it is given, an empty one included.
    const std::string voice = pVoice ? PrepareVoiceText(pVoice) : std::string();
    WriteLog('I',
             "RV270Api_ShowInfoOrWaitSign mode:[%d],pStatusArea:[%s],pMainArea:[%s],"
             "tSignArea:[%d][%d][%d][%d][%d],pVoice:[%s],timeout:[%d],iLen:[%d]",
             mode, Shown(pStatusArea), pMainArea, iSignByte, iSignValue1, iSignValue2, iSignValue3, iSignValue4,
             Shown(pVoice), timeout, iLen);
    Request request(kLongRequestSize, 0x50, 0x12);
    request.U16(timeout).U8(mode);
    Field16(request, voice);
    request.U8(static_cast<int>(statusLength)).Bytes(pStatusArea, statusLength);
    request.U32(iSignValue1).U32(iSignValue2).U32(iSignValue3).U32(iSignValue4).U8(iSignByte);
    return frame.Call(port, selector, request, WaitMs(timeout, 3), kWaitSignTable, {kRefused, "pVoice"});
  });
}

RV270_API int RV270_CALL RV270Api_ExcuteJs(int port, int selector, const char* pJs, const char* pVoice, int iLen,
                                           char* pResult) {
  return GuardExport(kRefused, [&] {
    CallFrame frame("RV270Api_ExcuteJs");
    if (Empty(pJs)) return frame.ArgError(kRefused, "RV270Api_ExcuteJs pJs is empty!");
    if (iLen <= 0) return frame.ArgError(kRefused, "RV270Api_ExcuteJs iLen<=0");
    if (pResult == nullptr) return frame.ArgError(kRefused, "RV270Api_ExcuteJs NULL==pResult!");
    const size_t capacity = static_cast<size_t>(iLen);
    memset(pResult, 0, capacity);
    const std::string voice = Spoken(pVoice);
    WriteLog('I', "RV270Api_ExcuteJs pJs:[%s],pVoice:[%s],iLen:[%d]", pJs, Shown(pVoice), iLen);
    Request request(kLongRequestSize, 0x50, 0x14);
    Field16(request, pJs);
    Field16(request, voice);
    Answer answer;
    int refused = 0;
    if (!frame.Transact(port, selector, request, 5000, answer, {kRefused, "script and voice"}, &refused))
      return refused;
    const Outcome& row = CallFrame::Classify(kExcuteJsTable, answer);
    if (row.arg != Arg::Text) return frame.Conclude(row, answer);
    // Done: the result text, kept terminated within iLen bytes.
    BoundedCopy(pResult, capacity - 1, answer.Data(), answer.DataLength());
    if (answer.DataLength() > capacity - 1) {
      WriteLog('E', "RV270Api_ExcuteJs result length %d over iLen %d!", static_cast<int>(answer.DataLength()),
               iLen);
      SetLastError(kResultLengthOver);
      return -7;
    }
    return frame.Conclude(row, answer, pResult);
  });
}

RV270_API int RV270_CALL RV270Api_ClearMainScreen(int port, int selector) {
  return GuardExport(kRefused,
                     [&] { return BareCommand("RV270Api_ClearMainScreen", port, selector, 0x15, kClearMainTable); });
}

RV270_API int RV270_CALL RV270Api_ShowWebOnly(int port, int selector, const char* pInfo, const char* pVoice,
                                              int timeout) {
  return GuardExport(kRefused, [&] { return ShowWeb(kWebOnly, kWebTable, port, selector, pInfo, pVoice, timeout); });
}

RV270_API int RV270_CALL RV270Api_ShowWebCompress(int port, int selector, const char* pWeb, const char* pVoice,
                                                  int timeout) {
  return GuardExport(kRefused, [&] {
    return ShowWeb(kWebCompress, kWebCompressTable, port, selector, pWeb, pVoice, timeout);
  });
}

RV270_API int RV270_CALL RV270Api_SetPosterType(int port, int selector, int iType) {
  return GuardExport(kRefused, [&] {
    CallFrame frame("RV270Api_SetPosterType");
    if (iType < 0) return frame.ArgError(kRefused, "RV270Api_SetPosterType type error!");
    WriteLog('I', "RV270Api_SetPosterType iType:[%d]", iType);
    Request request(kRequestSize, 0x50, 0x19);
    request.U8(iType);
    return frame.Call(port, selector, request, 5000, kSimpleTable, {kRefused, "request"});
  });
}

RV270_API int RV270_CALL RV270Api_ShowWebAd(int port, int selector, const char* pInfo, const char* pVoice,
                                            int timeout) {
  return GuardExport(kRefused, [&] { return ShowWeb(kWebAd, kWebTable, port, selector, pInfo, pVoice, timeout); });
}

RV270_API int RV270_CALL RV270Api_SetWelCome(int port, int selector, const char* pWelCome) {
  return GuardExport(kRefused, [&] { return SetBarText(kWelCome, port, selector, pWelCome); });
}

RV270_API int RV270_CALL RV270Api_InitStatusBar(int port, int selector, const char* pOrginStatusBar) {
  return GuardExport(kRefused, [&] { return SetBarText(kInitStatusBar, port, selector, pOrginStatusBar); });
}

RV270_API int RV270_CALL RV270Api_SetStatusBarInfo(int port, int selector, const char* pStatusBarInfo) {
  return GuardExport(kRefused, [&] { return SetBarText(kStatusBarInfo, port, selector, pStatusBarInfo); });
}

RV270_API int RV270_CALL RV270Api_ClearStatusBar(int port, int selector) {
  return GuardExport(kRefused,
                     [&] { return BareCommand("RV270Api_ClearStatusBar", port, selector, 0x1F, kSimpleTable); });
}

}  // extern "C"
