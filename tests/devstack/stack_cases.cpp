#include "devstack/stack_cases.h"

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "QornRV270API.h"

namespace rv270test {

namespace fs = std::filesystem;
using rv270sim::Answer;
using Clock = std::chrono::steady_clock;

const Bytes kStatusRequest = {0x50, 0x01};
const Bytes kStatusPacket = {0x02, 0x30, 0x30, 0x30, 0x32, 0x35, 0x30, 0x30, 0x31, 0x35, 0x31, 0x03};

long MsSince(Clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

Bytes Pattern(size_t size) {
  Bytes b(size);
  for (size_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>((i * 31 + (i >> 9)) & 0xFF);
  return b;
}

void WriteBytes(const fs::path& path, const Bytes& content) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
}

Exchanged Exchange(const Bytes& request, int timeoutMs) {
  std::vector<unsigned char> response(4096, 0);
  std::vector<unsigned char> copy(request.begin(), request.end());
  int length = -1;
  const int result = RV270Api_Communication(kUsbPort, 0, copy.data(), response.data(),
                                            static_cast<int>(copy.size()), &length, timeoutMs);
  Exchanged e{result, {}};
  if (result == 0 && length >= 0) e.response.assign(response.begin(), response.begin() + length);
  return e;
}

void StackTest::ExpectStatusWorks() {
  const Exchanged e = Exchange(kStatusRequest);
  EXPECT_EQ(e.result, 0);
  EXPECT_EQ(e.response, (Bytes{0x00, 0x00}));
}

void StackTest::CheckStatusOnTheWire() {
  sim.ClearRecords();
  ExpectStatusWorks();
  ASSERT_EQ(sim.OutputReports().size(), 1u);
  Bytes report(65, 0);
  std::copy(kStatusPacket.begin(), kStatusPacket.end(), report.begin() + 1);
  EXPECT_EQ(sim.OutputReports()[0], report);
  EXPECT_TRUE(LogHas("CommuniSize = 64") || LogHas("Link2 CommuniSize = 64"));
}

size_t StackTest::CheckSearchAndExchange(const SearchOutcome& expected) {
  sim.ClearRecords();
  const size_t from = LogLines().size();
  char pid[8] = {0};
  char vid[8] = {0};
  EXPECT_EQ(RV270Api_GetPidVid(pid, vid), expected.found);
  EXPECT_STREQ(vid, expected.vid);
  EXPECT_STREQ(pid, expected.pid);
  if (expected.found == 0) {
    EXPECT_GE(LogFind("no pidvid!", from), 0);
  }
  EXPECT_EQ(Exchange(kStatusRequest).result, expected.exchange);
  if (expected.exchange == 0) {
    EXPECT_EQ(sim.Requests().size(), 1u);
    if (!sim.Requests().empty()) {
      EXPECT_EQ(sim.Requests()[0].payload, kStatusRequest);
    }
  } else {
    EXPECT_TRUE(sim.Requests().empty());
  }
  if (expected.exchange == -1) {
    EXPECT_GE(LogFind("打开端口失败!", from), 0);
  }
  return from;
}

void StackTest::CheckMultiReportAnswers(int node) {
  for (size_t L : {28u, 29u, 61u, 1000u}) {
    SCOPED_TRACE(L);
    const Bytes data = Pattern(L - 2);
    sim.ScriptNext(Answer::Done(data));
    const Exchanged e = Exchange(kStatusRequest, 2000);
    EXPECT_EQ(e.result, 0);
    EXPECT_EQ(e.response, B({0x00, 0x00}) + data);
  }
  ExpectNoHandleOpen(node);
}

void StackTest::CheckPacedTransfersWithAResend() {
  const fs::path dir = FreshTestFolder("stack");
  const int n = PlugTerminal();
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
  ExpectNoHandleOpen(n);
  fs::remove_all(dir);
}

void StackTest::CheckCancelInAWaitAndAtTheStartOfACall() {
  const int n = PlugTerminal();
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
  ExpectNoHandleOpen(n);

  sim.EditState([](rv270sim::DeviceState& s) { s.breakOffAnswer.clear(); });
  for (int delayMs : {0, 15}) {
    SCOPED_TRACE(delayMs);
    const CallOutcome call = CancelAShowInfoEarly(kUsbPort, delayMs);
    EXPECT_EQ(call.result, 2);
    EXPECT_EQ(call.error, 121);
    ExpectNoHandleOpen(n);
    sim.ClearScripts();
  }
  ExpectStatusWorks();
}

void StackTest::CheckUnplugInAWaitAndInATransfer() {
  const fs::path dir = FreshTestFolder("stack");
  const Bytes content = Pattern(200 * 1024);
  const fs::path path = dir / "gone.jpg";
  WriteBytes(path, content);
  int n = PlugTerminal();
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
    {
      SCOPED_TRACE("after the unplug");
      ExpectNoHandleOpen(n);
      ExpectUnplugSeen(n, from, transfer);
    }
    EXPECT_LT(Exchange(kStatusRequest).result, 0);  // still away
    sim.SetLinePacing(false);
    n = PlugTerminal();
    ExpectStatusWorks();
    EXPECT_EQ(RV270Api_SaveFileSingle(kUsbPort, 0, 1, "after.jpg", 9, path.string().c_str()), 0);
    ExpectNoHandleOpen(n);
  }
  fs::remove_all(dir);
}

}  // namespace rv270test
