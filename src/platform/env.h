// Process environment, read at the moment of the call.
#pragma once
#include <string>

namespace platform {

// The value of an environment variable, or "" when it is not set. On Windows this
// reads the process environment block (GetEnvironmentVariableA), so changes made
// after start-up are seen.
std::string GetEnv(const char* name);

// Sets (or, with value nullptr, removes) a variable of the process environment.
void SetEnv(const char* name, const char* value);

}  // namespace platform
