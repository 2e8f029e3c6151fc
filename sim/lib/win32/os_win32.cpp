// Sockets (winsock2), COM ports (Win32 communications API) and the environment on
// Windows. Serial lines are one end of a port pair that someone else made (under Wine:
// dosdevices links to a socat pty pair); the far end's settings cannot be seen here.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <chrono>
#include <mutex>

#include "os.h"

namespace rv270sim {
namespace os {
namespace {

constexpr int kSendGiveUpMs = 3000;

void StartWinsock() {
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  });
}

std::string LastErrorText(const char* what) { return std::string(what) + " failed, error " + std::to_string(GetLastError()); }

SOCKET AsSocket(Socket s) { return static_cast<SOCKET>(s); }

// "COM5", "\\.\COM5" or "5" -> "\\.\COM5"; anything else is used as it stands.
std::string DeviceName(const std::string& name) {
  if (name.rfind("\\\\.\\", 0) == 0) return name;
  if (!name.empty() && name.find_first_not_of("0123456789") == std::string::npos) return "\\\\.\\COM" + name;
  return "\\\\.\\" + name;
}

class ComPort : public SerialEndpoint {
 public:
  ComPort(HANDLE h, std::string name) : h_(h), name_(std::move(name)) {}
  ~ComPort() override { CloseHandle(h_); }

  int Read(uint8_t* buffer, size_t size, int waitMs) override {
    if (waitMs != waitMs_) {
      // Returns as soon as one byte is there, otherwise after waitMs.
      COMMTIMEOUTS t{};
      t.ReadIntervalTimeout = MAXDWORD;
      t.ReadTotalTimeoutMultiplier = MAXDWORD;
      t.ReadTotalTimeoutConstant = waitMs > 0 ? static_cast<DWORD>(waitMs) : 1;
      t.WriteTotalTimeoutConstant = kSendGiveUpMs;
      SetCommTimeouts(h_, &t);
      waitMs_ = waitMs;
    }
    DWORD got = 0;
    if (!ReadFile(h_, buffer, static_cast<DWORD>(size), &got, nullptr)) return -1;
    return static_cast<int>(got);
  }

  bool Write(const uint8_t* data, size_t length) override {
    size_t done = 0;
    while (done < length) {
      DWORD n = 0;
      if (!WriteFile(h_, data + done, static_cast<DWORD>(length - done), &n, nullptr) || n == 0) return false;
      done += n;
    }
    return true;
  }

  bool LineSettings(SerialSettings&) override { return false; }
  std::string Path() const override { return name_; }

 private:
  HANDLE h_;
  std::string name_;
  int waitMs_ = -1;
};

}  // namespace

Socket ListenLoopback(uint16_t port, uint16_t& bound, std::string& error) {
  StartWinsock();
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) {
    error = "socket failed, error " + std::to_string(WSAGetLastError());
    return kNoSocket;
  }
  // Exclusive use: a second simulator must not share the port.
  BOOL one = TRUE;
  setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof(one));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  // A small receive window (inherited by the links): a library that writes ahead of a
  // link held to its line rate waits in its writes, as it would on a real terminal.
  const int window = kReceiveWindow;
  setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&window), sizeof(window));
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || listen(s, 16) != 0) {
    error = "bind/listen failed, error " + std::to_string(WSAGetLastError());
    closesocket(s);
    return kNoSocket;
  }
  int len = sizeof(a);
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  bound = ntohs(a.sin_port);
  return static_cast<Socket>(s);
}

Socket AcceptClient(Socket listener) {
  SOCKET s = accept(AsSocket(listener), nullptr, nullptr);
  if (s == INVALID_SOCKET) return kNoSocket;
  BOOL one = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof(one));
  return static_cast<Socket>(s);
}

Socket ConnectLoopback(uint16_t port) {
  StartWinsock();
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return kNoSocket;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
    closesocket(s);
    return kNoSocket;
  }
  BOOL one = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof(one));
  return static_cast<Socket>(s);
}

int ReceiveSome(Socket s, uint8_t* buffer, size_t size) {
  const int n = recv(AsSocket(s), reinterpret_cast<char*>(buffer), static_cast<int>(size), 0);
  return n < 0 ? -1 : n;
}

bool SendAll(Socket s, const uint8_t* data, size_t length) {
  // A blocking send with a time limit: a peer that stops reading cannot hold us forever.
  DWORD limit = kSendGiveUpMs;
  setsockopt(AsSocket(s), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&limit), sizeof(limit));
  size_t done = 0;
  while (done < length) {
    const int n = send(AsSocket(s), reinterpret_cast<const char*>(data + done), static_cast<int>(length - done), 0);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void CloseSocket(Socket s) {
  if (s != kNoSocket) closesocket(AsSocket(s));
}

void ShutdownSend(Socket s) {
  if (s != kNoSocket) shutdown(AsSocket(s), SD_SEND);
}

int WaitReadable(const std::vector<Socket>& sockets, int waitMs, std::vector<char>& ready) {
  ready.assign(sockets.size(), 0);
  fd_set set;
  FD_ZERO(&set);
  // select watches at most FD_SETSIZE sockets; the simulator has a handful at a time.
  const size_t watched = sockets.size() < FD_SETSIZE ? sockets.size() : FD_SETSIZE;
  for (size_t i = 0; i < watched; ++i) FD_SET(AsSocket(sockets[i]), &set);
  if (watched == 0) {
    Sleep(static_cast<DWORD>(waitMs));
    return 0;
  }
  timeval tv;
  tv.tv_sec = waitMs / 1000;
  tv.tv_usec = (waitMs % 1000) * 1000;
  // The read set alone: a hang-up makes a socket readable, and listing one socket in the
  // read and exception sets at once can abort Wine 8's wineserver when the peer hangs up.
  const int n = select(0, &set, nullptr, nullptr, &tv);
  if (n < 0) return -1;
  int count = 0;
  for (size_t i = 0; i < watched; ++i) {
    if (FD_ISSET(AsSocket(sockets[i]), &set)) {
      ready[i] = 1;
      ++count;
    }
  }
  return count;
}

std::unique_ptr<SerialEndpoint> OpenSimulatorSerial(const std::string& name, std::string& error) {
  if (name.empty()) {
    error = "no COM port given (SetSerialPortName)";
    return nullptr;
  }
  return OpenClientSerial(name, 9600, error);
}

std::unique_ptr<SerialEndpoint> OpenClientSerial(const std::string& name, int baud, std::string& error) {
  const std::string device = DeviceName(name);
  HANDLE h = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    error = LastErrorText(("CreateFileA " + device).c_str());
    return nullptr;
  }
  DCB dcb{};
  dcb.DCBlength = sizeof(dcb);
  GetCommState(h, &dcb);
  dcb.BaudRate = static_cast<DWORD>(baud);
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fBinary = TRUE;
  dcb.fParity = FALSE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  if (!SetCommState(h, &dcb)) {
    error = LastErrorText("SetCommState");
    CloseHandle(h);
    return nullptr;
  }
  PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
  return std::unique_ptr<SerialEndpoint>(new ComPort(h, name));
}

void SetEnv(const std::string& name, const std::string& value) {
  SetEnvironmentVariableA(name.c_str(), value.empty() ? nullptr : value.c_str());
}

std::string GetEnv(const std::string& name) {
  char small[512];
  const DWORD n = GetEnvironmentVariableA(name.c_str(), small, sizeof(small));
  if (n == 0) return "";
  if (n < sizeof(small)) return std::string(small, n);
  std::string big(n, '\0');
  const DWORD m = GetEnvironmentVariableA(name.c_str(), &big[0], n);
  big.resize(m < n ? m : 0);
  return big;
}

bool UsesPseudoTerminals() { return false; }

}  // namespace os
}  // namespace rv270sim
