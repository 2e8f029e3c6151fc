// Master and work keys: the key store in the simulated PIN pad driven through the
// exports (components, keys under keys, activation, check values, data encryption),
// public keys, the session key, the request layouts, refusals and outcome rows.
//
// Known answers (DES, FIPS 46-3; triple DES EDE with a double-length key):
// - DES of the all-zero block under the all-zero key is 8CA64DE9C1B123A7 (the weak-key
//   example of the NBS/NIST validation tables, and the check value "8CA64D" of an
//   all-zero key in payment-industry key ceremonies);
// - triple DES of the all-zero block under 0123456789ABCDEFFEDCBA9876543210 is
//   08D7B4FB629D0885 (the check value "08D7B4" of that usual test key).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "test_pinpad_support.h"

using namespace pinpadtest;

namespace {

constexpr char kTestKey[] = "0123456789ABCDEFFEDCBA9876543210";
constexpr char kZeroHalf[] = "0000000000000000";
constexpr char kTestKeyCheck[] = "08D7B4FB";
// The all-zero double-length key under the test key, and its check value.
constexpr char kZeroUnderTestKey[] = "08D7B4FB629D088508D7B4FB629D0885";
constexpr char kZeroKeyCheck[] = "8CA64DE9";

class PinpadStoreTest : public OutcomeTest {
 protected:
  // Master key 001 = the test key, from two components.
  void LoadTestMaster(const char* index = "1") {
    char out[64] = {0};
    ASSERT_EQ(0, RV270Api_InputTMK(Port(), 0, index, kTestKey, "00000000000000000000000000000000", out, 0));
    ASSERT_STREQ(kTestKeyCheck, out);
  }
};
RV270_INSTANTIATE_LINKS(PinpadStoreTest);

TEST_P(PinpadStoreTest, MasterKeyFromComponents) {
  char out[64];
  memset(out, 0, sizeof(out));
  // The components combine (XOR) into the test key.
  ASSERT_EQ(0, RV270Api_InputTMK(Port(), 0, "1", "0123456789ABCDEF0000000000000000", "0000000000000000FEDCBA9876543210",
                                 out, 0));
  EXPECT_STREQ(kTestKeyCheck, out);
  EXPECT_EQ(B({0x50, 0x54, '0', '0', '1', 0x20}) + Str("0123456789ABCDEF0000000000000000") + B({0x20}) +
                Str("0000000000000000FEDCBA9876543210") + B({0x00}),
            LastRequest());
  EXPECT_TRUE(LogHas("RV270Api_InputTMK TMKIndex=1,Tmk1=" + std::string(32, '*') + ",Tmk2=" + std::string(32, '*')));
  EXPECT_FALSE(LogHas("0123456789ABCDEF"));

  // Its check value again; an index text longer than three characters gives its first three.
  memset(out, 0, sizeof(out));
  EXPECT_EQ(0, RV270Api_GetMKeyValue(Port(), 0, "1", out, 0));
  EXPECT_STREQ(kTestKeyCheck, out);
  EXPECT_EQ(-4, RV270Api_GetMKeyValue(Port(), 0, "1234", out, 0));
  EXPECT_EQ(103, RV270Api_GetErrorCode());
  EXPECT_EQ(B({0x50, 0x59, '1', '2', '3', 0x00}), LastRequest());
}

TEST_P(PinpadStoreTest, WorkKeyUnderItsMasterKey) {
  LoadTestMaster("5");
  ASSERT_EQ(0, RV270Api_InputKEY(Port(), 0, "5", "3", "16", kZeroUnderTestKey, kZeroKeyCheck, 1));
  const Bytes sent = LastRequest();
  EXPECT_EQ(49u, sent.size());
  EXPECT_EQ(B({0x50, 0x56, '0', '0', '5', '0', '3', 0x10}) + Str(kZeroUnderTestKey) + Str(kZeroKeyCheck) + B({0x01}),
            sent);
  EXPECT_TRUE(LogHas("RV270Api_InputKEY TMKIndex=5,KEYIndex=3,KeyLen=16,keyByTMK=" + std::string(32, '*') +
                     ",KeyValue=********"));
  // A check value that does not match the key: the device refuses it.
  EXPECT_EQ(-4, RV270Api_InputKEY(Port(), 0, "5", "4", "16", kZeroUnderTestKey, "12345678", 1));
  EXPECT_EQ(103, RV270Api_GetErrorCode());

  ASSERT_EQ(0, RV270Api_ActiveWKey(Port(), 0, "5", "3"));
  EXPECT_EQ(B({0x50, 0x68, '0', '0', '5', '0', '3'}), LastRequest());
  EXPECT_TRUE(LogHas("RV270Api_ActiveWKey TMKIndex=5,KEYIndex=3,"));
  char out[64];
  memset(out, 0, sizeof(out));
  ASSERT_EQ(0, RV270Api_CheckKEY(Port(), 0, "5", "3", 99, out, 0));
  EXPECT_STREQ(kZeroKeyCheck, out);
  EXPECT_EQ(B({0x50, 0x57, '0', '0', '5', '0', '3', 0x00}), LastRequest());

  // Data encrypted under the work key (ECB): the all-zero block gives 8CA64DE9C1B123A7.
  memset(out, 0, sizeof(out));
  ASSERT_EQ(0, RV270Api_CryptData(Port(), 0, "5", "3", "8", kZeroHalf, out, 0));
  EXPECT_STREQ("8CA64DE9C1B123A7", out);
  EXPECT_EQ(B({0x50, 0x58, '0', '0', '5', '0', '3', 0x08}) + Str(kZeroHalf) + B({0x00}), LastRequest());
  EXPECT_TRUE(LogHas("RV270Api_CryptData TMKIndex=5,KEYIndex=3,DataLen=8,Data=****************"));
}

TEST_P(PinpadStoreTest, KeysUnderOldKeys) {
  LoadTestMaster();
  char out[64];
  memset(out, 0, sizeof(out));
  // The new master key's index comes before the key, the old one's at the very end.
  ASSERT_EQ(0, RV270Api_LoadTMK(Port(), 0, "1", "16", "2", kZeroUnderTestKey, out, 0));
  EXPECT_STREQ(kZeroKeyCheck, out);
  EXPECT_EQ(B({0x50, 0x55, '0', '0', '2', 0x10}) + Str(kZeroUnderTestKey) + B({0x00, '0', '0', '1'}), LastRequest());
  EXPECT_TRUE(LogHas("RV270Api_LoadTMK OldTMKIndex=1 NewKEYLen=16,TMKIndex=2,NewTMKByOldTMK=" + std::string(32, '*')));

  // Master key 002 (all zero) replaced by the key it wraps: again all zero.
  memset(out, 0, sizeof(out));
  ASSERT_EQ(0, RV270Api_WriteKeyWithDesCiper(Port(), 0, "002", "16", "8CA64DE9C1B123A78CA64DE9C1B123A7", out));
  EXPECT_STREQ(kZeroKeyCheck, out);
  EXPECT_EQ(B({0x50, 0x5F, '0', '0', '2', 0x10}) + Str("8CA64DE9C1B123A78CA64DE9C1B123A7"), LastRequest());
  EXPECT_TRUE(LogHas("RV270Api_WriteKeyWithDesCiper keyIndex=002,newKeyLen=16,newKeyByOldKey=" + std::string(32, '*')));

  // Work key 01 under master key 001, with raw three-character indices.
  memset(out, 0, sizeof(out));
  ASSERT_EQ(0, RV270Api_WriteWorkKeyWithMainkey(Port(), 0, "001", "001", "16", kZeroUnderTestKey, out));
  EXPECT_STREQ(kZeroKeyCheck, out);
  EXPECT_EQ(B({0x50, 0x61, '0', '0', '1', '0', '0', '1', 0x10}) + Str(kZeroUnderTestKey), LastRequest());

  // The SM4 variant's layout; a short raw index is followed by zero bytes.
  RV270Api_WriteKeyWithSM4Ciper(Port(), 0, "007", "16", "ABCD", out);
  EXPECT_EQ(B({0x50, 0x60, '0', '0', '7', 0x10}) + Str("ABCD"), LastRequest());
  RV270Api_WriteKeyWithSM4Ciper(Port(), 0, "7", "16", "ABCD", out);
  EXPECT_EQ(B({0x50, 0x60, '7', 0x00, 0x00, 0x10}) + Str("ABCD"), LastRequest());
}

TEST_P(PinpadStoreTest, PublicKeys) {
  char out[4096];
  const std::string sm2(128, 'C');
  memset(out, 0, sizeof(out));
  ASSERT_EQ(0, RV270Api_DownLoadSM2Public(Port(), 0, "1", sm2.c_str(), out));
  EXPECT_EQ(B({0x50, 0x36, '0', '0', '1', 0x00, 0x80}) + Str(sm2), LastRequest());
  EXPECT_STREQ("001", out);
  EXPECT_TRUE(LogHas("RV270Api_DownLoadSM2Public pSm2:[" + sm2 + "]"));
  ASSERT_EQ(0, RV270Api_DownLoadRSAPublic(Port(), 0, "12", "0102", out));
  EXPECT_EQ(B({0x50, 0x38, '0', '1', '2', 0x00, 0x04}) + Str("0102"), LastRequest());

  memset(out, 0, sizeof(out));
  ASSERT_EQ(0, RV270Api_GetRSAPublicKey(Port(), 0, 256, out));
  EXPECT_EQ(B({0x50, 0x37, '2', '5', '6'}), LastRequest());
  EXPECT_EQ(64u, strlen(out));
  EXPECT_TRUE(LogHas("RV270Api_GetRSAPublicKey PublicLen=256"));

  // An answer longer than the documented maximum copies nothing (the serial link takes
  // no answer that long).
  if (IsUsb()) {
    memset(out, 'z', sizeof(out));
    sim.ScriptNext(Answer::Done(std::string(2049, 'k')));
    EXPECT_EQ(-4, RV270Api_DownLoadSM2Public(Port(), 0, "1", "AB", out));
    EXPECT_EQ(122, RV270Api_GetErrorCode());
    EXPECT_EQ('z', out[0]);
  }

  // The parts of the wrapped session key: each length is the sum of its two bytes.
  char part1[600], part2[600];
  sim.ScriptNext(Answer::Of(B({0x00, 0x00, 0x00, 0x04}) + Str("ABCD") + B({0x00, 0x02}) + Str("EF")));
  ASSERT_EQ(0, RV270Api_EncBySm2_PK(Port(), 0, "16", sm2.c_str(), part1, part2));
  EXPECT_STREQ("ABCD", part1);
  EXPECT_STREQ("EF", part2);
  EXPECT_EQ(B({0x50, 0x5E, 0x10, 0x80}) + Str(sm2), LastRequest());
  ASSERT_EQ(0, RV270Api_EncBySm2_PK(Port(), 0, "16", sm2.c_str(), part1, part2));
  EXPECT_EQ(8u, strlen(part2));
  EXPECT_EQ(sim.State().values.count("session"), 1u);
  ASSERT_EQ(0, RV270Api_CleanSessionKey(Port(), 0));
  EXPECT_EQ(B({0x50, 0x62}), LastRequest());
  EXPECT_EQ(sim.State().values.count("session"), 0u);
  sim.ScriptNext(Answer::Of(B({0x00, 0x00, 0x80, 0x7F}) + Str("short")));
  EXPECT_EQ(-4, RV270Api_EncBySm2_PK(Port(), 0, "16", sm2.c_str(), part1, part2));
  EXPECT_EQ(103, RV270Api_GetErrorCode());
}

TEST_P(PinpadStoreTest, CustomerWorkKeyLoad) {
  LoadTestMaster();
  ASSERT_EQ(0, Nb_InputWKey(Port(), 0, (std::string("00102") + kZeroUnderTestKey).c_str()));
  EXPECT_EQ(B({0x10, 0x17, 0x00, 0x00}) + Str(std::string("00102") + kZeroUnderTestKey), LastRequest());
  EXPECT_TRUE(LogHas("Nb_InputWKey return ok!"));
  EXPECT_TRUE(LogHas("****************Nb_InputWKey start****************"));
  ExpectOutcomes("Nb_InputWKey", [](int p) { return Nb_InputWKey(p, 0, "00199"); },
                 {
                     {Answer::Status(0x00, 0x09), -4, 103, "Nb_InputWKey return error!"},
                     {Broken(), -3, 102, "Nb_InputWKey return -"},
                 });
}

TEST_P(PinpadStoreTest, EveryMemberMapsRefusalsAndLinkFailures) {
  char out[600], out2[600];
  const std::pair<const char*, std::function<int(int)>> kMembers[] = {
      {"RV270Api_InputTMK", [&](int p) { return RV270Api_InputTMK(p, 0, "1", "AA", "BB", out, 0); }},
      {"RV270Api_LoadTMK", [&](int p) { return RV270Api_LoadTMK(p, 0, "1", "16", "2", "AA", out, 0); }},
      {"RV270Api_InputKEY", [](int p) { return RV270Api_InputKEY(p, 0, "1", "1", "16", "AA", "BB", 0); }},
      {"RV270Api_ActiveWKey", [](int p) { return RV270Api_ActiveWKey(p, 0, "1", "1"); }},
      {"RV270Api_CheckKEY", [&](int p) { return RV270Api_CheckKEY(p, 0, "1", "1", 0, out, 0); }},
      {"RV270Api_CryptData", [&](int p) { return RV270Api_CryptData(p, 0, "1", "1", "8", "AA", out, 0); }},
      {"RV270Api_GetMKeyValue", [&](int p) { return RV270Api_GetMKeyValue(p, 0, "1", out, 0); }},
      {"RV270Api_DownLoadSM2Public", [&](int p) { return RV270Api_DownLoadSM2Public(p, 0, "1", "AA", out); }},
      {"RV270Api_GetRSAPublicKey", [&](int p) { return RV270Api_GetRSAPublicKey(p, 0, 1024, out); }},
      {"RV270Api_DownLoadRSAPublic", [&](int p) { return RV270Api_DownLoadRSAPublic(p, 0, "1", "AA", out); }},
      {"RV270Api_EncBySm2_PK", [&](int p) { return RV270Api_EncBySm2_PK(p, 0, "16", "AA", out, out2); }},
      {"RV270Api_WriteKeyWithDesCiper", [&](int p) { return RV270Api_WriteKeyWithDesCiper(p, 0, "001", "8", "AA", out); }},
      {"RV270Api_WriteKeyWithSM4Ciper", [&](int p) { return RV270Api_WriteKeyWithSM4Ciper(p, 0, "001", "8", "AA", out); }},
      {"RV270Api_WriteWorkKeyWithMainkey",
       [&](int p) { return RV270Api_WriteWorkKeyWithMainkey(p, 0, "001", "001", "8", "AA", out); }},
      {"RV270Api_CleanSessionKey", [](int p) { return RV270Api_CleanSessionKey(p, 0); }},
  };
  for (const auto& m : kMembers) {
    ExpectOutcomes(m.first, m.second,
                   {
                       {Answer::Status(0x00, 0x09), -4, 103, "RV270Api_Communication return error!"},
                       {Answer::Status(0x6A, 0x82), -4, 103, "RV270Api_Communication return error!"},
                       {Broken(), -3, 102,
                        std::string(m.first) == "RV270Api_ActiveWKey" ? "RV270Api_ActiveWKey return -"
                                                                      : "RV270Api_Communication return -"},
                   });
  }
  // A counted answer shorter than it announces copies nothing.
  memset(out, 'z', sizeof(out));
  sim.ScriptNext(Answer::Of(B({0x00, 0x00, 0x10}) + Str("abc")));
  EXPECT_EQ(-4, RV270Api_CheckKEY(Port(), 0, "1", "1", 0, out, 0));
  EXPECT_EQ(103, RV270Api_GetErrorCode());
  EXPECT_EQ('z', out[0]);
}

TEST_P(PinpadStoreTest, TextsThatDoNotFitAreRefusedBeforeSending) {
  char out[64];
  const std::string k256(256, 'A'), k600(600, 'A');
  ExpectRefused({
      {[&] { return RV270Api_InputTMK(Port(), 0, "1", k256.c_str(), "AA", out, 0); }, "RV270Api_InputTMK Tmk1 too long!"},
      {[&] { return RV270Api_InputTMK(Port(), 0, "1", "AA", k256.c_str(), out, 0); }, "RV270Api_InputTMK Tmk2 too long!"},
      {[&] { return RV270Api_InputTMK(Port(), 0, "1", std::string(255, 'A').c_str(), std::string(255, 'B').c_str(), out, 0); },
       "RV270Api_InputTMK key components too long!"},
      {[&] { return RV270Api_CryptData(Port(), 0, "1", "1", "8", k600.c_str(), out, 0); }, "RV270Api_CryptData Data too long!"},
      {[&] { return RV270Api_EncBySm2_PK(Port(), 0, "16", k256.c_str(), out, out); }, "RV270Api_EncBySm2_PK pk too long!"},
      {[&] { return RV270Api_DownLoadRSAPublic(Port(), 0, "1", k600.c_str(), out); }, "RV270Api_DownLoadRSAPublic pRsa too long!"},
      {[&] { return RV270Api_DownLoadSM2Public(Port(), 0, "1", "", out); }, "RV270Api_DownLoadSM2Public pSm2 is empty!"},
      {[&] { return RV270Api_DownLoadRSAPublic(Port(), 0, "1", nullptr, out); }, "RV270Api_DownLoadRSAPublic pRsa is empty!"},
  }, -2);
  EXPECT_TRUE(sim.Requests().empty());
}

}  // namespace
