#include "rv270sim/raw_client.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "os.h"

namespace rv270sim {
namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point end) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
  return ms > 0 ? static_cast<int>(ms) : 0;
}

}  // namespace

struct RawHidClient::State {
  os::Socket sock = os::kNoSocket;
  Bytes rx;
  bool peerClosed = false;

  // Takes what arrives within waitMs. False when the connection closed or failed.
  bool Pull(int waitMs) {
    if (sock == os::kNoSocket || peerClosed) return false;
    std::vector<char> ready;
    if (os::WaitReadable({sock}, waitMs, ready) <= 0) return true;
    uint8_t buffer[4096];
    const int n = os::ReceiveSome(sock, buffer, sizeof(buffer));
    if (n <= 0) {
      peerClosed = true;
      return false;
    }
    rx.insert(rx.end(), buffer, buffer + n);
    return true;
  }
};

RawHidClient::RawHidClient() : s_(new State) {}
RawHidClient::~RawHidClient() { Close(); }

bool RawHidClient::Connect(uint16_t port) {
  Close();
  s_->sock = os::ConnectLoopback(port);
  return s_->sock != os::kNoSocket;
}

bool RawHidClient::SendFrame(char type, const Bytes& payload) {
  if (s_->sock == os::kNoSocket || payload.size() > 0xFFFF) return false;
  Bytes frame{static_cast<uint8_t>(type), static_cast<uint8_t>(payload.size() >> 8),
              static_cast<uint8_t>(payload.size() & 0xFF)};
  frame.insert(frame.end(), payload.begin(), payload.end());
  return os::SendAll(s_->sock, frame.data(), frame.size());
}

bool RawHidClient::ReadFrame(char& type, Bytes& payload, int timeoutMs) {
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    Bytes& rx = s_->rx;
    if (rx.size() >= 3) {
      const size_t n = (static_cast<size_t>(rx[1]) << 8) | rx[2];
      if (rx.size() >= 3 + n) {
        type = static_cast<char>(rx[0]);
        payload.assign(rx.begin() + 3, rx.begin() + 3 + n);
        rx.erase(rx.begin(), rx.begin() + 3 + n);
        return true;
      }
    }
    const int left = MsLeft(end);
    if (left == 0 || !s_->Pull(left)) return false;
  }
}

bool RawHidClient::WaitClosed(int timeoutMs) {
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (s_->Pull(MsLeft(end))) {
    if (MsLeft(end) == 0) return false;
  }
  return s_->peerClosed;
}

void RawHidClient::Close() {
  os::CloseSocket(s_->sock);
  s_->sock = os::kNoSocket;
  s_->rx.clear();
  s_->peerClosed = false;
}

struct RawSerialClient::State {
  std::unique_ptr<os::SerialEndpoint> ep;
};

RawSerialClient::RawSerialClient() : s_(new State) {}
RawSerialClient::~RawSerialClient() = default;

bool RawSerialClient::Open(const std::string& name, int baud) {
  std::string error;
  s_->ep = os::OpenClientSerial(name, baud, error);
  return s_->ep != nullptr;
}

bool RawSerialClient::Write(const Bytes& bytes) { return s_->ep && s_->ep->Write(bytes.data(), bytes.size()); }

bool RawSerialClient::Read(size_t count, Bytes& out, int timeoutMs) {
  out.clear();
  if (!s_->ep) return false;
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  uint8_t buffer[4096];
  while (out.size() < count) {
    const int left = MsLeft(end);
    if (left == 0) return false;
    const size_t want = std::min(sizeof(buffer), count - out.size());
    const int n = s_->ep->Read(buffer, want, left);
    if (n < 0) return false;
    out.insert(out.end(), buffer, buffer + n);
  }
  return true;
}

void RawSerialClient::Close() { s_->ep.reset(); }

}  // namespace rv270sim
