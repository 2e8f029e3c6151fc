// Waiting on one descriptor, shared by the Linux serial and socket backends.
#pragma once
#include <cstdint>

namespace platform {

// Polls `fd` for `events` until waitMs have passed, restarting after signals. The
// revents seen (positive), 0 when the time is up, -1 on failure.
int PollFor(int fd, short events, uint32_t waitMs);

}  // namespace platform
