// Progress of file transfers for a program that links the library's core (the command
// line's progress bar). The exports have no progress callback; a program sets one
// process-wide observer, and the transfer loops report to it. The reports cost nothing
// while no observer is set and never allocate, lock or log.
#pragma once
#include <atomic>
#include <cstdint>

namespace transfer {

enum ProgressDirection : int { kToTerminal = 0, kFromTerminal = 1 };

// Called on the transferring thread with the file bytes moved so far and the file's
// size: at most every kProgressIntervalMs while the transfer runs, and once when the
// last byte has moved. A block sent again makes `done` go back.
using ProgressObserver = void (*)(int direction, int64_t done, int64_t total);

constexpr uint32_t kProgressIntervalMs = 100;

// Sets (or, with nullptr, removes) the observer; transfers already running keep the one
// they started with.
void SetProgressObserver(ProgressObserver observer);

// One transfer's reports.
class ProgressReport {
 public:
  ProgressReport(int direction, int64_t total);
  // Reports `done` bytes when the interval has passed or the transfer is complete.
  void Update(int64_t done) {
    if (observer_ && (done >= total_ || ++calls_ % kCallsPerClockRead == 0)) Report(done);
  }

 private:
  static constexpr uint32_t kCallsPerClockRead = 16;
  void Report(int64_t done);

  ProgressObserver observer_;
  int direction_;
  int64_t total_;
  uint32_t calls_ = 0;
  uint32_t last_ = 0;
};

}  // namespace transfer
