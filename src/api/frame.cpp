#include "api/frame.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "crypto/wipe.h"

#include "link/process_state.h"
#include "protocol/exchange.h"

namespace api {

const char* ErrorText(int code) {
  struct Entry {
    int code;
    const char* text;
  };
  static const Entry kTexts[] = {
      {0, "Device work normally"},
      {100, "param error"},
      {101, "simulator error"},
      {102, "cannot connect device"},
      {103, "received data error"},
      {104, "download bin error"},
      {105, "search device id error"},
      {106, "file path is null"},
      {107, "file is not exists"},
      {108, "directory is invalid"},
      {109, "download single file error"},
      {110, "unknown file type"},
      {111, "directory have no file"},
      {112, "download file in directory error"},
      {114, "write pos to file error"},
      {115, "upload signed picture error"},
      {116, "change to monochrome bitmap error"},
      {117, "cannot find compress path"},
      {118, "download zipfile error"},
      {119, "compress file error"},
      {120, "change to simulator error"},
      {121, "function is canceled"},
      {122, "result Length over"},
      {123, "device is busy"},
      {124, "Parameter is not reasonable"},
      {125, "Hardware operation exception"},
      {126, "setup bin error"},
      {127, "volume is not setted"},
      {128, "handle is timeout"},
  };
  for (const Entry& e : kTexts) {
    if (e.code == code) return e.text;
  }
  return "Device work normally";
}

void SetLastError(int code) { g_nLastError.store(code); }

size_t BoundedCopy(void* dst, size_t capacity, const void* src, size_t length) {
  size_t n = length < capacity ? length : capacity;
  if (n) memmove(dst, src, n);
  return n;
}

// ---- Request -------------------------------------------------------------------------

Request::Request(size_t capacity, uint8_t cls, uint8_t cmd)
    : data_(new uint8_t[capacity]()), capacity_(capacity) {
  U8(cls);
  U8(cmd);
}

Request::~Request() {
  SecureWipe(data_, capacity_);
  delete[] data_;
}

Answer::~Answer() { SecureWipe(response, sizeof(response)); }

bool Request::Room(size_t n) {
  if (overflow_ || n > capacity_ - length_) {
    overflow_ = true;
    return false;
  }
  return true;
}

Request& Request::U8(int value) {
  if (Room(1)) data_[length_++] = static_cast<uint8_t>(value & 0xFF);
  return *this;
}

Request& Request::U16(int value) {
  if (Room(2)) {
    data_[length_++] = static_cast<uint8_t>((value >> 8) & 0xFF);
    data_[length_++] = static_cast<uint8_t>(value & 0xFF);
  }
  return *this;
}

Request& Request::U32(int value) {
  if (Room(4)) {
    const uint32_t v = static_cast<uint32_t>(value);
    for (int shift = 24; shift >= 0; shift -= 8) data_[length_++] = static_cast<uint8_t>((v >> shift) & 0xFF);
  }
  return *this;
}

Request& Request::Bytes(const void* data, size_t length) {
  if (length && Room(length)) {
    memcpy(data_ + length_, data, length);
    length_ += length;
  }
  return *this;
}

Request& Request::Text(const char* text) { return text ? Bytes(text, strlen(text)) : *this; }

// ---- Cancels ---------------------------------------------------------------------------

namespace {

// Counts cancels. A frame notes the count when it starts; a cancel made after that is
// kept pending (g_bKeepWaiting stays 0) when the frame marks itself waiting, whose log
// lines may take longer than the cancel does to come. The mutex makes the test and the
// store of MarkWaiting one step against the increment and clear of a cancel.
std::mutex g_cancelMutex;
unsigned g_nCancelEpoch = 0;

unsigned CancelEpoch() {
  std::lock_guard<std::mutex> lock(g_cancelMutex);
  return g_nCancelEpoch;
}

}  // namespace

void CancelWaits() {
  std::lock_guard<std::mutex> lock(g_cancelMutex);
  ++g_nCancelEpoch;
  g_bKeepWaiting.store(0);
}

// ---- CallFrame -----------------------------------------------------------------------

CallFrame::CallFrame(const char* exportName) : name_(exportName), cancelEpoch_(CancelEpoch()) {
  WriteLog('I', "****************%s start****************", name_);
}

CallFrame::~CallFrame() {
  if (endLine_) WriteLog('I', "****************%s end****************", name_);
}

namespace {
int LogArgumentError(int ret, const char* format, va_list args) {
  char line[1024];
  vsnprintf(line, sizeof(line), format, args);
  WriteLog('E', "%s", line);
  SetLastError(kParamError);
  return ret;
}
}  // namespace

int CallFrame::ArgError(int ret, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int r = LogArgumentError(ret, format, args);
  va_end(args);
  return r;
}

int ArgumentError(int ret, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int r = LogArgumentError(ret, format, args);
  va_end(args);
  return r;
}

int CallFrame::TooLong(int ret, const char* what) {
  return ArgError(ret, "%s %s too long!", name_, what);
}

void CallFrame::MarkWaiting() const {
  std::lock_guard<std::mutex> lock(g_cancelMutex);
  if (g_nCancelEpoch == cancelEpoch_) g_bKeepWaiting.store(1);
}

bool CallFrame::Transact(int port, int selector, Request& request, int timeoutMs, Answer& answer,
                         Refusal refusal, int* refused) {
  if (request.Overflowed()) {
    *refused = TooLong(refusal.ret, refusal.what);
    return false;
  }
  MarkWaiting();
  Exchange(port, selector, request, timeoutMs, answer);
  return true;
}

int CallFrame::Call(int port, int selector, Request& request, int timeoutMs, OutcomeTable table, Answer& answer,
                    Refusal refusal) {
  int refused = 0;
  if (!Transact(port, selector, request, timeoutMs, answer, refusal, &refused)) return refused;
  return Map(table, answer);
}

int CallFrame::Call(int port, int selector, Request& request, int timeoutMs, OutcomeTable table, Refusal refusal) {
  Answer answer;
  return Call(port, selector, request, timeoutMs, table, answer, refusal);
}

void CallFrame::Exchange(int port, int selector, Request& request, int timeoutMs, Answer& answer) {
  answer.length = 0;
  answer.result = Communicate(port, selector, request.Data(), request.Length(), answer.response,
                              Answer::kCapacity, &answer.length, timeoutMs);
}

const Outcome& CallFrame::Classify(OutcomeTable table, const Answer& answer) {
  for (size_t i = 0; i < table.count; ++i) {
    const Outcome& row = table.rows[i];
    switch (row.match) {
      case Match::Busy:
        if (answer.result == kBusy) return row;
        break;
      case Match::Result:
        if (answer.result == row.b0) return row;
        break;
      case Match::OtherNegative:
        if (answer.result < 0) return row;
        break;
      case Match::Status:
        if (answer.result >= 0 && answer.HasStatus() && (row.b0 == kAny || answer.Byte(0) == row.b0) &&
            (row.b1 == kAny || answer.Byte(1) == row.b1) && (row.b2 == kAny || answer.Byte(2) == row.b2))
          return row;
        break;
      case Match::Else:
        return row;
    }
  }
  return table.rows[table.count - 1];
}

int CallFrame::Conclude(const Outcome& row, const Answer& answer, const char* text, int value) {
  if (row.line == nullptr) {
    WriteLog(row.level, "%s error for usb being busying!", name_);
  } else {
    switch (row.arg) {
      case Arg::None: WriteLog(row.level, "%s", row.line); break;
      case Arg::Result: WriteLog(row.level, row.line, answer.result); break;
      case Arg::Text: WriteLog(row.level, row.line, text ? text : ""); break;
      case Arg::Value: WriteLog(row.level, row.line, value); break;
    }
  }
  if (row.dumpResponse) {
    WriteHexLog(answer.response, answer.length > 0 ? static_cast<size_t>(answer.length) : 0, 'I',
                "value:%s");
  }
  if (row.error != kKeep) SetLastError(row.error);
  return row.ret;
}

}  // namespace api
