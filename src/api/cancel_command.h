// The cancel exports' shared step: break off the waits in progress and tell the terminal.
#pragma once
#include <cstdint>

namespace api {

// Breaks off the wait of another thread (it notices within 200 ms on USB) and sends the
// terminal the command 0x50 `command` through the cancel exchange, between the export's
// start and end lines. The cancel always reports success: last error 0, result 0.
int SendCancelCommand(const char* exportName, int port, int selector, uint8_t command);

}  // namespace api
