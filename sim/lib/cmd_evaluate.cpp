// Teller information and evaluation (class 0x50): the teller card, the evaluation page,
// the electronic badge, the customer's evaluation and the rating read back.
//
// The scripted customer (DeviceState::customerAnswer, customerDelayMs) rates the teller:
// the evaluation answers customerAnswer (status bytes, then the rating in byte 2) after
// customerDelayMs, or 0xAA 0x00 when the terminal's own timeout runs out first. A rating
// given is kept in values["rating"] (decimal) and read back by 0x50 0x5D.
#include <cstdlib>
#include <string>

#include "commands.h"

namespace rv270sim {
namespace {

constexpr const char* kTellerCard = "tellerCard";
constexpr const char* kEvaluatePage = "evaluatePage";
constexpr const char* kRating = "rating";
constexpr const char* kBadge = "badge";
constexpr const char* kEvaluateMode = "evaluateMode";  // mode byte of the latest evaluation, decimal
constexpr const char* kVocFlag = "evaluateVocFlag";    // flag byte of the latest 0x50 0x5D, decimal

// 0x50 0x90: the card text "number#name#stars#photo".
Answer TellerCard(const Request& r, DeviceState& s) {
  FieldReader f(r);
  std::string card;
  f.Rest(card);
  s.values[kTellerCard] = card;
  return Answer::Done();
}

// 0x50 0x91: the page name and its terminating zero.
Answer EvaluatePage(const Request& r, DeviceState& s) {
  FieldReader f(r);
  std::string page;
  f.Rest(page);
  if (page.empty() || page.back() != '\0') return Malformed(s);
  page.pop_back();
  s.values[kEvaluatePage] = page;
  return Answer::Done();
}

// 0x50 0x92: timeout(1) in seconds, mode(1).
Answer Evaluate(const Request& r, DeviceState& s) {
  FieldReader f(r);
  int timeout = 0, mode = 0;
  if (!(f.U8(timeout) && f.U8(mode) && f.End())) return Malformed(s);
  s.screen.lastTimeout = timeout;
  s.values[kEvaluateMode] = std::to_string(mode);
  if (s.customerDelayMs > timeout * 1000) return Answer::Status(0xAA, 0x00, timeout * 1000);
  const Bytes& given = s.customerAnswer;
  if (given.size() >= 3 && given[0] == 0x00 && given[1] == 0x00) s.values[kRating] = std::to_string(given[2]);
  return CustomerAnswer(s);
}

// 0x50 0x93: timeout(1) in seconds.
Answer Badge(const Request& r, DeviceState& s) {
  FieldReader f(r);
  int timeout = 0;
  if (!(f.U8(timeout) && f.End())) return Malformed(s);
  s.screen.lastTimeout = timeout;
  s.values[kBadge] = "shown";
  return Answer::Done();
}

// 0x50 0x5D: voice flag(1), timeout(2); answers the latest rating (0 before any).
Answer ReadRating(const Request& r, DeviceState& s) {
  FieldReader f(r);
  int flag = 0, timeout = 0;
  if (!(f.U8(flag) && f.U16(timeout) && f.End())) return Malformed(s);
  s.screen.lastTimeout = timeout;
  s.values[kVocFlag] = std::to_string(flag);
  auto it = s.values.find(kRating);
  const int rating = it == s.values.end() ? 0 : atoi(it->second.c_str());
  return Answer::Done(Bytes{static_cast<uint8_t>(rating)});
}

}  // namespace

void RegisterEvaluateCommands(CommandTable& t) {
  t.Add(0x50, 0x90, TellerCard);
  t.Add(0x50, 0x91, EvaluatePage);
  t.Add(0x50, 0x92, Evaluate, CommandKind::kWaits);
  t.Add(0x50, 0x93, Badge);
  t.Add(0x50, 0x5D, ReadRating);
}

}  // namespace rv270sim
