// Production test tool: the terminal's serial number, and the hardware tests it runs on
// its own (touch linearity, pen pressure, keys, touch calibration).
//
// Choices where the terminal's fields and answers set limits:
// - RV270Api_SETserialnumber sends the number with a one-byte length: a number longer
//   than 255 bytes is refused before sending ("RV270Api_SETserialnumber pserialnumber
//   too long!", E, last error 100, -2), so the terminal never stores a cut number.
// - RV270Api_GETserialnumber copies the L bytes the terminal announces (at most 255, the
//   header asks for 256-byte buffers) and no terminator. An answer "00 00" without its
//   length byte, or with fewer bytes than announced, is a failure (-4, last error 103):
//   nothing is copied.
// - RV270Api_Keytest sends its timeout as one byte: a timeout above 255 seconds is
//   refused ("RV270Api_Keytest timeout>255!", -2, 100), so the terminal and the library
//   wait the same time.
// - A hardware test whose answer does not come in time clears the customer screen over
//   the link the test used (USB: no first report, -9; serial: no answer, -2), so a
//   serial test does not leave its screen behind or send the clear to a USB terminal.
//
// RV270Api_Stresstest downloads an advertising video, switches the poster type to 1, after
// ten seconds deletes every advertising video and switches the poster type back to 0. Its
// pauses are the transfers' long waits (test builds may scale them); a cancel does not
// shorten them.
#include <cstring>

#include "QornRV270API.h"
#include "api/frame.h"
#include "link/process_state.h"
#include "platform/time.h"
#include "protocol/link_session.h"
#include "transfer/block_download.h"
#include "transfer/categories.h"
#include "transfer/download.h"
#include "transfer/waits.h"

using namespace api;

namespace {

constexpr int kRefused = -2;
constexpr size_t kSerialNumberMax = 255;  // one length byte
constexpr int kKeytestTimeoutMax = 255;   // one timeout byte, in seconds
constexpr int kHardwareTestMs = 600000;
constexpr int kSerialNumberMs = 5000;
constexpr int kBeforePosterMs = 3000;   // the downloaded video settles on the terminal
constexpr int kVideoShownMs = 10000;    // poster type 1 stays up
constexpr int kAllVideos = 2;           // category code of the advertising videos

// Exchange results that mean the terminal did not answer in time on each link.
constexpr int kUsbAnswerLate = -9;
constexpr int kSerialAnswerLate = -2;

constexpr const char* kSharedBusy = "RV270Api_Communication error for usb being busying!";
constexpr const char* kErrorLine = "RV270Api_Communication return error!";

// The mapping of the family: no 0x09 line of its own, link failure -3, refusal -4.
struct FactoryMapping {
  Outcome rows[4];
  constexpr FactoryMapping(const char* okLine, const char* busyLine = kSharedBusy)
      : rows{Busy(busyLine), LinkFailure(-3), OnStatus(0x00, 0x00, kAny, 0, kOk, 'I', okLine),
             Otherwise(-4, kReceivedDataError, 'E', kErrorLine)} {}
  operator OutcomeTable() const { return OutcomeTable(rows); }
};

// A hardware test: the request goes out, the terminal runs the test and answers when it
// is done. No answer in time leaves the test's screen up: it is cleared over the same link.
int HardwareTest(CallFrame& frame, int port, int selector, Request& request, int timeoutMs, const char* okLine) {
  const FactoryMapping table(okLine);
  Answer answer;
  int refused = 0;
  if (!frame.Transact(port, selector, request, timeoutMs, answer, {kRefused, "request"}, &refused)) return refused;
  if (answer.result == (IsUsbPort(port) ? kUsbAnswerLate : kSerialAnswerLate)) {
    WriteLog('E', "RV270Api_Communication return timeout");
    RV270Api_ClearMainScreen(port, selector);
  }
  return frame.Map(table, answer);
}

// A hardware test without arguments.
int BareTest(const char* name, int port, int selector, uint8_t command, const char* okLine) {
  CallFrame frame(name);
  Request request(kRequestSize, 0x10, command);
  return HardwareTest(frame, port, selector, request, kHardwareTestMs, okLine);
}

// The serial number answer: status 0x00 0x00, the length byte L, then L bytes.
constexpr Outcome kGetSerialTable[] = {
    Busy(kSharedBusy),
    LinkFailure(-3),
    OnStatus(0x00, 0x00, kAny, 0, kOk, 'I', "RV270Api_Communication return ok,pAppNum:[%s]!", Arg::Text),
    OnStatus(0x10, 0xB1, kAny, -100, kOk, 'I', "RV270Api_Communication return ok,serialnumber is NULL!"),
    Otherwise(-4, kReceivedDataError, 'E', kErrorLine),
};

}  // namespace

extern "C" {

RV270_API int RV270_CALL RV270Api_SETserialnumber(int port, int selector, const char* pserialnumber) {
  return GuardExport(kRefused, [&] {
    CallFrame frame("RV270Api_SETserialnumber");
    if (Empty(pserialnumber)) return frame.ArgError(kRefused, "RV270Api_SETserialnumber pserialnumber is empty!");
    const size_t length = strlen(pserialnumber);
    if (length > kSerialNumberMax) return frame.TooLong(kRefused, "pserialnumber");
    Request request(kRequestSize, 0x10, 0xB0);
    request.U8(static_cast<int>(length)).Bytes(pserialnumber, length);
    WriteLog('I', "RV270Api_SETserialnumber pAppNum:[%s]", pserialnumber);
    static constexpr FactoryMapping kTable("RV270Api_Communication return ok!",
                                           "RV270Api_SETserialnumber error for usb being busying!");
    return frame.Call(port, selector, request, kSerialNumberMs, kTable, {kRefused, "pserialnumber"});
  });
}

RV270_API int RV270_CALL RV270Api_GETserialnumber(int port, int selector, char* pserialnumber) {
  return GuardExport(kRefused, [&] {
    CallFrame frame("RV270Api_GETserialnumber");
    if (!pserialnumber) return frame.ArgError(kRefused, "RV270Api_GETserialnumber pserialnumber is null!");
    Request request(kRequestSize, 0x10, 0xB1);
    Answer answer;
    int refused = 0;
    if (!frame.Transact(port, selector, request, kSerialNumberMs, answer, {kRefused, "request"}, &refused)) {
      return refused;
    }
    const Outcome& row = CallFrame::Classify(kGetSerialTable, answer);
    if (row.match != Match::Status || row.ret != 0) return frame.Conclude(row, answer);
    // The length byte and as many bytes as it announces must have arrived.
    const size_t data = answer.DataLength();
    const size_t length = data > 0 ? answer.Data()[0] : 0;
    if (data == 0 || data - 1 < length) return frame.Conclude(kGetSerialTable[4], answer);
    char shown[kSerialNumberMax + 1] = {0};
    memcpy(shown, answer.Data() + 1, length);
    memcpy(pserialnumber, shown, length);
    return frame.Conclude(row, answer, shown);
  });
}

RV270_API int RV270_CALL RV270Api_CLEARserialnumber(int port, int selector) {
  return GuardExport(kRefused, [&] {
    CallFrame frame("RV270Api_CLEARserialnumber");
    Request request(kRequestSize, 0x10, 0xB2);
    static constexpr FactoryMapping kTable("RV270Api_Communication return ok,clearserialnumber done!");
    return frame.Call(port, selector, request, kSerialNumberMs, kTable, {kRefused, "request"});
  });
}

RV270_API int RV270_CALL RV270Api_Linearitytest(int port, int selector) {
  return GuardExport(kRefused, [&] {
    return BareTest("RV270Api_Linearitytest", port, selector, 0x81,
                    "RV270Api_Communication return ok,Linearitytest done!");
  });
}

RV270_API int RV270_CALL RV270Api_Pressuresensitivetest(int port, int selector) {
  return GuardExport(kRefused, [&] {
    return BareTest("RV270Api_Pressuresensitivetest", port, selector, 0x82,
                    "RV270Api_Communication return ok,Pressuresensitivetest done!");
  });
}

RV270_API int RV270_CALL RV270Api_Keytest(int port, int selector, int timeout, int testtype) {
  return GuardExport(kRefused, [&] {
    CallFrame frame("RV270Api_Keytest");
    if (timeout < 0) return frame.ArgError(kRefused, "RV270Api_Keytest timeout<0!");
    if (timeout > kKeytestTimeoutMax) return frame.ArgError(kRefused, "RV270Api_Keytest timeout>255!");
    if (testtype != 1 && testtype != 2) return frame.ArgError(kRefused, "RV270Api_Keytest testtype erro!");
    WriteLog('I', "RV270Api_Keytest:testtype:[%d],timeout:[%d]", testtype, timeout);
    Request request(kRequestSize, 0x10, 0x9A);
    request.U8(timeout).U8(testtype);
    return HardwareTest(frame, port, selector, request, (timeout + 3) * 1000,
                        "RV270Api_Communication return ok,Keytest done!");
  });
}

RV270_API int RV270_CALL RV270Api_Touchcalibration(int port, int selector) {
  return GuardExport(kRefused, [&] {
    return BareTest("RV270Api_Touchcalibration", port, selector, 0xC0,
                    "RV270Api_Communication return ok,Touchcalibration done!");
  });
}

RV270_API int RV270_CALL RV270Api_Stresstest(int port, int selector, const char* filepath) {
  return GuardExport(-114, [&] {
    g_bKeepWaiting.store(1);
    char message[transfer::kMessageSize] = {0};
    WriteLog('I', "%s", Shown(filepath));
    int sent = 0;
    {
      const auto dialogue = HoldExchanges();
      sent = transfer::RV270Api_SaveFile_NewName(port, transfer::kVideo, 0, filepath, "", message);
    }
    WriteLog('I', "RV270Api_SaveFile_NewName return[%d]!", sent);
    if (sent != 0) return sent == kBusy ? kBusy : -114;
    platform::SleepMs(static_cast<uint32_t>(transfer::Wait(kBeforePosterMs)));
    int result = RV270Api_SetPosterType(port, selector, 1);
    if (result != 0) return result;
    platform::SleepMs(static_cast<uint32_t>(transfer::Wait(kVideoShownMs)));
    result = RV270Api_DeleteAllFile(port, selector, kAllVideos);
    if (result != 0) return result;
    return RV270Api_SetPosterType(port, selector, 0);
  });
}

}  // extern "C"
