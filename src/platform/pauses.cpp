// Fixed pauses, with the test seam that only test builds contain.
#include "platform/env.h"
#include "platform/time.h"

namespace platform {

void PauseMs(uint32_t ms) {
#ifdef RV270_TEST_SEAMS
  if (GetEnv("RV270_TEST_SKIP_PAUSES") == "1") return;
#endif
  SleepMs(ms);
}

}  // namespace platform
