#include "winhid/winhid_bed.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <winternl.h>
#include <setupapi.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <thread>
#include <vector>

extern "C" {
#include <hidsdi.h>

// Exported by ntdll; not declared by the toolchain's headers.
NTSTATUS NTAPI NtOpenDirectoryObject(PHANDLE directory, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes);
NTSTATUS NTAPI NtQueryDirectoryObject(HANDLE directory, PVOID buffer, ULONG length, BOOLEAN singleEntry,
                                      BOOLEAN restart, PULONG context, PULONG returned);
}

#include "rv270sim/host.h"

namespace rv270winhid {
namespace {

// The system's handle list (SystemHandleInformation) as ntdll hands it out.
struct HandleEntry {
  ULONG processId;
  BYTE objectType;
  BYTE flags;
  USHORT handle;
  PVOID object;
  ACCESS_MASK access;
};
struct HandleList {
  ULONG count;
  HandleEntry entries[1];
};
constexpr int kSystemHandleInformation = 16;
constexpr int kObjectNameInformation = 1;
constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
constexpr ACCESS_MASK kDirectoryQuery = 0x0001;

// An entry of an object directory as NtQueryDirectoryObject hands it out.
struct DirectoryEntry {
  UNICODE_STRING name;
  UNICODE_STRING typeName;
};

class Socket {
 public:
  Socket() {
    WSADATA data;
    started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    if (started_) s_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  }
  ~Socket() {
    if (s_ != INVALID_SOCKET) closesocket(s_);
    if (started_) WSACleanup();
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  SOCKET Get() const { return s_; }

 private:
  bool started_ = false;
  SOCKET s_ = INVALID_SOCKET;
};

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

std::string BedCommand(const std::string& line) {
  const std::string address = rv270sim::ProcessEnv("RV270_HIDRAW_CONTROL");
  const size_t colon = address.rfind(':');
  if (colon == std::string::npos) return "error RV270_HIDRAW_CONTROL is not set";
  Socket s;
  if (s.Get() == INVALID_SOCKET) return "error no socket";
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(static_cast<u_short>(std::atoi(address.c_str() + colon + 1)));
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s.Get(), reinterpret_cast<sockaddr*>(&at), sizeof(at)) != 0) return "error cannot connect";
  const std::string out = line + "\n";
  if (send(s.Get(), out.data(), static_cast<int>(out.size()), 0) != static_cast<int>(out.size())) {
    return "error cannot send";
  }
  std::string answer;
  char c = 0;
  while (answer.size() < 4096 && recv(s.Get(), &c, 1, 0) == 1 && c != '\n') answer += c;
  return answer;
}

int PlugTerminal(unsigned vid, unsigned pid, int record, const std::string& simAddress, bool denied) {
  char spec[64];
  std::snprintf(spec, sizeof(spec), "%04X:%04X:%d%s", vid, pid, record, denied ? ":denied" : "");
  const std::string answer = BedCommand(std::string("plug ") + spec + " " + simAddress);
  const std::string prefix = "ok hidraw";
  if (answer.compare(0, prefix.size(), prefix) != 0) return -1;
  return std::atoi(answer.c_str() + prefix.size());
}

bool UnplugTerminal(int node) { return BedCommand("unplug " + std::to_string(node)) == "ok"; }

// Wine's bus driver takes a removed device out of its device list twice: when the removal
// is reported and again when the device's removal request arrives. The second time links
// the device's old neighbour back in if that neighbour went in between, and it then stays
// listed for ever. Two terminals unplugged together can meet that (seen on loaded
// machines), so they go one at a time, each once Wine has finished with the one before:
// its HID interface is gone and so is the bus driver's device object.
bool UnplugAllTerminals() {
  const std::string listed = BedCommand("list");
  if (listed.compare(0, 2, "ok") != 0) return false;
  std::istringstream in(listed.substr(2));
  std::string entry;
  while (in >> entry) {
    // hidrawN=VVVV:PPPP
    const size_t equals = entry.find('=');
    if (entry.compare(0, 6, "hidraw") != 0 || equals == std::string::npos || entry.size() != equals + 10) return false;
    const int node = std::atoi(entry.c_str() + 6);
    const std::string id = "VID_" + entry.substr(equals + 1, 4) + "&PID_" + entry.substr(equals + 6, 4);
    const auto countOf = [&id] {
      const std::vector<std::string> ids = PresentHidIds();
      return std::count(ids.begin(), ids.end(), id);
    };
    const auto interfaces = countOf();
    const int objects = BusDeviceObjects();
    if (!UnplugTerminal(node)) return false;
    if (interfaces == 0) continue;  // never a HID device (a node Wine could not open)
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while ((countOf() >= interfaces || (objects > 0 && BusDeviceObjects() >= objects)) &&
           std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  return true;
}

int BusDeviceObjects() {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"\\Device");
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, 0, nullptr, nullptr);
  HANDLE directory = nullptr;
  if (NtOpenDirectoryObject(&directory, kDirectoryQuery, &attributes) != 0) return -1;
  static const wchar_t kBus[] = L"WINEBUS#";
  const size_t prefix = sizeof(kBus) / sizeof(wchar_t) - 1;
  int count = 0;
  ULONG context = 0;
  for (BOOLEAN restart = TRUE;; restart = FALSE) {
    alignas(8) uint8_t buffer[2048];
    ULONG length = 0;
    if (NtQueryDirectoryObject(directory, buffer, sizeof(buffer), TRUE, restart, &context, &length) != 0) break;
    const auto* entry = reinterpret_cast<const DirectoryEntry*>(buffer);
    if (entry->name.Buffer && entry->name.Length / sizeof(wchar_t) >= prefix &&
        std::wcsncmp(entry->name.Buffer, kBus, prefix) == 0) {
      ++count;
    }
  }
  NtClose(directory);
  return count;
}

std::vector<std::string> PresentHidIds() {
  std::vector<std::string> ids;
  GUID hid;
  HidD_GetHidGuid(&hid);
  HDEVINFO set = SetupDiGetClassDevsA(&hid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return ids;
  for (DWORD index = 0;; ++index) {
    SP_DEVICE_INTERFACE_DATA data;
    std::memset(&data, 0, sizeof(data));
    data.cbSize = sizeof(data);
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &hid, index, &data)) break;
    std::vector<char> storage(2048, 0);
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(storage.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!SetupDiGetDeviceInterfaceDetailA(set, &data, detail, static_cast<DWORD>(storage.size()), nullptr, nullptr)) {
      continue;
    }
    // \\?\hid#vid_4b7e&pid_0001&mi_00#...
    const std::string path = Upper(detail->DevicePath);
    const size_t at = path.find("VID_");
    if (at == std::string::npos || path.size() < at + 17) continue;
    const std::string id = path.substr(at, 17);
    if (id.compare(0, 8, "VID_845E") != 0) ids.push_back(id);
  }
  SetupDiDestroyDeviceInfoList(set);
  return ids;
}

bool WaitForHidIds(std::vector<std::string> ids, int timeoutMs, std::string* present) {
  std::sort(ids.begin(), ids.end());
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    std::vector<std::string> now = PresentHidIds();
    std::sort(now.begin(), now.end());
    if (now == ids) return true;
    if (std::chrono::steady_clock::now() > end) {
      if (present) {
        present->clear();
        for (const std::string& id : now) *present += (present->empty() ? "" : " ") + id;
      }
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

int ForgetUnpluggedTerminals() {
  HDEVINFO set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
  if (set == INVALID_HANDLE_VALUE) return -1;
  int removed = 0;
  for (DWORD index = 0;;) {
    SP_DEVINFO_DATA device;
    std::memset(&device, 0, sizeof(device));
    device.cbSize = sizeof(device);
    if (!SetupDiEnumDeviceInfo(set, index, &device)) break;
    char id[512] = {0};
    SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, nullptr, reinterpret_cast<PBYTE>(id),
                                      sizeof(id) - 2, nullptr);
    const std::string hardwareId = Upper(id);
    const bool terminal = (hardwareId.compare(0, 4, "HID\\") == 0 || hardwareId.compare(0, 8, "WINEBUS\\") == 0) &&
                          hardwareId.find("VID_845E") == std::string::npos;
    if (terminal && SetupDiRemoveDevice(set, &device)) {
      ++removed;  // the list closes up: the same index names the next device
    } else {
      ++index;
    }
  }
  SetupDiDestroyDeviceInfoList(set);
  return removed;
}

int OpenHidHandles() {
  std::vector<uint8_t> buffer(1 << 20);
  ULONG got = 0;
  LONG status = 0;
  while ((status = NtQuerySystemInformation(static_cast<SYSTEM_INFORMATION_CLASS>(kSystemHandleInformation),
                                            buffer.data(), static_cast<ULONG>(buffer.size()), &got)) ==
             kInfoLengthMismatch &&
         buffer.size() < (64u << 20)) {
    buffer.resize(buffer.size() * 2);
  }
  if (status != 0) return -1;
  const auto* list = reinterpret_cast<const HandleList*>(buffer.data());
  const size_t fit = (buffer.size() - offsetof(HandleList, entries)) / sizeof(HandleEntry);
  const size_t count = std::min<size_t>(list->count, fit);
  int open = 0;
  for (size_t i = 0; i < count; ++i) {
    const HandleEntry& e = list->entries[i];
    if (e.processId != GetCurrentProcessId()) continue;
    alignas(8) uint8_t name[2048];
    ULONG length = 0;
    HANDLE h = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(e.handle));
    if (NtQueryObject(h, static_cast<OBJECT_INFORMATION_CLASS>(kObjectNameInformation), name, sizeof(name),
                      &length) != 0) {
      continue;
    }
    const auto* text = reinterpret_cast<const UNICODE_STRING*>(name);
    static const wchar_t kHid[] = L"\\Device\\HID";
    const size_t prefix = sizeof(kHid) / sizeof(wchar_t) - 1;
    if (text->Buffer && text->Length / sizeof(wchar_t) >= prefix && std::wcsncmp(text->Buffer, kHid, prefix) == 0) {
      ++open;
    }
  }
  return open;
}

}  // namespace rv270winhid
