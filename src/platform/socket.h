// TCP streams on the local machine: the transport of the simulated terminal's HID link,
// and the listening side that tests use to stand in for a simulator.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// A connected TCP stream, closed by the destructor. Non-blocking underneath: every wait
// happens in WaitReadable (in the kernel, no polling loop). Not thread-safe.
// A stream from ConnectTcp closes gracefully: it ends its sending and drops what still
// arrives until the peer closes too (at most 500 ms), so that the peer never sees a reset
// that could cost it the last bytes sent.
class TcpStream {
 public:
  virtual ~TcpStream() = default;

  // Sends every byte. A peer that takes nothing for `stallMs` counts as a failure.
  // False on failure (the stream is then unusable).
  virtual bool SendAll(const uint8_t* data, size_t length, uint32_t stallMs = 2000) = 0;

  // Waits up to waitMs until bytes (or the end of the stream) can be read.
  // 1 readable, 0 time is up, -1 failure.
  virtual int WaitReadable(uint32_t waitMs) = 0;

  // Takes up to `capacity` bytes that have arrived, without waiting. The number taken,
  // 0 when nothing has arrived, -1 when the peer closed the stream or it failed.
  virtual int Receive(uint8_t* out, size_t capacity) = 0;
};

// Send buffer of the streams ConnectTcp makes.
constexpr int kSendBuffer = 16384;

// Connects to "HOST:PORT" (a numeric address or a host name, then a decimal port),
// giving up after connectMs. nullptr when the text is malformed or the connection
// cannot be made.
std::unique_ptr<TcpStream> ConnectTcp(const std::string& hostPort, uint32_t connectMs);

// A listening socket on 127.0.0.1 with a port the system picks.
class TcpListener {
 public:
  virtual ~TcpListener() = default;
  // "127.0.0.1:PORT", the text that ConnectTcp takes.
  virtual std::string Address() const = 0;
  // Waits up to waitMs for the next connection. nullptr when none came or accepting failed.
  virtual std::unique_ptr<TcpStream> Accept(uint32_t waitMs) = 0;
};

// nullptr when no listening socket can be made.
std::unique_ptr<TcpListener> ListenTcpLoopback();

// Splits "HOST:PORT" at its last colon. False when either part is missing, the host is
// longer than 255 characters, or the port is not a number from 1 to 65535.
bool SplitHostPort(const std::string& hostPort, std::string& host, uint16_t& port);

}  // namespace platform
