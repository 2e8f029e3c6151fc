// GBK (code page 936) to UTF-16 with the system's own converter. Bytes that start no
// character follow MultiByteToWideChar's replacement rules for code page 936.
#include <windows.h>

#include "platform/codepage.h"

namespace platform {

namespace {

constexpr UINT kGbkCodePage = 936;
static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wide characters");

// MultiByteToWideChar takes an int length. A longer text is converted in pieces that end
// on a character boundary, found by walking the lead bytes from the piece's start.
constexpr size_t kMaxPiece = 1u << 30;

size_t PieceLength(const char* text, size_t length) {
  if (length <= kMaxPiece) return length;
  size_t i = 0;
  while (i < kMaxPiece - 1) {
    i += IsDBCSLeadByteEx(kGbkCodePage, static_cast<BYTE>(text[i])) ? 2 : 1;
  }
  return i;
}

}  // namespace

std::u16string GbkToUtf16(const char* text, size_t length) {
  std::u16string out;
  if (text == nullptr) return out;
  size_t pos = 0;
  while (pos < length) {
    const size_t piece = PieceLength(text + pos, length - pos);
    const int pieceInt = static_cast<int>(piece);
    const int needed = MultiByteToWideChar(kGbkCodePage, 0, text + pos, pieceInt, nullptr, 0);
    if (needed <= 0) break;  // only when code page 936 is missing from the system
    const size_t old = out.size();
    out.resize(old + static_cast<size_t>(needed));
    const int written = MultiByteToWideChar(kGbkCodePage, 0, text + pos, pieceInt,
                                            reinterpret_cast<wchar_t*>(&out[old]), needed);
    out.resize(old + static_cast<size_t>(written > 0 ? written : 0));
    pos += piece;
  }
  return out;
}

}  // namespace platform
