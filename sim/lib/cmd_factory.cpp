// Production test commands (class 0x10): the serial number kept by the terminal and the
// hardware tests it runs on its own. A test is answered done at once; tests that need it
// to take time or stay silent script that answer (Simulator::ScriptNext).
#include <string>

#include "commands.h"

namespace rv270sim {
namespace {

constexpr const char* kSerialNumber = "factory.serialnumber";
constexpr const char* kLastTest = "factory.lastTest";      // command byte of the latest test, decimal
constexpr const char* kKeytest = "factory.keytest";        // "timeout,testtype" of the latest key test

// 0x10 0xB0: N(1) serial number.
Answer SetSerialNumber(const Request& r, DeviceState& s) {
  FieldReader f(r);
  int length = 0;
  std::string number;
  if (!(f.U8(length) && f.Text(static_cast<size_t>(length), number) && f.End())) return Malformed(s);
  s.values[kSerialNumber] = number;
  return Answer::Done();
}

// 0x10 0xB1: L(1) serial number; the command echoed when none is stored.
Answer GetSerialNumber(const Request& r, DeviceState& s) {
  FieldReader f(r);
  if (!f.End()) return Malformed(s);
  auto it = s.values.find(kSerialNumber);
  if (it == s.values.end()) return Answer::Of(Bytes{0x10, 0xB1});
  return Answer::Done(std::string(1, static_cast<char>(it->second.size())) + it->second);
}

Answer ClearSerialNumber(const Request& r, DeviceState& s) {
  FieldReader f(r);
  if (!f.End()) return Malformed(s);
  s.values.erase(kSerialNumber);
  return Answer::Done();
}

// 0x10 0x81, 0x82, 0xC0: a test without fields.
Answer HardwareTest(const Request& r, DeviceState& s) {
  FieldReader f(r);
  if (!f.End()) return Malformed(s);
  s.values[kLastTest] = std::to_string(r.Command());
  return Answer::Done();
}

// 0x10 0x9A: timeout(1) in seconds, test type(1) 1 or 2.
Answer KeyTest(const Request& r, DeviceState& s) {
  FieldReader f(r);
  int timeout = 0, type = 0;
  if (!(f.U8(timeout) && f.U8(type) && f.End()) || (type != 1 && type != 2)) return Malformed(s);
  s.values[kLastTest] = std::to_string(r.Command());
  s.values[kKeytest] = std::to_string(timeout) + "," + std::to_string(type);
  return Answer::Done();
}

}  // namespace

void RegisterFactoryCommands(CommandTable& t) {
  t.Add(0x10, 0xB0, SetSerialNumber);
  t.Add(0x10, 0xB1, GetSerialNumber);
  t.Add(0x10, 0xB2, ClearSerialNumber);
  t.Add(0x10, 0x81, HardwareTest);
  t.Add(0x10, 0x82, HardwareTest);
  t.Add(0x10, 0xC0, HardwareTest);
  t.Add(0x10, 0x9A, KeyTest);
}

}  // namespace rv270sim
