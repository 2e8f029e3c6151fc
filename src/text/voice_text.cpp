// Voice text preparation: the sound-file pass-through, the UTF-8 test, GBK to UTF-8 and
// the number reading scan.
#include "text/voice_text.h"

#include <algorithm>
#include <cstring>

#include "log/log.h"
#include "platform/codepage.h"
#include "text/number_reading.h"

namespace {

constexpr char16_t kDollarSign = u'$';
constexpr char16_t kFullWidthDollarSign = 0xFF04;
constexpr char16_t kFullWidthYenSign = 0xFFE5;
constexpr char16_t kFullWidthHyphen = 0xFF0D;

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }
bool IsSpaceOrTab(char16_t c) { return c == u' ' || c == u'\t'; }
bool IsCurrencySign(char16_t c) { return c == kDollarSign || c == kFullWidthDollarSign || c == kFullWidthYenSign; }

// Whitespace that a whitespace token swallows after its first space or tab: line ends
// and the other Unicode spaces.
bool IsWhitespace(char16_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

enum class Language { kChinese, kEnglish };
enum class Currency { kNone, kDollar, kYuan };

// One left-to-right pass over the text. Each token test returns the end of its token
// at `p`, or `p` itself when no such token starts there.
class NumberSpeller {
 public:
  explicit NumberSpeller(const std::u16string& text)
      : text_(text.data()), length_(std::min(text.find(u'\0'), text.size())) {
    out_.reserve(length_ + length_ / 2);
  }

  std::u16string Run() {
    size_t p = 0;
    while (p < length_) p = NextToken(p);
    return std::move(out_);
  }

 private:
  size_t NextToken(size_t p) {
    // Whitespace: dropped, no change of state.
    size_t end = WhitespaceEnd(p);
    if (end > p) return end;
    // Currency sign before a number: remembered for the numbers that follow.
    end = CurrencySignEnd(p);
    if (end > p) {
      currency_ = text_[p] == kFullWidthYenSign ? Currency::kYuan : Currency::kDollar;
      return end;
    }
    end = NumberEnd(p);
    if (end > p) return ReadNumber(p, end);
    return CopyText(p);
  }

  // A space or tab with every whitespace character after it.
  size_t WhitespaceEnd(size_t p) const {
    if (p >= length_ || !IsSpaceOrTab(text_[p])) return p;
    ++p;
    while (p < length_ && IsWhitespace(text_[p])) ++p;
    return p;
  }

  // A currency sign followed by a digit, with spaces or tabs and one "-" allowed
  // between. The token is the sign alone.
  size_t CurrencySignEnd(size_t p) const {
    if (p >= length_ || !IsCurrencySign(text_[p])) return p;
    size_t q = p + 1;
    while (q < length_ && IsSpaceOrTab(text_[q])) ++q;
    if (q < length_ && text_[q] == u'-') ++q;
    return q < length_ && IsDigit(text_[q]) ? p + 1 : p;
  }

  // A digit or "-" and the longest run of digits, commas and full stops after it,
  // without trailing commas. A "-" left alone is no number.
  size_t NumberEnd(size_t p) const {
    if (p >= length_ || !(IsDigit(text_[p]) || text_[p] == u'-')) return p;
    size_t q = p + 1;
    while (q < length_ && (IsDigit(text_[q]) || text_[q] == u',' || text_[q] == u'.')) ++q;
    while (q > p + 1 && text_[q - 1] == u',') --q;
    return q == p + 1 && text_[p] == u'-' ? p : q;
  }

  std::u16string WithoutCommas(size_t begin, size_t end) const {
    std::u16string number;
    number.reserve(end - begin);
    for (size_t i = begin; i < end; ++i) {
      if (text_[i] != u',') number += text_[i];
    }
    return number;
  }

  // A number, or a range of two numbers joined by "-" or a full-width hyphen (with
  // whitespace and a currency sign allowed after the hyphen). Returns where the scan
  // goes on.
  size_t ReadNumber(size_t begin, size_t end) {
    const std::u16string first = WithoutCommas(begin, end);
    std::u16string second;
    bool range = false;
    size_t next = end;
    size_t q = end;
    while (q < length_ && IsSpaceOrTab(text_[q])) ++q;
    if (q < length_ && (text_[q] == u'-' || text_[q] == kFullWidthHyphen)) {
      size_t r = WhitespaceEnd(q + 1);
      r = CurrencySignEnd(r);  // a sign here leaves the pending currency as it is
      const size_t secondEnd = NumberEnd(r);
      if (secondEnd > r) {
        second = WithoutCommas(r, secondEnd);
        range = true;
        next = secondEnd;
      }
    }
    if (language_ == Language::kEnglish) {
      ReadEnglish(first, range ? &second : nullptr);
    } else {
      ReadChinese(first, range ? &second : nullptr);
    }
    return next;
  }

  // English: digit by digit without a currency; with one, words up to 12 characters
  // (9 for the second number of a range), then "dollars" or 元.
  void ReadEnglish(const std::u16string& first, const std::u16string* second) {
    if (currency_ == Currency::kNone) {
      voice::AppendJoined(out_, voice::EnglishDigits(first));
      if (second != nullptr) {
        out_ += u" to ";
        out_ += voice::EnglishDigits(*second);
      }
      return;
    }
    constexpr size_t kFirstWordsMax = 12, kSecondWordsMax = 9;
    voice::AppendJoined(out_, voice::IntegerLength(first) <= kFirstWordsMax ? voice::EnglishWords(first)
                                                                            : voice::EnglishDigits(first));
    if (second != nullptr) {
      out_ += u" to ";
      out_ += voice::IntegerLength(*second) <= kSecondWordsMax ? voice::EnglishWords(*second)
                                                                : voice::EnglishDigits(*second);
    }
    voice::AppendJoined(out_, currency_ == Currency::kDollar ? u"dollars" : u"元");
  }

  // Chinese: digit by digit without a currency; with one, a Chinese number (dollar) or a
  // money amount (yuan) up to 15 characters, then 美元 or 元 unless the last reading
  // already ends the amount with 元. A money range reads both numbers without 元.
  void ReadChinese(const std::u16string& first, const std::u16string* second) {
    if (currency_ == Currency::kNone) {
      // Chinese digits never begin with a letter: joining is plain appending here.
      out_ += voice::ChineseDigits(first);
      if (second != nullptr) {
        out_ += u'至';
        out_ += voice::ChineseDigits(*second);
      }
      return;
    }
    constexpr size_t kWordsMax = 15;
    const bool wholeAmountYuan = second == nullptr;
    auto amount = [&](const std::u16string& number) {
      if (voice::IntegerLength(number) > kWordsMax) return voice::ChineseDigits(number);
      return currency_ == Currency::kDollar ? voice::ChineseNumber(number)
                                            : voice::ChineseMoney(number, wholeAmountYuan);
    };
    std::u16string last = amount(first);
    out_ += last;
    if (second != nullptr) {
      out_ += u'至';
      last = amount(*second);
      out_ += last;
    }
    if (last.find(u'元') == std::u16string::npos) out_ += currency_ == Currency::kDollar ? u"美元" : u"元";
  }

  // Text: copied; its language becomes the reading language and the pending currency
  // ends. A word (a letter and the letters after it) is one token, so a space is rebuilt
  // only between words that the input separated. A currency sign that precedes no
  // number counts as ASCII text, full-width or not. Consecutive non-ASCII characters
  // that are neither letters nor currency signs are copied in one go: token by token
  // they would change nothing more.
  size_t CopyText(size_t p) {
    const char16_t c = text_[p];
    size_t q = p + 1;
    if (voice::IsLetter(c)) {
      while (q < length_ && voice::IsLetter(text_[q])) ++q;
    } else if (c >= 0x80 && !IsCurrencySign(c)) {
      while (q < length_ && text_[q] >= 0x80 && !IsCurrencySign(text_[q]) && !voice::IsLetter(text_[q])) ++q;
    }
    const bool ascii = c < 0x80 || IsCurrencySign(c);
    voice::AppendJoined(out_, std::u16string_view(text_ + p, q - p));
    language_ = ascii ? Language::kEnglish : Language::kChinese;
    currency_ = Currency::kNone;
    return q;
  }

  const char16_t* text_;
  size_t length_;
  std::u16string out_;
  Language language_ = Language::kChinese;
  Currency currency_ = Currency::kNone;
};

}  // namespace

bool IsUtf8Text(const char* text, size_t length) {
  if (text == nullptr) return true;
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
  size_t i = 0;
  while (i < length) {
    const unsigned char lead = bytes[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    if (lead < 0xC0 || lead >= 0xF0) return false;
    const size_t need = lead < 0xE0 ? 1 : 2;
    if (i + need >= length) return true;  // cut off by the end: the walk stops here
    for (size_t k = 1; k <= need; ++k) {
      if (bytes[i + k] < 0x80 || bytes[i + k] > 0xBF) return false;
    }
    i += need + 1;
  }
  return true;
}

std::string GbkToUtf8(const char* text) {
  if (text == nullptr) return std::string();
  return platform::Utf16ToUtf8(platform::GbkToUtf16(text, strlen(text)));
}

std::u16string SpellOutNumbers(const std::u16string& text) { return NumberSpeller(text).Run(); }

std::string PrepareVoiceText(const char* text) {
  if (text == nullptr) return std::string();
  const size_t length = strlen(text);
  static constexpr char kSoundFileSuffix[] = ".wav";
  constexpr size_t kSuffixLength = sizeof(kSoundFileSuffix) - 1;
  if (length > kSuffixLength && memcmp(text + length - kSuffixLength, kSoundFileSuffix, kSuffixLength) == 0) {
    return std::string(text, length);
  }
  std::string utf8;
  if (IsUtf8Text(text, length)) {
    WriteLog('I', "语音是UTF8");
    utf8.assign(text, length);
  } else {
    WriteLog('I', "语音不是UTF8，则直接GBK转UTF8");
    utf8 = GbkToUtf8(text);
  }
  return platform::Utf16ToUtf8(SpellOutNumbers(platform::Utf8ToUtf16(utf8)));
}
