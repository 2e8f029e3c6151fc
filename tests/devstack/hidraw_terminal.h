// An emulated terminal at the kernel interface: a umockdev test bed with USB HID devices
// and their hidraw nodes, so that the library's real Linux HID backend (the sysfs walk,
// the node ioctls, non-blocking reads with poll) runs against something that behaves
// like the kernel.
//
// Each device is a USB device, its interface, a HID device (HID_ID, HID_NAME, the report
// descriptor in `report_descriptor`) and a hidraw node with the `device` link a real
// sysfs has. The node answers HIDIOCGRAWINFO, HIDIOCGRDESCSIZE, HIDIOCGRDESC,
// HIDIOCGRAWNAME, HIDIOCGRAWPHYS, HIDIOCGRAWUNIQ, HIDIOCSFEATURE and HIDIOCGFEATURE;
// reads and writes go to a simulator over its USB TCP transport (one connection per
// open of the node, made at the first read, write or feature report: `O` with the
// device's record index, then `W` per write, `R` frames queued for the reads, one report
// a read, at most 64 unread per open as hidraw keeps them, and features as `S`/`G`).
// Every command, transfer and fault of the simulator works unchanged through the node.
//
// Poll readiness: umockdev backs a hidraw node with a pseudo-terminal, and a program
// polls that. The node writes one byte to the terminal's master side while reports are
// waiting and has the client's read consume it, so poll wakes when a read has something.
// The terminal is shared by every open of the node: while two are open (a cancel's link
// beside a waiting call), one may wake for the other's report and read nothing (EAGAIN),
// where hidraw wakes each open for its own queue only. Unplugging wakes a waiting reader,
// whose read fails with EIO as hidraw's do for a removed device, and sends the "remove"
// uevents; the terminal does not hang up (a hung-up terminal keeps Wine's bus driver
// reading it in a loop).
//
// A node that cannot be opened: the project's preload library (deny_open_preload.c)
// refuses opens of nodes named in the test bed's "rv270-denied" folder with EACCES, as
// the kernel refuses a user without the node's permissions (root passes every
// permission check, so a mode change would not do).
//
// Threading: umockdev runs the handlers on a worker thread of its own; every member may
// be called from any thread.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace rv270devstack {

// The terminal's report descriptor: vendor page, input, output and feature reports of
// `reportBytes` bytes each (64 for the terminal), no report ids.
std::vector<uint8_t> TerminalReportDescriptor(uint8_t reportBytes = 64);

struct DeviceSpec {
  uint16_t vendorId = 0x4B7E;
  uint16_t productId = 0x0001;
  std::string simAddress;      // "127.0.0.1:PORT"; empty: reads stay empty, writes fail
  uint8_t recordIndex = 0;     // `O` payload: the simulator's device record
  bool openable = true;        // false: opens of the node fail with EACCES
  std::vector<uint8_t> descriptor = TerminalReportDescriptor();
  std::string name = "Qorn RV270 Terminal";
};

class TerminalBed {
 public:
  // Makes the test bed; UMOCKDEV_DIR is set in this process's environment.
  TerminalBed();
  ~TerminalBed();  // unplugs every device and removes the test bed
  TerminalBed(const TerminalBed&) = delete;
  TerminalBed& operator=(const TerminalBed&) = delete;

  // The test bed's root folder (UMOCKDEV_DIR for other processes).
  std::string RootDir() const;

  // Plugs a device in; returns its hidraw number (each plug takes the next number, as
  // the test bed cannot reuse a node name), -1 on failure.
  int Plug(const DeviceSpec& spec);
  // Unplugs: reads fail with EIO (a waiting reader wakes), the links to the simulator
  // close, "remove" uevents go out, and sysfs and the node go away.
  bool Unplug(int number);
  void UnplugAll();
  std::vector<int> Present() const;
  // The device a node was plugged as (the default device for an unknown number).
  DeviceSpec Spec(int number) const;

  // Faults of the node's next read (of any client): it fails with `err`, or returns only
  // the first `length` bytes of the next report.
  void FailNextRead(int number, int err);
  void ShortenNextRead(int number, size_t length);

  // Reports dropped because an open file had 64 unread ones, as hidraw drops them.
  uint64_t DroppedReports(int number) const;

  // Number of open clients (opens of the node not closed yet) of a device.
  int OpenClients(int number) const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace rv270devstack
