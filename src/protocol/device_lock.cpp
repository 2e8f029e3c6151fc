#include "protocol/device_lock.h"

#include <memory>
#include <mutex>

#include "log/log.h"
#include "platform/named_event.h"

std::atomic<unsigned char> g_bUseDeviceLock{0};

namespace {
constexpr const char* kEventName = "HidComunicationSign";
constexpr uint32_t kLockWaitMs = 2000;

std::mutex g_eventMutex;
std::unique_ptr<platform::NamedEvent> g_event;  // the process's handle to the event

platform::NamedEvent* Event() {
  std::lock_guard<std::mutex> guard(g_eventMutex);
  if (!g_event) g_event = platform::OpenNamedEvent(kEventName, true);
  return g_event.get();
}
}  // namespace

DeviceLockHolder::DeviceLockHolder() {
  if (!g_bUseDeviceLock.load()) return;
  used_ = true;
  WriteLog('I', "识别USB锁");
  platform::NamedEvent* event = Event();
  acquired_ = event && event->Wait(kLockWaitMs);
  if (!acquired_) WriteLog('E', "USB锁没等到!");
}

DeviceLockHolder::~DeviceLockHolder() {
  if (!used_) return;
  if (platform::NamedEvent* event = Event()) event->Signal();
}

void DeviceLockStartup() {
  if (!g_bUseDeviceLock.load()) return;
  std::lock_guard<std::mutex> guard(g_eventMutex);
  g_event = platform::OpenNamedEvent(kEventName, false);
  if (g_event) {
    WriteLog('I', "Have Event On");
    g_event->Signal();
  } else {
    WriteLog('I', "Have No Event");
    g_event = platform::OpenNamedEvent(kEventName, true);
  }
}

void DeviceLockShutdown() {
  if (!g_bUseDeviceLock.load()) return;
  std::lock_guard<std::mutex> guard(g_eventMutex);
  if (g_event) g_event->Signal();
  g_event.reset();
}
