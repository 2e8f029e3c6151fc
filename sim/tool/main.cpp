// rv270-sim: the terminal simulator as a program, for people developing without a
// terminal. It serves the USB side on 127.0.0.1 and, where it can, a serial port, and
// prints what the library needs to find them:
//   RV270_SIM=127.0.0.1:PORT   (environment of the program that loads the library)
//   SERIAL=/dev/pts/N          (Linux: put it in RV270_COMn to use port n)
//   HTTP=http://127.0.0.1:PORT/ (with --http: the screen view)
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "rv270sim/host.h"
#include "rv270sim/http_view.h"
#include "rv270sim/simulator.h"

namespace {

std::atomic<bool> g_stop{false};

extern "C" void OnSignal(int) { g_stop = true; }

void Usage(FILE* to) {
  std::fprintf(to,
      "usage: rv270-sim [--port N] [--seconds N] [--info FILE] [--serial NAME | --no-serial] [--verbose]\n"
      "                 [--http PORT] [--customer scripted|browser] [--customer-delay MS]\n"
      "                 [--signature FILE] [--help]\n"
      "  --port N       TCP port of the USB side (default: any free port)\n"
      "  --seconds N    stop after N seconds (default: until SIGINT/SIGTERM)\n"
      "  --info FILE    also write RV270_SIM=... and SERIAL=... lines to FILE\n"
      "  --serial NAME  serial port to serve: a COM port on Windows (COM5), a tty path on\n"
      "                 Linux (default on Linux: a new pseudo-terminal)\n"
      "  --no-serial    serve the USB side only\n"
      "  --verbose      print every request as it arrives\n"
      "  --http PORT    serve the screen view on http://127.0.0.1:PORT/ (0: any free port)\n"
      "  --customer scripted|browser\n"
      "                 who answers at the waiting screens: the scripted customer (default),\n"
      "                 or a person at the screen view's page (needs --http)\n"
      "  --customer-delay MS  time the scripted customer takes at a waiting screen or an entry\n"
      "  --signature FILE     store FILE as the customer's signature image (UserSign.png)\n"
      "  --help         print this and exit\n");
}

// The options that take a value.
constexpr const char* kValueOptions[] = {"--port",           "--seconds",   "--info",    "--serial", "--http",
                                         "--customer-delay", "--signature", "--customer"};

bool IsOption(const std::string& arg) {
  for (const char* option : kValueOptions) {
    if (arg == option) return true;
  }
  return false;
}

bool ParseNumber(const char* text, long min, long max, long& out) {
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (!text[0] || *end != '\0' || v < min || v > max) return false;
  out = v;
  return true;
}

std::string Hex(const rv270sim::Bytes& bytes) {
  std::string out;
  char two[4];
  for (uint8_t b : bytes) {
    std::snprintf(two, sizeof(two), "%02X ", b);
    out += two;
  }
  if (!out.empty()) out.pop_back();
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  long port = 0;
  long seconds = -1;
  std::string infoFile;
  std::string serialName;
  bool serial = true;
  bool verbose = false;
  long httpPort = -1;
  long customerDelay = -1;
  std::string signatureFile;
  bool browserCustomer = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--port" && hasValue && ParseNumber(argv[i + 1], 0, 65535, port)) {
      ++i;
    } else if (arg == "--seconds" && hasValue && ParseNumber(argv[i + 1], 0, 100000000, seconds)) {
      ++i;
    } else if (arg == "--info" && hasValue) {
      infoFile = argv[++i];
    } else if (arg == "--serial" && hasValue) {
      serialName = argv[++i];
    } else if (arg == "--no-serial") {
      serial = false;
    } else if (arg == "--http" && hasValue && ParseNumber(argv[i + 1], 0, 65535, httpPort)) {
      ++i;
    } else if (arg == "--customer-delay" && hasValue && ParseNumber(argv[i + 1], 0, 86400000, customerDelay)) {
      ++i;
    } else if (arg == "--signature" && hasValue) {
      signatureFile = argv[++i];
    } else if (arg == "--customer" && hasValue &&
               (std::strcmp(argv[i + 1], "scripted") == 0 || std::strcmp(argv[i + 1], "browser") == 0)) {
      browserCustomer = std::strcmp(argv[++i], "browser") == 0;
    } else if (arg == "--verbose") {
      verbose = true;
    } else if (arg == "--help" || arg == "-h") {
      Usage(stdout);
      return 0;
    } else {
      // Name what was wrong: an unknown option, a missing value, or a value out of range.
      if (!IsOption(arg)) {
        std::fprintf(stderr, "rv270-sim: unknown option '%s'\n", arg.c_str());
      } else if (!hasValue) {
        std::fprintf(stderr, "rv270-sim: option '%s' needs a value\n", arg.c_str());
      } else {
        std::fprintf(stderr, "rv270-sim: bad value '%s' for option '%s'\n", argv[i + 1], arg.c_str());
      }
      std::fprintf(stderr, "run 'rv270-sim --help' for the options\n");
      return 2;
    }
  }

  if (browserCustomer && httpPort < 0) {
    std::fprintf(stderr, "rv270-sim: --customer browser needs --http PORT (the page is where the customer answers)\n");
    return 2;
  }

  rv270sim::Simulator sim;
  sim.SetBrowserCustomer(browserCustomer);
  if (customerDelay >= 0) {
    sim.EditState([customerDelay](rv270sim::DeviceState& s) { s.customerDelayMs = static_cast<int>(customerDelay); });
  }
  if (!signatureFile.empty()) {
    std::ifstream in(signatureFile, std::ios::binary);
    if (!in.is_open()) {
      std::fprintf(stderr, "rv270-sim: cannot read %s\n", signatureFile.c_str());
      return 1;
    }
    const rv270sim::Bytes image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    sim.PutFile(9, "UserSign.png", image);
  }
  if (!sim.StartUsb(static_cast<uint16_t>(port))) {
    std::fprintf(stderr, "rv270-sim: cannot serve the USB side: %s\n", sim.LastError().c_str());
    return 1;
  }
  std::string info = "RV270_SIM=" + sim.UsbAddress() + "\n";
  // Without a port name, only a pseudo-terminal can be made here (not on Windows).
  if (serial && (!serialName.empty() || rv270sim::UsesPseudoTerminals())) {
    sim.SetSerialPortName(serialName);
    if (sim.StartSerial()) {
      info += "SERIAL=" + sim.SerialDevicePath() + "\n";
    } else {
      std::fprintf(stderr, "rv270-sim: no serial side: %s\n", sim.LastError().c_str());
    }
  }
  // Declared after the simulator: it stops first.
  rv270sim::HttpView view(sim);
  if (httpPort >= 0) {
    std::string error;
    if (!view.Start(static_cast<uint16_t>(httpPort), error)) {
      std::fprintf(stderr, "rv270-sim: cannot serve the screen view: %s\n", error.c_str());
      return 1;
    }
    info += "HTTP=http://127.0.0.1:" + std::to_string(view.Port()) + "/\n";
  }
  std::fputs(info.c_str(), stdout);
  std::fflush(stdout);
  if (!infoFile.empty()) {
    FILE* f = std::fopen(infoFile.c_str(), "wb");
    if (!f || std::fputs(info.c_str(), f) < 0 || std::fclose(f) != 0) {
      std::fprintf(stderr, "rv270-sim: cannot write %s\n", infoFile.c_str());
      return 1;
    }
  }

  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds < 0 ? 0 : seconds);
  size_t shown = 0;
  while (!g_stop && (seconds < 0 || std::chrono::steady_clock::now() < end)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (!verbose) continue;
    const std::vector<rv270sim::RequestRecord> requests = sim.Requests();
    for (; shown < requests.size(); ++shown) {
      std::printf("request %s: %s\n", rv270sim::LinkName(requests[shown].link), Hex(requests[shown].payload).c_str());
    }
    std::fflush(stdout);
  }
  view.Stop();
  sim.Stop();
  return 0;
}
