// What a Windows test program under Wine sees of the emulated terminals that
// rv270-hidraw-terminal (tests/devstack) plugs in at the Linux hidraw interface: its
// control channel (RV270_HIDRAW_CONTROL), the HID interfaces that Wine's HID class stack
// made of them, and the process's open handles on HID devices.
#pragma once
#include <string>
#include <vector>

namespace rv270winhid {

// One command on the control channel; the answer line ("ok ..." or "error ..."), or
// "error ..." when the channel cannot be reached.
std::string BedCommand(const std::string& line);

// Plugs a terminal bridged to the simulator at `simAddress` (device record `record`);
// the node's number, -1 on failure. `denied`: opens of the node fail.
int PlugTerminal(unsigned vid, unsigned pid, int record, const std::string& simAddress, bool denied = false);
bool UnplugTerminal(int node);
// Unplugs every terminal, one at a time, each once Wine has finished removing the one
// before (see the source for the fault in Wine's bus driver this keeps clear of).
bool UnplugAllTerminals();

// Device objects of Wine's HID bus driver (\Device\WINEBUS#...), one for each device it
// serves, its own virtual ones included; -1 when the object directory cannot be read.
int BusDeviceObjects();

// "VID_4B7E&PID_0001" for each present HID interface, in the device setup services'
// order, without Wine's own virtual devices (vendor 845E).
std::vector<std::string> PresentHidIds();

// Waits until PresentHidIds() holds exactly `ids` (in any order); false after timeoutMs,
// with the ids then present in `present` when given.
bool WaitForHidIds(std::vector<std::string> ids, int timeoutMs = 15000, std::string* present = nullptr);

// Wine's device setup services list every device the prefix has ever seen, present or
// not (they take no notice of DIGCF_PRESENT for devices), so a terminal unplugged
// earlier would still be found by the device search. With no terminal plugged, this
// removes the records of the emulated terminals (hardware ids HID\ and WINEBUS\ of any
// vendor but Wine's own 845E), as uninstalling a gone device does on Windows. The number
// removed, -1 when the list cannot be obtained.
int ForgetUnpluggedTerminals();

// Handles of this process open on a HID device (object names \Device\HID...), -1 when
// the system's handle list cannot be read.
int OpenHidHandles();

}  // namespace rv270winhid
