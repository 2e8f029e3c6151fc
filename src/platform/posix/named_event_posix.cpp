// The named event as a POSIX named semaphore held at 0 or 1.
#include <errno.h>
#include <fcntl.h>
#include <semaphore.h>
#include <time.h>

#include <string>

#include "platform/named_event.h"

namespace platform {
namespace {

class PosixNamedEvent : public NamedEvent {
 public:
  explicit PosixNamedEvent(sem_t* sem) : sem_(sem) {}
  ~PosixNamedEvent() override { sem_close(sem_); }

  bool Wait(uint32_t ms) override {
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += ms / 1000;
    deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
      deadline.tv_sec += 1;
      deadline.tv_nsec -= 1000000000L;
    }
    while (sem_timedwait(sem_, &deadline) != 0) {
      if (errno != EINTR) return false;
    }
    return true;
  }

  void Signal() override {
    int value = 0;
    if (sem_getvalue(sem_, &value) == 0 && value > 0) return;  // already set
    sem_post(sem_);
  }

 private:
  sem_t* sem_;
};

}  // namespace

std::unique_ptr<NamedEvent> OpenNamedEvent(const char* name, bool create) {
  const std::string semName = std::string("/") + name;
  sem_t* sem = create ? sem_open(semName.c_str(), O_CREAT, 0666, 1) : sem_open(semName.c_str(), 0);
  if (sem == SEM_FAILED) return nullptr;
  return std::unique_ptr<NamedEvent>(new PosixNamedEvent(sem));
}

}  // namespace platform
