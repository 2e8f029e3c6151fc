#include "support.h"

#include <cstdio>

#include "log/log.h"

// Log off (a file append per line would dominate every run) and the fixed pauses
// skipped (the test seam of the test core).
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_bLogEnabled = 0;
  setenv("RV270_TEST_SKIP_PAUSES", "1", 1);
  return 0;
}

namespace rv270fuzz {

void Fail(const char* what) {
  fprintf(stderr, "fuzz check failed: %s\n", what);
  fflush(stderr);
  abort();
}

}  // namespace rv270fuzz
