// UTF-8 <-> UTF-16, the same on every platform.
//
// Ill-formed UTF-8 becomes U+FFFD, one per maximal ill-formed subpart (the practice the
// Unicode Standard recommends in its chapter 3, "U+FFFD Substitution of Maximal
// Subparts", and what Windows' MultiByteToWideChar(CP_UTF8) does): overlong forms,
// encoded surrogates, values above U+10FFFF, stray continuation bytes and a sequence cut
// short each give replacement characters, and the byte that broke a sequence starts the
// next one. An unpaired surrogate in UTF-16 becomes U+FFFD in UTF-8.
#include "platform/codepage.h"

#include <cstdint>

namespace platform {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

void AppendCodePoint(std::u16string& out, uint32_t cp) {
  if (cp < 0x10000) {
    out.push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace

std::u16string Utf8ToUtf16(const std::string& text) {
  std::u16string out;
  out.reserve(text.size());
  const size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    const uint8_t lead = static_cast<uint8_t>(text[i++]);
    if (lead < 0x80) {
      out.push_back(lead);
      continue;
    }
    // Well-formed sequences: the first continuation byte's range depends on the lead
    // (it excludes overlong forms, surrogates and values above U+10FFFF).
    int need;
    uint32_t cp;
    uint8_t low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      need = 1;
      cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      need = 2;
      cp = lead & 0x0F;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      need = 3;
      cp = lead & 0x07;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      out.push_back(kReplacement);
      continue;
    }
    int got = 0;
    while (got < need && i < n) {
      const uint8_t b = static_cast<uint8_t>(text[i]);
      if (b < low || b > high) break;
      cp = (cp << 6) | (b & 0x3F);
      low = 0x80;
      high = 0xBF;
      ++i;
      ++got;
    }
    if (got < need) {
      out.push_back(kReplacement);
    } else {
      AppendCodePoint(out, cp);
    }
  }
  return out;
}

std::string Utf16ToUtf8(const std::u16string& text) {
  std::string out;
  out.reserve(text.size() * 3 / 2 + 1);
  const size_t n = text.size();
  for (size_t i = 0; i < n; ++i) {
    uint32_t cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = kReplacement;
    }
    AppendUtf8(out, cp);
  }
  return out;
}

}  // namespace platform
