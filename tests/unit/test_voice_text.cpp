// Voice text preparation: the worked examples of the number reading, the edge cases of
// each token and reading, the UTF-8 test, the sound-file pass-through, the log lines,
// and the code-page conversions underneath.
//
// This file is compiled with -fexec-charset=GBK: a plain "..." literal is GBK bytes,
// u8"..." is UTF-8 and u"..." is UTF-16.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>

#include "log/log.h"
#include "platform/codepage.h"
#include "text/voice_text.h"

namespace {

std::string Utf8(const std::u16string& s) { return platform::Utf16ToUtf8(s); }

struct Reading {
  const char16_t* input;
  const char16_t* expected;
};

void ExpectReadings(const Reading* rows, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const std::u16string got = SpellOutNumbers(rows[i].input);
    EXPECT_EQ(std::u16string(rows[i].expected), got)
        << "input:    " << Utf8(rows[i].input) << "\nexpected: " << Utf8(rows[i].expected)
        << "\ngot:      " << Utf8(got);
  }
}

template <size_t N>
void ExpectReadings(const Reading (&rows)[N]) {
  ExpectReadings(rows, N);
}

// Each worked example in four forms: UTF-16 input and output, the input as GBK bytes and
// as UTF-8, and the output as UTF-8.
struct WorkedExample {
  const char16_t* input;
  const char16_t* expected;
  const char* gbkInput;
  const char* utf8Input;
  const char* utf8Expected;
};
#define EXAMPLE(in, out) {u##in, u##out, in, u8##in, u8##out}

const WorkedExample kWorkedExamples[] = {
    EXAMPLE("请到3号窗口", "请到三号窗口"),
    EXAMPLE("请拨打95588", "请拨打九五五八八"),
    EXAMPLE("共1,234.50元", "共一二三四点五０元"),
    EXAMPLE("10,005", "一０００五"),
    EXAMPLE("第12-15页", "第一二至一五页"),
    EXAMPLE("2023-01-05", "二０二三至０一-０五"),
    EXAMPLE("温度-5度", "温度-五度"),
    EXAMPLE("￥1234.56", "一仟二佰三拾四元五角六分"),
    EXAMPLE("￥100", "一佰元"),
    EXAMPLE("￥100005", "一拾万０五元"),
    EXAMPLE("￥10000.07", "一万元０七分"),
    EXAMPLE("￥0.5", "０元五角"),
    EXAMPLE("￥100-200", "一佰至二佰元"),
    EXAMPLE("￥1,200,000,000,000", "一万二仟亿元"),
    EXAMPLE("$100", "一百美元"),
    EXAMPLE("$1,000,000", "一百万美元"),
    EXAMPLE("$100000005", "一亿０五美元"),
    EXAMPLE("$-0.5", "负０点五美元"),
    EXAMPLE("$2.5-3", "二点五至三美元"),
    EXAMPLE("金额:100", "金额:one zero zero"),
    EXAMPLE("Room 12", "Room one two"),
    EXAMPLE("Hello world 42", "Hello world four two"),
    EXAMPLE("Total $1,234.5", "Total one thousand two hundred and thirty four point five dollars"),
    EXAMPLE("Pay $0.05", "Pay zero point zero five dollars"),
    EXAMPLE("Pay $5 to 6", "Pay five dollars to six"),
    EXAMPLE("Pay ￥5", "Pay five元"),
    EXAMPLE("Pay $1-1234567890", "Pay one to one two three four five six seven eight nine zero dollars"),
    EXAMPLE("Call 110.", "Call one one zero point"),
};

TEST(VoiceText, WorkedExamplesAsUtf16GbkAndUtf8) {
  for (const WorkedExample& e : kWorkedExamples) {
    const std::u16string got = SpellOutNumbers(e.input);
    EXPECT_EQ(std::u16string(e.expected), got) << e.utf8Input << " gave " << Utf8(got);
    EXPECT_EQ(std::string(e.utf8Expected), PrepareVoiceText(e.gbkInput)) << "GBK input " << e.utf8Input;
    EXPECT_EQ(std::string(e.utf8Expected), PrepareVoiceText(e.utf8Input)) << "UTF-8 input " << e.utf8Input;
  }
}

TEST(VoiceText, WhitespaceAndLineBreaks) {
  ExpectReadings({
      {u"", u""},
      {u"Room\t12", u"Room one two"},
      {u"a  \t b", u"a b"},
      {u"5 6", u"五六"},
      // A line break alone is an ASCII character: what follows reads in English.
      {u"第一行\n3号", u"第一行\nthree号"},
      {u"第一行\r\n3号", u"第一行\r\nthree号"},
      // After a space the line break belongs to the whitespace, which changes nothing.
      {u"第一行 \n3号", u"第一行三号"},
      {u"共 \u30003个", u"共三个"},
      {u"共\u30003个", u"共\u3000三个"},  // an ideographic space alone is a Chinese character
  });
}

TEST(VoiceText, ReadingLanguageFollowsTheLastText) {
  ExpectReadings({
      {u"金额：100", u"金额：一００"},  // full-width colon
      {u"R2D2", u"R two D two"},
      {u"5abc", u"五abc"},
      {u"abc,5", u"abc,five"},
      {u"café 5", u"café five"},
      {u"３号", u"３号"},  // full-width digits are ordinary characters
      {u"\U0001F600" u"5", u"\U0001F600" u"五"},
  });
}

TEST(VoiceText, CurrencySigns) {
  ExpectReadings({
      {u"$ 5", u"五美元"},
      {u"$ -5", u"负五美元"},
      {u"\uFF045", u"五美元"},  // full-width dollar sign
      {u"￥ 5", u"五元"},
      // Not followed by a digit, a sign is plain ASCII text, full-width or not.
      {u"$- 5", u"$-five"},
      {u"Pay $-.5", u"Pay$minus point five"},
      {u"5$", u"五$"},
      {u"共$ \n5", u"共$five"},
      {u"共￥ \n5", u"共￥five"},
      // The currency stays for later numbers until text clears it.
      {u"A$5 6", u"A five dollars six dollars"},
      {u"$5，6", u"五美元，六"},
      {u"Pay $5 and 6", u"Pay five dollars and six"},
  });
}

TEST(VoiceText, Ranges) {
  ExpectReadings({
      {u"5 - 3", u"五至三"},
      {u"5\uFF0D3", u"五至三"},  // full-width hyphen-minus
      {u"5- \n3", u"五至三"},
      {u"5 -$3", u"五至三"},
      {u"$5-$6", u"五至六美元"},
      {u"5--3", u"五至-三"},
      {u"5-", u"五-"},
      {u"5-a", u"五-a"},
      {u"1-2-3", u"一至二-三"},
      {u"Page 1-2", u"Page one to two"},
      {u"Pay ￥5-6", u"Pay five to six元"},
      {u"Pay $1-123456789",
       u"Pay one to one hundred and twenty three million four hundred and fifty six thousand seven hundred and "
       u"eighty nine dollars"},
      {u"$1-2", u"一至二美元"},
      {u"￥1-2.5", u"一至二元五角"},
      {u"￥100-200.5", u"一佰至二佰元五角"},
  });
}

TEST(VoiceText, NumberShapes) {
  ExpectReadings({
      {u"-.5", u"-点五"},
      {u"-.", u"-点"},
      {u"-", u"-"},
      {u"-,", u"-,"},
      {u"1,2,,3,", u"一二三,"},
      {u"10.", u"一０点"},
      {u"Pay $10.", u"Pay ten point dollars"},
      // More than one full stop: every further full stop reads as a point again; the
      // money reading takes the decimal prefix (1.2).
      {u"1.2.3", u"一点二点三"},
      {u"Room 1.2.3", u"Room one point two point three"},
      {u"Pay $1.2.3", u"Pay one point two point three dollars"},
      {u"$1.2.3", u"一点二点三美元"},
      {u"￥1.2.3", u"一元二角"},
  });
}

TEST(VoiceText, EnglishAmounts) {
  ExpectReadings({
      {u"Pay $0", u"Pay zero dollars"},
      {u"Pay $-5", u"Pay minus five dollars"},
      {u"Pay $-0.5", u"Pay minus zero point five dollars"},
      {u"Pay $15", u"Pay fifteen dollars"},
      {u"Pay $20", u"Pay twenty dollars"},
      {u"Pay $105", u"Pay one hundred and five dollars"},
      {u"Pay $110", u"Pay one hundred and ten dollars"},
      {u"Pay $1012", u"Pay one thousand twelve dollars"},
      {u"Pay $1,000,010", u"Pay one million ten dollars"},
      {u"Pay $123456789012",
       u"Pay one hundred and twenty three billion four hundred and fifty six million seven hundred and eighty "
       u"nine thousand twelve dollars"},
      {u"Pay $-12345678901",
       u"Pay minus twelve billion three hundred and forty five million six hundred and seventy eight thousand "
       u"nine hundred and one dollars"},
      // 13 integer characters and more: digit by digit.
      {u"Pay $1234567890123", u"Pay one two three four five six seven eight nine zero one two three dollars"},
  });
}

TEST(VoiceText, ChineseDollarAmounts) {
  ExpectReadings({
      {u"$0", u"０美元"},
      {u"$-0", u"负０美元"},
      {u"$10", u"一十美元"},
      {u"$1005", u"一千０五美元"},
      {u"$10000000000000", u"一十万亿美元"},
      {u"$100012340000", u"一千亿一千二百三十四万美元"},
      {u"$100001230000", u"一千亿０一百二十三万美元"},
      {u"$123456789012345", u"一百二十三万四千五百六十七亿八千九百０一万二千三百四十五美元"},
      // 16 integer characters and more ("-" counted): digit by digit.
      {u"$1234567890123456", u"一二三四五六七八九０一二三四五六美元"},
      {u"$-123456789012345", u"-一二三四五六七八九０一二三四五美元"},
  });
}

TEST(VoiceText, ChineseMoneyAmounts) {
  ExpectReadings({
      {u"￥0", u"０元"},
      {u"￥-5", u"负五元"},
      {u"￥5.5", u"五元五角"},
      {u"￥5.50", u"五元五角"},
      {u"￥5.05", u"五元０五分"},
      // Rounded to cents.
      {u"￥0.126", u"０元一角三分"},
      {u"￥0.996", u"一元"},
      {u"￥9.999", u"一拾元"},
      {u"￥100000000", u"一亿元"},
      {u"￥1000000005", u"一拾亿０五元"},
      {u"￥1000050000", u"一拾亿０五万元"},
      // 14 and 15 integer digits keep their exact cents.
      {u"￥99999999999999.994", u"九拾九万九仟九佰九拾九亿九仟九佰九拾九万九仟九佰九拾九元九角九分"},
      {u"￥123456789012345.67", u"一佰二拾三万四仟五佰六拾七亿八仟九佰０一万二仟三佰四拾五元六角七分"},
      {u"￥999999999999999.995", u"一仟万亿元"},
      {u"￥1234567890123456", u"一二三四五六七八九０一二三四五六元"},
  });
}

TEST(VoiceText, TextEndsAtTheFirstNul) {
  EXPECT_EQ(u"五", SpellOutNumbers(std::u16string(u"5\0 6", 4)));
}

TEST(VoiceText, LongTextHasNoLimit) {
  std::u16string input, expected;
  for (int i = 0; i < 20000; ++i) {
    input += u"第3页，共1,234.50元；Room 12; $5-6 ";
    expected += u"第三页，共一二三四点五０元；Room one two;five to six dollars";
  }
  EXPECT_EQ(expected, SpellOutNumbers(input));
}

TEST(VoiceText, SoundFileNamesPassUnchanged) {
  const struct {
    const char* input;
    const char* expected;
  } kCases[] = {
      {"welcome.wav", "welcome.wav"},
      {"a.wav", "a.wav"},
      {"语音3.wav", "语音3.wav"},  // GBK bytes come back as they are
      {"welcome.WAV", u8"welcome.WAV"},
      {"3.WAV", u8"三点WAV"},
      {".wav", u8".wav"},
      {"3.wav ", u8"三点wav"},
      {"", ""},
  };
  for (const auto& c : kCases) EXPECT_EQ(std::string(c.expected), PrepareVoiceText(c.input)) << c.input;
  EXPECT_EQ("", PrepareVoiceText(nullptr));
}

TEST(VoiceText, Utf8Test) {
  const struct {
    std::string bytes;
    bool utf8;
  } kCases[] = {
      {"", true},
      {"abc 123", true},
      {u8"请到3号窗口", true},
      {"\xC3\xA9", true},
      {"\xC0\x80", true},      // overlong forms pass
      {"a\xC3", true},         // cut off by the end
      {"\xE8\xAF", true},      //
      {"\xE4\x41", true},      // the walk stops before looking at the 0x41
      {"\xC3\x41", false},     // continuation byte missing
      {"\xE4\x41\x80", false},  //
      {"\x80", false},         // continuation byte in lead position
      {"a\xBF", false},        //
      {u8"\U0001F600", false},  // four-byte sequences are not taken
      {"\xFF", false},         //
      {"请到3号窗口", false},   // GBK
      {"目站", true},          // GBK that looks like two-byte sequences (C4 BF D5 BE)
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(c.utf8, IsUtf8Text(c.bytes.data(), c.bytes.size())) << testing::PrintToString(c.bytes);
  }
  // Only `length` bytes count.
  EXPECT_TRUE(IsUtf8Text("a\x80", 1));
}

TEST(VoiceText, InputReadingFollowsTheUtf8Test) {
  // GBK that passes the test is read as UTF-8.
  EXPECT_EQ(u8"\u013F\u057E", PrepareVoiceText("目站"));
  // UTF-8 cut off inside a character passes; the broken character becomes U+FFFD.
  EXPECT_EQ(u8"第三\uFFFD", PrepareVoiceText(u8"第3" "\xE4"));
  // A four-byte UTF-8 sequence fails the test: the text is read as GBK.
  EXPECT_EQ(GbkToUtf8("\xF0\x9F\x98\x80") + u8"三", PrepareVoiceText(u8"\U0001F600" "3"));
}

// The message of the latest log line (after "]LEVEL: ", without "\r\n").
std::string LastLogMessage() {
  std::ifstream in(g_szLogFile, std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (all.size() < 2) return "";
  all.resize(all.size() - 2);
  const size_t start = all.rfind("\r\n[");
  const size_t close = all.find("]", start == std::string::npos ? 0 : start);
  return close == std::string::npos ? "" : all.substr(close + 1);
}

TEST(VoiceText, LogsWhichReadingItTook) {
  PrepareVoiceText(u8"请到3号窗口");
  EXPECT_EQ("INFO : 语音是UTF8", LastLogMessage());
  PrepareVoiceText("请到3号窗口");
  EXPECT_EQ("INFO : 语音不是UTF8，则直接GBK转UTF8", LastLogMessage());
  WriteLog('I', "before the sound file");
  PrepareVoiceText("welcome.wav");
  EXPECT_EQ("INFO : before the sound file", LastLogMessage());
}

TEST(CodePage, Utf8ToUtf16ReplacesEachBrokenPart) {
  const struct {
    std::string utf8;
    std::u16string utf16;
  } kCases[] = {
      {"", u""},
      {u8"a请\U0001F600", u"a请\U0001F600"},
      {"\x80", u"\uFFFD"},
      {"\xC0\x80", u"\uFFFD\uFFFD"},               // overlong
      {"\xE0\x80\x80", u"\uFFFD\uFFFD\uFFFD"},     // overlong
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},     // encoded surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
      {"\xE4\xB8", u"\uFFFD"},                     // cut off by the end
      {"\xE4\xB8" "A", u"\uFFFDA"},                // the breaking byte starts afresh
      {"\xF5\xFF", u"\uFFFD\uFFFD"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(c.utf16, platform::Utf8ToUtf16(c.utf8)) << testing::PrintToString(c.utf8);
  }
}

TEST(CodePage, Utf16ToUtf8) {
  EXPECT_EQ(u8"a请\U0001F600", platform::Utf16ToUtf8(u"a请\U0001F600"));
  EXPECT_EQ("\xEF\xBF\xBD" "A", platform::Utf16ToUtf8(std::u16string(u"\xD800" u"A")));
  EXPECT_EQ("A\xEF\xBF\xBD", platform::Utf16ToUtf8(std::u16string(u"A\xDC00")));
  const std::u16string all = [] {
    std::u16string s;
    for (char32_t c = 1; c < 0x10000; c += 7) {
      if (c < 0xD800 || c > 0xDFFF) s += static_cast<char16_t>(c);
    }
    return s + u"\U00010000\U0010FFFF";
  }();
  EXPECT_EQ(all, platform::Utf8ToUtf16(platform::Utf16ToUtf8(all)));
}

TEST(CodePage, GbkToUtf16) {
  EXPECT_EQ(u"请到3号窗口，￥１", platform::GbkToUtf16("请到3号窗口，￥１", strlen("请到3号窗口，￥１")));
  EXPECT_EQ(u"\u20AC", platform::GbkToUtf16("\x80", 1));  // code page 936 puts the euro sign at 0x80
  EXPECT_EQ(u"", platform::GbkToUtf16("", 0));
  EXPECT_EQ(u8"请到3号窗口", GbkToUtf8("请到3号窗口"));
  EXPECT_EQ("", GbkToUtf8(nullptr));
  // Bytes that start no character are replaced; the text around them survives.
  for (const char* raw : {"A\xFF" "B", "A\x81 B", "AB\x81"}) {
    const std::string broken(raw);
    const std::u16string got = platform::GbkToUtf16(broken.data(), broken.size());
    ASSERT_GE(got.size(), 2u) << testing::PrintToString(broken);
    EXPECT_EQ(u'A', got.front());
    EXPECT_NE(std::u16string::npos, got.find(u'B'));
  }
}

}  // namespace
