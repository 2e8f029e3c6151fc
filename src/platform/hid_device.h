// HID devices: the machine's device list, the HID interfaces with their attributes,
// and one opened HID device. Backends: the operating system (Windows HID class driver
// and device setup services; Linux hidraw) and the simulated terminal of RV270_SIM.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// One present device of any class, as the device search walks them.
struct PresentDevice {
  std::string className;   // "HIDClass" for HID devices
  std::string hardwareId;  // first hardware id, as "HID\VID_4B7E&PID_0001&REV_0100"
};

// Report lengths in bytes, the report id byte included (65 for the terminal).
struct HidCaps {
  int inputReportLength = 0;
  int outputReportLength = 0;
  int featureReportLength = 0;
};

// One HID interface of the machine.
struct HidInterface {
  std::string path;       // device path; for the simulator the record index
  bool attributesRead = false;
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  HidCaps caps;
};

// An opened HID device: the handles of one link. Not thread-safe except where noted.
class HidDevice {
 public:
  virtual ~HidDevice() = default;

  // Feature reports, report id in byte 0. False on failure.
  virtual bool SetFeature(const uint8_t* report, size_t length) = 0;
  virtual bool GetFeature(uint8_t* report, size_t length) = 0;

  // Writes one output report (report id in byte 0, exactly the output report length),
  // synchronously. False on failure.
  virtual bool WriteReport(const uint8_t* report, size_t length) = 0;

  // Drops every input report received so far.
  virtual void FlushInput() = 0;

  // Waits up to waitMs for one input report of exactly `length` bytes (report id
  // first). Returns 1 with the report in `out`, 0 when none arrived in time (the
  // read stays pending and the next call continues it), -1 when reading failed.
  virtual int WaitInputReport(uint8_t* out, size_t length, uint32_t waitMs) = 0;

  // Ends a pending read so that the next read starts afresh with its own buffer.
  virtual void CancelRead() = 0;
};

// One way of reaching HID devices.
class HidBackend {
 public:
  virtual ~HidBackend() = default;

  // The present devices of all classes, in list order. False when the list cannot be
  // obtained.
  virtual bool ListPresentDevices(std::vector<PresentDevice>& out) = 0;

  // The HID interfaces, in order, at most maxCount of them, each with its attributes
  // and capabilities when they could be read. False when the list cannot be obtained.
  virtual bool ListHidInterfaces(std::vector<HidInterface>& out, size_t maxCount) = 0;

  // Opens the device for reading and writing. nullptr when its handles cannot be
  // opened (the device then counts as matched but unusable).
  virtual std::unique_ptr<HidDevice> Open(const HidInterface& iface) = 0;
};

// The backend for the next device search or connection: the simulator when the
// environment variable RV270_SIM holds HOST:PORT, the operating system otherwise.
// The returned object lives until the next call (or the end of the process).
HidBackend& CurrentHidBackend();

// Backends, for CurrentHidBackend and for tests.
HidBackend& OsHidBackend();
std::unique_ptr<HidBackend> MakeSimHidBackend(const std::string& hostPort);

}  // namespace platform
