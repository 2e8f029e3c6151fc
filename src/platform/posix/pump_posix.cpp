// Linux threads have no window message queue: nothing to dispatch.
#include "platform/pump.h"

namespace platform {

void PumpOneMessage() {}

}  // namespace platform
