// Process-wide state shared by every layer.
//
// g_nLastError: the result code of the latest outcome (0 none), read by
// RV270Api_GetErrorCode; last writer wins between threads.
//
// g_bKeepWaiting: 1 while calls may wait; a cancel call (or the library's exit) sets it
// to 0 from another thread, and the waiting read that notices it sets it back to 1 and
// gives up its wait. A plain byte in meaning; atomic so that the store of one thread is
// seen by the other without a data race.
#pragma once
#include <atomic>

extern std::atomic<unsigned char> g_bKeepWaiting;
extern std::atomic<int> g_nLastError;

// True when a cancel cleared the flag; the flag is then set back to 1.
inline bool TakeCancel() {
  unsigned char expected = 0;
  return g_bKeepWaiting.compare_exchange_strong(expected, 1);
}
