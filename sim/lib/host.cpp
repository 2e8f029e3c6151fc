#include "rv270sim/host.h"

#include "os.h"

namespace rv270sim {

void SetProcessEnv(const std::string& name, const std::string& value) { os::SetEnv(name, value); }
std::string ProcessEnv(const std::string& name) { return os::GetEnv(name); }
bool UsesPseudoTerminals() { return os::UsesPseudoTerminals(); }

}  // namespace rv270sim
