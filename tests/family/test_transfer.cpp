// File transfer exports against the simulated terminal: the handshakes and data on the
// wire, the files the terminal stores, uploads back into host files and buffers, the
// faults of each phase, and the terminal's file list and deletions.
//
// Narrow literals in this file are GBK (the tests are compiled like the library).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "QornRV270API.h"
#include "rv270sim/host.h"
#include "support/outcome_rows.h"
#ifdef RV270_TEST_CORE
#include "transfer/categories.h"
#endif

namespace {

namespace fs = std::filesystem;
using rv270sim::Answer;
using rv270sim::Bytes;
using rv270sim::Link;
using rv270sim::TransferFaults;
using namespace rv270test;

constexpr size_t kBlock = 1032192;  // file bytes of one block with 64-byte reports

Bytes Pattern(size_t size, unsigned seed = 7) {
  Bytes b(size);
  for (size_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>((i * 37 + seed + (i >> 11)) & 0xFF);
  return b;
}

Bytes ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A scratch folder per test, and the long waits of the transfers cut to 5% in the test core.
class TransferFixture {
 public:
  TransferFixture() {
    dir_ = FreshTestFolder("transfer");
    rv270sim::SetProcessEnv("RV270_TEST_TRANSFER_WAITS", "5");
  }
  ~TransferFixture() {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string Write(const std::string& name, const Bytes& content) {
    const fs::path p = dir_ / name;
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(content.data()),
                                             static_cast<std::streamsize>(content.size()));
    return p.string();
  }
  fs::path Path(const std::string& name) const { return dir_ / name; }

 private:
  fs::path dir_;
};

class TransferLinkTest : public SimLinkTest, public TransferFixture {};
class TransferTest : public RowTest, public TransferFixture {};

const rv270sim::StoredFile* Stored(const rv270sim::DeviceState& s, int category, const std::string& name) {
  auto it = s.files.find({category, name});
  return it == s.files.end() ? nullptr : &it->second;
}

#ifdef RV270_TEST_CORE
TEST(TransferCategories, TextToCodeByLeadingBytes) {
  const struct {
    const char* text;
    int code;
  } cases[] = {
      {"广告图片", 1}, {"广告视频", 2}, {"广告音频", 3}, {"柜员头像", 4},  {"固件资源", 5},  {"凭证", 6},
      {"web页面", 7},  {"web压缩包", 8}, {"签名图像", 9}, {"凭证.pdf", 6}, {"用户凭证.pdf", 1}, {"", 1},
      {nullptr, 1},    {"广告", 1},     {"web页面x", 7},
  };
  for (const auto& c : cases) EXPECT_EQ(transfer::CategoryCode(c.text), c.code) << (c.text ? c.text : "(null)");
  for (int code = 1; code <= 9; ++code) EXPECT_EQ(transfer::CategoryCode(transfer::CategoryText(code)), code);
  EXPECT_EQ(transfer::CategoryText(0), nullptr);
  EXPECT_EQ(transfer::CategoryText(10), nullptr);
}
#endif

// ---- download ----

TEST_P(TransferLinkTest, SaveFileSingleStoresTheFileByCategoryAndName) {
  const Bytes content = Pattern(2500);
  const std::string path = Write("pic.png", content);
  EXPECT_EQ(RV270Api_SaveFileSingle(Port(), 0, 0, "", 4, path.c_str()), 0);
  const auto state = sim.State();
  const auto* f = Stored(state, 4, "pic.png");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->content, content);
  // Another name on the device, and the voucher's fixed name whatever the caller gives.
  EXPECT_EQ(RV270Api_SaveFileSingle(Port(), 0, 1, "other.png", 1, path.c_str()), 0);
  EXPECT_EQ(RV270Api_SaveFileSingle(Port(), 0, 1, "a.pdf", 6, path.c_str()), 0);
  const auto after = sim.State();
  EXPECT_NE(Stored(after, 1, "other.png"), nullptr);
  EXPECT_NE(Stored(after, 6, "用户凭证.pdf"), nullptr);
  EXPECT_TRUE(LogHas("RV270Api_SaveFile_NewName return[0]!"));
}

TEST_P(TransferLinkTest, DownloadThenUploadGivesTheSameBytes) {
  const Bytes content = Pattern(1048576 + 333);
  const std::string path = Write("big.jpg", content);
  ASSERT_EQ(RV270Api_SaveFileSingle(Port(), 0, 0, "", 9, path.c_str()), 0);
  const std::string back = Path("back.jpg").string();
  EXPECT_EQ(RV270Api_UploadFilesToPc(Port(), 0, 0, back.c_str(), 9, "big.jpg", 30, nullptr, nullptr), 0);
  EXPECT_EQ(ReadAll(back), content);
  EXPECT_FALSE(fs::exists(back + ".part"));
  Bytes buffer(content.size() + 10, 0xEE);
  int length = static_cast<int>(buffer.size());
  EXPECT_EQ(RV270Api_UploadFilesToPc(Port(), 0, 1, "", 9, "big.jpg", 30, buffer.data(), &length), 0);
  ASSERT_EQ(length, static_cast<int>(content.size()));
  EXPECT_TRUE(std::equal(content.begin(), content.end(), buffer.begin()));
  EXPECT_EQ(buffer[content.size()], 0xEE);
  EXPECT_TRUE(LogHas("****************RV270Api_UploadFilesToPc end,rc=0****************"));
}

// A transfer broken off half-way, in either direction, by the terminal going away (the USB
// link dropped, the serial pseudo-terminal closed) or by a cancel from another thread:
// the call fails soon instead of waiting out its long timeouts, an upload leaves no file at
// the save path, and once the terminal is back the next transfer works.
TEST_P(TransferLinkTest, TransfersBrokenOffHalfWayFailCleanly) {
  const Bytes content = Pattern(200 * 1024);
  const std::string path = Write("half.jpg", content);
  sim.PutFile(9, "whole.jpg", content);
  sim.SetLinePacing(true);
  enum class By { kTerminalGone, kCancel };
  const struct {
    const char* name;
    bool download;
    By by;
  } cases[] = {
      {"download, terminal gone", true, By::kTerminalGone},
      {"upload, terminal gone", false, By::kTerminalGone},
      {"upload, cancelled", false, By::kCancel},
      {"download, cancelled", true, By::kCancel},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // A COM port pair (the Wine test setup) cannot be unplugged: once the far end closes,
    // a timed read on the near end never returns under Wine.
    if (!IsUsb() && c.by == By::kTerminalGone && !rv270sim::UsesPseudoTerminals()) continue;
#ifndef RV270_TEST_CORE
    // Its switch back waits 20 s in real time for an answer that cannot come (below).
    if (!IsUsb() && c.download && c.by == By::kCancel) continue;
#endif
    sim.ClearRecords();
    const std::string save = Path("back.jpg").string();
    std::atomic<int> result{1};
    std::thread caller([&] {
      result = c.download ? RV270Api_SaveFileSingle(Port(), 0, 0, "", 9, path.c_str())
                          : RV270Api_UploadFilesToPc(Port(), 0, 0, save.c_str(), 9, "whole.jpg", 30, nullptr, nullptr);
    });
    // Half-way: data has begun to flow (downloads: data received; uploads: the request
    // came and the first packages are on their way).
    const bool flowing = c.download ? sim.WaitUntil([&] { return sim.DataReportCount() > (IsUsb() ? 300u : 8000u); }, 20000)
                                    : sim.WaitUntil([&] {
                                        for (const auto& r : sim.RequestPayloads(LinkUnderTest()))
                                          if (r.size() > 1 && r[0] == 0x50 && r[1] == 0x08) return true;
                                        return false;
                                      }, 20000);
    EXPECT_TRUE(flowing);
    if (!c.download) std::this_thread::sleep_for(std::chrono::milliseconds(600));
    const auto brokenAt = std::chrono::steady_clock::now();
    if (c.by == By::kTerminalGone)
      Unplug();
    else
      RV270Api_CancelCustomProcess(Port(), 0);
    caller.join();
    const auto tookMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - brokenAt).count();
    // Downloads fail with a negative result, uploads with their own (positive) codes.
    EXPECT_NE(result.load(), 0);
    // A cancelled serial download still switches the terminal back, and that switch waits
    // its 20 s for an answer: the terminal takes the switch as package bytes.
    const bool switchBackWaits = !IsUsb() && c.download && c.by == By::kCancel;
    EXPECT_LT(tookMs, switchBackWaits ? 25000 : 10000) << "the transfer waited for a terminal that had stopped";
    if (!c.download) {
      EXPECT_FALSE(fs::exists(save));
      EXPECT_FALSE(fs::exists(save + ".part"));
    }
    if (c.by == By::kTerminalGone) {
      ASSERT_TRUE(Plug()) << sim.LastError();
    }
    // A serial terminal whose download stopped keeps taking what comes as the announced
    // package bytes (the switch back too) until its own package wait ends: the line is
    // not usable right after, whatever the host does.
    if (!IsUsb() && c.download && c.by == By::kCancel) continue;
    sim.SetLinePacing(false);
    EXPECT_EQ(RV270Api_SaveFileSingle(Port(), 0, 1, "after.jpg", 9, path.c_str()), 0);
    const auto state = sim.State();
    const auto* f = Stored(state, 9, "after.jpg");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->size, content.size());
    sim.SetLinePacing(true);
  }
}

// Another thread's calls during a transfer wait for its end: none of them lands between
// the handshake and the last block (where its open would drop the transfer's link).
TEST_P(TransferLinkTest, OtherThreadsWaitForATransferToEnd) {
  const Bytes content = Pattern(3 * 1048576 + 77);
  const std::string path = Write("during.jpg", content);
  std::atomic<bool> done{false};
  std::atomic<int> statusFailures{0};
  std::thread other([&] {
    while (!done) {
      if (RV270Api_GetWorkingStatus(Port(), 0) != 0) ++statusFailures;
    }
  });
  const int saved = RV270Api_SaveFileSingle(Port(), 0, 0, "", 9, path.c_str());
  done = true;
  other.join();
  EXPECT_EQ(saved, 0);
  EXPECT_EQ(statusFailures.load(), 0);
  const auto state = sim.State();
  const auto* f = Stored(state, 9, "during.jpg");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->size, content.size());
}

RV270_INSTANTIATE_LINKS(TransferLinkTest);

TEST_F(TransferTest, BlockDownloadWireFormat) {
  // 100 bytes: T = 102, one block of two reports (63 + 1 and 37 + 1), one feedback.
  const Bytes content = Pattern(100);
  const std::string path = Write("a.bmp", content);
  ASSERT_EQ(RV270Api_SaveFileSingle(kUsbPort, 0, 0, "", 1, path.c_str()), 0);
  const auto requests = sim.RequestPayloads(Link::kUsb);
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(Hex(requests.front()), Hex(B({0x50, 0x04, 0x01, 0x00, 0x00, 0x00, 0x66, 0x00, 0x05}) + Str("a.bmp")));
  const auto reports = sim.DataReports();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].size(), 64u);
  EXPECT_EQ(reports[1].size(), 38u);
  uint8_t check = 0;
  for (size_t i = 63; i < 100; ++i) check ^= content[i];
  EXPECT_EQ(reports[1].back(), check);
  EXPECT_TRUE(sim.WaitForNoOpenLinks());
}

TEST_F(TransferTest, BlockBoundaries) {
  // Exactly one block payload, then one byte more (a second block of one report).
  for (size_t size : {kBlock, kBlock + 1}) {
    SCOPED_TRACE(size);
    sim.ClearRecords();
    const std::string path = Write("b.gif", Pattern(size));
    ASSERT_EQ(RV270Api_SaveFileSingle(kUsbPort, 0, 0, "", 1, path.c_str()), 0);
    EXPECT_EQ(sim.DataReportCount(), size == kBlock ? 16384u : 16385u);
    EXPECT_EQ(sim.State().files.at({1, "b.gif"}).size, size);
  }
}

TEST_F(TransferTest, EmptyFileNeedsNoFeedback) {
  const std::string path = Write("empty.png", {});
  EXPECT_EQ(RV270Api_SaveFileSingle(kUsbPort, 0, 0, "", 1, path.c_str()), 0);
  EXPECT_EQ(sim.DataReportCount(), 0u);
  EXPECT_NE(Stored(sim.State(), 1, "empty.png"), nullptr);
}

// ---- download faults (USB): two blocks, the fault on the first or the last ----

TEST_F(TransferTest, BlockDownloadFaults) {
  const std::string path = Write("f.jpg", Pattern(kBlock + 100));
  auto onBlock = [](int block, auto set) {
    TransferFaults f;
    set(f, block);
    return f;
  };
  struct Case {
    const char* name;
    TransferFaults faults;
    Answer handshake;  // payload empty: the handler's answer
    int result;        // of the dispatcher, as RV270Api_SaveFileSingle logs it
    const char* line;
    bool stored;
  };
  const Case cases[] = {
      {"resend once", onBlock(0, [](TransferFaults& f, int b) { f.resendBlock = b; }), {}, 0,
       "第1M数据接收反馈解析需要重新发送", true},
      {"resend forever", onBlock(0, [](TransferFaults& f, int b) { f.resendBlock = b, f.resendTimes = -1; }), {}, -3,
       "第1M数据重发8次仍未被接收", false},
      {"other status on a middle block", onBlock(0, [](TransferFaults& f, int b) { f.statusBlock = b; }), {}, 0,
       "第1M数据传输完成", true},
      {"other status on the last block", onBlock(1, [](TransferFaults& f, int b) { f.statusBlock = b; }), {}, -3,
       "第2M数据接收反馈解析失败", false},
      {"no feedback", onBlock(0, [](TransferFaults& f, int b) { f.noFeedbackBlock = b; }), {}, -2,
       "第1M数据接收反馈失败", false},
      {"damaged feedback", onBlock(0, [](TransferFaults& f, int b) {
         f.damagedFeedbackBlock = b;
         f.feedbackFaults.badStx = true;
         f.feedbackFaults.badEtx = true;
       }), {}, -3, "第1M数据接收反馈解析失败", false},
      {"handshake refused", {}, Answer::Status(0x00, 0x01), -100, "握手包格式不正确", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim.EditState([](rv270sim::DeviceState& st) { st.files.clear(); });
    sim.SetTransferFaults(c.faults);
    if (!c.handshake.payload.empty()) sim.ScriptNext(0x50, 0x04, c.handshake);
    const size_t from = LogLines().size();
    EXPECT_EQ(RV270Api_SaveFileSingle(kUsbPort, 0, 0, "", 1, path.c_str()), c.result == 0 ? 0 : -114);
    EXPECT_GE(LogFind("RV270Api_SaveFile_NewName return[" + std::to_string(c.result) + "]!", from), 0);
    EXPECT_GE(LogFind(c.line, from), 0) << c.line;
    EXPECT_EQ(sim.State().files.count({1, "f.jpg"}), c.stored ? 1u : 0u);
    EXPECT_TRUE(sim.WaitForNoOpenLinks());
    sim.ClearScripts();
  }
}

TEST_F(TransferTest, DownloadRefusesWhatDoesNotFitItsFields) {
  const std::string path = Write("x.png", Pattern(10));
  const std::string longName(64, 'n');
  EXPECT_EQ(RV270Api_SaveFileSingle(kUsbPort, 0, 1, longName.c_str(), 1, path.c_str()), -114);
  EXPECT_EQ(RV270Api_SaveFileSingle(kUsbPort, 0, 0, "", 1, Path("missing.png").string().c_str()), -114);
  EXPECT_EQ(RV270Api_SaveFileSingle(kUsbPort, 0, 0, "", 0, path.c_str()), -114);
  EXPECT_EQ(RV270Api_SaveFileSingle(kUsbPort, 0, 0, "", 10, path.c_str()), -114);
  EXPECT_TRUE(sim.RequestPayloads(Link::kUsb).empty());
  // 63 bytes is the longest name.
  EXPECT_EQ(RV270Api_SaveFileSingle(kUsbPort, 0, 1, longName.substr(1).c_str(), 1, path.c_str()), 0);
}

// ---- upload faults (USB) ----

TEST_F(TransferTest, UploadFaultsLeaveNoFileAtTheSavePath) {
  sim.PutFile(9, "UserSign.png", Pattern(200000));
  const std::string save = Path("sign.png").string();
  struct Case {
    const char* name;
    TransferFaults faults;
    const char* file;
    int timeout;
    int rc;
    const char* line;
    bool keepsOldFile;  // refused before anything was received
  };
  auto with = [](auto set) {
    TransferFaults f;
    set(f);
    return f;
  };
  const Case cases[] = {
      {"check byte wrong", with([](TransferFaults& f) { f.corruptReport = 5; }), "UserSign.png", 30, -2, "校验出错", false},
      {"last check byte wrong", with([](TransferFaults& f) { f.corruptReport = 3174; }), "UserSign.png", 30, -2,
       "校验出错i==3174", false},
      {"report dropped", with([](TransferFaults& f) { f.dropReport = 5; }), "UserSign.png", 30, 1,
       "RecvBufWithLrc 失败 iRet==-1", false},
      {"silence", with([](TransferFaults& f) { f.silenceAfter = 10; }), "UserSign.png", 30, 1,
       "Receive1M出错，返回值==1", false},
      {"link closed", with([](TransferFaults& f) { f.closeAfter = 10; }), "UserSign.png", 30, 1,
       "Receive1M出错，返回值==1", false},
      {"refused", {}, "nothing.png", 30, -4, "接收握手协议出错", true},
      {"timeout 0", {}, "UserSign.png", 0, -2, "RecvBufWithLrc 超时", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Write("sign.png", Pattern(10, 1));  // an earlier file at the save path
    sim.SetTransferFaults(c.faults);
    const size_t from = LogLines().size();
    EXPECT_EQ(RV270Api_UploadFilesToPc(kUsbPort, 0, 0, save.c_str(), 9, c.file, c.timeout, nullptr, nullptr), c.rc);
    EXPECT_GE(LogFind(c.line, from), 0) << c.line;
    EXPECT_EQ(fs::exists(save), c.keepsOldFile);
    EXPECT_FALSE(fs::exists(save + ".part"));
    sim.ClearScripts();
  }
}

TEST_F(TransferTest, UploadIntoMemoryStaysWithinTheCapacity) {
  sim.PutFile(9, "UserSign.png", Pattern(1000));
  Bytes buffer(1100, 0xEE);
  int length = 999;  // one byte short
  EXPECT_EQ(RV270Api_UploadFilesToPc(kUsbPort, 0, 1, "", 9, "UserSign.png", 30, buffer.data(), &length), -2);
  EXPECT_EQ(length, 0);
  EXPECT_EQ(buffer, Bytes(1100, 0xEE));
  length = 0;  // no capacity given: nothing is asked for
  EXPECT_EQ(RV270Api_UploadFilesToPc(kUsbPort, 0, 1, "", 9, "UserSign.png", 30, buffer.data(), &length), -2);
  length = 1000;
  EXPECT_EQ(RV270Api_UploadFilesToPc(kUsbPort, 0, 1, "", 9, "UserSign.png", 30, buffer.data(), &length), 0);
  EXPECT_EQ(length, 1000);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 1000), Pattern(1000));
  EXPECT_EQ(buffer[1000], 0xEE);
}

TEST_F(TransferTest, UploadLengthsAtReportBoundaries) {
  // T = file + ceil(file / 63): 63 bytes -> T 64 (one full report); 126 -> T 128 (two);
  // 0 -> T 0 (no report, and no file at the save path).
  for (size_t size : {63u, 126u, 0u, 2u * 1048576u}) {
    SCOPED_TRACE(size);
    sim.PutFile(3, "s.wav", Pattern(size));
    const std::string save = Path("s.wav").string();
    Write("s.wav", Pattern(5));
    EXPECT_EQ(RV270Api_UploadFilesToPc(kUsbPort, 0, 0, save.c_str(), 3, "s.wav", 30, nullptr, nullptr), 0);
    EXPECT_EQ(fs::exists(save), size > 0);
    if (size) {
      EXPECT_EQ(ReadAll(save), Pattern(size));
    }
  }
  EXPECT_EQ(sim.RequestPayloads(Link::kUsb).front(), B({0x50, 0x08, 0x03, 0x00, 0x05}) + Str("s.wav"));
}

// ---- RV270Api_SaveFile ----

TEST_F(TransferTest, SaveFileOneFileByExtension) {
  struct Case {
    std::string name;
    int ret;
    int error;
    int category;  // 0: nothing sent
  };
  const Case cases[] = {
      {"clip.MP4", 0, -1, 2}, {"clip.Mp4", -6, 110, 0}, {"logo.ico", -6, 110, 0}, {"readme", -6, 110, 0},
      {"song.wav", 0, -1, 3}, {"p.jpgx", 0, -1, 1},     {"q.jpeg", 0, -1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = Write(c.name, Pattern(70));
    sim.ClearRecords();
    RV270Api_SetBaud(kUsbPort, 0, 0, 9600);  // a known last error: 0
    EXPECT_EQ(RV270Api_SaveFile(kUsbPort, 0, 0, path.c_str()), c.ret);
    if (c.error >= 0) {
      EXPECT_EQ(RV270Api_GetErrorCode(), c.error);
    }
    const auto requests = sim.RequestPayloads(Link::kUsb);
    if (c.category == 0) {
      EXPECT_TRUE(requests.empty());
    } else {
      ASSERT_FALSE(requests.empty());
      EXPECT_EQ(requests.front()[2], c.category);
      EXPECT_TRUE(sim.State().files.count({c.category, c.name}));
    }
  }
  EXPECT_EQ(RV270Api_SaveFile(kUsbPort, 0, 0, nullptr), -2);
  EXPECT_EQ(RV270Api_GetErrorCode(), 106);
  EXPECT_TRUE(LogHas("RV270Api_SaveFile path is empty!"));
  EXPECT_EQ(RV270Api_SaveFile(kUsbPort, 0, 0, ""), -2);
  EXPECT_EQ(RV270Api_SaveFile(kUsbPort, 0, 0, Path("none.jpg").string().c_str()), -3);
  EXPECT_EQ(RV270Api_GetErrorCode(), 107);
  EXPECT_EQ(RV270Api_SaveFile(kUsbPort, 0, 1, Write("f.jpg", {1}).c_str()), -4);
  EXPECT_EQ(RV270Api_GetErrorCode(), 108);
  EXPECT_EQ(RV270Api_SaveFile(kUsbPort, 0, 2, Write("f.jpg", {1}).c_str()), -5);
  EXPECT_EQ(RV270Api_GetErrorCode(), 100);
}

TEST_F(TransferTest, SaveFileFolderAsBatch) {
  Write("media/a.JPG", Pattern(100));
  Write("media/b.ico", Pattern(200));
  Write("media/sub/c.mp3", Pattern(300));
  Write("media/.hidden/d.png", Pattern(10));
  Write("media/e.txt", Pattern(10));
  std::error_code ec;
  fs::create_directory_symlink(Path("media"), Path("media/sub/loop"), ec);  // not followed
  ASSERT_EQ(RV270Api_SaveFile(kUsbPort, 0, 1, Path("media").string().c_str()), 0);
  EXPECT_EQ(RV270Api_GetErrorCode(), 0);
  const auto requests = sim.RequestPayloads(Link::kUsb);
  ASSERT_EQ(requests.size(), 3u);
  std::vector<std::string> names;
  for (size_t i = 0; i < requests.size(); ++i) {
    const Bytes& r = requests[i];
    ASSERT_GE(r.size(), 15u);
    EXPECT_EQ(r[1], 0x05);
    EXPECT_EQ(r[7], 3);  // files in the batch
    EXPECT_EQ(r[8], i);  // this file's index
    EXPECT_EQ(Hex(Bytes(r.begin() + 9, r.begin() + 13)), Hex(B({0x00, 0x00, 0x02, 0x58})));  // 600 bytes
    names.emplace_back(r.begin() + 15, r.end());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a.JPG", "b.ico", "c.mp3"}));
  EXPECT_TRUE(sim.State().files.count({3, "c.mp3"}));

  Write("text/only.txt", Pattern(1));
  EXPECT_EQ(RV270Api_SaveFile(kUsbPort, 0, 1, Path("text").string().c_str()), -7);
  EXPECT_EQ(RV270Api_GetErrorCode(), 111);
  // Batches exist only over USB.
  if (SerialAvailable()) {
    EXPECT_EQ(RV270Api_SaveFile(SerialPort(), 0, 1, Path("media").string().c_str()), -114);
    EXPECT_EQ(RV270Api_GetErrorCode(), 112);
    EXPECT_TRUE(LogHas("RV270Api_UploadBatchFile has no function transported by com!"));
  }
}

TEST_F(TransferTest, SaveFileRefusesABatchOverOneByte) {
  for (int i = 0; i < 256; ++i) Write("many/" + std::to_string(i) + ".png", {1});
  sim.ClearRecords();
  EXPECT_EQ(RV270Api_SaveFile(kUsbPort, 0, 1, Path("many").string().c_str()), -114);
  EXPECT_EQ(RV270Api_GetErrorCode(), 112);
  EXPECT_TRUE(sim.RequestPayloads(Link::kUsb).empty());
  int count = 0, total = 0;
  EXPECT_EQ(RV270Api_FileFind(Path("many").string().c_str(), &count, &total), 0);
  EXPECT_EQ(count, 256);
  EXPECT_EQ(total, 256);
}

// ---- RV270Api_SetupApp ----

TEST_F(TransferTest, SetupAppInstallsAndReportsTheAnswer) {
  const std::string fw = Write("fw_v2.bin", Pattern(5000));
  struct Case {
    const char* name;
    const char* compare;
    Bytes install;
    int ret;
    int error;
    const char* line;
  };
  const Case cases[] = {
      {"installed", "FW", B({0x00, 0x00}), 0, 0, "RV270Api_SetupApp ok!"},
      {"install failed", "", B({0x00, 0x01}), -6, 126, "RV270Api_SetupApp failed!"},
      {"other answer", "", B({0x00, 0x05}), -7, 103, "RV270Api_Communication return error!"},
      {"no answer", "", Bytes(), -5, 102, "RV270Api_Communication return -9!"},
      {"name mismatch", "fw", B({0x00, 0x00}), -4, 110, "RV270Api_SetupApp fileNameUper:[FW_V2.BIN],CompareName[fw]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim.EditState([&](rv270sim::DeviceState& st) { st.installAnswer = c.install; });
    const size_t from = LogLines().size();
    EXPECT_EQ(RV270Api_SetupApp(kUsbPort, 0, fw.c_str(), 1, c.compare), c.ret);
    EXPECT_EQ(RV270Api_GetErrorCode(), c.error);
    EXPECT_GE(LogFind(c.line, from), 0) << c.line;
  }
  EXPECT_TRUE(sim.State().files.count({5, "fw_v2.bin"}));
  // Over a serial port the answer is awaited on that port, after the rate switch back.
  if (SerialAvailable()) {
    sim.EditState([](rv270sim::DeviceState& st) { st.installAnswer = B({0x00, 0x00}); });
    EXPECT_EQ(RV270Api_SetupApp(SerialPort(), 0, fw.c_str(), 5, "FW"), 0);
    EXPECT_EQ(RV270Api_GetErrorCode(), 0);
  }
  EXPECT_EQ(RV270Api_SetupApp(kUsbPort, 0, "", 1, ""), -2);
  EXPECT_EQ(RV270Api_GetErrorCode(), 100);
  EXPECT_EQ(RV270Api_SetupApp(kUsbPort, 0, Path("none.bin").string().c_str(), 1, ""), -3);
  EXPECT_EQ(RV270Api_GetErrorCode(), 107);
}

// ---- the terminal's files ----

TEST_F(TransferTest, FileListAndDeletion) {
  sim.PutFile(2, "a.mp4", {1});
  sim.PutFile(2, "b.mp4", {2});
  sim.PutFile(1, "logo.png", {3});
  char list[100];
  EXPECT_EQ(RV270Api_GetFileList(kUsbPort, 0, 2, sizeof(list), list), 0);
  EXPECT_STREQ(list, "a.mp4\r\nb.mp4\r\n");
  EXPECT_EQ(RV270Api_DeleteRcFile(kUsbPort, 0, "logo.png"), 0);
  EXPECT_EQ(RV270Api_DeleteAllFile(kUsbPort, 0, 2), 0);
  EXPECT_TRUE(sim.State().files.empty());
  const auto requests = sim.RequestPayloads(Link::kUsb);
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(Hex(requests[0]), Hex(B({0x50, 0x06, 0x02})));
  EXPECT_EQ(Hex(requests[1]), Hex(B({0x50, 0x07, 0x00, 0x00, 0x08}) + Str("logo.png")));
  EXPECT_EQ(Hex(requests[2]), Hex(B({0x50, 0x07, 0x02})));

  // iLen must cover the whole response: a 98-byte list fits 100, a 99-byte one does not.
  const std::string list98(98, 'x');
  sim.ScriptNext(Answer::Done(list98));
  memset(list, 0x55, sizeof(list));
  EXPECT_EQ(RV270Api_GetFileList(kUsbPort, 0, 1, 100, list), 0);
  EXPECT_EQ(std::string(list, 98), list98);
  EXPECT_EQ(list[98], 0);
  sim.ScriptNext(Answer::Done(list98 + "y"));
  EXPECT_EQ(RV270Api_GetFileList(kUsbPort, 0, 1, 100, list), -5);
  EXPECT_EQ(RV270Api_GetErrorCode(), 122);
  EXPECT_TRUE(LogHas("RV270Api_Communication return fileListLen too long:[101]"));
  EXPECT_EQ(std::string(list, 100), std::string(100, '\0'));
  sim.ClearRecords();
  EXPECT_EQ(RV270Api_GetFileList(kUsbPort, 0, 1, 0, list), -3);
  EXPECT_EQ(RV270Api_GetErrorCode(), 100);
  EXPECT_TRUE(LogHas("RV270Api_GetFileList iLen<=0"));
  EXPECT_EQ(RV270Api_GetFileList(kUsbPort, 0, 1, 10, nullptr), -2);
  EXPECT_EQ(RV270Api_DeleteRcFile(kUsbPort, 0, nullptr), -5);
  EXPECT_EQ(RV270Api_GetErrorCode(), 100);
  EXPECT_TRUE(sim.RequestPayloads(Link::kUsb).empty());
}

TEST_F(TransferTest, FileManagementOutcomes) {
  char list[64];
  auto getList = [&](int p) { return RV270Api_GetFileList(p, 0, 1, sizeof(list), list); };
  auto deleteOne = [](int p) { return RV270Api_DeleteRcFile(p, 0, "a.png"); };
  auto deleteAll = [](int p) { return RV270Api_DeleteAllFile(p, 0, 1); };
  const std::string ok = "RV270Api_Communication return ok!";
  const std::string hw = "RV270Api_Communication myDeleteResult[1]==0x09!";
  const std::string other = "RV270Api_Communication return error!";
  ExpectRows("GetFileList", getList,
             {{B({0x00, 0x00}), 0, 0, 'I', "RV270Api_Communication return ok fileList:[]"},
              {B({0x00, 0x09}), -3, 125, 'E', "RV270Api_Communication myFileList[1]==0x09!"},
              {B({0x01, 0x00}), -5, 103, 'I', other}});
  ExpectRows("DeleteRcFile", deleteOne,
             {{B({0x00, 0x00}), 0, 0, 'I', ok}, {B({0x00, 0x09}), -3, 125, 'E', hw}, {B({0x50, 0x07}), -4, 103, 'I', other}});
  ExpectRows("DeleteAllFile", deleteAll,
             {{B({0x00, 0x00}), 0, 0, 'I', ok}, {B({0x00, 0x09}), -3, 125, 'E', hw}, {B({0x50, 0x07}), -5, 103, 'I', other}});
  sim.SetDevices({});
  EXPECT_EQ(getList(kUsbPort), -4);
  EXPECT_EQ(RV270Api_GetErrorCode(), 102);
  EXPECT_EQ(deleteOne(kUsbPort), -2);
  EXPECT_EQ(deleteAll(kUsbPort), -4);
  EXPECT_TRUE(LogHas("RV270Api_Communication return -1!"));
}

// ---- serial ----

TEST_F(TransferTest, SerialWireFormat) {
  if (!SerialAvailable()) GTEST_SKIP() << "no serial port";
  const std::string path = Write("v.pdf", Pattern(2500));
  ASSERT_EQ(RV270Api_SaveFileSingle(SerialPort(), 0, 0, "", 6, path.c_str()), 0);
  const auto requests = sim.RequestPayloads(Link::kSerial);
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(Hex(requests[0]), Hex(B({0x50, 0x99, 0x05})));
  Bytes handshake = B({0x50, 0x79, 0x06}) + Str("用户凭证.pdf") + Bytes(12, 0) + B({0x00, 0x00, 0x09, 0xC4});
  EXPECT_EQ(Hex(requests[1]), Hex(handshake));
  EXPECT_EQ(Hex(requests[2]), Hex(B({0x50, 0x99, 0x01})));
  EXPECT_EQ(sim.DataReportCount(), 2500u);
  EXPECT_EQ(sim.State().files.at({6, "用户凭证.pdf"}).content, Pattern(2500));

  // An upload of 1025 bytes: two packages, each acknowledged.
  sim.PutFile(9, "UserSign.png", Pattern(1025));
  sim.ClearRecords();
  Bytes buffer(2000, 0);
  int length = static_cast<int>(buffer.size());
  EXPECT_EQ(RV270Api_UploadFilesToPc(SerialPort(), 0, 1, "", 9, "UserSign.png", 30, buffer.data(), &length), 0);
  EXPECT_EQ(length, 1025);
  const auto upload = sim.RequestPayloads(Link::kSerial);
  ASSERT_EQ(upload.size(), 5u);
  EXPECT_EQ(Hex(upload[1]), Hex(B({0x50, 0x08, 0x09, 0x00, 0x0C}) + Str("UserSign.png")));
  EXPECT_EQ(Hex(upload[2]), Hex(B({0x00, 0x00})));
  EXPECT_EQ(Hex(upload[3]), Hex(B({0x00, 0x00})));
  EXPECT_EQ(Hex(upload[4]), Hex(B({0x50, 0x99, 0x01})));
}

TEST_F(TransferTest, SerialFaultsStillSwitchTheTerminalBack) {
  if (!SerialAvailable()) GTEST_SKIP() << "no serial port";
  const std::string path = Write("m.mp4", Pattern(3000));
  const std::string longName(25, 'n');
  TransferFaults refused;
  refused.statusBlock = 1;
  struct Case {
    const char* name;
    TransferFaults faults;
    const char* newName;
    int result;
  };
  const Case cases[] = {{"package refused", refused, nullptr, -100}, {"name of 25 bytes", {}, longName.c_str(), -100}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim.ClearRecords();
    sim.SetTransferFaults(c.faults);
    EXPECT_EQ(RV270Api_SaveFileSingle(SerialPort(), 0, c.newName ? 1 : 0, c.newName, 2, path.c_str()), -114);
    EXPECT_TRUE(LogHas("RV270Api_SaveFile_NewName return[" + std::to_string(c.result) + "]!"));
    const auto requests = sim.RequestPayloads(Link::kSerial);
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(Hex(requests.back()), Hex(B({0x50, 0x99, 0x01})));
    sim.ClearScripts();
  }
  // The terminal refuses the rate: nothing else is sent.
  sim.ClearRecords();
  sim.ScriptNext(0x50, 0x99, Answer::Of(B({0x50, 0x99, 0x03}), 400));  // after the reopen at 115200
  EXPECT_EQ(RV270Api_SaveFileSingle(SerialPort(), 0, 0, "", 2, path.c_str()), -114);
  EXPECT_TRUE(LogHas("RV270Api_SaveFile_NewName return[-4]!"));
  EXPECT_EQ(sim.RequestPayloads(Link::kSerial).size(), 1u);
#ifdef RV270_TEST_CORE
  // The terminal answers the switch at once, before the host's port runs at the new rate.
  // The answer races with the host's reopen, which empties the input queue: taken after
  // the reopen, the transfer goes on and the terminal is switched back; emptied away, the
  // switch has failed (its answer's wait ends) and nothing more is sent.
  sim.ClearRecords();
  sim.EditState([](rv270sim::DeviceState& d) { d.files.erase({2, "m.mp4"}); });
  sim.ScriptNext(0x50, 0x99, Answer::Of(B({0x00, 0x00}), 0));
  const size_t beforeEarly = LogLines().size();
  const int earlyResult = RV270Api_SaveFileSingle(SerialPort(), 0, 0, "", 2, path.c_str());
  const auto afterEarly = sim.State();
  const auto* early = Stored(afterEarly, 2, "m.mp4");
  const auto earlyRequests = sim.RequestPayloads(Link::kSerial);
  ASSERT_FALSE(earlyRequests.empty());
  if (earlyResult == 0) {
    ASSERT_NE(early, nullptr);
    EXPECT_EQ(early->size, 3000u);
    EXPECT_EQ(Hex(earlyRequests.back()), Hex(B({0x50, 0x99, 0x01})));
  } else {
    EXPECT_EQ(earlyResult, -114);
    EXPECT_GE(LogFind("RV270Api_SaveFile_NewName return[-2]!", beforeEarly), 0);
    EXPECT_EQ(early, nullptr);
    EXPECT_EQ(earlyRequests.size(), 1u);
    EXPECT_EQ(Hex(earlyRequests.back()), Hex(B({0x50, 0x99, 0x05})));
  }
#endif
  // An upload whose package never comes fails and still switches back.
  sim.PutFile(9, "UserSign.png", Pattern(3000));
  TransferFaults silent;
  silent.silenceAfter = 0;
  sim.SetTransferFaults(silent);
  sim.ClearRecords();
  const std::string save = Path("sign.png").string();
  EXPECT_EQ(RV270Api_UploadFilesToPc(SerialPort(), 0, 0, save.c_str(), 9, "UserSign.png", 30, nullptr, nullptr), -2);
  EXPECT_FALSE(fs::exists(save));
  EXPECT_EQ(Hex(sim.RequestPayloads(Link::kSerial).back()), Hex(B({0x50, 0x99, 0x01})));
}

// The whole file arrived but the terminal refuses the switch back to the library rate:
// the upload reports a failure (-1), so the save path gets no file (nor a .part).
TEST_F(TransferTest, SerialUploadWhoseSwitchBackFailsLeavesNoFile) {
  if (!SerialAvailable()) GTEST_SKIP() << "no serial port";
  sim.PutFile(9, "UserSign.png", Pattern(1500));
  sim.ScriptNext(0x50, 0x99, Answer::Handler());                     // to 115200: taken
  sim.ScriptNext(0x50, 0x99, Answer::Of(B({0x50, 0x99, 0x03}), 400));  // back: refused
  const std::string save = Path("sign.png").string();
  EXPECT_EQ(RV270Api_UploadFilesToPc(SerialPort(), 0, 0, save.c_str(), 9, "UserSign.png", 30, nullptr, nullptr), -1);
  EXPECT_TRUE(LogHas("[切换回波特率"));
  EXPECT_FALSE(fs::exists(save));
  EXPECT_FALSE(fs::exists(save + ".part"));
  EXPECT_EQ(Hex(sim.RequestPayloads(Link::kSerial).back()), Hex(B({0x50, 0x99, 0x01})));
}

}  // namespace
