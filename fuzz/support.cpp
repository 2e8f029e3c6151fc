#include "support.h"

#include <cstdio>

#include "log/log.h"

namespace rv270fuzz {

void QuietLibrary() {
  g_bLogEnabled = 0;
  setenv("RV270_TEST_SKIP_PAUSES", "1", 1);
}

void Fail(const char* what) {
  fprintf(stderr, "fuzz check failed: %s\n", what);
  fflush(stderr);
  abort();
}

}  // namespace rv270fuzz
