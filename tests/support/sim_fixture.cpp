#include "support/sim_fixture.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "QornRV270API.h"
#include "rv270sim/host.h"
#include "support/outcome_rows.h"

namespace rv270test {
namespace {

// Past this size the log is deleted at SetUp, so that the library's size cap (204800
// bytes) never cuts off the lines of a test.
constexpr long kLogResetSize = 150000;

long FileSize(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return 0;
  std::fseek(f, 0, SEEK_END);
  const long size = std::ftell(f);
  std::fclose(f);
  return size < 0 ? 0 : size;
}

int EnvNumber(const char* name) {
  const std::string v = rv270sim::ProcessEnv(name);
  if (v.empty() || v.find_first_not_of("0123456789") != std::string::npos || v.size() > 6) return -1;
  return std::atoi(v.c_str());
}

// Points the library's serial port at a device that does not exist: a pseudo-terminal
// the simulator has let go may soon serve another test program's simulator.
void PointSerialLinkAway() {
  rv270sim::SetProcessEnv("RV270_COM" + std::to_string(kSerialPort), "/dev/rv270-unplugged");
}

}  // namespace

int SerialPort() {
  if (rv270sim::UsesPseudoTerminals()) return kSerialPort;
  const int lib = EnvNumber("RV270_TEST_LIB_COM");
  return lib > 0 ? lib : kSerialPort;
}

void SimTest::SetUp() {
  ASSERT_TRUE(sim.StartUsb()) << sim.LastError();
  rv270sim::SetProcessEnv("RV270_SIM", sim.UsbAddress());

  if (rv270sim::UsesPseudoTerminals()) {
    serialAvailable_ = sim.StartSerial();
    ASSERT_TRUE(serialAvailable_) << sim.LastError();
    rv270sim::SetProcessEnv("RV270_COM" + std::to_string(kSerialPort), sim.SerialDevicePath());
  } else {
    const int libCom = EnvNumber("RV270_TEST_LIB_COM");
    const int simCom = EnvNumber("RV270_TEST_SIM_COM");
    if (libCom > 0 && simCom > 0) {
      sim.SetSerialPortName("COM" + std::to_string(simCom));
      serialAvailable_ = sim.StartSerial();
      ASSERT_TRUE(serialAvailable_) << sim.LastError();
    }
  }

  // The buffer is zeroed and one byte longer than the library ever writes.
  char path[513] = {0};
  RV270Api_GetLogPath(path);
  logPath_ = path;
  logStart_ = FileSize(logPath_);
  if (logStart_ > kLogResetSize) {
    std::remove(logPath_.c_str());
    logStart_ = 0;
  }
}

void SimTest::ExpectEndedBy(const std::string& name) const {
  const auto lines = LogLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(std::string::npos, lines.back().find("****************" + name + " end****************"));
}

void SimLinkTest::ExpectRefusedBeforeSending(const std::vector<RefusedCall>& cases) {
  for (const RefusedCall& c : cases) {
    SCOPED_TRACE(c.line);
    const size_t from = LogLines().size();
    EXPECT_EQ(-2, c.call(Port()));
    EXPECT_EQ(100, RV270Api_GetErrorCode());
    EXPECT_GE(LogFind(Logged('E', c.line), from), 0);
    ExpectEndedBy(c.name);
  }
  EXPECT_TRUE(sim.Requests().empty());
}

std::filesystem::path FreshTestFolder(const std::string& prefix) {
  const auto* unit = ::testing::UnitTest::GetInstance();
  const auto* info = unit->current_test_info();
  std::string name = "rv270_" + prefix + "_" + std::to_string(unit->random_seed()) + "_" +
                     info->test_suite_name() + "_" + info->name();
  for (char& c : name) c = c == '/' ? '_' : c;
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / name;
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  std::filesystem::create_directories(dir);
  return dir;
}

void SimLinkTest::Unplug() {
  if (!IsUsb() && rv270sim::UsesPseudoTerminals()) PointSerialLinkAway();
  sim.Unplug(LinkUnderTest());
}

bool SimLinkTest::Plug() {
  if (!sim.Plug(LinkUnderTest())) return false;
  if (!IsUsb() && rv270sim::UsesPseudoTerminals()) {
    rv270sim::SetProcessEnv("RV270_COM" + std::to_string(kSerialPort), sim.SerialDevicePath());
  }
  return true;
}

void SimTest::TearDown() {
  if (rv270sim::UsesPseudoTerminals()) PointSerialLinkAway();
  sim.Stop();
  rv270sim::SetProcessEnv("RV270_SIM", "");
}

std::vector<std::string> SimTest::LogLines() const {
  std::vector<std::string> lines;
  FILE* f = std::fopen(logPath_.c_str(), "rb");
  if (!f) return lines;
  // A log that shrank was replaced (the library's size cap): read it whole.
  std::fseek(f, 0, SEEK_END);
  const long size = std::ftell(f);
  std::fseek(f, size >= logStart_ ? logStart_ : 0, SEEK_SET);
  std::string text;
  char buffer[8192];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof(buffer), f)) > 0) text.append(buffer, n);
  std::fclose(f);
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    size_t stop = end;
    if (stop > at && text[stop - 1] == '\r') --stop;
    lines.push_back(text.substr(at, stop - at));
    at = end + 1;
  }
  return lines;
}

bool SimTest::LogHas(const std::string& text) const { return LogFind(text) >= 0; }

size_t SimTest::LogCount(const std::string& text) const {
  size_t count = 0;
  for (const std::string& line : LogLines()) {
    if (line.find(text) != std::string::npos) ++count;
  }
  return count;
}

int SimTest::LogFind(const std::string& text, size_t from) const {
  const std::vector<std::string> lines = LogLines();
  // Fewer lines than `from`: the size cap replaced the file since `from` was taken, and
  // the lines looked for are in the new file.
  if (from > lines.size()) from = 0;
  for (size_t i = from; i < lines.size(); ++i) {
    if (lines[i].find(text) != std::string::npos) return static_cast<int>(i);
  }
  return -1;
}

void SimLinkTest::SetUp() {
  SimTest::SetUp();
  if (HasFatalFailure()) return;
  if (!IsUsb() && !SerialAvailable()) {
    GTEST_SKIP() << "no serial port pair (set RV270_TEST_LIB_COM and RV270_TEST_SIM_COM)";
  }
}

std::string LinkParamName(const ::testing::TestParamInfo<int>& info) {
  return info.param == kUsbPort || info.param == 1001 ? "Usb" : "Serial";
}

SimTest::CallOutcome SimTest::CancelAShowInfoEarly(int port, int delayMs) {
  sim.SetCustomerOutcome({0x00, 0x00, 0x01}, 3000);
  sim.ScriptNext(0x50, 0x15, rv270sim::Answer::Handler(600));
  CallOutcome outcome{0, 0};
  const size_t from = LogLines().size();
  std::thread waiting([&] {
    outcome.result = RV270Api_ShowInfo(port, 0, 1, "Q", 0, nullptr, 5);
    outcome.error = RV270Api_GetErrorCode();
  });
  // The call has started once its start line is written.
  while (LogFind("RV270Api_ShowInfo start", from) < 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
  EXPECT_EQ(RV270Api_CancelCustomProcess(port, 0), 0);
  waiting.join();
  return outcome;
}

std::string SimTest::RequestsText() const {
  std::string text;
  for (const auto& request : sim.Requests()) {
    text += request.link == rv270sim::Link::kUsb ? "[usb" : "[serial";
    char hex[4];
    for (uint8_t b : request.payload) {
      std::snprintf(hex, sizeof(hex), " %02X", b);
      text += hex;
    }
    text += "] ";
  }
  return text;
}

}  // namespace rv270test
