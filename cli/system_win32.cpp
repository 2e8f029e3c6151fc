// rv270 on Windows: command lines in the system code page, the console control handler,
// device access as the HID stack grants it, COM ports from the system's device names.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <io.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "system.h"

namespace rv270cli {

namespace {

void (*g_onInterrupt)(const char*) = nullptr;

const char* EventName(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT: return "CTRL_C_EVENT";
    case CTRL_BREAK_EVENT: return "CTRL_BREAK_EVENT";
    case CTRL_CLOSE_EVENT: return "CTRL_CLOSE_EVENT";
    case CTRL_LOGOFF_EVENT: return "CTRL_LOGOFF_EVENT";
    default: return "CTRL_SHUTDOWN_EVENT";
  }
}

// The system runs the handler on a thread of its own: the callback may wait and call
// the library from here.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (!g_onInterrupt) return FALSE;
  g_onInterrupt(EventName(event));
  return TRUE;
}

std::string SystemText(DWORD code) {
  char text[512] = {0};
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                                 sizeof(text) - 1, nullptr);
  std::string s(text, n);
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
  return s;
}

// The UTF-16 units of a code point; their number (1 or 2).
int Utf16Of(char32_t codePoint, wchar_t wide[2]) {
  if (codePoint < 0x10000) {
    wide[0] = static_cast<wchar_t>(codePoint);
    return 1;
  }
  wide[0] = static_cast<wchar_t>(0xD800 + ((codePoint - 0x10000) >> 10));
  wide[1] = static_cast<wchar_t>(0xDC00 + ((codePoint - 0x10000) & 0x3FF));
  return 2;
}

}  // namespace

bool DecodeCommandLine(const std::string& text, std::u32string& out) {
  out.clear();
  if (text.empty()) return true;
  const int n = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                                    nullptr, 0);
  if (n <= 0) return false;
  std::vector<wchar_t> wide(static_cast<size_t>(n));
  MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), wide.data(), n);
  for (size_t i = 0; i < wide.size(); ++i) {
    char32_t c = static_cast<char16_t>(wide[i]);
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < wide.size()) {
      const char32_t low = static_cast<char16_t>(wide[i + 1]);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    out += c;
  }
  return true;
}

bool GbkOf(char32_t codePoint, std::string& out) {
  out.clear();
  wchar_t wide[2];
  const int units = Utf16Of(codePoint, wide);
  char bytes[8];
  BOOL usedDefault = FALSE;
  const int n = WideCharToMultiByte(936, WC_NO_BEST_FIT_CHARS, wide, units, bytes, sizeof(bytes), nullptr,
                                    &usedDefault);
  if (n <= 0 || usedDefault) return false;
  out.assign(bytes, static_cast<size_t>(n));
  return true;
}

std::string PrintableOf(char32_t codePoint) {
  wchar_t wide[2];
  const int units = Utf16Of(codePoint, wide);
  char bytes[16];
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide, units, bytes, sizeof(bytes), nullptr, nullptr);
  return n > 0 ? std::string(bytes, static_cast<size_t>(n)) : std::string("?");
}

bool StderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

void WatchInterrupts(void (*onInterrupt)(const char* name)) {
  g_onInterrupt = onInterrupt;
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

std::string UserName() {
  char name[256] = {0};
  DWORD size = sizeof(name);
  return GetUserNameA(name, &size) ? std::string(name) : std::string();
}

NodeAccess CheckNodeAccess(const std::string& path) {
  NodeAccess a;
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (h != INVALID_HANDLE_VALUE) {
    a.readable = a.writable = true;
    CloseHandle(h);
    return a;
  }
  const DWORD code = GetLastError();
  a.reason = SystemText(code) + " (os error " + std::to_string(code) + ")";
  a.fix = code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION
              ? "close the other program that holds the terminal open"
              : "plug the terminal in again";
  return a;
}

std::vector<SerialCandidate> SerialCandidates() {
  std::vector<SerialCandidate> out;
  // The list of all device names; a machine with many devices needs more than 64 KiB.
  std::vector<char> names;
  DWORD n = 0;
  for (size_t size = 65536; size <= 16 * 1024 * 1024; size *= 4) {
    names.assign(size, '\0');
    n = QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()));
    if (n != 0 || GetLastError() != ERROR_INSUFFICIENT_BUFFER) break;
  }
  for (size_t at = 0; at < n && names[at] != '\0';) {
    const std::string name(&names[at]);
    at += name.size() + 1;
    int port = 0;
    char tail = 0;
    if (std::sscanf(name.c_str(), "COM%d%c", &port, &tail) == 1 && port > 0 && port <= 255) {
      out.push_back(SerialCandidate{"\\\\.\\" + name, port, ""});
    }
  }
  std::sort(out.begin(), out.end(), [](const SerialCandidate& a, const SerialCandidate& b) { return a.port < b.port; });
  return out;
}

std::string TcpConnectFailure(const std::string& host, uint16_t port) {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return "the network services cannot be started";
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  int code = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
  if (code == 0) {
    for (addrinfo* ai = list; ai; ai = ai->ai_next) {
      const SOCKET s = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
      if (s == INVALID_SOCKET) {
        code = WSAGetLastError();
        continue;
      }
      // Non-blocking, so that the wait ends after a second (a refused loopback connect
      // takes Windows two seconds and more of retries).
      u_long nonBlocking = 1;
      ioctlsocket(s, FIONBIO, &nonBlocking);
      code = connect(s, ai->ai_addr, static_cast<int>(ai->ai_addrlen)) == 0 ? 0 : WSAGetLastError();
      if (code == WSAEWOULDBLOCK) {
        fd_set writable, failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(s, &writable);
        FD_SET(s, &failed);
        timeval second{1, 0};
        int size = sizeof(code);
        if (select(0, nullptr, &writable, &failed, &second) != 1) {
          code = WSAETIMEDOUT;
        } else if (FD_ISSET(s, &failed)) {
          if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&code), &size) != 0 || code == 0) {
            code = WSAECONNREFUSED;
          }
        } else {
          code = 0;
        }
      }
      closesocket(s);
      if (code == 0) break;
    }
    freeaddrinfo(list);
  }
  WSACleanup();
  return code == 0 ? std::string() : SystemText(static_cast<DWORD>(code)) + " (os error " + std::to_string(code) + ")";
}

std::string SerialPathOrigin(int) { return ""; }

std::string TryOpenSerial(const std::string& path, std::string& fix) {
  fix.clear();
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h != INVALID_HANDLE_VALUE) {
    CloseHandle(h);
    return "";
  }
  const DWORD code = GetLastError();
  if (code == ERROR_ACCESS_DENIED) fix = "close the other program that holds the port open";
  return SystemText(code) + " (os error " + std::to_string(code) + ")";
}

}  // namespace rv270cli
