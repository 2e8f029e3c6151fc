#include "transfer/categories.h"

#include <cstring>

namespace transfer {

const char* const kPicture = "广告图片";
const char* const kVideo = "广告视频";
const char* const kAudio = "广告音频";
const char* const kTeller = "柜员头像";
const char* const kFirmware = "固件资源";
const char* const kVoucher = "凭证";
const char* const kWebPage = "web页面";
const char* const kWebPackage = "web压缩包";
const char* const kSignature = "签名图像";
const char* const kVoucherName = "用户凭证.pdf";

namespace {

struct Row {
  const char* const* text;
  size_t matched;  // leading bytes compared
};

// By code, from 1.
const Row kRows[] = {
    {&kPicture, 8}, {&kVideo, 8},   {&kAudio, 8},      {&kTeller, 8},    {&kFirmware, 8},
    {&kVoucher, 4}, {&kWebPage, 7}, {&kWebPackage, 9}, {&kSignature, 8},
};

}  // namespace

uint8_t CategoryCode(const char* text) {
  uint8_t code = 1;
  if (text == nullptr) return code;
  for (size_t i = 0; i < sizeof(kRows) / sizeof(kRows[0]); ++i) {
    if (strncmp(text, *kRows[i].text, kRows[i].matched) == 0) code = static_cast<uint8_t>(i + 1);
  }
  return code;
}

const char* CategoryText(int code) {
  if (code < kMinCategory || code > kMaxCategory) return nullptr;
  return *kRows[code - 1].text;
}

}  // namespace transfer
