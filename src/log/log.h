// The daily log file "LogOfRV270/DEVICD_KPL_yyyymmdd.log" beside the library file.
// Every failure of the log is silent: logging never affects the caller.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

// Level letters: 'E' ERROR, 'W' WARN, 'I' INFO, 'T' TRACE, anything else DEBUG.
#if defined(__GNUC__)
#define RV270_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define RV270_PRINTF(fmt, args)
#endif

// Appends one line "[MM/DD hh:mm:ss]LEVEL: message\r\n"; the message is cut at 4096
// characters. Each line opens, appends to and closes the file, then pauses 20 ms, or
// the number of ms (0 to 20) that RV270_LOG_PAUSE_MS held when the library was loaded.
// Safe to call from several threads at once.
void WriteLog(char level, const char* format, ...) RV270_PRINTF(2, 3);
// As WriteLog, also while the log is switched off (g_bLogEnabled 0), without touching
// the switch that other threads read.
void WriteLogAlways(char level, const char* format, ...) RV270_PRINTF(2, 3);

// One line: the title, then the data as "%02X " bytes, 18 per text line. Data over
// 1024 bytes is shown as its first 510 bytes, "2E 2E 2E 2E", and its last 510 bytes.
void WriteHexLog(const void* data, size_t length, char level, const char* title);

// As WriteHexLog with every byte written as "**": the line keeps its shape and length
// for payloads that may carry keys or PIN blocks.
void WriteMaskedHexLog(size_t length, char level, const char* title);

// Deletes files of `folder` and its sub-folders whose last write is `days` or more
// whole days back. Returns 0, or -2 when the folder cannot be listed.
int DeleteOutdatedFiles(const char* folder, int days);

// Appends bytes to a file ("ab+"). Returns 0, or the OS error code when it cannot be opened.
int AppendToFile(const char* path, const void* data, size_t length);

// Size of a file in bytes, or -1.
long long FileSizeOf(const char* path);

// 1 when the library is loaded; WriteLog and WriteHexLog do nothing while it is 0.
extern std::atomic<int> g_bLogEnabled;

// The operating system's reason for the device failure just logged: when a platform
// backend kept an error code for the calling thread (an open, read or write that
// failed), writes "os error <code>: <system text>" and forgets the code; otherwise
// nothing. Called right after the line that reports the failure.
void WriteOsErrorLine(char level = 'E');
// Forgets a kept code (at the start of a dialogue, so an old one is not reported).
void ClearOsErrorLine();

// While one lives, the lines of the calling thread are written without the pause after
// them: a cancel call must answer at once, and its own lines would otherwise hold it up
// for the pause of each.
class LinePauseOff {
 public:
  LinePauseOff();
  ~LinePauseOff();
  LinePauseOff(const LinePauseOff&) = delete;
  LinePauseOff& operator=(const LinePauseOff&) = delete;

 private:
  bool before_;
};

// The pause after each log line, in ms, as read at load.
uint32_t LogLinePauseMs();
// Replaces it (at most 20): for benchmarks that compare both settings in one run.
void SetLogLinePauseMs(uint32_t ms);
// Full path of the file the latest line went to (512 bytes).
extern char g_szLogFile[512];

// Copies the path of the latest line's file (at most `capacity` bytes, no terminator)
// and stores the number of bytes copied.
void CopyLogPath(char* out, size_t capacity, size_t* length);
