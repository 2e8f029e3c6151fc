#include "api/cancel_command.h"

#include "api/frame.h"
#include "log/log.h"
#include "protocol/exchange.h"

namespace api {

namespace {
// How long a cancel's exchange may take, from the wait for another cancel to the end of
// the wait for the terminal's answer. The answer is not used, and a cancel must answer
// its caller at once: a terminal that cannot answer now (still reading file data by
// count after a broken-off serial transfer, or at another line rate, or silent) would
// otherwise hold the teller's cancel for 5 s. Opening the link may first close the link
// of the call being broken off and pause 200 ms; what remains goes to the answer, which
// a terminal gives within a few tens of milliseconds.
constexpr int kCancelBudgetMs = 400;
}  // namespace

int SendCancelCommand(const char* exportName, int port, int selector, uint8_t command) {
  const LinePauseOff prompt;
  CallFrame frame(exportName);
  CancelWaits();
  const uint8_t request[2] = {0x50, command};
  uint8_t response[Answer::kCapacity] = {0};
  int length = 0;
  CommunicateCancelWithin(port, selector, request, sizeof(request), response, sizeof(response), &length,
                          kCancelBudgetMs);
  SetLastError(kOk);
  return 0;
}

}  // namespace api
