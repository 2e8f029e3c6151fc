// Serial ports. Port n is "\\.\COMn" on Windows; on Linux the path in the environment
// variable RV270_COMn, or /dev/ttyS<n-1> when it is not set.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

class SerialPort {
 public:
  virtual ~SerialPort() = default;

  // Number of bytes waiting in the input queue (line errors are cleared by the query).
  virtual int BytesWaiting() = 0;

  // Reads up to `length` bytes that are already waiting, without blocking. Returns the
  // number read (0 when nothing waits), -1 on failure.
  virtual int ReadWaiting(uint8_t* out, size_t length) = 0;

  // Waits in the kernel until at least one byte waits or waitMs passed. True when a
  // byte waits.
  virtual bool WaitReadable(uint32_t waitMs) = 0;

  // Writes all bytes and returns once they are transmitted. False on failure.
  virtual bool Write(const uint8_t* data, size_t length) = 0;

  // Discards both driver queues. Since every write returns transmitted, the output queue
  // is empty here and only received input is discarded.
  virtual void Purge() = 0;
};

// Opens port `port` exclusively for reading and writing at `rate` bit/s with 8 data
// bits, no parity, one stop bit, no CTS/DSR flow control, DTR and RTS held off, driver
// queues of 10000 bytes, reads returning at once, and both queues purged. nullptr when
// the port does not exist or cannot be configured.
std::unique_ptr<SerialPort> OpenSerialPort(int port, int rate);

// The device name of port n, for log lines and tests.
std::string SerialDeviceName(int port);

}  // namespace platform
