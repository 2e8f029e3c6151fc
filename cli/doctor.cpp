#include "doctor.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "QornRV270API.h"
#include "api/frame.h"
#include "link/device_search.h"
#include "protocol/exchange.h"
#include "platform/env.h"
#include "platform/fs.h"
#include "platform/hid_device.h"
#include "platform/module.h"
#include "platform/os_error.h"
#include "platform/serial_port.h"
#include "platform/socket.h"
#include "system.h"

namespace rv270cli {

namespace {

// The library's search looks at this many HID interfaces; doctor shows a few more.
constexpr size_t kInterfacesShown = 64;

// One id pair of the device table, with its entry number (1 to 20).
struct TableId {
  uint16_t vendor;
  uint16_t product;
  int entry;
};

std::vector<TableId> DeviceTableIds() {
  std::vector<TableId> ids;
  for (size_t i = 0; i < kDeviceTableEntries; ++i) {
    unsigned vendor = 0, product = 0;
    if (kDeviceTable[i] && std::sscanf(kDeviceTable[i], "VID_%4x&PID_%4x", &vendor, &product) == 2) {
      ids.push_back(TableId{static_cast<uint16_t>(vendor), static_cast<uint16_t>(product), static_cast<int>(i + 1)});
    }
  }
  return ids;
}

// The first table entry with these ids, 0 when none.
int TableEntry(const std::vector<TableId>& table, uint16_t vendor, uint16_t product) {
  for (const TableId& t : table) {
    if (t.vendor == vendor && t.product == product) return t.entry;
  }
  return 0;
}

std::string IdText(uint16_t vendor, uint16_t product) {
  char text[16];
  std::snprintf(text, sizeof(text), "%04X:%04X", vendor, product);
  return text;
}

// The table's distinct id pairs, "4B7E:0001, 10C4:EA80, ...".
std::string TableText(const std::vector<TableId>& table) {
  std::string text;
  std::vector<std::string> seen;
  for (const TableId& t : table) {
    const std::string id = IdText(t.vendor, t.product);
    bool again = false;
    for (const std::string& s : seen) again = again || s == id;
    if (again) continue;
    seen.push_back(id);
    text += (text.empty() ? "" : ", ") + id;
  }
  return text;
}

// The system's reason for the calling thread's latest device failure ("" when none).
std::string OsReason() {
  const int code = platform::TakeOsError();
  if (code == 0) return "";
  return platform::OsErrorText(code) + " (os error " + std::to_string(code) + ")";
}

std::string SimAddress() { return platform::GetEnv("RV270_SIM"); }

std::string UsbWhere() {
  const std::string sim = SimAddress();
  return sim.empty() ? std::string("the HID devices of this machine")
                     : "the simulator at " + sim + " (RV270_SIM)";
}

// How the library's serial port `port` is reached: "serial port 7 (/dev/pts/5, from RV270_COM7)".
std::string SerialWhere(int port) {
  const std::string path = platform::SerialDeviceName(port);
  return "serial port " + std::to_string(port) + " (" + path + SerialPathOrigin(port) + ")";
}

struct UsbScan {
  bool listed = false;
  std::string listFailure;
  std::vector<platform::HidInterface> interfaces;
};

UsbScan ScanUsb() {
  UsbScan scan;
  platform::ClearOsError();
  scan.listed = platform::CurrentHidBackend().ListHidInterfaces(scan.interfaces, kInterfacesShown);
  if (!scan.listed) {
    scan.listFailure = OsReason();
    std::string host;
    uint16_t port = 0;
    const std::string sim = SimAddress();
    if (scan.listFailure.empty() && !sim.empty()) {
      scan.listFailure = platform::SplitHostPort(sim, host, port) ? TcpConnectFailure(host, port)
                                                                   : "RV270_SIM is not HOST:PORT";
    }
    if (scan.listFailure.empty()) scan.listFailure = "the device list cannot be obtained";
  }
  return scan;
}

std::string FoundIds(const UsbScan& scan) {
  std::string text;
  for (const auto& iface : scan.interfaces) {
    if (!iface.attributesRead) continue;
    text += (text.empty() ? "" : ", ") + IdText(iface.vendorId, iface.productId);
  }
  return text.empty() ? std::string("none") : text;
}

// The library's version, from its version history ("1.0.0.3 of 2026-12-10").
std::string HistoryVersion() {
  std::string history;
  platform::ModuleHistoryText(history);
  std::vector<char> text(history.size() + 1, '\0');
  RV270Api_GetVersionDetail(text.data());
  const std::string detail(text.data());
  // The newest entry comes first: "2026-12-10  1.0.0.3".
  for (size_t at = 0; at < detail.size();) {
    const size_t end = detail.find('\n', at);
    const std::string line = detail.substr(at, end == std::string::npos ? std::string::npos : end - at);
    char date[16] = {0};
    char version[32] = {0};
    if (std::sscanf(line.c_str(), "%15[0-9-] %31[0-9.]", date, version) == 2 && std::string(date).size() == 10) {
      return std::string(version) + " of " + date;
    }
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return "unknown";
}

// ---- The checks of doctor ------------------------------------------------------------------

std::vector<Member> Record(std::initializer_list<Member> members) { return std::vector<Member>(members); }

// The devices of the device table that the library can see, each with its access.
bool CheckDevices(Report& r, const std::vector<TableId>& table) {
  const UsbScan scan = ScanUsb();
  r.Add("usb", Value::Text("looked at " + UsbWhere()));
  r.Add("deviceTable", Value::Text(TableText(table)), true);
  if (!scan.listed) {
    r.Add("devices", Value::Text("the device list cannot be obtained: " + scan.listFailure));
    return false;
  }
  const bool simulated = !SimAddress().empty();
  std::vector<std::vector<Member>> devices;
  std::vector<std::string> others;
  bool allUsable = true;
  for (const auto& iface : scan.interfaces) {
    const std::string id = iface.attributesRead ? IdText(iface.vendorId, iface.productId) : "ids unreadable";
    const int entry = iface.attributesRead ? TableEntry(table, iface.vendorId, iface.productId) : 0;
    if (entry == 0) {
      others.push_back((simulated ? "device " + iface.path : iface.path) + " " + id);
      continue;
    }
    std::string where = simulated ? "simulated device " + iface.path : iface.path;
    if (simulated) {
      devices.push_back(Record({{"summary", Value::Text(where + " " + id + " (table entry " + std::to_string(entry) +
                                                      "): served by the simulator")},
                                {"path", Value::Text(iface.path)},
                                {"id", Value::Text(id)},
                                {"entry", Value::Number(entry)},
                                {"usable", Value::Flag(true)}}));
      continue;
    }
    const NodeAccess access = CheckNodeAccess(iface.path);
    const bool usable = access.readable && access.writable;
    allUsable = allUsable && usable;
    std::string summary = where + " " + id + " (table entry " + std::to_string(entry) + "): ";
    if (usable) {
      summary += "readable and writable by " + UserName();
    } else {
      summary += std::string(access.readable ? "readable but not writable" : "cannot be opened") + " by " +
                 UserName() + (access.owner.empty() ? "" : " (" + access.owner + ")") + ": " + access.reason +
                 "; fix: " + access.fix;
    }
    devices.push_back(Record({{"summary", Value::Text(summary)},
                              {"path", Value::Text(iface.path)},
                              {"id", Value::Text(id)},
                              {"entry", Value::Number(entry)},
                              {"readable", Value::Flag(access.readable)},
                              {"writable", Value::Flag(access.writable)},
                              {"owner", Value::Text(access.owner)},
                              {"reason", Value::Text(access.reason)},
                              {"fix", Value::Text(access.fix)},
                              {"usable", Value::Flag(usable)}}));
  }
  if (devices.empty()) {
    r.Add("devices", Value::Text("no device of the device table is present (HID devices found: " + FoundIds(scan) +
                                 ")"));
  } else {
    r.Add("devices", Value::Records(devices));
  }
  r.Add("otherHidDevices", Value::List(others), true);
  return allUsable;
}

void CheckSerialPorts(Report& r) {
  std::vector<std::vector<Member>> ports;
  for (const SerialCandidate& c : SerialCandidates()) {
    std::string fix;
    const std::string failure = TryOpenSerial(c.path, fix);
    std::string summary = c.path;
    if (c.port > 0) {
      summary += " is serial port " + std::to_string(c.port) + (c.via.empty() ? "" : " (" + c.via + ")");
    } else {
      summary += " has no port number (set RV270_COMn=" + c.path + " to use it as port n)";
    }
    summary += failure.empty() ? ": opens" : ": cannot be opened: " + failure + (fix.empty() ? "" : "; fix: " + fix);
    ports.push_back(Record({{"summary", Value::Text(summary)},
                            {"path", Value::Text(c.path)},
                            {"port", Value::Number(c.port)},
                            {"opens", Value::Flag(failure.empty())},
                            {"reason", Value::Text(failure)},
                            {"fix", Value::Text(fix)}}));
  }
  if (ports.empty()) {
    r.Add("serialPorts", Value::Text("none found"));
  } else {
    r.Add("serialPorts", Value::Records(ports));
  }
}

// Whether a file can be made in the log folder (the library makes the folder first).
void CheckLogFolder(Report& r) {
  char path[600] = {0};
  RV270Api_GetLogPath(path);
  const char sep = platform::PathSeparator();
  const std::string folder = platform::ModuleFolder() + sep + "LogOfRV270";
  const std::string probe = folder + sep + "rv270-doctor-check.tmp";
  FILE* f = std::fopen(probe.c_str(), "ab");
  const bool writable = f != nullptr;
  std::string reason;
  if (f) {
    std::fclose(f);
    platform::RemoveFile(probe);
  } else {
    const int code = platform::LastOsError();
    reason = platform::OsErrorText(code) + " (os error " + std::to_string(code) + ")";
  }
  const std::string said = writable ? ": writable"
                                    : ": not writable: " + reason + "; fix: let " + UserName() +
                                          " write there, the library logs nowhere else";
  r.Add("logFolder", Value::Text(folder + said));
  r.Add("logFile", Value::Text(path), true);
  r.Add("logWritable", Value::Flag(writable), true);
}

}  // namespace

std::string LibraryVersion() { return HistoryVersion(); }

LinkTrouble ExplainLink(int port) {
  LinkTrouble t;
  if (!IsUsbPort(port)) {
    platform::ClearOsError();
    std::unique_ptr<platform::SerialPort> opened = platform::OpenSerialPort(port, 9600);
    if (opened) return t;
    t.tried = SerialWhere(port);
    t.reason = OsReason();
    if (t.reason.empty()) t.reason = "the port cannot be opened or set up";
    return t;
  }
  const std::vector<TableId> table = DeviceTableIds();
  const UsbScan scan = ScanUsb();
  if (!scan.listed) {
    t.tried = UsbWhere();
    t.reason = scan.listFailure;
    return t;
  }
  for (const auto& iface : scan.interfaces) {
    if (!iface.attributesRead || TableEntry(table, iface.vendorId, iface.productId) == 0) continue;
    platform::ClearOsError();
    if (platform::CurrentHidBackend().Open(iface)) return t;
    t.tried = (SimAddress().empty() ? iface.path : "device " + iface.path + " of " + UsbWhere()) + " (" +
              IdText(iface.vendorId, iface.productId) + ")";
    t.reason = OsReason();
    if (t.reason.empty()) t.reason = "it cannot be opened";
    return t;
  }
  t.tried = "the USB ids of the device table (" + TableText(table) + ") among " + UsbWhere();
  t.reason = "none of them is present (found: " + FoundIds(scan) + ")";
  return t;
}

Report Doctor(int port, int selector) {
  Report r{"doctor"};
  r.Add("library", Value::Text("QornRV270API " + HistoryVersion() + ", linked into " + platform::ModulePath()));
  const std::vector<TableId> table = DeviceTableIds();
  CheckDevices(r, table);
  CheckSerialPorts(r);
  CheckLogFolder(r);
  // One status exchange when the port's terminal can be reached.
  const LinkTrouble trouble = ExplainLink(port);
  const std::string link = IsUsbPort(port) ? "USB" : SerialWhere(port);
  if (!trouble.tried.empty()) {
    r.Add("terminal", Value::Text("not reached on " + link + ": " + trouble.reason));
    r.Set(-2, api::kCannotConnect);
    r.AddWhy("tried", trouble.tried);
    r.AddWhy("reason", trouble.reason);
    return r;
  }
  const int rc = RV270Api_GetWorkingStatus(port, selector);
  r.Set(rc);
  r.Add("terminal", Value::Text(rc == 0 ? "answers on " + link + " and reports itself ready"
                                        : "did not report itself ready on " + link + " (result " +
                                              std::to_string(rc) + ", error " + std::to_string(r.error) + ": " +
                                              ErrorText(r.error) + ")"));
  return r;
}

}  // namespace rv270cli
