// Raw clients of the simulator for tests that talk to it without the library: frames
// over TCP as the library's HID transport sends them, and bytes on the serial line.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "rv270sim/codec.h"

namespace rv270sim {

class RawHidClient {
 public:
  RawHidClient();
  ~RawHidClient();
  bool Connect(uint16_t port);  // 127.0.0.1:port
  bool SendFrame(char type, const Bytes& payload);
  // The next whole frame within timeoutMs. False on time-out or a closed connection.
  bool ReadFrame(char& type, Bytes& payload, int timeoutMs = 2000);
  // True when the peer closed the connection within timeoutMs (nothing else arrives).
  bool WaitClosed(int timeoutMs = 2000);
  void Close();

 private:
  struct State;
  std::unique_ptr<State> s_;
};

class RawSerialClient {
 public:
  RawSerialClient();
  ~RawSerialClient();
  // Opens a tty path (Linux, raw mode) or a COM port name (Windows) at `baud`, 8N1.
  bool Open(const std::string& name, int baud = 9600);
  bool Write(const Bytes& bytes);
  // Exactly `count` bytes within timeoutMs; false (with what came in `out`) otherwise.
  bool Read(size_t count, Bytes& out, int timeoutMs = 2000);
  void Close();

 private:
  struct State;
  std::unique_ptr<State> s_;
};

}  // namespace rv270sim
