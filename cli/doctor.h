// `rv270 doctor` and the reason of a failed connection: what the library can reach on
// this machine, as the person installing a counter needs to know it.
#pragma once
#include <string>

#include "output.h"

namespace rv270cli {

// Why the link of `port` cannot be reached: what was tried (the simulator's address, the
// device table's USB ids and the ids found, the device node, the serial port's number
// and device path) and the system's reason. Empty `tried` when the link can be reached
// (the failure was something else).
struct LinkTrouble {
  std::string tried;
  std::string reason;
};
LinkTrouble ExplainLink(int port);

// The library's version from its version history: "1.0.0.3 of 2026-12-10".
std::string LibraryVersion();

// Checks the library, the devices of the device table, their nodes, the serial ports, the
// log folder and, when a terminal is there, one status exchange on `port`.
Report Doctor(int port, int selector);

}  // namespace rv270cli
