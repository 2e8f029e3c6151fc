// Small host services for programs that embed the simulator, so that tests need no
// operating-system headers of their own.
#pragma once
#include <string>

namespace rv270sim {

// Sets a variable of the process environment (Windows: SetEnvironmentVariableA, which
// GetEnvironmentVariableA sees at once; elsewhere setenv). An empty value unsets it.
void SetProcessEnv(const std::string& name, const std::string& value);
// The value of a process environment variable ("" when unset).
std::string ProcessEnv(const std::string& name);
// True where the simulator serves a serial port through a pseudo-terminal of its own
// (Linux); false where it opens a COM port of a pair made by someone else (Windows).
bool UsesPseudoTerminals();

}  // namespace rv270sim
