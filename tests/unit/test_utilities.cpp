// Exports that do not talk to the terminal, and the result texts.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "QornRV270API.h"
#include "api/app.h"
#include "api/frame.h"
#include "log/log.h"
#include "link/usbhid_link.h"
#include "platform/env.h"
#include "platform/module.h"

namespace {

std::string LogText() {
  std::ifstream in(std::filesystem::path(std::string(g_szLogFile)), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(ResultTexts, KnownCodesAndTheFallback) {
  const struct {
    int code;
    const char* text;
  } kCases[] = {{0, "Device work normally"},    {100, "param error"},
                {102, "cannot connect device"}, {103, "received data error"},
                {113, "Device work normally"},  {121, "function is canceled"},
                {123, "device is busy"},        {125, "Hardware operation exception"},
                {127, "volume is not setted"},  {128, "handle is timeout"},
                {129, "Device work normally"},  {-1, "Device work normally"}};
  for (const auto& c : kCases) EXPECT_STREQ(c.text, api::ErrorText(c.code)) << c.code;
}

TEST(Hex2Ascii, UpperCaseDigitsWithTerminator) {
  const unsigned char data[] = {0x00, 0xAB, 0xFF};
  char text[16];
  memset(text, 'z', sizeof(text));
  EXPECT_EQ(6, RV270Api_Hex2Ascii(data, 3, text));
  EXPECT_STREQ("00ABFF", text);
  // Nothing to convert: the text already there is left and measured.
  strcpy(text, "keep");
  EXPECT_EQ(4, RV270Api_Hex2Ascii(data, 0, text));
  EXPECT_EQ(4, RV270Api_Hex2Ascii(data, -3, text));
  EXPECT_STREQ("keep", text);
}

TEST(CSharpPrint, HostLineAtDebugLevelEvenWithTheLogSwitchedOff) {
  EXPECT_EQ(0, RV270Api_CSharpPrint("hello"));
  EXPECT_NE(std::string::npos, LogText().find("DEBUG: hello\r\n"));
  g_bLogEnabled = 0;
  EXPECT_EQ(0, RV270Api_CSharpPrint("still written"));
  EXPECT_EQ(0, g_bLogEnabled);
  WriteLog('I', "not written");
  g_bLogEnabled = 1;
  const std::string log = LogText();
  EXPECT_NE(std::string::npos, log.find("DEBUG: still written\r\n"));
  EXPECT_EQ(std::string::npos, log.find("not written"));
}

// A host line written while the log is off must not switch the log on for other threads.
TEST(CSharpPrint, HostLinesDoNotLetOtherThreadsLinesThrough) {
  g_bLogEnabled = 0;
  std::atomic<bool> printing{true};
  std::thread other([&] {
    while (printing.load()) WriteLog('I', "other thread line");
  });
  for (int i = 0; i < 200; ++i) RV270Api_CSharpPrint("host line");
  printing = false;
  other.join();
  g_bLogEnabled = 1;
  const std::string log = LogText();
  EXPECT_EQ(std::string::npos, log.find("other thread line"));
  EXPECT_NE(std::string::npos, log.find("DEBUG: host line\r\n"));
}

TEST(VersionDetail, CopiesTheWholeHistoryAndLogsItsLength) {
  std::string history;
  ASSERT_TRUE(platform::ModuleHistoryText(history));
  ASSERT_FALSE(history.empty());
  std::string buffer(history.size() + 64, '\0');
  EXPECT_EQ(0, RV270Api_GetVersionDetail(&buffer[0]));
  EXPECT_EQ(history, buffer.substr(0, history.size()));
  EXPECT_EQ(std::string(64, '\0'), buffer.substr(history.size()));
  EXPECT_NE(std::string::npos, LogText().find("len:" + std::to_string(history.size()) + "\r\n"));
}

TEST(StartUp, BannerThenDeviceSearchWithoutTerminal) {
  platform::SetEnv("RV270_SIM", nullptr);
  const int pid = g_nPid, vid = g_nVid;
  const size_t before = LogText().size();
  CQornRV270APIApp app;
  EXPECT_EQ(1, app.InitInstance());
  const std::string added = LogText().substr(before);
  const std::string banner = "INFO : **********************" + GetFileVersionString() + "***************************\r\n";
  EXPECT_EQ(banner, added.substr(added.find(']') + 1, banner.size())) << added;
  EXPECT_NE(std::string::npos, added.find("no pidvid!"));
  EXPECT_EQ(pid, g_nPid.load());
  EXPECT_EQ(vid, g_nVid.load());
  EXPECT_EQ(0, app.ExitInstance());
  EXPECT_EQ(0, g_bKeepWaiting.load());
  g_bKeepWaiting = 1;
}

}  // namespace
