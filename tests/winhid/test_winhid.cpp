// The DLL's own Windows HID code under Wine's HID class stack: the device setup lists,
// HidD_* attributes, capabilities and feature reports, CreateFile, the overlapped read
// with its event, CancelIoEx and the input report queue, and the device search on top of
// them. Wine's bus driver reads emulated terminals at the Linux hidraw interface, which
// rv270-hidraw-terminal (tests/devstack) plugs in on request and bridges to this test's
// simulator, so the wire bytes, results, last errors and log lines are checked as in the
// family tests. Run by tests/winhid/run.sh (RV270_SIM unset: the real HID stack).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "QornRV270API.h"
#include "rv270sim/host.h"
#include "support/outcome_rows.h"
#include "support/sim_fixture.h"
#include "winhid/winhid_bed.h"

namespace {

namespace fs = std::filesystem;
using rv270sim::Answer;
using rv270sim::Bytes;
using namespace rv270test;
using namespace rv270winhid;
using Clock = std::chrono::steady_clock;

const Bytes kStatusRequest = {0x50, 0x01};
const Bytes kStatusPacket = {0x02, 0x30, 0x30, 0x30, 0x32, 0x35, 0x30, 0x30, 0x31, 0x35, 0x31, 0x03};
// One wait step of a read is 200 ms; a call that notices a gone terminal within a step,
// with room for a loaded machine and Wine's removal of the device.
constexpr long kWithinAStepMs = 1500;
// A device record the simulator refuses to open: a terminal bridged to it fails every
// report, so an exchange that works went to the other terminal.
constexpr int kRefusedRecord = 9;

long MsSince(Clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

Bytes Pattern(size_t size) {
  Bytes b(size);
  for (size_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>((i * 31 + (i >> 9)) & 0xFF);
  return b;
}

struct Exchanged {
  int result;
  Bytes response;
};

Exchanged Exchange(const Bytes& request, int timeoutMs = 1000) {
  std::vector<unsigned char> response(4096, 0);
  std::vector<unsigned char> copy(request.begin(), request.end());
  int length = -1;
  const int result = RV270Api_Communication(kUsbPort, 0, copy.data(), response.data(),
                                            static_cast<int>(copy.size()), &length, timeoutMs);
  Exchanged e{result, {}};
  if (result == 0 && length >= 0) e.response.assign(response.begin(), response.begin() + length);
  return e;
}

void WriteBytes(const fs::path& path, const Bytes& content) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
}

struct Terminal {
  unsigned vid = 0x4B7E;
  unsigned pid = 0x0001;
  int record = 0;
  bool denied = false;
};

std::string HidId(const Terminal& t) {
  char id[24];
  std::snprintf(id, sizeof(id), "VID_%04X&PID_%04X", t.vid, t.pid);
  return id;
}

class WinHidTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    rv270sim::SetProcessEnv("RV270_SIM", "");  // the real HID stack
    ASSERT_TRUE(UnplugAllTerminals()) << "no emulated terminals: run this program through tests/winhid/run.sh";
    ASSERT_TRUE(WaitForHidIds({}));
    ASSERT_GE(ForgetUnpluggedTerminals(), 0);
  }
  void TearDown() override {
    UnplugAllTerminals();
    WaitForHidIds({});
    SimTest::TearDown();
  }

  // Plugs terminals bridged to this test's simulator and waits until Wine lists them
  // (a denied node never becomes a HID device); their node numbers.
  std::vector<int> Plug(const std::vector<Terminal>& terminals) {
    std::vector<int> nodes;
    std::vector<std::string> ids;
    for (const Terminal& t : terminals) {
      nodes.push_back(PlugTerminal(t.vid, t.pid, t.record, sim.UsbAddress(), t.denied));
      EXPECT_GE(nodes.back(), 0);
      if (!t.denied) ids.push_back(HidId(t));
    }
    EXPECT_TRUE(WaitForHidIds(ids)) << "Wine did not list the plugged terminals";
    return nodes;
  }
  int PlugOne() { return Plug({Terminal()})[0]; }

  // No handle of this process stays open on a HID device.
  static void ExpectNoHandleOpen() { EXPECT_EQ(OpenHidHandles(), 0); }

  void ExpectStatusWorks() {
    const Exchanged e = Exchange(kStatusRequest);
    EXPECT_EQ(e.result, 0);
    EXPECT_EQ(e.response, (Bytes{0x00, 0x00}));
  }
};

// The device search walks the device setup services' list of every class in its order
// (Wine's: by instance id) and matches the HID class hardware ids against the table; the
// link then opens the interface whose attributes match.
TEST_F(WinHidTest, DeviceSearchThroughTheDeviceSetupServices) {
  const struct {
    const char* what;
    std::vector<Terminal> terminals;
    int found;
    const char* vid;
    const char* pid;
    int exchange;  // the status exchange's result
  } kCases[] = {
      {"no terminal: Wine's own HID devices match no entry", {}, 0, "", "", -1},
      {"a device that matches no entry", {{0x1234, 0x5678, 0, false}}, 0, "", "", -1},
      {"two candidates: the first in the list wins whatever the table order",
       {{0x4B7E, 0x0006, kRefusedRecord, false}, {0x10C4, 0xEA81, 0, false}}, 1, "10C4", "EA81", 0},
      {"a bridge id", {{0x0461, 0x4D15, kRefusedRecord, false}, {0x10C4, 0xEA80, 0, false}}, 1, "10C4", "EA80", 0},
      {"the terminal after another candidate was last found", {{0x4B7E, 0x0001, 0, false}}, 1, "4B7E", "0001", 0},
      // Wine's bus driver opens the node itself; one it cannot open never becomes a
      // HID device, so the search does not see it.
      {"a node that cannot be opened", {{0x4B7E, 0x0006, 0, true}}, 0, "", "", -1},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(UnplugAllTerminals());
    ASSERT_TRUE(WaitForHidIds({}));
    ASSERT_GE(ForgetUnpluggedTerminals(), 0);
    Plug(c.terminals);
    sim.ClearRecords();
    const size_t from = LogLines().size();
    char pid[8] = {0};
    char vid[8] = {0};
    EXPECT_EQ(RV270Api_GetPidVid(pid, vid), c.found);
    EXPECT_STREQ(vid, c.vid);
    EXPECT_STREQ(pid, c.pid);
    if (c.found == 0) {
      EXPECT_GE(LogFind("no pidvid!", from), 0);
    }
    EXPECT_EQ(Exchange(kStatusRequest).result, c.exchange);
    if (c.exchange == 0) {
      ASSERT_EQ(sim.Requests().size(), 1u);
      EXPECT_EQ(sim.Requests()[0].payload, kStatusRequest);
    } else {
      EXPECT_TRUE(sim.Requests().empty());
      EXPECT_GE(LogFind("打开端口失败!", from), 0);
    }
    ExpectNoHandleOpen();
  }
}

// Requests go out as 65-byte output reports (report id 0 first) through the write
// handle, answers of one and several reports come back through the overlapped read, and
// no handle stays open after an exchange.
TEST_F(WinHidTest, ExchangesOverTheHidStack) {
  PlugOne();
  ExpectStatusWorks();
  ASSERT_EQ(sim.OutputReports().size(), 1u);
  Bytes report(65, 0);
  std::copy(kStatusPacket.begin(), kStatusPacket.end(), report.begin() + 1);
  EXPECT_EQ(sim.OutputReports()[0], report);
  EXPECT_TRUE(LogHas("CommuniSize = 64") || LogHas("Link2 CommuniSize = 64"));

  // The library configures the 64-byte bridge with 64-byte feature report buffers on the
  // attribute handle; the terminal's feature report is 65 bytes with its (absent) id
  // byte, so the class driver refuses each of them, the failures are ignored and nothing
  // reaches the terminal, and the exchange goes on.
  EXPECT_TRUE(sim.FeatureReports().empty());
  ExpectNoHandleOpen();

  // Answers of one, two, three and many reports.
  for (size_t L : {28u, 29u, 61u, 1000u}) {
    SCOPED_TRACE(L);
    const Bytes data = Pattern(L - 2);
    sim.ScriptNext(Answer::Done(data));
    const Exchanged e = Exchange(kStatusRequest, 2000);
    EXPECT_EQ(e.result, 0);
    EXPECT_EQ(e.response, B({0x00, 0x00}) + data);
  }
  ExpectNoHandleOpen();
}

// A block download and an upload with the terminal holding the link to one report per
// millisecond, the download's block sent twice on the terminal's request; the upload's
// reports wait in the class driver's input queue while the library writes the file.
TEST_F(WinHidTest, BlockDownloadAndUploadAtTheReportRateWithAResend) {
  const fs::path dir = FreshTestFolder("winhid");
  PlugOne();
  const Bytes content = Pattern(96 * 1024 + 17);
  const fs::path path = dir / "paced.jpg";
  WriteBytes(path, content);
  sim.SetLinePacing(true);
  rv270sim::TransferFaults faults;
  faults.resendBlock = 0;
  sim.SetTransferFaults(faults);
  EXPECT_EQ(RV270Api_SaveFileSingle(kUsbPort, 0, 0, "", 9, path.string().c_str()), 0);
  const auto state = sim.State();
  auto stored = state.files.find({9, "paced.jpg"});
  ASSERT_NE(stored, state.files.end());
  EXPECT_EQ(stored->second.content, content);
  EXPECT_GE(sim.DataReportCount(), 2 * ((content.size() + 63) / 64)) << "the block was not sent again";

  const fs::path back = dir / "back.jpg";
  EXPECT_EQ(RV270Api_UploadFilesToPc(kUsbPort, 0, 0, back.string().c_str(), 9, "paced.jpg", 30, nullptr, nullptr), 0);
  std::ifstream in(back, std::ios::binary);
  EXPECT_EQ(Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()), content);
  in.close();
  ExpectNoHandleOpen();
  fs::remove_all(dir);
}

// A cancel from a second thread breaks off a read waiting on the overlapped read, and
// one that comes as a call starts breaks off that call's wait.
TEST_F(WinHidTest, CancelInTheMiddleOfAWaitAndAtTheStartOfACall) {
  PlugOne();
  sim.ScriptNext(Answer::None());
  std::atomic<int> waited{1};
  const auto start = Clock::now();
  std::thread waiter([&] { waited = Exchange(kStatusRequest, 8000).result; });
  ASSERT_TRUE(sim.WaitForRequests(1, 5000));
  EXPECT_EQ(RV270Api_CancelCustomProcess(kUsbPort, 0), 0);
  waiter.join();
  EXPECT_EQ(waited.load(), -8);
  EXPECT_LT(MsSince(start), 6000);
  EXPECT_EQ(RV270Api_GetErrorCode(), 0);
  ASSERT_TRUE(sim.WaitForRequests(2, 3000));
  EXPECT_EQ(sim.Requests()[1].payload, (Bytes{0x50, 0x15}));
  ExpectNoHandleOpen();

  sim.EditState([](rv270sim::DeviceState& s) { s.breakOffAnswer.clear(); });
  for (int delayMs : {0, 15}) {
    SCOPED_TRACE(delayMs);
    // The customer would answer "yes" (1) after 3 s: a call that returns 1 lost the cancel.
    sim.SetCustomerOutcome(B({0x00, 0x00, 0x01}), 3000);
    sim.ScriptNext(0x50, 0x15, Answer::Handler(600));
    int ret = 0;
    int error = 0;
    const size_t from = LogLines().size();
    std::thread waiting([&] {
      ret = RV270Api_ShowInfo(kUsbPort, 0, 1, "Q", 0, nullptr, 5);
      error = RV270Api_GetErrorCode();
    });
    while (LogFind("RV270Api_ShowInfo start", from) < 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    EXPECT_EQ(RV270Api_CancelCustomProcess(kUsbPort, 0), 0);
    waiting.join();
    EXPECT_EQ(ret, 2);
    EXPECT_EQ(error, 121);
    sim.ClearScripts();
    ExpectNoHandleOpen();
  }
  ExpectStatusWorks();
}

// The terminal unplugged while a call waits for its answer and while a download flows:
// Wine removes the device, the pending read and the writes fail, the call fails within
// a wait step, no handle stays open, and once the terminal is back the next call works.
TEST_F(WinHidTest, UnpluggedInTheMiddleOfAWaitAndOfATransfer) {
  const fs::path dir = FreshTestFolder("winhid");
  const Bytes content = Pattern(200 * 1024);
  const fs::path path = dir / "gone.jpg";
  WriteBytes(path, content);
  int n = PlugOne();
  for (bool transfer : {false, true}) {
    SCOPED_TRACE(transfer ? "download" : "waiting for an answer");
    sim.ClearRecords();
    sim.SetLinePacing(transfer);
    if (!transfer) sim.ScriptNext(Answer::None());
    const size_t from = LogLines().size();
    std::atomic<int> result{1};
    std::thread caller([&] {
      result = transfer ? RV270Api_SaveFileSingle(kUsbPort, 0, 0, "", 9, path.string().c_str())
                        : Exchange(kStatusRequest, 20000).result;
    });
    const bool flowing = transfer ? sim.WaitUntil([&] { return sim.DataReportCount() > 300; }, 20000)
                                  : sim.WaitForRequests(1);
    EXPECT_TRUE(flowing);
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    const auto unplugged = Clock::now();
    ASSERT_TRUE(UnplugTerminal(n));
    caller.join();
    EXPECT_LT(MsSince(unplugged), kWithinAStepMs) << "the call waited for a terminal that was gone";
    EXPECT_LT(result.load(), 0);
    // A read broken off by the removal: the system's reason is in the log.
    if (!transfer) {
      EXPECT_GE(LogFind("os error", from), 0);
    }
    {
      SCOPED_TRACE("after the unplug");
      ExpectNoHandleOpen();
    }
    EXPECT_TRUE(WaitForHidIds({}));
    EXPECT_LT(Exchange(kStatusRequest).result, 0);  // still away
    sim.SetLinePacing(false);
    n = PlugOne();
    ExpectStatusWorks();
    EXPECT_EQ(RV270Api_SaveFileSingle(kUsbPort, 0, 1, "after.jpg", 9, path.string().c_str()), 0);
    ExpectNoHandleOpen();
  }
  fs::remove_all(dir);
}

// Reads of the node that come short or fail. The HID class driver drops an input report
// shorter than the device's input report length, so the answer is lost: the exchange
// ends as one the terminal did not answer, and the next one starts clean. Wine's bus
// driver reads the node again after a failed read, so a node's read error never reaches
// the class driver's readers (the DLL's own failed reads come with an unplugged
// terminal, above).
TEST_F(WinHidTest, ShortReportsAndFailedReads) {
  const int n = PlugOne();
  ExpectStatusWorks();
  sim.ScriptNext(Answer::None());
  const Exchanged silent = Exchange(kStatusRequest, 400);
  EXPECT_LT(silent.result, 0);
  for (size_t length : {kStatusPacket.size(), size_t{6}}) {
    SCOPED_TRACE(length);
    ASSERT_EQ(BedCommand("short-read " + std::to_string(n) + " " + std::to_string(length)), "ok");
    const Exchanged shortRead = Exchange(kStatusRequest, 400);
    EXPECT_EQ(shortRead.result, silent.result);
    EXPECT_TRUE(shortRead.response.empty());
    ExpectStatusWorks();
  }

  ASSERT_EQ(BedCommand("fail-read " + std::to_string(n) + " 5"), "ok");
  ExpectStatusWorks();
  ExpectNoHandleOpen();
}

}  // namespace
