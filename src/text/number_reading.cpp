// Readings of one number: English digits and words, Chinese digits, Chinese number and
// Chinese money.
#include "text/number_reading.h"

#include <charconv>
#include <cstdint>

namespace voice {

namespace {

constexpr char16_t kChineseDigits[] = u"０一二三四五六七八九";  // 0 is U+FF10
constexpr char16_t kOrdinaryUnits[] = u"千百十";  // thousands, hundreds, tens
constexpr char16_t kFormalUnits[] = u"仟佰拾";    // the same on money amounts
constexpr char16_t kTenThousand = u'万';
constexpr char16_t kHundredMillion = u'亿';
constexpr char16_t kMinusWord = u'负';
constexpr char16_t kPointWord = u'点';
constexpr char16_t kYuan = u'元';
constexpr char16_t kJiao = u'角';
constexpr char16_t kFen = u'分';

// English words by digit: the digit, ten plus the digit, ten times the digit.
constexpr const char16_t* kDigitWords[10] = {u"zero", u"one", u"two",   u"three", u"four",
                                             u"five", u"six", u"seven", u"eight", u"nine"};
constexpr const char16_t* kTeenWords[10] = {u"",        u"eleven",  u"twelve",    u"thirteen", u"fourteen",
                                            u"fifteen", u"sixteen", u"seventeen", u"eighteen", u"nineteen"};
constexpr const char16_t* kTensWords[10] = {u"",      u"ten",   u"twenty",  u"thirty", u"forty",
                                            u"fifty", u"sixty", u"seventy", u"eighty", u"ninety"};
// Scale words of the four 3-character groups of the English reading, from the left.
constexpr const char16_t* kEnglishScales[4] = {u"billion", u"million", u"thousand", u""};

constexpr size_t kEnglishField = 12;  // "%12s"
constexpr size_t kChineseField = 16;  // "%16s", and the integer part of "%19.2f"
constexpr size_t kMoneyText = 19;     // "%19.2f"

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// A field position as a digit value; the padding spaces count as 0.
int DigitValue(char16_t c) { return IsDigit(c) ? c - u'0' : 0; }

bool OnlySpacesAndZeros(std::u16string_view group) {
  for (char16_t c : group) {
    if (c != u' ' && c != u'0') return false;
  }
  return true;
}

// The characters before the first full stop with a leading "-" turned into a space,
// right-aligned in a field of `width` characters. False when they do not fit.
bool IntegerField(const std::u16string& number, size_t width, std::u16string* field) {
  std::u16string integer = number.substr(0, IntegerLength(number));
  if (integer.size() > width) return false;
  if (!integer.empty() && integer[0] == u'-') integer[0] = u' ';
  *field = std::u16string(width - integer.size(), u' ') + integer;
  return true;
}

// One English 3-character group with its scale word.
void ReadEnglishGroup(std::u16string_view group, const char16_t* scale, std::u16string& out) {
  if (group[2] == u' ' || OnlySpacesAndZeros(group)) return;
  const int hundreds = DigitValue(group[0]);
  const int tens = DigitValue(group[1]);
  const int units = DigitValue(group[2]);
  if (hundreds != 0) {
    AppendJoined(out, kDigitWords[hundreds]);
    out += u" hundred";
    if (tens != 0 || units != 0) out += u" and";
  }
  if (tens == 0) {
    if (units != 0) AppendJoined(out, kDigitWords[units]);
  } else if (tens == 1 && units != 0) {
    AppendJoined(out, kTeenWords[units]);
  } else {
    AppendJoined(out, kTensWords[tens]);
    if (units != 0) AppendJoined(out, kDigitWords[units]);
  }
  AppendJoined(out, scale);
}

// One Chinese 4-character group starting at `start` of the field: `units` are the
// place units of the thousands, hundreds and tens positions, `groupUnit` is 万, 亿 or 0.
// With `zeroFlag` on, a group of zeros says ０ unless the next group starts with a zero.
void ReadChineseGroup(const std::u16string& field, size_t start, const char16_t* units, char16_t groupUnit,
                      bool zeroFlag, std::u16string& out) {
  const std::u16string_view group(field.data() + start, 4);
  if (group[3] == u' ') return;
  if (OnlySpacesAndZeros(group)) {
    const bool nextIsZero = start + 4 < field.size() && field[start + 4] == u'0';
    if (zeroFlag && !nextIsZero) out += kChineseDigits[0];
    return;
  }
  bool zeroPending = false;
  for (size_t i = 0; i < 4; ++i) {
    const char16_t c = group[i];
    if (c == u' ') continue;
    if (c == u'0') {
      zeroPending = true;
      continue;
    }
    if (zeroPending) {
      out += kChineseDigits[0];
      zeroPending = false;
    }
    out += kChineseDigits[DigitValue(c)];
    if (i < 3) out += units[i];
  }
  if (groupUnit != 0) out += groupUnit;
}

// The 16-character integer field in four groups: 万亿, 亿, 万 and units. An 亿 follows
// the first group when it said something and the second group is all zeros (1万亿).
// Says ０ when the field says nothing.
void ReadChineseInteger(const std::u16string& field, const char16_t* units, std::u16string& out) {
  const size_t mark = out.size();
  ReadChineseGroup(field, 0, units, kTenThousand, true, out);
  if (out.size() > mark && OnlySpacesAndZeros(std::u16string_view(field.data() + 4, 4))) {
    out += kHundredMillion;
  }
  ReadChineseGroup(field, 4, units, kHundredMillion, true, out);
  ReadChineseGroup(field, 8, units, kTenThousand, true, out);
  ReadChineseGroup(field, 12, units, 0, false, out);
  if (out.size() == mark) out += kChineseDigits[0];
}

// Adds one to a text of decimal digits.
void IncrementDecimal(std::string& digits) {
  for (size_t i = digits.size(); i-- > 0;) {
    if (digits[i] != '9') {
      ++digits[i];
      return;
    }
    digits[i] = '0';
  }
  digits.insert(digits.begin(), '1');
}

// The amount as "%19.2f" prints it, or "" when it would not fit 19 characters.
//
// The amount is the longest decimal prefix of the number ("-", digits, "." and digits;
// a second full stop ends it, so 1.2.3 is 1.2). Up to 13 integer digits it goes through
// a double and is rounded to cents by the formatting, as a C runtime would print it
// (to_chars gives the same correctly rounded text as printf, independent of the
// locale). From 14 integer digits a double no longer holds every cent, so the amount is
// rounded to cents on its decimal text instead, half away from zero: 15-digit amounts
// keep their exact cents.
std::string FormatCents(const std::u16string& number) {
  size_t i = 0;
  const bool negative = !number.empty() && number[0] == u'-';
  if (negative) ++i;
  std::string integer, fraction;
  for (; i < number.size() && IsDigit(number[i]); ++i) integer += static_cast<char>(number[i]);
  if (i < number.size() && number[i] == u'.') {
    for (++i; i < number.size() && IsDigit(number[i]); ++i) fraction += static_cast<char>(number[i]);
  }

  std::string text;
  constexpr size_t kExactDoubleDigits = 13;
  if (integer.size() <= kExactDoubleDigits) {
    double value = 0.0;  // no digits at all ("-", "-.") reads as 0, as atof does
    if (!integer.empty() || !fraction.empty()) {
      std::string decimal = negative ? "-" : "";
      decimal += integer.empty() ? "0" : integer;
      if (!fraction.empty()) decimal += "." + fraction;
      std::from_chars(decimal.data(), decimal.data() + decimal.size(), value);
    }
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof(buffer), value, std::chars_format::fixed, 2);
    if (result.ec != std::errc()) return "";
    text.assign(buffer, result.ptr);
  } else {
    const int tenths = fraction.size() > 0 ? fraction[0] - '0' : 0;
    const int hundredths = fraction.size() > 1 ? fraction[1] - '0' : 0;
    int cents = tenths * 10 + hundredths + (fraction.size() > 2 && fraction[2] >= '5' ? 1 : 0);
    if (cents == 100) {
      cents = 0;
      IncrementDecimal(integer);
    }
    const size_t firstNonZero = integer.find_first_not_of('0');
    integer = firstNonZero == std::string::npos ? "0" : integer.substr(firstNonZero);
    text = (negative ? "-" : "") + integer + "." + static_cast<char>('0' + cents / 10) +
           static_cast<char>('0' + cents % 10);
  }
  if (text.size() > kMoneyText) return "";
  return std::string(kMoneyText - text.size(), ' ') + text;
}

}  // namespace

size_t IntegerLength(const std::u16string& number) {
  const size_t stop = number.find(u'.');
  return stop == std::u16string::npos ? number.size() : stop;
}

bool IsLetter(char16_t c) {
  if (c < 0x80) return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
  struct Range {
    char16_t first, last;
  };
  // The cased alphabets; symbols and marks inside their blocks are left out.
  static constexpr Range kCased[] = {
      {0x00B5, 0x00B5}, {0x00C0, 0x00D6}, {0x00D8, 0x00F6}, {0x00F8, 0x02AF},  // Latin, IPA
      {0x0386, 0x0386}, {0x0388, 0x03FF},                                      // Greek
      {0x0400, 0x0481}, {0x048A, 0x052F},                                      // Cyrillic
      {0x0531, 0x0556}, {0x0561, 0x0587},                                      // Armenian
      {0x1E00, 0x1FBC}, {0x1FC2, 0x1FFC},                                      // Latin, Greek extended
      {0xFF21, 0xFF3A}, {0xFF41, 0xFF5A},                                      // full-width Latin
  };
  for (const Range& r : kCased) {
    if (c >= r.first && c <= r.last) return true;
  }
  return false;
}

void AppendJoined(std::u16string& out, std::u16string_view piece) {
  if (!piece.empty() && !out.empty() && IsLetter(piece.front()) && IsLetter(out.back())) out += u' ';
  out.append(piece);
}

std::u16string EnglishDigits(const std::u16string& number) {
  std::u16string out;
  for (char16_t c : number) {
    const char16_t* word = nullptr;
    if (c == u'-') {
      word = u"minus";
    } else if (c == u'.') {
      word = u"point";
    } else if (IsDigit(c)) {
      word = kDigitWords[c - u'0'];
    } else {
      continue;  // spaces and commas
    }
    if (!out.empty()) out += u' ';
    out += word;
  }
  return out;
}

std::u16string EnglishWords(const std::u16string& number) {
  std::u16string field;
  if (!IntegerField(number, kEnglishField, &field)) return EnglishDigits(number);
  std::u16string out;
  if (!number.empty() && number[0] == u'-') out = u"minus";
  const size_t mark = out.size();
  for (size_t g = 0; g < 4; ++g) {
    ReadEnglishGroup(std::u16string_view(field.data() + 3 * g, 3), kEnglishScales[g], out);
  }
  if (out.size() == mark) AppendJoined(out, u"zero");
  const size_t stop = IntegerLength(number);
  if (stop < number.size()) {
    out += u" point";
    // One word per character after the point; a further full stop says "point" again.
    for (size_t i = stop + 1; i < number.size(); ++i) {
      const char16_t c = number[i];
      if (c == u'.') {
        AppendJoined(out, u"point");
      } else if (IsDigit(c)) {
        AppendJoined(out, kDigitWords[c - u'0']);
      }
    }
  }
  return out;
}

std::u16string ChineseDigits(const std::u16string& number) {
  std::u16string out;
  out.reserve(number.size());
  for (char16_t c : number) {
    if (c == u'-') {
      out += u'-';
    } else if (c == u'.') {
      out += kPointWord;
    } else if (IsDigit(c)) {
      out += kChineseDigits[c - u'0'];
    }  // spaces and commas say nothing
  }
  return out;
}

std::u16string ChineseNumber(const std::u16string& number) {
  std::u16string field;
  if (!IntegerField(number, kChineseField, &field)) return ChineseDigits(number);
  std::u16string out;
  if (!number.empty() && number[0] == u'-') out += kMinusWord;
  ReadChineseInteger(field, kOrdinaryUnits, out);
  const size_t stop = IntegerLength(number);
  if (stop < number.size()) {
    out += kPointWord;
    // One digit per character after the point; a further full stop says 点 again.
    out += ChineseDigits(number.substr(stop + 1));
  }
  return out;
}

std::u16string ChineseMoney(const std::u16string& number, bool wholeAmountYuan) {
  const std::string text = FormatCents(number);
  if (text.empty()) return ChineseDigits(number);
  std::u16string field(text.begin(), text.begin() + kChineseField);
  std::u16string out;
  const size_t minus = field.find(u'-');
  if (minus != std::u16string::npos) {
    field[minus] = u' ';
    out += kMinusWord;
  }
  ReadChineseInteger(field, kFormalUnits, out);
  const int tenths = text[kChineseField + 1] - '0';
  const int hundredths = text[kChineseField + 2] - '0';
  if (tenths == 0 && hundredths == 0) {
    if (wholeAmountYuan) out += kYuan;
    return out;
  }
  out += kYuan;
  if (tenths == 0) {
    out += kChineseDigits[0];
  } else {
    out += kChineseDigits[tenths];
    out += kJiao;
  }
  if (hundredths != 0) {
    out += kChineseDigits[hundredths];
    out += kFen;
  }
  return out;
}

}  // namespace voice
