// The command table and the families of built-in handlers. A new family adds a
// cmd_<family>.cpp with a Register...Commands function and one line in commands.cpp.
#pragma once
#include <cstdint>
#include <map>
#include <string>

#include "rv270sim/simulator.h"

namespace rv270sim {

struct CommandInfo {
  CommandHandler handler;
  CommandKind kind = CommandKind::kPlain;
};

class CommandTable {
 public:
  void Add(uint8_t cls, uint8_t cmd, CommandHandler handler, CommandKind kind = CommandKind::kPlain);
  const CommandInfo* Find(uint8_t cls, uint8_t cmd) const;

 private:
  std::map<uint16_t, CommandInfo> map_;
};

void RegisterBuiltInCommands(CommandTable& table);

void RegisterDeviceCommands(CommandTable& table);  // cmd_device.cpp
void RegisterScreenCommands(CommandTable& table);  // cmd_screen.cpp
void RegisterMediaCommands(CommandTable& table);   // cmd_media.cpp
void RegisterFileCommands(CommandTable& table);    // cmd_file.cpp
void RegisterFactoryCommands(CommandTable& table); // cmd_factory.cpp
void RegisterCipherCommands(CommandTable& table);  // cmd_cipher.cpp
void RegisterPinpadCommands(CommandTable& table);  // cmd_pinpad.cpp
void RegisterOperatorCommands(CommandTable& table);  // cmd_operator.cpp
void RegisterEvaluateCommands(CommandTable& table);  // cmd_evaluate.cpp
void RegisterSignCommands(CommandTable& table);  // cmd_sign.cpp

// Reads the fields of a request payload after its two command bytes. Every read is
// bounded by the payload; a read past its end fails and leaves the reader failed.
class FieldReader {
 public:
  explicit FieldReader(const Request& request) : p_(request.payload), at_(2) {}
  bool U8(int& out);
  bool U16(int& out);  // big-endian
  bool U32(uint32_t& out);
  bool Text(size_t length, std::string& out);
  bool Rest(std::string& out) { return Text(p_.size() > at_ ? p_.size() - at_ : 0, out); }
  bool End() const { return ok_ && at_ == p_.size(); }

 private:
  bool Need(size_t n);
  const Bytes& p_;
  size_t at_;
  bool ok_ = true;
};

// A request whose fields do not add up: counted in the state, answered 0x00 0x05.
Answer Malformed(DeviceState& state);
// The scripted customer's answer to a waiting command.
Answer CustomerAnswer(const DeviceState& state);

// A stored file that keeps `content` (cmd_file.cpp).
// A signing starts (the signature screen in signature mode): the previous signature
// goes; when the scripted customer completes it, a fresh one is stored (cmd_sign.cpp).
void CaptureSignature(DeviceState& state);
// The main screen was cleared: an open signature pad closes (cmd_sign.cpp).
void CloseSignaturePad(DeviceState& state);

}  // namespace rv270sim
