// The HID backend that reaches a simulated terminal over TCP (see sim/TRANSPORT.md:
// frames of a type letter, a big-endian 16-bit length and a payload).
#pragma once
#include <string>

#include "platform/hid_device.h"

namespace platform {

// The process's one simulator backend, now pointed at hostPort. Each device search or
// open takes the address at its start, so a later call with another address never
// disturbs one already under way, and the object itself is never replaced.
HidBackend& SharedSimHidBackend(const std::string& hostPort);

namespace sim {

// Longest wait for a connection, the device list, an open answer and a feature answer.
constexpr uint32_t kAnswerWaitMs = 2000;

// Input reports kept unread at most; past that the oldest is dropped, as an operating
// system's HID input buffer drops its oldest report when it overflows.
constexpr size_t kMaxQueuedReports = 1024;

}  // namespace sim
}  // namespace platform
