// Helpers of the family tests: byte building, hexadecimal text, log-line matching, and a
// fixture that runs an export once per scripted answer and checks its outcome row.
#pragma once
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "QornRV270API.h"
#include "support/sim_fixture.h"

namespace rv270test {

using rv270sim::Bytes;

inline Bytes B(std::initializer_list<uint8_t> bytes) { return Bytes(bytes); }
inline Bytes Str(const std::string& text) { return Bytes(text.begin(), text.end()); }
inline Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

inline std::string Hex(const Bytes& bytes) {
  std::string out;
  char cell[4];
  for (uint8_t b : bytes) {
    snprintf(cell, sizeof(cell), "%02X ", b);
    out += cell;
  }
  return out;
}

// The log line of a level, as the file holds it after the time stamp.
inline std::string Logged(char level, const std::string& line) {
  return std::string(level == 'E' ? "ERROR" : "INFO ") + ": " + line;
}

// An export called on a port.
using Call = std::function<int(int port)>;

// One outcome row: the scripted answer payload and what the export makes of it.
struct Row {
  Bytes answer;
  int ret;
  int error;
  char level;
  std::string line;
};

class RowTest : public SimTest {
 protected:
  // Runs `call` over USB once per row against the row's scripted answer; `before` runs
  // ahead of each call (for example to set a last error the row must leave alone).
  void ExpectRows(const char* name, const Call& call, const std::vector<Row>& rows,
                  const std::function<void()>& before = {}) {
    for (const Row& row : rows) {
      SCOPED_TRACE(std::string(name) + " answer " + Hex(row.answer));
      sim.ScriptNext(rv270sim::Answer::Of(row.answer));
      if (before) before();
      const size_t from = LogLines().size();
      EXPECT_EQ(call(kUsbPort), row.ret);
      EXPECT_EQ(RV270Api_GetErrorCode(), row.error);
      EXPECT_GE(LogFind(Logged(row.level, row.line), from), 0) << row.line;
      sim.ClearScripts();
    }
  }
};

}  // namespace rv270test
