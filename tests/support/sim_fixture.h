// Fixtures for export-level tests against the embedded terminal simulator.
//
// SimTest starts a Simulator for each test (USB side, and the serial side where one
// can be had), points the library at it through the environment, and reads the lines
// the library appends to its log during the test. SimLinkTest runs a test once over
// USB (port 0) and once over the serial port (SerialPort()):
//
//   class ShowInfoTest : public rv270test::SimLinkTest {};
//   TEST_P(ShowInfoTest, SendsTheText) { ... RV270Api_ShowInfo(Port(), 0, ...) ... }
//   RV270_INSTANTIATE_LINKS(ShowInfoTest);
//
// Serial ports: on Linux the simulator makes a pseudo-terminal and the fixture sets
// RV270_COM<kSerialPort> to its slave path. On Windows (Wine) the test runner links two
// COM ports to a socat pty pair and names them in RV270_TEST_LIB_COM (the number the
// library opens) and RV270_TEST_SIM_COM (the one the simulator opens); without them the
// serial cases are skipped.
#pragma once
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "rv270sim/simulator.h"

namespace rv270test {

// The serial port number the library uses for the simulator on Linux.
constexpr int kSerialPort = 7;
constexpr int kUsbPort = 0;

// The port number the library opens for the simulator's serial side: kSerialPort on
// Linux, RV270_TEST_LIB_COM on Windows (kSerialPort when unset; the cases then skip).
int SerialPort();

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // True when the simulator serves a serial port this run.
  bool SerialAvailable() const { return serialAvailable_; }

  // Lines the library appended to today's log since SetUp, without "\r\n".
  std::vector<std::string> LogLines() const;
  // True when some appended line contains `text`.
  bool LogHas(const std::string& text) const;
  // Number of appended lines that contain `text`.
  size_t LogCount(const std::string& text) const;
  // Index in LogLines() of the first line at or after `from` containing `text`; -1 when none.
  int LogFind(const std::string& text, size_t from = 0) const;
  const std::string& LogPath() const { return logPath_; }
  // The last appended line is the end line of export `name`.
  void ExpectEndedBy(const std::string& name) const;

  // A cancel that meets a call early: RV270Api_ShowInfo waits on `port` for a customer
  // who would answer "yes" (1) after 3 s (a call that returns 1 lost the cancel), and
  // RV270Api_CancelCustomProcess (expected to give 0) follows `delayMs` after the call's
  // start line; the terminal answers the cancel's command after 600 ms. The call's
  // result and last error.
  struct CallOutcome {
    int result;
    int error;
  };
  CallOutcome CancelAShowInfoEarly(int port, int delayMs);

  // The requests the terminal received, as hex payloads with their link, for messages.
  std::string RequestsText() const;

  rv270sim::Simulator sim;

 private:
  bool serialAvailable_ = false;
  std::string logPath_;
  long logStart_ = 0;
};

class SimLinkTest : public SimTest, public ::testing::WithParamInterface<int> {
 protected:
  void SetUp() override;  // skips the serial case when no serial port is served

  int Port() const { return GetParam(); }
  // Takes the terminal off the link under test, and plugs it back (on Linux the serial
  // line returns as a new pseudo-terminal, which the library is pointed to; while it is
  // off, the library is pointed to a missing one: the number of the one let go may soon
  // serve another program's simulator).
  void Unplug();
  bool Plug();
  bool IsUsb() const { return GetParam() == kUsbPort || GetParam() == 1001; }
  rv270sim::Link LinkUnderTest() const { return IsUsb() ? rv270sim::Link::kUsb : rv270sim::Link::kSerial; }

  // A call with arguments that are refused before anything is sent: -2, last error 100,
  // the error line `line` and the end line of export `name` (the name its lines carry).
  struct RefusedCall {
    const char* name;
    std::function<int(int port)> call;
    const char* line;
  };
  // Runs every case on Port() and checks that the terminal received nothing.
  void ExpectRefusedBeforeSending(const std::vector<RefusedCall>& cases);
};

// An empty scratch folder for the running test: <temp>/rv270_<prefix>_<seed>_<suite>_<test>
// ('/' of parameterised names as '_'). The run's seed keeps two test programs running at
// once out of each other's files.
std::filesystem::path FreshTestFolder(const std::string& prefix);

// "Usb" or "Serial", for test names.
std::string LinkParamName(const ::testing::TestParamInfo<int>& info);

}  // namespace rv270test

#define RV270_INSTANTIATE_LINKS(Suite)                                                          \
  INSTANTIATE_TEST_SUITE_P(Links, Suite,                                                        \
                           ::testing::Values(::rv270test::kUsbPort, ::rv270test::SerialPort()), \
                           ::rv270test::LinkParamName)
