// rv270 on Linux: UTF-8 command lines, signals taken by a waiting thread, device nodes
// with owners, groups and udev rules, serial ports under /dev.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <iconv.h>
#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "system.h"

extern char** environ;

namespace rv270cli {

namespace {

// The udev rule that gives the terminal's hidraw nodes to the logged-in user, as
// `cmake --install` puts it under lib/udev/rules.d.
const char kUdevRule[] = "70-qornrv270.rules";

// Appends the UTF-8 form of a code point.
void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Whether this process's user is in group `gid` (primary or supplementary).
bool InGroup(gid_t gid) {
  if (getegid() == gid) return true;
  // As many as the user has (NGROUPS_MAX is 65536 on Linux).
  std::vector<gid_t> groups(static_cast<size_t>(std::max(getgroups(0, nullptr), 0)));
  const int n = groups.empty() ? 0 : getgroups(static_cast<int>(groups.size()), groups.data());
  return std::find(groups.begin(), groups.begin() + std::max(n, 0), gid) != groups.begin() + std::max(n, 0);
}

std::string GroupName(gid_t gid) {
  const group* g = getgrgid(gid);
  return g ? std::string(g->gr_name) : std::to_string(gid);
}

std::string OwnerOf(const struct stat& st) {
  const passwd* p = getpwuid(st.st_uid);
  char mode[8];
  std::snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned>(st.st_mode & 07777));
  return (p ? std::string(p->pw_name) : std::to_string(st.st_uid)) + ":" + GroupName(st.st_gid) + " " + mode;
}

// What would let this user read and write a node that it cannot: joining the node's
// group when that group may read and write it, else `otherwise`.
std::string AccessFix(const std::string& path, const std::string& otherwise) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return otherwise;
  if ((st.st_mode & 0060) == 0060 && st.st_gid != 0 && !InGroup(st.st_gid)) {
    const std::string group = GroupName(st.st_gid);
    return "add " + UserName() + " to the group " + group + " (sudo usermod -aG " + group + " " + UserName() +
           ", then log in again)";
  }
  return otherwise;
}

// The system's reason for an error code: "Permission denied (os error 13)".
std::string Reason(int code) { return std::string(std::strerror(code)) + " (os error " + std::to_string(code) + ")"; }

// The signal the waiting thread takes, and the callback it runs.
void (*g_onInterrupt)(const char*) = nullptr;

void WaitForSignals(sigset_t set) {
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0) continue;
    g_onInterrupt(sig == SIGTERM ? "SIGTERM" : "SIGINT");
  }
}

}  // namespace

bool DecodeCommandLine(const std::string& text, std::u32string& out) {
  out.clear();
  for (size_t i = 0; i < text.size();) {
    const unsigned char b = static_cast<unsigned char>(text[i]);
    int extra = 0;
    char32_t c = 0;
    if (b < 0x80) {
      c = b;
    } else if ((b & 0xE0) == 0xC0 && b >= 0xC2) {
      extra = 1;
      c = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
      extra = 2;
      c = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0 && b <= 0xF4) {
      extra = 3;
      c = b & 0x07;
    } else {
      return false;
    }
    if (i + static_cast<size_t>(extra) >= text.size() && extra > 0) return false;  // cut short
    for (int k = 1; k <= extra; ++k) {
      const unsigned char cont = static_cast<unsigned char>(text[i + static_cast<size_t>(k)]);
      if ((cont & 0xC0) != 0x80) return false;
      c = (c << 6) | (cont & 0x3F);
    }
    // Overlong forms, surrogates and code points beyond Unicode are not UTF-8.
    if ((extra == 2 && c < 0x800) || (extra == 3 && (c < 0x10000 || c > 0x10FFFF)) || (c >= 0xD800 && c <= 0xDFFF)) {
      return false;
    }
    out += c;
    i += static_cast<size_t>(extra) + 1;
  }
  return true;
}

bool GbkOf(char32_t codePoint, std::string& out) {
  out.clear();
  if (codePoint < 0x80) {
    out += static_cast<char>(codePoint);
    return true;
  }
  // glibc's GBK is code page 936 (the euro sign as 0x80 included).
  static iconv_t cd = iconv_open("GBK", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::string in;
  AppendUtf8(in, codePoint);
  char buffer[8];
  char* from = &in[0];
  size_t fromLeft = in.size();
  char* to = buffer;
  size_t toLeft = sizeof(buffer);
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  if (iconv(cd, &from, &fromLeft, &to, &toLeft) == static_cast<size_t>(-1) || fromLeft != 0) return false;
  out.assign(buffer, sizeof(buffer) - toLeft);
  return true;
}

std::string PrintableOf(char32_t codePoint) {
  std::string out;
  AppendUtf8(out, codePoint);
  return out;
}

bool StderrIsTerminal() { return isatty(STDERR_FILENO) != 0; }

void WatchInterrupts(void (*onInterrupt)(const char* name)) {
  g_onInterrupt = onInterrupt;
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);  // inherited by every thread started later
  std::thread(WaitForSignals, set).detach();
}

std::string UserName() {
  const passwd* p = getpwuid(geteuid());
  return p ? std::string(p->pw_name) : std::to_string(geteuid());
}

NodeAccess CheckNodeAccess(const std::string& path) {
  NodeAccess a;
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) a.owner = OwnerOf(st);
  // Opened, not only asked (access() is no test for root, nor where a security module
  // decides at open); the node is closed again at once.
  for (const int mode : {O_RDONLY, O_WRONLY}) {
    const int fd = open(path.c_str(), mode | O_NONBLOCK | O_CLOEXEC);
    const int code = errno;
    if (fd >= 0) close(fd);
    (mode == O_RDONLY ? a.readable : a.writable) = fd >= 0;
    if (fd < 0 && a.reason.empty()) a.reason = Reason(code);
  }
  if (!a.readable || !a.writable) {
    a.fix = AccessFix(path, std::string("install the udev rule ") + kUdevRule +
                                " (cmake --install puts it under lib/udev/rules.d; copy it to /etc/udev/rules.d, "
                                "then run udevadm control --reload and udevadm trigger, and plug the terminal again)");
  }
  return a;
}

std::vector<SerialCandidate> SerialCandidates() {
  std::vector<SerialCandidate> out;
  // Ports that RV270_COMn names.
  static const char kPrefix[] = "RV270_COM";
  for (char** e = environ; e && *e; ++e) {
    if (std::strncmp(*e, kPrefix, sizeof(kPrefix) - 1) != 0) continue;
    const char* digits = *e + sizeof(kPrefix) - 1;
    char* end = nullptr;
    const long n = std::isdigit(static_cast<unsigned char>(*digits)) ? std::strtol(digits, &end, 10) : 0;
    if (n > 0 && n <= INT_MAX && *end == '=' && end[1] != '\0') {
      out.push_back(SerialCandidate{end + 1, static_cast<int>(n), kPrefix + std::to_string(n)});
    }
  }
  // The machine's serial devices. A ttyS node with no UART behind it (type 0) is left out.
  DIR* dir = opendir("/dev");
  std::vector<std::string> names;
  while (dir) {
    const dirent* e = readdir(dir);
    if (!e) break;
    const std::string name = e->d_name;
    if (name.rfind("ttyS", 0) == 0 || name.rfind("ttyUSB", 0) == 0 || name.rfind("ttyACM", 0) == 0) {
      names.push_back(name);
    }
  }
  if (dir) closedir(dir);
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    return a.size() != b.size() ? a.size() < b.size() : a < b;
  });
  for (const std::string& name : names) {
    int n = -1;
    if (std::sscanf(name.c_str(), "ttyS%d", &n) == 1) {
      FILE* type = std::fopen(("/sys/class/tty/" + name + "/type").c_str(), "r");
      int code = 0;
      const bool known = type && std::fscanf(type, "%d", &code) == 1;
      if (type) std::fclose(type);
      if (known && code == 0) continue;
    }
    const std::string path = "/dev/" + name;
    bool named = false;
    for (const SerialCandidate& c : out) named = named || c.path == path;
    if (named) continue;
    SerialCandidate c{path, 0, ""};
    if (n >= 0 && n < 255 && std::getenv(("RV270_COM" + std::to_string(n + 1)).c_str()) == nullptr) {
      c.port = n + 1;
      c.via = "/dev/ttyS<n-1>";
    }
    out.push_back(c);
  }
  return out;
}

std::string TcpConnectFailure(const std::string& host, uint16_t port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const int found = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
  if (found != 0) return std::string(gai_strerror(found));
  int code = 0;
  for (addrinfo* ai = list; ai; ai = ai->ai_next) {
    const int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol);
    if (fd < 0) {
      code = errno;
      continue;
    }
    code = connect(fd, ai->ai_addr, ai->ai_addrlen) == 0 ? 0 : errno;
    if (code == EINPROGRESS) {
      pollfd p{fd, POLLOUT, 0};
      socklen_t size = sizeof(code);
      if (poll(&p, 1, 1000) != 1 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &code, &size) != 0) code = ETIMEDOUT;
    }
    close(fd);
    if (code == 0) break;
  }
  freeaddrinfo(list);
  return code == 0 ? std::string() : Reason(code);
}

std::string SerialPathOrigin(int port) {
  const std::string name = "RV270_COM" + std::to_string(port);
  return std::getenv(name.c_str()) ? ", from " + name : ", as no " + name + " is set";
}

std::string TryOpenSerial(const std::string& path, std::string& fix) {
  fix.clear();
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0) {
    close(fd);
    return "";
  }
  const int code = errno;
  if (code == EACCES || code == EPERM) {
    fix = AccessFix(path, "ask for read and write access to " + path + " (serial ports usually belong to the group "
                              "dialout: sudo usermod -aG dialout " + UserName() + ")");
  }
  return Reason(code);
}

}  // namespace rv270cli
