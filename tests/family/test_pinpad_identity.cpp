// Keypad identity: application number, keypad serial number, initial state and the
// configuration text, with their layouts, copies, refusals and outcome rows.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "test_pinpad_support.h"

using namespace pinpadtest;

namespace {

class PinpadIdentityTest : public OutcomeTest {};
RV270_INSTANTIATE_LINKS(PinpadIdentityTest);

TEST_P(PinpadIdentityTest, TextsAreSetReadAndCleared) {
  char out[300];
  ASSERT_EQ(0, RV270Api_SetAppNum(Port(), 0, "APP00042"));
  EXPECT_EQ(B({0x50, 0x50, 0x08}) + Str("APP00042"), LastRequest());
  EXPECT_TRUE(LogHas("RV270Api_SetAppNum pAppNum:[APP00042]"));
  memset(out, 'z', sizeof(out));
  ASSERT_EQ(0, RV270Api_GetAppNum(Port(), 0, out));
  EXPECT_EQ(B({0x50, 0x51}), LastRequest());
  EXPECT_EQ("APP00042z", std::string(out, 9));  // no terminator
  EXPECT_TRUE(LogHas("RV270Api_Communication return ok,pAppNum:[APP00042]!"));

  ASSERT_EQ(0, RV270Api_SetKeyBoardSN(Port(), 0, "SN-1234567890ABC"));
  EXPECT_EQ(B({0x50, 0x65, 0x10}) + Str("SN-1234567890ABC"), LastRequest());
  memset(out, 'z', sizeof(out));
  ASSERT_EQ(0, RV270Api_GetKeyBoardSN(Port(), 0, out));
  EXPECT_EQ("SN-1234567890ABCz", std::string(out, 17));
  EXPECT_TRUE(LogHas("RV270Api_Communication return ok,pKeyBoardSn:[SN-1234567890ABC]!"));

  const std::string info(300, 'i');
  ASSERT_EQ(0, RV270Api_SetKeyboardInfo(Port(), 0, info.c_str()));
  EXPECT_EQ(B({0x50, 0x6A, 0x01, 0x2C}) + Str(info), LastRequest());
  ASSERT_EQ(0, RV270Api_SetKeyboardInfo(Port(), 0, ""));
  EXPECT_EQ(B({0x50, 0x6A, 0x00, 0x00}), LastRequest());
  EXPECT_TRUE(LogHas("RV270Api_SetKeyboardInfo pKeyBoardInfo:[]"));

  ASSERT_EQ(0, RV270Api_InitKeyBoard(Port(), 0));
  EXPECT_EQ(B({0x50, 0x53}), LastRequest());
  EXPECT_EQ("", sim.State().values["keyboard.appNum"]);
  EXPECT_EQ("", sim.State().values["keyboard.sn"]);
}

TEST_P(PinpadIdentityTest, CopiesFollowTheAnnouncedLength) {
  char out[300];
  memset(out, 'z', sizeof(out));
  sim.ScriptNext(Answer::Of(B({0x00, 0x00, 0x03}) + Str("ABCDEF")));
  ASSERT_EQ(0, RV270Api_GetAppNum(Port(), 0, out));
  EXPECT_EQ("ABCz", std::string(out, 4));
  EXPECT_TRUE(LogHas("RV270Api_Communication return ok,pAppNum:[ABC]!"));
  ExpectOutcomes("RV270Api_GetAppNum", [&](int p) { return RV270Api_GetAppNum(p, 0, out); },
                 {
                     {Answer::Of(B({0x00, 0x00, 0x09}) + Str("ABC")), -4, 103, "RV270Api_GetAppNum answer shorter"},
                     {Answer::Status(0x00, 0x09), -4, 103, "RV270Api_Communication return error!"},
                     {Broken(), -3, 102, "RV270Api_Communication return -"},
                 });
  memset(out, 'z', sizeof(out));
  sim.ScriptNext(Answer::Done(std::string(16, 's')));
  ASSERT_EQ(0, RV270Api_GetKeyBoardSN(Port(), 0, out));
  EXPECT_EQ(std::string(16, 's') + "z", std::string(out, 17));
}

TEST_P(PinpadIdentityTest, SettersRefuseWhatTheyCannotSend) {
  const std::string t256(256, 'a'), t509(509, 'a');
  ExpectRefused({
      {[] { return RV270Api_SetAppNum(0, 0, ""); }, "RV270Api_SetAppNum pAppNum is empty!"},
      {[] { return RV270Api_SetKeyBoardSN(0, 0, nullptr); }, "RV270Api_SetKeyBoardSN pKeyBoardSn is empty!"},
      {[] { return RV270Api_SetKeyboardInfo(0, 0, nullptr); }, "RV270Api_SetKeyboardInfo pKeyBoardInfo is null!"},
      {[&] { return RV270Api_SetAppNum(0, 0, t256.c_str()); }, "RV270Api_SetAppNum pAppNum too long!"},
      {[&] { return RV270Api_SetKeyboardInfo(0, 0, t509.c_str()); }, "RV270Api_SetKeyboardInfo pKeyBoardInfo too long!"},
  }, -2);
  EXPECT_TRUE(sim.Requests().empty());
  EXPECT_TRUE(LogHas("****************RV270Api_SetAppNum end****************"));
  ExpectOutcomes("RV270Api_SetKeyBoardSN", [](int p) { return RV270Api_SetKeyBoardSN(p, 0, "SN"); },
                 {
                     {Answer::Status(0x00, 0x09), -4, 103, "RV270Api_Communication return error!"},
                     {Broken(), -3, 102, "RV270Api_Communication return -"},
                 });
}

}  // namespace
