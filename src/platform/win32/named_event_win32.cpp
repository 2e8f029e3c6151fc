// The named event as a Win32 auto-reset event.
#include <windows.h>

#include "platform/named_event.h"

namespace platform {
namespace {

class Win32NamedEvent : public NamedEvent {
 public:
  explicit Win32NamedEvent(HANDLE event) : event_(event) {}
  ~Win32NamedEvent() override { CloseHandle(event_); }
  bool Wait(uint32_t ms) override { return WaitForSingleObject(event_, ms) == WAIT_OBJECT_0; }
  void Signal() override { SetEvent(event_); }

 private:
  HANDLE event_;
};

}  // namespace

std::unique_ptr<NamedEvent> OpenNamedEvent(const char* name, bool create) {
  HANDLE event = OpenEventA(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, name);
  if (!event && create) event = CreateEventA(nullptr, FALSE, TRUE, name);
  if (!event) return nullptr;
  return std::unique_ptr<NamedEvent>(new Win32NamedEvent(event));
}

}  // namespace platform
