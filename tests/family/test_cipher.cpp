// The terminal's national-cipher services against the simulated engine: request bytes,
// published known-answer vectors, copies into the caller's buffers, outcome rows and
// refusals. The services use the USB link only.
//
// Vectors:
// - SM3 of "abc": GB/T 32905-2016, example 1.
// - SM4 ECB of one block: GB/T 32907-2016, example 1 (key = plain text =
//   0123456789ABCDEFFEDCBA9876543210).
// - SM4 ECB and CBC of AAAAAAAABBBBBBBB...: draft-ribose-cfrg-sm4 (the SM4 description
//   submitted to the IETF), examples A.2.1.1 and A.2.2.1.
// - SM2 encryption of "encryption standard": GB/T 32918.4-2016, annex A (key pair dB/PB,
//   fixed k = 4C62EEFD...49DD7B4F), C = C1||C2||C3.
//
// The random-data job's file lands in the folder 性能 beside the library.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "QornRV270API.h"
#include "support/outcome_rows.h"

namespace {

using rv270sim::Answer;
using rv270sim::Bytes;
using namespace rv270test;

const std::string kSm3Abc = "66C7F0F462EEEDD9D1F2D46BDC10E4E24167C4875CF2F7A2297DA02B8F4BA8E0";
const std::string kSm4Key = "0123456789ABCDEFFEDCBA9876543210";
const std::string kSm4Block = "681EDF34D206965E86B3E94F536E4246";
const std::string kIv = "000102030405060708090A0B0C0D0E0F";
const std::string kZeroIv(32, '0');
const std::string kDraftPlain = "AAAAAAAABBBBBBBBCCCCCCCCDDDDDDDDEEEEEEEEFFFFFFFFAAAAAAAABBBBBBBB";
const std::string kDraftEcb = "5EC8143DE509CFF7B5179F8F474B86192F1D305A7FB17DF985F81C8482192304";
const std::string kDraftCbc = "78EBB11CC40B0A48312AAEB2040244CB4CB7016951909226979B0D15DC6A8F6D";

const std::string kSm2Pri = "1649AB77A00637BD5E2EFE283FBF353534AA7F7CB89463F208DDBC2920BB0DA0";
const std::string kSm2Pub =
    "435B39CCA8F3B508C1488AFC67BE491A0F7BA07E581A0E4849A5CF70628A7E0A"
    "75DDBA78F15FEECB4C7895E2C1CDF5FE01DEBB2CDBADF45399CCF77BBA076A42";
const std::string kSm2Message = "encryption standard";
const std::string kSm2C1 =
    "04245C26FB68B1DDDDB12C4B6BF9F2B6D5FE60A383B0D18D1C4144ABF17F6252E7"
    "76CB9264C2A7E88E52B19903FDC47378F605E36811F5C07423A24B84400F01B8";
const std::string kSm2C2 = "650053A89B41C418B0C3AAD00D886C00286467";
const std::string kSm2C3 = "9C3D7360C30156FAB7C80A0276712DA9D8094A634B766D3A285E07480653426D";
const std::string kExtra64(64, 'E');
const std::string kExtra32 = "31323334353637383132333435363738";

constexpr int kSentinelError = 100;

// Sets the last error to kSentinelError without an exchange, so a success that leaves it
// as it was shows.
void SetSentinelError() { RV270Api_Keytest(kUsbPort, 0, -1, 1); }

// The output buffer of a case: filled with 'z' so that what was not written shows.
char g_out[70000];

std::string Out(size_t n) { return std::string(g_out, n); }

// A service called with its output buffer g_out.
using Service = std::function<int()>;

struct Export {
  const char* name;
  Service call;
};

const char* Text(const std::string& s) { return s.c_str(); }

// Every service with inputs the simulated engine knows.
const std::vector<Export>& Exports() {
  static const std::vector<Export> exports = {
      {"sm2EN", [] { return sm2EN(Text(kSm2Pub), Text(kSm2Pri), Text(kSm2Message), g_out); }},
      {"sm2DE", [] { return sm2DE(Text(kSm2Pub), Text(kSm2Pri), Text(kSm2C1 + kSm2C2 + kSm2C3), g_out); }},
      {"sm2encrypt", [] { return sm2encrypt(Text(kSm2Pub), Text(kSm2Pri), Text(kExtra64), Text(kSm2Message), g_out); }},
      {"sm2encrypt_af", [] { return sm2encrypt_af(Text(kSm2Pub), Text(kSm2Pri), Text(kSm2Message), g_out); }},
      {"sm3Calc", [] { return sm3Calc(Text(kSm2Pub), Text(kSm2Pri), Text(kExtra32), "abc", g_out); }},
      {"sm3Calc_nID", [] { return sm3Calc_nID("abc", g_out); }},
      {"sm4mac", [] { return sm4mac(Text(kSm4Key), Text(kZeroIv), Text(kSm4Key), g_out); }},
      {"sm4EN_cbc", [] { return sm4EN_cbc(Text(kSm4Key), Text(kIv), Text(kDraftPlain), g_out); }},
      {"sm4EN_ecb", [] { return sm4EN_ecb(Text(kSm4Key), Text(kSm4Key), g_out); }},
      {"sm4DE_cbc", [] { return sm4DE_cbc(Text(kSm4Key), Text(kIv), Text(kDraftCbc), g_out); }},
      {"sm4DE_ecb", [] { return sm4DE_ecb(Text(kSm4Key), Text(kDraftEcb), g_out); }},
      {"getsm2key", [] { return getsm2key(g_out, g_out + 200); }},
  };
  return exports;
}

class CipherTest : public RowTest {
 protected:
  void SetUp() override {
    RowTest::SetUp();
    memset(g_out, 'z', sizeof(g_out));
  }

  // The request payload of the latest exchange.
  Bytes LastRequest() const {
    const auto requests = sim.Requests();
    return requests.empty() ? Bytes() : requests.back().payload;
  }
};

// ---- Known answers ----------------------------------------------------------------------

TEST_F(CipherTest, PublishedVectorsComeBackUnchanged) {
  struct Case {
    const char* name;
    const char* service;
    std::function<int()> call;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"SM3 abc", "sm3Calc_nID", [] { return sm3Calc_nID("abc", g_out); }, kSm3Abc},
      {"SM3 abc with key fields", "sm3Calc",
       [] { return sm3Calc(Text(kSm2Pub), Text(kSm2Pri), Text(kExtra32), "abc", g_out); }, kSm3Abc},
      {"SM4 ECB one block", "sm4EN_ecb", [] { return sm4EN_ecb(Text(kSm4Key), Text(kSm4Key), g_out); }, kSm4Block},
      {"SM4 ECB one block back", "sm4DE_ecb", [] { return sm4DE_ecb(Text(kSm4Key), Text(kSm4Block), g_out); }, kSm4Key},
      {"SM4 ECB two blocks", "sm4EN_ecb", [] { return sm4EN_ecb(Text(kSm4Key), Text(kDraftPlain), g_out); }, kDraftEcb},
      {"SM4 ECB two blocks back", "sm4DE_ecb", [] { return sm4DE_ecb(Text(kSm4Key), Text(kDraftEcb), g_out); }, kDraftPlain},
      {"SM4 CBC", "sm4EN_cbc", [] { return sm4EN_cbc(Text(kSm4Key), Text(kIv), Text(kDraftPlain), g_out); }, kDraftCbc},
      {"SM4 CBC back", "sm4DE_cbc", [] { return sm4DE_cbc(Text(kSm4Key), Text(kIv), Text(kDraftCbc), g_out); }, kDraftPlain},
      // A MAC of one block under a zero initial vector is the block cipher itself.
      {"SM4 MAC one block", "sm4mac", [] { return sm4mac(Text(kSm4Key), Text(kZeroIv), Text(kSm4Key), g_out); }, kSm4Block},
      {"SM2 encryption", "sm2EN", [] { return sm2EN(Text(kSm2Pub), Text(kSm2Pri), Text(kSm2Message), g_out); },
       kSm2C1 + kSm2C2 + kSm2C3},
      {"SM2 encryption with extra field", "sm2encrypt",
       [] { return sm2encrypt(Text(kSm2Pub), Text(kSm2Pri), Text(kExtra64), Text(kSm2Message), g_out); },
       kSm2C1 + kSm2C2 + kSm2C3},
      {"SM2 encryption C1C3C2", "sm2encrypt_af", [] { return sm2encrypt_af(Text(kSm2Pub), Text(kSm2Pri), Text(kSm2Message), g_out); },
       kSm2C1 + kSm2C3 + kSm2C2},
      {"SM2 decryption", "sm2DE", [] { return sm2DE(Text(kSm2Pub), Text(kSm2Pri), Text(kSm2C1 + kSm2C2 + kSm2C3), g_out); },
       kSm2Message},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    memset(g_out, 'z', sizeof(g_out));
    SetSentinelError();
    const size_t from = LogLines().size();
    EXPECT_EQ(0, c.call());
    EXPECT_EQ(kSentinelError, RV270Api_GetErrorCode());  // a success leaves the last error alone
    EXPECT_EQ(c.expected + "z", Out(c.expected.size() + 1));  // no terminator
    EXPECT_GE(LogFind(Logged('I', "RV270Api_Communication return ok!"), from), 0);
    EXPECT_GE(LogFind(std::string("****************") + c.service + " start****************", from), 0);
    EXPECT_LT(LogFind(std::string("****************") + c.service + " end****************", from), 0);  // no end line
  }
  // Keys, data and results never reach the log.
  for (const std::string& secret : {kSm2Pri, kSm4Key, kSm2C2, kSm3Abc, kDraftPlain}) {
    EXPECT_FALSE(LogHas(secret)) << secret;
  }
}

TEST_F(CipherTest, KeyPairFillsExactlyItsTwoFields) {
  char pub[130], pri[66];
  memset(pub, 'z', sizeof(pub));
  memset(pri, 'z', sizeof(pri));
  EXPECT_EQ(0, getsm2key(pub, pri));
  EXPECT_EQ(kSm2Pub + "z", std::string(pub, 129));
  EXPECT_EQ(kSm2Pri + "z", std::string(pri, 65));
  EXPECT_EQ(Hex(B({0x60, 0x00, 0x00, 0x01})), Hex(LastRequest()));
  EXPECT_FALSE(LogHas(kSm2Pri));

  // An answer shorter than the pair is a failure and fills nothing.
  memset(pub, 'z', sizeof(pub));
  memset(pri, 'z', sizeof(pri));
  sim.ScriptNext(Answer::Done(kSm2Pub + kSm2Pri.substr(0, 63)));
  EXPECT_EQ(-4, getsm2key(pub, pri));
  EXPECT_EQ(103, RV270Api_GetErrorCode());
  EXPECT_EQ('z', pub[0]);
  EXPECT_EQ('z', pri[0]);
  EXPECT_TRUE(LogHas("****************getsm2key end****************"));
}

// ---- Requests on the wire ---------------------------------------------------------------

TEST_F(CipherTest, RequestLayouts) {
  const std::string data300(300, 'd');
  struct Case {
    const char* name;
    std::function<int()> call;
    Bytes request;
  };
  // A key text shorter than its field is read up to its terminator and padded with zero
  // bytes: what follows the terminator in the caller's memory is never sent.
  static const char kShortKey[] = "ABC\0XYZXYZXYZXYZXYZXYZXYZXYZXYZXYZ";
  const std::vector<Case> cases = {
      {"sm3Calc_nID abc", [] { return sm3Calc_nID("abc", g_out); },
       B({0x60, 0x00, 0x00, 0x07, 0x03, 0x61, 0x62, 0x63})},
      // 52 bytes: the header, the key, the data, no length byte.
      {"sm4EN_ecb 16 characters", [] { return sm4EN_ecb(Text(kSm4Key), "0123456789ABCDEF", g_out); },
       B({0x60, 0x00, 0x00, 0x10}) + Str(kSm4Key) + Str("0123456789ABCDEF")},
      // The length byte carries the low 8 bits of 300; all 300 bytes follow.
      {"sm2DE 300 bytes", [&] { return sm2DE(Text(kSm2Pub), Text(kSm2Pri), Text(data300), g_out); },
       B({0x60, 0x00, 0x00, 0x03}) + Str(kSm2Pub) + Str(kSm2Pri) + B({0x2C}) + Str(data300)},
      {"sm4mac short key", [] { return sm4mac(kShortKey, Text(kZeroIv), "x", g_out); },
       B({0x60, 0x00, 0x00, 0x08}) + Str("ABC") + Bytes(29, 0x00) + Str(kZeroIv) + B({0x01, 'x'})},
      {"sm2encrypt", [] { return sm2encrypt(Text(kSm2Pub), Text(kSm2Pri), Text(kExtra64), "m", g_out); },
       B({0x60, 0x00, 0x00, 0x04}) + Str(kSm2Pub) + Str(kSm2Pri) + Str(kExtra64) + B({0x01, 'm'})},
      {"sm3Calc", [] { return sm3Calc(Text(kSm2Pub), Text(kSm2Pri), Text(kExtra32), "", g_out); },
       B({0x60, 0x00, 0x00, 0x06}) + Str(kSm2Pub) + Str(kSm2Pri) + Str(kExtra32) + B({0x00})},
      {"sm2EN", [] { return sm2EN(Text(kSm2Pub), "", "m", g_out); },
       B({0x60, 0x00, 0x00, 0x02}) + Str(kSm2Pub) + Bytes(64, 0x00) + Str("m")},
      {"sm4DE_cbc", [] { return sm4DE_cbc(Text(kSm4Key), Text(kIv), "c", g_out); },
       B({0x60, 0x00, 0x00, 0x11}) + Str(kSm4Key) + Str(kIv) + Str("c")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim.ClearRecords();
    c.call();  // the engine may refuse inputs it has no vector for; the request is what counts
    ASSERT_EQ(1u, sim.Requests().size());
    EXPECT_EQ(rv270sim::Link::kUsb, sim.Requests()[0].link);
    EXPECT_EQ(Hex(c.request), Hex(LastRequest()));
  }
  EXPECT_EQ(0, sim.State().malformedRequests);

  // sm2EN marks the start of its exchange.
  const size_t from = LogLines().size();
  sm2EN(Text(kSm2Pub), Text(kSm2Pri), Text(kSm2Message), g_out);
  const int mark = LogFind("****************sm2EN RV270Api_Communication start****************", from);
  EXPECT_GE(mark, 0);
  EXPECT_GT(LogFind("send before", mark), mark);
}

// ---- Outcome rows -----------------------------------------------------------------------

TEST_F(CipherTest, EveryServiceMapsEveryOutcome) {
  Answer damaged = Answer::Done(kSm3Abc);
  damaged.faults.badStx = true;
  damaged.faults.badEtx = true;
  for (const Export& e : Exports()) {
    SCOPED_TRACE(e.name);
    const std::string end = std::string("****************") + e.name + " end****************";
    struct Row {
      Answer answer;
      int ret;
      int error;
      const char* line;
    };
    const std::vector<Row> rows = {
        {Answer::Status(0x00, 0x09), -4, 103, "ERROR: RV270Api_Communication return error!"},
        {Answer::Status(0xAA, 0x00), -4, 103, "ERROR: RV270Api_Communication return error!"},
        // Done without the data it should carry.
        {Answer::Status(0x00, 0x00), -4, 103, "ERROR: RV270Api_Communication return error!"},
        {damaged, -3, 102, "ERROR: RV270Api_Communication return -17!"},
    };
    for (const Row& row : rows) {
      memset(g_out, 'z', sizeof(g_out));
      sim.ScriptNext(row.answer);
      const size_t from = LogLines().size();
      EXPECT_EQ(row.ret, e.call());
      EXPECT_EQ(row.error, RV270Api_GetErrorCode());
      const int at = LogFind(row.line, from);
      EXPECT_GE(at, 0) << row.line;
      EXPECT_GT(LogFind(end, at < 0 ? from : at), at);
      EXPECT_EQ('z', g_out[0]);
    }
    EXPECT_GE(LogFind(std::string("****************") + e.name + " start****************"), 0);
  }
}

// A missing answer: the services wait 5 s (10 s for the bulk ciphers) and fail as a link
// failure.
TEST_F(CipherTest, NoAnswerIsALinkFailure) {
  sim.ScriptNext(Answer::None());
  EXPECT_EQ(-3, sm3Calc_nID("abc", g_out));
  EXPECT_EQ(102, RV270Api_GetErrorCode());
  EXPECT_TRUE(LogHas("RV270Api_Communication return -9!"));
  EXPECT_TRUE(LogHas("****************sm3Calc_nID end****************"));
}

// ---- Refusals and bounds ----------------------------------------------------------------

TEST_F(CipherTest, NullTextsAndOverlongDataAreRefusedBeforeSending) {
  const std::string tooShortBuffer(10240 - 69 + 1, 'd');  // sm4mac: 69 + n bytes in 10240
  const std::string tooBulky(204800 - 36 + 1, 'd');        // sm4EN_ecb: 36 + n bytes in 204800
  struct Case {
    const char* name;
    std::function<int()> call;
    const char* line;
  };
  const std::vector<Case> cases = {
      {"sm2EN", [] { return sm2EN(nullptr, "", "m", g_out); }, "sm2EN pPubKey is null!"},
      {"sm2DE", [] { return sm2DE("", nullptr, "m", g_out); }, "sm2DE pPriKey is null!"},
      {"sm2encrypt", [] { return sm2encrypt("", "", nullptr, "m", g_out); }, "sm2encrypt pExtra is null!"},
      {"sm3Calc", [] { return sm3Calc("", "", "", nullptr, g_out); }, "sm3Calc pData is null!"},
      {"sm3Calc_nID", [] { return sm3Calc_nID("abc", nullptr); }, "sm3Calc_nID pOut is null!"},
      {"sm4mac", [] { return sm4mac("", nullptr, "m", g_out); }, "sm4mac pIV is null!"},
      {"sm4EN_ecb", [] { return sm4EN_ecb(nullptr, "m", g_out); }, "sm4EN_ecb pKey is null!"},
      {"getsm2key", [] { return getsm2key(g_out, nullptr); }, "getsm2key pPriKey is null!"},
      {"sm4mac", [&] { return sm4mac(Text(kSm4Key), Text(kIv), Text(tooShortBuffer), g_out); },
       "sm4mac pData too long!"},
      {"sm4EN_ecb", [&] { return sm4EN_ecb(Text(kSm4Key), Text(tooBulky), g_out); }, "sm4EN_ecb pData too long!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const size_t from = LogLines().size();
    EXPECT_EQ(-2, c.call());
    EXPECT_EQ(100, RV270Api_GetErrorCode());
    const int at = LogFind(Logged('E', c.line), from);
    EXPECT_GE(at, 0);
    EXPECT_GT(LogFind(std::string("****************") + c.name + " end****************", at < 0 ? from : at), at);
  }
  EXPECT_TRUE(sim.Requests().empty());
  EXPECT_EQ(0, sim.LinksOpened());

  // The longest data that fits goes out.
  const std::string longest(10240 - 69, 'd');
  sim.ScriptNext(Answer::Done(kSm4Block));
  EXPECT_EQ(0, sm4mac(Text(kSm4Key), Text(kIv), Text(longest), g_out));
  EXPECT_EQ(10240u, LastRequest().size());
}

// pOut gets the whole answer data, which the service's response buffer bounds: 4094
// bytes for the short services; the bulk ciphers take far longer answers (up to the
// 65533 data bytes one answer carries).
TEST_F(CipherTest, AnswersAreCopiedWithinTheServiceBuffers) {
  const std::string fits(4094, 'h');
  sim.ScriptNext(Answer::Done(fits));
  EXPECT_EQ(0, sm3Calc_nID("abc", g_out));
  EXPECT_TRUE(fits + "z" == Out(4095));

  memset(g_out, 'z', sizeof(g_out));
  sim.ScriptNext(Answer::Done(fits + "h"));
  EXPECT_EQ(-3, sm3Calc_nID("abc", g_out));  // more than the response buffer holds
  EXPECT_EQ(102, RV270Api_GetErrorCode());
  EXPECT_TRUE(LogHas("RV270Api_Communication return -16!"));
  EXPECT_EQ('z', g_out[0]);

  // 30000 bytes: within the simulated link's queue of 1024 input reports.
  const std::string bulk(30000, 'c');
  memset(g_out, 'z', sizeof(g_out));
  sim.ScriptNext(Answer::Done(bulk));
  EXPECT_EQ(0, sm4EN_ecb(Text(kSm4Key), Text(kSm4Key), g_out));
  EXPECT_TRUE(bulk + "z" == Out(bulk.size() + 1));
}

// ---- Random data --------------------------------------------------------------------------

// The random data's folder beside the library (the log folder's parent): its name is
// GBK on Windows, UTF-8 elsewhere.
std::string RandomFolder(const std::string& logPath) {
  const std::string module = std::filesystem::path(logPath).parent_path().parent_path().string();
#ifdef _WIN32
  return module + "\\性能";
#else
  return module + "/" + u8"性能";
#endif
}

Bytes ReadHostFile(const std::string& path) {
  Bytes out;
  if (FILE* f = fopen(path.c_str(), "rb")) {
    int c;
    while ((c = fgetc(f)) != EOF) out.push_back(static_cast<uint8_t>(c));
    fclose(f);
  }
  return out;
}

TEST_F(CipherTest, RandomDataLandsInItsFolderBesideTheLibrary) {
  const std::string folder = RandomFolder(LogPath());
  const std::string path = folder + (folder.find('\\') != std::string::npos ? "\\" : "/") + "test.bin";
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);  // best effort: the file itself goes by its 8-bit path
  std::remove(path.c_str());

  SetSentinelError();
  EXPECT_EQ(0, getranddata(nullptr, "test.bin"));
  EXPECT_EQ(kSentinelError, RV270Api_GetErrorCode());
  const auto requests = sim.Requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(Hex(B({0x60, 0x00, 0x00, 0x13}) + Str("test.bin")), Hex(requests[0].payload));
  const auto state = sim.State();
  const auto stored = state.files.find({9, "test.bin"});
  ASSERT_NE(stored, state.files.end());
  ASSERT_FALSE(stored->second.content.empty());
  EXPECT_EQ(stored->second.content, ReadHostFile(path));  // the folder was made
  EXPECT_TRUE(LogHas(Logged('I', "RV270Api_UploadFilesToPc Port:[0],iMode:[0],SavePath:[" + path + "],timeout:[30]")));
  EXPECT_TRUE(LogHas(Logged('I', "****************RV270Api_UploadFilesToPc end,rc=0****************")));
  EXPECT_FALSE(LogHas("****************getranddata end****************"));

  // Names that could leave the folder are refused before the job starts.
  sim.ClearRecords();
  const char* const names[] = {nullptr, "", "../x.bin", "a/b.bin", "a\\b.bin", "c:x.bin", ".."};
  for (const char* name : names) {
    SCOPED_TRACE(name ? name : "(null)");
    const size_t from = LogLines().size();
    EXPECT_EQ(-2, getranddata(nullptr, name));
    EXPECT_EQ(100, RV270Api_GetErrorCode());
    const char* line = (!name || !*name) ? "getranddata pFileName is empty!" : "getranddata pFileName is not a file name!";
    EXPECT_GE(LogFind(Logged('E', line), from), 0);
    EXPECT_GE(LogFind("****************getranddata end****************", from), 0);
  }
  EXPECT_TRUE(sim.Requests().empty());

  // A refused job uploads nothing; a failed upload returns the upload's result and leaves
  // no file.
  sim.ScriptNext(0x60, 0x00, Answer::Status(0x01, 0x00));
  EXPECT_EQ(-4, getranddata(nullptr, "next.bin"));
  EXPECT_EQ(103, RV270Api_GetErrorCode());
  EXPECT_EQ(1u, sim.Requests().size());
  EXPECT_TRUE(LogHas("getranddata end"));
  rv270sim::TransferFaults drop;
  drop.dropReport = 3;
  sim.SetTransferFaults(drop);
  std::remove(path.c_str());
  const int failed = getranddata(nullptr, "test.bin");
  EXPECT_NE(0, failed);
  EXPECT_TRUE(LogHas("****************RV270Api_UploadFilesToPc end,rc=" + std::to_string(failed) + "****************"));
  EXPECT_TRUE(ReadHostFile(path).empty());
  std::filesystem::remove_all(folder, ec);
}

}  // namespace
