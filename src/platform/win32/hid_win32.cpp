// HID devices on Windows: the device setup services for the lists, the HID class
// driver for attributes, capabilities and feature reports, and file handles for the
// reports (a synchronous write handle, an overlapped read handle).
#include <windows.h>
#include <setupapi.h>

#include <cstring>
#include <vector>

// The HID headers of mingw-w64 carry no C linkage block of their own.
extern "C" {
#include <hidsdi.h>
}

#include "platform/hid_device.h"
#include "platform/os_error.h"

namespace platform {
namespace {

// Device set of SetupDiGetClassDevsA, released on scope exit.
class DeviceInfoSet {
 public:
  explicit DeviceInfoSet(HDEVINFO set) : set_(set) {}
  ~DeviceInfoSet() {
    if (Valid()) SetupDiDestroyDeviceInfoList(set_);
  }
  DeviceInfoSet(const DeviceInfoSet&) = delete;
  DeviceInfoSet& operator=(const DeviceInfoSet&) = delete;
  bool Valid() const { return set_ != INVALID_HANDLE_VALUE; }
  HDEVINFO Get() const { return set_; }

 private:
  HDEVINFO set_;
};

// A kernel handle, closed on scope exit.
class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE h) : h_(h) {}
  ~Handle() { Reset(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  void Reset(HANDLE h = INVALID_HANDLE_VALUE) {
    if (h_ != INVALID_HANDLE_VALUE && h_ != nullptr) CloseHandle(h_);
    h_ = h;
  }
  bool Valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
  HANDLE Get() const { return h_; }
  // Hands the handle over without closing it.
  HANDLE Release() {
    HANDLE h = h_;
    h_ = INVALID_HANDLE_VALUE;
    return h;
  }

 private:
  HANDLE h_ = INVALID_HANDLE_VALUE;
};

// Property texts are read into 260 bytes, at most 259 of them text.
constexpr DWORD kPropertyBuffer = 260;

// The first text of a registry property of one device (REG_SZ or REG_MULTI_SZ).
// Empty when the device has none.
std::string DeviceProperty(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property) {
  char buffer[kPropertyBuffer];
  std::memset(buffer, 0, sizeof(buffer));
  if (!SetupDiGetDeviceRegistryPropertyA(set, &device, property, nullptr,
                                         reinterpret_cast<PBYTE>(buffer), kPropertyBuffer - 1, nullptr)) {
    return std::string();
  }
  return std::string(buffer);  // up to the first terminator: the first text of a list
}

// A device list has at most this many entries here; a machine with more is cut short.
constexpr DWORD kMaxPresentDevices = 65536;

HANDLE OpenPath(const std::string& path, DWORD access, DWORD flags) {
  return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, flags, nullptr);
}

// Vendor and product id and report lengths through a handle without access rights.
void ReadAttributes(const std::string& path, HidInterface& iface) {
  Handle h(OpenPath(path, 0, 0));
  if (!h.Valid()) return;
  HIDD_ATTRIBUTES attributes;
  std::memset(&attributes, 0, sizeof(attributes));
  attributes.Size = sizeof(attributes);
  if (!HidD_GetAttributes(h.Get(), &attributes)) return;
  iface.vendorId = attributes.VendorID;
  iface.productId = attributes.ProductID;
  iface.attributesRead = true;
  PHIDP_PREPARSED_DATA preparsed = nullptr;
  if (!HidD_GetPreparsedData(h.Get(), &preparsed)) return;
  HIDP_CAPS caps;
  std::memset(&caps, 0, sizeof(caps));
  if (HidP_GetCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS) {
    iface.caps.inputReportLength = caps.InputReportByteLength;
    iface.caps.outputReportLength = caps.OutputReportByteLength;
    iface.caps.featureReportLength = caps.FeatureReportByteLength;
  }
  HidD_FreePreparsedData(preparsed);
}

// Input reports the class driver queues for the read handle (its largest setting).
constexpr ULONG kInputReportQueue = 512;

// One opened HID device: the attribute handle (no access rights) for feature reports,
// a synchronous write handle, and an overlapped read handle whose one read may stay
// pending between WaitInputReport calls.
class Win32HidDevice : public HidDevice {
 public:
  Win32HidDevice(HANDLE attributes, HANDLE write, HANDLE read, HANDLE event, const HidCaps& caps)
      : attributes_(attributes), write_(write), read_(read), event_(event),
        buffer_(caps.inputReportLength > 0 ? static_cast<size_t>(caps.inputReportLength) : 1) {
    std::memset(&overlapped_, 0, sizeof(overlapped_));
    overlapped_.hEvent = event_.Get();
  }

  ~Win32HidDevice() override {
    // The pending read writes into buffer_ and overlapped_: end it before they go.
    CancelRead();
  }

  bool SetFeature(const uint8_t* report, size_t length) override {
    if (length == 0 || length > 0xFFFF) return false;
    std::vector<uint8_t> copy(report, report + length);  // the call takes a writable buffer
    return HidD_SetFeature(attributes_.Get(), copy.data(), static_cast<ULONG>(length)) != FALSE;
  }

  bool GetFeature(uint8_t* report, size_t length) override {
    if (length == 0 || length > 0xFFFF) return false;
    return HidD_GetFeature(attributes_.Get(), report, static_cast<ULONG>(length)) != FALSE;
  }

  bool WriteReport(const uint8_t* report, size_t length) override {
    if (length == 0 || length > 0xFFFF) return false;
    DWORD written = 0;
    if (!WriteFile(write_.Get(), report, static_cast<DWORD>(length), &written, nullptr)) {
      RecordLastOsError();
      return false;
    }
    return written == length;
  }

  // Drops a completed read that was not collected yet and the driver's input queue.
  void FlushInput() override {
    CancelRead();
    HidD_FlushQueue(read_.Get());
  }

  int WaitInputReport(uint8_t* out, size_t length, uint32_t waitMs) override {
    if (length == 0) return -1;
    if (!pending_) {
      ResetEvent(event_.Get());
      overlapped_.Offset = 0;
      overlapped_.OffsetHigh = 0;
      if (!ReadFile(read_.Get(), buffer_.data(), static_cast<DWORD>(buffer_.size()), nullptr, &overlapped_) &&
          GetLastError() != ERROR_IO_PENDING) {
        RecordLastOsError();
        return -1;
      }
      // Also when ReadFile completed at once: the event is set and the wait returns at once.
      pending_ = true;
    }
    const DWORD waited = WaitForSingleObject(event_.Get(), waitMs);
    if (waited == WAIT_TIMEOUT) return 0;
    if (waited != WAIT_OBJECT_0) return -1;
    DWORD got = 0;
    const BOOL ok = GetOverlappedResult(read_.Get(), &overlapped_, &got, FALSE);
    pending_ = false;
    if (!ok) {
      RecordLastOsError();
      return -1;
    }
    const size_t take = got < length ? got : length;
    std::memcpy(out, buffer_.data(), take);
    std::memset(out + take, 0, length - take);
    return 1;
  }

  // Cancels the pending read (from whichever thread started it) and waits until the
  // driver has let go of the buffer.
  void CancelRead() override {
    if (!pending_) return;
    CancelIoEx(read_.Get(), &overlapped_);
    DWORD got = 0;
    GetOverlappedResult(read_.Get(), &overlapped_, &got, TRUE);
    pending_ = false;
  }

 private:
  Handle attributes_;
  Handle write_;
  Handle read_;
  Handle event_;
  std::vector<uint8_t> buffer_;
  OVERLAPPED overlapped_;
  bool pending_ = false;
};

class Win32HidBackend : public HidBackend {
 public:
  bool ListPresentDevices(std::vector<PresentDevice>& out) override {
    DeviceInfoSet set(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
    if (!set.Valid()) return false;
    for (DWORD index = 0; index < kMaxPresentDevices; ++index) {
      SP_DEVINFO_DATA device;
      std::memset(&device, 0, sizeof(device));
      device.cbSize = sizeof(device);
      if (!SetupDiEnumDeviceInfo(set.Get(), index, &device)) break;  // ERROR_NO_MORE_ITEMS
      out.push_back(PresentDevice{DeviceProperty(set.Get(), device, SPDRP_CLASS),
                                  DeviceProperty(set.Get(), device, SPDRP_HARDWAREID)});
    }
    return true;
  }

  bool ListHidInterfaces(std::vector<HidInterface>& out, size_t maxCount) override {
    GUID hidGuid;
    HidD_GetHidGuid(&hidGuid);
    DeviceInfoSet set(SetupDiGetClassDevsA(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (!set.Valid()) return false;
    for (DWORD index = 0; index < maxCount; ++index) {
      SP_DEVICE_INTERFACE_DATA data;
      std::memset(&data, 0, sizeof(data));
      data.cbSize = sizeof(data);
      if (!SetupDiEnumDeviceInterfaces(set.Get(), nullptr, &hidGuid, index, &data)) break;
      HidInterface iface;
      iface.path = InterfacePath(set.Get(), data);
      if (!iface.path.empty()) ReadAttributes(iface.path, iface);
      out.push_back(iface);
    }
    return true;
  }

  std::unique_ptr<HidDevice> Open(const HidInterface& iface) override {
    Handle attributes(OpenPath(iface.path, 0, 0));
    Handle write(OpenPath(iface.path, GENERIC_WRITE, 0));
    Handle read(OpenPath(iface.path, GENERIC_READ, FILE_FLAG_OVERLAPPED));
    Handle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));  // manual reset
    if (!attributes.Valid() || !write.Valid() || !read.Valid() || !event.Valid()) {
      RecordLastOsError();
      return nullptr;
    }
    // The class driver keeps 32 input reports by default: 32 ms of an upload that streams
    // a report a millisecond. Its largest queue, 512 reports, lets a reader that is late
    // by up to half a second lose nothing. A driver that refuses keeps its own queue.
    HidD_SetNumInputBuffers(read.Get(), kInputReportQueue);
    return std::unique_ptr<HidDevice>(new Win32HidDevice(attributes.Release(), write.Release(),
                                                         read.Release(), event.Release(), iface.caps));
  }

 private:
  // Device path of one interface: ask for the size, then fetch the detail record.
  static std::string InterfacePath(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& data) {
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) || required > 65536) return std::string();
    std::vector<uint8_t> storage(required + 16, 0);
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(storage.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, nullptr)) {
      return std::string();
    }
    return std::string(detail->DevicePath);
  }
};

}  // namespace

HidBackend& OsHidBackend() {
  static Win32HidBackend backend;
  return backend;
}

}  // namespace platform
