// Production test exports against the simulated terminal: the serial number, the
// hardware tests and their timeout, and the stress test's sequence, over both links.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "QornRV270API.h"
#include "rv270sim/host.h"
#include "support/outcome_rows.h"

namespace {

using rv270sim::Answer;
using rv270sim::Bytes;
using namespace rv270test;

class FactoryTest : public SimLinkTest {};
RV270_INSTANTIATE_LINKS(FactoryTest);

struct Member {
  const char* name;
  Call call;
  Bytes request;
  const char* okLine;
};

char g_number[300];

const Member kMembers[] = {
    {"RV270Api_SETserialnumber", [](int p) { return RV270Api_SETserialnumber(p, 0, "SN0001"); },
     B({0x10, 0xB0, 0x06}) + Str("SN0001"), "RV270Api_Communication return ok!"},
    // The number the member before it stored.
    {"RV270Api_GETserialnumber", [](int p) { return RV270Api_GETserialnumber(p, 0, g_number); }, B({0x10, 0xB1}),
     "RV270Api_Communication return ok,pAppNum:[SN0001]!"},
    {"RV270Api_CLEARserialnumber", [](int p) { return RV270Api_CLEARserialnumber(p, 0); }, B({0x10, 0xB2}),
     "RV270Api_Communication return ok,clearserialnumber done!"},
    {"RV270Api_Linearitytest", [](int p) { return RV270Api_Linearitytest(p, 0); }, B({0x10, 0x81}),
     "RV270Api_Communication return ok,Linearitytest done!"},
    {"RV270Api_Pressuresensitivetest", [](int p) { return RV270Api_Pressuresensitivetest(p, 0); }, B({0x10, 0x82}),
     "RV270Api_Communication return ok,Pressuresensitivetest done!"},
    {"RV270Api_Keytest", [](int p) { return RV270Api_Keytest(p, 0, 30, 2); }, B({0x10, 0x9A, 0x1E, 0x02}),
     "RV270Api_Communication return ok,Keytest done!"},
    {"RV270Api_Touchcalibration", [](int p) { return RV270Api_Touchcalibration(p, 0); }, B({0x10, 0xC0}),
     "RV270Api_Communication return ok,Touchcalibration done!"},
};

// Done, a refusal of any kind (0x09 has no row of its own here) and a damaged answer.
TEST_P(FactoryTest, EveryMemberMapsEveryOutcome) {
  for (const Member& m : kMembers) {
    SCOPED_TRACE(m.name);
    sim.ClearRecords();
    memset(g_number, 0, sizeof(g_number));
    EXPECT_EQ(0, m.call(Port()));
    EXPECT_EQ(0, RV270Api_GetErrorCode());
    ASSERT_EQ(1u, sim.Requests().size());
    EXPECT_EQ(Hex(m.request), Hex(sim.Requests()[0].payload));
    EXPECT_TRUE(LogHas(Logged('I', m.okLine)));
    ExpectEndedBy(m.name);

    for (const Bytes& refusal : {B({0x00, 0x09}), B({0x01, 0x00})}) {
      sim.ScriptNext(Answer::Of(refusal));
      const size_t from = LogLines().size();
      EXPECT_EQ(-4, m.call(Port()));
      EXPECT_EQ(103, RV270Api_GetErrorCode());
      EXPECT_GE(LogFind(Logged('E', "RV270Api_Communication return error!"), from), 0);
    }

    Answer damaged = Answer::Done();
    damaged.faults.badStx = true;
    damaged.faults.badEtx = true;
    sim.ScriptNext(damaged);
    const size_t from = LogLines().size();
    EXPECT_EQ(-3, m.call(Port()));
    EXPECT_EQ(102, RV270Api_GetErrorCode());
    EXPECT_GE(LogFind("RV270Api_Communication return -", from), 0);
    EXPECT_LT(LogFind("RV270Api_Communication return timeout", from), 0);  // not a timeout: no screen clear
    ExpectEndedBy(m.name);
  }
}

TEST_P(FactoryTest, SerialNumberIsStoredReadAndCleared) {
  EXPECT_EQ(0, RV270Api_SETserialnumber(Port(), 0, "SN0001"));
  EXPECT_TRUE(LogHas("RV270Api_SETserialnumber pAppNum:[SN0001]"));

  char number[300];
  memset(number, 'z', sizeof(number));
  EXPECT_EQ(0, RV270Api_GETserialnumber(Port(), 0, number));
  EXPECT_EQ("SN0001z", std::string(number, 7));  // no terminator is added
  EXPECT_TRUE(LogHas("RV270Api_Communication return ok,pAppNum:[SN0001]!"));

  EXPECT_EQ(0, RV270Api_CLEARserialnumber(Port(), 0));
  memset(number, 'z', sizeof(number));
  EXPECT_EQ(-100, RV270Api_GETserialnumber(Port(), 0, number));
  EXPECT_EQ(0, RV270Api_GetErrorCode());
  EXPECT_EQ('z', number[0]);
  EXPECT_TRUE(LogHas(Logged('I', "RV270Api_Communication return ok,serialnumber is NULL!")));

  // The longest number a length byte describes goes out whole and comes back whole.
  const std::string longest(255, '7');
  EXPECT_EQ(0, RV270Api_SETserialnumber(Port(), 0, longest.c_str()));
  EXPECT_EQ(Hex(B({0x10, 0xB0, 0xFF}) + Str(longest)), Hex(sim.Requests().back().payload));
  memset(number, 'z', sizeof(number));
  EXPECT_EQ(0, RV270Api_GETserialnumber(Port(), 0, number));
  EXPECT_EQ(longest + "z", std::string(number, 256));
}

// A hardware test that gets no answer in time clears the customer screen over its own
// link, then fails as a link failure.
TEST_P(FactoryTest, TimeoutClearsTheScreenOverTheSameLink) {
  sim.ScriptNext(0x10, 0x9A, Answer::None());
  EXPECT_EQ(-3, RV270Api_Keytest(Port(), 0, 0, 1));  // the library waits 0 + 3 s
  EXPECT_EQ(102, RV270Api_GetErrorCode());
  const auto requests = sim.Requests();
  ASSERT_EQ(2u, requests.size());
  EXPECT_EQ(Hex(B({0x10, 0x9A, 0x00, 0x01})), Hex(requests[0].payload));
  EXPECT_EQ(Hex(B({0x50, 0x15})), Hex(requests[1].payload));
  EXPECT_EQ(LinkUnderTest(), requests[1].link);
  EXPECT_EQ(1, sim.State().screen.mainScreenClears);

  const int timeout = LogFind(Logged('E', "RV270Api_Communication return timeout"));
  ASSERT_GE(timeout, 0);
  const int clear = LogFind("****************RV270Api_ClearMainScreen start****************", timeout);
  ASSERT_GT(clear, timeout);
  EXPECT_GT(LogFind(IsUsb() ? "RV270Api_Communication return -9!" : "RV270Api_Communication return -2!", clear), clear);
  ExpectEndedBy("RV270Api_Keytest");
}

// Arguments refused before anything is sent: -2, last error 100.
TEST_P(FactoryTest, ArgumentsAreCheckedBeforeSending) {
  const std::string tooLong(256, '7');
  const std::vector<RefusedCall> cases = {
      {"RV270Api_Keytest", [](int p) { return RV270Api_Keytest(p, 0, -1, 1); }, "RV270Api_Keytest timeout<0!"},
      // The terminal gets one timeout byte: 300 s would be 44 s on the terminal.
      {"RV270Api_Keytest", [](int p) { return RV270Api_Keytest(p, 0, 300, 1); }, "RV270Api_Keytest timeout>255!"},
      {"RV270Api_Keytest", [](int p) { return RV270Api_Keytest(p, 0, 30, 3); }, "RV270Api_Keytest testtype erro!"},
      {"RV270Api_Keytest", [](int p) { return RV270Api_Keytest(p, 0, 30, 0); }, "RV270Api_Keytest testtype erro!"},
      {"RV270Api_SETserialnumber", [](int p) { return RV270Api_SETserialnumber(p, 0, nullptr); },
       "RV270Api_SETserialnumber pserialnumber is empty!"},
      {"RV270Api_SETserialnumber", [](int p) { return RV270Api_SETserialnumber(p, 0, ""); },
       "RV270Api_SETserialnumber pserialnumber is empty!"},
      {"RV270Api_SETserialnumber", [&](int p) { return RV270Api_SETserialnumber(p, 0, tooLong.c_str()); },
       "RV270Api_SETserialnumber pserialnumber too long!"},
      {"RV270Api_GETserialnumber", [](int p) { return RV270Api_GETserialnumber(p, 0, nullptr); },
       "RV270Api_GETserialnumber pserialnumber is null!"},
  };
  ExpectRefusedBeforeSending(cases);
  EXPECT_EQ(0, RV270Api_Keytest(Port(), 0, 255, 1));
  EXPECT_EQ(Hex(B({0x10, 0x9A, 0xFF, 0x01})), Hex(sim.Requests().back().payload));
  EXPECT_TRUE(LogHas("RV270Api_Keytest:testtype:[1],timeout:[255]"));
}

// Serial number answers that do not carry what they announce copy nothing.
TEST_P(FactoryTest, SerialNumberAnswersAreCheckedBeforeTheCopy) {
  struct Case {
    Bytes answer;
    int ret;
    int error;
    std::string copied;  // what the buffer starts with afterwards
  };
  const std::vector<Case> cases = {
      {B({0x00, 0x00}), -4, 103, "zzzz"},                             // no length byte
      {B({0x00, 0x00, 0x05, 'A', 'B'}), -4, 103, "zzzz"},             // fewer bytes than announced
      {B({0x00, 0x00, 0x02, 'A', 'B', 'C'}), 0, 0, "ABzz"},           // only the announced bytes
      {B({0x00, 0x00, 0x00}), 0, 0, "zzzz"},                          // an empty number
      {B({0x10, 0xB1, 0x03, 'A', 'B', 'C'}), -100, 0, "zzzz"},        // none stored
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Hex(c.answer));
    char number[8];
    memset(number, 'z', sizeof(number));
    sim.ScriptNext(Answer::Of(c.answer));
    EXPECT_EQ(c.ret, RV270Api_GETserialnumber(Port(), 0, number));
    EXPECT_EQ(c.error, RV270Api_GetErrorCode());
    EXPECT_EQ(c.copied, std::string(number, 4));
  }
}

// ---- stress test ----

// A scratch video file; the transfers' long waits and the stress test's pauses are cut to
// 5% in the test core.
class StressTest : public SimLinkTest {
 protected:
  void SetUp() override {
    SimLinkTest::SetUp();
    dir_ = FreshTestFolder("stress");
    video_ = (dir_ / "clip.mp4").string();
    std::ofstream(video_, std::ios::binary) << std::string(5000, 'v');
    rv270sim::SetProcessEnv("RV270_TEST_TRANSFER_WAITS", "5");
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
    SimLinkTest::TearDown();
  }
  // The requests of the poster and deletion commands, in order.
  std::vector<std::string> ScreenAndDeletes() const {
    std::vector<std::string> out;
    for (const auto& r : sim.Requests()) {
      if (r.payload.size() >= 2 && r.payload[0] == 0x50 && (r.payload[1] == 0x19 || r.payload[1] == 0x07)) {
        out.push_back(Hex(r.payload));
      }
    }
    return out;
  }
  std::filesystem::path dir_;
  std::string video_;
};
RV270_INSTANTIATE_LINKS(StressTest);

#ifdef RV270_TEST_CORE
// Video stored, poster type 1, every advertising video deleted, poster type 0.
TEST_P(StressTest, ShowsThenDeletesTheVideos) {
  sim.PutFile(2, "old.mp4", B({1, 2, 3}));
  sim.PutFile(1, "keep.png", B({4}));
  EXPECT_EQ(0, RV270Api_Stresstest(Port(), 0, video_.c_str()));
  EXPECT_GT(sim.DataReportCount(), 0u);
  EXPECT_EQ((std::vector<std::string>{"50 19 01 ", "50 07 02 ", "50 19 00 "}), ScreenAndDeletes());
  const auto state = sim.State();
  EXPECT_EQ(0, state.screen.posterType);
  ASSERT_EQ(1u, state.files.size());
  EXPECT_EQ(1, state.files.begin()->first.first);
  EXPECT_TRUE(LogHas(Logged('I', video_)));
  EXPECT_TRUE(LogHas(Logged('I', "RV270Api_SaveFile_NewName return[0]!")));

  // A refused poster change is returned as it is, and nothing is deleted.
  sim.ClearRecords();
  sim.ScriptNext(0x50, 0x19, Answer::Status(0x01, 0x00));
  const int refused = RV270Api_SetPosterType(Port(), 0, 1);
  EXPECT_LT(refused, 0);
  sim.ClearRecords();
  sim.ScriptNext(0x50, 0x19, Answer::Status(0x01, 0x00));
  EXPECT_EQ(refused, RV270Api_Stresstest(Port(), 0, video_.c_str()));
  EXPECT_EQ((std::vector<std::string>{"50 19 01 "}), ScreenAndDeletes());
  EXPECT_EQ(1u, sim.State().files.count({2, "clip.mp4"}));
}
#endif

// A failed video download stops before the poster change.
TEST_P(StressTest, FailedDownloadStopsBeforeThePoster) {
  EXPECT_EQ(-114, RV270Api_Stresstest(Port(), 0, (dir_ / "missing.mp4").string().c_str()));
  EXPECT_EQ(-114, RV270Api_Stresstest(Port(), 0, nullptr));
  EXPECT_TRUE(ScreenAndDeletes().empty());
  EXPECT_TRUE(sim.State().files.empty());
}

}  // namespace
