// What rv270 needs from the operating system beyond the library: the encoding of the
// command line, the interrupt keys, and the checks of `doctor` that only the system can
// make (who may open a device node, which serial ports exist). One file per system:
// system_posix.cpp, system_win32.cpp.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace rv270cli {

// The code points of a command-line text (Linux: UTF-8; Windows: the system code page).
// False when the text is not in that encoding.
bool DecodeCommandLine(const std::string& text, std::u32string& out);
// The GBK bytes of one code point. False when GBK has no form for it.
bool GbkOf(char32_t codePoint, std::string& out);
// One code point as it is printed (UTF-8).
std::string PrintableOf(char32_t codePoint);

// True when standard error is a terminal.
bool StderrIsTerminal();

// Calls `onInterrupt` with the interrupt's name ("SIGINT", "SIGTERM"; on Windows
// "CTRL_C_EVENT" and the other console events) on a thread of its own, never inside a
// signal handler, once for each interrupt that arrives after this call. Call it before
// any other thread starts (on POSIX the signals are blocked in every thread and taken by
// a waiting thread).
void WatchInterrupts(void (*onInterrupt)(const char* name));

// The name of the user running the program.
std::string UserName();

// What the system says about one HID device node, found by opening it for reading and
// for writing.
struct NodeAccess {
  bool readable = false;
  bool writable = false;
  std::string owner;  // "root:plugdev 0660"; empty where the system has no such thing
  std::string reason;  // the system's reason when an open failed
  std::string fix;    // what would give this user access; empty when it has it
};
NodeAccess CheckNodeAccess(const std::string& path);

// A serial port of the machine.
struct SerialCandidate {
  std::string path;    // "/dev/ttyUSB0", "\\\\.\\COM3"
  int port = 0;        // the library's port number that reaches it, 0 when none does
  std::string via;     // how that number reaches it: "RV270_COM5", "/dev/ttyS<n-1>", ""
};
std::vector<SerialCandidate> SerialCandidates();
// Why a TCP connection to host:port cannot be made ("" when it can: it is closed again at
// once), waiting at most a second: the simulator's address when it does not answer.
std::string TcpConnectFailure(const std::string& host, uint16_t port);

// Where the library's port n comes from, to follow its device path in a sentence:
// ", from RV270_COM7" or ", as no RV270_COM7 is set" (Linux); "" (Windows).
std::string SerialPathOrigin(int port);
// Opens the port for reading and writing and closes it again at once. "" when it opened,
// otherwise the system's reason; `fix` what would give this user access.
std::string TryOpenSerial(const std::string& path, std::string& fix);

}  // namespace rv270cli
