#include "api/cancel_command.h"

#include "api/frame.h"
#include "log/log.h"
#include "protocol/exchange.h"

namespace api {

int SendCancelCommand(const char* exportName, int port, int selector, uint8_t command) {
  const LinePauseOff prompt;
  CallFrame frame(exportName);
  CancelWaits();
  const uint8_t request[2] = {0x50, command};
  uint8_t response[Answer::kCapacity] = {0};
  int length = 0;
  CommunicateCancel(port, selector, request, sizeof(request), response, sizeof(response), &length, 5000);
  SetLastError(kOk);
  return 0;
}

}  // namespace api
