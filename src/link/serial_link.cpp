#include "link/serial_link.h"

#include <vector>

#include "link/process_state.h"
#include "platform/pump.h"
#include "platform/time.h"

std::atomic<unsigned char> g_cChannelLetter{0};

namespace {
constexpr uint32_t kClosePauseMs = 200;
// Longest single kernel wait inside a read, so that a cancel is noticed promptly.
constexpr uint32_t kWaitStepMs = 50;
// How long an open waits for a port that another thread's exchange still holds.
constexpr uint32_t kReleaseWaitMs = 1000;

uint8_t SwitchLetter(unsigned char channel) {
  return (channel >= 'A' && channel <= 'D') ? channel : 'K';
}

// The channel switch after an open, when a channel letter is set.
void SendChannelSwitch(CSerial& serial) {
  const unsigned char channel = g_cChannelLetter.load();
  if (channel == '0' || channel == 0) return;
  const uint8_t sequence[3] = {0x1B, 0x25, SwitchLetter(channel)};
  serial.WriteData(sequence, sizeof(sequence));
}
}  // namespace

namespace {
// Which opening of the port is current, and which one this thread made: a thread closes
// only the port it opened itself (a cancel call on another thread may have reopened it).
std::atomic<unsigned> g_portGeneration{0};
thread_local unsigned t_openedGeneration = 0;

void PortOpened() { t_openedGeneration = ++g_portGeneration; }

// False once another thread has closed or reopened the port this thread opened (a call
// whose open follows a cancel's, or a cancel whose open closes a waiting call's port):
// the line is no longer this thread's, so what it writes would go into another
// dialogue and the answer it waits for can no longer arrive. Threads that never
// opened the port themselves are not held to it.
bool OwnPortStillOpen() { return t_openedGeneration == 0 || t_openedGeneration == g_portGeneration.load(); }
}  // namespace

CSerial& SerialDevice() {
  static CSerial serial;
  return serial;
}

CSerial::~CSerial() { Close(); }

int CSerial::Open(int port, int rate) {
  if (open_.load()) return 0;
  std::shared_ptr<platform::SerialPort> opened(platform::OpenSerialPort(port, rate));
  if (!opened) {
    // The exclusive port may still be held by the exchange a cancel call is breaking
    // off: give it the time to notice and let go, then try once more.
    const uint32_t start = platform::TickMs();
    while (PreviousStillHeld() && platform::TickMs() - start < kReleaseWaitMs) {
      platform::SleepMs(10);
    }
    opened.reset(platform::OpenSerialPort(port, rate).release());
    if (!opened) return kSerialOpenFailed;
  }
  std::atomic_store(&port_, opened);
  open_ = 1;
  return 0;
}

bool CSerial::PreviousStillHeld() {
  std::lock_guard<std::mutex> guard(previousLock_);
  return !previous_.expired();
}

void CSerial::Close() {
  {
    std::lock_guard<std::mutex> guard(previousLock_);
    previous_ = Port();
  }
  std::atomic_store(&port_, std::shared_ptr<platform::SerialPort>());
  open_ = 0;
}

void CSerial::Purge() {
  if (auto port = Port()) port->Purge();
}

int CSerial::WriteData(const uint8_t* data, size_t length) {
  auto port = Port();
  if (!port || !OwnPortStillOpen()) return -1;
  port->Purge();
  port->Write(data, length);
  return 0;
}

int CSerial::Read(uint8_t* buffer, size_t length, int timeoutMs, bool cancellable) {
  const uint32_t start = platform::TickMs();
  size_t count = 0;
  // A port that goes away while this read waits on it was closed by another thread
  // (whose open follows): the answer can no longer arrive on it.
  const bool startedOnPort = Port() != nullptr;
  for (;;) {
    platform::PumpOneMessage();
    if (cancellable && TakeCancel()) return kSerialReadBrokenOff;
    const uint32_t elapsed = platform::TickMs() - start;
    if (timeoutMs > 0 && elapsed >= static_cast<uint32_t>(timeoutMs)) return kSerialReadTimedOut;
    uint32_t step = kWaitStepMs;
    if (timeoutMs > 0 && static_cast<uint32_t>(timeoutMs) - elapsed < step) step = static_cast<uint32_t>(timeoutMs) - elapsed;

    auto port = Port();
    if (!OwnPortStillOpen() || (startedOnPort && !port)) return kSerialReadFailed;
    if (!port) {
      platform::SleepMs(step);
      continue;
    }
    const int waiting = port->BytesWaiting();
    if (waiting < 0) return kSerialReadFailed;
    if (waiting > 0 || (port->WaitReadable(step) && port->BytesWaiting() == 0)) {
      // Bytes wait, or the line woke the wait without any: then it hung up or failed
      // (the terminal was unplugged), which the read reports at once.
      const int got = port->ReadWaiting(buffer + count, length - count);
      if (got < 0) return kSerialReadFailed;
      count += static_cast<size_t>(got);
      if (count >= length) return 0;
    }
  }
}

int CSerial::ReadExact(uint8_t* buffer, size_t length, int timeoutMs) {
  return length == 0 ? 0 : Read(buffer, length, timeoutMs, true);
}

int CSerial::ReadExactNoCancel(uint8_t* buffer, size_t length, int timeoutMs) {
  return length == 0 ? 0 : Read(buffer, length, timeoutMs, false);
}

int CSerial::ReadAvailable(uint8_t* buffer, size_t wanted) {
  auto port = Port();
  if (!port) return 0;
  int waiting = port->BytesWaiting();
  if (waiting <= 0) return 0;
  size_t n = static_cast<size_t>(waiting) < wanted ? static_cast<size_t>(waiting) : wanted;
  int got = port->ReadWaiting(buffer, n);
  return got > 0 ? got : 0;
}

int CSerial::DiscardInput() {
  uint8_t scratch[1024];
  while (ReadAvailable(scratch, sizeof(scratch)) > 0) {
  }
  return 0;
}


int OpenSerialLink(int port, int rate, int selector) {
  g_cChannelLetter = static_cast<unsigned char>(selector & 0xFF);
  if (rate == 0) rate = 9600;
  CSerial& serial = SerialDevice();
  if (serial.IsOpen()) {
    serial.Close();
    platform::PauseMs(kClosePauseMs);
  }
  if (serial.Open(port, rate) != 0) return kSerialOpenFailed;
  PortOpened();
  SendChannelSwitch(serial);
  return 0;
}

int ReopenSerialLink(int port, int rate) {
  if (rate == 0) rate = 9600;
  CSerial& serial = SerialDevice();
  if (serial.Open(port, rate) != 0) return kSerialOpenFailed;
  PortOpened();
  SendChannelSwitch(serial);
  return 0;
}

int CloseSerialLink(bool settle) {
  CSerial& serial = SerialDevice();
  if (serial.IsOpen() && t_openedGeneration == g_portGeneration.load()) {
    serial.Close();
    if (settle) platform::PauseMs(kClosePauseMs);
  }
  return 0;
}
