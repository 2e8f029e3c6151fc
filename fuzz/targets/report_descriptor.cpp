// The HID report descriptor walk: any bytes as the descriptor hidraw gives.
#include "../support.h"
#include "platform/hid_report_descriptor.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  platform::ReportDescriptorSummary summary;
  if (!platform::ParseReportDescriptor(data, size, summary)) return 0;
  // Lengths are whole reports plus the report id byte, within the limit the walk keeps.
  for (int length : {summary.caps.inputReportLength, summary.caps.outputReportLength,
                     summary.caps.featureReportLength}) {
    RV270_FUZZ_CHECK(length >= 0 && length <= 65535);
  }
  return 0;
}
