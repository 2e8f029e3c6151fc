// Exchange paths that no export of this build reaches yet, and the device-access lock,
// driven through the library's internal routines (static test build only).
#ifdef RV270_TEST_CORE
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "QornRV270API.h"
#include "link/process_state.h"
#include "link/usbhid_link.h"
#include "platform/named_event.h"
#include "protocol/device_lock.h"
#include "protocol/exchange.h"
#include "protocol/variants.h"
#include "support/sim_fixture.h"

using rv270sim::Bytes;
using rv270sim::Link;

namespace {

class InternalTest : public rv270test::SimTest {};

TEST_F(InternalTest, ReceiveOnlyWaitTakesAnUnsolicitedAnswer) {
  sim.SendUnsolicited(Link::kUsb, {0x00, 0x00, 0x31}, 200);
  std::vector<uint8_t> response(4096, 0);
  int length = 0;
  EXPECT_EQ(0, HidReceiveOnly(response.data(), response.size(), &length, 3000));
  EXPECT_EQ(3, length);
  EXPECT_EQ((Bytes{0x00, 0x00, 0x31}), Bytes(response.begin(), response.begin() + 3));
  EXPECT_TRUE(sim.Requests().empty()) << RequestsText();  // nothing was sent

  EXPECT_EQ(-9, HidReceiveOnly(response.data(), response.size(), &length, 300));

  // An answer announcing more than the 102400-byte buffer is refused before it is stored.
  rv270sim::Faults huge;
  huge.announceLength = 0xFFFF;
  sim.SendUnsolicited(Link::kUsb, {0x00, 0x00}, 100, huge);
  EXPECT_EQ(kAnswerTooLong, HidReceiveOnly(response.data(), response.size(), &length, 3000));
  EXPECT_TRUE(sim.WaitForNoOpenLinks(2000));
}

TEST_F(InternalTest, CancelExchangeRefusesRequestsOverItsBuffer) {
  std::vector<uint8_t> request(497, 0x50);
  std::vector<uint8_t> response(4096, 0);
  int length = 0;
  EXPECT_EQ(kRequestTooLong,
            CommunicateCancel(0, 0, request.data(), 497, response.data(), response.size(), &length, 500));
  EXPECT_EQ(0, sim.LinksOpened());
}

TEST_F(InternalTest, DeviceAccessLockHeldElsewhereMakesTheDeviceBusy) {
  auto other = platform::OpenNamedEvent("HidComunicationSign", true);
  ASSERT_TRUE(other);
  other->Signal();
  ASSERT_TRUE(other->Wait(0));  // another holder takes the lock
  g_bUseDeviceLock = 1;
  EXPECT_EQ(-1001, RV270Api_GetWorkingStatus(0, 0));
  EXPECT_EQ(123, RV270Api_GetErrorCode());
  EXPECT_TRUE(LogHas("USB锁没等到!"));
  EXPECT_TRUE(LogHas("GetWorkingStatus error for usb being busying!"));
  EXPECT_TRUE(sim.Requests().empty()) << RequestsText();

  other->Signal();  // released: the exchange takes the lock and gives it back
  EXPECT_EQ(0, RV270Api_GetWorkingStatus(0, 0));
  EXPECT_TRUE(LogHas("识别USB锁"));
  g_bUseDeviceLock = 0;
  EXPECT_TRUE(other->Wait(0));
  other->Signal();
}

TEST_F(InternalTest, LinkOpenAndCloseRules) {
  EXPECT_EQ(1, OpenPort());
  EXPECT_EQ(64, CommuniSize.load());
  // A read that finds the wait flag cleared gives up at once and sets it back.
  g_bKeepWaiting = 0;
  uint8_t report[1000];
  EXPECT_EQ(0, UsbDevice().ReadReport(report, 5000));
  EXPECT_EQ(1, g_bKeepWaiting.load());
  EXPECT_EQ(1, ClosePort());
  EXPECT_EQ(-1, ClosePort());
  EXPECT_EQ(2u, LogCount("ClosePort"));
  EXPECT_TRUE(sim.WaitForNoOpenLinks(2000));
}

TEST_F(InternalTest, OnlyTheFirstTwentyHidInterfacesAreExamined) {
  std::vector<rv270sim::DeviceRecord> records(20);
  for (auto& r : records) {
    r.vendorId = 0x1234;
    r.hardwareId = "HID\\VID_1234&PID_0001";
  }
  records.push_back(rv270sim::DeviceRecord::Terminal());  // the 21st interface
  sim.SetDevices(records);
  // The search walks the whole device list and finds the terminal's ids, but the
  // connection looks at 20 interfaces only.
  EXPECT_EQ(-1, OpenPort());
  EXPECT_EQ(0, sim.LinksOpened());
  records.erase(records.begin());
  sim.SetDevices(records);  // now the 20th
  EXPECT_EQ(1, OpenPort());
  EXPECT_EQ(1, ClosePort());
}

}  // namespace
#endif  // RV270_TEST_CORE
