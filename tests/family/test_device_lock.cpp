// The device-access lock's start-up and exit steps (static test build only: the switch
// that turns the lock on is internal). A lock left taken by a process that ended is
// given back when the library starts; a missing one is made, free; the exit gives the
// lock back.
#ifdef RV270_TEST_CORE
#include <gtest/gtest.h>

#ifndef _WIN32
#include <semaphore.h>
#endif

#include "platform/named_event.h"
#include "protocol/device_lock.h"
#include "support/sim_fixture.h"

namespace {

constexpr const char* kLockName = "HidComunicationSign";

class DeviceLockTest : public rv270test::SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    g_bUseDeviceLock = 1;
  }
  void TearDown() override {
    DeviceLockShutdown();
    g_bUseDeviceLock = 0;
    SimTest::TearDown();
  }
};

TEST_F(DeviceLockTest, StartUpGivesBackALockLeftTaken) {
  auto other = platform::OpenNamedEvent(kLockName, true);
  ASSERT_TRUE(other);
  other->Signal();
  ASSERT_TRUE(other->Wait(0));  // taken, as by a process that ended while holding it
  DeviceLockStartup();
  EXPECT_TRUE(LogHas("Have Event On"));
  EXPECT_TRUE(other->Wait(0));
  // The exit gives it back as well.
  DeviceLockShutdown();
  EXPECT_TRUE(other->Wait(0));
  other->Signal();
}

#ifndef _WIN32
// A named semaphore outlives its users until unlinked: without one, start-up makes it free.
TEST_F(DeviceLockTest, StartUpMakesAMissingLockFree) {
  sem_unlink((std::string("/") + kLockName).c_str());
  DeviceLockStartup();
  EXPECT_TRUE(LogHas("Have No Event"));
  auto other = platform::OpenNamedEvent(kLockName, false);
  ASSERT_TRUE(other);
  EXPECT_TRUE(other->Wait(0));
  other->Signal();
}
#endif

}  // namespace
#endif  // RV270_TEST_CORE
