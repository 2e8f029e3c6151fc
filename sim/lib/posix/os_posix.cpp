// Sockets, pseudo-terminals and the environment on Linux (and other POSIX systems).
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>

#include "os.h"

namespace rv270sim {
namespace os {
namespace {

constexpr int kSendGiveUpMs = 3000;

std::string ErrnoText(const char* what) { return std::string(what) + ": " + strerror(errno); }

int SpeedToBaud(speed_t s) {
  struct Pair {
    speed_t speed;
    int baud;
  };
  static const Pair kPairs[] = {{B50, 50},         {B300, 300},       {B600, 600},
                                {B1200, 1200},     {B2400, 2400},     {B4800, 4800},
                                {B9600, 9600},     {B19200, 19200},   {B38400, 38400},
                                {B57600, 57600},   {B115200, 115200}, {B230400, 230400},
                                {B460800, 460800}, {B921600, 921600}};
  for (const Pair& p : kPairs) {
    if (p.speed == s) return p.baud;
  }
  return -1;
}

speed_t BaudToSpeed(int baud) {
  switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return B9600;
  }
}

bool WaitFd(int fd, short events, int waitMs) {
  pollfd p{fd, events, 0};
  const int n = poll(&p, 1, waitMs);
  return n > 0;
}

class PosixSerial : public SerialEndpoint {
 public:
  // `keep` is a second descriptor held open beside `fd` (the pty slave), or -1.
  PosixSerial(int fd, int keep, std::string path) : fd_(fd), keep_(keep), path_(std::move(path)) {}
  ~PosixSerial() override {
    if (keep_ >= 0) close(keep_);
    close(fd_);
  }

  int Read(uint8_t* buffer, size_t size, int waitMs) override {
    pollfd p{fd_, POLLIN, 0};
    const int n = poll(&p, 1, waitMs);
    if (n < 0) return errno == EINTR ? 0 : -1;
    if (n == 0) return 0;
    if (p.revents & (POLLERR | POLLNVAL)) return -1;
    const ssize_t got = read(fd_, buffer, size);
    if (got < 0) return (errno == EAGAIN || errno == EINTR || errno == EIO) ? 0 : -1;
    return static_cast<int>(got);
  }

  bool Write(const uint8_t* data, size_t length) override {
    size_t done = 0;
    auto start = std::chrono::steady_clock::now();
    while (done < length) {
      const ssize_t n = write(fd_, data + done, length - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
        start = std::chrono::steady_clock::now();
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
      const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start).count();
      if (spent >= kSendGiveUpMs) return false;
      WaitFd(fd_, POLLOUT, 20);
    }
    return true;
  }

  bool LineSettings(SerialSettings& out) override {
    // On a pty master, tcgetattr reports the slave's settings: those the library set.
    termios t{};
    if (tcgetattr(keep_ >= 0 ? keep_ : fd_, &t) != 0) return false;
    out.baud = SpeedToBaud(cfgetospeed(&t));
    switch (t.c_cflag & CSIZE) {
      case CS5: out.dataBits = 5; break;
      case CS6: out.dataBits = 6; break;
      case CS7: out.dataBits = 7; break;
      default: out.dataBits = 8; break;
    }
    out.parity = (t.c_cflag & PARENB) ? ((t.c_cflag & PARODD) ? 'O' : 'E') : 'N';
    out.stopBits = (t.c_cflag & CSTOPB) ? 2 : 1;
    out.rtsCts = (t.c_cflag & CRTSCTS) != 0;
    out.xonXoff = (t.c_iflag & (IXON | IXOFF)) != 0;
    return true;
  }

  std::string Path() const override { return path_; }

 private:
  int fd_;
  int keep_;
  std::string path_;
};

bool MakeRaw(int fd, int baud) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return false;
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS);
  cfsetispeed(&t, BaudToSpeed(baud));
  cfsetospeed(&t, BaudToSpeed(baud));
  return tcsetattr(fd, TCSANOW, &t) == 0;
}

}  // namespace

Socket ListenLoopback(uint16_t port, uint16_t& bound, std::string& error) {
  const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) {
    error = ErrnoText("socket");
    return kNoSocket;
  }
  const int one = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  // A small receive window (inherited by the links): a library that writes ahead of a
  // link held to its line rate waits in its writes, as it would on a real terminal.
  const int window = kReceiveWindow;
  setsockopt(s, SOL_SOCKET, SO_RCVBUF, &window, sizeof(window));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || listen(s, 16) != 0) {
    error = ErrnoText("bind/listen");
    close(s);
    return kNoSocket;
  }
  socklen_t len = sizeof(a);
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  bound = ntohs(a.sin_port);
  return s;
}

Socket AcceptClient(Socket listener) {
  const int s = accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_CLOEXEC);
  if (s < 0) return kNoSocket;
  const int one = 1;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  return s;
}

Socket ConnectLoopback(uint16_t port) {
  const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return kNoSocket;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
    close(s);
    return kNoSocket;
  }
  const int one = 1;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  return s;
}

int ReceiveSome(Socket s, uint8_t* buffer, size_t size) {
  for (;;) {
    const ssize_t n = recv(static_cast<int>(s), buffer, size, 0);
    if (n >= 0) return static_cast<int>(n);
    if (errno != EINTR) return -1;
  }
}

bool SendAll(Socket s, const uint8_t* data, size_t length) {
  size_t done = 0;
  auto start = std::chrono::steady_clock::now();
  while (done < length) {
    const ssize_t n = send(static_cast<int>(s), data + done, length - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<size_t>(n);
      start = std::chrono::steady_clock::now();
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
    const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - start).count();
    if (spent >= kSendGiveUpMs) return false;
    WaitFd(static_cast<int>(s), POLLOUT, 20);
  }
  return true;
}

void CloseSocket(Socket s) {
  if (s != kNoSocket) close(static_cast<int>(s));
}

void ShutdownSend(Socket s) {
  if (s != kNoSocket) shutdown(static_cast<int>(s), SHUT_WR);
}

int WaitReadable(const std::vector<Socket>& sockets, int waitMs, std::vector<char>& ready) {
  std::vector<pollfd> fds(sockets.size());
  for (size_t i = 0; i < sockets.size(); ++i) fds[i] = pollfd{static_cast<int>(sockets[i]), POLLIN, 0};
  ready.assign(sockets.size(), 0);
  const int n = poll(fds.data(), fds.size(), waitMs);
  if (n < 0) return errno == EINTR ? 0 : -1;
  int count = 0;
  for (size_t i = 0; i < fds.size(); ++i) {
    if (fds[i].revents != 0) {
      ready[i] = 1;
      ++count;
    }
  }
  return count;
}

std::unique_ptr<SerialEndpoint> OpenSimulatorSerial(const std::string& name, std::string& error) {
  if (!name.empty()) return OpenClientSerial(name, 9600, error);
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) {
    error = ErrnoText("posix_openpt");
    return nullptr;
  }
  char path[256] = {0};
  if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, path, sizeof(path) - 1) != 0) {
    error = ErrnoText("grantpt/unlockpt/ptsname");
    close(master);
    return nullptr;
  }
  // The simulator holds the slave open too: without it the master reads EIO and polls
  // as hung up whenever the library has the port closed. Raw from the start, so
  // nothing is echoed or translated before the library sets its own line settings.
  const int slave = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0 || !MakeRaw(slave, 9600)) {
    error = ErrnoText("open pty slave");
    if (slave >= 0) close(slave);
    close(master);
    return nullptr;
  }
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  return std::unique_ptr<SerialEndpoint>(new PosixSerial(master, slave, path));
}

std::unique_ptr<SerialEndpoint> OpenClientSerial(const std::string& name, int baud, std::string& error) {
  const int fd = open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error = ErrnoText(("open " + name).c_str());
    return nullptr;
  }
  if (!MakeRaw(fd, baud)) {
    error = ErrnoText("tcsetattr");
    close(fd);
    return nullptr;
  }
  tcflush(fd, TCIOFLUSH);
  return std::unique_ptr<SerialEndpoint>(new PosixSerial(fd, -1, name));
}

void SetEnv(const std::string& name, const std::string& value) {
  if (value.empty()) {
    unsetenv(name.c_str());
  } else {
    setenv(name.c_str(), value.c_str(), 1);
  }
}

std::string GetEnv(const std::string& name) {
  const char* v = getenv(name.c_str());
  return v ? v : "";
}

bool UsesPseudoTerminals() { return true; }

}  // namespace os
}  // namespace rv270sim
