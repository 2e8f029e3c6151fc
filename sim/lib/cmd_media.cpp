// Voice, video and playlists (class 0x50, 0x20 to 0x26). The device answers as soon as
// it has taken a command; nothing is played here, the state remembers what was asked.
#include "commands.h"

namespace rv270sim {
namespace {

// 0x50 0x20: type(1) L(2) text.
Answer ReadVoice(const Request& r, DeviceState& s) {
  FieldReader f(r);
  int type = 0, length = 0;
  std::string text;
  if (!(f.U8(type) && f.U16(length) && f.Text(length, text) && f.End())) return Malformed(s);
  s.media.lastSpoken = text;
  s.media.lastSpokenType = type;
  return Answer::Done();
}

// 0x50 0x21, 0x25, 0x26: L(1) text.
CommandHandler SetName(std::string MediaState::*field) {
  return [field](const Request& r, DeviceState& s) {
    FieldReader f(r);
    int length = 0;
    std::string text;
    if (!(f.U8(length) && f.Text(length, text) && f.End())) return Malformed(s);
    s.media.*field = text;
    return Answer::Done();
  };
}

// The terminal's volume degrees.
constexpr int kMaxVolume = 3;

// 0x50 0x22: type(1) degree(1). A degree the terminal does not have is refused with
// 0x00 0x09 and not stored: the level read back stays one it can answer.
Answer SetVolume(const Request& r, DeviceState& s) {
  FieldReader f(r);
  int type = 0, level = 0;
  if (!(f.U8(type) && f.U8(level) && f.End())) return Malformed(s);
  if (level > kMaxVolume) return Answer::Status(0x00, 0x09);
  s.media.volume[type] = level;
  return Answer::Done();
}

// 0x50 0x23: 00 01 until a volume of this type was set, then 00 00 and the level.
Answer GetVolume(const Request& r, DeviceState& s) {
  FieldReader f(r);
  int type = 0;
  if (!(f.U8(type) && f.End())) return Malformed(s);
  auto it = s.media.volume.find(type);
  if (it == s.media.volume.end()) return Answer::Status(0x00, 0x01);
  return Answer::Done(Bytes{static_cast<uint8_t>(it->second)});
}

Answer SetInterval(const Request& r, DeviceState& s) {
  FieldReader f(r);
  int interval = 0;
  if (!(f.U8(interval) && f.End())) return Malformed(s);
  s.media.playInterval = interval;
  return Answer::Done();
}

}  // namespace

void RegisterMediaCommands(CommandTable& t) {
  t.Add(0x50, 0x20, ReadVoice);
  t.Add(0x50, 0x21, SetName(&MediaState::lastVideo));
  t.Add(0x50, 0x22, SetVolume);
  t.Add(0x50, 0x23, GetVolume);
  t.Add(0x50, 0x24, SetInterval);
  t.Add(0x50, 0x25, SetName(&MediaState::picList));
  t.Add(0x50, 0x26, SetName(&MediaState::videoList));
}

}  // namespace rv270sim
