#include "platform/posix/poll_posix.h"

#include <errno.h>
#include <poll.h>

#include "platform/time.h"

namespace platform {

int PollFor(int fd, short events, uint32_t waitMs) {
  const uint32_t start = TickMs();
  for (;;) {
    const uint32_t spent = TickMs() - start;
    const uint32_t left = spent >= waitMs ? 0 : waitMs - spent;
    pollfd p{fd, events, 0};
    const int n = poll(&p, 1, static_cast<int>(left > 0x7FFFFFFFu ? 0x7FFFFFFFu : left));
    if (n > 0) return p.revents;
    if (n == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

}  // namespace platform
