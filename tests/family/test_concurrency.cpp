// Calls from several threads at once, on the USB link and on a serial port together,
// with cancels from other threads: every call gets its own answer or a clear failure,
// never another call's answer and never a text spliced from two answers. The linux-tsan
// build runs these with ThreadSanitizer.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "QornRV270API.h"
#include "rv270sim/host.h"
#include "support/outcome_rows.h"
#include "support/sim_fixture.h"

namespace {

// A device text long enough for several USB reports: a splice of two answers, or a
// short answer read as this one, cannot equal it.
const std::string kDeviceText = [] {
  std::string text;
  for (int i = 0; text.size() < 180; ++i) text += "RV270-info-" + std::to_string(i) + ";";
  return text;
}();

enum class Export { kWorkingStatus, kDeviceInfo, kShowInfo };
constexpr Export kExports[] = {Export::kWorkingStatus, Export::kDeviceInfo, Export::kShowInfo};

struct Outcome {
  int port;
  Export call;
  std::string shown;  // ShowInfo: the text sent
  int result;
  std::string text;   // GetDeviceInfo: the text returned
};

class ConcurrencyTest : public rv270test::SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    if (HasFatalFailure() || IsSkipped()) return;
    sim.EditState([](rv270sim::DeviceState& s) { s.deviceInfo = kDeviceText; });
    ports_.push_back(rv270test::kUsbPort);
    if (SerialAvailable()) ports_.push_back(rv270test::SerialPort());
  }

  // `threadsPerLink` threads on each link, each making `rounds` rounds of the three
  // exports; with `cancels`, one more thread per link cancels now and then meanwhile.
  std::vector<Outcome> Run(int threadsPerLink, int rounds, bool cancels) {
    std::mutex lock;
    std::vector<Outcome> outcomes;
    std::atomic<int> running{0};
    std::vector<std::thread> threads;
    for (int port : ports_) {
      for (int t = 0; t < threadsPerLink; ++t) {
        ++running;
        threads.emplace_back([&, port, t] {
          for (int r = 0; r < rounds; ++r) {
            for (Export call : kExports) {
              Outcome o{port, call, "", 0, ""};
              char info[512] = {0};
              switch (call) {
                case Export::kWorkingStatus:
                  o.result = RV270Api_GetWorkingStatus(port, 0);
                  break;
                case Export::kDeviceInfo:
                  o.result = RV270Api_GetDeviceInfo(port, 0, sizeof(info), info);
                  o.text = info;
                  break;
                case Export::kShowInfo:
                  o.shown = "P" + std::to_string(port) + "T" + std::to_string(t) + "R" + std::to_string(r);
                  o.result = RV270Api_ShowInfo(port, 0, 0, o.shown.c_str(), 0, nullptr, 5);
                  break;
              }
              std::lock_guard<std::mutex> guard(lock);
              outcomes.push_back(o);
            }
          }
          --running;
        });
      }
    }
    // Each cancel thread lets a few calls finish, then cancels a moment later, so that
    // cancels land while calls wait, between calls and during other cancels.
    std::vector<int> cancelResults;
    if (cancels) {
      for (size_t c = 0; c < ports_.size(); ++c) {
        threads.emplace_back([&, c] {
          const int port = ports_[c];
          auto finished = [&] {
            std::lock_guard<std::mutex> guard(lock);
            return outcomes.size();
          };
          for (int k = 0; running.load() > 0; ++k) {
            const size_t seen = finished();
            while (running.load() > 0 && finished() < seen + 3) {
              std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds((k * 7 + static_cast<int>(c) * 11) % 25));
            const int result = RV270Api_CancelCustomProcess(port, 0);
            std::lock_guard<std::mutex> guard(lock);
            cancelResults.push_back(result);
          }
        });
      }
    }
    for (auto& thread : threads) thread.join();
    for (int result : cancelResults) EXPECT_LE(result, 0) << "a cancel gives 0 or a failure";
    return outcomes;
  }

  // Every answer taken as this call's is this call's: the device text whole, every
  // shown text arrived whole at the terminal, and the wire carried only whole packets.
  void ExpectOwnAnswers(const std::vector<Outcome>& outcomes) {
    std::vector<std::string> received;
    for (const auto& request : sim.Requests()) {
      received.emplace_back(request.payload.begin(), request.payload.end());
    }
    for (const Outcome& o : outcomes) {
      SCOPED_TRACE("port " + std::to_string(o.port) + " export " + std::to_string(static_cast<int>(o.call)));
      // -5 is the mapping of an answer that is not this command's.
      EXPECT_NE(-5, o.result);
      if (o.call == Export::kDeviceInfo && o.result == 0) {
        EXPECT_EQ(kDeviceText, o.text);
      }
      if (o.call == Export::kShowInfo && o.result == 0) {
        bool arrived = false;
        for (const auto& payload : received) arrived = arrived || payload.find(o.shown) != std::string::npos;
        EXPECT_TRUE(arrived) << o.shown;
      }
    }
    EXPECT_TRUE(sim.BadPackets().empty());
    EXPECT_TRUE(sim.ProtocolErrors().empty());
  }

  std::vector<int> ports_;
};

// Without cancels nothing fails: calls on one link wait for each other.
TEST_F(ConcurrencyTest, ThreadsOnBothLinksEachGetTheirOwnAnswer) {
  const auto outcomes = Run(2, 4, false);
  for (const Outcome& o : outcomes) {
    EXPECT_EQ(0, o.result) << "port " << o.port << " export " << static_cast<int>(o.call);
  }
  ExpectOwnAnswers(outcomes);
}

// With cancels from other threads a call may be broken off: it then fails clearly
// (ShowInfo reports a broken-off wait as 2), and every answer it does take is its own.
TEST_F(ConcurrencyTest, CancelsFromOtherThreadsBreakCallsOffCleanly) {
  const auto outcomes = Run(2, 4, true);
  for (const Outcome& o : outcomes) {
    const bool brokenOff = o.result < 0 || (o.call == Export::kShowInfo && o.result == 2);
    EXPECT_TRUE(o.result == 0 || brokenOff) << "port " << o.port << " result " << o.result;
  }
  ExpectOwnAnswers(outcomes);
  // A cancel breaks off one call, and each link's cancel thread waits for three calls
  // to finish before its next cancel: many calls still run to their answer.
  size_t answered = 0;
  for (const Outcome& o : outcomes) answered += o.result == 0 ? 1 : 0;
  EXPECT_GT(answered, outcomes.size() / 4);
  // The cancels leave no state behind: the next call on each link works.
  for (int port : ports_) {
    char info[512] = {0};
    int result = RV270Api_GetDeviceInfo(port, 0, sizeof(info), info);
    // A cancel that came after the last call may still be pending for this one.
    if (result != 0) result = RV270Api_GetDeviceInfo(port, 0, sizeof(info), info);
    EXPECT_EQ(0, result) << "port " << port;
    EXPECT_EQ(kDeviceText, std::string(info));
  }
}

}  // namespace

namespace {

class CancelTimingTest : public rv270test::SimLinkTest {};

// A cancel answers at once whatever moment it meets the call it cancels: before the
// call's link is open, while it opens (on a serial port the call's open then closes
// the cancel's port, whose exchange ended only at its 5 s time-out), and while it waits.
TEST_P(CancelTimingTest, EarlyCancelReturnsWithin500ms) {
  sim.EditState([](rv270sim::DeviceState& s) { s.breakOffAnswer.clear(); });
  for (int delayMs : {0, 10, 25, 40, 50, 100, 150}) {
    SCOPED_TRACE(delayMs);
    sim.SetCustomerOutcome(rv270test::B({0x00, 0x00, 0x01}), 3000);
    int ret = 0;
    std::thread waiting([&] { ret = RV270Api_ShowInfo(Port(), 0, 1, "Q", 0, nullptr, 5); });
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(0, RV270Api_CancelCustomProcess(Port(), 0));
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    waiting.join();
    EXPECT_LT(took.count(), 500);
    // The call either lost its wait to the cancel or (cancel first, before its request
    // reached the terminal) waited for the customer's answer.
    EXPECT_TRUE(ret == 1 || ret == 2 || ret == -4) << ret;
    EXPECT_TRUE(sim.WaitForNoOpenLinks(8000)) << "links still open: " << sim.LinksOpenNow();
    // The customer's wait on the terminal ends before the next round.
    std::this_thread::sleep_for(std::chrono::milliseconds(IsUsb() ? 0 : 3200));
  }
}

// A terminal that does not answer the cancel's own command (busy reading file data, or
// at another line rate, or silent), or answers it in pieces that never end or come
// slowly, does not hold the cancel for its answer's full time either, also when the
// cancel must first close the link of a call that waits (and pause before it opens its
// own).
TEST_P(CancelTimingTest, CancelUnansweredByTheTerminalReturnsWithin500ms) {
  enum class Answer { kNone, kCut, kSlowPieces };
  struct Case {
    bool callWaiting;
    Answer answer;
    uint8_t command;
  };
  const Case cases[] = {{false, Answer::kNone, 0x15},      {false, Answer::kNone, 0x5C},
                        {false, Answer::kCut, 0x15},       {false, Answer::kSlowPieces, 0x5C},
                        {true, Answer::kNone, 0x15},       {true, Answer::kCut, 0x5C},
                        {true, Answer::kSlowPieces, 0x15}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.callWaiting ? "call waiting, " : "") + "answer " +
                 std::to_string(static_cast<int>(c.answer)) + ", command " + std::to_string(c.command));
    std::thread waiting;
    int ret = 0;
    if (c.callWaiting) {
      sim.SetCustomerOutcome(rv270test::B({0x00, 0x00, 0x01}), 3000);
      waiting = std::thread([&] { ret = RV270Api_ShowInfo(Port(), 0, 1, "Q", 0, nullptr, 5); });
      ASSERT_TRUE(sim.WaitForRequests(1));
      sim.ClearRecords();
    }
    rv270sim::Faults faults;
    if (c.answer == Answer::kNone) {
      sim.ScriptNext(0x50, c.command, rv270sim::Answer::None());
    } else if (c.answer == Answer::kCut) {
      faults.announceLength = 200;  // the rest of the answer never comes
      sim.FaultNextAnswer(faults);
    } else {
      faults.chunkBytes = 2;
      faults.chunkGapMs = 150;  // the whole answer would take about a second
      sim.FaultNextAnswer(faults);
    }
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(0, c.command == 0x15 ? RV270Api_CancelCustomProcess(Port(), 0) : RV270Api_Break(Port(), 0));
    const auto took =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_LT(took.count(), 500);
    // The last error is the process's: a broken-off call may write its own after the cancel's.
    if (!c.callWaiting) {
      EXPECT_EQ(0, RV270Api_GetErrorCode());
    }
    ASSERT_TRUE(sim.WaitForRequests(1));
    EXPECT_EQ(rv270test::B({0x50, c.command}), sim.Requests().back().payload);
    if (waiting.joinable()) {
      waiting.join();
      EXPECT_TRUE(ret == 1 || ret == 2 || ret == -4) << ret;
      // The customer's wait on the terminal ends before the next round.
      std::this_thread::sleep_for(std::chrono::milliseconds(3200));
    }
    EXPECT_TRUE(sim.WaitForNoOpenLinks(3000));
    sim.ClearScripts();
    sim.ClearRecords();
  }
  // The next call gets its own answer.
  EXPECT_EQ(0, RV270Api_GetWorkingStatus(Port(), 0));
}

// A call that waited for the broken-off one may open the link while the cancel's own
// exchange still holds it (the terminal answers the cancel late): it takes the link over
// with its reconnect pause, and the cancel does not wait for that pause to close a link
// that is no longer its own.
TEST_P(CancelTimingTest, CancelWhoseLinkTheNextCallTakesOverReturnsWithin500ms) {
  sim.SetCustomerOutcome(rv270test::B({0x00, 0x00, 0x01}), 3000);
  int waitingResult = 0;
  std::thread waiting([&] { waitingResult = RV270Api_ShowInfo(Port(), 0, 1, "Q", 0, nullptr, 5); });
  ASSERT_TRUE(sim.WaitForRequests(1));
  int nextResult = 1;
  std::thread next([&] { nextResult = RV270Api_GetWorkingStatus(Port(), 0); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  sim.ScriptNext(0x50, 0x15, rv270sim::Answer::Handler(150));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(0, RV270Api_CancelCustomProcess(Port(), 0));
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  waiting.join();
  next.join();
  EXPECT_LT(took.count(), 500);
  EXPECT_TRUE(waitingResult == 2 || waitingResult == -4) << waitingResult;
  EXPECT_EQ(0, nextResult);
  EXPECT_TRUE(sim.WaitForNoOpenLinks(8000)) << "links still open: " << sim.LinksOpenNow();
  std::this_thread::sleep_for(std::chrono::milliseconds(IsUsb() ? 0 : 3200));
}

RV270_INSTANTIATE_LINKS(CancelTimingTest);

}  // namespace
