// TCP streams with BSD sockets (Linux).
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/os_error.h"
#include "platform/posix/poll_posix.h"
#include "platform/socket.h"
#include "platform/time.h"

namespace platform {
namespace {

// Longest wait for the peer's close when a connection ends.
constexpr uint32_t kCloseDrainMs = 500;

// 1 when `fd` is ready for `events` (or in error: the next call reports it), 0 when the
// time is up, -1 on failure.
int PollReady(int fd, short events, uint32_t waitMs) {
  const int revents = PollFor(fd, events, waitMs);
  return revents > 0 ? 1 : revents;
}

bool MakeNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL, 0);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

class PosixTcpStream : public TcpStream {
 public:
  PosixTcpStream(int fd, bool closeGracefully) : fd_(fd), closeGracefully_(closeGracefully) {}

  // Closing a socket that still holds unread bytes resets the connection, and a reset
  // may make the peer drop what we sent last (an output report before the link closes).
  // So the connecting side ends its sending, reads and drops until the peer closes too
  // (a bounded time), and only then closes.
  ~PosixTcpStream() override {
    if (closeGracefully_ && shutdown(fd_, SHUT_WR) == 0) {
      const uint32_t start = TickMs();
      uint8_t scratch[4096];
      for (;;) {
        const ssize_t n = recv(fd_, scratch, sizeof(scratch), 0);
        if (n > 0 || (n < 0 && errno == EINTR)) continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) break;
        const uint32_t spent = TickMs() - start;
        if (spent >= kCloseDrainMs || PollReady(fd_, POLLIN, kCloseDrainMs - spent) != 1) break;
      }
    }
    close(fd_);
  }

  bool SendAll(const uint8_t* data, size_t length, uint32_t stallMs) override {
    while (length > 0) {
      const ssize_t n = send(fd_, data, length, MSG_NOSIGNAL);
      if (n > 0) {
        data += n;
        length -= static_cast<size_t>(n);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        if (PollReady(fd_, POLLOUT, stallMs) != 1) return false;
      } else {
        RecordOsError(errno);
        return false;
      }
    }
    return true;
  }

  int WaitReadable(uint32_t waitMs) override { return PollReady(fd_, POLLIN, waitMs); }

  int Receive(uint8_t* out, size_t capacity) override {
    if (capacity == 0) return 0;
    for (;;) {
      const ssize_t n = recv(fd_, out, capacity, 0);
      if (n > 0) return static_cast<int>(n);
      if (n == 0) return -1;  // orderly close by the peer
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
      RecordOsError(errno);
      return -1;
    }
  }

 private:
  int fd_;
  bool closeGracefully_;
};

std::unique_ptr<TcpStream> Wrap(int fd, bool closeGracefully) {
  const int one = 1;
  // Frames are small and answered at once: send each without waiting to coalesce.
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  if (!MakeNonBlocking(fd)) {
    close(fd);
    return nullptr;
  }
  return std::unique_ptr<TcpStream>(new PosixTcpStream(fd, closeGracefully));
}

class PosixTcpListener : public TcpListener {
 public:
  PosixTcpListener(int fd, uint16_t port) : fd_(fd), port_(port) {}
  ~PosixTcpListener() override { close(fd_); }

  std::string Address() const override { return "127.0.0.1:" + std::to_string(port_); }

  std::unique_ptr<TcpStream> Accept(uint32_t waitMs) override {
    if (PollReady(fd_, POLLIN, waitMs) != 1) return nullptr;
    const int fd = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return nullptr;
    return Wrap(fd, false);
  }

 private:
  int fd_;
  uint16_t port_;
};

}  // namespace

std::unique_ptr<TcpStream> ConnectTcp(const std::string& hostPort, uint32_t connectMs) {
  std::string host;
  uint16_t port = 0;
  if (!SplitHostPort(hostPort, host, port)) return nullptr;

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* list = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list) != 0) return nullptr;

  std::unique_ptr<TcpStream> stream;
  for (addrinfo* ai = list; ai && !stream; ai = ai->ai_next) {
    const int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) continue;
    if (!MakeNonBlocking(fd)) {
      close(fd);
      continue;
    }
    int rc = connect(fd, ai->ai_addr, ai->ai_addrlen);
    if (rc != 0 && errno == EINPROGRESS && PollReady(fd, POLLOUT, connectMs) == 1) {
      int error = 0;
      socklen_t size = sizeof(error);
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0) rc = 0;
    }
    if (rc != 0) {
      close(fd);
      continue;
    }
    stream = Wrap(fd, true);
  }
  freeaddrinfo(list);
  return stream;
}

std::unique_ptr<TcpListener> ListenTcpLoopback() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) return nullptr;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t size = sizeof(addr);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(fd, 8) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size) != 0) {
    close(fd);
    return nullptr;
  }
  return std::unique_ptr<TcpListener>(new PosixTcpListener(fd, ntohs(addr.sin_port)));
}

}  // namespace platform
