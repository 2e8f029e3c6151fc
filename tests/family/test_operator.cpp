// Operator management against the simulated operator table: the administrator session,
// records protected by the SM4 transport key (known answer of GB/T 32907-2016 on the
// wire), the operator session, statuses of each group, getSM4 failures, the time-out
// that clears the customer screen, and refusals.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "test_pinpad_support.h"

using namespace pinpadtest;

namespace {

constexpr char kTestKey[] = "0123456789ABCDEFFEDCBA9876543210";
constexpr int kBaud = 9600;

class OperatorTest : public OutcomeTest {
 protected:
  size_t RequestCount() const { return sim.Requests().size(); }
};
RV270_INSTANTIATE_LINKS(OperatorTest);

TEST_P(OperatorTest, SessionsAndRecords) {
  ASSERT_EQ(0, SendCiphertext(Port(), kBaud, "CIPHER", 5));
  EXPECT_EQ(B({0x50, 0xA6, 0x01, 0x00, 0x63}) + Str("CIPHER"), LastRequest());
  EXPECT_TRUE(LogHas("RV270Api_Communication return ok,Keytest done!"));

  // Operator 65 is operator 1 (low 6 bits); a six-digit password is its own characters
  // followed by ten zero bytes, encrypted under the transport key of this command.
  size_t before = RequestCount();
  ASSERT_EQ(0, CreatOperator(Port(), kBaud, 65, "123456", 5));
  ASSERT_EQ(before + 2, RequestCount());
  EXPECT_EQ(B({0x50, 0xA7, 0x00}), sim.Requests()[before].payload);
  const Bytes create = LastRequest();
  ASSERT_EQ(50u, create.size());
  EXPECT_EQ(B({0x50, 0xA7, 0x01, 0x04, '0', '0', '0', 0x01, 0x20}), Bytes(create.begin(), create.begin() + 9));
  EXPECT_EQ(0x08, create[41]);
  EXPECT_EQ("31323334353600000000000000000000", sim.State().values["op.1.password"]);
  const int start = LogFind("****************CreatOperator start****************");
  ASSERT_GE(start, 0);
  EXPECT_EQ(start + 1, LogFind("****************RV270Api_SetBaud start****************", start));
  EXPECT_EQ(start + 2, LogFind("****************getSM4 start****************", start));
  EXPECT_TRUE(LogHas("RV270Api_Communication return ok,CreatOperator done!"));

  EXPECT_EQ(-1, CreatOperator(Port(), kBaud, 1, "999", 5));  // the operator exists
  EXPECT_EQ(0, RV270Api_GetErrorCode());
  EXPECT_EQ(-1, SetOperatorPower(Port(), kBaud, 3, 70, 5));  // no operator 3
  ASSERT_EQ(0, CreatOperator(Port(), kBaud, 3, "A1b2", 5));
  // Each character is 0x30 plus its hexadecimal value.
  EXPECT_EQ("3A313B32000000000000000000000000", sim.State().values["op.3.password"]);
  ASSERT_EQ(0, SetOperatorPower(Port(), kBaud, 3, 70, 5));
  EXPECT_EQ(B({0x50, 0xA7, 0x03, 0x04, '0', '0', '0', 0x03, 0x01, 0x06}), LastRequest());
  EXPECT_EQ("6", sim.State().values["op.3.power"]);

  // The operator key (addressed to operator 1 whatever it is), then a sign-in under it
  // that asks for no transport key.
  ASSERT_EQ(0, SetOperatorKey(Port(), kBaud, kTestKey, 5));
  const Bytes setKey = LastRequest();
  EXPECT_EQ(B({0x50, 0xA7, 0x02, 0x04, '0', '0', '0', 0x01, 0x20}), Bytes(setKey.begin(), setKey.begin() + 9));
  EXPECT_EQ(kTestKey, sim.State().values["op.key"]);
  before = RequestCount();
  ASSERT_EQ(0, OperatorSignIn(Port(), kBaud, 1, kTestKey, "123456", 5));
  ASSERT_EQ(before + 1, RequestCount());
  EXPECT_EQ(41u, LastRequest().size());
  EXPECT_EQ(-1, OperatorSignIn(Port(), kBaud, 1, kTestKey, "654321", 5));  // wrong password
  ASSERT_EQ(0, CiphertextSignOut(Port(), kBaud, 0, 5));
  EXPECT_EQ(B({0x50, 0xA8, 0x01}), LastRequest());
  EXPECT_EQ(-2, CiphertextSignOut(Port(), kBaud, 0, 5));  // nobody signed in
  EXPECT_EQ(0, RV270Api_GetErrorCode());

  ASSERT_EQ(0, DelOperator(Port(), kBaud, 1, 5));
  EXPECT_EQ(B({0x50, 0xA7, 0x04, 0x04, '0', '0', '0', 0x01}), LastRequest());
  EXPECT_EQ(-1, DelOperator(Port(), kBaud, 1, 5));
  ASSERT_EQ(0, DelAllOperator(Port(), kBaud, 5));
  EXPECT_EQ(B({0x50, 0xA7, 0x05}), LastRequest());
  EXPECT_EQ(0u, sim.State().values.count("op.3.password"));
  ASSERT_EQ(0, AdministratorSignOut(Port(), kBaud, 5));
  EXPECT_EQ(B({0x50, 0xA6, 0x02}), LastRequest());
  EXPECT_EQ(-2, CreatOperator(Port(), kBaud, 2, "1", 5));  // no administrator session
  EXPECT_FALSE(LogHas("313233343536"));
}

// GB/T 32907-2016 Appendix A, example 1: key = plaintext = 0123456789ABCDEFFEDCBA9876543210
// gives 681EDF34D206965E86B3E94F536E4246. Here the transport key and the operator key are
// that value, so the request carries exactly that ciphertext.
TEST_P(OperatorTest, OperatorKeyGoesOutEncryptedWithSm4) {
  sim.ScriptNext(0x50, 0xA7, Answer::Done(kTestKey));
  SetOperatorKey(Port(), kBaud, kTestKey, 5);
  const Bytes sent = LastRequest();
  ASSERT_EQ(50u, sent.size());
  EXPECT_EQ(Str("681EDF34D206965E86B3E94F536E4246"), Bytes(sent.begin() + 9, sent.begin() + 41));
  EXPECT_FALSE(LogHas(kTestKey));
  EXPECT_FALSE(LogHas("681EDF34"));
}

TEST_P(OperatorTest, StatusesOfEachGroup) {
  char key[200];
  ExpectOutcomes("SendCiphertext", [](int p) { return SendCiphertext(p, kBaud, "C", 5); },
                 {
                     {Answer::Status(0x00, 0x01), -4, 103, "RV270Api_Communication return error!"},
                     {Broken(), -3, 102, "RV270Api_Communication return -"},
                 });
  ExpectOutcomes("CiphertextSignOut", [](int p) { return CiphertextSignOut(p, kBaud, 0, 5); },
                 {
                     {Answer::Status(0x00, 0x01), -1, 0, "RV270Api_Communication return ok,CiphertextSignOut done!"},
                     {Answer::Status(0x00, 0x02), -2, 0, "RV270Api_Communication return ok,CiphertextSignOut done!"},
                     {Answer::Status(0x00, 0x09), -4, 103, "RV270Api_Communication return error!"},
                 });
  sim.ClearRecords();
  // getSM4: 0x00 0x01 is its own case, 0x00 0x02 is not; the command stops on either,
  // without an end line of its own.
  ExpectOutcomes("DelOperator", [](int p) { return DelOperator(p, kBaud, 1, 5); },
                 {
                     {Answer::Status(0x00, 0x01), -1, 0, "RV270Api_Communication return ok,Keytest done!"},
                     {Answer::Status(0x00, 0x02), -4, 103, "RV270Api_Communication return error!"},
                 });
  EXPECT_EQ(0u, LogCount("****************DelOperator end****************"));
  EXPECT_EQ(2u, LogCount("****************getSM4 end****************"));
  for (const auto& r : sim.Requests()) EXPECT_EQ(B({0x50, 0xA7, 0x00}), r.payload);

  memset(key, 'z', sizeof(key));
  sim.ScriptNext(Answer::Done(std::string(64, 'K')));
  ASSERT_EQ(0, ApplySM2Key(Port(), kBaud, key, 0, 5));
  EXPECT_EQ(std::string(64, 'K') + "z", std::string(key, 65));
  EXPECT_EQ(B({0x50, 0xA6, 0x00}), LastRequest());
}

// A transport key answer without the key text: the key would be all zeros and the
// password block would go out under a known key. The command stops after getSM4.
TEST_P(OperatorTest, TransportKeyAnswerWithoutKeyIsRefused) {
  ASSERT_EQ(0, SendCiphertext(Port(), kBaud, "CIPHER", 5));  // the administrator session
  struct Case {
    const char* name;
    std::function<int(int)> call;
  };
  const Case cases[] = {
      {"CreatOperator", [](int p) { return CreatOperator(p, kBaud, 2, "123456", 5); }},
      {"SetOperatorKey", [](int p) { return SetOperatorKey(p, kBaud, kTestKey, 5); }},
      {"SetOperatorPower", [](int p) { return SetOperatorPower(p, kBaud, 2, 1, 5); }},
      {"DelOperator", [](int p) { return DelOperator(p, kBaud, 2, 5); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim.ClearRecords();
    sim.ScriptNext(0x50, 0xA7, Answer::Done());
    const size_t from = LogLines().size();
    EXPECT_EQ(-4, c.call(Port()));
    EXPECT_EQ(103, RV270Api_GetErrorCode());
    EXPECT_GE(LogFind(rv270test::Logged('E', "getSM4 answer shorter than announced!"), from), 0);
    ASSERT_EQ(1u, RequestCount());
    EXPECT_EQ(B({0x50, 0xA7, 0x00}), sim.Requests()[0].payload);
  }
}

TEST_P(OperatorTest, NoAnswerInTimeClearsTheCustomerScreen) {
  if (!IsUsb()) GTEST_SKIP() << "the serial link reports no answer as -2";
  sim.ScriptNext(Answer::None());
  EXPECT_EQ(-3, AdministratorSignOut(Port(), kBaud, 0));
  EXPECT_EQ(102, RV270Api_GetErrorCode());
  EXPECT_TRUE(LogHas("ERROR: RV270Api_Communication return timeout"));
  EXPECT_TRUE(LogHas("RV270Api_Communication return -9!"));
  EXPECT_EQ(2u, LogCount("****************AdministratorSignOut end****************"));
  EXPECT_TRUE(sim.WaitUntil([&] { return LastRequest() == B({0x50, 0x15}); }));
}

TEST_P(OperatorTest, TextsThatDoNotFitAreRefusedBeforeSending) {
  const std::string longKey(97, 'A'), longCipher(508, 'c');
  ExpectRefused({
      {[&] { return CreatOperator(Port(), kBaud, 1, "12345678901234567", 5); }, "CreatOperator pPassword too long!"},
      {[&] { return SetOperatorKey(Port(), kBaud, longKey.c_str(), 5); }, "SetOperatorKey pOperatorKey too long!"},
      {[&] { return OperatorSignIn(Port(), kBaud, 1, longKey.c_str(), "1", 5); }, "OperatorSignIn pOperatorKey too long!"},
      {[&] { return SendCiphertext(Port(), kBaud, longCipher.c_str(), 5); }, "SendCiphertext pCiphertext too long!"},
  }, -2);
  EXPECT_TRUE(sim.Requests().empty());
  // Sixteen characters and a 96-character key still go.
  EXPECT_EQ(0, SendCiphertext(Port(), kBaud, "C", 5));
  EXPECT_EQ(0, CreatOperator(Port(), kBaud, 9, "1234567890123456", 5));
  EXPECT_EQ(0, SetOperatorKey(Port(), kBaud, std::string(96, 'A').c_str(), 5));
}

}  // namespace
