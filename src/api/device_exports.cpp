// Device information and configuration: status, identity texts, version, serial rate,
// reset, version control, and the error texts.
//
// Choices where the terminal's answer may not fit the caller's buffer:
// - RV270Api_GetDeviceInfo copies at most iLen - 1 bytes, so the text stays terminated.
// - RV270Api_GetVernderId, RV270Api_GetDeviceId and RV270Api_GetVersion have no size
//   argument: they copy at most kIdentityTextMax bytes (the header asks callers for a
//   buffer of kIdentityTextMax + 1 bytes).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "QornRV270API.h"
#include "api/frame.h"
#include "protocol/exchange.h"

using namespace api;

namespace {

constexpr size_t kIdentityTextMax = 256;

constexpr const char* kStatus09 = "RV270Api_Communication pWorkingStatus[1]==0x09!";
constexpr const char* kDelete09 = "RV270Api_Communication myDeleteResult[1]==0x09!";

// The usual mapping of this family: link failure -2, hardware failure -3, refusal -4.
constexpr UsualMapping kDeviceMapping(-2, -3, kStatus09, -4);
// The configuration commands word their hardware failure and log a refusal at level I.
constexpr UsualMapping kConfigMapping(-2, -3, kDelete09, -4, "RV270Api_Communication return ok!", 'I');

// Sends a configuration request (the call may wait) and maps its answer.
int Configure(CallFrame& frame, int port, int selector, Request& request) {
  return frame.Call(port, selector, request, 5000, kConfigMapping);
}

// One command of the family without payload: the row of `table` its answer matches; the
// answer stays in `answer`.
const Outcome& Query(CallFrame& frame, int port, int selector, uint8_t command, int timeoutMs,
                     OutcomeTable table, Answer& answer) {
  Request request(kRequestSize, 0x50, command);
  int refused = 0;
  frame.Transact(port, selector, request, timeoutMs, answer, {}, &refused);  // two bytes always fit
  return CallFrame::Classify(table, answer);
}

// The identity queries: the answer data copied to the caller's buffer, no terminator.
int IdentityQuery(const char* name, int port, int selector, uint8_t command, char* out, const char* okLine,
                  const char* hwLine, bool clearFirst) {
  CallFrame frame(name);
  if (out && clearFirst) memset(out, 0, 4);
  const UsualMapping table(-2, -3, hwLine, -4, okLine);
  Answer answer;
  const Outcome& row = Query(frame, port, selector, command, 3000, table, answer);
  if (row.ret != 0 || row.match != Match::Status) return frame.Conclude(row, answer);
  size_t copied = 0;
  if (out) copied = BoundedCopy(out, kIdentityTextMax, answer.Data(), answer.DataLength());
  char shown[kIdentityTextMax + 1] = {0};
  memcpy(shown, answer.Data(), copied);
  WriteLog('I', okLine, shown);
  SetLastError(kOk);
  return 0;
}

int SetBaud(const char* name, int port, int selector, int iToDevice, int iBaud) {
  CallFrame frame(name);
  if (iToDevice == 0) {
    g_nSerialRate = iBaud;
    SetLastError(kOk);
    frame.NoEndLine();
    return 0;
  }
  char baud[16];
  snprintf(baud, sizeof(baud), "%d", iBaud);
  WriteLog('I', "RV270Api_SetBaud strBaud:[%s]", baud);
  Request request(kRequestSize, 0x50, 0x0A);
  request.Text(baud);
  return Configure(frame, port, selector, request);
}

}  // namespace

extern "C" {

RV270_API int RV270_CALL RV270Api_GetWorkingStatus(int port, int selector) {
  return GuardExport(-2, [&] {
    CallFrame frame("RV270Api_GetWorkingStatus");
    static const Outcome kTable[] = {
        Busy("GetWorkingStatus error for usb being busying!"),
        LinkFailure(-2),
        OnStatus(0x00, 0x00, kAny, 0, kOk, 'I', "RV270Api_Communication return ok!"),
        OnStatus(0x00, 0x09, kAny, -3, kHardwareException, 'E', kStatus09),
        Otherwise(-4, kReceivedDataError, 'E', "RV270Api_Communication return errror!"),
    };
    Answer answer;
    return frame.Conclude(Query(frame, port, selector, 0x01, 1000, kTable, answer), answer);
  });
}

RV270_API int RV270_CALL RV270Api_GetErrorMsg(int port, int selector, int size, char* pError) {
  return GuardExport(0, [&] {
    CallFrame frame("RV270Api_GetErrorMsg");
    if (size <= 0 || !pError) {
      SetLastError(kParamError);
      return 0;
    }
    memset(pError, 0, static_cast<size_t>(size));
    // The probe: the serial-rate command without a rate changes nothing.
    Request request(kRequestSize, 0x50, 0x0A);
    Answer answer;
    int refused = 0;
    frame.Transact(port, selector, request, 1000, answer, {}, &refused);  // two bytes always fit
    if (answer.result < 0) {
      SetLastError(answer.result == kBusy ? kDeviceBusy : kCannotConnect);
    } else if (answer.Byte(0) != 0x00 || answer.Byte(1) != 0x00) {
      SetLastError(kReceivedDataError);
    }
    const char* text = ErrorText(g_nLastError.load());
    BoundedCopy(pError, static_cast<size_t>(size), text, strlen(text));
    WriteLog('I', "pError:[%.*s]", size, pError);
    return 0;
  });
}

RV270_API int RV270_CALL RV270Api_GetDeviceInfo(int port, int selector, int iLen, char* pDeviceInfo) {
  return GuardExport(-2, [&] {
    CallFrame frame("RV270Api_GetDeviceInfo");
    if (iLen <= 0) return frame.ArgError(-1, "RV270Api_GetDeviceInfo iLen<=0!");
    if (!pDeviceInfo) return frame.ArgError(-1, "RV270Api_GetDeviceInfo NULL==pDeviceInfo!");
    memset(pDeviceInfo, 0, static_cast<size_t>(iLen));
    WriteLog('I', "RV270Api_GetDeviceInfo iLen:[%d]", iLen);
    Answer answer;
    const Outcome& row = Query(frame, port, selector, 0x03, 3000, kDeviceMapping, answer);
    if (row.ret != 0 || row.match != Match::Status) return frame.Conclude(row, answer);
    BoundedCopy(pDeviceInfo, static_cast<size_t>(iLen) - 1, answer.Data(), answer.DataLength());
    WriteLog('I', "RV270Api_Communication return ok pDeviceInfo:[%s]!", pDeviceInfo);
    SetLastError(kOk);
    return 0;
  });
}

RV270_API int RV270_CALL RV270Api_SetBaud(int port, int selector, int iToDevice, int iBaud) {
  return GuardExport(-2, [&] { return SetBaud("RV270Api_SetBaud", port, selector, iToDevice, iBaud); });
}

// The same function under a second export name, logging as RV270Api_SetBaud.
RV270_API int RV270_CALL RV270Api_SetBaudtest(int port, int selector, int iToDevice, int iBaud) {
  return GuardExport(-2, [&] { return SetBaud("RV270Api_SetBaud", port, selector, iToDevice, iBaud); });
}

RV270_API int RV270_CALL RV270Api_GetBaud(int port, int selector) {
  return GuardExport(-2, [&] {
    CallFrame frame("RV270Api_GetBaud");
    Answer answer;
    const Outcome& row = Query(frame, port, selector, 0x0B, 3000, kDeviceMapping, answer);
    if (row.ret != 0 || row.match != Match::Status) return frame.Conclude(row, answer);
    char text[kRequestSize] = {0};
    BoundedCopy(text, sizeof(text) - 1, answer.Data(), answer.DataLength());
    const int baud = atoi(text);
    WriteLog('I', "RV270Api_Communication return ok atoi(DeviceBaud):[%d]!", baud);
    SetLastError(kOk);
    return baud;
  });
}

RV270_API int RV270_CALL RV270Api_GetVernderId(int port, int selector, char* pVernderId) {
  return GuardExport(-2, [&] {
    return IdentityQuery("RV270Api_GetVernderId", port, selector, 0x0C, pVernderId,
                         "RV270Api_Communication return ok Vernderid:[%s]!", kStatus09, false);
  });
}

RV270_API int RV270_CALL RV270Api_GetDeviceId(int port, int selector, char* pDeviceId) {
  return GuardExport(-2, [&] {
    return IdentityQuery("RV270Api_GetDeviceId", port, selector, 0x0D, pDeviceId,
                         "RV270Api_Communication return ok DeviceId:[%s]!", kStatus09, false);
  });
}

RV270_API int RV270_CALL RV270Api_GetVersion(int port, int selector, char* pVersionInfo) {
  return GuardExport(-2, [&] {
    return IdentityQuery("RV270Api_GetVersion", port, selector, 0x0E, pVersionInfo,
                         "RV270Api_Communication return ok myVersionInfo:[%s]!",
                         "RV270Api_Communication myVersionInfo[1]==0x09!", true);
  });
}

RV270_API int RV270_CALL RV270Api_ResetDevice(int port, int selector) {
  return GuardExport(-2, [&] {
    CallFrame frame("RV270Api_ResetDevice");
    static constexpr UsualMapping kTable(-2, -3, kStatus09, -4, "RV270Api_Communication return ok");
    Answer answer;
    return frame.Conclude(Query(frame, port, selector, 0x0F, 3000, kTable, answer), answer);
  });
}

RV270_API int RV270_CALL RV270Api_SetVersionCtl(int port, int selector, int cVersionCtl) {
  return GuardExport(-2, [&] {
    CallFrame frame("RV270Api_SetVersionCtl");
    // Like the rest of the family, the call marks itself waiting: a cancel left over from
    // an earlier call must not break off this exchange.
    Request request(kRequestSize, 0x50, 0xA0);
    request.U8(cVersionCtl);
    return Configure(frame, port, selector, request);
  });
}

}  // extern "C"
