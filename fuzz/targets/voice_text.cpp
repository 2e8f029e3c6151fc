// Text for speech: any bytes as the caller's text (GBK or UTF-8), as a UTF-16 text for
// the number reading, and through the UTF-8 test with its exact length.
#include <cstring>
#include <string>
#include <vector>

#include "../support.h"
#include "text/voice_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  // The caller's text ends at its first zero byte.
  std::vector<char> text(data, data + size);
  text.push_back('\0');
  const std::string prepared = PrepareVoiceText(text.data());
  const size_t textLength = strlen(text.data());
  if (textLength > 4 && memcmp(text.data() + textLength - 4, ".wav", 4) == 0) {
    RV270_FUZZ_CHECK(prepared == std::string(text.data()));
  }

  // The UTF-8 test reads no byte past the given length.
  std::vector<char> exact(data, data + size);
  IsUtf8Text(exact.empty() ? "" : exact.data(), exact.size());

  // Pairs of bytes as UTF-16 code units, straight into the number reading.
  std::u16string units;
  for (size_t i = 0; i + 1 < size; i += 2) units.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  SpellOutNumbers(units);
  return 0;
}
