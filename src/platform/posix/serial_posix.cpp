// Serial ports on Linux through termios. Port n is the device named by RV270_COMn, or
// /dev/ttyS<n-1>.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>

#include "platform/env.h"
#include "platform/os_error.h"
#include "platform/posix/poll_posix.h"
#include "platform/serial_port.h"
#include "platform/time.h"

namespace platform {
namespace {

// A write that the line takes nothing of for this long has failed.
constexpr uint32_t kWriteStallMs = 5000;

bool SpeedOf(int rate, speed_t& speed) {
  static const struct {
    int rate;
    speed_t speed;
  } kSpeeds[] = {
      {50, B50},         {75, B75},         {110, B110},       {134, B134},
      {150, B150},       {200, B200},       {300, B300},       {600, B600},
      {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
      {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
      {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
      {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000},
      {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
      {3500000, B3500000}, {4000000, B4000000},
  };
  for (const auto& s : kSpeeds) {
    if (s.rate == rate) {
      speed = s.speed;
      return true;
    }
  }
  return false;
}

class PosixSerialPort : public SerialPort {
 public:
  explicit PosixSerialPort(int fd) : fd_(fd) {}
  ~PosixSerialPort() override {
    // The exclusive mode outlives this descriptor while another one (a simulator's)
    // keeps the line open: give it back.
    ioctl(fd_, TIOCNXCL);
    close(fd_);
  }

  int BytesWaiting() override {
    int n = 0;
    if (ioctl(fd_, FIONREAD, &n) < 0) return -1;
    return n;
  }

  int ReadWaiting(uint8_t* out, size_t length) override {
    if (length == 0) return 0;
    for (;;) {
      const ssize_t n = read(fd_, out, length);
      if (n >= 0) {
        if (n == 0 && hungUp_) return -1;
        return static_cast<int>(n);
      }
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
      RecordOsError(errno);
      return -1;
    }
  }

  // True as well when the line hung up or failed, so that the next read reports it
  // instead of the caller waiting out its time.
  bool WaitReadable(uint32_t waitMs) override {
    const int revents = PollFor(fd_, POLLIN, waitMs);
    if (revents < 0) return false;
    if (revents & (POLLERR | POLLHUP | POLLNVAL)) {
      if (BytesWaiting() <= 0) hungUp_ = true;
      return true;
    }
    return (revents & POLLIN) != 0;
  }

  bool Write(const uint8_t* data, size_t length) override {
    while (length > 0) {
      const ssize_t n = write(fd_, data, length);
      if (n > 0) {
        data += n;
        length -= static_cast<size_t>(n);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        const int revents = PollFor(fd_, POLLOUT, kWriteStallMs);
        if (revents <= 0 || (revents & (POLLERR | POLLHUP | POLLNVAL))) return false;
      } else {
        RecordOsError(errno);
        return false;
      }
    }
    // Like a Win32 write without write timeouts, return once the bytes are transmitted:
    // a purge after the write then has nothing of ours left to discard.
    tcdrain(fd_);
    return true;
  }

  // Only received input is discarded: the output queue is empty after every write
  // (drained above), and discarding it would drop bytes the other end has not read yet.
  void Purge() override { tcflush(fd_, TCIFLUSH); }

 private:
  int fd_;
  bool hungUp_ = false;
};

// 8 data bits, no parity, one stop bit, no flow control, raw bytes, reads that return
// at once; the receiver on and the modem lines ignored.
bool ConfigureLine(int fd, speed_t speed) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return false;
  cfmakeraw(&tio);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0) return false;
  return tcsetattr(fd, TCSANOW, &tio) == 0;
}

}  // namespace

std::string SerialDeviceName(int port) {
  const std::string named = GetEnv(("RV270_COM" + std::to_string(port)).c_str());
  if (!named.empty()) return named;
  return "/dev/ttyS" + std::to_string(port - 1);
}

std::unique_ptr<SerialPort> OpenSerialPort(int port, int rate) {
  speed_t speed;
  if (!SpeedOf(rate, speed)) return nullptr;
  const std::string name = SerialDeviceName(port);
  const int fd = open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    RecordOsError(errno);
    return nullptr;
  }
  // Not shared: TIOCEXCL keeps out other opens (except privileged ones), the lock keeps
  // out every other user of this library, privileged or not.
  if (!isatty(fd) || flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
    RecordOsError(errno);
    close(fd);
    return nullptr;
  }
  std::unique_ptr<PosixSerialPort> serial(new PosixSerialPort(fd));
  if (!ConfigureLine(fd, speed)) {
    RecordOsError(errno);
    return nullptr;
  }
  // DTR and RTS held off. A pseudo-terminal has no modem lines: ignore the failure there.
  int lines = TIOCM_DTR | TIOCM_RTS;
  ioctl(fd, TIOCMBIC, &lines);
  tcflush(fd, TCIOFLUSH);
  return std::unique_ptr<SerialPort>(serial.release());
}

}  // namespace platform
