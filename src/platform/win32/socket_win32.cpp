// TCP streams with Windows Sockets 2. Each stream and listener holds its own
// WSAStartup reference, so no process-wide start-up is needed.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/os_error.h"
#include "platform/socket.h"

namespace platform {
namespace {

// Longest wait for the peer's close when a connection ends.
constexpr DWORD kCloseDrainMs = 500;

// Waits for one socket with select(): readable/accepting, or writable/connected.
// 1 ready (or in error: the next call reports it), 0 time is up, -1 failure.
//
// A read wait lists the socket in the read set alone: a reset or a hang-up makes the
// socket readable (the next recv reports it), so the exception set adds nothing there,
// and Wine 8's wineserver aborts when one socket is in both sets while the peer hangs
// up during the wait's set-up (every socket of the process is then lost). A write
// wait keeps the exception set: a failed non-blocking connect shows there, not in
// the write set.
int SelectFor(SOCKET s, bool forWrite, uint32_t waitMs) {
  fd_set ready;
  fd_set failed;
  FD_ZERO(&ready);
  FD_ZERO(&failed);
  FD_SET(s, &ready);
  FD_SET(s, &failed);
  timeval tv;
  tv.tv_sec = static_cast<long>(waitMs / 1000);
  tv.tv_usec = static_cast<long>(waitMs % 1000) * 1000;
  const int n = forWrite ? select(0, nullptr, &ready, &failed, &tv) : select(0, &ready, nullptr, nullptr, &tv);
  if (n == SOCKET_ERROR) {
    RecordOsError(WSAGetLastError());
    return -1;
  }
  return n > 0 ? 1 : 0;
}

bool MakeNonBlocking(SOCKET s) {
  u_long on = 1;
  return ioctlsocket(s, FIONBIO, &on) == 0;
}

// One WSAStartup/WSACleanup pair.
class WinsockUse {
 public:
  WinsockUse() {
    WSADATA data;
    started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
  ~WinsockUse() {
    if (started_) WSACleanup();
  }
  WinsockUse(const WinsockUse&) = delete;
  WinsockUse& operator=(const WinsockUse&) = delete;
  bool Started() const { return started_; }

 private:
  bool started_;
};

class WinTcpStream : public TcpStream {
 public:
  WinTcpStream(std::unique_ptr<WinsockUse> use, SOCKET s, bool closeGracefully)
      : use_(std::move(use)), socket_(s), closeGracefully_(closeGracefully) {}

  // Closing a socket that still holds unread bytes resets the connection, and a reset
  // may make the peer drop what we sent last (an output report before the link closes).
  // So the connecting side ends its sending, reads and drops until the peer closes too
  // (a bounded time), and only then closes.
  ~WinTcpStream() override {
    if (closeGracefully_ && shutdown(socket_, SD_SEND) == 0) {
      const DWORD start = GetTickCount();
      char scratch[4096];
      for (;;) {
        const int n = recv(socket_, scratch, sizeof(scratch), 0);
        if (n > 0) continue;
        if (n == 0 || WSAGetLastError() != WSAEWOULDBLOCK) break;
        const DWORD spent = GetTickCount() - start;
        if (spent >= kCloseDrainMs || SelectFor(socket_, false, kCloseDrainMs - spent) != 1) break;
      }
    }
    closesocket(socket_);
  }

  bool SendAll(const uint8_t* data, size_t length, uint32_t stallMs) override {
    while (length > 0) {
      const int chunk = length > 0x10000 ? 0x10000 : static_cast<int>(length);
      const int n = send(socket_, reinterpret_cast<const char*>(data), chunk, 0);
      if (n > 0) {
        data += n;
        length -= static_cast<size_t>(n);
      } else if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
        if (SelectFor(socket_, true, stallMs) != 1) return false;
      } else {
        RecordOsError(WSAGetLastError());
        return false;
      }
    }
    return true;
  }

  int WaitReadable(uint32_t waitMs) override { return SelectFor(socket_, false, waitMs); }

  int Receive(uint8_t* out, size_t capacity) override {
    if (capacity == 0) return 0;
    const int chunk = capacity > 0x10000 ? 0x10000 : static_cast<int>(capacity);
    const int n = recv(socket_, reinterpret_cast<char*>(out), chunk, 0);
    if (n > 0) return n;
    if (n == 0) return -1;  // orderly close by the peer
    const int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK) return 0;
    RecordOsError(error);
    return -1;
  }

 private:
  std::unique_ptr<WinsockUse> use_;
  SOCKET socket_;
  bool closeGracefully_;
};

std::unique_ptr<TcpStream> Wrap(std::unique_ptr<WinsockUse> use, SOCKET s, bool closeGracefully) {
  BOOL one = TRUE;
  // Frames are small and answered at once: send each without waiting to coalesce.
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof(one));
  if (!MakeNonBlocking(s)) {
    closesocket(s);
    return nullptr;
  }
  return std::unique_ptr<TcpStream>(new WinTcpStream(std::move(use), s, closeGracefully));
}

class WinTcpListener : public TcpListener {
 public:
  WinTcpListener(std::unique_ptr<WinsockUse> use, SOCKET s, uint16_t port)
      : use_(std::move(use)), socket_(s), port_(port) {}
  ~WinTcpListener() override { closesocket(socket_); }

  std::string Address() const override { return "127.0.0.1:" + std::to_string(port_); }

  std::unique_ptr<TcpStream> Accept(uint32_t waitMs) override {
    if (SelectFor(socket_, false, waitMs) != 1) return nullptr;
    std::unique_ptr<WinsockUse> use(new WinsockUse());
    if (!use->Started()) return nullptr;
    const SOCKET s = accept(socket_, nullptr, nullptr);
    if (s == INVALID_SOCKET) return nullptr;
    // An accepted socket inherits the listener's blocking mode; Wrap sets it anyway.
    return Wrap(std::move(use), s, false);
  }

 private:
  std::unique_ptr<WinsockUse> use_;
  SOCKET socket_;
  uint16_t port_;
};

}  // namespace

std::unique_ptr<TcpStream> ConnectTcp(const std::string& hostPort, uint32_t connectMs) {
  std::string host;
  uint16_t port = 0;
  if (!SplitHostPort(hostPort, host, port)) return nullptr;
  std::unique_ptr<WinsockUse> use(new WinsockUse());
  if (!use->Started()) return nullptr;

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* list = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list) != 0) return nullptr;

  SOCKET connected = INVALID_SOCKET;
  for (addrinfo* ai = list; ai && connected == INVALID_SOCKET; ai = ai->ai_next) {
    const SOCKET s = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
    if (s == INVALID_SOCKET) continue;
    bool ok = MakeNonBlocking(s);
    if (ok && connect(s, ai->ai_addr, static_cast<int>(ai->ai_addrlen)) != 0) {
      ok = WSAGetLastError() == WSAEWOULDBLOCK && SelectFor(s, true, connectMs) == 1;
      int error = 0;
      int size = sizeof(error);
      if (ok) {
        ok = getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) == 0 &&
             error == 0;
      }
    }
    if (ok) {
      connected = s;
    } else {
      closesocket(s);
    }
  }
  freeaddrinfo(list);
  if (connected == INVALID_SOCKET) return nullptr;
  return Wrap(std::move(use), connected, true);
}

std::unique_ptr<TcpListener> ListenTcpLoopback() {
  std::unique_ptr<WinsockUse> use(new WinsockUse());
  if (!use->Started()) return nullptr;
  const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return nullptr;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  int size = sizeof(addr);
  if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(s, 8) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&addr), &size) != 0) {
    closesocket(s);
    return nullptr;
  }
  return std::unique_ptr<TcpListener>(new WinTcpListener(std::move(use), s, ntohs(addr.sin_port)));
}

}  // namespace platform
