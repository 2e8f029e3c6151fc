// Exports of the device search and the generic exchanges.
#include <cstring>

#include "QornRV270API.h"
#include "api/frame.h"
#include "link/device_search.h"
#include "link/serial_link.h"
#include "protocol/exchange.h"
#include "protocol/variants.h"

namespace {

// The exported exchanges have no size argument: callers pass response buffers of the
// library's usual 4096 bytes, and a longer answer is refused (kAnswerTooLong) before
// anything is stored.
constexpr size_t kExportedResponseCapacity = 4096;

using ExchangeRoutine = int (*)(int, int, const uint8_t*, int, uint8_t*, size_t, int*, int);

int RunExported(ExchangeRoutine routine, int port, int selector, const unsigned char* pRequest,
                unsigned char* pResponse, int iRequestLen, int* pResponseLen, int timeout) {
  if (!pResponse || !pResponseLen || iRequestLen < 0 || (iRequestLen > 0 && !pRequest)) return kBadArguments;
  int length = 0;
  const int result = routine(port, selector, pRequest, iRequestLen, pResponse, kExportedResponseCapacity,
                             &length, timeout);
  if (result == 0) *pResponseLen = length;
  return result;
}

bool ValidKeyArguments(const unsigned char* pStart, int iStartLen, const unsigned char* pText,
                       const int* pTextLen, const unsigned char* pEnd, int iEndLen) {
  return pText && pTextLen && iStartLen >= 0 && iEndLen >= 0 && (iStartLen == 0 || pStart) &&
         (iEndLen == 0 || pEnd);
}

}  // namespace

extern "C" {

RV270_API int RV270_CALL RV270Api_GetPidVid(char* pPid, char* pVid) {
  return GuardExport(-2, [&] {
    char pid[5] = {0};
    char vid[5] = {0};
    const int found = SearchPidVid(pid, vid);
    if (found > 0) {
      if (pPid) memcpy(pPid, pid, 4);
      if (pVid) memcpy(pVid, vid, 4);
    }
    return found;
  });
}

RV270_API int RV270_CALL RV270Api_Communication(int port, int selector, unsigned char* pRequest,
                                                unsigned char* pResponse, int iRequestLen, int* pResponseLen,
                                                int timeout) {
  return GuardExport(kBadArguments, [&] {
    return RunExported(Communicate, port, selector, pRequest, pResponse, iRequestLen, pResponseLen, timeout);
  });
}

RV270_API int RV270_CALL RV270Api_CommunicationCancel(int port, int selector, unsigned char* pRequest,
                                                      unsigned char* pResponse, int iRequestLen,
                                                      int* pResponseLen, int timeout) {
  return GuardExport(kBadArguments, [&] {
    return RunExported(CommunicateCancel, port, selector, pRequest, pResponse, iRequestLen, pResponseLen,
                       timeout);
  });
}

RV270_API int RV270_CALL RV270Api_Communication_ClearKey(int port, int selector, int mode, unsigned char* pStart,
                                                         unsigned char* pText, int iStartLen, int* pTextLen,
                                                         unsigned char* pEnd, int iEndLen, int timeout) {
  return GuardExport(kBadArguments, [&] {
    if (!ValidKeyArguments(pStart, iStartLen, pText, pTextLen, pEnd, iEndLen)) return kBadArguments;
    const KeySequences seq{pStart, iStartLen, pEnd, iEndLen};
    return CommunicationClearKey(port, selector, mode, seq, pText, pTextLen, timeout);
  });
}

RV270_API int RV270_CALL RV270Api_Communication_23Key(int port, int selector, int mode, int iEditFlag,
                                                      unsigned char* pStart, unsigned char* pText, int iStartLen,
                                                      int* pTextLen, unsigned char* pEnd, int iEndLen,
                                                      int timeout) {
  return GuardExport(kBadArguments, [&] {
    if (!ValidKeyArguments(pStart, iStartLen, pText, pTextLen, pEnd, iEndLen)) return kBadArguments;
    const KeySequences seq{pStart, iStartLen, pEnd, iEndLen};
    return Communication23Key(port, selector, mode, iEditFlag, seq, pText, pTextLen, timeout);
  });
}

}  // extern "C"

namespace {

// Breaks off the wait of another thread (it notices within 200 ms on USB) and sends the
// terminal a command through the cancel exchange; the cancel always reports success.
int SendCancelCommand(const char* exportName, int port, int selector, uint8_t command) {
  api::CallFrame frame(exportName);
  api::CancelWaits();
  const uint8_t request[2] = {0x50, command};
  uint8_t response[api::Answer::kCapacity] = {0};
  int length = 0;
  CommunicateCancel(port, selector, request, sizeof(request), response, sizeof(response), &length, 5000);
  api::SetLastError(api::kOk);
  return 0;
}

}  // namespace

extern "C" RV270_API int RV270_CALL RV270Api_CancelCustomProcess(int port, int selector) {
  return GuardExport(0, [&] { return SendCancelCommand("RV270Api_CancelCustomProcess", port, selector, 0x15); });
}
