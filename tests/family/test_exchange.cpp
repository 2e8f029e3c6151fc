// The link and the exchange through the exports: bytes on the wire over USB reports and
// the serial line, results for every way an answer can go wrong, the cancel from a
// second thread, the key inputs, the device search.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "QornRV270API.h"
#include "rv270sim/host.h"
#include "support/sim_fixture.h"

using rv270sim::Answer;
using rv270sim::Bytes;
using rv270sim::Faults;
using rv270sim::Link;

namespace {

const Bytes kStatusRequest = {0x50, 0x01};
const Bytes kStatusPacket = {0x02, 0x30, 0x30, 0x30, 0x32, 0x35, 0x30, 0x30, 0x31, 0x35, 0x31, 0x03};

struct Exchanged {
  int result;
  Bytes response;
};

Exchanged Exchange(int port, Bytes request, int timeoutMs = 1000, int selector = 0) {
  std::vector<unsigned char> response(4096 + 16, 0xEE);  // canary past the 4096 bytes
  int length = -1;
  const int result = RV270Api_Communication(port, selector, request.data(), response.data(),
                                            static_cast<int>(request.size()), &length, timeoutMs);
  for (size_t i = 4096; i < response.size(); ++i) EXPECT_EQ(0xEE, response[i]) << "written past 4096";
  Exchanged e{result, {}};
  if (result == 0) e.response.assign(response.begin(), response.begin() + length);
  return e;
}

Bytes Data(size_t n, uint8_t first = 0) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(first + i);
  return b;
}

class ExchangeTest : public rv270test::SimLinkTest {};
RV270_INSTANTIATE_LINKS(ExchangeTest);

TEST_P(ExchangeTest, StatusRequestIsTheWorkedPacketAndTheLinkIsClosedAfterwards) {
  const Exchanged e = Exchange(Port(), kStatusRequest);
  EXPECT_EQ(0, e.result);
  EXPECT_EQ((Bytes{0x00, 0x00}), e.response);
  ASSERT_EQ(1u, sim.Requests().size());
  EXPECT_EQ(kStatusRequest, sim.Requests()[0].payload);
  if (IsUsb()) {
    ASSERT_EQ(1u, sim.OutputReports().size());
    Bytes report(65, 0);
    std::copy(kStatusPacket.begin(), kStatusPacket.end(), report.begin() + 1);
    EXPECT_EQ(report, sim.OutputReports()[0]);
    EXPECT_TRUE(sim.WaitForNoOpenLinks(2000));
    EXPECT_EQ(1, sim.LinksOpened());
    // The exchange's own steps, in order.
    int at = 0;
    for (const char* line : {"MakeDataPackage start", "MakeDataPackage startin 0,2", "MakeDataPackage end",
                             "send before", "send end", "before", "after", "ClosePort"}) {
      at = LogFind(line, static_cast<size_t>(at));
      ASSERT_GE(at, 0) << line;
    }
  } else {
    EXPECT_EQ(kStatusPacket, sim.SerialBytes());
  }
}

TEST_P(ExchangeTest, AnswersOfOneTwoAndThreeReports) {
  // L = 28 fills one 64-byte report; 29 needs two and logs the note; 61 needs three.
  for (size_t L : {28u, 29u, 61u, 1000u}) {
    if (!IsUsb() && L > 2044) continue;
    SCOPED_TRACE(L);
    Bytes payload = {0x00, 0x00};
    const Bytes data = Data(L - 2, 7);
    payload.insert(payload.end(), data.begin(), data.end());
    sim.ScriptNext(Answer::Of(payload));
    const Exchanged e = Exchange(Port(), kStatusRequest);
    EXPECT_EQ(0, e.result);
    EXPECT_EQ(payload, e.response);
  }
  if (IsUsb()) {
    EXPECT_EQ(3u, LogCount("交互接收到的数据交互超过CommuniSize"));
    EXPECT_EQ(0u, LogCount("BytesRead"));
  }
}

TEST_P(ExchangeTest, BrokenAnswersGiveTheirResults) {
  struct Case {
    const char* what;
    Faults faults;
    bool silent;
    int usb;
    int serial;
  };
  Faults dropSecond;
  dropSecond.dropReport = 1;
  Faults truncated;
  truncated.truncateTo = 9;
  Faults badCheck;
  badCheck.badCheck = true;
  Faults badEtx;
  badEtx.badEtx = true;
  Faults badStx;
  badStx.badStx = true;
  Faults bothMarkers;
  bothMarkers.badStx = true;
  bothMarkers.badEtx = true;
  Faults huge;
  huge.announceLength = 0xFFFF;
  const Case kCases[] = {
      {"no answer", {}, true, -9, -2},
      {"rest of the answer missing", truncated, false, 0, -4},
      {"check byte wrong", badCheck, false, 0, -5},
      {"no ETX", badEtx, false, 0, -6},
      {"no STX", badStx, false, 0, -3},
      {"both markers wrong", bothMarkers, false, -17, -3},
      {"length announces more than any buffer", huge, false, -16, -16},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    Answer a = c.silent ? Answer::None() : Answer::Status(0x00, 0x00);
    a.faults = c.faults;
    sim.ScriptNext(a);
    const Exchanged e = Exchange(Port(), kStatusRequest, 400);
    if (IsUsb() && std::string(c.what) == "rest of the answer missing") continue;  // one report: all there
    EXPECT_EQ(IsUsb() ? c.usb : c.serial, e.result);
  }
  if (IsUsb()) {
    // A multi-report answer whose second report never comes: -14 after 1000 ms.
    Answer a = Answer::Done(std::string(100, 'x'));
    a.faults = dropSecond;
    sim.ScriptNext(a);
    EXPECT_EQ(-14, Exchange(Port(), kStatusRequest, 400).result);
    EXPECT_TRUE(LogHas("BytesRead==-4"));
  } else {
    EXPECT_TRUE(LogHas("模式为串口，串口交互失败，返回-2"));
  }
  // After every failure the link is usable again.
  EXPECT_EQ(0, Exchange(Port(), kStatusRequest).result);
}

#ifdef RV270_TEST_CORE
// Hostile answers: random damage to the length field, the bytes, the markers and the
// reports of answers of random size. Every answer gives 0 or a negative result and
// nothing is written past the caller's 4096 bytes (checked by Exchange).
TEST_P(ExchangeTest, DamagedAnswersNeverOverrunOrHang) {
  const int kKnown[] = {0, -2, -3, -4, -5, -6, -8, -9, -14, -16, -17};
  uint32_t seed = 12345;
  auto next = [&](uint32_t range) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 8) % range;
  };
  for (int i = 0; i < 24; ++i) {
    SCOPED_TRACE(i);
    Answer a = Answer::Done(Data(next(300)));
    switch (next(4)) {
      case 0: a.faults.announceLength = static_cast<int>(next(0x10000)); break;
      case 1: a.faults.corruptAt = static_cast<int>(next(40)); a.faults.corruptXor = static_cast<uint8_t>(1 + next(255)); break;
      case 2: a.faults.truncateTo = static_cast<int>(next(60)); break;
      default: a.faults.badStx = next(2) == 0; a.faults.badEtx = next(2) == 0; a.faults.badCheck = next(2) == 0; break;
    }
    sim.ScriptNext(a);
    const int result = Exchange(Port(), kStatusRequest, 300).result;
    EXPECT_NE(std::end(kKnown), std::find(std::begin(kKnown), std::end(kKnown), result)) << result;
    sim.ClearScripts();
  }
  EXPECT_EQ(0, Exchange(Port(), kStatusRequest).result);
}
#endif

// The packet's length field holds four hexadecimal digits: a request payload over
// 65535 bytes cannot be framed (USB), and a serial request must fit the 9000-byte frame.
TEST_P(ExchangeTest, RequestsTooLongAreRefusedBeforeAnythingIsSent) {
  const size_t limit = IsUsb() ? 65535 : 4496;
  Bytes request = Data(limit + 1);
  request[0] = 0x50;
  EXPECT_EQ(-15, Exchange(Port(), request).result);
  EXPECT_TRUE(sim.OutputReports().empty());
  EXPECT_TRUE(sim.SerialBytes().empty());
  EXPECT_EQ(0, sim.LinksOpened());

  // The longest request that fits goes out whole.
  request.resize(limit);
  EXPECT_EQ(0, Exchange(Port(), request, 20000).result);
  ASSERT_EQ(1u, sim.Requests().size());
  EXPECT_EQ(limit, sim.Requests()[0].payload.size());
}

// Exchanges of several threads run one after another on the one link: each caller gets
// the answer to its own request, never a failure made by another thread's exchange.
TEST_P(ExchangeTest, ConcurrentCallersEachGetTheirOwnAnswer) {
  sim.SetHandler(0x50, 0x77, [](const rv270sim::Request& r, rv270sim::DeviceState&) {
    rv270sim::Answer a = rv270sim::Answer::Done(Bytes(r.payload.begin() + 2, r.payload.end()));
    a.delayMs = 3;
    return a;
  });
  constexpr int kThreads = 4;
  constexpr int kCalls = 8;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kCalls; ++i) {
        const Bytes request = {0x50, 0x77, static_cast<uint8_t>(t), static_cast<uint8_t>(i)};
        const Exchanged e = Exchange(Port(), request, 3000);
        if (e.result != 0 || e.response != Bytes({0x00, 0x00, static_cast<uint8_t>(t), static_cast<uint8_t>(i)})) {
          ++wrong;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(0, wrong.load());
  EXPECT_EQ(static_cast<size_t>(kThreads * kCalls), sim.Requests().size());
}

// The terminal unplugged while the library waits for its answer, or while the answer
// is arriving: the call fails at once instead of waiting out its time, calls while it
// is away fail, and the first call after it is back works (the process state intact).
TEST_P(ExchangeTest, UnpluggedTerminalFailsTheCallAndWorksWhenBack) {
  if (!IsUsb() && !rv270sim::UsesPseudoTerminals()) GTEST_SKIP() << "a COM port pair cannot be unplugged";
  EXPECT_EQ(0, Exchange(Port(), kStatusRequest).result);

  struct Moment {
    const char* name;
    rv270sim::Answer answer;
  };
  rv270sim::Answer slow = rv270sim::Answer::Done(Data(300));  // its reports trickle in
  slow.faults.chunkBytes = 16;
  slow.faults.chunkGapMs = 100;
  const Moment moments[] = {{"waiting", rv270sim::Answer::None()}, {"answering", slow}};
  for (const Moment& m : moments) {
    SCOPED_TRACE(m.name);
    sim.ClearRecords();
    sim.ScriptNext(m.answer);
    Exchanged during{1, {}};
    const auto start = std::chrono::steady_clock::now();
    std::thread caller([&] { during = Exchange(Port(), kStatusRequest, 20000); });
    ASSERT_TRUE(sim.WaitForRequests(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    Unplug();
    caller.join();
    const auto waitedMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(during.result, 0);
    EXPECT_LT(waitedMs, 5000) << "the call waited for a terminal that was gone";

    EXPECT_LT(Exchange(Port(), kStatusRequest).result, 0);  // still away
    ASSERT_TRUE(Plug()) << sim.LastError();
    EXPECT_EQ(0, Exchange(Port(), kStatusRequest).result);
    EXPECT_EQ(0, Exchange(Port(), kStatusRequest).result);
  }
}

TEST_P(ExchangeTest, BadArgumentsOfTheExportedExchange) {
  unsigned char request[2] = {0x50, 0x01};
  unsigned char response[16];
  int length = 0;
  EXPECT_EQ(-18, RV270Api_Communication(Port(), 0, request, nullptr, 2, &length, 100));
  EXPECT_EQ(-18, RV270Api_Communication(Port(), 0, request, response, 2, nullptr, 100));
  EXPECT_EQ(-18, RV270Api_Communication(Port(), 0, nullptr, response, 2, &length, 100));
  EXPECT_EQ(-18, RV270Api_Communication(Port(), 0, request, response, -1, &length, 100));
  EXPECT_TRUE(sim.Requests().empty());
}

class UsbLinkTest : public rv270test::SimTest {};

TEST_F(UsbLinkTest, Port1001IsTheUsbLink) {
  EXPECT_EQ(0, Exchange(1001, kStatusRequest).result);
  ASSERT_EQ(1u, sim.Requests().size());
  EXPECT_EQ(Link::kUsb, sim.Requests()[0].link);
}

TEST_F(UsbLinkTest, A64ByteBridgeIsConfiguredWithFeatureReports) {
  EXPECT_EQ(0, Exchange(0, kStatusRequest).result);
  const auto features = sim.FeatureReports();
  const struct {
    bool set;
    Bytes start;
  } kExpected[] = {{false, {0x46}},
                   {true, {0x41, 0x01}},
                   {false, {0x46}},
                   {true, {0x50, 0x00, 0x01, 0xC2, 0x00, 0x00, 0x00, 0x03, 0x00}},
                   {false, {0x50}},
                   {false, {0x66}},
                   {false, {0x44}}};
  ASSERT_EQ(7u, features.size());
  for (size_t i = 0; i < 7; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(kExpected[i].set, features[i].set);
    EXPECT_EQ(kExpected[i].start, Bytes(features[i].report.begin(), features[i].report.begin() + kExpected[i].start.size()));
    if (kExpected[i].set) {
      EXPECT_EQ(64u, features[i].report.size());
    } else {
      EXPECT_EQ(64u, features[i].wantedLength);
    }
  }
}

TEST_F(UsbLinkTest, A32ByteDeviceGetsNoFeatureReportsAndSmallerReports) {
  rv270sim::DeviceRecord small;
  small.inputReportLength = small.outputReportLength = small.featureReportLength = 33;
  sim.SetDevices({small});
  Bytes request = {0x50, 0x02};
  const Bytes fill = Data(20);
  request.insert(request.end(), fill.begin(), fill.end());  // 52-byte packet: two reports
  EXPECT_EQ(0, Exchange(0, request).result);
  EXPECT_TRUE(sim.FeatureReports().empty());
  ASSERT_EQ(2u, sim.OutputReports().size());
  EXPECT_EQ(33u, sim.OutputReports()[0].size());
  EXPECT_TRUE(LogHas("CommuniSize = 32"));
}

TEST_F(UsbLinkTest, DeviceSearch) {
  char pid[8] = {0};
  char vid[8] = {0};
  EXPECT_EQ(1, RV270Api_GetPidVid(pid, vid));
  EXPECT_STREQ("0001", pid);
  EXPECT_STREQ("4B7E", vid);

  // A lower-case hardware id matches; devices of other classes are passed over.
  rv270sim::DeviceRecord keyboard;
  keyboard.className = "Keyboard";
  keyboard.hardwareId = "HID\\VID_4B7E&PID_0003";
  rv270sim::DeviceRecord lower;
  lower.productId = 0x000a;
  lower.hardwareId = "HID\\vid_4b7e&pid_000a&rev_0001";
  sim.SetDevices({keyboard, lower});
  memset(pid, 0, sizeof(pid));
  EXPECT_EQ(1, RV270Api_GetPidVid(pid, vid));
  EXPECT_STREQ("000A", pid);

  sim.SetDevices({});
  EXPECT_EQ(0, RV270Api_GetPidVid(pid, vid));
  EXPECT_TRUE(LogHas("no pidvid!"));
  EXPECT_EQ(-1, Exchange(0, kStatusRequest).result);
  EXPECT_TRUE(LogHas("打开端口失败!"));
}

TEST_F(UsbLinkTest, DeviceListThatCannotBeReadIsASearchError) {
  sim.Stop();  // nothing listens at RV270_SIM any more
  char pid[8] = {0};
  char vid[8] = {0};
  EXPECT_EQ(-2, RV270Api_GetPidVid(pid, vid));
  EXPECT_EQ(105, RV270Api_GetErrorCode());
  EXPECT_TRUE(LogHas("search pidvid error!"));
}

TEST_F(UsbLinkTest, DeviceThatCannotBeOpenedFailsItsReports) {
  rv270sim::DeviceRecord locked;
  locked.openable = false;
  sim.SetDevices({locked});
  EXPECT_EQ(-3, Exchange(0, kStatusRequest).result);
  EXPECT_EQ(1, sim.RefusedOpens());
}

TEST_P(ExchangeTest, CancelFromASecondThreadEndsTheWait) {
  sim.ScriptNext(Answer::None());
  std::atomic<int> waited{1};
  const auto start = std::chrono::steady_clock::now();
  std::thread waiter([&] { waited = Exchange(Port(), kStatusRequest, 8000).result; });
  ASSERT_TRUE(sim.WaitForRequests(1, 5000));
  EXPECT_EQ(0, RV270Api_CancelCustomProcess(Port(), 0));
  waiter.join();
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(IsUsb() ? -8 : -2, waited.load());  // broken off while awaiting the answer
  EXPECT_LT(took, std::chrono::milliseconds(6000));
  EXPECT_EQ(0, RV270Api_GetErrorCode());
  ASSERT_TRUE(sim.WaitForRequests(2, 3000));
  EXPECT_EQ((Bytes{0x50, 0x15}), sim.Requests()[1].payload);
  // The flag is back at 1: the next exchange waits as usual.
  sim.ScriptNext(Answer::Status(0x00, 0x00, 300));
  EXPECT_EQ(0, Exchange(Port(), kStatusRequest, 2000).result);
}

// ---- Serial link specifics ---------------------------------------------------------

class SerialLinkTest : public rv270test::SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    if (!SerialAvailable()) GTEST_SKIP() << "no serial port for the simulator";
  }
};

TEST_F(SerialLinkTest, ChannelSwitchBeforeTheRequest) {
  const struct {
    int selector;
    const char* letters;
  } kCases[] = {{'B', "B"}, {'Z', "K"}, {'0', ""}, {0, ""}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.selector);
    sim.ClearRecords();
    EXPECT_EQ(0, Exchange(rv270test::SerialPort(), kStatusRequest, 1000, c.selector).result);
    EXPECT_EQ(c.letters, sim.ChannelSwitches());
    Bytes expected;
    if (*c.letters) expected = {0x1B, 0x25, static_cast<uint8_t>(c.letters[0])};
    expected.insert(expected.end(), kStatusPacket.begin(), kStatusPacket.end());
    EXPECT_EQ(expected, sim.SerialBytes());
  }
}

TEST_F(SerialLinkTest, LineSettingsFollowTheLibrarySerialRate) {
  auto last = [&] {
    auto seen = sim.SerialSettingsSeen();
    return seen.empty() ? rv270sim::SerialSettings{} : seen.back();
  };
  EXPECT_EQ(0, Exchange(rv270test::SerialPort(), kStatusRequest).result);
  const std::vector<rv270sim::SerialSettings> seen = sim.SerialSettingsSeen();
  if (seen.empty()) GTEST_SKIP() << "line settings cannot be read on this system";
  EXPECT_EQ(9600, last().baud);
  EXPECT_EQ(8, last().dataBits);
  EXPECT_EQ('N', last().parity);
  EXPECT_EQ(1, last().stopBits);
  EXPECT_FALSE(last().rtsCts);
  EXPECT_EQ(0, RV270Api_SetBaud(0, 0, 0, 115200));
  EXPECT_EQ(0, Exchange(rv270test::SerialPort(), kStatusRequest).result);
  EXPECT_EQ(115200, last().baud);
  EXPECT_EQ(0, RV270Api_SetBaud(0, 0, 0, 0));  // 0 opens at 9600
  EXPECT_EQ(0, Exchange(rv270test::SerialPort(), kStatusRequest).result);
  EXPECT_EQ(9600, last().baud);
}

// The line that reports the failed open stays as it is; the operating system's reason
// follows on the next line.
TEST_F(SerialLinkTest, PortThatDoesNotExist) {
  rv270sim::SetProcessEnv("RV270_COM99", "/dev/rv270-no-such-port");
  EXPECT_EQ(-1, Exchange(99, kStatusRequest).result);
  rv270sim::SetProcessEnv("RV270_COM99", "");
  const std::vector<std::string> lines = LogLines();
  const int failed = LogFind("模式为串口，但无法打开串口99");
  ASSERT_GE(failed, 0);
  ASSERT_LT(static_cast<size_t>(failed) + 1, lines.size());
  EXPECT_NE(std::string::npos, lines[static_cast<size_t>(failed)].find("ERROR: 模式为串口，但无法打开串口99"));
  const std::string reason = lines[static_cast<size_t>(failed) + 1];
  EXPECT_NE(std::string::npos, reason.find("ERROR: os error 2: ")) << reason;  // no such file
  EXPECT_LT(reason.find("os error 2: ") + 12, reason.size()) << "the system's text follows the code";
}

// ---- Key inputs -------------------------------------------------------------------

const Bytes kKeyStart = {0x1B, 0x4B, 0x31};
const Bytes kKeyEnd = {0x1B, 0x4B, 0x30};

struct KeyRun {
  int result;
  std::string text;
  int length;
};

KeyRun ClearKey(int port, int mode, int timeoutMs = 1000) {
  Bytes start = kKeyStart, end = kKeyEnd;
  unsigned char text[128 + 16];
  memset(text, 0, sizeof(text));
  memset(text + 128, 0xEE, 16);
  int length = -1;
  const int r = RV270Api_Communication_ClearKey(port, 0, mode, start.data(), text, 3, &length, end.data(), 3, timeoutMs);
  for (int i = 128; i < 144; ++i) EXPECT_EQ(0xEE, text[i]);
  return {r, std::string(reinterpret_cast<char*>(text)), length};
}

KeyRun FramedKey(int port, int editFlag, int mode, int timeoutMs = 1000) {
  Bytes start = kKeyStart, end = kKeyEnd;
  unsigned char text[128] = {0};
  int length = -1;
  const int r = RV270Api_Communication_23Key(port, 0, mode, editFlag, start.data(), text, 3, &length, end.data(), 3,
                                             timeoutMs);
  return {r, std::string(reinterpret_cast<char*>(text)), length};
}

rv270sim::RawSend Keys(const std::string& keys) {
  rv270sim::RawSend send;
  send.chunks = rv270sim::KeyChunks(keys);
  return send;
}

class KeyInputTest : public rv270test::SimLinkTest {
 protected:
  // The start and the end sequence both reached the terminal.
  void ExpectStartAndEnd() {
    ASSERT_TRUE(sim.WaitUntil([&] { return sim.RawSequences().size() >= 2; }, 3000));
    const auto raw = sim.RawSequences();
    EXPECT_EQ(kKeyStart, raw.front().bytes);
    EXPECT_EQ(kKeyEnd, raw.back().bytes);
  }
  // On serial the framed key input reads a 12-byte answer to its end sequence.
  void AnswerEndSequence() {
    if (IsUsb()) return;
    rv270sim::RawSend send;
    send.chunks = {{0x02, 0x30, 0x30, 0x30, 0x32, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x03}};
    sim.ReplyToNextRawSequence(LinkUnderTest(), send);
  }
};
RV270_INSTANTIATE_LINKS(KeyInputTest);

TEST_P(KeyInputTest, PlainKeysAreEditedForBackspaces) {
  sim.ReplyToNextRawSequence(LinkUnderTest(), Keys("12\b3\r"));
  const KeyRun mode0 = ClearKey(Port(), 0);
  EXPECT_EQ(0, mode0.result);
  EXPECT_EQ("13", mode0.text);
  EXPECT_EQ(2, mode0.length);
  ExpectStartAndEnd();

  sim.ReplyToNextRawSequence(LinkUnderTest(), Keys("12\b3\r"));
  const KeyRun mode1 = ClearKey(Port(), 1);
  EXPECT_EQ(0, mode1.result);
  EXPECT_EQ("3", mode1.text);
  EXPECT_EQ(1, mode1.length);
}

// The caller's buffer holds exactly the edited text and a zero byte: characters that a
// backspace removed are not left behind after it, in any mode, on either key input.
TEST_P(KeyInputTest, EditedTextLeavesNothingBehind) {
  struct Case {
    int mode;
    const char* keys;
    const char* text;
  };
  const Case cases[] = {
      {0, "12\b\b9", "9"}, {0, "123\b", "12"}, {0, "\b\b7", "7"}, {1, "1234\b56", "56"}, {1, "12\b", ""},
  };
  size_t sequences = 0;  // start and end sequences so far: a reply is queued only after the last end arrived
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("mode ") + std::to_string(c.mode) + " keys " + c.keys);
    unsigned char text[160];
    int length = -1;
    Bytes start = kKeyStart, end = kKeyEnd;

    memset(text, 0, sizeof(text));
    sim.ReplyToNextRawSequence(LinkUnderTest(), Keys(std::string(c.keys) + "\r"));
    EXPECT_EQ(0, RV270Api_Communication_ClearKey(Port(), 0, c.mode, start.data(), text, 3, &length, end.data(), 3,
                                                 1000));
    EXPECT_EQ(std::string(c.text), std::string(reinterpret_cast<char*>(text)));
    EXPECT_EQ(static_cast<int>(strlen(c.text)), length);
    EXPECT_EQ(Bytes(sizeof(text) - strlen(c.text), 0), Bytes(text + strlen(c.text), text + sizeof(text)));
    ASSERT_TRUE(sim.WaitForRawSequences(sequences += 2));

    // The framed key input edits the same way; its buffer comes in dirty here, and
    // the text must still end with a zero byte.
    memset(text, 0xEE, sizeof(text));
    rv270sim::RawSend framed;
    if (IsUsb()) {
      framed.chunks = {rv270sim::FramedKeyChunk(c.keys)};
    } else {
      framed.chunks = {Bytes{0x02}};
      for (const char* k = c.keys; *k; ++k) framed.chunks[0].push_back(static_cast<uint8_t>(*k));
      framed.chunks[0].push_back(0x03);
    }
    sim.ReplyToNextRawSequence(LinkUnderTest(), framed);
    AnswerEndSequence();
    if (IsUsb()) {
      rv270sim::RawSend ack;  // the report the USB run reads after its end sequence
      ack.chunks = {Bytes{0x00}};
      sim.ReplyToNextRawSequence(LinkUnderTest(), ack);
    }
    EXPECT_EQ(0, RV270Api_Communication_23Key(Port(), 0, c.mode, 1, start.data(), text, 3, &length, end.data(), 3,
                                              1000));
    EXPECT_EQ(std::string(c.text), std::string(reinterpret_cast<char*>(text)));
    EXPECT_EQ(static_cast<int>(strlen(c.text)), length);
    EXPECT_EQ(0xEE, text[strlen(c.text) + 1]);  // nothing written past the zero byte
    ASSERT_TRUE(sim.WaitForRawSequences(sequences += 2));
  }
}

TEST_P(KeyInputTest, PlainKeyFailuresStillEndTheInputMode) {
  sim.ReplyToNextRawSequence(LinkUnderTest(), Keys("\xAA\r"));
  EXPECT_EQ(-2, ClearKey(Port(), 0).result);  // the terminal's own entry time ran out
  ExpectStartAndEnd();

  sim.ClearRecords();
  EXPECT_EQ(-2, ClearKey(Port(), 0, 300).result);  // no key at all
  ExpectStartAndEnd();

  sim.ClearRecords();
  sim.ReplyToNextRawSequence(LinkUnderTest(), Keys(std::string(200, '7') + "\r"));
  const KeyRun tooMany = ClearKey(Port(), 0);  // more keys than the 127 a run keeps
  EXPECT_EQ(-2, tooMany.result);
  EXPECT_EQ("", tooMany.text);
  ExpectStartAndEnd();
}

TEST_P(KeyInputTest, FramedKeys) {
  rv270sim::RawSend framed;
  if (IsUsb()) {
    framed.chunks = {rv270sim::FramedKeyChunk("56")};
  } else {
    framed.chunks = {{0x02, '5', '6', 0x03}};
  }
  sim.ReplyToNextRawSequence(LinkUnderTest(), framed);
  AnswerEndSequence();
  const KeyRun plain = FramedKey(Port(), 0, 0);
  EXPECT_EQ(0, plain.result);
  EXPECT_EQ("56", plain.text);
  EXPECT_EQ(2, plain.length);
  ExpectStartAndEnd();

  sim.ClearRecords();
  if (!IsUsb()) sim.ReplyToNextRawSequence(LinkUnderTest(), rv270sim::RawSend{});  // silence after the start
  AnswerEndSequence();
  EXPECT_EQ(-2, FramedKey(Port(), 0, 0, 300).result);  // no answer: still ends the input mode
  ExpectStartAndEnd();
}

TEST_F(UsbLinkTest, FramedKeyReportWithoutEndLeavesTheTextAlone) {
  rv270sim::RawSend open;
  open.chunks = {{0x02, '5', '6'}};
  sim.ReplyToNextRawSequence(Link::kUsb, open);
  const KeyRun run = FramedKey(0, 0, 0);
  EXPECT_EQ(0, run.result);
  EXPECT_EQ("", run.text);
  EXPECT_EQ(-1, run.length);
}

}  // namespace
