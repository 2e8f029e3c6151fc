#include "api/pinpad_common.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>

using namespace api;

namespace pinpad {

bool Done(const Answer& answer) {
  return answer.result >= 0 && answer.length >= 2 && answer.response[0] == 0x00 && answer.response[1] == 0x00;
}

int WaitMs(int timeoutSeconds, int marginSeconds) {
  const long long ms = (static_cast<long long>(timeoutSeconds) + marginSeconds) * 1000;
  return static_cast<int>(std::clamp<long long>(ms, 0, INT_MAX));
}

size_t TextLength(const char* text) { return text ? strlen(text) : 0; }

void PaddedIndex(Request& request, const char* text, size_t width) {
  const size_t length = std::min(TextLength(text), width);
  for (size_t i = length; i < width; ++i) request.U8('0');
  request.Bytes(text, length);
}

void RawField(Request& request, const char* text, size_t width) {
  const size_t length = std::min(TextLength(text), width);
  request.Bytes(text, length);
  for (size_t i = length; i < width; ++i) request.U8(0);
}

int LengthFromText(const char* text) {
  if (!text) return 0;
  const long long value = strtoll(text, nullptr, 10);
  return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

bool CountedData(const Answer& answer, const uint8_t** data, size_t* length) {
  const size_t n = answer.length >= 3 ? answer.response[2] : 0;
  if (answer.length < 3 || static_cast<size_t>(answer.length) < 3 + n) return false;
  *data = answer.response + 3;
  *length = n;
  return true;
}

int ShortAnswer(CallFrame& frame, int ret) {
  WriteLog('E', "%s answer shorter than announced!", frame.Name());
  SetLastError(kReceivedDataError);
  return ret;
}

int AnswerTooLong(CallFrame& frame, int ret, size_t length, size_t capacity) {
  WriteLog('E', "%s answer of %d bytes over %d!", frame.Name(), static_cast<int>(length),
           static_cast<int>(capacity));
  SetLastError(kResultLengthOver);
  return ret;
}

std::array<Outcome, 5> KeyRows(int linkRet, int hwRet, const char* hwLine, int elseRet, char okLevel,
                                const char* okLine, const char* elseLine, const char* busyLine) {
  return {Busy(busyLine), LinkFailure(linkRet), OnStatus(0x00, 0x00, kAny, 0, kOk, okLevel, okLine),
          OnStatus(0x00, 0x09, kAny, hwRet, kHardwareException, 'E', hwLine),
          Otherwise(elseRet, kReceivedDataError, 'E', elseLine)};
}

}  // namespace pinpad
