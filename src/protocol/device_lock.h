// The device-access lock: a named event "HidComunicationSign" that serialises the
// exchanges of several processes, used only while g_bUseDeviceLock is on.
#pragma once
#include <atomic>

extern std::atomic<unsigned char> g_bUseDeviceLock;

// Held for one exchange: Acquired() tells whether the wait succeeded; the event is
// signalled again when the holder goes out of scope. Does nothing while the switch is off.
class DeviceLockHolder {
 public:
  DeviceLockHolder();
  ~DeviceLockHolder();
  DeviceLockHolder(const DeviceLockHolder&) = delete;
  DeviceLockHolder& operator=(const DeviceLockHolder&) = delete;
  bool Acquired() const { return acquired_; }

 private:
  bool used_ = false;
  bool acquired_ = true;
};

// Start-up and exit steps of the lock (switch on only).
void DeviceLockStartup();
void DeviceLockShutdown();
