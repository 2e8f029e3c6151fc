// File transfers against the simulator held to its line rate (one 64-byte USB report per
// millisecond each way; 1024-byte serial packages at 115200 bit/s): the file bytes per
// second as a ratio to the line limit (USB 63,000 B/s: 63 file bytes per report; serial
// 11,520 B/s), the calling thread's processor time per MB, and the growth of the peak
// resident memory of the process (library and embedded simulator) during the transfer.
//
// Sizes: RV270_BENCH_USB_MB (default 1), RV270_BENCH_SERIAL_KB (default 256),
// RV270_BENCH_MEMORY_MB (default 0: skipped) for unpaced USB transfers that measure
// memory alone (uploads at most 16515071 bytes: their length field has 3 bytes). The fixed pauses of the test core (log lines, port closes, the pauses
// around a serial rate switch) are skipped, so the serial figures are the package phase.
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "QornRV270API.h"
#include "rv270sim/simulator.h"

namespace {

constexpr int kSerialPort = 7;
constexpr double kUsbLimit = 63000.0;
constexpr double kSerialLimit = 11520.0;

double ThreadCpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

double NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

long EnvNumber(const char* name, long fallback) {
  const char* v = getenv(name);
  return v && *v ? strtol(v, nullptr, 10) : fallback;
}

// Peak resident set of the process in kB; reset first with ResetPeak.
long PeakKb() {
  std::ifstream status("/proc/self/status");
  std::string key;
  long value = 0;
  while (status >> key) {
    if (key == "VmHWM:") {
      status >> value;
      return value;
    }
    status.ignore(4096, '\n');
  }
  return 0;
}

long ResidentKb() {
  std::ifstream status("/proc/self/status");
  std::string key;
  long value = 0;
  while (status >> key) {
    if (key == "VmRSS:") {
      status >> value;
      return value;
    }
    status.ignore(4096, '\n');
  }
  return 0;
}

void ResetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

rv270sim::Simulator& Sim() {
  static rv270sim::Simulator* sim = [] {
    setenv("RV270_TEST_SKIP_PAUSES", "1", 1);
    auto* s = new rv270sim::Simulator();
    s->StartUsb();
    s->StartSerial();
    setenv("RV270_SIM", s->UsbAddress().c_str(), 1);
    setenv(("RV270_COM" + std::to_string(kSerialPort)).c_str(), s->SerialDevicePath().c_str(), 1);
    return s;
  }();
  return *sim;
}

// A host file of `size` bytes, written in pieces (never held whole).
std::string HostFile(size_t size) {
  const std::string path = "/tmp/rv270_bench_" + std::to_string(size) + ".mp4";
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::vector<char> piece(1 << 16);
  for (size_t at = 0; at < size; at += piece.size()) {
    for (size_t i = 0; i < piece.size(); ++i) piece[i] = static_cast<char>((at + i) * 7 + 3);
    out.write(piece.data(), static_cast<std::streamsize>(std::min(piece.size(), size - at)));
  }
  return path;
}

struct Run {
  bool paced;
  int port;
  bool download;
  double limit;
};

void Transfer(benchmark::State& state, const Run& run, size_t size) {
  if (size == 0) {
    state.SkipWithError("size 0: skipped (set the size variable)");
    for (auto _ : state) {
    }
    return;
  }
  rv270sim::Simulator& sim = Sim();
  sim.SetLinePacing(run.paced);
  const std::string path = run.download ? HostFile(size) : std::string();
  if (!run.download) sim.PutPatternFile(2, "bench.mp4", size);
  const std::string save = "/tmp/rv270_bench_back.mp4";
  double wall = 0, cpu = 0;
  long growth = 0;
  for (auto _ : state) {
    ResetPeak();
    const long before = ResidentKb();
    const double t0 = NowMs(), c0 = ThreadCpuMs();
    const int rc = run.download ? RV270Api_SaveFileSingle(run.port, 0, 1, "bench.mp4", 2, path.c_str())
                                : RV270Api_UploadFilesToPc(run.port, 0, 0, save.c_str(), 2, "bench.mp4", 600,
                                                           nullptr, nullptr);
    wall += NowMs() - t0;
    cpu += ThreadCpuMs() - c0;
    growth = std::max(growth, PeakKb() - before);
    if (rc != 0) state.SkipWithError("transfer failed");
  }
  sim.SetLinePacing(false);
  const double mb = static_cast<double>(size) / 1048576.0;
  const double seconds = wall / 1000.0 / static_cast<double>(state.iterations());
  state.counters["ratio_to_line"] = static_cast<double>(size) / seconds / run.limit;
  state.counters["cpu_ms_per_MB"] = cpu / static_cast<double>(state.iterations()) / mb;
  state.counters["peak_rss_growth_MB"] = static_cast<double>(growth) / 1024.0;
  std::remove(save.c_str());
  if (!path.empty()) std::remove(path.c_str());
}

const size_t kUsbBytes = static_cast<size_t>(EnvNumber("RV270_BENCH_USB_MB", 1)) << 20;
const size_t kSerialBytes = static_cast<size_t>(EnvNumber("RV270_BENCH_SERIAL_KB", 256)) << 10;
const size_t kMemoryBytes = static_cast<size_t>(EnvNumber("RV270_BENCH_MEMORY_MB", 0)) << 20;

void BM_UsbDownloadPaced(benchmark::State& s) { Transfer(s, {true, 0, true, kUsbLimit}, kUsbBytes); }
void BM_UsbUploadPaced(benchmark::State& s) { Transfer(s, {true, 0, false, kUsbLimit}, kUsbBytes); }
void BM_SerialDownloadPaced(benchmark::State& s) { Transfer(s, {true, kSerialPort, true, kSerialLimit}, kSerialBytes); }
void BM_SerialUploadPaced(benchmark::State& s) { Transfer(s, {true, kSerialPort, false, kSerialLimit}, kSerialBytes); }
void BM_UsbDownloadMemory(benchmark::State& s) { Transfer(s, {false, 0, true, kUsbLimit}, kMemoryBytes); }
// The upload's transfer length travels in 3 bytes: at most 16777215 bytes of file and
// check bytes, a file of 16515071 bytes with 64-byte reports.
constexpr size_t kLargestUpload = 16515071;
void BM_UsbUploadMemory(benchmark::State& s) {
  Transfer(s, {false, 0, false, kUsbLimit}, std::min(kMemoryBytes, kLargestUpload));
}

}  // namespace

BENCHMARK(BM_UsbDownloadPaced)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_UsbUploadPaced)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_SerialDownloadPaced)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_SerialUploadPaced)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_UsbDownloadMemory)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_UsbUploadMemory)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);
