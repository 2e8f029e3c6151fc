// "HOST:PORT" texts of the simulated terminal's address.
#include <string>

#include "platform/socket.h"

namespace platform {

bool SplitHostPort(const std::string& hostPort, std::string& host, uint16_t& port) {
  const size_t colon = hostPort.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 >= hostPort.size()) return false;
  std::string name = hostPort.substr(0, colon);
  // An IPv6 address is written in brackets so that its own colons do not split it.
  if (name.size() >= 2 && name.front() == '[' && name.back() == ']') {
    name = name.substr(1, name.size() - 2);
  }
  if (name.empty() || name.size() > 255) return false;
  const std::string digits = hostPort.substr(colon + 1);
  if (digits.size() > 5) return false;
  unsigned value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value == 0 || value > 65535) return false;
  host = name;
  port = static_cast<uint16_t>(value);
  return true;
}

}  // namespace platform
