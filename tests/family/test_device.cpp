// Device information and configuration exports: request bytes, results, last error
// codes and log lines, over both links.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "QornRV270API.h"
#include "support/sim_fixture.h"

using rv270sim::Answer;
using rv270sim::Bytes;

namespace {

class DeviceTest : public rv270test::SimLinkTest {
 protected:
  // Start line first and end line last, for export `name`.
  void ExpectFramed(const std::string& name) {
    const auto lines = LogLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(std::string::npos, lines.front().find("****************" + name + " start****************"));
    ExpectEndedBy(name);
  }
};
RV270_INSTANTIATE_LINKS(DeviceTest);

char g_out[512];

struct Member {
  const char* name;
  Bytes request;                       // expected request payload
  std::function<int(int)> call;        // the export on a port
  int success;                         // result on 00 00 with the simulator's default data
  const char* hwLine;                  // line on status 00 09
};

const Member kMembers[] = {
    {"RV270Api_GetWorkingStatus", {0x50, 0x01}, [](int p) { return RV270Api_GetWorkingStatus(p, 0); }, 0,
     "RV270Api_Communication pWorkingStatus[1]==0x09!"},
    {"RV270Api_GetDeviceInfo", {0x50, 0x03}, [](int p) { return RV270Api_GetDeviceInfo(p, 0, sizeof(g_out), g_out); },
     0, "RV270Api_Communication pWorkingStatus[1]==0x09!"},
    {"RV270Api_SetBaud", {0x50, 0x0A, '1', '1', '5', '2', '0', '0'},
     [](int p) { return RV270Api_SetBaud(p, 0, 1, 115200); }, 0, "RV270Api_Communication myDeleteResult[1]==0x09!"},
    // The rate the member before it gave the device.
    {"RV270Api_GetBaud", {0x50, 0x0B}, [](int p) { return RV270Api_GetBaud(p, 0); }, 115200,
     "RV270Api_Communication pWorkingStatus[1]==0x09!"},
    {"RV270Api_GetVernderId", {0x50, 0x0C}, [](int p) { return RV270Api_GetVernderId(p, 0, g_out); }, 0,
     "RV270Api_Communication pWorkingStatus[1]==0x09!"},
    {"RV270Api_GetDeviceId", {0x50, 0x0D}, [](int p) { return RV270Api_GetDeviceId(p, 0, g_out); }, 0,
     "RV270Api_Communication pWorkingStatus[1]==0x09!"},
    {"RV270Api_GetVersion", {0x50, 0x0E}, [](int p) { return RV270Api_GetVersion(p, 0, g_out); }, 0,
     "RV270Api_Communication myVersionInfo[1]==0x09!"},
    {"RV270Api_ResetDevice", {0x50, 0x0F}, [](int p) { return RV270Api_ResetDevice(p, 0); }, 0,
     "RV270Api_Communication pWorkingStatus[1]==0x09!"},
    {"RV270Api_SetVersionCtl", {0x50, 0xA0, 0x2C}, [](int p) { return RV270Api_SetVersionCtl(p, 0, 300); }, 0,
     "RV270Api_Communication myDeleteResult[1]==0x09!"},
};

TEST_P(DeviceTest, EveryMemberMapsEveryOutcome) {
  for (const Member& m : kMembers) {
    SCOPED_TRACE(m.name);
    sim.ClearRecords();
    memset(g_out, 0, sizeof(g_out));
    EXPECT_EQ(m.success, m.call(Port()));
    EXPECT_EQ(0, RV270Api_GetErrorCode());
    ASSERT_EQ(1u, sim.Requests().size());
    EXPECT_EQ(m.request, sim.Requests()[0].payload);

    sim.ScriptNext(Answer::Status(0x00, 0x09));
    EXPECT_EQ(-3, m.call(Port()));
    EXPECT_EQ(125, RV270Api_GetErrorCode());
    EXPECT_TRUE(LogHas(m.hwLine));

    sim.ScriptNext(Answer::Status(0x01, 0x00));
    EXPECT_EQ(-4, m.call(Port()));
    EXPECT_EQ(103, RV270Api_GetErrorCode());
  }
  EXPECT_TRUE(LogHas("RV270Api_Communication return errror!"));  // the working status's own wording
}

TEST_P(DeviceTest, LinkFailureAndTheFrameLines) {
  sim.ScriptNext(Answer::None());
  EXPECT_EQ(-2, RV270Api_GetWorkingStatus(Port(), 0));
  EXPECT_EQ(102, RV270Api_GetErrorCode());
  EXPECT_TRUE(LogHas(IsUsb() ? "RV270Api_Communication return -9!" : "RV270Api_Communication return -2!"));
  ExpectFramed("RV270Api_GetWorkingStatus");
}

TEST_P(DeviceTest, IdentityTextsAreCopiedWithinTheirBounds) {
  char info[16];
  memset(info, 'z', sizeof(info));
  sim.EditState([](rv270sim::DeviceState& s) { s.deviceInfo = "a device information text"; });
  EXPECT_EQ(0, RV270Api_GetDeviceInfo(Port(), 0, 10, info));
  EXPECT_EQ(std::string("a device \0zzzzzz", 16), std::string(info, 16));  // iLen - 1 bytes and a zero
  EXPECT_TRUE(LogHas("RV270Api_Communication return ok pDeviceInfo:[a device ]!"));
  ExpectFramed("RV270Api_GetDeviceInfo");

  char vendor[300];
  memset(vendor, 'z', sizeof(vendor));
  sim.EditState([](rv270sim::DeviceState& s) { s.vendorId = std::string(280, 'v'); });
  EXPECT_EQ(0, RV270Api_GetVernderId(Port(), 0, vendor));
  EXPECT_EQ(std::string(256, 'v'), std::string(vendor, 256));
  EXPECT_EQ('z', vendor[256]);

  char version[64];
  memset(version, 'z', sizeof(version));
  sim.ScriptNext(Answer::Status(0x00, 0x09));
  EXPECT_EQ(-3, RV270Api_GetVersion(Port(), 0, version));
  EXPECT_EQ(std::string(4, '\0'), std::string(version, 4));  // cleared at entry, then left
  EXPECT_EQ('z', version[4]);
}

TEST_P(DeviceTest, DeviceInformationArgumentsAreCheckedBeforeSending) {
  char info[8];
  EXPECT_EQ(-1, RV270Api_GetDeviceInfo(Port(), 0, 0, info));
  EXPECT_EQ(100, RV270Api_GetErrorCode());
  EXPECT_TRUE(LogHas("RV270Api_GetDeviceInfo iLen<=0!"));
  EXPECT_EQ(-1, RV270Api_GetDeviceInfo(Port(), 0, 8, nullptr));
  EXPECT_TRUE(LogHas("RV270Api_GetDeviceInfo NULL==pDeviceInfo!"));
  EXPECT_TRUE(sim.Requests().empty());
  ExpectFramed("RV270Api_GetDeviceInfo");
}

TEST_P(DeviceTest, SerialRate) {
  // To the device: the decimal text; the library's own rate is left alone.
  EXPECT_EQ(0, RV270Api_SetBaud(Port(), 0, 1, 115200));
  EXPECT_EQ("115200", sim.State().serialRate);
  EXPECT_EQ(115200, RV270Api_GetBaud(Port(), 0));
  EXPECT_TRUE(LogHas("RV270Api_Communication return ok atoi(DeviceBaud):[115200]!"));
  // The second export name behaves and logs as the first. A rate the line cannot run
  // at is refused by the terminal (0x00 0x09) and not taken.
  EXPECT_EQ(-3, RV270Api_SetBaudtest(Port(), 0, 1, -5));
  EXPECT_EQ(125, RV270Api_GetErrorCode());
  EXPECT_EQ("115200", sim.State().serialRate);
  EXPECT_TRUE(LogHas("RV270Api_SetBaud strBaud:[-5]"));
  EXPECT_EQ(0u, LogCount("RV270Api_SetBaudtest"));
  // Non-numeric rate text reads as 0.
  sim.ScriptNext(Answer::Done("fast"));
  EXPECT_EQ(0, RV270Api_GetBaud(Port(), 0));
  EXPECT_EQ(0, RV270Api_GetErrorCode());
}

TEST_P(DeviceTest, LibrarySerialRateIsSetWithoutAnExchange) {
  const size_t before = sim.Requests().size();
  EXPECT_EQ(0, RV270Api_SetBaud(Port(), 0, 0, 19200));
  EXPECT_EQ(before, sim.Requests().size());
  EXPECT_EQ(0u, LogCount("RV270Api_SetBaud end"));
  if (!IsUsb()) {
    EXPECT_EQ(0, RV270Api_GetWorkingStatus(Port(), 0));
    const auto seen = sim.SerialSettingsSeen();
    if (!seen.empty()) {
      EXPECT_EQ(19200, seen.back().baud);
    }
  }
  EXPECT_EQ(0, RV270Api_SetBaud(Port(), 0, 0, 9600));
}

TEST_P(DeviceTest, ErrorMessages) {
  char text[64];
  // After a success: the probe succeeds and the text is that of code 0.
  EXPECT_EQ(0, RV270Api_GetWorkingStatus(Port(), 0));
  memset(text, 'z', sizeof(text));
  EXPECT_EQ(0, RV270Api_GetErrorMsg(Port(), 0, sizeof(text), text));
  EXPECT_STREQ("Device work normally", text);
  ASSERT_FALSE(sim.Requests().empty());
  EXPECT_EQ((Bytes{0x50, 0x0A}), sim.Requests().back().payload);

  // After a link failure the probe succeeds: the previous call's text.
  sim.ScriptNext(Answer::None());
  EXPECT_EQ(-2, RV270Api_GetWorkingStatus(Port(), 0));
  EXPECT_EQ(0, RV270Api_GetErrorMsg(Port(), 0, sizeof(text), text));
  EXPECT_STREQ("cannot connect device", text);

  // The probe's own refusal replaces the code.
  sim.ScriptNext(Answer::Status(0x01, 0x02));
  EXPECT_EQ(0, RV270Api_GetErrorMsg(Port(), 0, sizeof(text), text));
  EXPECT_STREQ("received data error", text);
  EXPECT_EQ(103, RV270Api_GetErrorCode());

  // Size 5 after code 100: "param" without a terminator.
  char info[4];
  RV270Api_GetDeviceInfo(Port(), 0, 0, info);
  memset(text, 'z', sizeof(text));
  EXPECT_EQ(0, RV270Api_GetErrorMsg(Port(), 0, 5, text));
  EXPECT_EQ("paramz", std::string(text, 6));

  // Size 0: code 100, nothing written, nothing sent.
  const size_t sent = sim.Requests().size();
  memset(text, 'z', sizeof(text));
  EXPECT_EQ(0, RV270Api_GetErrorMsg(Port(), 0, 0, text));
  EXPECT_EQ(100, RV270Api_GetErrorCode());
  EXPECT_EQ('z', text[0]);
  EXPECT_EQ(sent, sim.Requests().size());
}

TEST_P(DeviceTest, ResetAndVersionControlReachTheDevice) {
  EXPECT_EQ(0, RV270Api_ResetDevice(Port(), 0));
  EXPECT_EQ(1, sim.State().resets);
  EXPECT_TRUE(LogHas("RV270Api_Communication return ok"));
  EXPECT_EQ(0, RV270Api_SetVersionCtl(Port(), 0, 0x0102));
  EXPECT_EQ(0x02, sim.State().versionControl);
}

}  // namespace
