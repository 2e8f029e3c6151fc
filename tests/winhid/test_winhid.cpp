// The DLL's own Windows HID code under Wine's HID class stack: the device setup lists,
// HidD_* attributes, capabilities and feature reports, CreateFile, the overlapped read
// with its event, CancelIoEx and the input report queue, and the device search on top of
// them. Wine's bus driver reads emulated terminals at the Linux hidraw interface, which
// rv270-hidraw-terminal (tests/devstack) plugs in on request and bridges to this test's
// simulator, so the wire bytes, results, last errors and log lines are checked as in the
// family tests. Run by tests/winhid/run.sh (RV270_SIM unset: the real HID stack).
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "QornRV270API.h"
#include "devstack/stack_cases.h"
#include "rv270sim/host.h"
#include "winhid/winhid_bed.h"

namespace {

namespace fs = std::filesystem;
using rv270sim::Answer;
using rv270sim::Bytes;
using namespace rv270test;
using namespace rv270winhid;

// A device record the simulator refuses to open: a terminal bridged to it fails every
// report, so an exchange that works went to the other terminal.
constexpr int kRefusedRecord = 9;

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

class WinHidTest : public StackTest {
 protected:
  void SetUp() override {
    StackTest::SetUp();
    rv270sim::SetProcessEnv("RV270_SIM", "");  // the real HID stack
    ASSERT_TRUE(UnplugAllTerminals()) << "no emulated terminals: run this program through tests/winhid/run.sh";
    std::string present;
    ASSERT_TRUE(WaitForHidIds({}, 15000, &present)) << "still listed: " << present;
    ASSERT_GE(ForgetUnpluggedTerminals(), 0);
  }
  // The prefix is left without terminals, present or remembered: the other test
  // programs' device searches run in it too.
  void TearDown() override {
    UnplugAllTerminals();
    if (WaitForHidIds({})) ForgetUnpluggedTerminals();
    StackTest::TearDown();
  }

  // Plugs terminals bridged to this test's simulator and waits until Wine lists them
  // (a denied node never becomes a HID device); their node numbers.
  std::vector<int> Plug(const std::vector<Terminal>& terminals) {
    std::vector<int> nodes;
    std::vector<std::string> ids;
    for (const Terminal& t : terminals) {
      nodes.push_back(rv270winhid::PlugTerminal(t.vid, t.pid, t.record, sim.UsbAddress(), t.denied));
      EXPECT_GE(nodes.back(), 0);
      if (!t.denied) ids.push_back(HidId(t));
    }
    std::string present;
    EXPECT_TRUE(WaitForHidIds(ids, 15000, &present)) << "Wine lists: " << present;
    return nodes;
  }
  int PlugTerminal() override { return Plug({Terminal()})[0]; }
  bool UnplugTerminal(int node) override { return rv270winhid::UnplugTerminal(node); }
  // The node stays open in Wine's bus driver while it is plugged; the library's own
  // handles on the device are what must be gone.
  void ExpectNoHandleOpen(int) override { EXPECT_EQ(OpenHidHandles(), 0); }
  void ExpectUnplugSeen(int, size_t logFrom, bool inTransfer) override {
    // A read broken off by the removal: the system's reason is in the log.
    if (!inTransfer) {
      EXPECT_GE(LogFind("os error", logFrom), 0);
    }
    EXPECT_TRUE(WaitForHidIds({})) << "Wine still lists the terminal";
    // The node's link to the simulator closed with it (a simulator pacing a download
    // notices once the block's time is over).
    EXPECT_TRUE(sim.WaitForNoOpenLinks(8000)) << "links still open: " << sim.LinksOpenNow();
  }
};

// The device search walks the device setup services' list of every class in its order
// (Wine's: by instance id) and matches the HID class hardware ids against the table; the
// link then opens the interface whose attributes match.
TEST_F(WinHidTest, DeviceSearchThroughTheDeviceSetupServices) {
  const struct {
    const char* what;
    std::vector<Terminal> terminals;
    SearchOutcome outcome;
  } kCases[] = {
      {"no terminal: Wine's own HID devices match no entry", {}, {0, "", "", -1}},
      {"a device that matches no entry", {{0x1234, 0x5678, 0, false}}, {0, "", "", -1}},
      {"two candidates: the first in the list wins whatever the table order",
       {{0x4B7E, 0x0006, kRefusedRecord, false}, {0x10C4, 0xEA81, 0, false}}, {1, "10C4", "EA81", 0}},
      {"a bridge id", {{0x0461, 0x4D15, kRefusedRecord, false}, {0x10C4, 0xEA80, 0, false}}, {1, "10C4", "EA80", 0}},
      {"the terminal after another candidate was last found", {{0x4B7E, 0x0001, 0, false}}, {1, "4B7E", "0001", 0}},
      // Wine's bus driver opens the node itself; one it cannot open never becomes a
      // HID device, so the search does not see it.
      {"a node that cannot be opened", {{0x4B7E, 0x0006, 0, true}}, {0, "", "", -1}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(UnplugAllTerminals());
    std::string present;
    ASSERT_TRUE(WaitForHidIds({}, 15000, &present)) << "still listed: " << present;
    ASSERT_GE(ForgetUnpluggedTerminals(), 0);
    Plug(c.terminals);
    CheckSearchAndExchange(c.outcome);
    ExpectNoHandleOpen(-1);
  }
}

// Requests go out as 65-byte output reports (report id 0 first) through the write
// handle, answers of one and several reports come back through the overlapped read, and
// no handle stays open after an exchange.
TEST_F(WinHidTest, ExchangesOverTheHidStack) {
  const int n = PlugTerminal();
  CheckStatusOnTheWire();
  // The library configures the 64-byte bridge with 64-byte feature report buffers on the
  // attribute handle; the terminal's feature report is 65 bytes with its (absent) id
  // byte, so the class driver refuses each of them, the failures are ignored and nothing
  // reaches the terminal, and the exchange goes on.
  EXPECT_TRUE(sim.FeatureReports().empty());
  ExpectNoHandleOpen(n);
  CheckMultiReportAnswers(n);
}

// Transfers at the report rate (the upload's reports wait in the class driver's input
// queue while the library writes the file), cancels (CancelIoEx ends the overlapped read
// pending on the read handle before the link closes), and unplugging (Wine removes the
// device: the pending read and the writes fail).
RV270_STACK_TESTS(WinHidTest)

// Reads of the node that come short or fail. The HID class driver drops an input report
// shorter than the device's input report length, so the answer is lost: the exchange
// ends as one the terminal did not answer, and the next one starts clean. Wine's bus
// driver reads the node again after a failed read, so a node's read error never reaches
// the class driver's readers (the DLL's own failed reads come with an unplugged
// terminal, above).
TEST_F(WinHidTest, ShortReportsAndFailedReads) {
  const int n = PlugTerminal();
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
  ExpectNoHandleOpen(n);
}

}  // namespace
