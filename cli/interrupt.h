// Ctrl-C and termination while a command runs: the terminal is told to stop waiting (the
// cancel export) so that it leaves the customer's screen, and rv270 ends with exit 3.
#pragma once
#include <string>

#include "output.h"

namespace rv270cli {

// Takes SIGINT and SIGTERM (Windows: the console control events) from now on. Call it
// first in main, before any thread starts. An interrupt sends RV270Api_CancelCustomProcess
// on the link of `SetInterruptLink` from a thread of its own; the command's call then
// returns and CommandFinished marks its report. When the call has not returned
// kGiveUpMs after the cancel, or a second interrupt comes, the interrupt thread prints
// the report of the command (`SetInterruptCommand`) itself and ends the program with 3.
void HandleInterrupts();
void SetInterruptLink(int port, int selector, bool json, bool quiet);
// `transfer`: the command moves a file. Over USB the cancel breaks the transfer off;
// over a serial port no cancel is sent and the call runs to its end (broken off, it would
// leave the terminal in the transfer at 115200 bit/s); a second interrupt still ends the
// program at once.
void SetInterruptCommand(const std::string& command, bool transfer);

constexpr int kGiveUpMs = 10000;

// True once an interrupt has come: loops over several calls stop there.
bool InterruptRequested();

// The command's call has returned: from now on an interrupt changes nothing. When one
// came, the report becomes an interrupted one (exit 3, `interrupted` the interrupt's name),
// once the cancel sent meanwhile has had its exchange (at most kGiveUpMs).
void CommandFinished(Report& report);

}  // namespace rv270cli
