// Host processor time of one exchange, and of a thread that waits 3 s for an answer,
// over USB (simulated HID transport) and a serial pseudo-terminal. The counters are the
// calling thread's own processor time (the simulator runs on threads of its own).
//
// Calls per second of a whole export (RV270Api_GetWorkingStatus) on either link, with
// the fixed pauses of the shipped library: the default 20 ms after each log line, and
// the log pause removed (RV270_LOG_PAUSE_MS=0); the 200 ms link pauses stay in both.
#include <benchmark/benchmark.h>
#include <time.h>

#include <cstdlib>
#include <string>

#include "QornRV270API.h"
#include "log/log.h"
#include "rv270sim/simulator.h"

namespace {

constexpr int kSerialPort = 7;

double ThreadCpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// One simulator for the whole run, with the library pointed at it.
rv270sim::Simulator& Sim() {
  static rv270sim::Simulator* sim = [] {
    auto* s = new rv270sim::Simulator();
    s->StartUsb();
    s->StartSerial();
    setenv("RV270_SIM", s->UsbAddress().c_str(), 1);
    setenv(("RV270_COM" + std::to_string(kSerialPort)).c_str(), s->SerialDevicePath().c_str(), 1);
    return s;
  }();
  return *sim;
}

int Status(int port, int timeoutMs) {
  unsigned char request[2] = {0x50, 0x01};
  unsigned char response[4096];
  int length = 0;
  return RV270Api_Communication(port, 0, request, response, 2, &length, timeoutMs);
}

void Exchange(benchmark::State& state, int port) {
  Sim();
  double cpu = 0;
  for (auto _ : state) {
    const double start = ThreadCpuMs();
    if (Status(port, 2000) != 0) state.SkipWithError("exchange failed");
    cpu += ThreadCpuMs() - start;
  }
  state.counters["thread_cpu_ms_per_exchange"] = cpu / static_cast<double>(state.iterations());
}

void WaitThreeSeconds(benchmark::State& state, int port) {
  Sim();
  double cpu = 0;
  for (auto _ : state) {
    Sim().ScriptNext(rv270sim::Answer::Status(0x00, 0x00, 3000));
    const double start = ThreadCpuMs();
    if (Status(port, 5000) != 0) state.SkipWithError("exchange failed");
    cpu += ThreadCpuMs() - start;
  }
  state.counters["thread_cpu_ms_per_3s_wait"] = cpu / static_cast<double>(state.iterations());
}

// state.range(0): the log pause in ms.
void Calls(benchmark::State& state, int port) {
  Sim();
  const uint32_t before = LogLinePauseMs();
  SetLogLinePauseMs(static_cast<uint32_t>(state.range(0)));
  for (auto _ : state) {
    if (RV270Api_GetWorkingStatus(port, 0) != 0) state.SkipWithError("call failed");
  }
  SetLogLinePauseMs(before);
  state.counters["calls_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                     benchmark::Counter::kIsRate);
}

void BM_CallsUsb(benchmark::State& state) { Calls(state, 0); }
void BM_CallsSerial(benchmark::State& state) { Calls(state, kSerialPort); }

void BM_ExchangeUsb(benchmark::State& state) { Exchange(state, 0); }
void BM_ExchangeSerial(benchmark::State& state) { Exchange(state, kSerialPort); }
void BM_Wait3sUsb(benchmark::State& state) { WaitThreeSeconds(state, 0); }
void BM_Wait3sSerial(benchmark::State& state) { WaitThreeSeconds(state, kSerialPort); }

BENCHMARK(BM_CallsUsb)->ArgName("log_pause_ms")->Arg(20)->Arg(0)->Iterations(8)->UseRealTime();
BENCHMARK(BM_CallsSerial)->ArgName("log_pause_ms")->Arg(20)->Arg(0)->Iterations(8)->UseRealTime();
BENCHMARK(BM_ExchangeUsb)->Unit(benchmark::kMillisecond)->Iterations(50)->UseRealTime();
BENCHMARK(BM_ExchangeSerial)->Unit(benchmark::kMillisecond)->Iterations(20)->UseRealTime();
BENCHMARK(BM_Wait3sUsb)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_Wait3sSerial)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

}  // namespace
