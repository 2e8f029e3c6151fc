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
#include <vector>

#include "QornRV270API.h"
#include "devstack/hidraw_terminal.h"
#include "devstack/stack_cases.h"
#include "rv270sim/host.h"

namespace {

namespace fs = std::filesystem;
using rv270devstack::DeviceSpec;
using rv270devstack::TerminalBed;
using rv270sim::Answer;
using rv270sim::Bytes;
using namespace rv270test;

class DevstackTest : public StackTest {
 protected:
  void SetUp() override {
    StackTest::SetUp();
    rv270sim::SetProcessEnv("RV270_SIM", "");  // the real HID stack
    bed_.reset(new TerminalBed);
  }
  void TearDown() override {
    bed_.reset();
    StackTest::TearDown();
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
  int PlugTerminal() override { return Plug(); }
  bool UnplugTerminal(int n) override { return bed_->Unplug(n); }
  void ExpectUnplugSeen(int n, size_t, bool) override {
    EXPECT_FALSE(fs::exists(bed_->RootDir() + "/dev/hidraw" + std::to_string(n)));
  }

  void ExpectNoHandleOpen(int n) override {
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
  // Twenty devices that match no entry, then the terminal.
  const auto terminalAsTheTwentyFirst = [] {
    std::vector<Node> nodes(20, Node{0x1234, 0x5678, true});
    nodes.push_back(Node{0x4B7E, 0x0001, true});
    return nodes;
  };
  const struct {
    const char* what;
    std::vector<Node> nodes;
    SearchOutcome outcome;
  } kCases[] = {
      {"no hidraw class at all", {}, {0, "", "", -1}},
      {"a device that matches no entry", {{0x1234, 0x5678, true}}, {0, "", "", -1}},
      {"two candidates: the first node wins whatever the table order",
       {{0x10C4, 0xEA81, true}, {0x4B7E, 0x0001, true}}, {1, "10C4", "EA81", 0}},
      {"a bridge id", {{0x0461, 0x4D15, true}, {0x10C4, 0xEA80, true}}, {1, "10C4", "EA80", 0}},
      {"the terminal after another candidate was last found", {{0x4B7E, 0x0001, true}}, {1, "4B7E", "0001", 0}},
      {"a node that cannot be opened", {{0x4B7E, 0x0006, false}}, {1, "4B7E", "0006", -3}},
      // The search sees every device; the link looks at the first 20 HID interfaces only.
      {"the terminal as the 21st node", terminalAsTheTwentyFirst(), {1, "4B7E", "0001", -1}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    bed_.reset();
    bed_.reset(new TerminalBed);
    for (const Node& n : c.nodes) Plug(n.vid, n.pid, n.openable);
    EXPECT_EQ(fs::exists(bed_->RootDir() + "/sys/class/hidraw"), !c.nodes.empty());
    const size_t from = CheckSearchAndExchange(c.outcome);
    if (c.outcome.exchange != 0) {
      EXPECT_EQ(sim.LinksOpened(), 0);
    }
    // Matched through sysfs (the report lengths from its report descriptor there),
    // refused by the node: its reports fail with the reason.
    if (c.outcome.exchange == -3) {
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
  CheckStatusOnTheWire();

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
  CheckMultiReportAnswers(n);
}

// Transfers at the report rate, cancels, and unplugging (the reader fails, the node goes).
RV270_STACK_TESTS(DevstackTest)

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
