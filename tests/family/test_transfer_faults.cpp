// File transfers against a terminal or host that fails them at each step. Over USB: the
// link, the device's report sizes, the handshake's answer, the host file. Over a serial
// line: the rate switch, the handshake, the packages and their feedback, the host file
// or buffer, and the switch back. (A package's feedback that never comes or comes damaged leaves
// the terminal in the middle of the transfer, and is waited for ten minutes, 30 s at
// the cut waits: left out.) Every failure after the switch to the transfer rate still
// switches the terminal back to the library's rate, and an upload that fails leaves no
// file at the save path. Also the rate code of the switch back for each library rate.
//
// The transfer logic is the same on every platform; it runs in the static test core
// (pauses skipped, transfer waits cut to 5%).
//
// Narrow literals in this file are GBK (the tests are compiled like the library).
#ifdef RV270_TEST_CORE
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "QornRV270API.h"
#include "platform/named_event.h"
#include "protocol/device_lock.h"
#include "rv270sim/host.h"
#include "support/outcome_rows.h"

namespace {

namespace fs = std::filesystem;
using rv270sim::Answer;
using rv270sim::Link;
using rv270sim::TransferFaults;
using namespace rv270test;

const Bytes kSwitchBack = B({0x50, 0x99, 0x01});  // back to 9600

// What the terminal saw of a failed transfer.
// (kOneRequest: a serial transfer whose switch was refused, a USB one after its handshake.)
enum class Sent { kNothing, kOneRequest, kSwitchedBack };

struct FaultCase {
  const char* name;
  std::function<void()> arrange;
  std::function<int()> call;
  int result;
  const char* line;  // the log line that tells what failed
  Sent sent;
};

class TransferFaultTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    if (HasFatalFailure()) return;
    dir_ = FreshTestFolder("transfer_faults");
    rv270sim::SetProcessEnv("RV270_TEST_TRANSFER_WAITS", "5");
  }
  void TearDown() override {
    SetLibraryRate(9600);
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
    SimTest::TearDown();
  }
  static void SetLibraryRate(int rate) { ASSERT_EQ(RV270Api_SetBaud(SerialPort(), 0, 0, rate), 0); }
  std::string Write(const std::string& name, size_t size) {
    const fs::path p = dir_ / name;
    fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary);
    for (size_t i = 0; i < size; ++i) out.put(static_cast<char>(i * 13));
    return p.string();
  }
  // The terminal answers the switch to the transfer rate and refuses the one back.
  void RefuseTheSwitchBack() {
    sim.SetHandler(0x50, 0x99, [](const rv270sim::Request& r, rv270sim::DeviceState&) {
      return r.payload.size() == 3 && r.payload[2] == 5 ? Answer::Status(0x00, 0x00, 400)
                                                        : Answer::Of(B({0x50, 0x99, 0x03}), 400);
    });
  }
  // Runs each case on `link` and checks its result, its log line and what the terminal
  // saw; `after` checks what else the case must leave.
  template <size_t N>
  void RunCases(const FaultCase (&cases)[N], Link link, const std::function<void(const FaultCase&)>& after) {
    for (const FaultCase& c : cases) {
      SCOPED_TRACE(c.name);
      sim.SetDevices({rv270sim::DeviceRecord::Terminal()});
      const size_t before = sim.RequestPayloads(link).size();
      c.arrange();
      const size_t from = LogLines().size();
      EXPECT_EQ(c.call(), c.result);
      EXPECT_GE(LogFind(c.line, from), 0) << c.line;
      if (c.sent == Sent::kSwitchedBack) {
        // A terminal still sending the file's first package reads the switch back once
        // that is out: on a loaded machine after the call has returned.
        sim.WaitUntil(
            [&] {
              const auto seen = sim.RequestPayloads(link);
              return seen.size() > before && Hex(seen.back()) == Hex(kSwitchBack);
            },
            5000);
      }
      const auto requests = sim.RequestPayloads(link);
      const size_t sent = requests.size() - before;
      switch (c.sent) {
        case Sent::kNothing: EXPECT_EQ(sent, 0u); break;
        case Sent::kOneRequest: EXPECT_EQ(sent, 1u); break;
        case Sent::kSwitchedBack:
          ASSERT_GT(sent, 0u);
          EXPECT_EQ(Hex(requests.back()), Hex(kSwitchBack));
          break;
      }
      after(c);
      EXPECT_TRUE(sim.WaitForNoOpenLinks());
      sim.ClearScripts();
      SetLibraryRate(9600);
    }
  }
  fs::path dir_;
};

class SerialTransferFaultTest : public TransferFaultTest {
 protected:
  void SetUp() override {
    TransferFaultTest::SetUp();
    if (!IsSkipped() && !HasFatalFailure() && !SerialAvailable()) GTEST_SKIP() << "no serial port";
  }
};

// Over USB the link closes after every failure.
TEST_F(TransferFaultTest, UsbDownloadFailures) {
  const std::string path = Write("pic.png", 3000);
  const auto download = [&path] { return RV270Api_SaveFileSingle(kUsbPort, 0, 0, "", 1, path.c_str()); };
  // Sparse: its size does not fit the handshake's 32-bit length field.
  const std::string huge = Write("huge.png", 0);
  fs::resize_file(huge, 0x100000000ULL + 1);
  const auto downloadHuge = [&huge] { return RV270Api_SaveFileSingle(kUsbPort, 0, 0, "", 1, huge.c_str()); };
  rv270sim::DeviceRecord narrow = rv270sim::DeviceRecord::Terminal();
  narrow.outputReportLength = 33;  // a 64-byte payload and its check byte do not fit
  const FaultCase cases[] = {
      {"no terminal", [this] { sim.SetDevices({}); }, download, -114, "打开端口失败!", Sent::kNothing},
      {"output reports too short", [&] { sim.SetDevices({narrow}); }, download, -114,
       "CommuniSize 64 does not fit the output report of 33 bytes!", Sent::kNothing},
      {"a file over 4 GiB", [] {}, downloadHuge, -114, "file of 4294967297 bytes too large to announce!",
       Sent::kNothing},
      {"no answer to the handshake (5 s)", [this] { sim.ScriptNext(0x50, 0x04, Answer::None()); }, download, -114,
       "HidCommunication error", Sent::kOneRequest},
  };
  RunCases(cases, Link::kUsb, [this](const FaultCase&) { EXPECT_EQ(sim.State().files.count({1, "pic.png"}), 0u); });
}

// RV270Api_SaveFile of one file and RV270Api_SetupApp when the download fails: without a
// terminal, and with the device-access lock held by another process.
TEST_F(TransferFaultTest, SaveFileAndSetupAppFailures) {
  const std::string picture = Write("pic.png", 100);
  const std::string video = Write("clip.mp4", 100);
  const std::string song = Write("song.wav", 100);
  const std::string firmware = Write("APP_V2.bin", 100);
  const auto saveFile = [](const std::string& path) {
    return [path] { return RV270Api_SaveFile(kUsbPort, 0, 0, path.c_str()); };
  };
  const auto setupApp = [&firmware] { return RV270Api_SetupApp(kUsbPort, 0, firmware.c_str(), 5, "APP"); };
  const auto noTerminal = [this] { sim.SetDevices({}); };
  auto other = platform::OpenNamedEvent("HidComunicationSign", true);
  ASSERT_TRUE(other);
  const auto lockHeldElsewhere = [&other] {
    other->Signal();
    ASSERT_TRUE(other->Wait(0));
    g_bUseDeviceLock = 1;
  };
  const FaultCase cases[] = {
      {"a picture, no terminal", noTerminal, saveFile(picture), -114, "RV270Api_SaveFileSingle return error -114!",
       Sent::kNothing},
      {"a video, no terminal", noTerminal, saveFile(video), -114, "RV270Api_SaveFileSingle return error -114!",
       Sent::kNothing},
      {"a sound, no terminal", noTerminal, saveFile(song), -114, "RV270Api_SaveFileSingle return error -114!",
       Sent::kNothing},
      {"a picture, the lock held elsewhere", lockHeldElsewhere, saveFile(picture), -1001,
       "RV270Api_SaveFileSingle error for usb being busying!", Sent::kNothing},
      {"firmware, no terminal", noTerminal, setupApp, -114, "UploadFile_1M_NewName 固件资源 error -100!",
       Sent::kNothing},
      {"firmware, the lock held elsewhere", lockHeldElsewhere, setupApp, -1001,
       "RV270Api_SetupApp error for usb being busying!", Sent::kNothing},
  };
  const int errors[] = {109, 109, 109, 123, 104, 123};
  RunCases(cases, Link::kUsb, [&](const FaultCase& c) {
    EXPECT_EQ(RV270Api_GetErrorCode(), errors[&c - cases]);
    g_bUseDeviceLock = 0;
    other->Signal();
  });
  // A video's failure ends with the end line of RV270Api_SaveFile's own kind.
  EXPECT_GE(LogFind("****************SaveFile end****************"), 0);
}

TEST_F(TransferFaultTest, UsbUploadFailuresLeaveNoFile) {
  sim.PutPatternFile(9, "UserSign.png", 3000);
  const std::string save = (dir_ / "sign.png").string();
  const auto upload = [](const std::string& path, const std::string& name) {
    return [path, name] {
      return RV270Api_UploadFilesToPc(kUsbPort, 0, 0, path.c_str(), 9, name.c_str(), 30, nullptr, nullptr);
    };
  };
  Write("taken/inside.txt", 3);
  const auto nothing = [] {};
  const FaultCase cases[] = {
      {"a name longer than the request", nothing, upload(save, std::string(5000, 'n')), -3, "MakeDataPackage err",
       Sent::kNothing},
      {"no terminal", [this] { sim.SetDevices({}); }, upload(save, "UserSign.png"), -4, "打开端口失败!",
       Sent::kNothing},
      {"answer without the length", [this] { sim.ScriptNext(0x50, 0x08, Answer::Status(0x00, 0x09)); },
       upload(save, "UserSign.png"), -6, "RV270Api_UploadFilesToPc end,rc=-6", Sent::kOneRequest},
      {"a folder with files is in the way", nothing, upload((dir_ / "taken").string(), "UserSign.png"), -10,
       "删除失败，没有写文件权限", Sent::kOneRequest},
  };
  RunCases(cases, Link::kUsb, [&](const FaultCase&) {
    EXPECT_FALSE(fs::exists(save));
    EXPECT_FALSE(fs::exists(save + ".part"));
  });
  EXPECT_TRUE(fs::exists(dir_ / "taken" / "inside.txt"));
}

TEST_F(SerialTransferFaultTest, UploadFailuresSwitchBackAndLeaveNoFile) {
  sim.PutPatternFile(9, "UserSign.png", 3000);
  const std::string save = (dir_ / "sign.png").string();
  const auto upload = [this](const std::string& path) {
    return [this, path] {
      return RV270Api_UploadFilesToPc(SerialPort(), 0, 0, path.c_str(), 9, "UserSign.png", 30, nullptr, nullptr);
    };
  };
  Bytes small(100, 0xEE);
  int smallLength = static_cast<int>(small.size());
  const auto intoSmallBuffer = [&] {
    smallLength = static_cast<int>(small.size());
    return RV270Api_UploadFilesToPc(SerialPort(), 0, 1, "", 9, "UserSign.png", 30, small.data(), &smallLength);
  };
  Write("taken/inside.txt", 3);
  TransferFaults silent;
  silent.silenceAfter = 1;
  const auto nothing = [] {};
  const FaultCase cases[] = {
      {"the save path names no folder", nothing, upload("sign.png"), -1, "filepath不包含文件名", Sent::kNothing},
      {"the library rate has no rate code", [] { SetLibraryRate(230400); }, upload(save), -1,
       "serial rate 230400 has no rate code!", Sent::kNothing},
      {"the switch is refused", [this] { sim.ScriptNext(0x50, 0x99, Answer::Of(B({0x50, 0x99, 0x03}), 400)); },
       upload(save), -1, "[切换波特率ret=:][-4]", Sent::kOneRequest},
      {"no answer to the request", [this] { sim.ScriptNext(0x50, 0x08, Answer::None()); }, upload(save), -2,
       "ICCombo_Commdu return error:", Sent::kSwitchedBack},
      {"the request is refused", [this] { sim.ScriptNext(0x50, 0x08, Answer::Status(0x00, 0x09)); }, upload(save), -1,
       "ICCombo_Commdu return error,szRecBuf[0]=00", Sent::kSwitchedBack},
      {"the file is larger than the buffer", nothing, intoSmallBuffer, -2, "字节超出缓冲区100字节",
       Sent::kSwitchedBack},
      {"a folder with files is in the way", nothing, upload((dir_ / "taken").string()), -10, "没有写文件权限",
       Sent::kSwitchedBack},
      {"the save path's folder is missing", nothing, upload((dir_ / "missing" / "sign.png").string()), ENOENT,
       "写入文件失败，返回：2", Sent::kSwitchedBack},
      {"the data stops after the second package", [&] { sim.SetTransferFaults(silent); }, upload(save), -2,
       "[iRet:][-2]", Sent::kSwitchedBack},
      // Last: the handler stays for the rest of the test.
      {"the switch back is refused", [this] { RefuseTheSwitchBack(); }, upload(save), -1,
       "[切换回波特率9600=ret:][-4]", Sent::kSwitchedBack},
  };
  RunCases(cases, Link::kSerial, [&](const FaultCase& c) {
    // No failure leaves a file, not even a refused switch back after the last package:
    // the file takes the save path only once the line is back at the library's rate.
    (void)c;
    EXPECT_FALSE(fs::exists(save + ".part"));
    EXPECT_FALSE(fs::exists(save));
  });
  EXPECT_EQ(smallLength, 0);
  EXPECT_TRUE(fs::exists(dir_ / "taken" / "inside.txt"));
}

TEST_F(SerialTransferFaultTest, DownloadFailuresSwitchBack) {
  const std::string path = Write("clip.mp4", 3000);
  const auto download = [&path] { return RV270Api_SaveFileSingle(SerialPort(), 0, 0, "", 2, path.c_str()); };
  const FaultCase cases[] = {
      {"the library rate has no rate code", [] { SetLibraryRate(230400); }, download, -114,
       "serial rate 230400 has no rate code!", Sent::kNothing},
      {"no answer to the handshake", [this] { sim.ScriptNext(0x50, 0x79, Answer::None()); }, download, -114,
       "RV270Api_SaveFile_NewName return[-1]!", Sent::kSwitchedBack},
      {"the handshake is refused", [this] { sim.ScriptNext(0x50, 0x79, Answer::Status(0x00, 0x7A)); }, download, -114,
       "RV270Api_SaveFile_NewName return[-4]!", Sent::kSwitchedBack},
      {"the switch back is refused", [this] { RefuseTheSwitchBack(); }, download, -114,
       "RV270Api_SaveFile_NewName return[-4]!", Sent::kSwitchedBack},
  };
  RunCases(cases, Link::kSerial, [](const FaultCase&) {});
}

// The switch back names the library's rate by its code.
TEST_F(SerialTransferFaultTest, SwitchBackCodeFollowsTheLibraryRate) {
  const std::string path = Write("clip.mp4", 10);
  const struct {
    int rate;
    uint8_t code;
  } rates[] = {{1200, 6}, {4800, 7}, {9600, 1}, {19200, 2}, {38400, 3}, {57600, 4}, {115200, 5}};
  for (const auto& r : rates) {
    SCOPED_TRACE(r.rate);
    SetLibraryRate(r.rate);
    sim.ClearRecords();
    EXPECT_EQ(RV270Api_SaveFileSingle(SerialPort(), 0, 0, "", 2, path.c_str()), 0);
    const auto requests = sim.RequestPayloads(Link::kSerial);
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(Hex(requests.back()), Hex(B({0x50, 0x99, r.code})));
  }
}

}  // namespace
#endif  // RV270_TEST_CORE
