// Text for speech: the terminal speaks UTF-8, and reads digits one by one unless they
// are written out. Every text a command sends for speech passes through
// PrepareVoiceText on its way into the payload.
//
// Pure text functions: no device, no shared state; safe on any number of threads.
#pragma once
#include <cstddef>
#include <string>

// Text for speech (GBK or UTF-8) to a new UTF-8 text with numbers spelled out; a text
// that ends in ".wav" (and is longer than 4 bytes) is returned unchanged: it names a
// sound file on the terminal. Logs which reading of the input it took (level I), except
// for a sound file name. Never fails; a null text gives an empty text.
std::string PrepareVoiceText(const char* text);

// The UTF-8 test of PrepareVoiceText. A heuristic, nothing more: leads 0xC0 to 0xDF
// need one continuation byte and 0xE0 to 0xEF two; a stray continuation byte, a lead
// of 0xF0 or above, or a missing continuation byte make the text not UTF-8; a lead byte
// whose continuation would lie beyond `length` ends the walk as UTF-8. Overlong forms
// pass, and so does GBK text whose characters all look like two-byte sequences.
bool IsUtf8Text(const char* text, size_t length);

// A zero-terminated GBK (code page 936) text to UTF-8. Bytes that start no GBK
// character follow the platform converter's replacement rules. Null gives "".
std::string GbkToUtf8(const char* text);

// Rewrites every number of the text into words, Chinese or English according to the
// text around it, and returns the new text. The text ends at its length or at its first
// U+0000, whichever comes first. Spaces of the input are dropped and rebuilt between
// English words.
std::u16string SpellOutNumbers(const std::u16string& text);
