// Helpers of the PIN-pad and operator tests: answers the library reads as a broken link,
// outcome rows of one export, and searches of the log for a secret.
#pragma once
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "QornRV270API.h"
#include "support/outcome_rows.h"
#include "support/sim_fixture.h"

namespace pinpadtest {

using rv270sim::Answer;
using rv270sim::Bytes;
using rv270test::B;
using rv270test::Str;
using rv270test::operator+;

// An answer packet with neither marker right: a negative exchange result on both links
// at once (no time-out to wait for).
inline Answer Broken() {
  Answer a = Answer::Status(0x00, 0x00);
  a.faults.badStx = true;
  a.faults.badEtx = true;
  return a;
}

// One scripted answer and what the export makes of it.
struct Outcome {
  Answer answer;
  int ret;
  int error;
  std::string line;  // a log line that must appear ("" for none)
};

// The hexadecimal text of a text's bytes, as a log dump would show them.
inline std::string HexOf(const std::string& text) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    out += kDigits[c >> 4];
    out += kDigits[c & 0x0F];
  }
  return out;
}

// A call refused before anything is sent, and its line (level E).
struct Refused {
  std::function<int()> call;
  std::string line;
};

// A fixture that runs an export against a list of scripted answers.
class OutcomeTest : public rv270test::SimLinkTest {
 protected:
  void ExpectOutcomes(const std::string& name, const std::function<int(int)>& call,
                      const std::vector<Outcome>& outcomes) {
    for (const Outcome& o : outcomes) {
      SCOPED_TRACE(name + " answer " + rv270test::Hex(o.answer.payload));
      sim.ScriptNext(o.answer);
      const size_t from = LogLines().size();
      EXPECT_EQ(o.ret, call(Port()));
      EXPECT_EQ(o.error, RV270Api_GetErrorCode());
      if (!o.line.empty()) {
        EXPECT_GE(LogFind(o.line, from), 0) << o.line;
      }
      sim.ClearScripts();
    }
  }
  // Each call returns `ret` with last error 100 and logs its line (level E).
  void ExpectRefused(const std::vector<Refused>& cases, int ret) {
    for (const Refused& c : cases) {
      SCOPED_TRACE(c.line);
      EXPECT_EQ(ret, c.call());
      EXPECT_EQ(100, RV270Api_GetErrorCode());
      EXPECT_TRUE(LogHas("ERROR: " + c.line));
    }
  }
  // The latest request payload the simulator got.
  Bytes LastRequest() const {
    const auto requests = sim.Requests();
    return requests.empty() ? Bytes() : requests.back().payload;
  }
};

}  // namespace pinpadtest
