// Text conversions between GBK (code page 936), UTF-8 and UTF-16.
#pragma once
#include <cstddef>
#include <string>

namespace platform {

// GBK bytes to UTF-16 by the system's code page 936 converter. Invalid bytes follow
// the converter's replacement rules. Never fails.
std::u16string GbkToUtf16(const char* text, size_t length);

// UTF-8 to UTF-16 and back (portable; invalid sequences become U+FFFD).
std::u16string Utf8ToUtf16(const std::string& text);
std::string Utf16ToUtf8(const std::u16string& text);

}  // namespace platform
