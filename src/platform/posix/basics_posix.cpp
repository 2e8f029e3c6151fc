// Linux services: clock, files and folders, the module file, the environment.
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <system_error>

#include "platform/env.h"
#include "platform/fs.h"
#include "platform/os_error.h"
#include "platform/module.h"
#include "platform/time.h"

namespace platform {

uint32_t TickMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u + ts.tv_nsec / 1000000);
}

void SleepMs(uint32_t ms) {
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

LocalTime Now() {
  time_t t = time(nullptr);
  tm parts{};
  localtime_r(&t, &parts);
  return LocalTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
                   parts.tm_hour, parts.tm_min, parts.tm_sec};
}

int64_t UnixNow() { return static_cast<int64_t>(time(nullptr)); }

char PathSeparator() { return '/'; }

bool PathExists(const std::string& path) {
  struct stat st{};
  return stat(path.c_str(), &st) == 0;
}

bool IsDirectory(const std::string& path) {
  struct stat st{};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool MakeDirectory(const std::string& path) { return mkdir(path.c_str(), 0775) == 0; }

bool RemoveFile(const std::string& path) { return unlink(path.c_str()) == 0; }

int64_t FileSize(const std::string& path) {
  struct stat st{};
  if (stat(path.c_str(), &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

bool ListFolder(const std::string& folder, std::vector<DirEntry>& out) {
  DIR* dir = opendir(folder.c_str());
  if (!dir) return false;
  while (dirent* e = readdir(dir)) {
    DirEntry entry{e->d_name, false, 0};
    struct stat st{};
    std::string full = folder;
    if (!full.empty() && full.back() != '/') full += '/';
    full += e->d_name;
    if (stat(full.c_str(), &st) == 0) {
      entry.isDirectory = S_ISDIR(st.st_mode);
      entry.lastWriteUnix = static_cast<int64_t>(st.st_mtime);
    }
    out.push_back(entry);
  }
  closedir(dir);
  return true;
}

int LastOsError() { return errno; }

std::string OsErrorText(int code) { return std::generic_category().message(code); }

std::string ModulePath() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&ModulePath), &info) && info.dli_fname && info.dli_fname[0]) {
    char resolved[4096];
    if (realpath(info.dli_fname, resolved)) return resolved;
    return info.dli_fname;
  }
  return std::string();
}

std::string ModuleFolder() {
  std::string path = ModulePath();
  size_t cut = path.find_last_of('/');
  return cut == std::string::npos ? std::string(".") : path.substr(0, cut);
}

bool ModuleFileVersion(int version[4]) {
  // A shared object has no version resource: the build stamps the same four numbers.
  version[0] = RV270_VERSION_MAJOR;
  version[1] = RV270_VERSION_MINOR;
  version[2] = RV270_VERSION_PATCH;
  version[3] = RV270_VERSION_TWEAK;
  return true;
}

namespace {
const unsigned char kHistoryText[] = {
#include "history_text.inc"
};
}  // namespace

bool ModuleHistoryText(std::string& out) {
  out.assign(reinterpret_cast<const char*>(kHistoryText), sizeof(kHistoryText));
  return true;
}

namespace {
__attribute__((constructor)) void ModuleLoaded() { OnModuleLoad(); }
__attribute__((destructor)) void ModuleUnloaded() { OnModuleUnload(); }
}  // namespace

std::string GetEnv(const char* name) {
  const char* value = getenv(name);
  return value ? std::string(value) : std::string();
}

void SetEnv(const char* name, const char* value) {
  if (value) setenv(name, value, 1);
  else unsetenv(name);
}

}  // namespace platform
