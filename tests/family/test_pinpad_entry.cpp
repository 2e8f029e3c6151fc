// PIN and keypad entry: PIN blocks from the simulated customer (ISO 9564-1 format 0
// known answer), the request layouts, answer copies and outcome rows of every entry,
// plain key input in its four variants, and RV270Api_Break from a second thread.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "test_pinpad_support.h"

using namespace pinpadtest;

namespace {

constexpr char kTestKey[] = "0123456789ABCDEFFEDCBA9876543210";

class PinpadEntryTest : public OutcomeTest {
 protected:
  void LoadMaster(const char* index) {
    char out[64] = {0};
    ASSERT_EQ(0, RV270Api_InputTMK(Port(), 0, index, kTestKey, "", out, 0));
  }
};
RV270_INSTANTIATE_LINKS(PinpadEntryTest);

// ISO 9564-1 format 0: PIN 1234 with the card number 43219876543210987 (account field
// 987654321098, its rightmost 12 digits without the check digit) gives the clear PIN
// block 0412AC89ABCDEF67 (the standard's own worked example, also in its ANSI X9.8 form).
TEST_P(PinpadEntryTest, PinBlockInFormat0) {
  LoadMaster("1");
  char account[32] = {0};
  ASSERT_EQ(0, RV270Api_GetAnsi98Account(Port(), 0, "43219876543210987", account));
  EXPECT_STREQ("987654321098", account);
  EXPECT_EQ(B({0x50, 0x5B, 17}) + Str("43219876543210987"), LastRequest());
  EXPECT_TRUE(LogHas("RV270Api_GetAnsi98Account AccNo=*************0987"));

  sim.EditState([](rv270sim::DeviceState& s) { s.values["pinpad.pin"] = "1234"; });
  char length[8], block[40], tail[40];
  memset(block, 0, sizeof(block));
  ASSERT_EQ(0, RV270Api_ReadCustomerPin(Port(), 0, "1", account, "1", 60, 0, 0, 0, length, block, tail));
  EXPECT_EQ(B({0x50, 0x5A, '0', '0', '1'}) + Str("987654321098") + B({0x01, 0x00, 0x3C, 0x00, 0x00}), LastRequest());
  EXPECT_EQ("0412AC89ABCDEF67", sim.State().values["pinpad.lastClearBlock"]);
  EXPECT_STREQ("4", length);
  EXPECT_EQ(16u, strlen(block));
  EXPECT_TRUE(LogHas("RV270Api_ReadCustomerPin TMKIndex=1,accNo=********1098,modex=1,timeout=60"));
  EXPECT_FALSE(LogHas("987654321098"));
  EXPECT_FALSE(LogHas(block));

  // Without a card number the account field is absent: 10 bytes.
  ASSERT_EQ(0, RV270Api_ReadCustomerPin(Port(), 0, "1", "", "1", 60, 0, 0, 0, length, block, tail));
  EXPECT_EQ(B({0x50, 0x5A, '0', '0', '1', 0x01, 0x00, 0x3C, 0x00, 0x00}), LastRequest());
  EXPECT_EQ("041234FFFFFFFFFF", sim.State().values["pinpad.lastClearBlock"]);
}

TEST_P(PinpadEntryTest, ReadCustomerPinAnswers) {
  char length[8], block[40], tail[64];
  auto call = [&](int port) {
    memset(block, 'z', sizeof(block));
    memset(tail, 'z', sizeof(tail));
    return RV270Api_ReadCustomerPin(port, 0, "1", "", "1", 5, 0, 0, 0, length, block, tail);
  };
  const Answer six = Answer::Of(B({0x00, 0x00, 0x06}) + Str("0123456789ABCDEF") + Str("TAIL"));
  ExpectOutcomes("RV270Api_ReadCustomerPin", call,
                 {
                     {six, 0, 0, "RV270Api_Communication return ok!"},
                     {Answer::Of(B({0x00, 0x00, 0x06}) + Str("0123456789")), -4, 103, ""},
                     {Answer::Status(0xAA, 0x01), -11, 128, "RV270Api_Communication myPosterResult[0]==0xAA!"},
                     {Answer::Status(0x00, 0x09), -4, 103, "RV270Api_Communication return error!"},
                     {Broken(), -3, 102, "RV270Api_Communication return -"},
                 });
  sim.ScriptNext(six);
  ASSERT_EQ(0, call(Port()));
  EXPECT_STREQ("6", length);
  EXPECT_EQ("0123456789ABCDEFz", std::string(block, 17));
  EXPECT_EQ("TAILz", std::string(tail, 5));
  // Block type 1: 32 bytes of block, then the tail.
  memset(tail, 'z', sizeof(tail));
  sim.ScriptNext(Answer::Of(B({0x00, 0x00, 0x04}) + Str(std::string(32, 'B')) + Str("T")));
  ASSERT_EQ(0, RV270Api_ReadCustomerPin(Port(), 0, "1", "", "1", 5, 1, 0, 0, length, block, tail));
  EXPECT_EQ(std::string(32, 'B') + "z", std::string(block, 33));
  EXPECT_EQ("Tz", std::string(tail, 2));
}

TEST_P(PinpadEntryTest, NationalCipherAndCustomerVariants) {
  LoadMaster("002");
  char out[300];
  memset(out, 0, sizeof(out));
  ASSERT_EQ(0, RV270Api_GuomiPin(Port(), 0, "1", "002", "3", "987654321098", "1", 30, "4", "12", out));
  const Bytes sent = LastRequest();
  ASSERT_EQ(24u, sent.size());
  EXPECT_EQ(B({0x50, 0x63, 0x01, '0', '0', '2', 0x03}) + Str("987654321098") + B({0x01, 0x00, 0x1E, 0x04, 0x0C}), sent);
  EXPECT_EQ(32u, strlen(out));  // an SM4 block as text
  EXPECT_TRUE(LogHas("RV270Api_GuomiPin flag=1,KeyIndex=002,keytype=3,accNo=********1098,modex=1,timeout=30,"
                     "MinPinlen=4,MaxPinlen=12"));
  // No case of its own for the device's time-out.
  ExpectOutcomes("RV270Api_GuomiPin",
                 [&](int p) { return RV270Api_GuomiPin(p, 0, "1", "002", "3", "", "1", 30, "4", "12", out); },
                 {{Answer::Status(0xAA, 0x00), -4, 103, "RV270Api_Communication return error!"}});

  LoadMaster("001");
  char block[20];
  memset(block, 'z', sizeof(block));
  ASSERT_EQ(0, Nb_ReadCustomerPin_new(Port(), 0, 30, 1, 2, block, 3, "tail"));
  EXPECT_EQ(B({0x10, 0x19, 0x00, 0x1E, 0x01, 0x02, 0x00, 0x00, 0x03}) + Str("tail"), LastRequest());
  EXPECT_EQ('z', block[16]);
  EXPECT_TRUE(LogHas("****************Nb_ReadCustomerPin start****************"));
  ExpectOutcomes("Nb_ReadCustomerPin_new", [&](int p) { return Nb_ReadCustomerPin_new(p, 0, 30, 1, 2, block, 3, ""); },
                 {
                     {Answer::Status(0xAA, 0x00), -11, 128, "RV270Api_Communication myPosterResult[0]==0xAA!"},
                     {Answer::Of(B({0x00, 0x00}) + Str("short")), -4, 103, ""},
                     {Broken(), -3, 102, "RV270Api_Communication return -"},
                 });
  EXPECT_EQ(-2, Nb_ReadCustomerPin_new(Port(), 0, 30, 1, 2, block, 3, std::string(504, 't').c_str()));
  EXPECT_TRUE(LogHas("Nb_ReadCustomerPin pTailText too long!"));
}

TEST_P(PinpadEntryTest, KeyboardLengthRandomAndNumbers) {
  char out[600];
  memset(out, 0, sizeof(out));
  ASSERT_EQ(0, RV270Api_NumKeyboard(Port(), 0, 1, 300, 2, 6, out));
  EXPECT_EQ(B({0x50, 0x67, 0x2C, 0x01, 0x02, 0x06}), LastRequest());
  EXPECT_STREQ("12345", out);
  EXPECT_TRUE(LogHas("RV270Api_NumKeyboard inputtype=1,timeout=300,,mode=2,length=6"));
  ExpectOutcomes("RV270Api_NumKeyboard", [&](int p) { return RV270Api_NumKeyboard(p, 0, 1, 5, 2, 6, out); },
                 {{Answer::Status(0xAA, 0x00), -11, 128, "RV270Api_Communication myPosterResult[0]==0xAA!"}});

  ASSERT_EQ(0, RV270Api_SetKeyBoardLen(Port(), 0, 4, 260));
  EXPECT_EQ(B({0x50, 0x66, 0x04, 0x04}), LastRequest());
  EXPECT_TRUE(LogHas("RV270Api_SetKeyBoardLen KeyBoardMinLen=4,KeyBoardMaxLen=260,"));
  ExpectOutcomes("RV270Api_SetKeyBoardLen", [](int p) { return RV270Api_SetKeyBoardLen(p, 0, 4, 6); },
                 {{Broken(), -3, 102, "RV270Api_SetKeyBoardLen return -"},
                  {Answer::Status(0xAA, 0x00), -4, 103, "RV270Api_Communication return error!"}});

  memset(out, 'z', sizeof(out));
  sim.ScriptNext(Answer::Of(B({0x00, 0x00, 0xAB, 0x01})));
  ASSERT_EQ(0, RV270Api_GetRand(Port(), 0, "2", out));
  EXPECT_STREQ("AB01", out);
  EXPECT_EQ(B({0x50, 0x64, 0x02}), LastRequest());
  ASSERT_EQ(0, RV270Api_GetRand(Port(), 0, "255", out));
  EXPECT_EQ(510u, strlen(out));
  sim.ScriptNext(Answer::Done(std::string(256, 'r')));
  EXPECT_EQ(-4, RV270Api_GetRand(Port(), 0, "8", out));
  EXPECT_EQ(122, RV270Api_GetErrorCode());
}

TEST_P(PinpadEntryTest, PlainKeyInputs) {
  const rv270sim::Link link = LinkUnderTest();
  char out[200];
  struct Case {
    std::function<int(int)> call;
    Bytes opening;
    rv270sim::RawSend keys;
    std::string text;
  };
  rv270sim::RawSend plain;
  plain.chunks = rv270sim::KeyChunks("12\b3\r");
  rv270sim::RawSend framed;
  framed.chunks = {IsUsb() ? rv270sim::FramedKeyChunk("56") : B({0x02, '5', '6', 0x03})};
  const Case kCases[] = {
      {[&](int p) { return RV270Api_InnputClearKey1(p, 0, 0, 5, out); }, B({0x1B, 0x5B, 0x2F, 0x31}), plain, "3"},
      {[&](int p) { return RV270Api_InnputClearKey1(p, 0, 5, 5, out); }, B({0x1B, 0x5B, 0x2F, 0x32}), plain, "3"},
      {[&](int p) { return RV270Api_InnputClearKey2(p, 0, 0, 5, out); }, B({0x82}), plain, "3"},
      {[&](int p) { return RV270Api_InnputClearKey2(p, 0, 1, 5, out); }, B({0x81}), plain, "3"},
      {[&](int p) { return RV270Api_InnputClearKey3(p, 0, 0, 5, out); }, B({0x1B, 0x49}), framed, "56"},
      {[&](int p) { return RV270Api_InnputClearKey4(p, 0, 1, 5, out); }, B({0x1B, 0x4C}), framed, "56"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(rv270test::Hex(c.opening));
    sim.ClearRecords();
    sim.ReplyToNextRawSequence(link, c.keys);
    memset(out, 0, sizeof(out));
    const size_t from = LogLines().size();
    ASSERT_EQ(0, c.call(Port()));
    EXPECT_EQ(0, RV270Api_GetErrorCode());
    EXPECT_EQ(c.text, std::string(out));
    // The run's end sequence (raw, or the packet 0x50 0x15 of the framed runs) is in.
    ASSERT_TRUE(c.text == "56" ? sim.WaitForRequests(1) : sim.WaitForRawSequences(2));
    const auto raws = sim.RawSequences();
    ASSERT_FALSE(raws.empty());
    EXPECT_EQ(c.opening, raws.front().bytes);
    EXPECT_LT(LogFind(" end****************", from), 0);  // no end line on success
    sim.ClearScripts();
  }
}

TEST_P(PinpadEntryTest, KeyInputFailuresAndTheLengthBeforeIt) {
  char out[200];
  // No key at all within the time: the end sequence still goes out.
  EXPECT_EQ(-11, RV270Api_InnputClearKey1(Port(), 0, 0, 0, out));
  EXPECT_EQ(128, RV270Api_GetErrorCode());
  EXPECT_TRUE(LogHas("ERROR: RV270Api_InnputClearKey1 timeout!"));
  EXPECT_TRUE(LogHas("****************RV270Api_InnputClearKey1 end****************"));
  ASSERT_TRUE(sim.WaitForRawSequences(2));
  EXPECT_EQ(B({0x1B, 0x5B, 0x2F, 0x33}), sim.RawSequences()[1].bytes);

  // The entry length goes first; a refusal stops before the key input.
  sim.ClearRecords();
  sim.ScriptNext(0x50, 0x66, Answer::Status(0x00, 0x09));
  EXPECT_EQ(-4, RV270Api_InnputClearKeyFZ(Port(), 0, 6, 0, 5, out));
  EXPECT_EQ(B({0x50, 0x66, 0x06, 0x06}), LastRequest());
  EXPECT_TRUE(sim.RawSequences().empty());
}

// A PIN entry broken off by RV270Api_Break from a second thread: the waiting call ends
// long before the customer would have answered, and the terminal got 0x50 0x5C.
TEST_P(PinpadEntryTest, BreakFromASecondThread) {
  LoadMaster("1");
  sim.EditState([](rv270sim::DeviceState& s) {
    s.customerDelayMs = 20000;
    s.breakOffAnswer.clear();
  });
  char length[8], block[40], tail[40];
  int ret = 0, error = 0;
  const auto start = std::chrono::steady_clock::now();
  std::thread waiting([&] {
    ret = RV270Api_ReadCustomerPin(Port(), 0, "1", "", "1", 30, 0, 0, 0, length, block, tail);
    error = RV270Api_GetErrorCode();
  });
  ASSERT_TRUE(sim.WaitUntil([&] {
    for (const auto& r : sim.Requests()) {
      if (r.payload.size() > 1 && r.payload[1] == 0x5A) return true;
    }
    return false;
  }));
  sim.ScriptNext(0x50, 0x5C, Answer::Handler(300));
  EXPECT_EQ(0, RV270Api_Break(Port(), 0));
  waiting.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
  EXPECT_EQ(-3, ret);
  EXPECT_EQ(102, error);
  EXPECT_TRUE(sim.WaitUntil([&] { return LastRequest() == B({0x50, 0x5C}); }));
  EXPECT_TRUE(LogHas("****************RV270Api_Break end****************"));
  // The next entry waits again.
  sim.EditState([](rv270sim::DeviceState& s) { s.customerDelayMs = 50; });
  EXPECT_EQ(0, RV270Api_ReadCustomerPin(Port(), 0, "1", "", "1", 5, 0, 0, 0, length, block, tail));
}

class PinpadBreakTest : public rv270test::SimTest {};

TEST_F(PinpadBreakTest, SucceedsWhenThePortCannotBeOpened) {
  EXPECT_EQ(0, RV270Api_Break(99, 0));
  EXPECT_EQ(0, RV270Api_GetErrorCode());
}

}  // namespace
