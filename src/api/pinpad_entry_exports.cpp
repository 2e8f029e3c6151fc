// PIN and keypad entry: the customer's PIN as an encrypted PIN block (bound to a card
// number or not, with the national-cipher and customer variants), numbers on the numeric
// keyboard, plain key input in four variants, the entry length, random data, the account
// field of a card number, and the break-off of a running entry.
//
// Card numbers in log lines keep only their last four digits; PIN blocks and typed keys
// are never logged.
//
// Choices where the request and the caller's buffers set limits:
// - Raw fields (the 12-character account field, the 3-character key index of
//   RV270Api_GuomiPin) take the first characters of the text; a shorter text is followed
//   by zero bytes up to the field's width (nothing is read past its terminator).
// - A request that does not fit its 512 bytes (the tail text of Nb_ReadCustomerPin_new
//   over 503 characters) or a one-byte length field (an AccNo over 255 characters) is
//   refused before sending: "<export> <what> too long!" (E), last error 100, return -2.
// - Copies without a size argument are bounded: the PIN length text at most 4 bytes with
//   its terminator, PIN blocks 16 or 32 bytes, the data of RV270Api_GuomiPin at most 255
//   bytes, tail data and the answers of RV270Api_NumKeyboard and
//   RV270Api_GetAnsi98Account at most kAnswerCopyMax (2048) bytes, the random data of
//   RV270Api_GetRand at most 255 bytes (511 characters with the terminator), key input
//   at most 127 characters. A longer answer copies nothing: last error 122, return -4.
// - A successful answer shorter than the data it announces (or than the PIN block it
//   must carry) copies nothing: last error 103, return -4. A null output buffer is not
//   written.
#include <cstdio>
#include <cstring>

#include "QornRV270API.h"
#include "api/cancel_command.h"
#include "api/frame.h"
#include "api/pinpad_common.h"
#include "api/secret_text.h"
#include "crypto/wipe.h"
#include "protocol/packet.h"
#include "protocol/variants.h"

using namespace api;
using namespace pinpad;

namespace {

constexpr int kShortTimeoutMs = 5000;
constexpr int kRefused = -2;
constexpr int kFailed = -4;
constexpr size_t kAccountField = 12;
constexpr size_t kPinBlock = 16;
constexpr size_t kWidePinBlock = 32;  // iBlockType 1
constexpr size_t kRandomMax = 255;

constexpr Outcome kDeviceWaitOver =
    OnStatus(0xAA, kAny, kAny, -11, kHandleTimeout, 'E', "RV270Api_Communication myPosterResult[0]==0xAA!");
constexpr Outcome kDone = OnStatus(0x00, 0x00, kAny, 0, kOk, 'I', "RV270Api_Communication return ok!");
constexpr Outcome kOther = Otherwise(kFailed, kReceivedDataError, 'E', "RV270Api_Communication return error!");

// Rows of the entries whose device wait may run out (status byte 0 0xAA).
constexpr Outcome kWaitingRows[] = {Busy(), LinkFailure(-3), kDone, kDeviceWaitOver, kOther};
// Rows of the other commands.
constexpr Outcome kPlainRows[] = {Busy(), LinkFailure(-3), kDone, kOther};

// Copies answer data to a caller buffer (not written when null) and concludes with the
// success row; an answer over `capacity` copies nothing.
int CopyOut(CallFrame& frame, const Answer& answer, OutcomeTable table, const uint8_t* data, size_t length,
            size_t capacity, char* out) {
  if (length > capacity) return AnswerTooLong(frame, kFailed, length, capacity);
  if (out && length) memcpy(out, data, length);
  return frame.Map(table, answer);
}

// The answer after the status bytes into `out`, for the commands that return it whole.
int RestOut(CallFrame& frame, int port, int selector, Request& request, int timeoutMs, OutcomeTable table,
            char* out, Refusal refusal = {kRefused, "request"}) {
  Answer answer;
  int refused = 0;
  if (!frame.Transact(port, selector, request, timeoutMs, answer, refusal, &refused)) return refused;
  if (!Done(answer)) return frame.Map(table, answer);
  return CopyOut(frame, answer, table, answer.Data(), answer.DataLength(), kAnswerCopyMax, out);
}

// ---- Plain key input -----------------------------------------------------------------

struct KeyInput {
  const char* name;
  uint8_t opening[2][4];  // flag 0, flag not 0
  int openingLength;
  uint8_t ending[4];      // plain runs only; framed runs end with the packet of 0x50 0x15
  int endingLength;
  int framed;             // 0: plain run; 1: framed run kept as typed; 2: framed run, edited
};

const KeyInput kClearKey1{"RV270Api_InnputClearKey1", {{0x1B, 0x5B, 0x2F, 0x31}, {0x1B, 0x5B, 0x2F, 0x32}}, 4,
                          {0x1B, 0x5B, 0x2F, 0x33}, 4, 0};
const KeyInput kClearKey2{"RV270Api_InnputClearKey2", {{0x82}, {0x81}}, 1, {0x83}, 1, 0};
const KeyInput kClearKey3{"RV270Api_InnputClearKey3", {{0x1B, 0x49}, {0x1B, 0x45}}, 2, {0}, 0, 1};
const KeyInput kClearKey4{"RV270Api_InnputClearKey4", {{0x1B, 0x4D}, {0x1B, 0x4C}}, 2, {0}, 0, 2};

int ReadKeys(const KeyInput& input, int port, int selector, int flag, int timeout, char* pOutData) {
  CallFrame frame(input.name);
  uint8_t opening[4];
  memcpy(opening, input.opening[flag != 0 ? 1 : 0], sizeof(opening));
  uint8_t text[kMaxKeys + 1] = {0};
  int textLength = 0;
  const int wait = WaitMs(timeout, 1);
  frame.MarkWaiting();
  int result = 0;
  if (input.framed == 0) {
    uint8_t ending[4];
    memcpy(ending, input.ending, sizeof(ending));
    result = RV270Api_Communication_ClearKey(port, selector, 1, opening, text, input.openingLength, &textLength, ending,
                                             input.endingLength, wait);
  } else {
    uint8_t command[2] = {0x50, 0x15};
    uint8_t ending[PacketLength(sizeof(command))] = {0};
    int endingLength = 0;
    MakeDataPackage(command, sizeof(command), ending, &endingLength);
    result = RV270Api_Communication_23Key(port, selector, 1, input.framed - 1, opening, text, input.openingLength,
                                          &textLength, ending, endingLength, wait);
  }
  if (result >= 0) {
    const size_t length = textLength < 0 ? 0 : textLength > kMaxKeys ? kMaxKeys : static_cast<size_t>(textLength);
    if (pOutData && length) memcpy(pOutData, text, length);
    SecureWipe(text, sizeof(text));
    SetLastError(kOk);
    frame.NoEndLine();
    return 0;
  }
  SecureWipe(text, sizeof(text));
  if (result == kBusy) {
    WriteLog('E', "%s error for usb being busying!", input.name);
    SetLastError(kDeviceBusy);
    return kBusy;
  }
  if (result == -2) {
    WriteLog('E', "%s timeout!", input.name);
    SetLastError(kHandleTimeout);
    return -11;
  }
  WriteLog('E', "%s return %d!", input.name, result);
  SetLastError(kCannotConnect);
  return -3;
}

}  // namespace

extern "C" {

RV270_API int RV270_CALL RV270Api_ReadCustomerPin(int port, int selector, const char* TMKIndex, const char* accNo,
                                                  const char* modex, int timeout, int iBlockType, int iOption,
                                                  int /*iUnused*/, char* pLenText, char* pPinBlock,
                                                  char* pTailData) {
  return GuardExport(-3, [&] {
    CallFrame frame("RV270Api_ReadCustomerPin");
    WriteLog('I', "RV270Api_ReadCustomerPin TMKIndex=%s,accNo=%s,modex=%s,timeout=%d", Shown(TMKIndex),
             Masked::CardNumber(accNo).c_str(), Shown(modex), timeout);
    Request request(kRequestSize, 0x50, 0x5A);
    PaddedIndex(request, TMKIndex, 3);
    if (!Empty(accNo)) RawField(request, accNo, kAccountField);
    request.U8(LengthFromText(modex)).U16(timeout).U8(iBlockType).U8(iOption);
    Answer answer;
    int refused = 0;
    if (!frame.Transact(port, selector, request, WaitMs(timeout, 1), answer, {kRefused}, &refused)) return refused;
    if (!Done(answer)) return frame.Map(kWaitingRows, answer);
    const size_t block = iBlockType == 1 ? kWidePinBlock : kPinBlock;
    if (static_cast<size_t>(answer.length) < 3 + block) return ShortAnswer(frame, kFailed);
    const size_t tail = static_cast<size_t>(answer.length) - 3 - block;
    if (tail > kAnswerCopyMax) return AnswerTooLong(frame, kFailed, tail, kAnswerCopyMax);
    if (pLenText) snprintf(pLenText, 4, "%d", answer.response[2]);
    if (pPinBlock) memcpy(pPinBlock, answer.response + 3, block);
    if (pTailData && tail) memcpy(pTailData, answer.response + 3 + block, tail);
    return frame.Map(kWaitingRows, answer);
  });
}

RV270_API int RV270_CALL RV270Api_GuomiPin(int port, int selector, const char* flag, const char* KeyIndex,
                                           const char* keytype, const char* accNo, const char* modex, int timeout,
                                           const char* MinPinlen, const char* MaxPinlen, char* pOutData) {
  return GuardExport(-3, [&] {
    CallFrame frame("RV270Api_GuomiPin");
    WriteLog('I', "RV270Api_GuomiPin flag=%s,KeyIndex=%s,keytype=%s,accNo=%s,modex=%s,timeout=%d,MinPinlen=%s,MaxPinlen=%s",
             Shown(flag), Shown(KeyIndex), Shown(keytype), Masked::CardNumber(accNo).c_str(),
             Shown(modex), timeout, Shown(MinPinlen), Shown(MaxPinlen));
    Request request(kRequestSize, 0x50, 0x63);
    request.U8(LengthFromText(flag));
    RawField(request, KeyIndex, 3);
    request.U8(LengthFromText(keytype));
    RawField(request, accNo, kAccountField);
    request.U8(LengthFromText(modex)).U16(timeout).U8(LengthFromText(MinPinlen)).U8(LengthFromText(MaxPinlen));
    Answer answer;
    int refused = 0;
    if (!frame.Transact(port, selector, request, WaitMs(timeout, 0), answer, {kRefused}, &refused)) return refused;
    if (!Done(answer)) return frame.Map(kPlainRows, answer);
    const uint8_t* data = nullptr;
    size_t length = 0;
    if (!CountedData(answer, &data, &length)) return ShortAnswer(frame, kFailed);
    return CopyOut(frame, answer, kPlainRows, data, length, kByteLengthMax, pOutData);
  });
}

RV270_API int RV270_CALL Nb_ReadCustomerPin_new(int port, int selector, int timeout, int iByte4, int iByte5,
                                                char* pPinBlock, int iByte8, const char* pTailText) {
  return GuardExport(-3, [&] {
    CallFrame frame("Nb_ReadCustomerPin");
    Request request(kRequestSize, 0x10, 0x19);
    request.U16(timeout).U8(iByte4).U8(iByte5).U16(0).U8(iByte8).Text(pTailText);
    static const Outcome kRows[] = {
        Busy(), OnResult(-6, -6, kFunctionCanceled, "Nb_ReadCustomerPin error for cancel!"), LinkFailure(-3), kDone,
        kDeviceWaitOver, kOther,
    };
    Answer answer;
    int refused = 0;
    if (!frame.Transact(port, selector, request, WaitMs(timeout, 1), answer, {kRefused, "pTailText"}, &refused)) {
      return refused;
    }
    if (!Done(answer)) return frame.Map(kRows, answer);
    if (answer.length < static_cast<int>(2 + kPinBlock)) return ShortAnswer(frame, kFailed);
    return CopyOut(frame, answer, kRows, answer.Data(), kPinBlock, kPinBlock, pPinBlock);
  });
}

RV270_API int RV270_CALL RV270Api_NumKeyboard(int port, int selector, int inputtype, int timeout, int mode,
                                              int length, char* pOutData) {
  return GuardExport(-3, [&] {
    CallFrame frame("RV270Api_NumKeyboard");
    WriteLog('I', "RV270Api_NumKeyboard inputtype=%d,timeout=%d,,mode=%d,length=%d", inputtype, timeout, mode, length);
    Request request(kRequestSize, 0x50, 0x67);
    request.U8(timeout).U8(inputtype).U8(mode).U8(length);
    return RestOut(frame, port, selector, request, WaitMs(timeout, 1), kWaitingRows, pOutData);
  });
}

RV270_API int RV270_CALL RV270Api_SetKeyBoardLen(int port, int selector, int KeyBoardMinLen, int KeyBoardMaxLen) {
  return GuardExport(-3, [&] {
    CallFrame frame("RV270Api_SetKeyBoardLen");
    WriteLog('I', "RV270Api_SetKeyBoardLen KeyBoardMinLen=%d,KeyBoardMaxLen=%d,", KeyBoardMinLen, KeyBoardMaxLen);
    Request request(kRequestSize, 0x50, 0x66);
    request.U8(KeyBoardMinLen).U8(KeyBoardMaxLen);
    static const Outcome kRows[] = {Busy(), LinkFailure(-3, "RV270Api_SetKeyBoardLen return %d!"), kDone, kOther};
    return frame.Call(port, selector, request, kShortTimeoutMs, kRows);
  });
}

RV270_API int RV270_CALL RV270Api_GetAnsi98Account(int port, int selector, const char* AccNo, char* pOutData) {
  return GuardExport(-3, [&] {
    CallFrame frame("RV270Api_GetAnsi98Account");
    WriteLog('I', "RV270Api_GetAnsi98Account AccNo=%s", Masked::CardNumber(AccNo).c_str());
    const size_t length = TextLength(AccNo);
    if (length > kByteLengthMax) return frame.TooLong(kRefused, "AccNo");
    Request request(kRequestSize, 0x50, 0x5B);
    request.U8(static_cast<int>(length)).Bytes(AccNo, length);
    return RestOut(frame, port, selector, request, kShortTimeoutMs, kPlainRows, pOutData);
  });
}

RV270_API int RV270_CALL RV270Api_GetRand(int port, int selector, const char* randlen, char* pOutData) {
  return GuardExport(-3, [&] {
    CallFrame frame("RV270Api_GetRand");
    WriteLog('I', "RV270Api_GetRand randlen=%s", Shown(randlen));
    Request request(kRequestSize, 0x50, 0x64);
    request.U8(LengthFromText(randlen));
    Answer answer;
    int refused = 0;
    if (!frame.Transact(port, selector, request, kShortTimeoutMs, answer, {kRefused}, &refused)) return refused;
    if (!Done(answer)) return frame.Map(kPlainRows, answer);
    const size_t length = answer.DataLength();
    if (length > kRandomMax) return AnswerTooLong(frame, kFailed, length, kRandomMax);
    if (pOutData && length) RV270Api_Hex2Ascii(answer.Data(), static_cast<int>(length), pOutData);
    if (pOutData && length == 0) *pOutData = '\0';
    return frame.Map(kPlainRows, answer);
  });
}

RV270_API int RV270_CALL RV270Api_Break(int port, int selector) {
  return GuardExport(0, [&] { return SendCancelCommand("RV270Api_Break", port, selector, 0x5C); });
}

RV270_API int RV270_CALL RV270Api_InnputClearKey1(int port, int selector, int flag, int timeout, char* pOutData) {
  return GuardExport(-3, [&] { return ReadKeys(kClearKey1, port, selector, flag, timeout, pOutData); });
}

RV270_API int RV270_CALL RV270Api_InnputClearKey2(int port, int selector, int flag, int timeout, char* pOutData) {
  return GuardExport(-3, [&] { return ReadKeys(kClearKey2, port, selector, flag, timeout, pOutData); });
}

RV270_API int RV270_CALL RV270Api_InnputClearKey3(int port, int selector, int flag, int timeout, char* pOutData) {
  return GuardExport(-3, [&] { return ReadKeys(kClearKey3, port, selector, flag, timeout, pOutData); });
}

RV270_API int RV270_CALL RV270Api_InnputClearKey4(int port, int selector, int flag, int timeout, char* pOutData) {
  return GuardExport(-3, [&] { return ReadKeys(kClearKey4, port, selector, flag, timeout, pOutData); });
}

RV270_API int RV270_CALL RV270Api_InnputClearKeyFZ(int port, int selector, int iLen, int flag, int timeout,
                                                   char* pOutData) {
  return GuardExport(-3, [&] {
    const int set = RV270Api_SetKeyBoardLen(port, selector, iLen, iLen);
    if (set != 0) return set;
    return RV270Api_InnputClearKey3(port, selector, flag, timeout, pOutData);
  });
}

}  // extern "C"
