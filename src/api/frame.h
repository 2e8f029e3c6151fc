// The call frame shared by every device export: start and end lines, argument checks,
// the exchange, and the mapping of its result and status bytes to a return value and
// the last error code, written as tables that read like the command documentation.
#pragma once
#include <array>
#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <utility>

#include "link/process_state.h"
#include "protocol/exchange.h"
#include "log/log.h"

namespace api {

// Result codes kept in g_nLastError.
enum ErrorCode : int {
  kOk = 0,
  kParamError = 100,
  kCannotConnect = 102,
  kReceivedDataError = 103,
  kSearchDeviceIdError = 105,
  kFunctionCanceled = 121,
  kResultLengthOver = 122,
  kDeviceBusy = 123,
  kParameterNotReasonable = 124,
  kHardwareException = 125,
  kVolumeNotSet = 127,
  kHandleTimeout = 128,
};

// Text of a result code, as RV270Api_GetErrorMsg returns it.
const char* ErrorText(int code);

// Request buffer sizes: most commands, and those that carry texts of any length.
constexpr size_t kRequestSize = 512;
constexpr size_t kLongRequestSize = 4096;

// Byte pattern wildcard, and "leave g_nLastError as it was".
constexpr int kAny = -1;
constexpr int kKeep = INT_MIN;

// What an outcome row matches, tested in table order.
enum class Match : uint8_t {
  Busy,           // exchange returned -1001
  Result,         // exchange returned the value in b0
  OtherNegative,  // any other negative exchange result
  Status,         // exchange ok, both status bytes received, bytes 0..2 match b0..b2 (kAny: any)
  Else,           // anything else
};

// What the row's line is formatted with.
enum class Arg : uint8_t { None, Result, Text, Value };

struct Outcome {
  Match match;
  int b0, b1, b2;
  int ret;              // return value of the export
  int error;            // g_nLastError, or kKeep
  char level;           // log level of the line
  const char* line;     // nullptr on a Busy row: "<export> error for usb being busying!"
  Arg arg;              // what the line's one conversion takes
  bool dumpResponse;    // also dump the whole response (title "value:%s", level I)
};

constexpr Outcome Busy(const char* line = nullptr) {
  return {Match::Busy, 0, 0, 0, -1001, kDeviceBusy, 'E', line, Arg::None, false};
}
constexpr Outcome OnResult(int result, int ret, int error, const char* line = "RV270Api_Communication return %d!") {
  return {Match::Result, result, 0, 0, ret, error, 'E', line, Arg::Result, false};
}
constexpr Outcome LinkFailure(int ret, const char* line = "RV270Api_Communication return %d!") {
  return {Match::OtherNegative, 0, 0, 0, ret, kCannotConnect, 'E', line, Arg::Result, false};
}
constexpr Outcome OnStatus(int b0, int b1, int b2, int ret, int error, char level, const char* line,
                           Arg arg = Arg::None) {
  return {Match::Status, b0, b1, b2, ret, error, level, line, arg, false};
}
constexpr Outcome Otherwise(int ret, int error, char level, const char* line, bool dump = false) {
  return {Match::Else, 0, 0, 0, ret, error, level, line, Arg::None, dump};
}

// A mapping table: rows in order, the first match wins.
struct OutcomeTable {
  const Outcome* rows;
  size_t count;
  template <size_t N>
  constexpr OutcomeTable(const Outcome (&r)[N]) : rows(r), count(N) {}
  constexpr OutcomeTable(const Outcome* r, size_t n) : rows(r), count(n) {}
};

// The usual mapping of a command: busy, link failure, done, hardware failure (0x00 0x09),
// any other status. Lines are those most commands log.
struct UsualMapping {
  Outcome rows[5];
  size_t count = 5;
  constexpr UsualMapping(int linkRet, int hwRet, const char* hwLine, int elseRet,
                         const char* okLine = "RV270Api_Communication return ok!",
                         char elseLevel = 'E', const char* elseLine = "RV270Api_Communication return error!")
      : rows{Busy(), LinkFailure(linkRet), OnStatus(0x00, 0x00, kAny, 0, kOk, 'I', okLine),
             OnStatus(0x00, 0x09, kAny, hwRet, kHardwareException, 'E', hwLine),
             Otherwise(elseRet, kReceivedDataError, elseLevel, elseLine)} {}
  // A command whose 0x00 0x09 status is not told apart from other refusals.
  constexpr UsualMapping(int linkRet, int elseRet, const char* okLine = "RV270Api_Communication return ok!")
      : rows{Busy(), LinkFailure(linkRet), OnStatus(0x00, 0x00, kAny, 0, kOk, 'I', okLine),
             Otherwise(elseRet, kReceivedDataError, 'E', "RV270Api_Communication return error!"),
             Otherwise(elseRet, kReceivedDataError, 'E', "RV270Api_Communication return error!")},
        count(4) {}
  operator OutcomeTable() const { return OutcomeTable(rows, count); }
};

// An outcome table made of shared pieces, their rows in the order given.
template <size_t... N>
constexpr std::array<Outcome, (N + ...)> Join(const Outcome (&... parts)[N]) {
  const std::pair<const Outcome*, size_t> pieces[] = {{parts, N}...};
  std::array<Outcome, (N + ...)> rows{};
  size_t at = 0;
  for (const auto& piece : pieces) {
    for (size_t i = 0; i < piece.second; ++i) rows[at++] = piece.first[i];
  }
  return rows;
}
template <size_t N>
OutcomeTable TableOf(const std::array<Outcome, N>& rows) {
  return OutcomeTable(rows.data(), N);
}

// A request: class byte, command byte, then fields, in a buffer of fixed capacity.
// Writes past the capacity are not made; they mark the request as overflowed.
// The buffer is wiped when the request goes: requests may carry keys or PIN blocks.
class Request {
 public:
  Request(size_t capacity, uint8_t cls, uint8_t cmd);
  ~Request();
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;

  Request& U8(int value);          // low byte
  Request& U16(int value);         // low 16 bits, big-endian
  Request& U32(int value);         // 32 bits, big-endian
  Request& Bytes(const void* data, size_t length);
  Request& Text(const char* text);  // bytes without terminator; null counts as empty

  bool Overflowed() const { return overflow_; }
  uint8_t* Data() { return data_; }
  int Length() const { return static_cast<int>(length_); }

 private:
  bool Room(size_t n);
  uint8_t* data_;
  size_t capacity_;
  size_t length_ = 0;
  bool overflow_ = false;
};

// One exchange's answer: response payload (status bytes first) in a 4096-byte buffer,
// zeroed before the exchange and wiped when it goes (answers may carry keys or PIN blocks).
struct Answer {
  static constexpr size_t kCapacity = 4096;
  int result = 0;                 // exchange result (0 ok, negative failure)
  uint8_t response[kCapacity] = {0};
  int length = 0;                 // response length

  Answer() = default;
  ~Answer();
  Answer(const Answer&) = delete;
  Answer& operator=(const Answer&) = delete;

  // Whether both status bytes arrived.
  bool HasStatus() const { return length >= 2; }
  // Response byte i as the outcome tables read it. The status bytes (0 and 1) are -1 when
  // the terminal did not send them, so no status pattern matches a cut-off answer. The
  // bytes after them read from the zeroed buffer: a terminal that answers only "00 00"
  // has answered "00 00 00 ...". Copies of data use Data()/DataLength(), which hold only
  // what the terminal sent.
  int Byte(int i) const {
    if (i < 0 || static_cast<size_t>(i) >= kCapacity) return -1;
    if (i < 2) return i < length ? response[i] : -1;
    return HasStatus() ? response[i] : -1;
  }
  // Data after the two status bytes.
  const uint8_t* Data() const { return response + 2; }
  size_t DataLength() const { return length > 2 ? static_cast<size_t>(length - 2) : 0; }
};

// A request that does not fit its buffer or a length field: what the export returns, and
// the name of the text that did not fit ("<export> <what> too long!", E, last error 100).
struct Refusal {
  int ret = -2;
  const char* what = "request";
};

// Null or empty text.
inline bool Empty(const char* text) { return text == nullptr || *text == '\0'; }
// A possibly null text, for log lines.
inline const char* Shown(const char* text) { return text ? text : ""; }

// The frame of one export call. Construction logs the start line; destruction logs the
// end line (unless the export ends without one).
class CallFrame {
 public:
  explicit CallFrame(const char* exportName);
  ~CallFrame();
  CallFrame(const CallFrame&) = delete;
  CallFrame& operator=(const CallFrame&) = delete;

  const char* Name() const { return name_; }
  void NoEndLine() { endLine_ = false; }

  // A failed argument check: the line (E), last error 100, and `ret`.
  int ArgError(int ret, const char* format, ...) RV270_PRINTF(3, 4);

  // A request that does not fit its buffer or length field: refused like a bad argument.
  int TooLong(int ret, const char* what);

  // Sets g_bKeepWaiting to 1 (the call may now wait), unless a cancel came after this
  // frame started: that cancel stays pending, so the wait it was meant for breaks off.
  void MarkWaiting() const;

  // The whole exchange of one export: a request that outgrew its buffer is refused
  // (Refusal; nothing is sent); otherwise the call is marked waiting, the request goes
  // through the port's link and the answer is mapped with `table`. `answer` keeps the
  // response for the copies after the call.
  int Call(int port, int selector, Request& request, int timeoutMs, OutcomeTable table, Answer& answer,
           Refusal refusal = {});
  int Call(int port, int selector, Request& request, int timeoutMs, OutcomeTable table, Refusal refusal = {});

  // The steps of Call before the mapping, for exports that read the answer themselves:
  // false when the request was refused (*refused holds the export's result).
  bool Transact(int port, int selector, Request& request, int timeoutMs, Answer& answer, Refusal refusal,
                int* refused);

  // Runs the exchange of the request through the port's link (no refusal, no marking).
  static void Exchange(int port, int selector, Request& request, int timeoutMs, Answer& answer);

  // The first row of the table that matches the answer.
  static const Outcome& Classify(OutcomeTable table, const Answer& answer);

  // Logs the row's line (formatted with the exchange result, `text` or `value`), dumps the
  // response when the row says so, sets the last error and returns the row's value.
  int Conclude(const Outcome& row, const Answer& answer, const char* text = nullptr, int value = 0);

  // Classify, then Conclude.
  int Map(OutcomeTable table, const Answer& answer) { return Conclude(Classify(table, answer), answer); }

 private:
  const char* name_;
  bool endLine_ = true;
  unsigned cancelEpoch_;  // cancels made before the frame started
};

// Breaks off the wait of every call in progress (the cancel exports, the library's exit):
// clears g_bKeepWaiting, and keeps the cancel pending for calls that have started but
// not yet marked themselves waiting.
void CancelWaits();

// Sets the last error code.
void SetLastError(int code);

// Copies at most `capacity` bytes; returns the number copied.
size_t BoundedCopy(void* dst, size_t capacity, const void* src, size_t length);

// A failed argument check outside a frame (workflows that chain exports): the line (E),
// last error 100, and `ret`.
int ArgumentError(int ret, const char* format, ...) RV270_PRINTF(2, 3);

}  // namespace api

// Every export body runs inside this guard: no C++ exception crosses the boundary.
template <typename F>
int GuardExport(int failure, F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return failure;
  }
}
