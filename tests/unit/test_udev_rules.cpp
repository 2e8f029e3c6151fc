// The udev rules shipped for Linux (res/udev/70-qornrv270.rules) against the device
// table: every model the device search recognises gets its hidraw node opened up, and
// under the bridge vendor no product outside the table does.
#ifndef _WIN32
#include <gtest/gtest.h>
#include <fnmatch.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "link/device_search.h"

namespace {

struct Rule {
  std::string vendor;   // glob of ATTRS{idVendor}
  std::string product;  // glob of ATTRS{idProduct}, "*" when the rule has none
};

std::string RulesPath() { return std::string(RV270_SOURCE_DIR) + "/res/udev/70-qornrv270.rules"; }

std::string Match(const std::string& line, const std::string& key) {
  std::smatch m;
  const std::regex re(key + "==\"([^\"]*)\"");
  return std::regex_search(line, m, re) ? m[1].str() : std::string();
}

bool Covers(const Rule& r, const std::string& vendor, const std::string& product) {
  return fnmatch(r.vendor.c_str(), vendor.c_str(), 0) == 0 && fnmatch(r.product.c_str(), product.c_str(), 0) == 0;
}

// "VID_4B7E&PID_0001" as the lower-case texts sysfs holds: {"4b7e", "0001"}.
std::pair<std::string, std::string> Ids(const char* entry) {
  std::string vendor = std::string(entry).substr(4, 4);
  std::string product = std::string(entry).substr(13, 4);
  for (char& c : vendor) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  for (char& c : product) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return {vendor, product};
}

TEST(UdevRules, OpenEveryModelOfTheDeviceTableAndNoOtherBridgeProduct) {
  std::ifstream in(RulesPath());
  ASSERT_TRUE(in) << RulesPath();
  std::vector<Rule> rules;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    SCOPED_TRACE(line);
    EXPECT_EQ(Match(line, "SUBSYSTEM"), "hidraw");
    EXPECT_NE(line.find("TAG+=\"uaccess\""), std::string::npos);
    EXPECT_NE(line.find("GROUP=\"plugdev\""), std::string::npos);
    EXPECT_NE(line.find("MODE=\"0660\""), std::string::npos);
    Rule r{Match(line, "ATTRS\\{idVendor\\}"), Match(line, "ATTRS\\{idProduct\\}")};
    ASSERT_FALSE(r.vendor.empty());
    if (r.product.empty()) r.product = "*";
    rules.push_back(r);
  }
  ASSERT_FALSE(rules.empty());

  for (const char* entry : kDeviceTable) {
    const auto ids = Ids(entry);
    bool covered = false;
    for (const Rule& r : rules) covered = covered || Covers(r, ids.first, ids.second);
    EXPECT_TRUE(covered) << entry;
  }
  // A rule for the whole vendor is for the terminal vendor alone; under any other vendor
  // every product a rule covers is in the table.
  for (const Rule& r : rules) {
    if (r.product == "*") {
      EXPECT_EQ(r.vendor, "4b7e");
      continue;
    }
    for (unsigned product = 0; product <= 0xFFFF; ++product) {
      char text[8];
      std::snprintf(text, sizeof(text), "%04x", product);
      if (!Covers(r, r.vendor, text)) continue;
      bool inTable = false;
      for (const char* entry : kDeviceTable) inTable = inTable || Ids(entry) == std::make_pair(r.vendor, std::string(text));
      EXPECT_TRUE(inTable) << r.vendor << ":" << text << " is not a model of the device table";
    }
  }
}

}  // namespace
#endif
