#include "commands.h"

namespace rv270sim {

void RegisterBuiltInCommands(CommandTable& table) {
  RegisterDeviceCommands(table);
  RegisterScreenCommands(table);
  RegisterMediaCommands(table);
  RegisterFileCommands(table);
  RegisterFactoryCommands(table);
  RegisterCipherCommands(table);
  RegisterPinpadCommands(table);
  RegisterOperatorCommands(table);
  RegisterEvaluateCommands(table);
  RegisterSignCommands(table);
}

void CommandTable::Add(uint8_t cls, uint8_t cmd, CommandHandler handler, CommandKind kind) {
  map_[static_cast<uint16_t>((cls << 8) | cmd)] = CommandInfo{std::move(handler), kind};
}

const CommandInfo* CommandTable::Find(uint8_t cls, uint8_t cmd) const {
  auto it = map_.find(static_cast<uint16_t>((cls << 8) | cmd));
  return it == map_.end() ? nullptr : &it->second;
}

bool FieldReader::Need(size_t n) {
  if (!ok_ || p_.size() < at_ || p_.size() - at_ < n) ok_ = false;
  return ok_;
}

bool FieldReader::U8(int& out) {
  if (!Need(1)) return false;
  out = p_[at_++];
  return true;
}

bool FieldReader::U16(int& out) {
  if (!Need(2)) return false;
  out = (p_[at_] << 8) | p_[at_ + 1];
  at_ += 2;
  return true;
}

bool FieldReader::U32(uint32_t& out) {
  if (!Need(4)) return false;
  out = (static_cast<uint32_t>(p_[at_]) << 24) | (static_cast<uint32_t>(p_[at_ + 1]) << 16) |
        (static_cast<uint32_t>(p_[at_ + 2]) << 8) | p_[at_ + 3];
  at_ += 4;
  return true;
}

bool FieldReader::Text(size_t length, std::string& out) {
  if (!Need(length)) return false;
  out.assign(reinterpret_cast<const char*>(p_.data()) + at_, length);
  at_ += length;
  return true;
}

Answer Malformed(DeviceState& state) {
  ++state.malformedRequests;
  return Answer::Status(0x00, 0x05);
}

Answer CustomerAnswer(const DeviceState& state) {
  return Answer::Of(state.customerAnswer, state.customerDelayMs);
}

}  // namespace rv270sim
