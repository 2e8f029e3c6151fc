// The operating-system services the simulator uses, one implementation per platform
// (posix/os_posix.cpp, win32/os_win32.cpp). Nothing else in the simulator includes an
// OS header.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "rv270sim/types.h"

namespace rv270sim {
namespace os {

using Socket = std::intptr_t;
constexpr Socket kNoSocket = -1;

// Listening socket on 127.0.0.1:port (0: ephemeral); the bound port in `bound`.
// Receive buffer of the simulator's sockets.
constexpr int kReceiveWindow = 32768;
Socket ListenLoopback(uint16_t port, uint16_t& bound, std::string& error);
Socket AcceptClient(Socket listener);
Socket ConnectLoopback(uint16_t port);
// >0 bytes received, 0 the peer closed, -1 failure. Call only when readable.
int ReceiveSome(Socket s, uint8_t* buffer, size_t size);
// Sends everything; gives up (false) after a few seconds without progress.
bool SendAll(Socket s, const uint8_t* data, size_t length);
void CloseSocket(Socket s);
// Ends the sending direction (the peer reads the end of the stream); receiving goes on.
void ShutdownSend(Socket s);
// Waits up to waitMs until one of `sockets` can be read (or has closed); ready[i] tells
// which. Returns the number ready, 0 on time-out, -1 on failure.
int WaitReadable(const std::vector<Socket>& sockets, int waitMs, std::vector<char>& ready);

// One end of a serial line.
class SerialEndpoint {
 public:
  virtual ~SerialEndpoint() = default;
  // Bytes that arrive within waitMs: >0 count, 0 none, -1 failure.
  virtual int Read(uint8_t* buffer, size_t size, int waitMs) = 0;
  virtual bool Write(const uint8_t* data, size_t length) = 0;
  // The line settings of the far end, where the platform can see them.
  virtual bool LineSettings(SerialSettings& out) = 0;
  // The path the far end opens (pty slave), or the name this end opened.
  virtual std::string Path() const = 0;
};

// The simulator's end: empty name: a new pseudo-terminal (Linux only); otherwise the
// named port or tty.
std::unique_ptr<SerialEndpoint> OpenSimulatorSerial(const std::string& name, std::string& error);
// A client's end (tests): a tty path or COM port name, set to baud, 8N1, raw.
std::unique_ptr<SerialEndpoint> OpenClientSerial(const std::string& name, int baud, std::string& error);

void SetEnv(const std::string& name, const std::string& value);
std::string GetEnv(const std::string& name);
bool UsesPseudoTerminals();

}  // namespace os
}  // namespace rv270sim
