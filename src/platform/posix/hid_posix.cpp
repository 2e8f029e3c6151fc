// HID devices on Linux through hidraw.
//
// Present devices and interfaces are the hidraw nodes in number order. hidraw passes
// reports as the device sends them: a device without report ids reads without an id
// byte, so one 0 is put in front to keep "report id first" as on Windows; output and
// feature reports go out with the id byte first, which the kernel removes again when it
// is 0 (a 65-byte write to the terminal becomes a 64-byte report on the wire).
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/hid_device.h"
#include "platform/hid_report_descriptor.h"
#include "platform/os_error.h"
#include "platform/time.h"

namespace platform {
namespace {

const char kSysHidraw[] = "/sys/class/hidraw";

// The largest report hidraw hands out (HID_MAX_BUFFER_SIZE).
constexpr size_t kMaxReport = 4096;

// hidraw node numbers, ascending. Empty when the class folder is missing: the
// machine then has no hidraw device.
std::vector<int> HidrawNumbers() {
  std::vector<int> numbers;
  DIR* dir = opendir(kSysHidraw);
  if (!dir) return numbers;
  while (dirent* e = readdir(dir)) {
    int n = 0;
    char tail = 0;
    if (std::sscanf(e->d_name, "hidraw%d%c", &n, &tail) == 1 && n >= 0) numbers.push_back(n);
  }
  closedir(dir);
  std::sort(numbers.begin(), numbers.end());
  return numbers;
}

// Reads at most `limit` bytes of a file. False when it cannot be read.
bool ReadSmallFile(const std::string& path, size_t limit, std::vector<uint8_t>& out) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  out.assign(limit, 0);
  size_t have = 0;
  while (have < limit) {
    const ssize_t n = read(fd, out.data() + have, limit - have);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    have += static_cast<size_t>(n);
  }
  close(fd);
  out.resize(have);
  return true;
}

// Vendor and product id from the HID_ID line of a uevent file ("HID_ID=0003:00004B7E:00000001").
bool ReadUeventIds(int number, uint16_t& vendor, uint16_t& product) {
  std::vector<uint8_t> text;
  const std::string path = std::string(kSysHidraw) + "/hidraw" + std::to_string(number) + "/device/uevent";
  if (!ReadSmallFile(path, 4096, text)) return false;
  const std::string uevent(text.begin(), text.end());
  const size_t at = uevent.find("HID_ID=");
  unsigned bus = 0, v = 0, p = 0;
  if (at == std::string::npos || std::sscanf(uevent.c_str() + at, "HID_ID=%x:%x:%x", &bus, &v, &p) != 3) {
    return false;
  }
  vendor = static_cast<uint16_t>(v);
  product = static_cast<uint16_t>(p);
  return true;
}

bool CapsFromDescriptor(const uint8_t* data, size_t length, HidCaps& caps, bool& numbered) {
  ReportDescriptorSummary summary;
  if (!ParseReportDescriptor(data, length, summary)) return false;
  caps = summary.caps;
  numbered = summary.usesReportIds;
  return true;
}

// Ids and report lengths through the device node, which needs access to it.
bool ReadNodeAttributes(int fd, HidInterface& iface, bool& numbered) {
  hidraw_devinfo info{};
  if (ioctl(fd, HIDIOCGRAWINFO, &info) < 0) return false;
  iface.vendorId = static_cast<uint16_t>(info.vendor);
  iface.productId = static_cast<uint16_t>(info.product);
  iface.attributesRead = true;
  int size = 0;
  hidraw_report_descriptor desc{};
  if (ioctl(fd, HIDIOCGRDESCSIZE, &size) < 0 || size < 0 || size > HID_MAX_DESCRIPTOR_SIZE) {
    return true;
  }
  desc.size = static_cast<uint32_t>(size);
  if (ioctl(fd, HIDIOCGRDESC, &desc) >= 0) {
    CapsFromDescriptor(desc.value, desc.size, iface.caps, numbered);
  }
  return true;
}

// The same from sysfs, readable without access to the node (as Windows reads
// attributes through a handle without access rights).
void ReadSysfsAttributes(int number, HidInterface& iface, bool& numbered) {
  if (!ReadUeventIds(number, iface.vendorId, iface.productId)) return;
  iface.attributesRead = true;
  std::vector<uint8_t> desc;
  const std::string path =
      std::string(kSysHidraw) + "/hidraw" + std::to_string(number) + "/device/report_descriptor";
  if (ReadSmallFile(path, HID_MAX_DESCRIPTOR_SIZE, desc)) {
    CapsFromDescriptor(desc.data(), desc.size(), iface.caps, numbered);
  }
}

int OpenNode(const std::string& path, int access) {
  return open(path.c_str(), access | O_NONBLOCK | O_CLOEXEC);
}

class HidrawDevice : public HidDevice {
 public:
  HidrawDevice(int fd, bool numbered) : fd_(fd), numbered_(numbered) {}
  ~HidrawDevice() override { close(fd_); }

  bool SetFeature(const uint8_t* report, size_t length) override {
    if (length == 0 || length > kMaxReport) return false;
    std::vector<uint8_t> buffer(report, report + length);  // the ioctl takes a writable buffer
    return ioctl(fd_, HIDIOCSFEATURE(length), buffer.data()) >= 0;
  }

  bool GetFeature(uint8_t* report, size_t length) override {
    if (length == 0 || length > kMaxReport) return false;
    return ioctl(fd_, HIDIOCGFEATURE(length), report) >= 0;
  }

  bool WriteReport(const uint8_t* report, size_t length) override {
    if (length == 0 || length > kMaxReport) return false;
    for (;;) {
      const ssize_t n = write(fd_, report, length);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) RecordOsError(errno);
      return n == static_cast<ssize_t>(length);
    }
  }

  void FlushInput() override {
    uint8_t scratch[kMaxReport];
    // Bounded: a device that reports faster than this drains is still left behind.
    for (int i = 0; i < 1024; ++i) {
      const ssize_t n = read(fd_, scratch, sizeof(scratch));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
    }
  }

  int WaitInputReport(uint8_t* out, size_t length, uint32_t waitMs) override {
    if (length == 0) return -1;
    const uint32_t start = TickMs();
    for (;;) {
      uint8_t report[kMaxReport];
      const ssize_t n = read(fd_, report, sizeof(report));
      if (n > 0) {
        Deliver(report, static_cast<size_t>(n), out, length);
        return 1;
      }
      if (n == 0) return -1;
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        RecordOsError(errno);
        return -1;
      }
      const uint32_t spent = TickMs() - start;
      if (spent >= waitMs) return 0;
      const uint32_t left = waitMs - spent;
      pollfd p{fd_, POLLIN, 0};
      const int ready = poll(&p, 1, static_cast<int>(std::min<uint32_t>(left, 0x7FFFFFFF)));
      if (ready < 0 && errno != EINTR) {
        RecordOsError(errno);
        return -1;
      }
      if (ready > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL))) return -1;  // unplugged
    }
  }

  // Reads complete within WaitInputReport: none stays pending.
  void CancelRead() override {}

 private:
  // Copies one report "report id first", cut or padded with zeros to `length`.
  void Deliver(const uint8_t* report, size_t n, uint8_t* out, size_t length) const {
    size_t at = 0;
    if (!numbered_) out[at++] = 0;
    const size_t take = std::min(n, length - at);
    std::memcpy(out + at, report, take);
    std::memset(out + at + take, 0, length - at - take);
  }

  int fd_;
  bool numbered_;
};

class HidrawBackend : public HidBackend {
 public:
  bool ListPresentDevices(std::vector<PresentDevice>& out) override {
    for (int number : HidrawNumbers()) {
      uint16_t vendor = 0, product = 0;
      if (!ReadUeventIds(number, vendor, product)) continue;
      char id[64];
      std::snprintf(id, sizeof(id), "HID\\VID_%04X&PID_%04X&REV_0000", vendor, product);
      out.push_back(PresentDevice{"HIDClass", id});
    }
    return true;
  }

  bool ListHidInterfaces(std::vector<HidInterface>& out, size_t maxCount) override {
    for (int number : HidrawNumbers()) {
      if (out.size() >= maxCount) break;
      HidInterface iface;
      iface.path = "/dev/hidraw" + std::to_string(number);
      bool numbered = false;
      int fd = OpenNode(iface.path, O_RDWR);
      if (fd < 0) fd = OpenNode(iface.path, O_RDONLY);
      if (fd < 0 || !ReadNodeAttributes(fd, iface, numbered)) ReadSysfsAttributes(number, iface, numbered);
      if (fd >= 0) close(fd);
      out.push_back(iface);
    }
    return true;
  }

  std::unique_ptr<HidDevice> Open(const HidInterface& iface) override {
    const int fd = OpenNode(iface.path, O_RDWR);
    if (fd < 0) {
      RecordOsError(errno);
      return nullptr;
    }
    HidInterface fresh;
    bool numbered = false;
    ReadNodeAttributes(fd, fresh, numbered);
    return std::unique_ptr<HidDevice>(new HidrawDevice(fd, numbered));
  }
};

}  // namespace

HidBackend& OsHidBackend() {
  static HidrawBackend backend;
  return backend;
}

}  // namespace platform
