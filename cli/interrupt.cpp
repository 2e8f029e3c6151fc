#include "interrupt.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "QornRV270API.h"
#include "api/frame.h"
#include "protocol/exchange.h"
#include "system.h"

namespace rv270cli {

namespace {

struct InterruptState {
  std::mutex mutex;
  std::condition_variable finishedChanged;
  bool finished = false;
  int count = 0;
  bool cancelling = false;  // the cancel thread is inside the library's cancel
  bool linkSet = false;     // SetInterruptLink has named the link: a call may be running
  std::string name;
  std::string command = "rv270";
  bool transfer = false;
  int port = 0;
  int selector = 0;
  OutputOptions output;
};

// Never destroyed: the signal thread and a cancel thread may still use it while the
// program ends.
InterruptState& State() {
  static InterruptState* const state = new InterruptState;
  return *state;
}

std::atomic<bool> g_requested{false};

// The report printed when the command's call does not return: nothing came back from it.
[[noreturn]] void EndWithoutTheCall(InterruptState& s, std::unique_lock<std::mutex>& lock) {
  Report r{s.command};
  r.result = -1;
  r.error = api::kFunctionCanceled;
  r.exit = kExitCustomer;
  r.interrupted = s.name;
  r.AddWhy("call", "did not return after the cancel");
  Print(r, s.output);
  fflush(stderr);
  lock.unlock();
  std::_Exit(kExitCustomer);
}

// Sends the cancel and waits for the command's call to return, on a thread of its own so
// that a second interrupt is taken meanwhile.
void CancelAndWait(int port, int selector) {
  RV270Api_CancelCustomProcess(port, selector);
  InterruptState& s = State();
  std::unique_lock<std::mutex> lock(s.mutex);
  s.cancelling = false;
  s.finishedChanged.notify_all();
  if (s.finishedChanged.wait_for(lock, std::chrono::milliseconds(kGiveUpMs), [&] { return s.finished; })) return;
  EndWithoutTheCall(s, lock);
}

void OnInterrupt(const char* name) {
  InterruptState& s = State();
  std::unique_lock<std::mutex> lock(s.mutex);
  if (s.finished) return;  // the report is being printed: the program ends now anyway
  if (++s.count > 1) EndWithoutTheCall(s, lock);
  s.name = name;
  g_requested = true;
  if (s.transfer && !IsUsbPort(s.port)) {
    // A serial transfer broken off leaves the terminal in the transfer, at 115200 bit/s:
    // it runs to its end (the library's own time limits hold), and no further file starts.
    fprintf(stderr, "rv270: %s: the serial transfer in progress ends first, so that the terminal is not left at "
                    "115200 bit/s; interrupt again to stop at once\n", name);
    fflush(stderr);
    return;
  }
  // Before the command line is read no call runs, and the port is not known yet.
  if (!s.linkSet) return;
  s.cancelling = true;
  std::thread(CancelAndWait, s.port, s.selector).detach();
}

}  // namespace

void HandleInterrupts() { WatchInterrupts(OnInterrupt); }

void SetInterruptLink(int port, int selector, bool json, bool quiet) {
  InterruptState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.port = port;
  s.selector = selector;
  s.output = OutputOptions{json, quiet};
  s.linkSet = true;
}

void SetInterruptCommand(const std::string& command, bool transfer) {
  InterruptState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.command = command;
  s.transfer = transfer;
}

bool InterruptRequested() { return g_requested.load(); }

void CommandFinished(Report& report) {
  InterruptState& s = State();
  std::unique_lock<std::mutex> lock(s.mutex);
  s.finished = true;
  s.finishedChanged.notify_all();
  if (s.count == 0) return;
  // The library's cancel returns the waiting call before the cancel has gone out and been
  // answered: the program does not end in the middle of it (the terminal would not be
  // told, and the library would be torn down under the cancel thread).
  s.finishedChanged.wait_for(lock, std::chrono::milliseconds(kGiveUpMs), [&] { return !s.cancelling; });
  report.interrupted = s.name;
  report.exit = kExitCustomer;
  // A serial port is held exclusively by the call that waits: the cancel sent meanwhile
  // only broke off that wait. Now that the port is free, the terminal is told too.
  if (!IsUsbPort(s.port) && !s.transfer) {
    const int port = s.port;
    const int selector = s.selector;
    lock.unlock();
    RV270Api_CancelCustomProcess(port, selector);
  }
}

}  // namespace rv270cli
