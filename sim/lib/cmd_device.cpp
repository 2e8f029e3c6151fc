// Device information and configuration: status, identity texts, the device's serial
// rate, reset and version control (class 0x50).
#include "commands.h"

namespace rv270sim {
namespace {

bool IsDecimalText(const std::string& t) {
  size_t i = (!t.empty() && t[0] == '-') ? 1 : 0;
  if (i >= t.size()) return false;
  for (; i < t.size(); ++i) {
    if (t[i] < '0' || t[i] > '9') return false;
  }
  return true;
}

// A command without fields that answers a text of the state.
CommandHandler TextQuery(std::string DeviceState::*field) {
  return [field](const Request& r, DeviceState& s) {
    FieldReader f(r);
    if (!f.End()) return Malformed(s);
    return Answer::Done(s.*field);
  };
}

Answer Status(const Request& r, DeviceState& s) {
  FieldReader f(r);
  return f.End() ? Answer::Done() : Malformed(s);
}

// The serial rates the terminal's line runs at.
constexpr const char* kLineRates[] = {"1200", "2400", "4800", "9600", "19200", "38400", "57600", "115200"};

bool IsLineRate(const std::string& text) {
  for (const char* rate : kLineRates) {
    if (text == rate) return true;
  }
  return false;
}

// 0x50 0x0A: with a decimal text the device takes it as its serial rate; without a
// field it is the probe that changes nothing. A rate the line cannot run at is refused
// with 0x00 0x09 and not stored (the rate read back stays one the line runs at).
Answer SetRate(const Request& r, DeviceState& s) {
  FieldReader f(r);
  std::string text;
  f.Rest(text);
  if (text.empty()) return Answer::Done();
  if (!IsDecimalText(text)) return Malformed(s);
  if (!IsLineRate(text)) return Answer::Status(0x00, 0x09);
  s.serialRate = text;
  return Answer::Done();
}

Answer Reset(const Request& r, DeviceState& s) {
  FieldReader f(r);
  if (!f.End()) return Malformed(s);
  ++s.resets;
  return Answer::Done();
}

Answer VersionControl(const Request& r, DeviceState& s) {
  FieldReader f(r);
  int value = 0;
  if (!f.U8(value) || !f.End()) return Malformed(s);
  s.versionControl = value;
  return Answer::Done();
}

}  // namespace

void RegisterDeviceCommands(CommandTable& t) {
  t.Add(0x50, 0x01, Status);
  t.Add(0x50, 0x03, TextQuery(&DeviceState::deviceInfo));
  t.Add(0x50, 0x0A, SetRate);
  t.Add(0x50, 0x0B, TextQuery(&DeviceState::serialRate));
  t.Add(0x50, 0x0C, TextQuery(&DeviceState::vendorId));
  t.Add(0x50, 0x0D, TextQuery(&DeviceState::deviceId));
  t.Add(0x50, 0x0E, TextQuery(&DeviceState::version));
  t.Add(0x50, 0x0F, Reset);
  t.Add(0x50, 0xA0, VersionControl);
}

}  // namespace rv270sim
