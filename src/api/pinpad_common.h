// Helpers shared by the PIN-pad and operator exports: the field encodings of the key and
// PIN commands, the checks of an answer's announced data, and the usual outcome rows.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

#include "api/frame.h"

namespace pinpad {

// The exchange succeeded and the terminal answered 0x00 0x00.
bool Done(const api::Answer& answer);

// The exchange wait in ms for a device timeout in seconds plus a margin, without overflow.
int WaitMs(int timeoutSeconds, int marginSeconds);

// Padded index field: the text right-aligned in `width` characters, '0' on the left; a
// longer text gives its first `width` characters.
void PaddedIndex(api::Request& request, const char* text, size_t width);
// Raw field: the first `width` bytes of the text; a shorter text is followed by zero
// bytes up to the width (nothing is read past its terminator).
void RawField(api::Request& request, const char* text, size_t width);
// A length or mode given as decimal text (leading blanks, optional sign, digits; no
// digits gives 0), as an int whose low byte the caller sends.
int LengthFromText(const char* text);
// Length of a possibly null text.
size_t TextLength(const char* text);

constexpr size_t kByteLengthMax = 255;      // what a one-byte length field can carry
constexpr size_t kAnswerCopyMax = 2048;     // whole-answer copies without a size argument

// Answer data counted by response byte 2: the n bytes from byte 3. False when the
// answer is shorter than it announces.
bool CountedData(const api::Answer& answer, const uint8_t** data, size_t* length);

// A successful answer shorter than the data it announces: nothing copied,
// "<export> answer shorter than announced!" (E), last error 103, `ret`.
int ShortAnswer(api::CallFrame& frame, int ret);
// An answer longer than the caller's buffer (`capacity` bytes): nothing copied,
// "<export> answer of %d bytes over %d!" (E), last error 122, `ret`.
int AnswerTooLong(api::CallFrame& frame, int ret, size_t length, size_t capacity);

// The five rows of most key commands: busy, link failure, done, 0x00 0x09, anything else.
std::array<api::Outcome, 5> KeyRows(int linkRet, int hwRet, const char* hwLine, int elseRet,
                                     char okLevel = 'I', const char* okLine = "RV270Api_Communication return ok!",
                                     const char* elseLine = "RV270Api_Communication return error!",
                                     const char* busyLine = nullptr);

inline api::OutcomeTable TableOf(const std::array<api::Outcome, 5>& rows) {
  return api::OutcomeTable(rows.data(), rows.size());
}

}  // namespace pinpad
