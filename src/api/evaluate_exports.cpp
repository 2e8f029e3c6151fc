// Teller information and customer evaluation: the teller card (number, name, star level,
// photo name), the evaluation page, the electronic badge, the customer's rating, and two
// workflows that download the teller's photo, load the card and run the evaluation in
// one call.
//
// Choices where the terminal's fields and buffers set limits:
// - RV270Api_CustomerEvaluate and RV270Api_StartCounterElecBadge send their timeout as one
//   byte: a timeout outside 0 to 255 seconds is refused before sending ("<name>
//   timeout<0!" or "<name> timeout>255!", E, last error 100, -2), so the terminal and the
//   library wait the same time. RV270Api_ReadEvaluate sends 16 bits: outside 0 to 65535
//   is refused the same way ("RV270Api_ReadEvaluate timeout>65535!").
// - A teller card longer than the request holds (510 bytes of text) is refused:
//   "RV270Api_DownLoadCounterInfo teller card too long!" (E), 100, -2; a page name that
//   does not fit with its terminator: "RV270Api_SetCounterEvaluateSurface pHtml too long!".
// - The rating commands (RV270Api_CustomerEvaluate, RV270Api_ReadEvaluate) answer the
//   rating in byte 2: an answer "00 00" without it is a failure (-4, last error 103), not
//   a rating 0. The badge's byte 2 carries nothing the caller waits for: a bare "00 00"
//   returns 0.
// - The workflows check everything they will send before the photo goes out: the
//   evaluation timeout (0 to 255), the card's length, and, when the photo is downloaded,
//   the teller number as a file name (not empty, no '\', '/', ':' or "..") and the
//   photo's name on the terminal (at most 255 bytes, no ':' from the extension either).
//   A refusal logs "<workflow> ..." (E), sets 100 and returns -2; nothing is sent.
// - The photo's extension is the text after the last '.' of the file name (the part of
//   the path after its last '\' or '/'); a file name without '.' (or ending with it)
//   gives the teller number alone as the name on the terminal.
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "QornRV270API.h"
#include "api/frame.h"
#include "link/process_state.h"
#include "protocol/link_session.h"
#include "transfer/block_download.h"
#include "transfer/categories.h"
#include "transfer/download.h"
#include "transfer/host_file.h"

using namespace api;

namespace {

constexpr int kRefused = -2;
constexpr int kCommandMs = 5000;
constexpr int kByteTimeoutMax = 255;      // one timeout byte, in seconds
constexpr int kWordTimeoutMax = 65535;    // two timeout bytes
constexpr int kDeviceWaitMarginS = 2;     // the library waits this much longer than the terminal
constexpr size_t kCardMax = kRequestSize - 2;
constexpr size_t kDeviceNameSize = 256;   // the photo's name on the terminal, terminator included
constexpr int kUsb = 0;                   // the photo always goes over USB
constexpr int kWorkflowSelector = 0x39;

constexpr const char* kOkLine = "RV270Api_Communication return ok!";
constexpr const char* kErrorLine = "RV270Api_Communication return error!";

// Busy, link failure -3, done, any other status -4.
constexpr UsualMapping kCommandTable(-3, -4);

// The customer's evaluation: done carries the rating; 0xAA is the terminal's own timeout.
constexpr Outcome kEvaluateTable[] = {
    Busy(),
    LinkFailure(-3),
    OnStatus(0x00, 0x00, kAny, 0, kOk, 'I', kOkLine),
    OnStatus(0xAA, kAny, kAny, -11, kHandleTimeout, 'E', "RV270Api_Communication myPosterResult[0]==0xAA!"),
    Otherwise(-4, kReceivedDataError, 'E', kErrorLine),
};
constexpr Outcome kReadEvaluateTable[] = {
    Busy(),
    LinkFailure(-3),
    OnStatus(0x00, 0x00, kAny, 0, kOk, 'I', "RV270Api_Communication return ok,myPosterResult[2]=[%d]!", Arg::Value),
    Otherwise(-4, kReceivedDataError, 'E', kErrorLine),
};
constexpr const Outcome& kRefusedAnswer = kEvaluateTable[4];

// The wait on the exchange for a terminal that waits `seconds` (0 to 255).
int DeviceWaitMs(int seconds) { return (seconds + kDeviceWaitMarginS) * 1000; }

// Runs the exchange and returns the answer's byte 2 when the terminal answered done; with
// `needsByte`, a done answer without byte 2 is a refused answer.
int ByteAnswer(CallFrame& frame, int port, int selector, Request& request, int timeoutMs, OutcomeTable table,
               bool needsByte) {
  Answer answer;
  int refused = 0;
  if (!frame.Transact(port, selector, request, timeoutMs, answer, {kRefused, "request"}, &refused)) return refused;
  const Outcome& row = CallFrame::Classify(table, answer);
  if (row.match != Match::Status || row.ret != 0) return frame.Conclude(row, answer);
  if (needsByte && answer.length < 3) return frame.Conclude(kRefusedAnswer, answer);
  const int value = answer.Byte(2);
  frame.Conclude(row, answer, nullptr, value);
  return value;
}

// The decimal text of the star level.
std::string StarText(int nStarLevel) { return std::to_string(nStarLevel); }

// Bytes of the teller card text: the four fields and three separators.
size_t CardLength(const char* tellerName, const char* tellerNo, int nStarLevel, const char* headFile) {
  return strlen(Shown(tellerNo)) + strlen(Shown(tellerName)) + StarText(nStarLevel).size() + strlen(Shown(headFile)) +
         3;
}

// The photo's name on the terminal: the teller number, then "." and the extension of the
// host file's name when it has one.
std::string PhotoName(const char* tellerNo, const char* pHeadPath) {
  const char* fileName = transfer::FileNameOf(pHeadPath);
  const char* dot = strrchr(fileName, '.');
  std::string name = tellerNo;
  if (dot && dot[1] != '\0') name.append(".").append(dot + 1);
  return name;
}

// Downloads the photo over USB; 0, -1001 busy, or the download's failure.
int DownloadPhoto(const char* pHeadPath, const std::string& deviceName) {
  char message[transfer::kMessageSize] = {0};
  g_bKeepWaiting.store(1);
  WriteLog('I', "%s", pHeadPath);
  int status = 0;
  {
    const auto dialogue = HoldExchanges();
    status = transfer::RV270Api_SaveFile_NewName(kUsb, transfer::kTeller, 1, pHeadPath,
                                                 deviceName.c_str(), message);
  }
  WriteLog('I', "RV270Api_SaveFile_NewName return[%d]!", status);
  return status;
}

// The steps of both workflows: the photo (when `photo`), the card without a photo name,
// then the evaluation.
struct Workflow {
  const char* name;
  int port;
  int selector;
  bool photo;
  int mode;
};

int RunWorkflow(const Workflow& flow, const char* tellerName, const char* tellerNo, int nStarLevel,
                const char* pHeadPath, int timeout) {
  if (timeout < 0) return ArgumentError(kRefused, "%s timeout<0!", flow.name);
  if (timeout > kByteTimeoutMax) return ArgumentError(kRefused, "%s timeout>255!", flow.name);
  if (CardLength(tellerName, tellerNo, nStarLevel, "") > kCardMax) return ArgumentError(kRefused, "%s teller card too long!", flow.name);
  if (flow.photo) {
    if (!transfer::IsPlainFileName(tellerNo)) return ArgumentError(kRefused, "%s tellerNo is not a file name!", flow.name);
    const std::string deviceName = PhotoName(tellerNo, pHeadPath);
    if (deviceName.size() >= kDeviceNameSize) return ArgumentError(kRefused, "%s head file name too long!", flow.name);
    if (!transfer::IsPlainFileName(deviceName.c_str())) {
      return ArgumentError(kRefused, "%s head file name is not a file name!", flow.name);
    }
    const int status = DownloadPhoto(pHeadPath, deviceName);
    if (status != 0) return status == kBusy ? kBusy : -114;
  }
  const int card = RV270Api_DownLoadCounterInfo(flow.port, flow.selector, tellerName, tellerNo, nStarLevel, "");
  if (card != 0) return card;
  return RV270Api_CustomerEvaluate(flow.port, flow.selector, timeout, flow.mode);
}

}  // namespace

extern "C" {

RV270_API int RV270_CALL RV270Api_DownLoadCounterInfo(int port, int selector, const char* tellerName,
                                                      const char* tellerNo, int nStarLevel, const char* headFile) {
  return GuardExport(-3, [&] {
    CallFrame frame("RV270Api_DownLoadCounterInfo");
    WriteLog('I', "RV270Api_DownLoadCounterInfo tellerName=%s,tellerNo=%s,nStarLevel=%d,headFile=%s", Shown(tellerName),
             Shown(tellerNo), nStarLevel, Shown(headFile));
    Request request(kRequestSize, 0x50, 0x90);
    request.Text(tellerNo).Text("#").Text(tellerName).Text("#").Text(StarText(nStarLevel).c_str()).Text("#").Text(
        headFile);
    return frame.Call(port, selector, request, kCommandMs, kCommandTable, {kRefused, "teller card"});
  });
}

RV270_API int RV270_CALL RV270Api_SetCounterEvaluateSurface(int port, int selector, const char* pHtml) {
  return GuardExport(-3, [&] {
    CallFrame frame("RV270Api_SetCounterEvaluateSurface");
    if (Empty(pHtml)) return frame.ArgError(kRefused, "RV270Api_SetCounterEvaluateSurface pHtml is empty!");
    WriteLog('I', "RV270Api_SetCounterEvaluateSurface pHtml:[%s]", pHtml);
    Request request(kRequestSize, 0x50, 0x91);
    request.Text(pHtml).U8(0);
    return frame.Call(port, selector, request, kCommandMs, kCommandTable, {kRefused, "pHtml"});
  });
}

RV270_API int RV270_CALL RV270Api_CustomerEvaluate(int port, int selector, int timeout, int iEvaluateMode) {
  return GuardExport(-3, [&] {
    CallFrame frame("RV270Api_CustomerEvaluate");
    if (timeout < 0) return frame.ArgError(kRefused, "RV270Api_CustomerEvaluate timeout<0!");
    if (timeout > kByteTimeoutMax) return frame.ArgError(kRefused, "RV270Api_CustomerEvaluate timeout>255!");
    Request request(kRequestSize, 0x50, 0x92);
    request.U8(timeout).U8(iEvaluateMode);
    return ByteAnswer(frame, port, selector, request, DeviceWaitMs(timeout), kEvaluateTable, true);
  });
}

RV270_API int RV270_CALL RV270Api_StartCounterElecBadge(int port, int selector, int timeout) {
  return GuardExport(-3, [&] {
    // The command's lines name it after the badge it sets up.
    CallFrame frame("RV270Api_SetCounterElecBadge");
    if (timeout < 0) return frame.ArgError(kRefused, "RV270Api_SetCounterElecBadge timeout<0!");
    if (timeout > kByteTimeoutMax) return frame.ArgError(kRefused, "RV270Api_SetCounterElecBadge timeout>255!");
    Request request(kRequestSize, 0x50, 0x93);
    request.U8(timeout);
    return ByteAnswer(frame, port, selector, request, DeviceWaitMs(timeout), kCommandTable, false);
  });
}

RV270_API int RV270_CALL RV270Api_ReadEvaluate(int port, int selector, const char* VocFlag, int timeout) {
  return GuardExport(-3, [&] {
    CallFrame frame("RV270Api_ReadEvaluate");
    WriteLog('I', "RV270Api_ReadEvaluate VocFlag=%s,timeout=%d", Shown(VocFlag), timeout);
    if (timeout < 0) return frame.ArgError(kRefused, "RV270Api_ReadEvaluate timeout<0!");
    if (timeout > kWordTimeoutMax) return frame.ArgError(kRefused, "RV270Api_ReadEvaluate timeout>65535!");
    // The usual decimal prefix: blanks, a sign, digits; none gives 0.
    const long flag = VocFlag ? strtol(VocFlag, nullptr, 10) : 0;
    Request request(kRequestSize, 0x50, 0x5D);
    request.U8(static_cast<int>(flag & 0xFF)).U16(timeout);
    return ByteAnswer(frame, port, selector, request, kCommandMs, kReadEvaluateTable, true);
  });
}

RV270_API int RV270_CALL Evaluate_BJZW(const char* tellerName, const char* tellerNo, int nStarLevel,
                                       const char* pHeadPath, int iEvaluateMode, int timeout) {
  return GuardExport(-3, [&] {
    const Workflow flow{"Evaluate_BJZW", kUsb, kWorkflowSelector, !Empty(pHeadPath) && iEvaluateMode != 1,
                        iEvaluateMode};
    return RunWorkflow(flow, tellerName, tellerNo, nStarLevel, pHeadPath, timeout);
  });
}

RV270_API int RV270_CALL RV270Api_EvaluateFZ(int port, int selector, const char* tellerName, const char* tellerNo,
                                             int nStarLevel, const char* pHeadPath, int timeout) {
  return GuardExport(-3, [&] {
    const Workflow flow{"RV270Api_EvaluateFZ", port, selector, !Empty(pHeadPath), 0};
    return RunWorkflow(flow, tellerName, tellerNo, nStarLevel, pHeadPath, timeout);
  });
}

}  // extern "C"
