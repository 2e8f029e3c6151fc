#include "link/device_search.h"

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "link/process_state.h"
#include "link/usbhid_link.h"
#include "log/log.h"
#include "platform/hid_device.h"

// The terminal models, in search order. The vendor id 10C4 entries are models built on
// a HID USB-to-UART bridge; EA80 is the bridge's public product id, EA81 to EA84 are the
// ids of the further bridge-based models.
const char* const kDeviceTable[kDeviceTableEntries] = {
    "VID_4B7E&PID_0001", "VID_10C4&PID_EA80", "VID_4B7E&PID_0006", "VID_10C4&PID_EA81",
    "VID_4B7E&PID_0002", "VID_4B7E&PID_0003", "VID_4B7E&PID_0004", "VID_4B7E&PID_0005",
    "VID_4B7E&PID_0006", "VID_4B7E&PID_0007", "VID_4B7E&PID_0008", "VID_4B7E&PID_0009",
    "VID_4B7E&PID_000A", "VID_4B7E&PID_000B", "VID_4B7E&PID_000C", "VID_4B7E&PID_000D",
    "VID_4B7E&PID_000E", "VID_10C4&PID_EA82", "VID_10C4&PID_EA83", "VID_10C4&PID_EA84",
};

namespace {
constexpr size_t kPropertyMax = 259;  // bytes of a class name or hardware id read
}

int EnumGwqDevice(char* out, size_t capacity) {
  char joined[1024] = {0};
  size_t used = 0;
  for (const char* entry : kDeviceTable) {
    const size_t n = strlen(entry);
    if (used + n >= sizeof(joined)) break;
    memcpy(joined + used, entry, n);
    used += n;
  }
  WriteLog('I', "RV270Api_GetPidVid pDeviceInfo:[%s]", joined);

  std::vector<platform::PresentDevice> devices;
  if (!platform::CurrentHidBackend().ListPresentDevices(devices)) return -1;
  for (const platform::PresentDevice& device : devices) {
    if (device.className.substr(0, kPropertyMax) != "HIDClass") continue;
    std::string id = device.hardwareId.substr(0, kPropertyMax);
    if (id.size() < 3 || id.compare(0, 3, "HID") != 0) continue;
    for (char& c : id) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    for (const char* entry : kDeviceTable) {
      if (id.find(entry) == std::string::npos) continue;
      const size_t n = strlen(entry);
      memcpy(out, entry, n < capacity ? n : capacity);
      return 0;
    }
  }
  return -2;
}

int SearchPidVid(char* pPid, char* pVid) {
  WriteLog('I', "****************RV270Api_GetPidVid start****************");
  char found[4096] = {0};
  const int ret = EnumGwqDevice(found, sizeof(found) - 1);
  WriteLog('I', "EnumGwqDevice ret:[%d],DeviceId:[%s]!", ret, found);
  if (ret == -1) {
    WriteLog('I', "search pidvid error!");
    WriteLog('I', "****************RV270Api_GetPidVid end****************");
    g_nLastError = 105;
    return -2;
  }
  if (ret == -2) {
    WriteLog('I', "no pidvid!");
    WriteLog('I', "****************RV270Api_GetPidVid end****************");
    return 0;
  }
  // "VID_xxxx&PID_xxxx": the vendor id at 4..7, the product id at 13..16.
  if (strncmp(found, "VID_", 4) == 0) {
    memcpy(pVid, found + 4, 4);
    if (strncmp(found + 9, "PID_", 4) == 0) memcpy(pPid, found + 13, 4);
  }
  WriteLog('I', "****************RV270Api_GetPidVid end****************");
  return 1;
}
