// RV270Api_Communication's routing: the USB exchange for port 0 or 1001, the serial
// exchange on the COM port of that number otherwise.
#include "protocol/exchange.h"

#include "link/serial_link.h"
#include "log/log.h"
#include "platform/time.h"
#include "protocol/hid_exchange.h"
#include "protocol/link_session.h"
#include "protocol/serial_exchange.h"

std::atomic<int> g_nSerialRate{9600};

namespace {

// With `within`, timeoutMs is a budget that started at the call (CommunicateCancelWithin).
int SerialExchange(int port, int selector, const uint8_t* request, int requestLength, uint8_t* response,
                   size_t capacity, int* responseLength, int timeoutMs, LinkSession::Kind kind,
                   bool within = false) {
  const uint32_t start = platform::TickMs();
  if (requestLength < 0 || requestLength > kMaxSerialRequest) {
    WriteLog('E', "request of %d bytes too long!", requestLength);
    return kRequestTooLong;
  }
  LinkSession session(port, selector, kind);
  if (session.Open() != 0) {
    WriteLog('E', "模式为串口，但无法打开串口%d", port);
    WriteOsErrorLine();
    return kSerialOpenFailed;
  }
  const int result = session.Exchange(request, requestLength, response, capacity, responseLength,
                                      within ? AnswerWaitWithin(timeoutMs, start) : timeoutMs, within);
  session.Close();
  if (result < 0) {
    WriteLog('E', "模式为串口，串口交互失败，返回%d", result);
    WriteOsErrorLine();
  }
  return result;
}

}  // namespace

int Communicate(int port, int selector, const uint8_t* request, int requestLength, uint8_t* response,
                size_t capacity, int* responseLength, int timeoutMs) {
  if (IsUsbPort(port)) {
    return HidCommunication(request, requestLength, response, capacity, responseLength, timeoutMs);
  }
  return SerialExchange(port, selector, request, requestLength, response, capacity, responseLength, timeoutMs,
                        LinkSession::Kind::kExchange);
}

int CommunicateCancel(int port, int selector, const uint8_t* request, int requestLength, uint8_t* response,
                      size_t capacity, int* responseLength, int timeoutMs) {
  if (IsUsbPort(port)) {
    return HidCommunicationCancel(request, requestLength, response, capacity, responseLength, timeoutMs);
  }
  return SerialExchange(port, selector, request, requestLength, response, capacity, responseLength, timeoutMs,
                        LinkSession::Kind::kCancel);
}

int CommunicateCancelWithin(int port, int selector, const uint8_t* request, int requestLength, uint8_t* response,
                            size_t capacity, int* responseLength, int budgetMs) {
  if (IsUsbPort(port)) {
    return HidCommunicationCancelWithin(request, requestLength, response, capacity, responseLength, budgetMs);
  }
  return SerialExchange(port, selector, request, requestLength, response, capacity, responseLength, budgetMs,
                        LinkSession::Kind::kCancel, true);
}

int AnswerWaitWithin(int budgetMs, uint32_t startMs) {
  if (budgetMs <= 0) return budgetMs;
  const int left = platform::MsLeft(budgetMs, startMs);
  return left > kMinCancelAnswerMs ? left : kMinCancelAnswerMs;
}
