// Teller information and evaluation against the simulated terminal: the teller card, the
// evaluation page, the badge, the customer's rating and its read-back over both links,
// their outcome rows and refusals, and the two workflows that download the teller's photo
// first.
//
// Narrow literals in this file are GBK (the tests are compiled like the library).
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

namespace fs = std::filesystem;
using rv270sim::Answer;
using rv270sim::Bytes;
using rv270sim::Link;
using namespace rv270test;

constexpr int kTellerPhoto = 4;  // category code of the teller photos

// The command bytes of each request the terminal got, as "50 90" texts.
std::vector<std::string> Commands(const rv270sim::Simulator& sim, Link link) {
  std::vector<std::string> out;
  for (const auto& r : sim.Requests()) {
    if (r.link == link && r.payload.size() >= 2) out.push_back(Hex(Bytes(r.payload.begin(), r.payload.begin() + 2)));
  }
  return out;
}

Bytes LastRequest(const rv270sim::Simulator& sim) {
  const auto requests = sim.Requests();
  return requests.empty() ? Bytes() : requests.back().payload;
}

std::string Value(const rv270sim::DeviceState& s, const std::string& key) {
  auto it = s.values.find(key);
  return it == s.values.end() ? std::string("(none)") : it->second;
}

class EvaluateTest : public SimLinkTest {};
RV270_INSTANTIATE_LINKS(EvaluateTest);

// The road of a service at the counter: card, page, badge, the customer's rating, read back.
TEST_P(EvaluateTest, CommandsSendTheirFieldsAndTheTerminalKeepsThem) {
  EXPECT_EQ(0, RV270Api_DownLoadCounterInfo(Port(), 0, "Li", "8001", 5, ""));
  EXPECT_EQ(Hex(B({0x50, 0x90}) + Str("8001#Li#5#")), Hex(LastRequest(sim)));  // 12 bytes
  EXPECT_TRUE(LogHas(Logged('I', "RV270Api_DownLoadCounterInfo tellerName=Li,tellerNo=8001,nStarLevel=5,headFile=")));
  ExpectEndedBy("RV270Api_DownLoadCounterInfo");
  // A negative star level, a photo name, and null texts counted as empty.
  EXPECT_EQ(0, RV270Api_DownLoadCounterInfo(Port(), 0, "王芳", "8002", -3, "8002.jpg"));
  EXPECT_EQ(Hex(B({0x50, 0x90}) + Str("8002#王芳#-3#8002.jpg")), Hex(LastRequest(sim)));
  EXPECT_EQ(0, RV270Api_DownLoadCounterInfo(Port(), 0, nullptr, nullptr, 0, nullptr));
  EXPECT_EQ(Hex(B({0x50, 0x90}) + Str("##0#")), Hex(LastRequest(sim)));
  EXPECT_EQ("##0#", Value(sim.State(), "tellerCard"));

  EXPECT_EQ(0, RV270Api_SetCounterEvaluateSurface(Port(), 0, "a.htm"));
  EXPECT_EQ(Hex(B({0x50, 0x91}) + Str("a.htm") + B({0x00})), Hex(LastRequest(sim)));  // 8 bytes
  EXPECT_TRUE(LogHas(Logged('I', "RV270Api_SetCounterEvaluateSurface pHtml:[a.htm]")));
  EXPECT_EQ("a.htm", Value(sim.State(), "evaluatePage"));

  EXPECT_EQ(0, RV270Api_StartCounterElecBadge(Port(), 0, 20));
  EXPECT_EQ(Hex(B({0x50, 0x93, 20})), Hex(LastRequest(sim)));
  EXPECT_EQ("shown", Value(sim.State(), "badge"));
  EXPECT_TRUE(LogHas("****************RV270Api_SetCounterElecBadge start****************"));
  ExpectEndedBy("RV270Api_SetCounterElecBadge");

  sim.SetCustomerOutcome(B({0x00, 0x00, 0x04}), 100);
  EXPECT_EQ(4, RV270Api_CustomerEvaluate(Port(), 0, 30, 1));
  EXPECT_EQ(0, RV270Api_GetErrorCode());
  EXPECT_EQ(Hex(B({0x50, 0x92, 0x1E, 0x01})), Hex(LastRequest(sim)));
  EXPECT_EQ("4", Value(sim.State(), "rating"));
  ExpectEndedBy("RV270Api_CustomerEvaluate");

  // The flag by the decimal prefix rule; the timeout in two bytes.
  EXPECT_EQ(4, RV270Api_ReadEvaluate(Port(), 0, " 263x", 300));
  EXPECT_EQ(Hex(B({0x50, 0x5D, 0x07, 0x01, 0x2C})), Hex(LastRequest(sim)));
  EXPECT_TRUE(LogHas(Logged('I', "RV270Api_ReadEvaluate VocFlag= 263x,timeout=300")));
  EXPECT_TRUE(LogHas(Logged('I', "RV270Api_Communication return ok,myPosterResult[2]=[4]!")));
  EXPECT_EQ(4, RV270Api_ReadEvaluate(Port(), 0, nullptr, 0));
  EXPECT_EQ(Hex(B({0x50, 0x5D, 0x00, 0x00, 0x00})), Hex(LastRequest(sim)));
}

// The terminal's own timeout comes back as 0xAA; the library waits two seconds longer.
TEST_P(EvaluateTest, EvaluationTimeouts) {
  sim.SetCustomerOutcome(B({0x00, 0x00, 0x05}), 3000);
  EXPECT_EQ(-11, RV270Api_CustomerEvaluate(Port(), 0, 1, 0));
  EXPECT_EQ(128, RV270Api_GetErrorCode());
  EXPECT_TRUE(LogHas(Logged('E', "RV270Api_Communication myPosterResult[0]==0xAA!")));
  EXPECT_EQ(1, sim.State().screen.lastTimeout);

  // A terminal that never answers: the wait ends 2 s after the terminal's, as a link failure.
  sim.ScriptNext(0x50, 0x92, Answer::None());
  EXPECT_EQ(-3, RV270Api_CustomerEvaluate(Port(), 0, 0, 0));
  EXPECT_EQ(102, RV270Api_GetErrorCode());
  EXPECT_TRUE(LogHas("RV270Api_Communication return -"));
  ExpectEndedBy("RV270Api_CustomerEvaluate");

  // The longest timeout the terminal can be given goes out whole.
  sim.SetCustomerOutcome(B({0x00, 0x00, 0x02}), 0);
  EXPECT_EQ(2, RV270Api_CustomerEvaluate(Port(), 0, 255, 0));
  EXPECT_EQ(255, sim.State().screen.lastTimeout);
}

// Arguments and texts refused before anything is sent: -2, last error 100, the end line.
TEST_P(EvaluateTest, RefusedBeforeSending) {
  const std::string longName(511 - 6, 'n');  // with "#Li#5#": a card of 511 bytes
  const std::string page509(509, 'p');
  const std::string page510(510, 'p');
  const std::vector<RefusedCall> cases = {
      {"RV270Api_SetCounterEvaluateSurface", [](int p) { return RV270Api_SetCounterEvaluateSurface(p, 0, nullptr); },
       "RV270Api_SetCounterEvaluateSurface pHtml is empty!"},
      {"RV270Api_SetCounterEvaluateSurface", [](int p) { return RV270Api_SetCounterEvaluateSurface(p, 0, ""); },
       "RV270Api_SetCounterEvaluateSurface pHtml is empty!"},
      {"RV270Api_SetCounterEvaluateSurface",
       [&](int p) { return RV270Api_SetCounterEvaluateSurface(p, 0, page510.c_str()); },
       "RV270Api_SetCounterEvaluateSurface pHtml too long!"},
      {"RV270Api_DownLoadCounterInfo",
       [&](int p) { return RV270Api_DownLoadCounterInfo(p, 0, "Li", longName.c_str(), 5, ""); },
       "RV270Api_DownLoadCounterInfo teller card too long!"},
      {"RV270Api_CustomerEvaluate", [](int p) { return RV270Api_CustomerEvaluate(p, 0, -1, 0); },
       "RV270Api_CustomerEvaluate timeout<0!"},
      // One timeout byte: 300 s would be 44 s on the terminal.
      {"RV270Api_CustomerEvaluate", [](int p) { return RV270Api_CustomerEvaluate(p, 0, 300, 0); },
       "RV270Api_CustomerEvaluate timeout>255!"},
      {"RV270Api_SetCounterElecBadge", [](int p) { return RV270Api_StartCounterElecBadge(p, 0, -5); },
       "RV270Api_SetCounterElecBadge timeout<0!"},
      {"RV270Api_SetCounterElecBadge", [](int p) { return RV270Api_StartCounterElecBadge(p, 0, 256); },
       "RV270Api_SetCounterElecBadge timeout>255!"},
      {"RV270Api_ReadEvaluate", [](int p) { return RV270Api_ReadEvaluate(p, 0, "1", -1); },
       "RV270Api_ReadEvaluate timeout<0!"},
      {"RV270Api_ReadEvaluate", [](int p) { return RV270Api_ReadEvaluate(p, 0, "1", 65536); },
       "RV270Api_ReadEvaluate timeout>65535!"},
  };
  ExpectRefusedBeforeSending(cases);

  // What just fits goes out whole.
  EXPECT_EQ(0, RV270Api_SetCounterEvaluateSurface(Port(), 0, page509.c_str()));
  EXPECT_EQ(512u, LastRequest(sim).size());
  EXPECT_EQ(0, RV270Api_DownLoadCounterInfo(Port(), 0, "Li", longName.substr(1).c_str(), 5, ""));
  EXPECT_EQ(512u, LastRequest(sim).size());
  EXPECT_EQ(0, RV270Api_ReadEvaluate(Port(), 0, "1", 65535));
  EXPECT_EQ(Hex(B({0x50, 0x5D, 0x01, 0xFF, 0xFF})), Hex(LastRequest(sim)));
}

// The answers each command can get, and what it makes of them.
class EvaluateRowTest : public RowTest {};

TEST_F(EvaluateRowTest, EveryCommandMapsEveryOutcome) {
  const Row refused{B({0x01, 0x00}), -4, 103, 'E', "RV270Api_Communication return error!"};
  const Row hardware{B({0x00, 0x09}), -4, 103, 'E', "RV270Api_Communication return error!"};
  const Row noRating{B({0x00, 0x00}), -4, 103, 'E', "RV270Api_Communication return error!"};
  const Row aaOther{B({0xAA, 0x00}), -4, 103, 'E', "RV270Api_Communication return error!"};
  const Row ok{B({0x00, 0x00}), 0, 0, 'I', "RV270Api_Communication return ok!"};
  ExpectRows("DownLoadCounterInfo", [](int p) { return RV270Api_DownLoadCounterInfo(p, 0, "Li", "8001", 5, ""); },
             {ok, refused, hardware, aaOther});
  ExpectRows("SetCounterEvaluateSurface", [](int p) { return RV270Api_SetCounterEvaluateSurface(p, 0, "a.htm"); },
             {ok, refused, hardware, aaOther});
  ExpectRows("StartCounterElecBadge", [](int p) { return RV270Api_StartCounterElecBadge(p, 0, 3); },
             {ok, {B({0x00, 0x00, 0x07}), 7, 0, 'I', "RV270Api_Communication return ok!"}, refused, hardware, aaOther});
  ExpectRows("CustomerEvaluate", [](int p) { return RV270Api_CustomerEvaluate(p, 0, 3, 0); },
             {{B({0x00, 0x00, 0xFF}), 255, 0, 'I', "RV270Api_Communication return ok!"},
              {B({0x00, 0x00, 0x00}), 0, 0, 'I', "RV270Api_Communication return ok!"},
              noRating,
              {B({0xAA, 0x01}), -11, 128, 'E', "RV270Api_Communication myPosterResult[0]==0xAA!"},
              refused,
              hardware});
  ExpectRows("ReadEvaluate", [](int p) { return RV270Api_ReadEvaluate(p, 0, "0", 10); },
             {{B({0x00, 0x00, 0x03}), 3, 0, 'I', "RV270Api_Communication return ok,myPosterResult[2]=[3]!"},
              noRating, refused, hardware, aaOther});

  // A damaged answer is a link failure.
  Answer damaged = Answer::Done(Bytes{0x01});
  damaged.faults.badStx = true;
  damaged.faults.badEtx = true;
  sim.ScriptNext(damaged);
  EXPECT_EQ(-3, RV270Api_CustomerEvaluate(kUsbPort, 0, 3, 0));
  EXPECT_EQ(102, RV270Api_GetErrorCode());
}

// ---- the workflows ----

class WorkflowTest : public SimLinkTest {
 protected:
  void SetUp() override {
    SimLinkTest::SetUp();
    dir_ = FreshTestFolder("evaluate");
    fs::create_directories(dir_ / "d.old");
    rv270sim::SetProcessEnv("RV270_TEST_TRANSFER_WAITS", "5");
    sim.SetCustomerOutcome(B({0x00, 0x00, 0x03}), 0);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
    SimLinkTest::TearDown();
  }
  std::string Write(const std::string& name, const Bytes& content) {
    const fs::path p = dir_ / name;
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(content.data()),
                                             static_cast<std::streamsize>(content.size()));
    return p.string();
  }
  std::string Missing() const { return (dir_ / "missing.jpg").string(); }
  const rv270sim::StoredFile* Photo(const rv270sim::DeviceState& s, const std::string& name) const {
    auto it = s.files.find({kTellerPhoto, name});
    return it == s.files.end() ? nullptr : &it->second;
  }

 private:
  fs::path dir_;
};
RV270_INSTANTIATE_LINKS(WorkflowTest);

const Bytes kPhoto = [] {
  Bytes b(3000);
  for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(i * 7 + 1);
  return b;
}();

// Photo over USB under the teller number, card without a photo name, then the rating.
TEST_P(WorkflowTest, EvaluateFZStoresThePhotoThenRates) {
  const std::string path = Write("li.jpg", kPhoto);
  EXPECT_EQ(3, RV270Api_EvaluateFZ(Port(), 0, "Li", "8001", 5, path.c_str(), 30));
  const auto state = sim.State();
  const auto* photo = Photo(state, "8001.jpg");
  ASSERT_NE(photo, nullptr);
  EXPECT_EQ(kPhoto, photo->content);
  EXPECT_EQ("8001#Li#5#", Value(state, "tellerCard"));
  EXPECT_EQ("0", Value(state, "evaluateMode"));
  EXPECT_EQ(30, state.screen.lastTimeout);
  // The photo always over USB; card and evaluation over the caller's link, in that order.
  const auto commands = Commands(sim, LinkUnderTest());
  ASSERT_GE(commands.size(), 2u);
  EXPECT_EQ("50 90 ", commands[commands.size() - 2]);
  EXPECT_EQ("50 92 ", commands.back());
  if (!IsUsb()) {
    EXPECT_EQ((std::vector<std::string>{"50 90 ", "50 92 "}), commands);
  }
  EXPECT_TRUE(LogHas(Logged('I', path)));
  EXPECT_TRUE(LogHas(Logged('I', "RV270Api_SaveFile_NewName return[0]!")));

  // No photo path: no photo.
  sim.ClearRecords();
  EXPECT_EQ(3, RV270Api_EvaluateFZ(Port(), 0, "Li", "8003", 5, "", 30));
  EXPECT_EQ((std::vector<std::string>{"50 90 ", "50 92 "}), Commands(sim, LinkUnderTest()));
}

// A failed photo download ends the workflow before the card: -114, the last error left.
TEST_P(WorkflowTest, FailedPhotoSendsNoCard) {
  RV270Api_Keytest(Port(), 0, 0, 9);  // last error 100
  const size_t from = LogLines().size();
  EXPECT_EQ(-114, RV270Api_EvaluateFZ(Port(), 0, "Li", "8001", 5, Missing().c_str(), 30));
  EXPECT_EQ(100, RV270Api_GetErrorCode());
  EXPECT_GE(LogFind(Logged('I', "RV270Api_SaveFile_NewName return[-100]!"), from), 0);
  EXPECT_TRUE(sim.Requests().empty());
}

TEST_F(EvaluateRowTest, EvaluateBJZWOverUsb) {
  fs::path dir = fs::temp_directory_path() / "rv270_evaluate_bjzw";
  fs::remove_all(dir);
  fs::create_directories(dir / "d.old");
  rv270sim::SetProcessEnv("RV270_TEST_TRANSFER_WAITS", "5");
  auto write = [&](const std::string& name) {
    std::ofstream((dir / name).string(), std::ios::binary).write(reinterpret_cast<const char*>(kPhoto.data()),
                                                                 static_cast<std::streamsize>(kPhoto.size()));
    return (dir / name).string();
  };
  sim.SetCustomerOutcome(B({0x00, 0x00, 0x02}), 0);

  // The extension comes from the file name, not from a folder of the path.
  struct Case {
    std::string file;
    std::string deviceName;
  };
  for (const Case& c : std::vector<Case>{{"li.jpg", "8001.jpg"}, {"a.b.png", "8001.png"}, {"d.old/photo", "8001"},
                                         {"dot.", "8001"}}) {
    SCOPED_TRACE(c.file);
    sim.EditState([](rv270sim::DeviceState& s) { s.files.clear(); });
    const std::string path = write(c.file);
    EXPECT_EQ(2, Evaluate_BJZW("Li", "8001", 5, path.c_str(), 0, 30));
    const auto state = sim.State();
    ASSERT_EQ(1u, state.files.size());
    EXPECT_EQ(kTellerPhoto, state.files.begin()->first.first);
    EXPECT_EQ(c.deviceName, state.files.begin()->first.second);
    EXPECT_EQ(Hex(B({0x50, 0x92, 0x1E, 0x00})), Hex(LastRequest(sim)));
  }

  // Mode 1 skips the photo and is sent as the evaluation mode.
  sim.EditState([](rv270sim::DeviceState& s) { s.files.clear(); });
  sim.ClearRecords();
  EXPECT_EQ(2, Evaluate_BJZW("Li", "8001", 5, write("li.jpg").c_str(), 1, 30));
  EXPECT_TRUE(sim.State().files.empty());
  EXPECT_EQ((std::vector<std::string>{"50 90 ", "50 92 "}), Commands(sim, Link::kUsb));
  EXPECT_EQ(Hex(B({0x50, 0x92, 0x1E, 0x01})), Hex(LastRequest(sim)));

  // A failed download: -114 and no card.
  sim.ClearRecords();
  EXPECT_EQ(-114, Evaluate_BJZW("Li", "8001", 5, (dir / "missing.jpg").string().c_str(), 0, 30));
  EXPECT_TRUE(sim.Requests().empty());

  // The card's own failure is returned unchanged, and nothing is evaluated.
  sim.ScriptNext(0x50, 0x90, Answer::Status(0x01, 0x00));
  EXPECT_EQ(-4, Evaluate_BJZW("Li", "8001", 5, "", 0, 30));
  EXPECT_EQ("50 90 ", Commands(sim, Link::kUsb).back());

  // Refused before anything is sent: a teller number that would leave the photo folder,
  // a timeout the terminal cannot be given, a card or photo name that does not fit.
  struct Refusal {
    std::function<int()> call;
    std::string line;
  };
  const std::string photo = write("li.jpg");
  const std::string longNo(260, '8');
  const std::vector<Refusal> refusals = {
      {[&] { return Evaluate_BJZW("Li", "../8001", 5, photo.c_str(), 0, 30); }, "Evaluate_BJZW tellerNo is not a file name!"},
      {[&] { return Evaluate_BJZW("Li", "a\\b", 5, photo.c_str(), 0, 30); }, "Evaluate_BJZW tellerNo is not a file name!"},
      {[&] { return Evaluate_BJZW("Li", "c:x", 5, photo.c_str(), 0, 30); }, "Evaluate_BJZW tellerNo is not a file name!"},
      {[&] { return Evaluate_BJZW("Li", "", 5, photo.c_str(), 0, 30); }, "Evaluate_BJZW tellerNo is not a file name!"},
      {[&] { return Evaluate_BJZW("Li", longNo.c_str(), 5, photo.c_str(), 0, 30); },
       "Evaluate_BJZW head file name too long!"},
      {[&] { return Evaluate_BJZW("Li", "8001", 5, "li.jp:g", 0, 30); }, "Evaluate_BJZW head file name is not a file name!"},
      {[&] { return Evaluate_BJZW("Li", "8001", 5, photo.c_str(), 0, 300); }, "Evaluate_BJZW timeout>255!"},
      {[&] { return Evaluate_BJZW("Li", "8001", 5, photo.c_str(), 0, -1); }, "Evaluate_BJZW timeout<0!"},
      {[&] { return Evaluate_BJZW(std::string(600, 'L').c_str(), "8001", 5, photo.c_str(), 0, 30); },
       "Evaluate_BJZW teller card too long!"},
      {[&] { return RV270Api_EvaluateFZ(kUsbPort, 0, "Li", "x/1", 5, photo.c_str(), 30); },
       "RV270Api_EvaluateFZ tellerNo is not a file name!"},
  };
  sim.ClearRecords();
  for (const Refusal& r : refusals) {
    SCOPED_TRACE(r.line);
    const size_t from = LogLines().size();
    EXPECT_EQ(-2, r.call());
    EXPECT_EQ(100, RV270Api_GetErrorCode());
    EXPECT_GE(LogFind(Logged('E', r.line), from), 0);
  }
  EXPECT_TRUE(sim.Requests().empty());
  // Without a photo the teller number is only card text.
  EXPECT_EQ(2, Evaluate_BJZW("Li", "../8001", 5, photo.c_str(), 1, 30));
  std::error_code ec;
  fs::remove_all(dir, ec);
}

}  // namespace
