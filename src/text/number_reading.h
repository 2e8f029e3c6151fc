// The readings of one number for speech, used by SpellOutNumbers.
//
// A number is the text of a number token with its commas removed: ASCII digits and full
// stops, with an optional "-" in front. Every reading accepts any such text, however
// long, and never fails; the length limits below are where the caller switches from
// a worded reading to a digit-by-digit one.
#pragma once
#include <string>
#include <string_view>

namespace voice {

// Characters before the first full stop ("-" counted), or the whole length.
size_t IntegerLength(const std::u16string& number);

// A "letter" of the joining rule: a character with upper or lower case (Latin, Greek,
// Cyrillic, Armenian, full-width Latin letters).
bool IsLetter(char16_t c);

// The joining rule: a piece that begins with a letter, appended to a text that ends
// with a letter, gets one space in front. Anything else is appended unchanged.
void AppendJoined(std::u16string& out, std::u16string_view piece);

// One word per character, single spaces between: "minus", "point", "zero" ... "nine".
std::u16string EnglishDigits(const std::u16string& number);

// The integer part as English words in billions, millions and thousands, then "point"
// and one word per decimal. Integer parts of more than 12 characters are read digit
// by digit.
std::u16string EnglishWords(const std::u16string& number);

// One character per input character: "-" stays "-", "." is 点, digits are
// ０一二三四五六七八九 (0 is the full-width digit zero).
std::u16string ChineseDigits(const std::u16string& number);

// The integer part with 千百十 in groups of 万 and 亿 (负 for "-"), then 点 and one
// digit per decimal. Integer parts of more than 16 characters are read digit by digit.
std::u16string ChineseNumber(const std::u16string& number);

// The amount rounded to cents and read with 仟佰拾 in groups of 万 and 亿, then 元,
// 角 and 分. A whole amount ends in 元 only when `wholeAmountYuan` is set.
std::u16string ChineseMoney(const std::u16string& number, bool wholeAmountYuan);

}  // namespace voice
