#include "api/app.h"

#include <cstdio>

#include "api/frame.h"
#include "link/device_search.h"
#include "link/process_state.h"
#include "link/usbhid_link.h"
#include "log/log.h"
#include "platform/module.h"
#include "protocol/device_lock.h"

std::string GetFileVersionString() {
  int v[4] = {0, 0, 0, 0};
  if (!platform::ModuleFileVersion(v)) return "1.9.9.9";
  char text[64];
  snprintf(text, sizeof(text), "%d.%d.%d.%d", v[0], v[1], v[2], v[3]);
  return text;
}

int CQornRV270APIApp::InitInstance() {
  WriteLog('I', "**********************%s***************************", GetFileVersionString().c_str());
  DeviceLockStartup();
  char pid[10] = {0};
  char vid[10] = {0};
  if (SearchPidVid(pid, vid) > 0) {
    g_nPid = IdTextToNumber(pid);
    g_nVid = IdTextToNumber(vid);
  }
  return 1;
}

int CQornRV270APIApp::ExitInstance() {
  api::CancelWaits();
  DeviceLockShutdown();
  return 0;
}

namespace {
// Built on first use and never destroyed: the unload hook may run after the static
// objects of the module are gone, and must still find the application object.
CQornRV270APIApp& TheApp() {
  static CQornRV270APIApp* app = new CQornRV270APIApp();
  return *app;
}
}  // namespace

namespace platform {
void OnModuleLoad() {
  try {
    TheApp().InitInstance();
  } catch (...) {
  }
}
void OnModuleUnload() {
  try {
    TheApp().ExitInstance();
  } catch (...) {
  }
}
}  // namespace platform
