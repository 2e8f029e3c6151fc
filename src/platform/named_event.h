// A cross-process auto-reset event known by name (the device-access lock).
#pragma once
#include <cstdint>
#include <memory>

namespace platform {

class NamedEvent {
 public:
  virtual ~NamedEvent() = default;
  // Waits up to ms for the event and takes it (it resets). True when taken.
  virtual bool Wait(uint32_t ms) = 0;
  // Sets the event (lets one waiter through).
  virtual void Signal() = 0;
};

// Opens the event `name`; with `create`, creates it signalled when it does not exist.
// nullptr when it does not exist (and create is false) or cannot be made.
std::unique_ptr<NamedEvent> OpenNamedEvent(const char* name, bool create);

}  // namespace platform
