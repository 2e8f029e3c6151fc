// Clock, sleeps and pauses: the one source of time for the whole library.
#pragma once
#include <cstdint>

namespace platform {

// Milliseconds from an arbitrary start, wrapping at 2^32 like GetTickCount.
// Differences of two values (unsigned subtraction) are elapsed times.
uint32_t TickMs();

// What is left of `totalMs` counted from the tick `startMs`: 0 once it has run out (or
// for a total of 0 or less).
inline int MsLeft(int totalMs, uint32_t startMs) {
  if (totalMs <= 0) return 0;
  const uint32_t spent = TickMs() - startMs;
  return spent >= static_cast<uint32_t>(totalMs) ? 0 : totalMs - static_cast<int>(spent);
}

// Blocks the calling thread for ms milliseconds.
void SleepMs(uint32_t ms);

// A fixed pause that the protocol or the log requires (20 ms after a log line,
// 200 ms after a port close). In test builds (RV270_TEST_SEAMS) the pauses are
// skipped while the environment variable RV270_TEST_SKIP_PAUSES is "1"; the
// shipped library always pauses.
void PauseMs(uint32_t ms);

struct LocalTime {
  int year, month, day, hour, minute, second;  // month 1..12
};

// The current local calendar time.
LocalTime Now();

// Seconds since 1970-01-01 UTC.
int64_t UnixNow();

}  // namespace platform
