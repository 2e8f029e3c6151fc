// The daily log file: retention, size cap, message cut, hex dump layout, level names.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "QornRV270API.h"
#include "log/log.h"
#include "protocol/packet.h"

namespace fs = std::filesystem;

namespace {

fs::path TodayFile() {
  WriteLog('I', "locate");
  return fs::path(std::string(g_szLogFile));
}

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The message of the last line of the file (after "]LEVEL: ", without "\r\n").
std::string LastMessage(const fs::path& p, std::string* level = nullptr) {
  std::string all = ReadAll(p);
  if (all.size() < 2) return "";
  all.resize(all.size() - 2);
  size_t start = all.rfind("\r\n[");
  start = start == std::string::npos ? 0 : start + 2;
  const size_t close = all.find(']', start);
  if (level) *level = all.substr(close + 1, 5);
  return all.substr(close + 8);
}

void Age(const fs::path& p, int days) {
  std::ofstream(p, std::ios::binary) << "old";
  fs::last_write_time(p, fs::file_time_type::clock::now() - std::chrono::hours(24 * days) - std::chrono::minutes(5));
}

TEST(Log, LineFormatAndLevelNames) {
  const fs::path file = TodayFile();
  const struct {
    char letter;
    const char* name;
  } kLevels[] = {{'E', "ERROR"}, {'W', "WARN "}, {'I', "INFO "}, {'T', "TRACE"}, {'X', "DEBUG"}, {'D', "DEBUG"}};
  for (const auto& l : kLevels) {
    WriteLog(l.letter, "level %c", l.letter);
    std::string level;
    EXPECT_EQ(std::string("level ") + l.letter, LastMessage(file, &level));
    EXPECT_EQ(l.name, level);
  }
  const std::string all = ReadAll(file);
  // "[MM/DD hh:mm:ss]" opens every line.
  const size_t last = all.rfind("\r\n[", all.size() - 3) + 2;
  EXPECT_EQ('/', all[last + 3]);
  EXPECT_EQ(':', all[last + 9]);
  EXPECT_EQ(']', all[last + 15]);
}

TEST(Log, RetentionDeletesFilesOfFiveDaysAndMoreOnTheDaysFirstLine) {
  const fs::path file = TodayFile();
  const fs::path folder = file.parent_path();
  fs::create_directories(folder / "sub");
  Age(folder / "four.log", 4);
  Age(folder / "five.log", 5);
  Age(folder / "sub" / "six.log", 6);
  fs::remove(file);
  WriteLog('I', "first line of the day");
  EXPECT_TRUE(fs::exists(folder / "four.log"));
  EXPECT_FALSE(fs::exists(folder / "five.log"));
  EXPECT_FALSE(fs::exists(folder / "sub" / "six.log"));
  EXPECT_TRUE(fs::is_directory(folder / "sub"));
  fs::remove(folder / "four.log");
  EXPECT_EQ(-2, DeleteOutdatedFiles((folder / "missing").string().c_str(), 5));
}

TEST(Log, SizeCapStartsTheFileAfreshAbove204800Bytes) {
  const fs::path file = TodayFile();
  for (size_t size : {204800u, 204801u}) {
    SCOPED_TRACE(size);
    { std::ofstream(file, std::ios::binary | std::ios::trunc) << std::string(size, 'x'); }
    WriteLog('I', "after the cap");
    const uintmax_t now = fs::file_size(file);
    if (size == 204800u) {
      EXPECT_GT(now, size);
    } else {
      EXPECT_LT(now, 100u);
      EXPECT_EQ("after the cap", LastMessage(file));
    }
  }
  fs::remove(file);
}

TEST(Log, LongMessagesAreCutAt4096Characters) {
  const fs::path file = TodayFile();
  const std::string text(5000, 'm');
  WriteLog('I', "%s", text.c_str());
  EXPECT_EQ(std::string(4096, 'm'), LastMessage(file));
  // A format over 4097 characters writes nothing at all.
  const uintmax_t before = fs::file_size(file);
  const std::string longFormat(4098, 'f');
  WriteLog('I', longFormat.c_str(), 0);
  EXPECT_EQ(before, fs::file_size(file));
}

TEST(Log, HexDumpOfMoreThan1024BytesShowsBothEnds) {
  const fs::path file = TodayFile();
  std::string data(2000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i & 0xFF);
  WriteHexLog(data.data(), data.size(), 'D', "dump:");
  const std::string message = ReadAll(file).substr(ReadAll(file).rfind("dump:"));
  std::string expected = "dump:\r\n";
  char hex[4];
  int n = 0;
  auto add = [&](unsigned v) {
    snprintf(hex, sizeof(hex), "%02X ", v);
    expected += hex;
    if (++n % 18 == 0) expected += "\r\n";
  };
  for (unsigned i = 0; i < 510; ++i) add(i & 0xFF);
  for (int i = 0; i < 4; ++i) add(0x2E);
  for (unsigned i = 1490; i < 2000; ++i) add(i & 0xFF);
  EXPECT_EQ(expected + "\r\n", message);
}

// With packet encryption on, the dumps before and after the cipher keep their titles and
// shape, and no byte of the payload (which may carry keys) reaches the log.
TEST(Log, EncryptedPayloadDumpsShowTheShapeOnly) {
  const fs::path file = TodayFile();
  const size_t before = ReadAll(file).size();
  // MakeDataPackage fills the payload buffer up to a whole block.
  uint8_t secret[16] = {0x50, 0x31, 0x13, 0x57, 0x9B, 0xDF, 0x24, 0x68, 0xAC};
  uint8_t packet[64] = {0};
  int length = 0;
  g_bEncryptPackets = 1;
  EXPECT_EQ(MakeDataPackage(secret, 9, packet, &length), 1);
  g_bEncryptPackets = 0;
  ASSERT_GT(length, 0);
  const std::string added = ReadAll(file).substr(before);
  const size_t dump = added.find("数据加密前:");
  ASSERT_NE(dump, std::string::npos);
  EXPECT_NE(added.find("数据加密前:\r\n** ** ** ** ** ** ** ** ** ** ** ** ** ** ** ** \r\n"), std::string::npos);
  EXPECT_NE(added.find("数据加密后:\r\n**"), std::string::npos);
  EXPECT_EQ(added.find("13 57 9B DF"), std::string::npos);
}

TEST(Log, GetLogPathNamesTodaysFile) {
  char path[512] = {0};
  EXPECT_EQ(0, RV270Api_GetLogPath(path));
  const std::string p(path);
  const time_t t = time(nullptr);
  char name[64];
  strftime(name, sizeof(name), "DEVICD_KPL_%Y%m%d.log", localtime(&t));
  EXPECT_EQ(fs::path(p).filename().string(), name);
  EXPECT_EQ(fs::path(p).parent_path().filename().string(), "LogOfRV270");
}

TEST(Log, AppendAndSizeHelpers) {
  const fs::path p = fs::temp_directory_path() / "rv270_append_test.bin";
  fs::remove(p);
  EXPECT_EQ(0, AppendToFile(p.string().c_str(), "ab", 2));
  EXPECT_EQ(0, AppendToFile(p.string().c_str(), "c\n", 2));
  EXPECT_EQ(4, FileSizeOf(p.string().c_str()));
  EXPECT_EQ("abc\n", ReadAll(p));
  fs::remove(p);
  EXPECT_EQ(-1, FileSizeOf(p.string().c_str()));
  EXPECT_GT(AppendToFile((p / "no" / "such").string().c_str(), "x", 1), 0);
}

}  // namespace
