// One window message of the calling thread, dispatched inside long read waits.
#include <windows.h>

#include "platform/pump.h"

namespace platform {

void PumpOneMessage() {
  MSG message;
  if (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
}

}  // namespace platform
