// Voice, video and playlists: speak a text or play a sound file, play a video, read and
// set the volume, and run the idle screen's picture and video playlists. The terminal
// answers as soon as it has taken a command; nothing waits for the playback.
//
// Choices where the request buffer and length fields set limits:
// - The voice text of RV270Api_ReadVoice (after preparation for type 0) must fit the
//   512-byte request: at most 507 bytes. The video name and the two lists have a one-byte
//   length: at most 255 bytes. Longer texts are refused before anything is sent:
//   "<export> <what> too long!" (E), last error 100, return -2. Nothing is cut.
// - RV270Api_ReadVoice checks its type before the length of its text, so a bad type is
//   reported as such whatever the text.
#include <cstring>
#include <string>

#include "QornRV270API.h"
#include "api/frame.h"
#include "text/voice_text.h"

using namespace api;

namespace {

constexpr size_t kByteLengthMax = 255;  // a one-byte length field
constexpr int kRefused = -2;            // argument errors and texts that do not fit
constexpr int kMediaTimeoutMs = 5000;


constexpr const char* kVoice09 = "RV270Api_Communication myVoiceResult[1]==0x09!";
constexpr const char* kVolume09 = "RV270Api_Communication myVolumeResult[1]==0x09!";

constexpr UsualMapping kPlayTable(-4, -5, kVoice09, -6);      // voice and video
constexpr UsualMapping kSetVolumeTable(-2, -4, kVolume09, -3);
constexpr UsualMapping kListTable(-3, -4);                    // interval and playlists

// The volume level comes back in byte 2; 0x00 0x01 means no volume was ever set.
constexpr Outcome kGetVolumeTable[] = {
    Busy(),
    LinkFailure(-2),
    OnStatus(0x00, 0x00, 0x00, 0, kOk, 'I', "RV270Api_Communication myVolumeResult[2]==0x00!"),
    OnStatus(0x00, 0x00, 0x01, 1, kOk, 'I', "RV270Api_Communication myVolumeResult[2]==0x01!"),
    OnStatus(0x00, 0x00, 0x02, 2, kOk, 'I', "RV270Api_Communication myVolumeResult[2]==0x02!"),
    OnStatus(0x00, 0x00, 0x03, 3, kOk, 'I', "RV270Api_Communication myVolumeResult[2]==0x03!"),
    OnStatus(0x00, 0x00, kAny, -3, kReceivedDataError, 'E', "RV270Api_Communication return error value!"),
    OnStatus(0x00, 0x01, kAny, -6, kVolumeNotSet, 'E', "RV270Api_Communication myVolumeResult[1]==0x01!"),
    OnStatus(0x00, 0x09, kAny, -5, kHardwareException, 'E', kVolume09),
    Otherwise(-4, kReceivedDataError, 'E', "RV270Api_Communication return error!"),
};

constexpr Outcome kNoVolumeLevel[] = {kGetVolumeTable[6]};

// The commands that name a file or list: the text with its one-byte length.
struct NamedMedia {
  const char* name;
  uint8_t command;
  const char* emptyLine;  // nullptr: an empty or null text is sent with length 0
  const char* argLine;
  const char* what;
  OutcomeTable table;
};

const NamedMedia kPlayVideo{"RV270Api_PlayVideo", 0x21, "RV270Api_PlayVideo is empty!",
                            "RV270Api_PlayVideo pVideo:[%s]", "pVideo", kPlayTable};
const NamedMedia kPlayPicList{"RV270Api_PlayPicList", 0x25, nullptr, "RV270Api_PlayPicList PicList:[%s]",
                              "PicList", kListTable};
const NamedMedia kPlayVideoList{"RV270Api_PlayVideoList", 0x26, nullptr,
                                "RV270Api_PlayVideoList VideoList:[%s]", "VideoList", kListTable};

int PlayNamed(const NamedMedia& media, int port, int selector, const char* text) {
  CallFrame frame(media.name);
  if (media.emptyLine && Empty(text)) return frame.ArgError(kRefused, "%s", media.emptyLine);
  const size_t length = text ? strlen(text) : 0;
  if (length > kByteLengthMax) return frame.TooLong(kRefused, media.what);
  WriteLog('I', media.argLine, Shown(text));
  Request request(kRequestSize, 0x50, media.command);
  request.U8(static_cast<int>(length)).Bytes(text, length);
  return frame.Call(port, selector, request, kMediaTimeoutMs, media.table);
}

}  // namespace

extern "C" {

RV270_API int RV270_CALL RV270Api_ReadVoice(int port, int selector, int type, const char* pVoice) {
  return GuardExport(kRefused, [&] {
    CallFrame frame("RV270Api_ReadVoice");
    if (Empty(pVoice)) return frame.ArgError(kRefused, "RV270Api_ReadVoice is empty!");
    // Type 0 is spoken text (a ".wav" name passes preparation unchanged); type 1 is sent as it is.
    if (type != 0 && type != 1) return frame.ArgError(kRefused, "RV270Api_ReadVoice type error!");
    const std::string voice = type == 0 ? PrepareVoiceText(pVoice) : std::string(pVoice);
    Request request(kRequestSize, 0x50, 0x20);
    request.U8(type).U16(static_cast<int>(voice.size() & 0xFFFF)).Bytes(voice.data(), voice.size());
    if (request.Overflowed()) return frame.TooLong(kRefused, "pVoice");
    WriteLog('I', "RV270Api_ReadVoice type:[%d],pVoice:[%s]", type, pVoice);
    return frame.Call(port, selector, request, kMediaTimeoutMs, kPlayTable);
  });
}

RV270_API int RV270_CALL RV270Api_PlayVideo(int port, int selector, const char* pVideo) {
  return GuardExport(kRefused, [&] { return PlayNamed(kPlayVideo, port, selector, pVideo); });
}

RV270_API int RV270_CALL RV270Api_SetVoiceVolume(int port, int selector, int type, int degree) {
  return GuardExport(kRefused, [&] {
    CallFrame frame("RV270Api_SetVoiceVolume");
    WriteLog('I', "RV270Api_SetVoiceVolume type:[%d],degree:[%d]", type, degree);
    Request request(kRequestSize, 0x50, 0x22);
    request.U8(type).U8(degree);
    return frame.Call(port, selector, request, kMediaTimeoutMs, kSetVolumeTable);
  });
}

RV270_API int RV270_CALL RV270Api_GetVoiceVolume(int port, int selector, int type) {
  return GuardExport(kRefused, [&] {
    CallFrame frame("RV270Api_GetVoiceVolume");
    WriteLog('I', "RV270Api_GetVoiceVolume type:[%d]", type);
    Request request(kRequestSize, 0x50, 0x23);
    request.U8(type);
    Answer answer;
    int refused = 0;
    if (!frame.Transact(port, selector, request, 2000, answer, {}, &refused)) return refused;
    // A success answer without the level byte gives no level: it takes the row of a
    // level out of range (-3, 103) rather than reading the zeroed buffer as level 0.
    if (answer.result >= 0 && answer.length == 2 && answer.Byte(0) == 0x00 && answer.Byte(1) == 0x00) {
      return frame.Map(kNoVolumeLevel, answer);
    }
    return frame.Map(kGetVolumeTable, answer);
  });
}

RV270_API int RV270_CALL RV270Api_SetPlayInterval(int port, int selector, int IntervalTime) {
  return GuardExport(kRefused, [&] {
    CallFrame frame("RV270Api_SetPlayInterval");
    WriteLog('I', "RV270Api_SetPlayInterval IntervalTime:[%d]", IntervalTime);
    Request request(kRequestSize, 0x50, 0x24);
    request.U8(IntervalTime);
    return frame.Call(port, selector, request, kMediaTimeoutMs, kListTable);
  });
}

RV270_API int RV270_CALL RV270Api_PlayPicList(int port, int selector, const char* PicList) {
  return GuardExport(kRefused, [&] { return PlayNamed(kPlayPicList, port, selector, PicList); });
}

RV270_API int RV270_CALL RV270Api_PlayVideoList(int port, int selector, const char* VideoList) {
  return GuardExport(kRefused, [&] { return PlayNamed(kPlayVideoList, port, selector, VideoList); });
}

}  // extern "C"
