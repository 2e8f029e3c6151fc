// rv270-hidraw-terminal: runs a program against emulated terminals at the kernel's
// hidraw interface (see hidraw_terminal.h), bridged to a simulator's USB TCP transport.
//
//   rv270-hidraw-terminal [--sim 127.0.0.1:PORT] [--device IDS]... [--control PORT]
//                         [--preload PATH] -- COMMAND [ARG]...
//
// It builds a umockdev test bed with the devices (default: one terminal 4B7E:0001,
// simulator record 0), runs COMMAND with UMOCKDEV_DIR, LD_PRELOAD (this project's deny
// library, then umockdev's preload library) and RV270_HIDRAW_CONTROL set, waits for it
// and exits with its exit status (128 + signal when it was killed). Each open of a node
// connects to the simulator at its first read, write or feature report, so the
// simulator may start after this program (for example inside the program under test).
//
// IDS: VID:PID[:RECORD][:denied], hexadecimal ids, RECORD the simulator's device
// record index (default 0), "denied": opens of the node fail with EACCES.
//
// Control channel: a line protocol on a loopback TCP port (--control PORT, default 0:
// an ephemeral port; its address is in RV270_HIDRAW_CONTROL of the command, e.g.
// "127.0.0.1:40123"). One command a line, one answer line each, "ok ..." or
// "error TEXT":
//   list                      ok hidraw0=4B7E:0001 hidraw2=10C4:EA80 (present nodes)
//   plug IDS [SIM]             ok hidrawN  (a new node; numbers are never reused), bridged
//                             to the simulator at SIM (default: --sim)
//   unplug N|all              ok          (node hangs up, "remove" uevents, sysfs gone)
//   fail-read N ERRNO         ok          (the node's next read fails with ERRNO)
//   short-read N LENGTH       ok          (its next read returns LENGTH bytes)
//   quit                      ok          (closes this connection)
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <umockdev.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "devstack/hidraw_terminal.h"

#ifndef RV270_DEVSTACK_PRELOAD
#define RV270_DEVSTACK_PRELOAD ""
#endif

namespace {

const char kUsage[] =
    "usage: rv270-hidraw-terminal [--sim 127.0.0.1:PORT] [--device IDS]... [--control PORT]\n"
    "                             [--preload PATH] -- COMMAND [ARG]...\n"
    "\n"
    "Runs COMMAND against emulated RV270 terminals at the Linux hidraw interface (a umockdev\n"
    "test bed), whose reports go to a simulator's USB TCP transport at --sim.\n"
    "\n"
    "  --sim ADDR      the simulator, 127.0.0.1:PORT; each open of a node connects at its\n"
    "                  first read, write or feature report (the simulator may start later)\n"
    "  --device IDS   VID:PID[:RECORD][:denied] in hexadecimal; RECORD: the simulator's\n"
    "                  device record (default 0); denied: opens fail with EACCES.\n"
    "                  Repeatable, in node order; default one 4B7E:0001\n"
    "  --control PORT  loopback TCP port of the control channel (default 0: any free port)\n"
    "  --preload PATH  this project's deny library (default: the one built with this program)\n"
    "\n"
    "COMMAND runs with UMOCKDEV_DIR, LD_PRELOAD (deny library, libumockdev-preload.so.0)\n"
    "and RV270_HIDRAW_CONTROL=127.0.0.1:PORT. Exit status: COMMAND's (128 + signal if killed).\n"
    "\n"
    "Control channel, one command a line, one answer line each (\"ok ...\" or \"error TEXT\"):\n"
    "  list                 ok hidraw0=4B7E:0001 ...   the present nodes\n"
    "  plug IDS [SIM]        ok hidrawN                 a new node (numbers are not reused),\n"
    "                                                  bridged to SIM (default: --sim)\n"
    "  unplug N|all         ok                         hang-up, \"remove\" uevents, sysfs gone\n"
    "  fail-read N ERRNO    ok                         the node's next read fails with ERRNO\n"
    "  short-read N LENGTH  ok                         its next read returns LENGTH bytes\n"
    "  quit                 ok                         closes the connection\n";

bool ParseSpec(const std::string& text, const std::string& sim, rv270devstack::DeviceSpec& spec) {
  std::vector<std::string> parts;
  std::stringstream in(text);
  std::string part;
  while (std::getline(in, part, ':')) parts.push_back(part);
  if (parts.size() < 2 || parts.size() > 4) return false;
  char* end = nullptr;
  const unsigned long vid = std::strtoul(parts[0].c_str(), &end, 16);
  if (parts[0].empty() || *end || vid > 0xFFFF) return false;
  const unsigned long pid = std::strtoul(parts[1].c_str(), &end, 16);
  if (parts[1].empty() || *end || pid > 0xFFFF) return false;
  spec = rv270devstack::DeviceSpec();
  spec.vendorId = static_cast<uint16_t>(vid);
  spec.productId = static_cast<uint16_t>(pid);
  spec.simAddress = sim;
  for (size_t i = 2; i < parts.size(); ++i) {
    if (parts[i] == "denied") {
      spec.openable = false;
      continue;
    }
    const unsigned long record = std::strtoul(parts[i].c_str(), &end, 10);
    if (parts[i].empty() || *end || record > 255) return false;
    spec.recordIndex = static_cast<uint8_t>(record);
  }
  return true;
}

// Serves the control channel until the listening socket is closed.
class Control {
 public:
  Control(rv270devstack::TerminalBed& bed, std::string sim) : bed_(bed), sim_(std::move(sim)) {}

  bool Listen(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    const int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<uint16_t>(port));
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(at);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&at), sizeof(at)) != 0 || listen(fd_, 4) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&at), &len) != 0) {
      return false;
    }
    port_ = ntohs(at.sin_port);
    thread_ = std::thread([this] { Serve(); });
    return true;
  }

  int Port() const { return port_; }

  void Stop() {
    stopping_ = true;
    if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
    const int session = session_.load();
    if (session >= 0) shutdown(session, SHUT_RDWR);  // a client that keeps its connection
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  void Serve() {
    for (;;) {
      const int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) {
        if (errno == EINTR && !stopping_) continue;
        return;
      }
      session_ = c;
      if (!stopping_) Session(c);
      session_ = -1;
      close(c);
    }
  }

  void Session(int c) {
    std::string buffer;
    char chunk[512];
    for (;;) {
      const size_t eol = buffer.find('\n');
      if (eol == std::string::npos) {
        if (buffer.size() > 4096) return;
        const ssize_t n = recv(c, chunk, sizeof(chunk), 0);
        if (n <= 0) return;
        buffer.append(chunk, static_cast<size_t>(n));
        continue;
      }
      std::string line = buffer.substr(0, eol);
      buffer.erase(0, eol + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      bool quit = false;
      const std::string answer = Command(line, quit) + "\n";
      if (send(c, answer.data(), answer.size(), MSG_NOSIGNAL) < 0 || quit) return;
    }
  }

  std::string Command(const std::string& line, bool& quit) {
    std::stringstream in(line);
    std::string verb, a, b;
    in >> verb >> a >> b;
    if (verb == "list") {
      std::string out = "ok";
      char ids[16];
      for (int n : bed_.Present()) {
        const rv270devstack::DeviceSpec spec = bed_.Spec(n);
        std::snprintf(ids, sizeof(ids), "=%04X:%04X", spec.vendorId, spec.productId);
        out += " hidraw" + std::to_string(n) + ids;
      }
      return out;
    }
    if (verb == "plug") {
      rv270devstack::DeviceSpec spec;
      if (!ParseSpec(a, b.empty() ? sim_ : b, spec)) return "error bad device spec";
      const int n = bed_.Plug(spec);
      return n < 0 ? "error plug failed" : "ok hidraw" + std::to_string(n);
    }
    if (verb == "unplug") {
      if (a == "all") {
        bed_.UnplugAll();
        return "ok";
      }
      return bed_.Unplug(std::atoi(a.c_str())) ? "ok" : "error no such node";
    }
    if (verb == "fail-read" && !a.empty() && !b.empty()) {
      bed_.FailNextRead(std::atoi(a.c_str()), std::atoi(b.c_str()));
      return "ok";
    }
    if (verb == "short-read" && !a.empty() && !b.empty()) {
      bed_.ShortenNextRead(std::atoi(a.c_str()), static_cast<size_t>(std::atoi(b.c_str())));
      return "ok";
    }
    if (verb == "quit") {
      quit = true;
      return "ok";
    }
    return "error unknown command";
  }

  rv270devstack::TerminalBed& bed_;
  std::string sim_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<int> session_{-1};
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

std::atomic<pid_t> g_child{0};

void Forward(int sig) {
  const pid_t child = g_child.load();
  if (child > 0) kill(child, sig);
}

}  // namespace

int main(int argc, char** argv) {
  // The test bed sends its uevents through umockdev's preload library: run under it.
  if (!std::getenv("RV270_HIDRAW_OUTER_PRELOAD")) {
    const char* old = std::getenv("LD_PRELOAD");
    setenv("RV270_HIDRAW_OUTER_PRELOAD", old ? old : "", 1);
    const std::string preloads = std::string("libumockdev-preload.so.0") + (old && *old ? std::string(":") + old : "");
    setenv("LD_PRELOAD", preloads.c_str(), 1);
    execv("/proc/self/exe", argv);
    std::fprintf(stderr, "rv270-hidraw-terminal: cannot run under umockdev's preload library: %s\n",
                 std::strerror(errno));
    return 2;
  }
  std::string sim, preload = RV270_DEVSTACK_PRELOAD;
  std::vector<std::string> specs;
  int controlPort = 0;
  int i = 1;
  for (; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--") {
      ++i;
      break;
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--sim" && hasValue) {
      sim = argv[++i];
    } else if (arg == "--device" && hasValue) {
      specs.push_back(argv[++i]);
    } else if (arg == "--control" && hasValue) {
      controlPort = std::atoi(argv[++i]);
    } else if (arg == "--preload" && hasValue) {
      preload = argv[++i];
    } else {
      std::fprintf(stderr, "rv270-hidraw-terminal: unknown or incomplete option %s\n\n%s", arg.c_str(), kUsage);
      return 2;
    }
  }
  if (i >= argc) {
    std::fprintf(stderr, "rv270-hidraw-terminal: no command after --\n\n%s", kUsage);
    return 2;
  }
  if (specs.empty()) specs.push_back("4B7E:0001");

  rv270devstack::TerminalBed bed;
  for (const std::string& text : specs) {
    rv270devstack::DeviceSpec spec;
    if (!ParseSpec(text, sim, spec) || bed.Plug(spec) < 0) {
      std::fprintf(stderr, "rv270-hidraw-terminal: cannot add device %s\n", text.c_str());
      return 2;
    }
  }
  Control control(bed, sim);
  if (!control.Listen(controlPort)) {
    std::fprintf(stderr, "rv270-hidraw-terminal: cannot listen on control port %d\n", controlPort);
    return 2;
  }
  const std::string controlAddress = "127.0.0.1:" + std::to_string(control.Port());
  std::fprintf(stderr, "rv270-hidraw-terminal: test bed %s, control %s, simulator %s\n", bed.RootDir().c_str(),
               controlAddress.c_str(), sim.empty() ? "(none)" : sim.c_str());

  std::string preloads = preload.empty() ? "" : preload + ":";
  preloads += "libumockdev-preload.so.0";
  if (const char* old = std::getenv("RV270_HIDRAW_OUTER_PRELOAD")) {
    if (*old) preloads += std::string(":") + old;
  }

  signal(SIGINT, Forward);
  signal(SIGTERM, Forward);
  signal(SIGPIPE, SIG_IGN);
  const pid_t child = fork();
  if (child < 0) return 2;
  if (child == 0) {
    setenv("LD_PRELOAD", preloads.c_str(), 1);
    unsetenv("RV270_HIDRAW_OUTER_PRELOAD");
    setenv("RV270_HIDRAW_CONTROL", controlAddress.c_str(), 1);
    setenv("UMOCKDEV_DIR", bed.RootDir().c_str(), 1);
    execvp(argv[i], argv + i);
    std::fprintf(stderr, "rv270-hidraw-terminal: cannot run %s: %s\n", argv[i], std::strerror(errno));
    _exit(127);
  }
  g_child = child;
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  g_child = 0;
  control.Stop();
  bed.UnplugAll();
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 1;
}
