// Screen content (class 0x50, 0x10 to 0x1F): texts, web pages, scripts, the status
// bar, the welcome text, the advertisement area and the poster type. The waiting
// commands answer with the scripted customer's outcome after the customer's delay;
// 0x50 0x15 clears the main screen and breaks off a wait in progress.
#include "commands.h"

namespace rv270sim {
namespace {

void Speak(DeviceState& s, const std::string& voice) {
  if (voice.empty()) return;
  s.media.lastSpoken = voice;
  s.media.lastSpokenType = -1;
}

// 0x50 0x10 (information text) and 0x50 0x1B (text page): timeout(2) mode(1) I(2)
// text flag(1) V(2) voice.
CommandHandler TextScreen(bool infoText) {
  return [infoText](const Request& r, DeviceState& s) {
    FieldReader f(r);
    int timeout = 0, mode = 0, length = 0, flag = 0, voiceLength = 0;
    std::string text, voice;
    if (!(f.U16(timeout) && f.U8(mode) && f.U16(length) && f.Text(length, text) && f.U8(flag) &&
          f.U16(voiceLength) && f.Text(voiceLength, voice) && f.End())) {
      return Malformed(s);
    }
    if (infoText) {
      s.screen.infoText = text;
      s.screen.infoMode = mode;
      s.screen.infoVoiceFlag = flag;
    } else {
      s.screen.textPage = text;
      s.screen.textMode = mode;
    }
    s.screen.lastTimeout = timeout;
    s.screen.shown = r.Command();
    Speak(s, voice);
    return CustomerAnswer(s);
  };
}

// 0x50 0x17, 0x18, 0x1A: timeout(2) V(2) voice W(1) page.
Answer WebPage(const Request& r, DeviceState& s) {
  FieldReader f(r);
  int timeout = 0, voiceLength = 0, pageLength = 0;
  std::string voice, page;
  if (!(f.U16(timeout) && f.U16(voiceLength) && f.Text(voiceLength, voice) && f.U8(pageLength) &&
        f.Text(pageLength, page) && f.End())) {
    return Malformed(s);
  }
  s.screen.page = page;
  s.screen.pageCommand = r.Command();
  s.screen.shown = r.Command();
  s.screen.lastTimeout = timeout;
  Speak(s, voice);
  return CustomerAnswer(s);
}

// 0x50 0x12: timeout(2) mode(1) V(2) voice S(1) status area, four 32-bit sign-area
// values, the sign byte.
Answer SignScreen(const Request& r, DeviceState& s) {
  FieldReader f(r);
  int timeout = 0, mode = 0, voiceLength = 0, statusLength = 0, signByte = 0;
  std::string voice, status;
  std::array<uint32_t, 4> area{};
  if (!(f.U16(timeout) && f.U8(mode) && f.U16(voiceLength) && f.Text(voiceLength, voice) &&
        f.U8(statusLength) && f.Text(statusLength, status) && f.U32(area[0]) && f.U32(area[1]) &&
        f.U32(area[2]) && f.U32(area[3]) && f.U8(signByte) && f.End())) {
    return Malformed(s);
  }
  s.screen.signMode = mode;
  s.screen.signStatusArea = status;
  s.screen.signArea = area;
  s.screen.signByte = signByte;
  s.screen.shown = r.Command();
  s.screen.lastTimeout = timeout;
  Speak(s, voice);
  if (mode == 0) CaptureSignature(s);
  return CustomerAnswer(s);
}

// 0x50 0x14: J(2) script V(2) voice; answers the script's result text.
Answer RunScript(const Request& r, DeviceState& s) {
  FieldReader f(r);
  int scriptLength = 0, voiceLength = 0;
  std::string script, voice;
  if (!(f.U16(scriptLength) && f.Text(scriptLength, script) && f.U16(voiceLength) &&
        f.Text(voiceLength, voice) && f.End())) {
    return Malformed(s);
  }
  s.screen.lastScript = script;
  Speak(s, voice);
  return Answer::Done(s.scriptResult);
}

Answer ClearMainScreen(const Request& r, DeviceState& s) {
  FieldReader f(r);
  if (!f.End()) return Malformed(s);
  s.screen.infoText.clear();
  s.screen.textPage.clear();
  s.screen.page.clear();
  s.screen.shown = 0;
  ++s.screen.mainScreenClears;
  CloseSignaturePad(s);
  return Answer::Done();
}

Answer ClearStatusBar(const Request& r, DeviceState& s) {
  FieldReader f(r);
  if (!f.End()) return Malformed(s);
  s.screen.statusBar.clear();
  s.screen.statusBarInfo.clear();
  ++s.screen.statusBarClears;
  return Answer::Done();
}

// 0x50 0x1C, 0x1D, 0x1E: L(2) text.
CommandHandler SetText(std::string ScreenState::*field) {
  return [field](const Request& r, DeviceState& s) {
    FieldReader f(r);
    int length = 0;
    std::string text;
    if (!(f.U16(length) && f.Text(length, text) && f.End())) return Malformed(s);
    s.screen.*field = text;
    return Answer::Done();
  };
}

Answer SetAdArea(const Request& r, DeviceState& s) {
  FieldReader f(r);
  std::array<int, 4> area{};
  if (!(f.U16(area[0]) && f.U16(area[1]) && f.U16(area[2]) && f.U16(area[3]) && f.End())) {
    return Malformed(s);
  }
  s.screen.adArea = area;
  return Answer::Done();
}

Answer SetPosterType(const Request& r, DeviceState& s) {
  FieldReader f(r);
  int type = 0;
  if (!(f.U8(type) && f.End())) return Malformed(s);
  s.screen.posterType = type;
  return Answer::Done();
}

}  // namespace

void RegisterScreenCommands(CommandTable& t) {
  t.Add(0x50, 0x10, TextScreen(true), CommandKind::kWaits);
  t.Add(0x50, 0x11, SetAdArea);
  t.Add(0x50, 0x12, SignScreen, CommandKind::kWaits);
  t.Add(0x50, 0x14, RunScript);
  t.Add(0x50, 0x15, ClearMainScreen, CommandKind::kEndsWaits);
  t.Add(0x50, 0x17, WebPage, CommandKind::kWaits);
  t.Add(0x50, 0x18, WebPage, CommandKind::kWaits);
  t.Add(0x50, 0x19, SetPosterType);
  t.Add(0x50, 0x1A, WebPage, CommandKind::kWaits);
  t.Add(0x50, 0x1B, TextScreen(false), CommandKind::kWaits);
  t.Add(0x50, 0x1C, SetText(&ScreenState::welcome));
  t.Add(0x50, 0x1D, SetText(&ScreenState::statusBar));
  t.Add(0x50, 0x1E, SetText(&ScreenState::statusBarInfo));
  t.Add(0x50, 0x1F, ClearStatusBar);
}

}  // namespace rv270sim
