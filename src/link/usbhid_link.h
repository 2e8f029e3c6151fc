// The USB HID link: device search by vendor and product id, the device object CUSBHID
// that moves one report at a time, and OpenPort/ClosePort around every exchange.
// The state is process-wide; exchanges take the process-wide exchange lock, and opening
// and closing the link are single steps against a cancel on another thread.
#pragma once
#include <cstddef>
#include <cstdint>
#include <atomic>
#include <memory>
#include <string>

#include "platform/hid_device.h"

// Cached product and vendor id that Connect looks for (-1: not set).
extern std::atomic<int> g_nPid;
extern std::atomic<int> g_nVid;
// Payload bytes per report: 512 until the first connection, then the input report
// length minus the report id byte (64 for the terminal).
extern std::atomic<int> CommuniSize;
// 1 between a successful OpenPort and the next ClosePort.
extern std::atomic<int> g_bPortOpen;

// The id pair of the device table's second entry, in place until a device is found.
constexpr int kDefaultVid = 0x10C4;
constexpr int kDefaultPid = 0xEA80;

// Results of CUSBHID::ReadReport besides a report length, and of OpenPort.
constexpr int kReportBrokenOff = 0;
constexpr int kReportFailed = -1;
constexpr int kReportTimedOut = -4;
constexpr int kLinkOpenFailed = -1;

class CUSBHID {
 public:
  CUSBHID() = default;
  virtual ~CUSBHID();

  // Connects to the HID interface with g_nVid/g_nPid among the first 20; configures a
  // 64-byte bridge with feature reports. 1 when connected, 0 when none matched.
  int Connect();
  // Closes the handles; 0.
  int Disconnect();
  // One output report from `length` (at most 999) data bytes, zero padded. 0 or -1.
  int WriteReport(const uint8_t* data, size_t length);
  // One input report into `out` (room for the input report length): the length on
  // success, 0 when the wait was broken off through g_bKeepWaiting, -4 on timeout, -1
  // without a read handle or on a read failure.
  int ReadReport(uint8_t* out, int timeoutMs);
  // As ReadReport, but a cleared g_bKeepWaiting does not end the wait.
  int ReadReportNoCancel(uint8_t* out, int timeoutMs);

  bool Connected() const { return connected_.load(); }
  // Output report length of the current connection, report id included (0: none).
  int OutputReportLength() const {
    std::shared_ptr<Connection> c = Current();
    return c ? static_cast<int>(c->caps.outputReportLength) : 0;
  }

 private:
  // The handles and buffers of one connection. A cancel call on another thread may
  // reconnect while a read is waiting; the waiting thread keeps its own reference, so
  // the connection it uses stays valid until it lets go (it then notices the cancel).
  struct Connection {
    std::unique_ptr<platform::HidDevice> device;
    platform::HidCaps caps;
    uint8_t in[1000] = {0};
    uint8_t out[1000] = {0};
  };

  int Read(uint8_t* out, int timeoutMs, bool cancellable);
  static void ConfigureBridge(platform::HidDevice& device);
  std::shared_ptr<Connection> Current() const { return std::atomic_load(&connection_); }

  std::shared_ptr<Connection> connection_;
  std::atomic<bool> connected_{false};
};

// The process-wide device object.
CUSBHID& UsbDevice();

// Device search: 0 with the matching table text copied to `out` (capacity bytes,
// zeroed by the caller), -1 when the device list cannot be obtained, -2 when none matched.
int EnumGwqDevice(char* out, size_t capacity);

// Opens the link: the Connect result (1) on success, kLinkOpenFailed on failure.
int OpenPort();
// Closes the link: 1 when it was open, -1 when it was not.
int ClosePort();

// Converts four hexadecimal characters to two bytes; returns the number of bytes
// converted (2 for valid text) and terminates `out` after them.
int HexPairToBytes(const char* text, uint8_t* out);

// The four-character id text as a number (first byte x 256 + second), or -1.
int IdTextToNumber(const char* text);
