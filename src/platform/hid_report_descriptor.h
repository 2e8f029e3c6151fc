// Report lengths from a HID report descriptor, as the Windows HID class driver reports
// them in its capabilities: used where the system gives only the raw descriptor (hidraw).
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/hid_device.h"

namespace platform {

struct ReportDescriptorSummary {
  // For each report type, the longest report in bytes plus 1 for the report id byte
  // (present in every report buffer, 0 when the device has no report ids); 0 when the
  // descriptor has no report of that type.
  HidCaps caps;
  // True when the descriptor declares report ids (the device's reports then begin
  // with their id byte on the wire).
  bool usesReportIds = false;
};

// Walks the descriptor's items: for each report type and report id, the sum of
// report size x report count of its main items. False when an item is cut short, a
// report id is 0, push/pop are unbalanced or nested too deep, or a report is longer
// than 65534 bytes.
bool ParseReportDescriptor(const uint8_t* descriptor, size_t length, ReportDescriptorSummary& out);

}  // namespace platform
