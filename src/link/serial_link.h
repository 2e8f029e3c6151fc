// The serial link: a COM port opened for one exchange (or one transfer run), with the
// channel-switch sequence that selects one device on a shared line.
// Process-wide and unlocked: one serial exchange at a time per process.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/serial_port.h"

// Results of the serial link: an open that failed, and CSerial's reads.
constexpr int kSerialOpenFailed = -1;
constexpr int kSerialReadTimedOut = -1;
constexpr int kSerialReadFailed = -1;  // the line hung up or failed: as a time-out to callers
constexpr int kSerialReadBrokenOff = -30;

class CSerial {
 public:
  CSerial() = default;
  virtual ~CSerial();

  // Opens port `port` at `rate`; 0 when open (or already open), -1 on failure.
  int Open(int port, int rate);
  void Close();
  bool IsOpen() const { return open_.load() != 0; }

  // Purges both queues and writes the bytes: 0, or -1 when there is no port.
  int WriteData(const uint8_t* data, size_t length);
  // Fills buffer[0..length) within timeoutMs (0 or less: no limit): 0 when all bytes
  // arrived, kSerialReadTimedOut, kSerialReadFailed (the line hung up or failed, found
  // within one wait step), or kSerialReadBrokenOff when the wait was broken off through
  // g_bKeepWaiting.
  int ReadExact(uint8_t* buffer, size_t length, int timeoutMs);
  // As ReadExact; a cleared g_bKeepWaiting does not end the wait.
  int ReadExactNoCancel(uint8_t* buffer, size_t length, int timeoutMs);
  // Reads what waits, at most `wanted` bytes; the number read.
  int ReadAvailable(uint8_t* buffer, size_t wanted);
  // Reads and drops whatever waits; 0.
  int DiscardInput();
  // Discards both driver queues.
  void Purge();

 private:
  int Read(uint8_t* buffer, size_t length, int timeoutMs, bool cancellable);
  std::shared_ptr<platform::SerialPort> Port() const { return std::atomic_load(&port_); }

  std::shared_ptr<platform::SerialPort> port_;
  // The port closed last: an exchange on another thread may still hold it for a moment
  // after a cancel call closed it (it lets go as soon as it sees the cleared flag).
  std::weak_ptr<platform::SerialPort> previous_;
  std::mutex previousLock_;
  bool PreviousStillHeld();
  std::atomic<int> open_{0};
};

// The process-wide serial port object.
CSerial& SerialDevice();

// Low byte of the selector of the latest OpenSerialLink.
extern std::atomic<unsigned char> g_cChannelLetter;

// Opens port `port` at `rate` (0: 9600) and, when the selector's low byte is neither
// '0' nor 0, writes the channel switch ESC '%' letter. 0 on success, -1 otherwise.
int OpenSerialLink(int port, int rate, int selector);
// Closes the port and pauses 200 ms (without `settle`, no pause: a cancel call's own
// close, which must not hold up the caller that waits for the cancel); 0.
int CloseSerialLink(bool settle = true);
// Reopens the port at a new rate with the channel letter of the latest open (the rate
// switch of the serial transfers). 0 or -1.
int ReopenSerialLink(int port, int rate);
