// Picks the HID backend for each device search and connection.
#include "platform/env.h"
#include "platform/hid_device.h"
#include "platform/sim/hid_sim.h"

namespace platform {

// RV270_SIM is read at every call (on Windows from the process environment block), so
// a test may point the library at another simulator, or back at the real HID stack,
// between two calls.
HidBackend& CurrentHidBackend() {
  const std::string simAddress = GetEnv("RV270_SIM");
  if (simAddress.empty()) return OsHidBackend();
  return SharedSimHidBackend(simAddress);
}

}  // namespace platform
