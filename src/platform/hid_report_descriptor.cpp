// HID report descriptor walk (Device Class Definition for HID 1.11, section 6.2.2).
#include "platform/hid_report_descriptor.h"

#include <vector>

namespace platform {
namespace {

enum ReportType { kInput = 0, kOutput = 1, kFeature = 2 };

struct GlobalState {
  uint32_t reportSize = 0;   // bits per field
  uint32_t reportCount = 0;  // fields
  uint32_t reportId = 0;     // 0 until a Report ID item
};

constexpr size_t kMaxPushDepth = 16;
constexpr uint64_t kMaxReportBits = 65534ull * 8;

}  // namespace

bool ParseReportDescriptor(const uint8_t* descriptor, size_t length, ReportDescriptorSummary& out) {
  // bits[type][report id]
  std::vector<uint64_t> bits(3 * 256, 0);
  GlobalState global;
  std::vector<GlobalState> stack;
  bool usesIds = false;

  size_t at = 0;
  while (at < length) {
    const uint8_t prefix = descriptor[at];
    if (prefix == 0xFE) {  // long item: size byte, tag byte, data; no report fields
      if (length - at < 3 || length - at - 3 < descriptor[at + 1]) return false;
      at += 3 + descriptor[at + 1];
      continue;
    }
    static const size_t kDataSizes[4] = {0, 1, 2, 4};
    const size_t size = kDataSizes[prefix & 3];
    if (length - at - 1 < size) return false;
    uint32_t data = 0;
    for (size_t i = 0; i < size; ++i) data |= static_cast<uint32_t>(descriptor[at + 1 + i]) << (8 * i);
    at += 1 + size;

    const int itemType = (prefix >> 2) & 3;
    const int tag = prefix >> 4;
    if (itemType == 0) {  // main item
      int report = -1;
      if (tag == 0x8) report = kInput;
      if (tag == 0x9) report = kOutput;
      if (tag == 0xB) report = kFeature;
      if (report < 0) continue;  // collections carry no report fields
      uint64_t& sum = bits[static_cast<size_t>(report) * 256 + global.reportId];
      sum += static_cast<uint64_t>(global.reportSize) * global.reportCount;
      if (sum > kMaxReportBits) return false;
    } else if (itemType == 1) {  // global item
      switch (tag) {
        case 0x7:
          global.reportSize = data;
          break;
        case 0x8:
          if (data == 0 || data > 255) return false;
          global.reportId = data;
          usesIds = true;
          break;
        case 0x9:
          global.reportCount = data;
          break;
        case 0xA:
          if (stack.size() >= kMaxPushDepth) return false;
          stack.push_back(global);
          break;
        case 0xB:
          if (stack.empty()) return false;
          global = stack.back();
          stack.pop_back();
          break;
        default:
          break;
      }
    }
    // Local items (usages, designators, strings) do not change report lengths.
  }

  int lengths[3] = {0, 0, 0};
  for (int type = 0; type < 3; ++type) {
    for (size_t id = 0; id < 256; ++id) {
      const uint64_t b = bits[static_cast<size_t>(type) * 256 + id];
      if (b == 0) continue;
      const int bytes = static_cast<int>((b + 7) / 8) + 1;
      if (bytes > lengths[type]) lengths[type] = bytes;
    }
  }
  out.caps.inputReportLength = lengths[kInput];
  out.caps.outputReportLength = lengths[kOutput];
  out.caps.featureReportLength = lengths[kFeature];
  out.usesReportIds = usesIds;
  return true;
}

}  // namespace platform
