// rv270-sim: the terminal simulator as a program, for people developing without a
// terminal. It serves the USB side on 127.0.0.1 and, where it can, a serial port, and
// prints what the library needs to find them:
//   RV270_SIM=127.0.0.1:PORT   (environment of the program that loads the library)
//   SERIAL=/dev/pts/N          (Linux: put it in RV270_COMn to use port n)
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "rv270sim/host.h"
#include "rv270sim/simulator.h"

namespace {

std::atomic<bool> g_stop{false};

extern "C" void OnSignal(int) { g_stop = true; }

void Usage() {
  std::printf(
      "usage: rv270-sim [--port N] [--seconds N] [--info FILE] [--serial NAME | --no-serial] [--verbose]\n"
      "  --port N       TCP port of the USB side (default: any free port)\n"
      "  --seconds N    stop after N seconds (default: until SIGINT/SIGTERM)\n"
      "  --info FILE    also write RV270_SIM=... and SERIAL=... lines to FILE\n"
      "  --serial NAME  serial port to serve: a COM port on Windows (COM5), a tty path on\n"
      "                 Linux (default on Linux: a new pseudo-terminal)\n"
      "  --no-serial    serve the USB side only\n"
      "  --verbose      print every request as it arrives\n");
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
    } else if (arg == "--verbose") {
      verbose = true;
    } else {
      Usage();
      return arg == "--help" || arg == "-h" ? 0 : 2;
    }
  }

  rv270sim::Simulator sim;
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
  sim.Stop();
  return 0;
}
