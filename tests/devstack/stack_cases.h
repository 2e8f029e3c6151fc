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

// What the device search and a status exchange after it give.
struct SearchOutcome {
  int found;        // RV270Api_GetPidVid's result
  const char* vid;  // its texts ("" when none)
  const char* pid;
  int exchange;     // the status exchange's result
};

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
  // The status exchange on a fresh link: the request as one 65-byte output report
  // (report id 0 first), the answer, and the link's report size in the log.
  void CheckStatusOnTheWire();
  // Runs the device search and a status exchange with the terminals plugged now: the
  // ids, the "no pidvid!" line of a search that found nothing, the request on the wire
  // or nothing at all, and the line of a link that could not be opened (-1). Returns
  // the index of the first log line of the search.
  size_t CheckSearchAndExchange(const SearchOutcome& expected);
  // Answers of one, two, three and many reports.
  void CheckMultiReportAnswers(int node);
  // The transfers' files are in a scratch folder of the test (FreshTestFolder).
  // A block download and an upload with the terminal holding the link to one report per
  // millisecond, the download's block sent twice on the terminal's request.
  void CheckPacedTransfersWithAResend();
  // A cancel from a second thread breaks off a read waiting on the node, and one that
  // comes as a call starts breaks off that call's wait.
  void CheckCancelInAWaitAndAtTheStartOfACall();
  // The terminal unplugged while a call waits for its answer and while a download
  // flows: the call fails within a wait step, nothing stays open, and once a terminal
  // is back the next calls work.
  void CheckUnplugInAWaitAndInATransfer();
};

}  // namespace rv270test

// The shared checks that make whole tests of their own, for a fixture derived from
// StackTest.
#define RV270_STACK_TESTS(Fixture)                                                                           \
  TEST_F(Fixture, BlockDownloadAndUploadAtTheReportRateWithAResend) { CheckPacedTransfersWithAResend(); }     \
  TEST_F(Fixture, CancelInTheMiddleOfAWaitAndAtTheStartOfACall) { CheckCancelInAWaitAndAtTheStartOfACall(); } \
  TEST_F(Fixture, UnpluggedInTheMiddleOfAWaitAndOfATransfer) { CheckUnplugInAWaitAndInATransfer(); }
