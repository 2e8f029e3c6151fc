#include "protocol/link_session.h"

#include "link/serial_link.h"
#include "link/usbhid_link.h"
#include "log/log.h"
#include "protocol/device_lock.h"
#include "protocol/exchange.h"
#include "protocol/hid_exchange.h"
#include "protocol/serial_exchange.h"

namespace {

std::recursive_mutex& ExchangeLock() {
  static std::recursive_mutex lock;
  return lock;
}

std::mutex& CancelLock() {
  static std::mutex lock;
  return lock;
}

}  // namespace

std::unique_lock<std::recursive_mutex> HoldExchanges() {
  return std::unique_lock<std::recursive_mutex>(ExchangeLock());
}

LinkSession::LinkSession(int port, int selector, Kind kind)
    : port_(port), selector_(selector), kind_(kind), usb_(IsUsbPort(port)) {
  if (kind_ == Kind::kCancel) {
    cancelLock_ = std::unique_lock<std::mutex>(CancelLock());
    return;
  }
  exchangeLock_ = std::unique_lock<std::recursive_mutex>(ExchangeLock());
  // A cancel whose exchange is under way ends first (within its budget): a link opened
  // meanwhile would close the cancel's, and the terminal's answer to the cancel would
  // then come on this dialogue's line as if it were its own.
  { const std::lock_guard<std::mutex> cancelEnded(CancelLock()); }
  if (usb_) deviceLock_.reset(new DeviceLockHolder());
}

LinkSession::~LinkSession() { Close(); }

bool LinkSession::Acquired() const { return !deviceLock_ || deviceLock_->Acquired(); }

int LinkSession::Open() {
  if (open_) return 0;
  ClearOsErrorLine();
  if (usb_) {
    const int opened = OpenPort();
    if (opened < 0) {
      WriteLog('E', "打开端口失败!");
      WriteOsErrorLine();
      return opened;
    }
  } else if (OpenSerialLink(port_, g_nSerialRate.load(), selector_) != 0) {
    return kSerialOpenFailed;
  }
  open_ = true;
  return 0;
}

void LinkSession::Close() {
  if (!open_) return;
  open_ = false;
  if (usb_) {
    ClosePort();
  } else {
    CloseSerialLink(kind_ != Kind::kCancel);
  }
}

int LinkSession::Exchange(const uint8_t* request, int requestLength, uint8_t* response, size_t capacity,
                          int* responseLength, int timeoutMs, bool wholeAnswerInTime) {
  if (usb_) {
    return HidExchangeOnOpenLink(request, requestLength, response, capacity, responseLength, timeoutMs,
                                 Cancellable());
  }
  int status = 0;
  return Cancellable()
             ? ICCombo_Commdu(request, requestLength, timeoutMs, response, capacity, responseLength, &status)
             : ICCombo_CommduNoCancel(request, requestLength, timeoutMs, response, capacity, responseLength,
                                      &status, wholeAnswerInTime);
}

int LinkSession::SendPacket(const uint8_t* packet, int length, int timeoutMs) {
  return SendPackage(packet, length, timeoutMs, Cancellable());
}

int LinkSession::ReceivePacket(uint8_t* packet, size_t capacity, int* length, int timeoutMs) {
  return RecvPackage(packet, capacity, length, timeoutMs, Cancellable());
}

int LinkSession::ReadReport(uint8_t* out, int timeoutMs) {
  return Cancellable() ? UsbDevice().ReadReport(out, timeoutMs) : UsbDevice().ReadReportNoCancel(out, timeoutMs);
}

