// Checks shared by the device-stack tests of both systems: the shipped library's real
// HID backend (Linux hidraw; the Windows HID class stack under Wine) against emulated
// terminals whose reports go on to the fixture's simulator. A fixture says how a
// terminal is plugged and unplugged and what "nothing left open" means on its system;
// the checks are the same calls with the same expectations.
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "support/outcome_rows.h"
#include "support/sim_fixture.h"

namespace rv270test {

// The status request (50 01) and its packet as the library sends it.
extern const Bytes kStatusRequest;
extern const Bytes kStatusPacket;
// One wait step of a read is 200 ms; a call that notices a gone terminal within a step,
// with room for a loaded machine.
constexpr long kWithinAStepMs = 1500;

long MsSince(std::chrono::steady_clock::time_point start);
// `size` bytes of a pattern that a shifted or dropped report would break.
Bytes Pattern(size_t size);
void WriteBytes(const std::filesystem::path& path, const Bytes& content);

struct Exchanged {
  int result;
  Bytes response;
};
// RV270Api_Communication on the USB link; the response only when the result is 0.
Exchanged Exchange(const Bytes& request, int timeoutMs = 1000);

class StackTest : public SimTest {
 protected:
  // Plugs one terminal bridged to `sim`, usable when this returns; its node number.
  virtual int PlugTerminal() = 0;
  virtual bool UnplugTerminal(int node) = 0;
  // Nothing of the library stays open on the node after a call.
  virtual void ExpectNoHandleOpen(int node) = 0;
  // After the node was unplugged under a call (a wait, or a download when inTransfer)
  // whose log lines begin at logFrom: what the system shows of the removal.
  virtual void ExpectUnplugSeen(int node, size_t logFrom, bool inTransfer) = 0;

  void ExpectStatusWorks();
  // Answers of one, two, three and many reports.
  void CheckMultiReportAnswers(int node);
  // A block download and an upload with the terminal holding the link to one report per
  // millisecond, the download's block sent twice on the terminal's request.
  void CheckPacedTransfersWithAResend(const std::filesystem::path& dir);
  // A cancel from a second thread breaks off a read waiting on the node, and one that
  // comes as a call starts breaks off that call's wait.
  void CheckCancelInAWaitAndAtTheStartOfACall();
  // The terminal unplugged while a call waits for its answer and while a download
  // flows: the call fails within a wait step, nothing stays open, and once a terminal
  // is back the next calls work.
  void CheckUnplugInAWaitAndInATransfer(const std::filesystem::path& dir);
};

}  // namespace rv270test
