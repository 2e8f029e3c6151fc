// Customer screen exports against the simulated terminal: the request bytes on the wire,
// the return values, the last error and the log lines of each outcome row.
//
// Narrow literals in this file are GBK (the tests are compiled like the library); u8
// literals are UTF-8.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "QornRV270API.h"
#include "support/outcome_rows.h"

namespace {

using rv270sim::Answer;
using rv270sim::Bytes;
using rv270test::kUsbPort;
using namespace rv270test;


constexpr int kUnchecked = 0x7FFFFFFF;  // a return value the case does not look at
constexpr int kSentinelError = 100;     // last error set before a row that leaves it as it was

// Sets the last error to kSentinelError (an argument error that sends nothing).
void SetSentinelError() { RV270Api_SetPosterType(kUsbPort, 0, -1); }

class ScreenTest : public rv270test::RowTest {
 protected:
  // Rows run with the last error set to kSentinelError first, so "unchanged" shows.
  void ExpectRows(const char* name, const Call& call, const std::vector<Row>& rows) {
    RowTest::ExpectRows(name, call, rows, SetSentinelError);
  }

  // A refused call: -2, last error 100, its line and the end line, and nothing sent.
  void ExpectRefused(const char* name, const Call& call, const std::string& line) {
    SCOPED_TRACE(name);
    const size_t requests = sim.Requests().size();
    const int links = sim.LinksOpened();
    const size_t from = LogLines().size();
    EXPECT_EQ(call(kUsbPort), -2);
    EXPECT_EQ(RV270Api_GetErrorCode(), 100);
    const int at = LogFind(Logged('E', line), from);
    EXPECT_GE(at, 0) << line;
    EXPECT_GE(LogFind(std::string("****************") + name + " end****************", at < 0 ? from : at), 0);
    EXPECT_EQ(sim.Requests().size(), requests);
    EXPECT_EQ(sim.LinksOpened(), links);
  }
};

class ScreenLinkTest : public rv270test::SimLinkTest {};

// ---- Requests on the wire, over USB and serial -------------------------------------------

TEST_P(ScreenLinkTest, RequestPayloads) {
  struct Case {
    const char* name;
    Call call;
    Bytes payload;
    int ret;
  };
  char result[16];
  const std::string bigPage(255, 'p');
  const std::vector<Case> cases = {
      {"ShowInfo plain", [](int p) { return RV270Api_ShowInfo(p, 0, 0, "abc", 0, "", 30); },
       B({0x50, 0x10, 0x00, 0x1E, 0x00, 0x00, 0x03}) + Str("abc") + B({0x00, 0x00, 0x00}), 0},
      // Voice flag 0: the caller's voice bytes go out unchanged (GBK, digits and all).
      {"ShowInfo caller voice", [](int p) { return RV270Api_ShowInfo(p, 0, 2, "A", 0, "第3", 0); },
       B({0x50, 0x10, 0x00, 0x00, 0x02, 0x00, 0x01, 'A', 0x00, 0x00, 0x03}) + Str("第3"), 0},
      // A null voice is an empty field whatever the flag; the flag byte is its low byte.
      {"ShowInfo null voice", [](int p) { return RV270Api_ShowInfo(p, 0, 0x107, "A", 0x1FF, nullptr, 0); },
       B({0x50, 0x10, 0x00, 0x00, 0x07, 0x00, 0x01, 'A', 0xFF, 0x00, 0x00}), 0},
      {"ShowText prepared voice", [](int p) { return RV270Api_ShowText(p, 0, 0, "T", 1, "第3", 70000); },
       B({0x50, 0x1B, 0x11, 0x70, 0x00, 0x00, 0x01, 'T', 0x01, 0x00, 0x06}) + Str(u8"第三"), 0},
      {"ShowWebOnly", [](int p) { return RV270Api_ShowWebOnly(p, 0, "a.html", "", 5); },
       B({0x50, 0x17, 0x00, 0x05, 0x00, 0x00, 0x06}) + Str("a.html"), 0},
      {"ShowWebCompress", [](int p) { return RV270Api_ShowWebCompress(p, 0, "w.zip", "第1", 0); },
       B({0x50, 0x18, 0x00, 0x00, 0x00, 0x06}) + Str(u8"第一") + B({0x05}) + Str("w.zip"), 0},
      {"ShowWebAd longest page", [&](int p) { return RV270Api_ShowWebAd(p, 0, bigPage.c_str(), nullptr, 1); },
       B({0x50, 0x1A, 0x00, 0x01, 0x00, 0x00, 0xFF}) + Str(bigPage), 0},
      {"ShowInfoOrWaitSign bare",
       [](int p) { return RV270Api_ShowInfoOrWaitSign(p, 0, 0, nullptr, "1", 0, 0, 0, 0, 0, nullptr, 0, 0, 0); },
       B({0x50, 0x12, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}) + Bytes(17, 0x00), 0},
      {"ShowInfoOrWaitSign full",
       [](int p) {
         return RV270Api_ShowInfoOrWaitSign(p, 0, 1, "签名", "main", 0x01020304, -1, 10, 0, 0x1AB, "请签名", 20,
                                            99, 7);
       },
       B({0x50, 0x12, 0x00, 0x14, 0x01, 0x00, 0x09}) + Str(u8"请签名") + B({0x04}) + Str("签名") +
           B({0x01, 0x02, 0x03, 0x04, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x00, 0xAB}),
       0},
      {"ExcuteJs", [&](int p) { return RV270Api_ExcuteJs(p, 0, "f()", nullptr, sizeof(result), result); },
       B({0x50, 0x14, 0x00, 0x03, 'f', '(', ')', 0x00, 0x00}), 0},
      {"SetAdArea", [](int p) { return RV270Api_SetAdArea(p, 0, 1, 2, 0x12345, -1); },
       B({0x50, 0x11, 0x00, 0x01, 0x00, 0x02, 0x23, 0x45, 0xFF, 0xFF}), 0},
      {"ClearMainScreen", [](int p) { return RV270Api_ClearMainScreen(p, 0); }, B({0x50, 0x15}), 0},
      {"SetPosterType", [](int p) { return RV270Api_SetPosterType(p, 0, 300); }, B({0x50, 0x19, 0x2C}), 0},
      {"SetWelCome", [](int p) { return RV270Api_SetWelCome(p, 0, "欢迎光临"); },
       B({0x50, 0x1C, 0x00, 0x08}) + Str("欢迎光临"), 0},
      {"InitStatusBar", [](int p) { return RV270Api_InitStatusBar(p, 0, "柜员 01"); },
       B({0x50, 0x1D, 0x00, 0x07}) + Str("柜员 01"), 0},
      {"SetStatusBarInfo empty", [](int p) { return RV270Api_SetStatusBarInfo(p, 0, ""); },
       B({0x50, 0x1E, 0x00, 0x00}), 0},
      {"ClearStatusBar", [](int p) { return RV270Api_ClearStatusBar(p, 0); }, B({0x50, 0x1F}), 0},
      // A negative timeout is sent as its low 16 bits; the library's wait is then 0 s.
      {"ShowText negative timeout", [](int p) { return RV270Api_ShowText(p, 0, 0, "T", 0, nullptr, -1); },
       B({0x50, 0x1B, 0xFF, 0xFF, 0x00, 0x00, 0x01, 'T', 0x00, 0x00, 0x00}), kUnchecked},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim.ClearRecords();
    const int ret = c.call(Port());
    if (c.ret != kUnchecked) {
      EXPECT_EQ(ret, c.ret);
      EXPECT_EQ(RV270Api_GetErrorCode(), 0);
    }
    ASSERT_TRUE(sim.WaitForRequests(1));
    const auto requests = sim.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].link, LinkUnderTest());
    EXPECT_EQ(Hex(requests[0].payload), Hex(c.payload));
  }
}

// The worked request: the display text goes out as the caller's GBK bytes, the voice as
// the UTF-8 text with the number read out; the terminal's answers map to 0 and -11.
TEST_P(ScreenLinkTest, RoadOfOneRequest) {
  const Bytes expected = B({0x50, 0x10, 0x00, 0x1E, 0x00, 0x00, 0x0B}) + Str("请到3号窗口") + B({0x01, 0x00, 0x12}) +
                         Str(u8"请到三号窗口");
  ASSERT_EQ(Str("请到3号窗口").size(), 11u);  // GBK: two bytes a Chinese character
  EXPECT_EQ(RV270Api_ShowInfo(Port(), 0, 0, "请到3号窗口", 1, "请到3号窗口", 30), 0);
  EXPECT_EQ(RV270Api_GetErrorCode(), 0);
  ASSERT_TRUE(sim.WaitForRequests(1));
  EXPECT_EQ(Hex(sim.Requests()[0].payload), Hex(expected));
  EXPECT_EQ(sim.State().media.lastSpoken, std::string(u8"请到三号窗口"));
  EXPECT_EQ(sim.State().screen.lastTimeout, 30);

  const std::vector<std::string> lines = LogLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.front().find("****************RV270Api_ShowInfo start****************"), std::string::npos);
  EXPECT_GE(LogFind("RV270Api_ShowInfo:[请到3号窗口],pVoice:[请到3号窗口],timeout:[30]"), 0);
  EXPECT_NE(lines.back().find("****************RV270Api_ShowInfo end****************"), std::string::npos);
  EXPECT_TRUE(sim.WaitForNoOpenLinks());

  // The terminal's own time running out.
  sim.ScriptNext(Answer::Status(0xAA, 0x00));
  EXPECT_EQ(RV270Api_ShowInfo(Port(), 0, 0, "请到3号窗口", 1, "请到3号窗口", 30), -11);
  EXPECT_EQ(RV270Api_GetErrorCode(), 128);
}

// A cancel made while a waiting call is still writing its first log lines (before it
// reaches its exchange) is not lost: the call breaks off as soon as it would wait.
TEST_P(ScreenLinkTest, EarlyCancelBreaksOffTheWait) {
  sim.EditState([](rv270sim::DeviceState& s) { s.breakOffAnswer.clear(); });
  for (int delayMs = 0; delayMs <= 25; delayMs += 5) {
    SCOPED_TRACE(delayMs);
    const CallOutcome call = CancelAShowInfoEarly(Port(), delayMs);
    // USB reports the broken-off wait as a cancel; a serial port as a failed read.
    EXPECT_EQ(call.result, IsUsb() ? 2 : -4);
    EXPECT_EQ(call.error, IsUsb() ? 121 : 102);
    // A cancel that reached the terminal before the request leaves it waiting for the
    // customer; let that wait end before the next round.
    std::this_thread::sleep_for(std::chrono::milliseconds(IsUsb() ? 0 : 3200));
    EXPECT_TRUE(sim.WaitForNoOpenLinks(8000)) << "links still open: " << sim.LinksOpenNow();
    sim.ClearScripts();
  }
}

RV270_INSTANTIATE_LINKS(ScreenLinkTest);

// ---- Outcome tables ----------------------------------------------------------------------

TEST_F(ScreenTest, ShowInfoOutcomes) {
  const char* ok = "RV270Api_Communication return ok!myWebResult[2]==0x01!";
  const char* bad = "RV270Api_Communication return error value!";
  // Mode 1 waits for the customer's answer in byte 2.
  ExpectRows("mode 1", [](int p) { return RV270Api_ShowInfo(p, 0, 1, "Q", 0, nullptr, 5); },
             {
                 {B({0x00, 0x00, 0x00}), 0, 0, 'E', "RV270Api_Communication [mode=0] return ok!"},
                 {B({0x00, 0x00, 0x01}), 1, 0, 'E', ok},
                 {B({0x00, 0x00, 0x02}), -5, 103, 'E', bad},
                 // Only the status bytes: byte 2 reads as 0 from the zeroed buffer.
                 {B({0x00, 0x00}), 0, 0, 'E', "RV270Api_Communication [mode=0] return ok!"},
             });
  // Any other mode: only the status bytes count.
  ExpectRows("mode 2", [](int p) { return RV270Api_ShowInfo(p, 0, 2, "Q", 0, nullptr, 5); },
             {
                 {B({0x00, 0x00, 0x00}), 0, 0, 'E', "RV270Api_Communication [mode=1] return ok!"},
                 {B({0x00, 0x00, 0x01}), 0, 0, 'E', "RV270Api_Communication [mode=1] return ok!"},
                 {B({0x00, 0x00, 0x07}), 0, 0, 'E', "RV270Api_Communication [mode=1] return ok!"},
                 {B({0x00, 0x01}), 1, 0, 'E', ok},
                 {B({0x00, 0x04}), 2, 0, 'E', "RV270Api_Communication myWebResult[1]==0x04!"},
                 {B({0x00, 0x09}), -10, 125, 'E', "RV270Api_Communication myWebResult[1]==0x09!"},
                 {B({0xAA, 0x33}), -11, 128, 'E', "RV270Api_Communication myWebResult[0]==0xAA!"},
                 {B({0x50, 0x1D}), 2, 121, 'I', "RV270Api_Communication return 101D break!"},
                 {B({0x01, 0x02, 0x03}), -5, 103, 'E', bad},
                 {B({0x00}), -5, 103, 'E', bad},
             });
  // A refusal also dumps the whole answer, on the line after its title.
  const int dump = LogFind("01 02 03 ");
  ASSERT_GE(dump, 1);
  EXPECT_NE(LogLines()[dump - 1].find(Logged('I', "value:%s")), std::string::npos);
}

// A terminal that answers only its two status bytes "00 00" has answered "00 00 00": the
// commands that read byte 2 report success, not a wrong value.
TEST_F(ScreenTest, StatusOnlyAnswerReadsAsZeroes) {
  const struct {
    const char* name;
    Call call;
  } kCalls[] = {
      {"ShowWebOnly", [](int p) { return RV270Api_ShowWebOnly(p, 0, "<p>x</p>", nullptr, 5); }},
      {"ShowWebAd", [](int p) { return RV270Api_ShowWebAd(p, 0, "<p>x</p>", nullptr, 5); }},
      {"ShowWebCompress", [](int p) { return RV270Api_ShowWebCompress(p, 0, "x.zip", nullptr, 5); }},
      {"ShowText mode 1", [](int p) { return RV270Api_ShowText(p, 0, 1, "T", 0, nullptr, 5); }},
      {"ShowInfo mode 1", [](int p) { return RV270Api_ShowInfo(p, 0, 1, "Q", 0, nullptr, 5); }},
  };
  for (const auto& c : kCalls) {
    SCOPED_TRACE(c.name);
    sim.ScriptNext(rv270sim::Answer::Of(B({0x00, 0x00})));
    EXPECT_EQ(c.call(kUsbPort), 0);
    EXPECT_EQ(RV270Api_GetErrorCode(), 0);
    sim.ClearScripts();
  }
  // Without both status bytes the answer stays a failure.
  sim.ScriptNext(rv270sim::Answer::Of(B({0x00})));
  EXPECT_EQ(RV270Api_ShowWebOnly(kUsbPort, 0, "<p>x</p>", nullptr, 5), -5);
  EXPECT_EQ(RV270Api_GetErrorCode(), 103);
}

TEST_F(ScreenTest, ShowTextOutcomes) {
  ExpectRows("mode 1", [](int p) { return RV270Api_ShowText(p, 0, 1, "T", 0, nullptr, 5); },
             {
                 {B({0x00, 0x00, 0x00}), 0, 0, 'E', "RV270Api_Communication [mode=0] return ok!"},
                 {B({0x00, 0x00, 0x01}), 1, 0, 'E', "RV270Api_Communication return ok!myWebResult[2]==0x01!"},
                 {B({0x00, 0x00, 0x05}), -5, 103, 'E', "RV270Api_Communication return error value!"},
             });
  ExpectRows("mode 0", [](int p) { return RV270Api_ShowText(p, 0, 0, "T", 0, nullptr, 5); },
             {
                 {B({0x00, 0x00, 0x05}), 0, 0, 'E', "RV270Api_Communication [mode=1] return ok!"},
                 {B({0x00, 0x01}), 1, 0, 'E', "RV270Api_Communication myJsResult[1]==0x01!"},
                 {B({0x00, 0x09}), -5, 125, 'E', "RV270Api_Communication myJsResult[1]==0x09!"},
                 {B({0xAA, 0x00}), -11, 128, 'E', "RV270Api_Communication myJsResult[0]==0xAA!"},
                 {B({0x00, 0x04}), -6, 103, 'E', "RV270Api_Communication return error!"},
                 {B({0x50, 0x1D}), -6, 103, 'E', "RV270Api_Communication return error!"},
             });
}

TEST_F(ScreenTest, WebPageOutcomes) {
  const std::vector<Row> rows = {
      {B({0x00, 0x00, 0x00}), 0, 0, 'E', "RV270Api_Communication return ok!"},
      {B({0x00, 0x00, 0x01}), 1, 0, 'E', "RV270Api_Communication myWebResult[2]==0x01!"},
      {B({0x00, 0x00, 0x02}), -5, 103, 'E', "RV270Api_Communication return error value!"},
      {B({0x00, 0x04}), 2, 0, 'E', "RV270Api_Communication myWebResult[1]==0x04!"},
      {B({0x00, 0x09}), -10, 125, 'E', "RV270Api_Communication myWebResult[1]==0x09!"},
      {B({0xAA, 0x01}), -11, 128, 'E', "RV270Api_Communication myWebResult[0]==0xAA!"},
      {B({0x50, 0x1D}), 2, 121, 'I', "RV270Api_Communication return 101D break!"},
      {B({0x00, 0x02}), -5, 103, 'E', "RV270Api_Communication return error value!"},
  };
  ExpectRows("ShowWebOnly", [](int p) { return RV270Api_ShowWebOnly(p, 0, "a.html", nullptr, 5); }, rows);
  ExpectRows("ShowWebAd", [](int p) { return RV270Api_ShowWebAd(p, 0, "a.html", nullptr, 5); }, rows);
  ExpectRows("ShowWebCompress", [](int p) { return RV270Api_ShowWebCompress(p, 0, "a.zip", nullptr, 5); },
             {
                 {B({0x00, 0x00, 0x00}), 0, 0, 'I', "RV270Api_Communication2 return ok!"},
                 {B({0x00, 0x00, 0x01}), 1, 0, 'I', "RV270Api_Communication2 myWebResult[2]==0x01!"},
                 {B({0x00, 0x00, 0x09}), -5, 103, 'E', "RV270Api_Communication2 return error value!"},
                 {B({0x00, 0x04}), 2, 0, 'I', "RV270Api_Communication2 myWebResult[1]==0x04!"},
                 {B({0x00, 0x09}), -7, 125, 'E', "RV270Api_Communication myWebResult[1]==0x09!"},
                 {B({0xAA, 0x01}), -11, 128, 'E', "RV270Api_Communication myWebResult[0]==0xAA"},
                 {B({0x50, 0x1D}), 2, 121, 'I', "RV270Api_Communication2 return 101D break!"},
             });
}

TEST_F(ScreenTest, WebCompressTreatsNoAnswerAsBrokenOff) {
  // Timeout 0: the library waits 3 s for an answer that never comes.
  sim.ScriptNext(Answer::None());
  EXPECT_EQ(RV270Api_ShowWebCompress(kUsbPort, 0, "a.zip", nullptr, 0), 2);
  EXPECT_EQ(RV270Api_GetErrorCode(), 121);
  EXPECT_TRUE(LogHas(Logged('E', "RV270Api_Communication2 return -9!")));
}

TEST_F(ScreenTest, SignatureOutcomes) {
  ExpectRows("ShowInfoOrWaitSign",
             [](int p) { return RV270Api_ShowInfoOrWaitSign(p, 0, 0, nullptr, "1", 0, 0, 0, 0, 0, nullptr, 5, 0, 0); },
             {
                 {B({0x00, 0x00}), 0, 0, 'I', "RV270Api_Communication return ok!"},
                 {B({0x00, 0x01}), 1, kSentinelError, 'I', "RV270Api_Communication mySignResult[1]==0x01!"},
                 {B({0x00, 0x02}), 2, kSentinelError, 'I', "RV270Api_Communication mySignResult[1]==0x02!"},
                 {B({0x00, 0x03}), 4, kSentinelError, 'I', "RV270Api_Communication mySignResult[1]==0x03!"},
                 {B({0x00, 0x05}), -6, 124, 'I', "RV270Api_Communication mySignResult[1]==0x05!"},
                 {B({0x00, 0x09}), -10, 125, 'E', "RV270Api_Communication mySignResult[1]==0x09!"},
                 {B({0xAA, 0x00}), 3, kSentinelError, 'I', "RV270Api_Communication mySignResult[0]==0xAA!"},
                 {B({0x50, 0x1D}), 4, 121, 'I', "RV270Api_Communication return 101D break!"},
                 {B({0x00, 0x04}), -7, 103, 'I', "RV270Api_Communication return error"},
             });
}

TEST_F(ScreenTest, SimpleCommandOutcomes) {
  const char* ok = "RV270Api_Communication return ok!";
  const char* refused = "RV270Api_Communication return error!";
  // The advertisement area and the main screen tell a hardware failure apart.
  ExpectRows("SetAdArea", [](int p) { return RV270Api_SetAdArea(p, 0, 1, 2, 3, 4); },
             {
                 {B({0x00, 0x00}), 0, 0, 'I', "RV270Api_Communication return ok"},
                 {B({0x00, 0x09}), -3, 125, 'E', "RV270Api_Communication pWorkingStatus[1]==0x09!"},
                 {B({0x00, 0x01}), -4, 103, 'E', refused},
             });
  ExpectRows("ClearMainScreen", [](int p) { return RV270Api_ClearMainScreen(p, 0); },
             {
                 {B({0x00, 0x00}), 0, 0, 'I', ok},
                 {B({0x00, 0x09}), -3, 125, 'E', "RV270Api_Communication myClearResult[1]==0x09!"},
                 {B({0x50, 0x1D}), -4, 103, 'E', refused},
             });
  // The others count 0x00 0x09 as any refusal.
  const std::vector<Row> rows = {
      {B({0x00, 0x00}), 0, 0, 'I', ok},
      {B({0x00, 0x09}), -4, 103, 'E', refused},
      {B({0xAA, 0x00}), -4, 103, 'E', refused},
  };
  ExpectRows("SetPosterType", [](int p) { return RV270Api_SetPosterType(p, 0, 1); }, rows);
  ExpectRows("SetWelCome", [](int p) { return RV270Api_SetWelCome(p, 0, "w"); }, rows);
  ExpectRows("InitStatusBar", [](int p) { return RV270Api_InitStatusBar(p, 0, "s"); }, rows);
  ExpectRows("SetStatusBarInfo", [](int p) { return RV270Api_SetStatusBarInfo(p, 0, "i"); }, rows);
  ExpectRows("ClearStatusBar", [](int p) { return RV270Api_ClearStatusBar(p, 0); }, rows);
}

TEST_F(ScreenTest, LinkFailures) {
  sim.SetDevices({});  // no terminal on USB
  char result[8];
  const struct {
    const char* name;
    Call call;
    int ret;
    const char* line;
  } cases[] = {
      {"ShowInfo", [](int p) { return RV270Api_ShowInfo(p, 0, 0, "Q", 0, nullptr, 0); }, -4,
       "RV270Api_Communication return -"},
      {"ShowText", [](int p) { return RV270Api_ShowText(p, 0, 0, "T", 0, nullptr, 0); }, -4,
       "RV270Api_Communication return -"},
      {"ShowWebOnly", [](int p) { return RV270Api_ShowWebOnly(p, 0, "a", nullptr, 0); }, -4,
       "RV270Api_Communication return -"},
      {"ShowWebCompress", [](int p) { return RV270Api_ShowWebCompress(p, 0, "a", nullptr, 0); }, -4,
       "RV270Api_Communication2 return -"},
      {"ShowInfoOrWaitSign",
       [](int p) { return RV270Api_ShowInfoOrWaitSign(p, 0, 0, nullptr, "1", 0, 0, 0, 0, 0, nullptr, 0, 0, 0); }, -4,
       "RV270Api_Communication return -"},
      {"ExcuteJs", [&](int p) { return RV270Api_ExcuteJs(p, 0, "f()", nullptr, sizeof(result), result); }, -4,
       "RV270Api_Communication return -"},
      {"SetAdArea", [](int p) { return RV270Api_SetAdArea(p, 0, 0, 0, 0, 0); }, -2, "RV270Api_Communication return -"},
      {"ClearMainScreen", [](int p) { return RV270Api_ClearMainScreen(p, 0); }, -2, "RV270Api_Communication return -"},
      {"SetPosterType", [](int p) { return RV270Api_SetPosterType(p, 0, 0); }, -3, "RV270Api_Communication return -"},
      {"SetStatusBarInfo", [](int p) { return RV270Api_SetStatusBarInfo(p, 0, ""); }, -3,
       "RV270Api_Communication return -"},
      {"ClearStatusBar", [](int p) { return RV270Api_ClearStatusBar(p, 0); }, -3, "RV270Api_Communication return -"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t from = LogLines().size();
    EXPECT_EQ(c.call(kUsbPort), c.ret);
    EXPECT_EQ(RV270Api_GetErrorCode(), 102);
    EXPECT_GE(LogFind(Logged('E', c.line), from), 0);
  }
}

// A cancel from a second thread breaks off each waiting command; the next call works.
TEST_F(ScreenTest, CancelBreaksOffTheWait) {
  const struct {
    const char* name;
    Call call;
    int ret;
    int error;
  } cases[] = {
      {"ShowInfoOrWaitSign",
       [](int p) { return RV270Api_ShowInfoOrWaitSign(p, 0, 0, "请签名", "1", 0, 0, 0, 0, 0, nullptr, 30, 0, 0); },
       4, 121},
      {"ShowInfo", [](int p) { return RV270Api_ShowInfo(p, 0, 1, "Q", 0, nullptr, 30); }, 2, 121},
      {"ShowWebOnly", [](int p) { return RV270Api_ShowWebOnly(p, 0, "a.html", nullptr, 30); }, 2, 121},
      {"ShowWebAd", [](int p) { return RV270Api_ShowWebAd(p, 0, "a.html", nullptr, 30); }, 2, 121},
      // The compressed page counts a broken-off wait as a link failure.
      {"ShowWebCompress", [](int p) { return RV270Api_ShowWebCompress(p, 0, "a.zip", nullptr, 30); }, -4, 102},
  };
  // The customer would take 20 s; the terminal sends nothing for a broken-off wait, so
  // only the cancel flag ends it. The cancel's own answer comes late, after the waiting
  // call has stored its outcome.
  sim.EditState([](rv270sim::DeviceState& s) { s.breakOffAnswer.clear(); });
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim.SetCustomerOutcome(B({0x00, 0x00, 0x00}), 20000);
    sim.ClearRecords();
    int ret = 0;
    int error = 0;
    std::thread waiting([&] {
      ret = c.call(kUsbPort);
      error = RV270Api_GetErrorCode();
    });
    ASSERT_TRUE(sim.WaitForRequests(1));
    sim.ScriptNext(0x50, 0x15, Answer::Handler(600));
    EXPECT_EQ(RV270Api_CancelCustomProcess(kUsbPort, 0), 0);
    waiting.join();
    EXPECT_EQ(ret, c.ret);
    EXPECT_EQ(error, c.error);
  }
  // The wait flag is back: a following wait runs to the customer's answer.
  sim.SetCustomerOutcome(B({0x00, 0x01}), 50);
  EXPECT_EQ(RV270Api_ShowInfoOrWaitSign(kUsbPort, 0, 0, nullptr, "1", 0, 0, 0, 0, 0, nullptr, 5, 0, 0), 1);
}

// ---- Script results ----------------------------------------------------------------------

TEST_F(ScreenTest, ScriptResultIsBoundedByItsBuffer) {
  sim.EditState([](rv270sim::DeviceState& s) { s.scriptResult = "0123456789"; });
  char result[16];
  const struct {
    int iLen;
    int ret;
    int error;
    const char* copied;
  } cases[] = {
      {11, 0, 0, "0123456789"},  // room for the text and its terminator
      {10, -7, 122, "012345678"},
      {1, -7, 122, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.iLen);
    memset(result, 'x', sizeof(result));
    EXPECT_EQ(RV270Api_ExcuteJs(kUsbPort, 0, "f()", nullptr, c.iLen, result), c.ret);
    EXPECT_EQ(RV270Api_GetErrorCode(), c.error);
    EXPECT_STREQ(result, c.copied);
    EXPECT_EQ(result[c.iLen], 'x');  // nothing written past iLen
  }
  EXPECT_TRUE(LogHas(Logged('I', "RV270Api_Communication return ok pResult=[0123456789]!")));
  EXPECT_TRUE(LogHas(Logged('E', "RV270Api_ExcuteJs result length 10 over iLen 10!")));

  // Refusals leave the buffer zeroed.
  const struct {
    Bytes answer;
    int ret;
    int error;
  } refusals[] = {
      {B({0x00, 0x09, 'r'}), -5, 125},
      {B({0x01, 0x00, 'r'}), -6, 103},
  };
  for (const auto& r : refusals) {
    SCOPED_TRACE(Hex(r.answer));
    memset(result, 'x', sizeof(result));
    sim.ScriptNext(Answer::Of(r.answer));
    EXPECT_EQ(RV270Api_ExcuteJs(kUsbPort, 0, "f()", nullptr, 8, result), r.ret);
    EXPECT_EQ(RV270Api_GetErrorCode(), r.error);
    EXPECT_EQ(std::string(result, 8), std::string(8, '\0'));
  }
}

// ---- Refusals before anything is sent ---------------------------------------------------

TEST_F(ScreenTest, ArgumentErrorsSendNothing) {
  char result[8];
  const struct {
    const char* name;
    Call call;
    const char* line;
  } cases[] = {
      {"RV270Api_ShowInfo", [](int p) { return RV270Api_ShowInfo(p, 0, 0, "", 0, nullptr, 5); },
       "RV270Api_ShowInfo pInfo is empty!"},
      {"RV270Api_ShowInfo", [](int p) { return RV270Api_ShowInfo(p, 0, 0, "Q", 0, nullptr, -1); },
       "RV270Api_ShowInfo timeout<0!"},
      {"RV270Api_ShowText", [](int p) { return RV270Api_ShowText(p, 0, 0, nullptr, 0, nullptr, 5); },
       "RV270Api_ShowText pJs is empty!"},
      {"RV270Api_ShowWebOnly", [](int p) { return RV270Api_ShowWebOnly(p, 0, nullptr, nullptr, 5); },
       "RV270Api_ShowWebOnly pInfo is empty!"},
      {"RV270Api_ShowWebAd", [](int p) { return RV270Api_ShowWebAd(p, 0, "a", nullptr, -3); },
       "RV270Api_ShowWebAd timeout<0!"},
      {"RV270Api_ShowWebCompress", [](int p) { return RV270Api_ShowWebCompress(p, 0, "", nullptr, 5); },
       "RV270Api_ShowWebCompress pWeb is empty!"},
      {"RV270Api_ShowInfoOrWaitSign",
       [](int p) { return RV270Api_ShowInfoOrWaitSign(p, 0, 0, "s", "", 0, 0, 0, 0, 0, nullptr, 5, 0, 0); },
       "RV270Api_ShowInfoOrWaitSign pMainArea is empty!"},
      {"RV270Api_ShowInfoOrWaitSign",
       [](int p) { return RV270Api_ShowInfoOrWaitSign(p, 0, 0, "s", "1", 0, 0, 0, 0, 0, nullptr, -1, 0, 0); },
       "RV270Api_ShowInfoOrWaitSign timeout<=0!"},
      {"RV270Api_ExcuteJs", [&](int p) { return RV270Api_ExcuteJs(p, 0, "", nullptr, 8, result); },
       "RV270Api_ExcuteJs pJs is empty!"},
      {"RV270Api_ExcuteJs", [&](int p) { return RV270Api_ExcuteJs(p, 0, "f()", nullptr, 0, result); },
       "RV270Api_ExcuteJs iLen<=0"},
      {"RV270Api_ExcuteJs", [](int p) { return RV270Api_ExcuteJs(p, 0, "f()", nullptr, 8, nullptr); },
       "RV270Api_ExcuteJs NULL==pResult!"},
      {"RV270Api_SetPosterType", [](int p) { return RV270Api_SetPosterType(p, 0, -1); },
       "RV270Api_SetPosterType type error!"},
      {"RV270Api_SetWelCome", [](int p) { return RV270Api_SetWelCome(p, 0, ""); },
       "RV270Api_SetWelCome pWelCome is empty!"},
      {"RV270Api_InitStatusBar", [](int p) { return RV270Api_InitStatusBar(p, 0, nullptr); },
       "RV270Api_InitStatusBar pOrginStatusBar is empty!"},
      {"RV270Api_SetStatusBarInfo", [](int p) { return RV270Api_SetStatusBarInfo(p, 0, nullptr); },
       "RV270Api_SetStatusBarInfo pStatusBarInfo is null!"},
  };
  for (const auto& c : cases) ExpectRefused(c.name, c.call, c.line);
}

TEST_F(ScreenTest, TooLongTextsAreRefused) {
  const std::string page256(256, 'p');
  const std::string text508(508, 't');
  const std::string text509(509, 't');
  const std::string text4090(4090, 't');
  const std::string script4091(4091, 'j');
  // Each digit is read as a Chinese digit of three UTF-8 bytes: 1400 digits become 4200 bytes.
  const std::string digits(1400, '1');
  char result[8];
  const struct {
    const char* name;
    Call call;
    const char* line;
  } cases[] = {
      {"RV270Api_ShowWebOnly", [&](int p) { return RV270Api_ShowWebOnly(p, 0, page256.c_str(), nullptr, 5); },
       "RV270Api_ShowWebOnly page text too long!"},
      {"RV270Api_ShowWebCompress", [&](int p) { return RV270Api_ShowWebCompress(p, 0, "a", digits.c_str(), 5); },
       "RV270Api_ShowWebCompress pVoice too long!"},
      {"RV270Api_ShowInfoOrWaitSign",
       [&](int p) {
         return RV270Api_ShowInfoOrWaitSign(p, 0, 0, page256.c_str(), "1", 0, 0, 0, 0, 0, nullptr, 5, 0, 0);
       },
       "RV270Api_ShowInfoOrWaitSign pStatusArea too long!"},
      // 10 + 4090 + 0 bytes do not fit 4096; neither do 6 + 4091 + 0.
      {"RV270Api_ShowInfo", [&](int p) { return RV270Api_ShowInfo(p, 0, 0, text4090.c_str(), 0, nullptr, 5); },
       "RV270Api_ShowInfo text and voice too long!"},
      {"RV270Api_ShowText", [&](int p) { return RV270Api_ShowText(p, 0, 0, "T", 1, digits.c_str(), 5); },
       "RV270Api_ShowText text and voice too long!"},
      {"RV270Api_ExcuteJs", [&](int p) { return RV270Api_ExcuteJs(p, 0, script4091.c_str(), nullptr, 8, result); },
       "RV270Api_ExcuteJs script and voice too long!"},
      {"RV270Api_SetWelCome", [&](int p) { return RV270Api_SetWelCome(p, 0, text509.c_str()); },
       "RV270Api_SetWelCome pWelCome too long!"},
  };
  for (const auto& c : cases) ExpectRefused(c.name, c.call, c.line);

  // The longest texts that fit go out whole.
  EXPECT_EQ(RV270Api_SetStatusBarInfo(kUsbPort, 0, text508.c_str()), 0);
  EXPECT_EQ(sim.State().screen.statusBarInfo, text508);
  const std::string text4086(4086, 't');
  EXPECT_EQ(RV270Api_ShowInfo(kUsbPort, 0, 0, text4086.c_str(), 0, nullptr, 5), 0);
  EXPECT_EQ(sim.State().screen.infoText, text4086);
}

}  // namespace
