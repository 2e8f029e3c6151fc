// Report lengths from HID report descriptors (the hidraw backend's capabilities).
#include <gtest/gtest.h>

#include <vector>

#include "platform/hid_report_descriptor.h"

namespace {

using Bytes = std::vector<uint8_t>;

platform::ReportDescriptorSummary Parse(const Bytes& d, bool expectOk = true) {
  platform::ReportDescriptorSummary s;
  EXPECT_EQ(platform::ParseReportDescriptor(d.data(), d.size(), s), expectOk);
  return s;
}

// A vendor-defined device with 64-byte input, output and feature reports and no report
// ids: the terminal's shape. Windows reports 65 for each (the id byte 0 included).
TEST(HidReportDescriptor, UnnumberedSixtyFourByteReports) {
  const Bytes d = {
      0x06, 0x00, 0xFF,  // Usage Page (vendor 0xFF00)
      0x09, 0x01,        // Usage 1
      0xA1, 0x01,        // Collection (Application)
      0x15, 0x00,        //   Logical Minimum 0
      0x26, 0xFF, 0x00,  //   Logical Maximum 255
      0x75, 0x08,        //   Report Size 8
      0x95, 0x40,        //   Report Count 64
      0x09, 0x01, 0x81, 0x02,  // Input
      0x09, 0x01, 0x91, 0x02,  // Output
      0x09, 0x01, 0xB1, 0x02,  // Feature
      0xC0,              // End Collection
  };
  const platform::ReportDescriptorSummary s = Parse(d);
  EXPECT_EQ(s.caps.inputReportLength, 65);
  EXPECT_EQ(s.caps.outputReportLength, 65);
  EXPECT_EQ(s.caps.featureReportLength, 65);
  EXPECT_FALSE(s.usesReportIds);
}

// Numbered reports: each type's length is its longest report id's, plus the id byte;
// bits are rounded up to whole bytes; a type without reports has length 0.
TEST(HidReportDescriptor, NumberedReportsTakeTheLongestPerType) {
  const Bytes d = {
      0x85, 0x01, 0x75, 0x08, 0x95, 0x08, 0x81, 0x02,  // id 1: input 8 bytes
      0x85, 0x02, 0x75, 0x10, 0x95, 0x01, 0x81, 0x00,  // id 2: input 2 bytes
      0x85, 0x01, 0x75, 0x01, 0x95, 0x05, 0x91, 0x02,  // id 1: output 5 bits
      0x75, 0x03, 0x95, 0x01, 0x91, 0x01,              //       + 3 bits padding
      0x85, 0x03, 0x75, 0x08, 0x95, 0x3F, 0xB1, 0x02,  // id 3: feature 63 bytes
      0x85, 0x04, 0x75, 0x07, 0x95, 0x01, 0xB1, 0x02,  // id 4: feature 7 bits
  };
  const platform::ReportDescriptorSummary s = Parse(d);
  EXPECT_EQ(s.caps.inputReportLength, 9);
  EXPECT_EQ(s.caps.outputReportLength, 2);
  EXPECT_EQ(s.caps.featureReportLength, 64);
  EXPECT_TRUE(s.usesReportIds);

  const Bytes inputOnly = {0x75, 0x01, 0x95, 0x03, 0x81, 0x02};  // 3 bits
  const platform::ReportDescriptorSummary t = Parse(inputOnly);
  EXPECT_EQ(t.caps.inputReportLength, 2);
  EXPECT_EQ(t.caps.outputReportLength, 0);
  EXPECT_EQ(t.caps.featureReportLength, 0);
}

// Push/Pop restore the global state; long items and 4-byte data are stepped over.
TEST(HidReportDescriptor, PushPopAndLongItems) {
  const Bytes d = {
      0x75, 0x08, 0x95, 0x04,        // 8 bits x 4
      0xA4,                          // Push
      0x75, 0x10, 0x95, 0x02,        //   16 bits x 2
      0x81, 0x02,                    //   Input: 4 bytes
      0xB4,                          // Pop: back to 8 x 4
      0xFE, 0x02, 0x10, 0xAA, 0xBB,  // long item with 2 data bytes
      0x27, 0xFF, 0xFF, 0x00, 0x00,  // Logical Maximum, 4-byte data
      0x81, 0x02,                    // Input: 4 more bytes
  };
  EXPECT_EQ(Parse(d).caps.inputReportLength, 9);
}

TEST(HidReportDescriptor, BrokenDescriptorsAreRefused) {
  const struct {
    const char* what;
    Bytes d;
  } cases[] = {
      {"short item cut short", {0x75, 0x08, 0x26, 0xFF}},
      {"4-byte item cut short", {0x27, 0xFF, 0xFF, 0x00}},
      {"long item cut short", {0xFE, 0x05, 0x00, 0x01}},
      {"long item header cut short", {0xFE, 0x05}},
      {"report id 0", {0x85, 0x00, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02}},
      {"pop without push", {0xB4}},
      {"report over 65534 bytes", {0x75, 0x08, 0x96, 0xFF, 0xFF, 0x81, 0x02, 0x81, 0x02}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Parse(c.d, false);
  }
  const Bytes deepPush(17, 0xA4);
  Parse(deepPush, false);
  Parse({}, true);  // no items: no reports
}

}  // namespace
