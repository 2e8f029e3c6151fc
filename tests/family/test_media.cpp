// Voice, video and playlist exports against the simulated terminal: the request bytes,
// the return values, the last error and the log lines of each outcome.
//
// Narrow literals in this file are GBK (the tests are compiled like the library); u8
// literals are UTF-8.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "QornRV270API.h"
#include "support/outcome_rows.h"

namespace {

using rv270sim::Answer;
using rv270sim::Bytes;
using rv270test::kUsbPort;
using namespace rv270test;

class MediaLinkTest : public rv270test::SimLinkTest {};

class MediaTest : public rv270test::RowTest {};

TEST_P(MediaLinkTest, RequestPayloads) {
  const std::string list255(255, 'l');
  const struct {
    const char* name;
    Call call;
    Bytes payload;
    int ret;
  } cases[] = {
      {"ReadVoice as it is", [](int p) { return RV270Api_ReadVoice(p, 0, 1, "hello.wav"); },
       B({0x50, 0x20, 0x01, 0x00, 0x09}) + Str("hello.wav"), 0},
      // Type 0 is spoken: GBK in, UTF-8 with the number read out on the wire.
      {"ReadVoice spoken", [](int p) { return RV270Api_ReadVoice(p, 0, 0, "请到3号窗口"); },
       B({0x50, 0x20, 0x00, 0x00, 0x12}) + Str(u8"请到三号窗口"), 0},
      {"ReadVoice sound file", [](int p) { return RV270Api_ReadVoice(p, 0, 0, "ring2.wav"); },
       B({0x50, 0x20, 0x00, 0x00, 0x09}) + Str("ring2.wav"), 0},
      {"PlayVideo", [](int p) { return RV270Api_PlayVideo(p, 0, "宣传.mp4"); },
       B({0x50, 0x21, 0x08}) + Str("宣传.mp4"), 0},
      {"SetVoiceVolume", [](int p) { return RV270Api_SetVoiceVolume(p, 0, 2, 0x103); }, B({0x50, 0x22, 0x02, 0x03}),
       0},
      // The level the member before it set.
      {"GetVoiceVolume", [](int p) { return RV270Api_GetVoiceVolume(p, 0, 2); }, B({0x50, 0x23, 0x02}), 3},
      {"SetPlayInterval", [](int p) { return RV270Api_SetPlayInterval(p, 0, 300); }, B({0x50, 0x24, 0x2C}), 0},
      {"PlayPicList empty", [](int p) { return RV270Api_PlayPicList(p, 0, ""); }, B({0x50, 0x25, 0x00}), 0},
      {"PlayPicList null", [](int p) { return RV270Api_PlayPicList(p, 0, nullptr); }, B({0x50, 0x25, 0x00}), 0},
      {"PlayVideoList longest", [&](int p) { return RV270Api_PlayVideoList(p, 0, list255.c_str()); },
       B({0x50, 0x26, 0xFF}) + Str(list255), 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim.ClearRecords();
    EXPECT_EQ(c.call(Port()), c.ret);
    EXPECT_EQ(RV270Api_GetErrorCode(), 0);
    const auto requests = sim.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].link, LinkUnderTest());
    EXPECT_EQ(Hex(requests[0].payload), Hex(c.payload));
  }
  EXPECT_GE(LogFind("RV270Api_ReadVoice type:[0],pVoice:[请到3号窗口]"), 0);
}

RV270_INSTANTIATE_LINKS(MediaLinkTest);

TEST_F(MediaTest, VolumeLevels) {
  // Nothing set yet: the terminal says so.
  EXPECT_EQ(RV270Api_GetVoiceVolume(kUsbPort, 0, 1), -6);
  EXPECT_EQ(RV270Api_GetErrorCode(), 127);
  // A degree the terminal does not have is refused and never stored: the level set
  // before stays readable.
  EXPECT_EQ(RV270Api_SetVoiceVolume(kUsbPort, 0, 1, 2), 0);
  for (int degree : {4, 9, 255}) {
    EXPECT_EQ(RV270Api_SetVoiceVolume(kUsbPort, 0, 1, degree), -4) << degree;
    EXPECT_EQ(RV270Api_GetErrorCode(), 125) << degree;
    EXPECT_EQ(RV270Api_GetVoiceVolume(kUsbPort, 0, 1), 2) << degree;
  }
  EXPECT_TRUE(LogHas("RV270Api_Communication myVolumeResult[1]==0x09!"));

  ExpectRows("GetVoiceVolume", [](int p) { return RV270Api_GetVoiceVolume(p, 0, 1); },
             {
                 {B({0x00, 0x00, 0x00}), 0, 0, 'I', "RV270Api_Communication myVolumeResult[2]==0x00!"},
                 {B({0x00, 0x00, 0x01}), 1, 0, 'I', "RV270Api_Communication myVolumeResult[2]==0x01!"},
                 {B({0x00, 0x00, 0x02}), 2, 0, 'I', "RV270Api_Communication myVolumeResult[2]==0x02!"},
                 {B({0x00, 0x00, 0x03}), 3, 0, 'I', "RV270Api_Communication myVolumeResult[2]==0x03!"},
                 {B({0x00, 0x00, 0x04}), -3, 103, 'E', "RV270Api_Communication return error value!"},
                 // Only the status bytes: no level arrived, and none is made up from the
                 // zeroed buffer; the answer fails like a level out of range.
                 {B({0x00, 0x00}), -3, 103, 'E', "RV270Api_Communication return error value!"},
                 {B({0x00, 0x01}), -6, 127, 'E', "RV270Api_Communication myVolumeResult[1]==0x01!"},
                 {B({0x00, 0x09}), -5, 125, 'E', "RV270Api_Communication myVolumeResult[1]==0x09!"},
                 {B({0x01, 0x00, 0x02}), -4, 103, 'E', "RV270Api_Communication return error!"},
             });
}

TEST_F(MediaTest, Outcomes) {
  const char* ok = "RV270Api_Communication return ok!";
  const char* refused = "RV270Api_Communication return error!";
  const std::vector<Row> play = {
      {B({0x00, 0x00}), 0, 0, 'I', ok},
      {B({0x00, 0x09}), -5, 125, 'E', "RV270Api_Communication myVoiceResult[1]==0x09!"},
      {B({0x00, 0x01}), -6, 103, 'E', refused},
  };
  ExpectRows("ReadVoice", [](int p) { return RV270Api_ReadVoice(p, 0, 1, "a.wav"); }, play);
  ExpectRows("PlayVideo", [](int p) { return RV270Api_PlayVideo(p, 0, "a.mp4"); }, play);
  ExpectRows("SetVoiceVolume", [](int p) { return RV270Api_SetVoiceVolume(p, 0, 1, 2); },
             {
                 {B({0x00, 0x00}), 0, 0, 'I', ok},
                 {B({0x00, 0x09}), -4, 125, 'E', "RV270Api_Communication myVolumeResult[1]==0x09!"},
                 {B({0xAA, 0x00}), -3, 103, 'E', refused},
             });
  // These count 0x00 0x09 as any refusal.
  const std::vector<Row> lists = {
      {B({0x00, 0x00}), 0, 0, 'I', ok},
      {B({0x00, 0x09}), -4, 103, 'E', refused},
      {B({0x50, 0x1D}), -4, 103, 'E', refused},
  };
  ExpectRows("SetPlayInterval", [](int p) { return RV270Api_SetPlayInterval(p, 0, 5); }, lists);
  ExpectRows("PlayPicList", [](int p) { return RV270Api_PlayPicList(p, 0, "a.jpg"); }, lists);
  ExpectRows("PlayVideoList", [](int p) { return RV270Api_PlayVideoList(p, 0, "a.mp4"); }, lists);
}

TEST_F(MediaTest, LinkFailures) {
  sim.SetDevices({});  // no terminal on USB
  const struct {
    const char* name;
    Call call;
    int ret;
  } cases[] = {
      {"ReadVoice", [](int p) { return RV270Api_ReadVoice(p, 0, 1, "a.wav"); }, -4},
      {"PlayVideo", [](int p) { return RV270Api_PlayVideo(p, 0, "a.mp4"); }, -4},
      {"SetVoiceVolume", [](int p) { return RV270Api_SetVoiceVolume(p, 0, 1, 2); }, -2},
      {"GetVoiceVolume", [](int p) { return RV270Api_GetVoiceVolume(p, 0, 1); }, -2},
      {"SetPlayInterval", [](int p) { return RV270Api_SetPlayInterval(p, 0, 5); }, -3},
      {"PlayPicList", [](int p) { return RV270Api_PlayPicList(p, 0, "a.jpg"); }, -3},
      {"PlayVideoList", [](int p) { return RV270Api_PlayVideoList(p, 0, "a.mp4"); }, -3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t from = LogLines().size();
    EXPECT_EQ(c.call(kUsbPort), c.ret);
    EXPECT_EQ(RV270Api_GetErrorCode(), 102);
    EXPECT_GE(LogFind(Logged('E', "RV270Api_Communication return -"), from), 0);
  }
}

// Argument errors and texts that do not fit: -2 with 100, the line and the end line, and
// nothing sent.
TEST_F(MediaTest, RefusalsSendNothing) {
  const std::string text256(256, 'v');
  const std::string voice507(507, 'v');
  const std::string voice508(508, 'v');
  // Each digit is read as a Chinese digit of three UTF-8 bytes: 200 become 600 bytes.
  const std::string digits(200, '7');
  const struct {
    const char* name;
    Call call;
    const char* line;
  } cases[] = {
      {"RV270Api_ReadVoice", [](int p) { return RV270Api_ReadVoice(p, 0, 0, nullptr); },
       "RV270Api_ReadVoice is empty!"},
      {"RV270Api_ReadVoice", [](int p) { return RV270Api_ReadVoice(p, 0, 1, ""); }, "RV270Api_ReadVoice is empty!"},
      {"RV270Api_ReadVoice", [](int p) { return RV270Api_ReadVoice(p, 0, 2, "a.wav"); },
       "RV270Api_ReadVoice type error!"},
      {"RV270Api_ReadVoice", [&](int p) { return RV270Api_ReadVoice(p, 0, 1, voice508.c_str()); },
       "RV270Api_ReadVoice pVoice too long!"},
      // The prepared text counts, not the caller's.
      {"RV270Api_ReadVoice", [&](int p) { return RV270Api_ReadVoice(p, 0, 0, digits.c_str()); },
       "RV270Api_ReadVoice pVoice too long!"},
      {"RV270Api_PlayVideo", [](int p) { return RV270Api_PlayVideo(p, 0, ""); }, "RV270Api_PlayVideo is empty!"},
      {"RV270Api_PlayVideo", [&](int p) { return RV270Api_PlayVideo(p, 0, text256.c_str()); },
       "RV270Api_PlayVideo pVideo too long!"},
      {"RV270Api_PlayPicList", [&](int p) { return RV270Api_PlayPicList(p, 0, text256.c_str()); },
       "RV270Api_PlayPicList PicList too long!"},
      {"RV270Api_PlayVideoList", [&](int p) { return RV270Api_PlayVideoList(p, 0, text256.c_str()); },
       "RV270Api_PlayVideoList VideoList too long!"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    const size_t from = LogLines().size();
    EXPECT_EQ(c.call(kUsbPort), -2);
    EXPECT_EQ(RV270Api_GetErrorCode(), 100);
    const int at = LogFind(Logged('E', c.line), from);
    EXPECT_GE(at, 0);
    EXPECT_GE(LogFind(std::string("****************") + c.name + " end****************", at < 0 ? from : at), 0);
  }
  EXPECT_TRUE(sim.Requests().empty());
  EXPECT_EQ(sim.LinksOpened(), 0);

  // The longest voice that fits goes out whole.
  EXPECT_EQ(RV270Api_ReadVoice(kUsbPort, 0, 1, voice507.c_str()), 0);
  EXPECT_EQ(sim.State().media.lastSpoken, voice507);
}

}  // namespace
