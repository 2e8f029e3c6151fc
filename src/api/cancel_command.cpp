#include "api/cancel_command.h"

#include "api/frame.h"
#include "log/log.h"
#include "protocol/exchange.h"

namespace api {

namespace {
// How long a cancel waits for the terminal's answer to its command. The answer is not
// used, and a cancel must answer its caller at once: a terminal that cannot answer now
// (still reading file data by count after a broken-off serial transfer, or at another
// line rate) would otherwise hold the teller's cancel for 5 s. A terminal answers the
// command within a few tens of milliseconds.
constexpr int kCancelAnswerWaitMs = 400;
}  // namespace

int SendCancelCommand(const char* exportName, int port, int selector, uint8_t command) {
  const LinePauseOff prompt;
  CallFrame frame(exportName);
  CancelWaits();
  const uint8_t request[2] = {0x50, command};
  uint8_t response[Answer::kCapacity] = {0};
  int length = 0;
  CommunicateCancel(port, selector, request, sizeof(request), response, sizeof(response), &length,
                    kCancelAnswerWaitMs);
  SetLastError(kOk);
  return 0;
}

}  // namespace api
