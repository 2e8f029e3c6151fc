// File transfer exports against the simulated terminal: the handshakes and data on the
// wire, the files the terminal stores, uploads back into host files and buffers, the
// faults of each phase, and the terminal's file list and deletions.
//
// Narrow literals in this file are GBK (the tests are compiled like the library).
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
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
    dir_ = fs::temp_directory_path() /
           ("rv270_transfer_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    for (char& c : name_) c = c == '/' ? '_' : c;
    fs::remove_all(dir_);
    fs::create_directories(dir_);
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
  std::string name_;
};

class TransferLinkTest : public SimLinkTest, public TransferFixture {};
class TransferTest : public RowTest, public TransferFixture {};

const rv270sim::StoredFile* Stored(const rv270sim::DeviceState& s, int category, const std::string& name) {
  auto it = s.files.find({category, name});
  return it == s.files.end() ? nullptr : &it->second;
}

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
  EXPECT_EQ(sim.LinksOpenNow(), 0);
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

}  // namespace
