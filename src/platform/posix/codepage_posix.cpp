// GBK (code page 936) to UTF-16 through glibc's iconv.
//
// glibc's "GBK" converter (alias "CP936") follows the Windows code page 936 table,
// 0x80 as the euro sign included. Where it meets a byte that starts no GBK character
// (a byte 0xFF, a lead byte with a trail byte outside the table, a lead byte cut off by
// the end of the text), that one byte becomes U+FFFD and the conversion goes on with the
// next byte, so an ASCII character after a broken lead byte survives.
#include <errno.h>
#include <iconv.h>

#include "platform/codepage.h"

namespace platform {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

// One converter per call: iconv descriptors keep state and may not be shared between
// threads, and a call's cost is dominated by the text anyway.
class GbkConverter {
 public:
  GbkConverter() {
    cd_ = iconv_open("UTF-16LE", "GBK");
    if (cd_ == reinterpret_cast<iconv_t>(-1)) cd_ = iconv_open("UTF-16LE", "CP936");
  }
  ~GbkConverter() {
    if (ok()) iconv_close(cd_);
  }
  GbkConverter(const GbkConverter&) = delete;
  GbkConverter& operator=(const GbkConverter&) = delete;
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return cd_; }

 private:
  iconv_t cd_;
};

void AppendLittleEndian(std::u16string& out, const unsigned char* bytes, size_t count) {
  for (size_t i = 0; i + 1 < count; i += 2) {
    out.push_back(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
  }
}

}  // namespace

std::u16string GbkToUtf16(const char* text, size_t length) {
  std::u16string out;
  if (text == nullptr || length == 0) return out;
  out.reserve(length);

  GbkConverter converter;
  if (!converter.ok()) {
    // No GBK table installed: keep ASCII, mark everything else as unreadable.
    for (size_t i = 0; i < length; ++i) {
      const unsigned char b = static_cast<unsigned char>(text[i]);
      out.push_back(b < 0x80 ? static_cast<char16_t>(b) : kReplacement);
    }
    return out;
  }

  char* in = const_cast<char*>(text);  // iconv's interface is not const-correct
  size_t inLeft = length;
  unsigned char buffer[4096];
  while (inLeft > 0) {
    char* outPtr = reinterpret_cast<char*>(buffer);
    size_t outLeft = sizeof(buffer);
    const size_t result = iconv(converter.get(), &in, &inLeft, &outPtr, &outLeft);
    const size_t produced = sizeof(buffer) - outLeft;
    AppendLittleEndian(out, buffer, produced);
    if (result != static_cast<size_t>(-1)) continue;
    if (errno == E2BIG && produced > 0) continue;
    // EILSEQ or EINVAL: the byte at `in` starts no character. Skip it.
    out.push_back(kReplacement);
    ++in;
    --inLeft;
  }
  return out;
}

}  // namespace platform
