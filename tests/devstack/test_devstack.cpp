// The shipped library's real Linux HID backend (RV270_SIM unset) against emulated
// terminals at the kernel's hidraw interface: the device search through sysfs, the node
// ioctls and feature reports, reads with poll, transfers at the report rate, cancels,
// unplugging, and reads that come short or fail. The reports go on to the simulator, so
// the wire bytes, results, last errors and log lines are checked as in the family tests.
// Runs under umockdev's preload library (ctest sets LD_PRELOAD).
#include <gtest/gtest.h>
#include <dirent.h>
#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "QornRV270API.h"
#include "devstack/hidraw_terminal.h"
#include "rv270sim/host.h"
#include "support/outcome_rows.h"

namespace {

namespace fs = std::filesystem;
using rv270devstack::DeviceSpec;
using rv270devstack::TerminalBed;
using rv270sim::Answer;
using rv270sim::Bytes;
using namespace rv270test;
using Clock = std::chrono::steady_clock;

const Bytes kStatusRequest = {0x50, 0x01};
const Bytes kStatusPacket = {0x02, 0x30, 0x30, 0x30, 0x32, 0x35, 0x30, 0x30, 0x31, 0x35, 0x31, 0x03};
// One wait step of a read is 200 ms; a call that notices a gone terminal within a step,
// with room for a loaded machine.
constexpr long kWithinAStepMs = 1500;

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

class DevstackTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    rv270sim::SetProcessEnv("RV270_SIM", "");  // the real HID stack
    bed_.reset(new TerminalBed);
  }
  void TearDown() override {
    bed_.reset();
    SimTest::TearDown();
  }

  // Plugs a device bridged to this test's simulator; its hidraw number.
  int Plug(uint16_t vid = 0x4B7E, uint16_t pid = 0x0001, bool openable = true) {
    DeviceSpec spec;
    spec.vendorId = vid;
    spec.productId = pid;
    spec.openable = openable;
    spec.simAddress = sim.UsbAddress();
    const int n = bed_->Plug(spec);
    EXPECT_GE(n, 0);
    char target[256] = {0};
    const std::string node = bed_->RootDir() + "/dev/hidraw" + std::to_string(n);
    if (readlink(node.c_str(), target, sizeof(target) - 1) > 0) terminals_[n] = target;
    return n;
  }

  // Descriptors of this process open on the node's terminal, and the node's own count
  // of opens not closed.
  void ExpectNoHandleOpen(int n) {
    const std::string terminal = terminals_[n];
    ASSERT_FALSE(terminal.empty());
    int open = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
      while (dirent* e = readdir(dir)) {
        char target[256] = {0};
        const std::string link = std::string("/proc/self/fd/") + e->d_name;
        if (readlink(link.c_str(), target, sizeof(target) - 1) > 0 && terminal == target) ++open;
      }
      closedir(dir);
    }
    EXPECT_EQ(open, 0) << "descriptors still open on " << terminal;
    // The node learns of a close a moment after it.
    for (int i = 0; i < 100 && bed_->OpenClients(n) > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(bed_->OpenClients(n), 0);
    // A simulator pacing a download notices a closed link once the block's time is over.
    EXPECT_TRUE(sim.WaitForNoOpenLinks(8000)) << "links still open: " << sim.LinksOpenNow();
  }

  void ExpectStatusWorks() {
    const Exchanged e = Exchange(kStatusRequest);
    EXPECT_EQ(e.result, 0);
    EXPECT_EQ(e.response, (Bytes{0x00, 0x00}));
  }

  std::unique_ptr<TerminalBed> bed_;
  std::map<int, std::string> terminals_;
};

// The device search walks the hidraw nodes in number order and reads the ids from sysfs;
// the link then opens the node that matched, or falls back to sysfs for a node it may
// not open.
TEST_F(DevstackTest, DeviceSearchThroughSysfs) {
  struct Node {
    uint16_t vid, pid;
    bool openable;
  };
  const struct {
    const char* what;
    int others;  // devices of another maker plugged first
    std::vector<Node> nodes;
    int found;
    const char* vid;
    const char* pid;
    int exchange;  // the status exchange's result
  } kCases[] = {
      {"no hidraw class at all", 0, {}, 0, "", "", -1},
      {"a device that matches no entry", 1, {}, 0, "", "", -1},
      {"two candidates: the first node wins whatever the table order", 0,
       {{0x10C4, 0xEA81, true}, {0x4B7E, 0x0001, true}}, 1, "10C4", "EA81", 0},
      {"a bridge id", 1, {{0x10C4, 0xEA80, true}}, 1, "10C4", "EA80", 0},
      {"the terminal after another candidate was last found", 0, {{0x4B7E, 0x0001, true}}, 1, "4B7E", "0001", 0},
      {"a node that cannot be opened", 0, {{0x4B7E, 0x0006, false}}, 1, "4B7E", "0006", -3},
      // The search sees every device; the link looks at the first 20 HID interfaces only.
      {"the terminal as the 21st node", 20, {{0x4B7E, 0x0001, true}}, 1, "4B7E", "0001", -1},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    bed_.reset();
    bed_.reset(new TerminalBed);
    for (int i = 0; i < c.others; ++i) Plug(0x0461, static_cast<uint16_t>(0x4D15 + i));
    for (const Node& n : c.nodes) Plug(n.vid, n.pid, n.openable);
    EXPECT_EQ(fs::exists(bed_->RootDir() + "/sys/class/hidraw"), c.others > 0 || !c.nodes.empty());
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
      EXPECT_EQ(sim.LinksOpened(), 0);
    }
    if (c.exchange == -1) {
      EXPECT_GE(LogFind("打开端口失败!", from), 0);
    }
    // Matched through sysfs (the report lengths from its report descriptor there),
    // refused by the node: its reports fail with the reason.
    if (c.exchange == -3) {
      EXPECT_GE(LogFind("CommuniSize = 64", from), 0);
      EXPECT_GE(LogFind("os error 13: Permission denied", from), 0);
    }
  }
}

// Requests go out as 65-byte writes (report id 0 first), answers of one and several
// reports come back through poll and read, the 64-byte bridge gets its configuration
// as feature reports, and no handle stays open after the exchange.
TEST_F(DevstackTest, ExchangesOverTheNode) {
  const int n = Plug();
  ExpectStatusWorks();
  ASSERT_EQ(sim.OutputReports().size(), 1u);
  Bytes report(65, 0);
  std::copy(kStatusPacket.begin(), kStatusPacket.end(), report.begin() + 1);
  EXPECT_EQ(sim.OutputReports()[0], report);
  EXPECT_TRUE(LogHas("CommuniSize = 64") || LogHas("Link2 CommuniSize = 64"));

  const auto features = sim.FeatureReports();
  const struct {
    bool set;
    Bytes start;
  } kExpected[] = {{false, {0x46}}, {true, {0x41, 0x01}}, {false, {0x46}},
                   {true, {0x50, 0x00, 0x01, 0xC2, 0x00, 0x00, 0x00, 0x03, 0x00}},
                   {false, {0x50}}, {false, {0x66}}, {false, {0x44}}};
  ASSERT_EQ(features.size(), 7u);
  for (size_t i = 0; i < features.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(features[i].set, kExpected[i].set);
    ASSERT_GE(features[i].report.size(), kExpected[i].start.size());
    EXPECT_EQ(Bytes(features[i].report.begin(), features[i].report.begin() + kExpected[i].start.size()),
              kExpected[i].start);
    if (kExpected[i].set) {
      EXPECT_EQ(features[i].report.size(), 64u);
    } else {
      EXPECT_EQ(features[i].wantedLength, 64u);
    }
  }
  ExpectNoHandleOpen(n);

  // Answers of one, two, three and many reports.
  for (size_t L : {28u, 29u, 61u, 1000u}) {
    SCOPED_TRACE(L);
    const Bytes data = Pattern(L - 2);
    sim.ScriptNext(Answer::Done(data));
    const Exchanged e = Exchange(kStatusRequest, 2000);
    EXPECT_EQ(e.result, 0);
    EXPECT_EQ(e.response, B({0x00, 0x00}) + data);
  }
  ExpectNoHandleOpen(n);
}

// A device with 32-byte reports: its report descriptor read through the node gives
// 33-byte reports with the id byte, and no bridge to configure.
TEST_F(DevstackTest, A32ByteDeviceGetsNoFeatureReportsAndSmallerReports) {
  rv270sim::DeviceRecord small;
  small.inputReportLength = small.outputReportLength = small.featureReportLength = 33;
  sim.SetDevices({small});
  DeviceSpec spec;
  spec.descriptor = rv270devstack::TerminalReportDescriptor(32);
  spec.simAddress = sim.UsbAddress();
  ASSERT_GE(bed_->Plug(spec), 0);
  const Bytes data = Pattern(20);
  sim.ScriptNext(Answer::Done(data));  // 52-byte packets each way: two reports
  const Exchanged e = Exchange(kStatusRequest + data);
  EXPECT_EQ(e.result, 0);
  EXPECT_EQ(e.response, B({0x00, 0x00}) + data);
  EXPECT_TRUE(sim.FeatureReports().empty());
  ASSERT_EQ(sim.OutputReports().size(), 2u);
  EXPECT_EQ(sim.OutputReports()[0].size(), 33u);
  EXPECT_TRUE(LogHas("CommuniSize = 32"));
}

// A block download and an upload with the terminal holding the link to one report per
// millisecond, the download's block sent twice on the terminal's request.
TEST_F(DevstackTest, BlockDownloadAndUploadAtTheReportRateWithAResend) {
  const fs::path dir = FreshTestFolder("devstack");
  const int n = Plug();
  const Bytes content = Pattern(96 * 1024 + 17);
  const fs::path path = dir / "paced.jpg";
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
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
  // The library read the reports as fast as the terminal sent them: none found the
  // node's 64-report queue full.
  EXPECT_EQ(bed_->DroppedReports(n), 0u);
  ExpectNoHandleOpen(n);
  fs::remove_all(dir);
}

// A cancel from a second thread breaks off a call waiting on the node for the customer,
// whether it comes as the call starts or while the call waits; the cancel's own link
// opens the node beside the waiting one.
TEST_F(DevstackTest, CancelInTheMiddleOfAWaitAndAtTheStartOfACall) {
  const int n = Plug();
  sim.EditState([](rv270sim::DeviceState& s) { s.breakOffAnswer.clear(); });
  const struct {
    const char* when;
    bool afterTheRequest;  // else after the call's start line
    int delayMs;
  } kMoments[] = {{"as the call starts", false, 0}, {"15 ms into the call", false, 15},
                  {"while the call waits", true, 300}};
  for (const auto& m : kMoments) {
    SCOPED_TRACE(m.when);
    sim.ClearRecords();
    // The customer would answer "yes" (1) after 3 s: a call that returns 1 lost the cancel.
    sim.SetCustomerOutcome(B({0x00, 0x00, 0x01}), 3000);
    sim.ScriptNext(0x50, 0x15, Answer::Handler(600));
    const size_t from = LogLines().size();
    std::pair<int, int> outcome{0, 0};  // result, last error
    std::thread waiting([&] {
      outcome.first = RV270Api_ShowInfo(kUsbPort, 0, 1, "Q", 0, nullptr, 5);
      outcome.second = RV270Api_GetErrorCode();
    });
    if (m.afterTheRequest) {
      ASSERT_TRUE(sim.WaitForRequests(1));
    } else {
      while (LogFind("RV270Api_ShowInfo start", from) < 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(m.delayMs));
    const auto cancelled = Clock::now();
    EXPECT_EQ(RV270Api_CancelCustomProcess(kUsbPort, 0), 0);
    waiting.join();
    EXPECT_LT(MsSince(cancelled), 2500) << "the call waited for the customer";
    EXPECT_EQ(outcome, std::make_pair(2, 121));
    EXPECT_TRUE(sim.WaitForNoOpenLinks(8000)) << "links still open: " << sim.LinksOpenNow();
    sim.ClearScripts();
  }
  ExpectNoHandleOpen(n);
}

// The terminal unplugged while a call waits for its answer and while a download flows:
// the node hangs up and goes, the call fails within a wait step, nothing stays open, and
// once a terminal is back (a new node) the next call works.
TEST_F(DevstackTest, UnpluggedInTheMiddleOfAWaitAndOfATransfer) {
  const fs::path dir = FreshTestFolder("devstack");
  const Bytes content = Pattern(200 * 1024);
  const fs::path path = dir / "gone.jpg";
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
  int n = Plug();
  for (bool transfer : {false, true}) {
    SCOPED_TRACE(transfer ? "download" : "waiting for an answer");
    sim.ClearRecords();
    sim.SetLinePacing(transfer);
    if (!transfer) sim.ScriptNext(Answer::None());
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
    ASSERT_TRUE(bed_->Unplug(n));
    caller.join();
    EXPECT_LT(MsSince(unplugged), kWithinAStepMs) << "the call waited for a terminal that was gone";
    EXPECT_LT(result.load(), 0);
    {
      SCOPED_TRACE("after the unplug");
      ExpectNoHandleOpen(n);
    }
    EXPECT_FALSE(fs::exists(bed_->RootDir() + "/dev/hidraw" + std::to_string(n)));

    EXPECT_LT(Exchange(kStatusRequest).result, 0);  // still away
    sim.SetLinePacing(false);
    n = Plug();
    ExpectStatusWorks();
    EXPECT_EQ(RV270Api_SaveFileSingle(kUsbPort, 0, 1, "after.jpg", 9, path.string().c_str()), 0);
    ExpectNoHandleOpen(n);
  }
  fs::remove_all(dir);
}

// hidraw hands out a report as short as the device sent it (the rest of the report is
// zeros to the library), and a read can fail with an error of the system, which the log
// names.
TEST_F(DevstackTest, ShortReportsAndFailedReads) {
  const int n = Plug();
  bed_->ShortenNextRead(n, kStatusPacket.size());  // the whole packet, nothing after it
  ExpectStatusWorks();
  // A packet cut before its check and end marker reads as the same packet cut short by
  // the terminal in a whole report (zeros after it).
  bed_->ShortenNextRead(n, 6);
  const Exchanged shortRead = Exchange(kStatusRequest, 400);
  Answer cut = Answer::Status(0x00, 0x00);
  cut.faults.truncateTo = 6;
  sim.ScriptNext(cut);
  const Exchanged cutPacket = Exchange(kStatusRequest, 400);
  EXPECT_EQ(shortRead.result, cutPacket.result);
  EXPECT_EQ(shortRead.response, cutPacket.response);
  ExpectStatusWorks();

  sim.ClearRecords();
  sim.ScriptNext(Answer::Status(0x00, 0x00, 500));
  const size_t from = LogLines().size();
  std::atomic<int> result{1};
  std::thread caller([&] { result = Exchange(kStatusRequest, 3000).result; });
  ASSERT_TRUE(sim.WaitForRequests(1));
  bed_->FailNextRead(n, EIO);
  caller.join();
  EXPECT_EQ(result.load(), -9);
  EXPECT_GE(LogFind("BytesRead==-1", from), 0);
  EXPECT_GE(LogFind("os error 5: Input/output error", from), 0);
  ExpectNoHandleOpen(n);
  ExpectStatusWorks();
}

}  // namespace
