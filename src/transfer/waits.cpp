#include "transfer/waits.h"

#include <cstdlib>
#include <string>

#include "platform/env.h"

namespace transfer {

int Wait(int ms) {
#ifdef RV270_TEST_SEAMS
  const std::string percent = platform::GetEnv("RV270_TEST_TRANSFER_WAITS");
  if (!percent.empty()) {
    const long p = strtol(percent.c_str(), nullptr, 10);
    if (p > 0 && p < 100) {
      const long scaled = static_cast<long>(ms) * p / 100;
      return scaled > 0 ? static_cast<int>(scaled) : 1;
    }
  }
#endif
  return ms;
}

}  // namespace transfer
