// The daily log file: one line per call, opened, appended and closed each time.
#include "log/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/env.h"
#include "platform/fs.h"
#include "platform/module.h"
#include "platform/os_error.h"
#include "platform/time.h"

std::atomic<int> g_bLogEnabled{1};
char g_szLogFile[512] = {0};

namespace {

constexpr size_t kMaxMessage = 4096;        // characters of one message
constexpr int64_t kMaxFileSize = 204800;    // a bigger file is started afresh
constexpr int kRetentionDays = 5;
constexpr uint32_t kPausePerLineMs = 20;  // the default pause after each line
constexpr size_t kHexDumpLimit = 1024;
constexpr size_t kHexDumpHalf = 510;

// g_szLogFile is rewritten by every line of every thread; the lock keeps a reader of
// the path from seeing half of it.
std::mutex& PathLock() {
  static std::mutex lock;
  return lock;
}

// The file steps of one line (size check, removal, append) run under this lock, so that
// a line of one thread is never appended to a file another thread is removing.
std::mutex& FileLock() {
  static std::mutex lock;
  return lock;
}

// The pause after each line: RV270_LOG_PAUSE_MS (0 to 20) when set to such a number,
// otherwise 20 ms. Read once, when the library is loaded.
uint32_t ReadLinePause() {
  const std::string text = platform::GetEnv("RV270_LOG_PAUSE_MS");
  if (text.empty() || text.size() > 2) return kPausePerLineMs;
  uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return kPausePerLineMs;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  return value <= kPausePerLineMs ? value : kPausePerLineMs;
}

std::atomic<uint32_t> g_linePauseMs{ReadLinePause()};
thread_local bool t_linePauseOff = false;

const char* LevelName(char level) {
  switch (level) {
    case 'E': return "ERROR";
    case 'W': return "WARN ";
    case 'I': return "INFO ";
    case 'T': return "TRACE";
    default: return "DEBUG";
  }
}

std::string LogFolder() {
  const char sep = platform::PathSeparator();
  return platform::ModuleFolder() + sep + "LogOfRV270" + sep;
}

}  // namespace

void CopyLogPath(char* out, size_t capacity, size_t* length) {
  std::lock_guard<std::mutex> guard(PathLock());
  size_t n = strnlen(g_szLogFile, sizeof(g_szLogFile));
  if (n > capacity) n = capacity;
  memcpy(out, g_szLogFile, n);
  *length = n;
}

namespace {

void WriteLine(char level, const char* format, va_list args) {
  if (format == nullptr) return;
  const platform::LocalTime now = platform::Now();
  if (strlen(format) > kMaxMessage + 1) return;

  char message[kMaxMessage + 1] = {0};
  vsnprintf(message, sizeof(message), format, args);

  const std::string folder = LogFolder();
  if (!platform::IsDirectory(folder)) platform::MakeDirectory(folder);

  char name[64];
  snprintf(name, sizeof(name), "DEVICD_KPL_%04d%02d%02d.log", now.year, now.month, now.day);
  const std::string path = folder + name;
  {
    std::lock_guard<std::mutex> guard(PathLock());
    memset(g_szLogFile, 0, sizeof(g_szLogFile));
    snprintf(g_szLogFile, sizeof(g_szLogFile), "%s", path.c_str());
  }

  {
    std::lock_guard<std::mutex> guard(FileLock());
    if (!platform::PathExists(path)) {
      DeleteOutdatedFiles(folder.c_str(), kRetentionDays);
    } else if (platform::FileSize(path) > kMaxFileSize) {
      platform::RemoveFile(path);
    }

    FILE* file = fopen(path.c_str(), "ab+");
    if (!file) return;
    fprintf(file, "[%02d/%02d %02d:%02d:%02d]%s: %s\r\n", now.month, now.day, now.hour, now.minute,
            now.second, LevelName(level), message);
    fclose(file);
  }
  const uint32_t pause = g_linePauseMs.load();
  if (pause && !t_linePauseOff) platform::PauseMs(pause);
}

}  // namespace

void WriteLog(char level, const char* format, ...) {
  if (g_bLogEnabled.load() == 0) return;
  va_list args;
  va_start(args, format);
  WriteLine(level, format, args);
  va_end(args);
}

void WriteLogAlways(char level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  WriteLine(level, format, args);
  va_end(args);
}

LinePauseOff::LinePauseOff() : before_(t_linePauseOff) { t_linePauseOff = true; }

LinePauseOff::~LinePauseOff() { t_linePauseOff = before_; }

uint32_t LogLinePauseMs() { return g_linePauseMs.load(); }

void SetLogLinePauseMs(uint32_t ms) { g_linePauseMs = ms <= kPausePerLineMs ? ms : kPausePerLineMs; }

void WriteOsErrorLine(char level) {
  const int code = platform::TakeOsError();
  if (code == 0) return;
  const std::string text = platform::OsErrorText(code);
  WriteLog(level, "os error %d: %s", code, text.c_str());
}

void ClearOsErrorLine() { platform::ClearOsError(); }

namespace {

// The dump of WriteHexLog, the bytes written as "%02X " or, masked, as "** ".
void HexDump(const void* data, size_t length, char level, const char* title, bool masked) {
  if (g_bLogEnabled == 0) return;
  const auto* bytes = static_cast<const uint8_t*>(data);
  std::vector<uint8_t> shown;
  if (bytes && length > kHexDumpLimit) {
    shown.assign(bytes, bytes + kHexDumpHalf);
    shown.insert(shown.end(), 4, 0x2E);
    shown.insert(shown.end(), bytes + length - kHexDumpHalf, bytes + length);
  } else if (bytes) {
    shown.assign(bytes, bytes + length);
  }
  std::string dump;
  if (!shown.empty()) dump = "\r\n";
  char hex[4];
  for (size_t i = 0; i < shown.size(); ++i) {
    snprintf(hex, sizeof(hex), "%02X ", shown[i]);
    dump += masked && !(bytes && length > kHexDumpLimit && i >= kHexDumpHalf && i < kHexDumpHalf + 4) ? "** " : hex;
    if ((i + 1) % 18 == 0) dump += "\r\n";
  }
  WriteLog(level, "%s%s", title ? title : "", dump.c_str());
}

}  // namespace

void WriteHexLog(const void* data, size_t length, char level, const char* title) {
  HexDump(data, length, level, title, false);
}

void WriteMaskedHexLog(size_t length, char level, const char* title) {
  // Only the shape is written: zero bytes of the same length stand in for the data.
  std::vector<uint8_t> zeros(length > 0 ? length : 1, 0);
  HexDump(zeros.data(), length, level, title, true);
}

int DeleteOutdatedFiles(const char* folder, int days) {
  std::vector<platform::DirEntry> entries;
  if (!platform::ListFolder(folder, entries)) return -2;
  std::string base = folder;
  const char sep = platform::PathSeparator();
  if (!base.empty() && base.back() != sep && base.back() != '/') base += sep;
  const int64_t now = platform::UnixNow();
  for (const platform::DirEntry& e : entries) {
    if (e.isDirectory) {
      if (!e.name.empty() && e.name[0] != '.') DeleteOutdatedFiles((base + e.name).c_str(), days);
      continue;
    }
    const int64_t age = (now - e.lastWriteUnix) / 86400;
    if (age >= days) platform::RemoveFile(base + e.name);
  }
  return 0;
}

int AppendToFile(const char* path, const void* data, size_t length) {
  FILE* file = fopen(path, "ab+");
  if (!file) {
    int err = platform::LastOsError();
    return err > 0 ? err : 1;
  }
  if (length) fwrite(data, 1, length, file);
  fclose(file);
  return 0;
}

long long FileSizeOf(const char* path) { return platform::FileSize(path); }
