// Signature and paperless workflows: a voucher downloaded and shown, the customer signs
// on the terminal, and the signature image "UserSign.png" comes back to a host file or
// as Base64 text. The customer families each have their own road: the voucher signing
// (RV270Api_ShowInfoOrWaitSignFZ, RV270Api_Signaturetest, DLpaperlessFZ), the paperless
// page (Paperless), and the signature pad driven step by step with the class 0x31
// (papeless_BJZW and the _GDNH functions).
//
// Choices where the command documentation leaves room:
// - Arguments that would lose a signature after the customer signed are refused before
//   anything is downloaded or shown: a null or empty SavePath where the image goes to a
//   file (mode 0 of the voucher signing, getSignature_GDNH), a null pBase64 or
//   pBase64Len: "<export> <argument> is empty!" or "... is null!" (E), last error 100,
//   -2. The voucher signing has no start and end lines, so it logs the one E line.
// - A previous customer's image at SavePath is removed before the signing starts, so a
//   signing that fails or is cancelled never leaves it behind. An image that cannot be
//   removed is refused the same way ("<export> SavePath cannot be replaced!", 100, -10,
//   the upload's result for that case).
// - The image is received with the capacity of its buffer (102400 bytes for Paperless
//   and DLpaperlessFZ, 204800 for papeless_BJZW): a larger image fails the upload (-2).
//   A failed upload is never encoded: the text is empty and its length 0. The text is
//   always terminated; the header gives the caller's buffer sizes.
// - The signature never goes to the log: "data:%s" shows "***" for a text ("data:" for
//   none); "len:%d" shows its length.
// - Where a customer outcome (1 to 4) and an upload failure could both be positive (the
//   voucher signing, DLpaperlessFZ, Paperless), a positive upload failure (1 a report
//   missing or a cancel during the upload, 4 the link lost, any other a host file
//   error) is returned as -115 with last error 115 "upload signed picture error", and
//   the line "<export> upload return %d!" (E) keeps the upload's own value. Negative
//   upload results are returned unchanged. papeless_BJZW and getSignature_GDNH have no
//   positive outcomes and return the upload's result unchanged. Every failed fetch of
//   the image sets last error 115, so a failure never leaves the 0 of the signing.
// - Paperless sends its timeout in two bytes: a timeout outside 0 to 65535 is refused
//   ("Paperless timeout<0!" or "Paperless timeout>65535!", 100, -2), so the host and the
//   terminal wait the same time.
// - papeless_BJZW leaves the last error unchanged on its success path, like the _GDNH
//   functions; it clears pBase64 to an empty text before the exchange.
#include <atomic>
#include <cstring>
#include <vector>

#include "QornRV270API.h"
#include "api/frame.h"
#include "api/pinpad_common.h"
#include "api/sign_waits.h"
#include "crypto/base64.h"
#include "crypto/wipe.h"
#include "link/process_state.h"
#include "platform/fs.h"
#include "platform/time.h"
#include "protocol/link_session.h"
#include "transfer/block_download.h"
#include "transfer/categories.h"
#include "transfer/download.h"
#include "transfer/upload.h"

using namespace api;

namespace {

constexpr int kRefused = -2;
constexpr int kNotReplaceable = -10;  // the upload's result for an old file it cannot delete
constexpr int kUploadFailed = -115;
constexpr int kUploadPictureError = 115;
constexpr int kVoucherFailed = -114;
constexpr int kNotSent = -100;

constexpr int kSignatureCategory = 9;
constexpr const char* kSignatureName = "UserSign.png";
constexpr size_t kImageBytes = 102400;       // Paperless, DLpaperlessFZ
constexpr size_t kLargeImageBytes = 204800;  // papeless_BJZW
constexpr size_t kPaperlessRequestSize = 20480;
constexpr int kMaxTwoByteTimeout = 0xFFFF;

constexpr int kPadMs = 5000;
constexpr int kPadOpenMs = 999000;
constexpr int kPaperlessUploadSeconds = 5;
constexpr int kPadUploadSeconds = 10;
constexpr uint32_t kSignaturetestPauseMs = 1000;

#ifdef RV270_TEST_SEAMS
std::atomic<int> g_lastWaitMs{-1};
#endif

// The wait of an exchange, recorded in test builds.
int Recorded(int ms) {
#ifdef RV270_TEST_SEAMS
  g_lastWaitMs.store(ms);
#endif
  return ms;
}

// The class 0x31 commands and their results.
constexpr Outcome kPadTable[] = {
    Busy(),
    LinkFailure(-3),
    OnStatus(0x00, 0x00, kAny, 0, kKeep, 'I', "RV270Api_Communication return ok!"),
    Otherwise(-4, kReceivedDataError, 'E', "RV270Api_Communication return error!"),
};
constexpr const Outcome& kPadDone = kPadTable[2];

constexpr Outcome kPaperlessTable[] = {
    Busy(),
    LinkFailure(-3, "Paperless return %d!"),
    OnStatus(0x00, 0x00, kAny, 0, kKeep, 'I', "Paperless return ok!"),
    OnStatus(0x00, 0x01, kAny, 1, kOk, 'E', "Paperless return cancel!"),
    OnStatus(0xAA, kAny, kAny, -11, kOk, 'E', "Paperless return timeout!"),
    Otherwise(-4, kReceivedDataError, 'E', "Paperless return error!"),
};
constexpr const Outcome& kPaperlessDone = kPaperlessTable[2];

// A refused argument of an export without start and end lines.
int Refuse(int ret, const char* name, const char* what) {
  WriteLog('E', "%s %s", name, what);
  SetLastError(kParamError);
  return ret;
}

// The previous customer's image at the save path goes before a new signing starts.
// False when it is there and cannot be removed.
bool ClearSavePath(const char* path) { return !platform::PathExists(path) || platform::RemoveFile(path); }

// What an export returns for the fetch of the image: a failed fetch sets last error 115.
// Where the export's customer outcomes are small positive numbers, a positive upload
// failure would read as one of them: it becomes -115.
int UploadResult(const char* name, int rc, bool positiveOutcomes) {
  if (rc == 0) return 0;
  SetLastError(kUploadPictureError);
  if (rc < 0 || !positiveOutcomes) return rc;
  WriteLog('E', "%s upload return %d!", name, rc);
  return kUploadFailed;
}

// Fetches "UserSign.png" to `to` with the upload's start, argument and end lines. Marks
// the call waiting through its frame when it has one.
int FetchSignature(const CallFrame* frame, const transfer::UploadDestination& to, int timeout) {
  WriteLog('I', "****************RV270Api_UploadFilesToPc start****************");
  WriteLog('I', "RV270Api_UploadFilesToPc Port:[%d],iMode:[%d],SavePath:[%s],timeout:[%d]", kUsbLinkPort, to.iMode,
           Shown(to.savePath), timeout);
  if (frame) {
    frame->MarkWaiting();
  } else {
    g_bKeepWaiting.store(1);
  }
  const int rc = transfer::Receive1M(to, kSignatureCategory, kSignatureName, timeout);
  WriteLog('I', "****************RV270Api_UploadFilesToPc end,rc=%d****************", rc);
  return rc;
}

// Fetches the image into a buffer of `capacity` bytes over USB and writes its Base64 text
// with a terminator into `out` (room for EncodedLength(capacity) + 1 characters). A failed
// upload leaves an empty text and length 0. With `logText`, logs "data:%s" (masked) and
// "len:%d". Returns the upload's result.
int FetchAsText(const CallFrame* frame, size_t capacity, const char* shownPath, int timeout, char* out,
                int* outLength, bool logText) {
  std::vector<uint8_t> image(capacity, 0);
  int length = 9999;
  transfer::UploadDestination to;
  to.iMode = 1;
  to.savePath = shownPath;
  to.data = image.data();
  to.capacity = capacity;
  to.dataLength = &length;
  const int rc = FetchSignature(frame, to, timeout);

  size_t textLength = 0;
  if (rc == 0 && length > 0 && static_cast<size_t>(length) <= capacity) {
    CBase64 encoder;
    if (!encoder.Encode(image.data(), static_cast<size_t>(length), out, CBase64::EncodedLength(capacity),
                        &textLength)) {
      textLength = 0;
    }
  }
  out[textLength] = '\0';
  SecureWipe(image.data(), image.size());
  if (logText) {
    WriteLog('I', "data:%s", textLength > 0 ? "***" : "");
    WriteLog('I', "len:%d", static_cast<int>(textLength));
  }
  if (outLength) *outLength = static_cast<int>(textLength);
  return rc;
}

// The voucher in its category under its fixed device name, over the port's link:
// 0, -1001 busy, -114 any other failure.
int DownloadVoucher(int port, const char* pPdfPath) {
  char message[transfer::kMessageSize] = {0};
  const int result =
      transfer::RV270Api_SaveFile_NewName(port, transfer::kVoucher, 1, pPdfPath, transfer::kVoucherName, message);
  WriteLog('I', "RV270Api_SaveFile_NewName return[%d]!", result);
  if (result == 0 || result == kBusy) return result;
  return kVoucherFailed;
}

// The arguments of the signature screen.
struct Signing {
  int port, selector, mode;
  int iSignValue1, iSignValue2, iSignValue3, iSignValue4, iSignByte;
  const char* pVoice;
  int timeout, iLen, iReserved;
};

// The voucher signing: the voucher downloaded and shown, the customer's outcome, and in
// the signature mode (0) the image fetched into SavePath, after `pauseMs`.
int VoucherSigning(const char* name, uint32_t pauseMs, const Signing& s, const char* SavePath,
                   const char* pPdfPath) {
  const auto dialogue = HoldExchanges();
  g_bKeepWaiting.store(1);
  WriteLog('I', "%s", Shown(pPdfPath));
  if (s.mode == 0) {
    if (Empty(SavePath)) return Refuse(kRefused, name, "SavePath is empty!");
    if (!ClearSavePath(SavePath)) return Refuse(kNotReplaceable, name, "SavePath cannot be replaced!");
  }
  const int loaded = DownloadVoucher(s.port, pPdfPath);
  if (loaded != 0) return loaded;
  const int outcome = RV270Api_ShowInfoOrWaitSign(s.port, s.selector, s.mode, nullptr, "1", s.iSignValue1,
                                                  s.iSignValue2, s.iSignValue3, s.iSignValue4, s.iSignByte,
                                                  s.pVoice, s.timeout, s.iLen, s.iReserved);
  if (outcome != 0 || s.mode != 0) return outcome;
  if (pauseMs > 0) platform::PauseMs(pauseMs);
  int length = 0;
  return UploadResult(name,
                      RV270Api_UploadFilesToPc(s.port, s.selector, 0, SavePath, kSignatureCategory, kSignatureName,
                                               s.timeout, nullptr, &length),
                      true);
}

// One class 0x31 command (or the main screen clear) of the signature pad over USB.
int PadCommand(const char* name, uint8_t cls, uint8_t cmd, const char* text, int waitMs) {
  CallFrame frame(name);
  Request request(kRequestSize, cls, cmd);
  request.Text(text);
  return frame.Call(kUsbLinkPort, 0, request, Recorded(waitMs), kPadTable, {kRefused, "request"});
}

int PaperlessSigning(int timeout, const char* pPaperText, char* pBase64, int* pBase64Len) {
  const auto dialogue = HoldExchanges();
  CallFrame frame("Paperless");
  if (!pBase64) return frame.ArgError(kRefused, "Paperless pBase64 is null!");
  if (!pBase64Len) return frame.ArgError(kRefused, "Paperless pBase64Len is null!");
  if (timeout < 0) return frame.ArgError(kRefused, "Paperless timeout<0!");
  if (timeout > kMaxTwoByteTimeout) return frame.ArgError(kRefused, "Paperless timeout>65535!");
  pBase64[0] = '\0';
  *pBase64Len = 0;
  Request request(kPaperlessRequestSize, 0x10, 0xFF);
  request.U16(timeout);
  if (!Empty(pPaperText)) {
    const size_t n = strlen(pPaperText);
    request.U16(static_cast<int>(n > 0xFFFF ? 0xFFFF : n)).Bytes(pPaperText, n);
  }
  Answer answer;
  int refused = 0;
  if (!frame.Transact(kUsbLinkPort, 0, request, Recorded(pinpad::WaitMs(timeout, 1)), answer,
                      {kRefused, "pPaperText"}, &refused)) {
    return refused;
  }
  const Outcome& row = CallFrame::Classify(kPaperlessTable, answer);
  const int ret = frame.Conclude(row, answer);
  if (&row != &kPaperlessDone) return ret;
  return UploadResult("Paperless",
                      FetchAsText(&frame, kImageBytes, "123", kPaperlessUploadSeconds, pBase64, pBase64Len, true),
                      true);
}

int PapelessBjzw(const char* pField3, const char* pField4, const char* pField6, const char* pTimeoutText,
                 char* pBase64) {
  const auto dialogue = HoldExchanges();
  CallFrame frame("papeless_BJZW");
  if (!pBase64) return frame.ArgError(kRefused, "papeless_BJZW pBase64 is null!");
  pBase64[0] = '\0';
  const int seconds = pinpad::LengthFromText(pTimeoutText);
  Request request(kRequestSize, 0x31, 0x01);
  request.Text("1280|720|").Text(pField3).Text("|").Text(pField4).Text("|").Text(pTimeoutText).Text("|");
  request.Text(pField6).Text("|");
  Answer answer;
  int refused = 0;
  if (!frame.Transact(kUsbLinkPort, 0, request, Recorded(pinpad::WaitMs(seconds, 0)), answer,
                      {kRefused, "parameter text"}, &refused)) {
    return refused;
  }
  const Outcome& row = CallFrame::Classify(kPadTable, answer);
  const int ret = frame.Conclude(row, answer);
  if (&row != &kPadDone) return ret;
  return UploadResult("papeless_BJZW", FetchAsText(&frame, kLargeImageBytes, "", seconds, pBase64, nullptr, false),
                      false);
}

int GetSignature(const char* SavePath) {
  const auto dialogue = HoldExchanges();
  CallFrame frame("getSignature_GDNH");
  if (Empty(SavePath)) return frame.ArgError(kRefused, "getSignature_GDNH SavePath is empty!");
  if (!ClearSavePath(SavePath)) return frame.ArgError(kNotReplaceable, "getSignature_GDNH SavePath cannot be replaced!");
  Request request(kRequestSize, 0x31, 0x02);
  request.U8(0x00);
  Answer answer;
  int refused = 0;
  if (!frame.Transact(kUsbLinkPort, 0, request, Recorded(kPadMs), answer, {kRefused, "request"}, &refused)) {
    return refused;
  }
  const Outcome& row = CallFrame::Classify(kPadTable, answer);
  const int ret = frame.Conclude(row, answer);
  if (&row != &kPadDone) return ret;
  transfer::UploadDestination to;
  to.iMode = 0;
  to.savePath = SavePath;
  return UploadResult("getSignature_GDNH", FetchSignature(&frame, to, kPadUploadSeconds), false);
}

int DlPaperless(int iSignValue1, int iSignValue2, int iSignValue3, int iSignValue4, int iSignByte, int timeout,
                char* pBase64, const char* pPdfPath, int* pBase64Len) {
  const auto dialogue = HoldExchanges();
  g_bKeepWaiting.store(1);
  WriteLog('I', "%s", Shown(pPdfPath));
  if (!pBase64) return Refuse(kRefused, "DLpaperlessFZ", "pBase64 is null!");
  if (!pBase64Len) return Refuse(kRefused, "DLpaperlessFZ", "pBase64Len is null!");
  pBase64[0] = '\0';
  *pBase64Len = 0;
  char message[transfer::kMessageSize] = {0};
  int loaded =
      transfer::UploadFile_1M_NewName(1, pPdfPath, transfer::kVoucherName, transfer::kVoucher, message);
  loaded = loaded == 1 ? 0 : (loaded == 0 ? kNotSent : loaded);
  WriteLog('I', "RV270Api_SaveFile_NewName return[%d]!", loaded);
  if (loaded != 0) return loaded == kBusy ? kBusy : kVoucherFailed;
  const int outcome = RV270Api_ShowInfoOrWaitSign(kUsbLinkPort, 0x30, 0, nullptr, "1", iSignValue1, iSignValue2,
                                                  iSignValue3, iSignValue4, iSignByte, nullptr, timeout, 0, 0);
  if (outcome != 0) return outcome;
  return UploadResult("DLpaperlessFZ", FetchAsText(nullptr, kImageBytes, "123", timeout, pBase64, pBase64Len, true),
                      true);
}

}  // namespace

#ifdef RV270_TEST_SEAMS
int api::LastSignatureWaitMs() { return g_lastWaitMs.load(); }
#endif

RV270_API int RV270_CALL RV270Api_ShowInfoOrWaitSignFZ(int port, int selector, int mode, int iSignValue1,
                                                       int iSignValue2, int iSignValue3, int iSignValue4,
                                                       int iSignByte, const char* pVoice, int timeout, int iLen,
                                                       int iReserved, const char* SavePath, const char* pPdfPath) {
  return GuardExport(kVoucherFailed, [&] {
    const Signing s{port, selector, mode, iSignValue1, iSignValue2, iSignValue3, iSignValue4, iSignByte,
                    pVoice, timeout, iLen, iReserved};
    return VoucherSigning("RV270Api_ShowInfoOrWaitSignFZ", 0, s, SavePath, pPdfPath);
  });
}

RV270_API int RV270_CALL RV270Api_Signaturetest(int port, int selector, int mode, int iSignValue1, int iSignValue2,
                                                int iSignValue3, int iSignValue4, int iSignByte, const char* pVoice,
                                                int timeout, int iLen, int iReserved, const char* SavePath,
                                                const char* pPdfPath) {
  return GuardExport(kVoucherFailed, [&] {
    const Signing s{port, selector, mode, iSignValue1, iSignValue2, iSignValue3, iSignValue4, iSignByte,
                    pVoice, timeout, iLen, iReserved};
    return VoucherSigning("RV270Api_Signaturetest", kSignaturetestPauseMs, s, SavePath, pPdfPath);
  });
}

RV270_API int RV270_CALL DLpaperlessFZ(int iSignValue1, int iSignValue2, int iSignValue3, int iSignValue4,
                                       int iSignByte, int timeout, char* pBase64, const char* pPdfPath,
                                       int* pBase64Len) {
  return GuardExport(kVoucherFailed, [&] {
    return DlPaperless(iSignValue1, iSignValue2, iSignValue3, iSignValue4, iSignByte, timeout, pBase64, pPdfPath,
                       pBase64Len);
  });
}

RV270_API int RV270_CALL Paperless(int timeout, const char* pPaperText, char* pBase64, int* pBase64Len) {
  return GuardExport(kRefused, [&] { return PaperlessSigning(timeout, pPaperText, pBase64, pBase64Len); });
}

RV270_API int RV270_CALL papeless_BJZW(const char* pField3, const char* pField4, const char* pField6,
                                       const char* pTimeoutText, char* pBase64) {
  return GuardExport(kRefused, [&] { return PapelessBjzw(pField3, pField4, pField6, pTimeoutText, pBase64); });
}

RV270_API int RV270_CALL startSignature_GDNH(void) {
  return GuardExport(kRefused,
                     [&] { return PadCommand("startSignature_GDNH", 0x31, 0x01, "1280|720|1280|720|0||", kPadOpenMs); });
}

RV270_API int RV270_CALL clearSignature_GDNH(void) {
  return GuardExport(kRefused, [&] { return PadCommand("clearSignature_GDNH", 0x31, 0x03, "", kPadMs); });
}

RV270_API int RV270_CALL endSign_GDNH(void) {
  return GuardExport(kRefused, [&] { return PadCommand("endSign_GDNH", 0x50, 0x15, "", kPadMs); });
}

RV270_API int RV270_CALL getSignature_GDNH(const char* SavePath) {
  return GuardExport(kRefused, [&] { return GetSignature(SavePath); });
}

RV270_API int RV270_CALL RV270Api_SaveFileSingleFZ(int iFileType, const char* filepath) {
  return GuardExport(kVoucherFailed, [&] {
    if (iFileType != 1 && iFileType != 2) return -10;
    return RV270Api_SaveFileSingle(kUsbLinkPort, 0, 0, nullptr, iFileType, filepath);
  });
}

RV270_API int RV270_CALL RV270Api_SetupAppFZ(const char* filepath) {
  return GuardExport(kVoucherFailed, [&] { return RV270Api_SetupApp(kUsbLinkPort, 0, filepath, 999, ""); });
}
