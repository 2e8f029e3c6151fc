// Windows services: clock, files and folders, the module file and its resources, the
// process environment.
#include <windows.h>
#include <shlwapi.h>

#include <cstring>

#include "platform/env.h"
#include "platform/fs.h"
#include "platform/os_error.h"
#include "platform/module.h"
#include "platform/time.h"

namespace platform {

uint32_t TickMs() { return static_cast<uint32_t>(GetTickCount()); }

void SleepMs(uint32_t ms) { Sleep(ms); }

LocalTime Now() {
  SYSTEMTIME st;
  GetLocalTime(&st);
  return LocalTime{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond};
}

namespace {
// 100 ns intervals between 1601-01-01 and 1970-01-01.
constexpr int64_t kEpochDelta = 116444736000000000LL;

int64_t FileTimeToUnix(const FILETIME& ft) {
  SYSTEMTIME st;
  // Times before 1900 count as time zero.
  if (!FileTimeToSystemTime(&ft, &st) || st.wYear < 1900) return 0;
  int64_t ticks = (static_cast<int64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return (ticks - kEpochDelta) / 10000000LL;
}

HMODULE ThisModule() {
  HMODULE module = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&ThisModule), &module);
  return module;
}
}  // namespace

int64_t UnixNow() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  int64_t ticks = (static_cast<int64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return (ticks - kEpochDelta) / 10000000LL;
}

char PathSeparator() { return '\\'; }

bool PathExists(const std::string& path) { return PathFileExistsA(path.c_str()) != FALSE; }

bool IsDirectory(const std::string& path) { return PathIsDirectoryA(path.c_str()) != FALSE; }

bool MakeDirectory(const std::string& path) { return CreateDirectoryA(path.c_str(), nullptr) != FALSE; }

bool RemoveFile(const std::string& path) { return DeleteFileA(path.c_str()) != FALSE; }

int64_t FileSize(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return -1;
  return (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool ListFolder(const std::string& folder, std::vector<DirEntry>& out) {
  std::string pattern = folder;
  if (!pattern.empty() && pattern.back() != '\\' && pattern.back() != '/') pattern += '\\';
  pattern += "*.*";
  WIN32_FIND_DATAA fd;
  HANDLE find = FindFirstFileA(pattern.c_str(), &fd);
  if (find == INVALID_HANDLE_VALUE) return false;
  do {
    out.push_back(DirEntry{fd.cFileName, (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
                           FileTimeToUnix(fd.ftLastWriteTime)});
  } while (FindNextFileA(find, &fd));
  FindClose(find);
  return true;
}

int LastOsError() { return static_cast<int>(GetLastError()); }

std::string OsErrorText(int code) {
  char text[512] = {0};
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                 static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text,
                                 sizeof(text) - 1, nullptr);
  std::string result(text, n < sizeof(text) ? n : 0);
  while (!result.empty() && (result.back() == '\r' || result.back() == '\n' || result.back() == ' ')) {
    result.pop_back();
  }
  return result;
}

std::string ModulePath() {
  char path[MAX_PATH + 1] = {0};
  DWORD n = GetModuleFileNameA(ThisModule(), path, MAX_PATH);
  return std::string(path, n);
}

std::string ModuleFolder() {
  std::string path = ModulePath();
  size_t cut = path.find_last_of("\\/");
  return cut == std::string::npos ? std::string(".") : path.substr(0, cut);
}

bool ModuleFileVersion(int version[4]) {
  std::string path = ModulePath();
  DWORD handle = 0;
  DWORD size = GetFileVersionInfoSizeA(path.c_str(), &handle);
  if (size == 0 || size > 8192) return false;
  char info[8192];
  if (!GetFileVersionInfoA(path.c_str(), 0, size, info)) return false;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT fixedLen = 0;
  if (!VerQueryValueA(info, "\\", reinterpret_cast<void**>(&fixed), &fixedLen) || !fixed) return false;
  version[0] = HIWORD(fixed->dwFileVersionMS);
  version[1] = LOWORD(fixed->dwFileVersionMS);
  version[2] = HIWORD(fixed->dwFileVersionLS);
  version[3] = LOWORD(fixed->dwFileVersionLS);
  return true;
}

#ifdef RV270_STATIC_CORE
namespace {
const unsigned char kHistoryText[] = {
#include "history_text.inc"
};
}  // namespace
#endif

bool ModuleHistoryText(std::string& out) {
  HMODULE module = ThisModule();
  HRSRC res = FindResourceA(module, MAKEINTRESOURCEA(6002), "TXT");
#ifdef RV270_STATIC_CORE
  if (!res) {
    // Linked into a program: the text resource belongs to the DLL build only.
    out.assign(reinterpret_cast<const char*>(kHistoryText), sizeof(kHistoryText));
    return true;
  }
#endif
  if (!res) return false;
  DWORD size = SizeofResource(module, res);
  HGLOBAL loaded = LoadResource(module, res);
  const void* bytes = loaded ? LockResource(loaded) : nullptr;
  if (!bytes) return false;
  out.assign(static_cast<const char*>(bytes), size);
  return true;
}

#ifdef RV270_STATIC_CORE
// Linked statically into a program: start with the program.
namespace {
__attribute__((constructor)) void ModuleLoaded() { OnModuleLoad(); }
__attribute__((destructor)) void ModuleUnloaded() { OnModuleUnload(); }
}  // namespace
#endif

std::string GetEnv(const char* name) {
  char small[512];
  DWORD n = GetEnvironmentVariableA(name, small, sizeof(small));
  if (n == 0) return std::string();
  if (n < sizeof(small)) return std::string(small, n);
  std::string big(n, '\0');
  DWORD m = GetEnvironmentVariableA(name, &big[0], n);
  big.resize(m < n ? m : 0);
  return big;
}

void SetEnv(const char* name, const char* value) { SetEnvironmentVariableA(name, value); }

}  // namespace platform

#ifndef RV270_STATIC_CORE
// The loader's entry point of the DLL (declared here: no system header declares it).
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved);
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    platform::OnModuleLoad();
  } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
    // Only on FreeLibrary: at process exit other threads are already gone.
    platform::OnModuleUnload();
  }
  return TRUE;
}
#endif
