// The calling thread's window messages, dispatched inside long read waits so that a
// host's user interface thread stays responsive.
#pragma once

namespace platform {

// Removes, translates and dispatches one waiting window message of the calling
// thread, if there is one. Does nothing where the system has no message queues.
void PumpOneMessage();

}  // namespace platform
