#include "platform/os_error.h"

#include "platform/fs.h"

namespace platform {

namespace {
thread_local int t_osError = 0;
}  // namespace

void RecordOsError(int code) {
  if (code != 0) t_osError = code;
}

void RecordLastOsError() { RecordOsError(LastOsError()); }

int TakeOsError() {
  const int code = t_osError;
  t_osError = 0;
  return code;
}

void ClearOsError() { t_osError = 0; }

}  // namespace platform
