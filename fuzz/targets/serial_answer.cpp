// The serial exchange's receive path: the answer's header, its announced length, the
// byte-wise reads of the rest, the check byte and ETX, fed by a serial port that
// delivers the fuzzer's bytes as the terminal's answer.
//
// Input: one byte choosing the caller's response room and the exchange (checked
// answer or caller-framed request), then the bytes the terminal sends after the
// request. When they run out the port's wait breaks the read off at once (as a cancel
// does), so that a short answer costs no real timeout.
//
// The port reaches the library in place of the operating system's: the program is
// linked with --wrap of platform::OpenSerialPort.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "../support.h"
#include "link/process_state.h"
#include "link/serial_link.h"
#include "platform/serial_port.h"
#include "protocol/packet.h"
#include "protocol/serial_exchange.h"

namespace {

std::vector<uint8_t> g_answer;
size_t g_next = 0;

class ScriptedPort : public platform::SerialPort {
 public:
  int BytesWaiting() override { return static_cast<int>(g_answer.size() - g_next); }
  int ReadWaiting(uint8_t* out, size_t length) override {
    const size_t n = std::min(length, g_answer.size() - g_next);
    if (n) memcpy(out, g_answer.data() + g_next, n);
    g_next += n;
    return static_cast<int>(n);
  }
  bool WaitReadable(uint32_t) override {
    // Nothing more will come: end the wait now instead of after its timeout.
    g_bKeepWaiting = 0;
    return false;
  }
  bool Write(const uint8_t*, size_t) override { return true; }
  // The answer arrives after the request's write, which purges first: nothing to drop.
  void Purge() override {}
};

constexpr size_t kRoom[] = {0, 1, 2, 3, 64, 2043, 2044, 4096};

}  // namespace

std::unique_ptr<platform::SerialPort> ScriptedSerialPort(int, int) __asm__("__wrap__ZN8platform14OpenSerialPortEii");
std::unique_ptr<platform::SerialPort> ScriptedSerialPort(int, int) {
  return std::make_unique<ScriptedPort>();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0x10000) return 0;
  rv270fuzz::InputReader input(data, size);
  const uint8_t choice = input.Byte();
  g_answer = input.Rest();
  g_next = 0;
  g_bKeepWaiting = 1;

  const size_t room = kRoom[(choice & 0x7F) % (sizeof(kRoom) / sizeof(kRoom[0]))];
  std::unique_ptr<uint8_t[]> response(new uint8_t[room ? room : 1]);
  int responseLength = -1;
  int status = -1;
  RV270_FUZZ_CHECK(OpenSerialLink(7, 9600, 0) == 0);
  const uint8_t request[2] = {0x50, 0x15};
  int result;
  if (choice & 0x80) {
    uint8_t packet[12] = {0};
    const int length = EncodePacket(request, 2, packet);
    result = CommduFramed(packet, length, response.get(), room, &responseLength, &status);
  } else {
    result = ICCombo_Commdu(request, 2, 50, response.get(), room, &responseLength, &status);
  }
  CloseSerialLink();
  if (result == 0) {
    RV270_FUZZ_CHECK(responseLength >= 0 && static_cast<size_t>(responseLength) <= room);
    RV270_FUZZ_CHECK(g_next <= g_answer.size());
  }
  g_bKeepWaiting = 1;
  return 0;
}
