// Serial ports on Windows through the communications API.
//
// Reads normally return at once with what has arrived. To wait in the kernel for the
// first byte, WaitReadable switches the read timeouts for one call to "return as soon as
// one byte is there, or after waitMs", reads that byte into a one-byte look-ahead and
// switches back; the look-ahead is counted by BytesWaiting and handed out first by
// ReadWaiting, so the caller sees the byte stream unchanged.
#include <windows.h>

#include <cstdio>
#include <utility>

#include "platform/os_error.h"
#include "platform/serial_port.h"

namespace platform {
namespace {

constexpr DWORD kQueueSize = 10000;

// A write that the line has not taken within its transmission time plus this has failed
// (a line that stopped taking bytes must not hold the caller for ever).
constexpr DWORD kWriteStallMs = 5000;

// Write time per byte, in whole milliseconds with room to spare: 10 bits at `rate`.
DWORD WriteMsPerByte(int rate) { return static_cast<DWORD>((10000 + rate - 1) / rate) + 1; }

bool SetTimeouts(HANDLE h, int rate, DWORD interval, DWORD multiplier, DWORD constant) {
  COMMTIMEOUTS t;
  t.ReadIntervalTimeout = interval;
  t.ReadTotalTimeoutMultiplier = multiplier;
  t.ReadTotalTimeoutConstant = constant;
  t.WriteTotalTimeoutMultiplier = WriteMsPerByte(rate);
  t.WriteTotalTimeoutConstant = kWriteStallMs;
  return SetCommTimeouts(h, &t) != FALSE;
}

// Reads return at once with what has arrived.
bool SetImmediateReads(HANDLE h, int rate) { return SetTimeouts(h, rate, MAXDWORD, 0, 0); }

// The link's whole line configuration: `rate` bit/s, 8 data bits, no parity, one stop
// bit, every byte taken as it is (binary, no null stripping, no error character, no
// XON/XOFF in either direction, which would swallow and act on the bytes 0x11 and 0x13),
// no hardware flow control, DSR ignored, DTR and RTS held off, and no abort of reads and
// writes after a line error.
void SetLineSettings(DCB& dcb, int rate) {
  dcb.BaudRate = static_cast<DWORD>(rate);
  dcb.fBinary = TRUE;
  dcb.fParity = FALSE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fTXContinueOnXoff = TRUE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fErrorChar = FALSE;
  dcb.fNull = FALSE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  dcb.fAbortOnError = FALSE;
  dcb.wReserved = 0;
  // Unused without XON/XOFF, but some drivers refuse limits past the queue size or equal
  // XON and XOFF characters: the usual values.
  dcb.XonLim = 2048;
  dcb.XoffLim = 512;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.ErrorChar = 0;
  dcb.EofChar = 0;
  dcb.EvtChar = 0;
}

// One handle at a time on a port. Windows itself refuses a second open of a COM port
// (share mode 0) with ERROR_ACCESS_DENIED; Wine checks share modes on files and folders
// only, and there a second handle on the terminal device behind a COM port opens: two
// dialogues of this process (a call that opens its port while a cancel opens its own)
// would then each write, purge and read the one line, purging or reading away the bytes
// of the other's answer. The named claim object, made atomically with the port's open
// and closed after it, keeps every user of this library to one handle per port.
class PortClaim {
 public:
  PortClaim() = default;
  PortClaim(PortClaim&& other) noexcept : h_(other.h_) { other.h_ = nullptr; }
  PortClaim(const PortClaim&) = delete;
  PortClaim& operator=(const PortClaim&) = delete;
  PortClaim& operator=(PortClaim&&) = delete;
  ~PortClaim() {
    if (h_ != nullptr) CloseHandle(h_);
  }

  // Claims `port`; false (with ERROR_ACCESS_DENIED as the last error, as a second open
  // of the port gives) when another handle holds it.
  bool Take(int port) {
    char name[64];
    std::snprintf(name, sizeof(name), "Local\\QornRV270API.COM%d", port);
    h_ = CreateEventA(nullptr, TRUE, FALSE, name);
    if (h_ == nullptr) return false;
    if (GetLastError() != ERROR_ALREADY_EXISTS) return true;
    CloseHandle(h_);
    h_ = nullptr;
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }

 private:
  HANDLE h_ = nullptr;
};

class Win32SerialPort : public SerialPort {
 public:
  Win32SerialPort(HANDLE h, int rate, PortClaim claim) : h_(h), rate_(rate), claim_(std::move(claim)) {}
  // The port's handle closes before its claim (a member) is given up.
  ~Win32SerialPort() override { CloseHandle(h_); }

  int BytesWaiting() override {
    DWORD errors = 0;
    COMSTAT status;
    if (!ClearCommError(h_, &errors, &status)) return -1;
    return static_cast<int>(status.cbInQue) + (hasLookahead_ ? 1 : 0);
  }

  int ReadWaiting(uint8_t* out, size_t length) override {
    if (length == 0) return 0;
    size_t count = 0;
    if (hasLookahead_) {
      out[count++] = lookahead_;
      hasLookahead_ = false;
    }
    if (count == length) return static_cast<int>(count);
    DWORD got = 0;
    const DWORD want = length - count > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(length - count);
    if (!ReadFile(h_, out + count, want, &got, nullptr)) {
      if (count > 0) return static_cast<int>(count);
      RecordLastOsError();
      return -1;
    }
    return static_cast<int>(count + got);
  }

  bool WaitReadable(uint32_t waitMs) override {
    const int waiting = BytesWaiting();
    if (waiting != 0) return waiting > 0;
    if (waitMs == 0) return false;
    // Wait for the first byte: with interval and multiplier at MAXDWORD and a constant
    // between 0 and MAXDWORD, ReadFile returns as soon as one byte arrives.
    const DWORD constant = waitMs >= MAXDWORD ? MAXDWORD - 1 : waitMs;
    if (!SetTimeouts(h_, rate_, MAXDWORD, MAXDWORD, constant)) return false;
    DWORD got = 0;
    uint8_t byte = 0;
    const BOOL ok = ReadFile(h_, &byte, 1, &got, nullptr);
    SetImmediateReads(h_, rate_);
    if (!ok || got != 1) return false;
    lookahead_ = byte;
    hasLookahead_ = true;
    return true;
  }

  bool Write(const uint8_t* data, size_t length) override {
    while (length > 0) {
      const DWORD chunk = length > 0x10000 ? 0x10000 : static_cast<DWORD>(length);
      DWORD written = 0;
      // Nothing written within the write timeout: the line stopped taking bytes.
      if (!WriteFile(h_, data, chunk, &written, nullptr) || written == 0) {
        RecordLastOsError();
        return false;
      }
      data += written;
      length -= written;
    }
    // Returns once the bytes are transmitted, so a later purge has nothing of ours to drop.
    FlushFileBuffers(h_);
    return true;
  }

  // Only received input is discarded: after every write the output queue is empty, and
  // clearing it (on a pty under Wine) would drop bytes the other end has not read yet.
  void Purge() override {
    PurgeComm(h_, PURGE_RXCLEAR | PURGE_RXABORT);
    hasLookahead_ = false;
  }

 private:
  HANDLE h_;
  int rate_;
  PortClaim claim_;
  bool hasLookahead_ = false;
  uint8_t lookahead_ = 0;
};

}  // namespace

std::string SerialDeviceName(int port) {
  char name[32];
  std::snprintf(name, sizeof(name), "\\\\.\\COM%d", port);
  return name;
}

std::unique_ptr<SerialPort> OpenSerialPort(int port, int rate) {
  if (rate <= 0) return nullptr;
  PortClaim claim;
  if (!claim.Take(port)) {
    RecordLastOsError();
    return nullptr;
  }
  const HANDLE h = CreateFileA(SerialDeviceName(port).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    RecordLastOsError();
    return nullptr;
  }
  std::unique_ptr<Win32SerialPort> serial(new Win32SerialPort(h, rate, std::move(claim)));

  // Read first for the fields this code does not know of; every field the line depends on
  // is then set, whatever an earlier program left in the port's settings.
  DCB dcb;
  ZeroMemory(&dcb, sizeof(dcb));
  dcb.DCBlength = sizeof(dcb);
  if (!GetCommState(h, &dcb) || !SetupComm(h, kQueueSize, kQueueSize)) return nullptr;
  SetLineSettings(dcb, rate);
  if (!SetCommState(h, &dcb) || !SetupComm(h, kQueueSize, kQueueSize)) return nullptr;
  if (!SetImmediateReads(h, rate)) return nullptr;
  PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_TXABORT);
  return std::unique_ptr<SerialPort>(serial.release());
}

}  // namespace platform
