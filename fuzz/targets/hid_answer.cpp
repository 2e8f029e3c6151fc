// The USB exchange's answer side: the first report's length field, the continuation
// reports and the decoding into the caller's response, fed by a HID device that
// answers with the fuzzer's reports.
//
// Input: two bytes of input report length (report id byte included; the terminal's is
// 65), one byte choosing the caller's response room and the exchange (ordinary or the
// cancel exchange), then the input reports back to back (the last one zero padded).
// When the reports run out the device's read fails, as an unplugged device's does.
//
// The device reaches the library in place of the backend of the device search and the
// link: the program is linked with --wrap of platform::CurrentHidBackend.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "../support.h"
#include "link/process_state.h"
#include "link/usbhid_link.h"
#include "platform/hid_device.h"
#include "protocol/hid_exchange.h"

namespace {

struct Script {
  platform::HidCaps caps;
  std::vector<uint8_t> reports;
  size_t next = 0;
};
Script g_script;

class ScriptedDevice : public platform::HidDevice {
 public:
  bool SetFeature(const uint8_t*, size_t) override { return true; }
  bool GetFeature(uint8_t* report, size_t length) override {
    if (length > 1) memset(report + 1, 0, length - 1);
    return true;
  }
  bool WriteReport(const uint8_t*, size_t length) override {
    return length == static_cast<size_t>(g_script.caps.outputReportLength);
  }
  void FlushInput() override {}
  int WaitInputReport(uint8_t* out, size_t length, uint32_t) override {
    if (g_script.next >= g_script.reports.size()) return -1;
    memset(out, 0, length);
    const size_t n = std::min(length, g_script.reports.size() - g_script.next);
    memcpy(out, g_script.reports.data() + g_script.next, n);
    g_script.next += length;
    return 1;
  }
  void CancelRead() override {}
};

class ScriptedBackend : public platform::HidBackend {
 public:
  bool ListPresentDevices(std::vector<platform::PresentDevice>& out) override {
    out.push_back({"HIDClass", "HID\\VID_10C4&PID_EA80&REV_0100"});
    return true;
  }
  bool ListHidInterfaces(std::vector<platform::HidInterface>& out, size_t) override {
    platform::HidInterface iface;
    iface.path = "0";
    iface.attributesRead = true;
    iface.vendorId = kDefaultVid;
    iface.productId = kDefaultPid;
    iface.caps = g_script.caps;
    out.push_back(iface);
    return true;
  }
  std::unique_ptr<platform::HidDevice> Open(const platform::HidInterface&) override {
    return std::make_unique<ScriptedDevice>();
  }
};

// Room the caller gives for the answer payload.
constexpr size_t kRoom[] = {0, 1, 2, 3, 27, 28, 29, 64, 200, 1024, 4096, 65535, 100000};

}  // namespace

platform::HidBackend& ScriptedHidBackend() __asm__("__wrap__ZN8platform17CurrentHidBackendEv");
platform::HidBackend& ScriptedHidBackend() {
  static ScriptedBackend backend;
  return backend;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0x40000) return 0;
  rv270fuzz::InputReader input(data, size);
  const int reportLength = input.Word() % 1100;
  const uint8_t choice = input.Byte();
  g_script.caps.inputReportLength = reportLength;
  g_script.caps.outputReportLength = 65;
  g_script.caps.featureReportLength = 65;
  g_script.reports = input.Rest();
  g_script.next = 0;
  g_bKeepWaiting = 1;
  g_bPortOpen = 0;
  UsbDevice().Disconnect();

  const size_t room = kRoom[(choice & 0x7F) % (sizeof(kRoom) / sizeof(kRoom[0]))];
  // Exactly the room the caller gives: a write past it is caught by the sanitizer.
  std::unique_ptr<uint8_t[]> response(new uint8_t[room ? room : 1]);
  int responseLength = -1;
  const uint8_t request[2] = {0x50, 0x15};
  const int result = (choice & 0x80)
                         ? HidCommunicationCancel(request, 2, response.get(), room, &responseLength, 50)
                         : HidCommunication(request, 2, response.get(), room, &responseLength, 50);
  if (result == 0) RV270_FUZZ_CHECK(responseLength >= 0 && static_cast<size_t>(responseLength) <= room);
  RV270_FUZZ_CHECK(g_bPortOpen == 0);
  return 0;
}
