#include <algorithm>
#include "rv270sim/simulator.h"

namespace rv270sim {

const char* LinkName(Link link) { return link == Link::kUsb ? "usb" : "serial"; }

Answer Answer::Of(Bytes payload, int delayMs) {
  Answer a;
  a.payload = std::move(payload);
  a.delayMs = delayMs;
  return a;
}

Answer Answer::Status(uint8_t s0, uint8_t s1, int delayMs) { return Of(Bytes{s0, s1}, delayMs); }

Answer Answer::None() {
  Answer a;
  a.silent = true;
  return a;
}

Answer Answer::Handler(int extraDelayMs) {
  Answer a;
  a.fromHandler = true;
  a.delayMs = extraDelayMs;
  return a;
}

Answer Answer::Done(const Bytes& data) {
  Bytes payload{0x00, 0x00};
  payload.insert(payload.end(), data.begin(), data.end());
  return Of(std::move(payload));
}

Answer Answer::Done(const std::string& text) { return Done(Bytes(text.begin(), text.end())); }

std::vector<Bytes> KeyChunks(const std::string& keys) {
  std::vector<Bytes> chunks;
  for (char k : keys) chunks.push_back(Bytes{static_cast<uint8_t>(k)});
  return chunks;
}

Bytes FramedKeyChunk(const std::string& text) {
  Bytes chunk(text.size() + 2);
  chunk.front() = kStx;
  std::copy(text.begin(), text.end(), chunk.begin() + 1);
  chunk.back() = kEtx;
  return chunk;
}

}  // namespace rv270sim
