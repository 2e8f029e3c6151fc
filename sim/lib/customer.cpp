// The customer's side of the waiting commands: which waits a customer answers and how
// they look (for the screen view), and the customer at the screen view's page
// (rv270-sim --customer browser).
//
// A wait whose customer is at the page is held: the command's handler runs at once
// with the customer not yet answered (it takes the screen, refuses what the terminal
// refuses), and the answer that goes out meanwhile is the terminal's own timeout,
// 0xAA 0x00 after the command's timeout field, breakable like any customer wait. When
// the page's customer acts, the handler runs again with the state a scripted customer
// with the same input would have given (customerAnswer, the typed digits in the PIN
// pad's slot for the moment of the run, the drawn strokes) and its answer goes out at
// once instead. The typed digits live in the core alone and are wiped after use.
#include <algorithm>

#include "core.h"

namespace rv270sim {
namespace {

// A customer wait: its command, how it looks, the PIN pad slot a keypad entry fills
// (with the scripted customer's default) and the answer of the page's cancel button
// (empty: there is none).
struct WaitInfo {
  uint8_t cls, cmd;
  const char* kind;
  const char* slot;
  const char* fallback;
  Bytes cancel;
};

const WaitInfo kWaits[] = {
    {0x50, 0x10, "text", nullptr, nullptr, {0x00, 0x01}},
    {0x50, 0x1B, "text", nullptr, nullptr, {0x00, 0x01}},
    {0x50, 0x17, "page", nullptr, nullptr, {0x00, 0x00, 0x01}},
    {0x50, 0x18, "page", nullptr, nullptr, {0x00, 0x00, 0x01}},
    {0x50, 0x1A, "page", nullptr, nullptr, {0x00, 0x00, 0x01}},
    {0x50, 0x12, "sign", nullptr, nullptr, {0x00, 0x03}},
    {0x31, 0x01, "sign", nullptr, nullptr, {0x00, 0x01}},
    {0x10, 0xFF, "sign", nullptr, nullptr, {0x00, 0x01}},
    {0x50, 0x92, "rating", nullptr, nullptr, {}},
    {0x50, 0x5A, "pin", "pinpad.pin", "1234", {0x00, 0x01}},
    {0x50, 0x63, "pin", "pinpad.pin", "1234", {0x00, 0x01}},
    {0x10, 0x19, "pin", "pinpad.pin", "1234", {0x00, 0x01}},
    {0x50, 0x34, "password", "pinpad.password", "123456", {0x00, 0x01}},
    {0x50, 0x35, "password", "pinpad.password", "123456", {0x00, 0x01}},
    {0x50, 0x67, "number", "pinpad.number", "12345", {0x00, 0x01}},
};

const Bytes kTimedOut{0xAA, 0x00};
// Where a PIN entry leaves its clear PIN block (cmd_pinpad.cpp).
const char kClearPinBlock[] = "pinpad.lastClearBlock";
constexpr size_t kPinMin = 4, kPinMax = 12;  // ISO 9564 PIN lengths
constexpr size_t kPasswordMax = 16;          // the password block holds 16 characters
constexpr size_t kNumberMax = 32;

const WaitInfo* FindWait(const Bytes& payload) {
  for (const WaitInfo& w : kWaits) {
    if (payload.size() >= 2 && payload[0] == w.cls && payload[1] == w.cmd) return &w;
  }
  return nullptr;
}

// How the wait looks: the signature screen in another mode than 0 is a text to confirm.
std::string KindOf(const WaitInfo& w, const Bytes& payload) {
  if (w.cls == 0x50 && w.cmd == 0x12 && payload.size() > 4 && payload[4] != 0) return "text";
  return w.kind;
}

bool IsKeypad(const std::string& kind) { return kind == "pin" || kind == "password" || kind == "number"; }

// How many characters a keypad wait takes: a PIN 4 to 12 digits, a password exactly the
// length the command asks for (byte 4), a number up to the command's length (byte 5).
void KeypadLimits(const std::string& kind, const Bytes& p, size_t& min, size_t& max) {
  if (kind == "pin") {
    min = kPinMin;
    max = kPinMax;
  } else if (kind == "password") {
    const size_t asked = p.size() > 4 ? p[4] : 0;
    max = asked == 0 ? kPasswordMax : std::min(asked, kPasswordMax);
    min = asked == 0 ? 1 : max;
  } else {
    const size_t asked = p.size() > 5 ? p[5] : 0;
    max = asked == 0 ? kNumberMax : std::min(asked, kNumberMax);
    min = 1;
  }
}

// An answer the customer gives (done, or the terminal's timeout), as opposed to the
// terminal refusing the request.
bool IsCustomerAnswer(const Answer& a) {
  return !a.silent && a.payload.size() >= 2 && ((a.payload[0] == 0x00 && a.payload[1] == 0x00) || a.payload[0] == 0xAA);
}

// A signature with strokes on a pad of a size the picture can be made at.
bool Drawable(const DrawnSignature& d) {
  const auto fits = [](int side) {
    return side >= DrawnSignature::kMinPadPixels && side <= DrawnSignature::kMaxPadPixels;
  };
  return !d.strokes.empty() && fits(d.width) && fits(d.height);
}

}  // namespace

bool Simulator::Core::PageWaitOpen() const {
  if (pageWait.id == 0) return false;
  return std::any_of(outgoing.begin(), outgoing.end(),
                     [this](const Outgoing& item) { return item.customerWait == pageWait.id; });
}

void Simulator::Core::WipeTyped() {
  std::fill(typed.begin(), typed.end(), '\0');
  typed.clear();
}

bool Simulator::Core::HoldForPage(Link link, int connection, const Request& request, const CommandInfo& info,
                                  Answer& answer) {
  const WaitInfo* wait = FindWait(request.payload);
  if (!wait) {
    answer = info.handler(request, state);
    return false;
  }
  // The customer has not answered yet: no signature is stored, no rating kept.
  const Bytes scripted = state.customerAnswer;
  const int delay = state.customerDelayMs;
  state.customerAnswer = kTimedOut;
  state.customerDelayMs = 0;
  state.screen.lastTimeout = -1;
  answer = info.handler(request, state);
  state.customerAnswer = scripted;
  state.customerDelayMs = delay;
  if (!IsCustomerAnswer(answer)) return false;

  // A wait still held for the page is over: its request was given up.
  outgoing.remove_if([](const Outgoing& item) { return item.customerWait != 0; });
  WipeTyped();
  pageWait = PageWait();
  pageWait.id = nextWaitId++;
  pageWait.link = link;
  pageWait.connection = connection;
  pageWait.request = request;
  const std::string kind = KindOf(*wait, request.payload);
  if (IsKeypad(kind)) {
    KeypadLimits(kind, request.payload, pageWait.minTyped, pageWait.maxTyped);
    // Room for the whole entry now: a digit added never moves the others to a new buffer
    // and leaves them unwiped in the old one.
    typed.reserve(pageWait.maxTyped);
  }

  // The terminal's own timeout; a timeout field of 0 (or none) waits for the customer.
  const int timeout = state.screen.lastTimeout;
  Outgoing item;
  item.link = link;
  item.connection = connection;
  item.isPacket = true;
  item.packet = BuildPacket(kTimedOut, Faults());
  item.breakable = true;
  item.customerWait = pageWait.id;
  constexpr int kNoTimeoutMs = 24 * 3600 * 1000;
  Enqueue(std::move(item), timeout > 0 ? timeout * 1000 : kNoTimeoutMs);
  return true;
}

void Simulator::Core::FinishPageWait(const Bytes& answer) {
  outgoing.remove_if([this](const Outgoing& item) { return item.customerWait == pageWait.id; });
  Faults f;
  if (!faults.empty()) {
    f = faults.front();
    faults.pop_front();
  }
  EnqueueAnswer(pageWait.link, pageWait.connection, answer, f, 0, false);
  WipeTyped();
  pageWait.id = 0;
}

ActionResult Simulator::Core::Act(const CustomerAction& action) {
  if (!state.customerAtPage || !PageWaitOpen()) return ActionResult::kNoWait;
  if (action.wait != pageWait.id) return ActionResult::kOtherWait;
  const Request& request = pageWait.request;
  const WaitInfo& wait = *FindWait(request.payload);
  const std::string kind = KindOf(wait, request.payload);
  const bool keypad = IsKeypad(kind);
  using Kind = CustomerAction::Kind;

  switch (action.kind) {
    case Kind::kKey:
      if (!keypad || action.key < '0' || action.key > '9' || typed.size() >= pageWait.maxTyped) {
        return ActionResult::kRefused;
      }
      typed.push_back(action.key);
      return ActionResult::kTaken;
    case Kind::kClear:
      if (!keypad) return ActionResult::kRefused;
      WipeTyped();
      return ActionResult::kTaken;
    case Kind::kCancel:
      if (wait.cancel.empty()) return ActionResult::kRefused;
      if (keypad) {
        FinishPageWait(wait.cancel);
        return ActionResult::kTaken;
      }
      break;
    case Kind::kEnter:
      if (!keypad || typed.size() < pageWait.minTyped) return ActionResult::kRefused;
      break;
    case Kind::kConfirm:
      if (keypad || kind == "rating") return ActionResult::kRefused;
      if (kind == "sign" && !Drawable(action.signature)) return ActionResult::kRefused;
      break;
    case Kind::kRate:
      if (kind != "rating" || action.rating < 0 || action.rating > 255) return ActionResult::kRefused;
      break;
  }

  // The handler answers as it would for a scripted customer who did the same.
  const Bytes scripted = state.customerAnswer;
  const int delay = state.customerDelayMs;
  state.customerDelayMs = 0;
  if (action.kind == Kind::kCancel) {
    state.customerAnswer = wait.cancel;
  } else if (action.kind == Kind::kRate) {
    state.customerAnswer = Bytes{0x00, 0x00, static_cast<uint8_t>(action.rating)};
  } else {
    state.customerAnswer = Bytes{0x00, 0x00, 0x00};
  }
  if (action.kind == Kind::kConfirm) state.drawn = action.signature;
  // A keypad entry: the typed digits stand in the PIN pad's slot for this run alone, and
  // what the run keeps of them in clear (the clear PIN block) is wiped after it too.
  const char* const lent[] = {wait.slot, kClearPinBlock};
  bool had[2] = {false, false};
  std::string before[2];
  if (keypad) {
    for (size_t i = 0; i < 2; ++i) {
      auto it = state.values.find(lent[i]);
      had[i] = it != state.values.end();
      if (had[i]) before[i].swap(it->second);
    }
    state.values[wait.slot] = typed;
  }
  const CommandInfo* info = commands.Find(request.Class(), request.Command());
  const Answer answer = info ? info->handler(request, state) : Answer::Done();
  if (keypad) {
    for (size_t i = 0; i < 2; ++i) {
      auto it = state.values.find(lent[i]);
      if (it == state.values.end()) continue;
      std::fill(it->second.begin(), it->second.end(), '\0');
      if (had[i]) {
        it->second.swap(before[i]);
      } else {
        state.values.erase(it);
      }
    }
  }
  state.drawn = DrawnSignature();
  state.customerAnswer = scripted;
  state.customerDelayMs = delay;
  FinishPageWait(answer.silent ? kTimedOut : answer.payload);
  return ActionResult::kTaken;
}

void Simulator::Core::DescribeWait(CustomerView& view) const {
  view.browserCustomer = state.customerAtPage;
  if (state.customerAtPage) {
    if (!PageWaitOpen()) return;
    const WaitInfo* wait = FindWait(pageWait.request.payload);
    view.waitId = pageWait.id;
    view.waitKind = KindOf(*wait, pageWait.request.payload);
    view.typed = typed.size();
    view.typedMin = pageWait.minTyped;
    view.typedMax = pageWait.maxTyped;
    return;
  }
  // The scripted customer: the newest request, while its answer is still due; a keypad
  // shows as many characters as the script types.
  if (!view.customerWaiting || requests.empty()) return;
  const WaitInfo* wait = FindWait(requests.back().payload);
  if (!wait) return;
  view.waitKind = KindOf(*wait, requests.back().payload);
  if (wait->slot) {
    auto it = state.values.find(wait->slot);
    view.typed = std::min<size_t>(it != state.values.end() ? it->second.size() : std::string(wait->fallback).size(), 64);
  }
}

void Simulator::SetBrowserCustomer(bool on) {
  std::lock_guard<std::mutex> lock(core_->mu);
  core_->state.customerAtPage = on;
}

ActionResult Simulator::CustomerActs(const CustomerAction& action) {
  std::lock_guard<std::mutex> lock(core_->mu);
  return core_->Act(action);
}

}  // namespace rv270sim
