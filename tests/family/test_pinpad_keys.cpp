// Password pad and screen keyboard: key loads with their layouts, check values (DES
// known answer), key-pair generation, the two password entries, their argument checks
// and outcome rows, over both links.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "test_pinpad_support.h"

using namespace pinpadtest;

namespace {

class PinpadKeysTest : public OutcomeTest {};
RV270_INSTANTIATE_LINKS(PinpadKeysTest);

// A single-length DES key as 16 hexadecimal characters and its check value: DES of the
// all-zero block under 0123456789ABCDEF is D5D44FF720683D0D (the usual key check value
// example of the payment industry, e.g. ANSI X9.24 tutorials: KCV "D5D44F").
constexpr char kDesKey[] = "0123456789ABCDEF";
constexpr char kDesCheck[] = "D5D44FF7";

TEST_P(PinpadKeysTest, KeyLoadsSendTheirLayoutsAndMaskTheKey) {
  ASSERT_EQ(0, RV270Api_SetPwMkey(Port(), 0, 1, kDesKey, 16));
  EXPECT_EQ(B({0x50, 0x31, 0x01, 0x00, 0x10}) + Str(kDesKey), LastRequest());
  EXPECT_TRUE(LogHas("RV270Api_SetPwMkey pwMkey:[****************],iLen:[16]"));
  EXPECT_TRUE(LogHas("RV270Api_Communication return ok!"));

  // Only iLen characters go; a work key of 300 characters carries the low byte 0x2C.
  ASSERT_EQ(0, RV270Api_SetScreenMkey(Port(), 0, 258, "00112233445566778899", 16));
  EXPECT_EQ(B({0x50, 0x41, 0x02, 0x00, 0x10}) + Str("0011223344556677"), LastRequest());
  const std::string longKey(300, 'A');
  ASSERT_EQ(0, RV270Api_SetPwWkey(Port(), 0, 1, 2, longKey.c_str(), 300));
  EXPECT_EQ(B({0x50, 0x32, 0x01, 0x02, 0x2C}) + Str(longKey), LastRequest());
  ASSERT_EQ(0, RV270Api_SetScreenWkey(Port(), 0, 3, 4, kDesKey, 16));
  EXPECT_EQ(B({0x50, 0x42, 0x03, 0x04, 0x10}) + Str(kDesKey), LastRequest());
  EXPECT_TRUE(LogHas("RV270Api_SetScreenWkey pWkey:[****************],iLen:[16]"));
  EXPECT_FALSE(LogHas(kDesKey));
  EXPECT_FALSE(LogHas("0011223344556677"));
}

TEST_P(PinpadKeysTest, CheckValueOfTheLoadedKey) {
  ASSERT_EQ(0, RV270Api_SetPwMkey(Port(), 0, 1, kDesKey, 16));
  char check[16];
  memset(check, 'z', sizeof(check));
  EXPECT_EQ(8, RV270Api_GetPwCheckValue(Port(), 0, 0, sizeof(check), check));
  EXPECT_STREQ(kDesCheck, check);
  EXPECT_EQ(B({0x50, 0x33, 0x00}), LastRequest());
  EXPECT_TRUE(LogHas(std::string("RV270Api_Communication return ok CheckValue:[") + kDesCheck + "],ValueLen:[8]"));

  // The screen variant writes no terminator; the cleared buffer ends the text.
  ASSERT_EQ(0, RV270Api_SetScreenMkey(Port(), 0, 1, kDesKey, 16));
  memset(check, 'z', sizeof(check));
  EXPECT_EQ(8, RV270Api_GetScreenCheckValue(Port(), 0, 2, 8, check));
  EXPECT_EQ(std::string(kDesCheck) + "zzzzzzzz", std::string(check, 16));
  EXPECT_TRUE(LogHas(std::string("CheckValue:[") + kDesCheck + "],ValueLen:[8]"));
}

TEST_P(PinpadKeysTest, CheckValueAnswers) {
  char check[16];
  auto call = [&](int port) { return RV270Api_GetPwCheckValue(port, 0, 1, sizeof(check), check); };
  ExpectOutcomes("RV270Api_GetPwCheckValue", call,
                 {
                     // C = 4 and 7 bytes in all: 8 bytes, the last ones from the cleared buffer.
                     {Answer::Of(B({0x00, 0x00, 0x04, 'A', 'B', 'C', 'D'})), 8, 0, ""},
                     {Answer::Of(B({0x00, 0x00})), -5, 103, "myCheckValueLen:[2] < 3"},
                     {Answer::Of(B({0x00, 0x00, 0x08, 'A'})), -5, 103, "myCheckValueLen:[4] < 11"},
                     {Answer::Status(0x00, 0x09), -6, 125, "RV270Api_Communication myCheckValue[1]==0x09!"},
                     {Answer::Status(0x00, 0x01), -5, 103, "RV270Api_Communication return error!"},
                     {Broken(), -4, 102, "RV270Api_Communication return "},
                 });
  sim.ScriptNext(Answer::Of(B({0x00, 0x00, 0x04, 'A', 'B', 'C', 'D'})));
  ASSERT_EQ(8, call(Port()));
  EXPECT_EQ(std::string("ABCD\0\0\0\0\0", 9), std::string(check, 9));
  ExpectOutcomes("RV270Api_GetScreenCheckValue",
                 [&](int port) { return RV270Api_GetScreenCheckValue(port, 0, 1, sizeof(check), check); },
                 {
                     {Answer::Of(B({0x00, 0x00})), -5, 103, "ERROR: myCheckValueLen:[2] < 3"},
                     {Answer::Status(0x00, 0x01), -5, 103, "RV270Api_Communication return error"},
                 });
}

TEST_P(PinpadKeysTest, KeyCommandOutcomes) {
  struct Member {
    const char* name;
    std::function<int(int)> call;
    int link, hardware, other;
    const char* hwLine;
  };
  char key[128];
  const Member kMembers[] = {
      {"RV270Api_GenerateKeyFromPw", [&](int p) { return RV270Api_GenerateKeyFromPw(p, 0, sizeof(key), key); }, -3,
       -5, -4, "RV270Api_Communication myGenerateKey[1]==0x09!"},
      {"RV270Api_GenerateKeyFromScreen",
       [&](int p) { return RV270Api_GenerateKeyFromScreen(p, 0, sizeof(key), key); }, -4, -6, -5,
       "RV270Api_Communication myPassword[1]==0x09!"},
      {"RV270Api_SetPwMkey", [](int p) { return RV270Api_SetPwMkey(p, 0, 1, kDesKey, 16); }, -4, -5, -6,
       "RV270Api_Communication myloadKeyResult[1]==0x09!"},
      {"RV270Api_SetScreenMkey", [](int p) { return RV270Api_SetScreenMkey(p, 0, 1, kDesKey, 16); }, -3, -4, -5,
       "RV270Api_Communication myloadKeyResult[1]==0x09!"},
      {"RV270Api_SetPwWkey", [](int p) { return RV270Api_SetPwWkey(p, 0, 1, 1, kDesKey, 16); }, -4, -5, -6,
       "RV270Api_Communication myloadKeyResult[1]==0x09!"},
      {"RV270Api_SetScreenWkey", [](int p) { return RV270Api_SetScreenWkey(p, 0, 1, 1, kDesKey, 16); }, -4, -5, -6,
       "RV270Api_Communication myloadKeyResult[1]==0x09!"},
  };
  for (const Member& m : kMembers) {
    ExpectOutcomes(m.name, m.call,
                   {
                       {Answer::Status(0x00, 0x09), m.hardware, 125, m.hwLine},
                       {Answer::Status(0x01, 0x00), m.other, 103, "RV270Api_Communication return error!"},
                       {Broken(), m.link, 102, "RV270Api_Communication return "},
                   });
  }
}

TEST_P(PinpadKeysTest, GeneratedPublicKeyLengthComesFromTheDevice) {
  char key[128];
  memset(key, 'z', sizeof(key));
  EXPECT_EQ(64, RV270Api_GenerateKeyFromPw(Port(), 0, 100, key));
  EXPECT_EQ(B({0x50, 0x30}), LastRequest());
  EXPECT_EQ(std::string(36, '\0'), std::string(key + 64, 36));  // the cleared rest ends the key
  EXPECT_EQ('z', key[100]);
  EXPECT_TRUE(LogHas("ERROR: RV270Api_Communication return ok keyLen:[64],pubkey:[" + std::string(key, 64) + "]!"));

  // A key longer than the caller's buffer: nothing copied, 122.
  memset(key, 'z', sizeof(key));
  EXPECT_EQ(-5, RV270Api_GenerateKeyFromScreen(Port(), 0, 32, key));
  EXPECT_EQ(122, RV270Api_GetErrorCode());
  EXPECT_EQ(std::string(32, '\0'), std::string(key, 32));
  // An answer shorter than the length it announces: 103.
  sim.ScriptNext(Answer::Of(B({0x00, 0x00, 0x00, 0x10, 'a', 'b'})));
  EXPECT_EQ(-4, RV270Api_GenerateKeyFromPw(Port(), 0, 100, key));
  EXPECT_EQ(103, RV270Api_GetErrorCode());
}

TEST_P(PinpadKeysTest, ArgumentsAreCheckedBeforeAnythingIsSent) {
  char out[64];
  struct Case {
    std::function<int()> call;
    int ret;
    std::string line;
  };
  const Case kCases[] = {
      {[] { return RV270Api_SetPwMkey(0, 0, 1, kDesKey, 20); }, -2, "ERROR: RV270Api_SetPwMkey iLen>strlen(pwMkey)!"},
      {[] { return RV270Api_SetPwWkey(0, 0, 1, 1, "", 1); }, -2, "ERROR: RV270Api_SetPwWkey pwWkey is empty!"},
      {[] { return RV270Api_SetScreenMkey(0, 0, 1, nullptr, 1); }, -2, "ERROR: RV270Api_SetScreenMkey pMkey is empty!"},
      {[] { return RV270Api_SetScreenWkey(0, 0, 1, 1, kDesKey, 0); }, -2, "ERROR: RV270Api_SetScreenWkey pWkey is empty!"},
      {[&] { return RV270Api_GenerateKeyFromPw(0, 0, 0, out); }, -2, "ERROR: RV270Api_GenerateKeyFromPw iLen<=0!"},
      {[] { return RV270Api_GenerateKeyFromScreen(0, 0, 8, nullptr); }, -2,
       "ERROR: RV270Api_GenerateKeyFromScreen NULL==pubkey!"},
      {[&] { return RV270Api_GetPwCheckValue(0, 0, -1, 16, out); }, -2, "ERROR: RV270Api_Communication iType error!"},
      {[&] { return RV270Api_GetPwCheckValue(0, 0, 0, 8, out); }, -2, "ERROR: RV270Api_GetPwCheckValue iLen:[8] < 9!"},
      {[&] { return RV270Api_GetScreenCheckValue(0, 0, 0, 0, out); }, -2,
       "ERROR: RV270Api_GetScreenCheckValue iLen<=0!"},
      {[&] { return RV270Api_InputPassword(0, 0, 0, nullptr, nullptr, nullptr, 6, 64, out); }, -4,
       "ERROR: RV270Api_InputPassword timeout<=0"},
      {[&] { return RV270Api_InputPassword(0, 0, 5, nullptr, nullptr, nullptr, 1, 64, out); }, -4,
       "ERROR: RV270Api_InputPassword ipwLen<=1"},
      {[&] { return RV270Api_InputPassword(0, 0, 5, nullptr, nullptr, nullptr, 6, 16, out); }, -4,
       "ERROR: RV270Api_InputPassword iMemLen:[16] < 32!"},
      {[] { return RV270Api_InputPassword(0, 0, 5, nullptr, nullptr, nullptr, 6, 64, nullptr); }, -4,
       "ERROR: RV270Api_InputPassword NULL==password!"},
      {[&] { return RV270Api_SetPassword(0, 0, -1, nullptr, nullptr, nullptr, 6, 64, out); }, -4,
       "INFO : RV270Api_SetPassword timeout <= 0"},
      {[&] { return RV270Api_SetPassword(0, 0, 5, nullptr, nullptr, nullptr, 6, 0, out); }, -4,
       "INFO : RV270Api_SetPassword iMemLen<=0"},
      {[] { return RV270Api_SetPassword(0, 0, 5, nullptr, nullptr, nullptr, 6, 8, nullptr); }, -4,
       "ERROR: RV270Api_SetPassword NULL==password!"},
      {[&] { return RV270Api_SetPassword(0, 0, 5, std::string(256, 's').c_str(), nullptr, nullptr, 6, 8, out); }, -4,
       "ERROR: RV270Api_SetPassword status area too long!"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(c.ret, c.call());
    EXPECT_EQ(100, RV270Api_GetErrorCode());
    EXPECT_TRUE(LogHas(c.line));
  }
  EXPECT_TRUE(sim.Requests().empty());
}

TEST_P(PinpadKeysTest, InputPasswordRequestAndAnswers) {
  char password[64];
  memset(password, 'z', sizeof(password));
  EXPECT_EQ(16, RV270Api_InputPassword(Port(), 0, 30, nullptr, "abc", nullptr, 6, sizeof(password), password));
  EXPECT_EQ(B({0x50, 0x34, 0x00, 0x1E, 0x06, 0x00, 0x00, 0x03, 'a', 'b', 'c', 0x00}), LastRequest());
  const std::string block(password, 32);
  EXPECT_EQ(std::string(32, '\0'), std::string(password + 32, 32));
  EXPECT_TRUE(LogHas("INFO : RV270Api_Communication return ok password:" + std::string(32, '*') + "!"));
  EXPECT_FALSE(LogHas(block));
  EXPECT_TRUE(LogHas("RV270Api_InputPassword timeout:[30],pStatusArea:[],pTipInfo[abc],pVoice:[],ipwLen:[6],iMemLen:[64]"));

  auto call = [&](int port) {
    memset(password, 'z', sizeof(password));
    return RV270Api_InputPassword(port, 0, 30, "status", "tip", nullptr, 6, sizeof(password), password);
  };
  ExpectOutcomes("RV270Api_InputPassword", call,
                 {
                     {Answer::Done(std::string(20, 'p')), -6, 103, "RV270Api_Communication myPasswordLen<34!"},
                     {Answer::Status(0x00, 0x01), 0, 0, "RV270Api_Communication myPassword[1]==0x01!"},
                     {Answer::Status(0x00, 0x02), -1, 0, "RV270Api_Communication myPassword[1]==0x02!"},
                     {Answer::Status(0x00, 0x03), -2, 0, "RV270Api_Communication myPassword[1]==0x03!"},
                     {Answer::Status(0x00, 0x09), -7, 125, "RV270Api_Communication myPassword[1]==0x09!"},
                     {Answer::Status(0xAA, 0x07), -3, 0, "RV270Api_Communication myPassword[0]==0xAA!"},
                     {Answer::Status(0x01, 0x00), -6, 103, "RV270Api_Communication return error!"},
                     {Broken(), -5, 102, "RV270Api_Communication return "},
                 });
  EXPECT_EQ(std::string(64, '\0'), std::string(password, 64));
}

TEST_P(PinpadKeysTest, SetPasswordAnswers) {
  char password[16];
  auto call = [&](int port) {
    memset(password, 'z', sizeof(password));
    return RV270Api_SetPassword(port, 0, 20, nullptr, nullptr, nullptr, 6, 12, password);
  };
  ExpectOutcomes("RV270Api_SetPassword", call,
                 {
                     {Answer::Of(B({0x00, 0x00, 0x05}) + Str("12345")), -6, 103,
                      "RV270Api_Communication reurn myPassword wholeLen < 6"},
                     {Answer::Of(B({0x00, 0x00, 0x08}) + Str("87654321")), 8, 0,
                      "RV270Api_Communication reurn ok wholeLen:8,password:********"},
                     {Answer::Of(B({0x00, 0x00, 0x0D}) + Str("1234567890123")), -6, 122, ""},
                     {Answer::Of(B({0x00, 0x00, 0x09}) + Str("12345")), -6, 103, ""},
                     {Answer::Status(0x00, 0x01), -6, 103, "RV270Api_Communication return error!"},
                     {Answer::Status(0xAA, 0x00), -3, 0, "RV270Api_Communication myPassword[0]==0xAA!"},
                 });
  EXPECT_EQ(std::string(12, '\0') + "zzzz", std::string(password, 16));
  sim.ScriptNext(Answer::Of(B({0x00, 0x00, 0x08}) + Str("87654321")));
  EXPECT_EQ(8, call(Port()));
  EXPECT_EQ(std::string("87654321\0\0\0\0zzzz", 16), std::string(password, 16));
  EXPECT_FALSE(LogHas("87654321"));
}

}  // namespace
