// File categories: every file the terminal stores belongs to one, named on the wire by
// one code byte and inside the library by its GBK text.
#pragma once
#include <cstdint>

namespace transfer {

constexpr int kMinCategory = 1;
constexpr int kMaxCategory = 9;

// The category texts, GBK (the library is compiled with a GBK execution character set).
extern const char* const kPicture;    // "广告图片", code 1
extern const char* const kVideo;      // "广告视频", code 2
extern const char* const kAudio;      // "广告音频", code 3
extern const char* const kTeller;     // "柜员头像", code 4
extern const char* const kFirmware;   // "固件资源", code 5
extern const char* const kVoucher;    // "凭证", code 6
extern const char* const kWebPage;    // "web页面", code 7
extern const char* const kWebPackage; // "web压缩包", code 8
extern const char* const kSignature;  // "签名图像", code 9

// The device-side name of every voucher.
extern const char* const kVoucherName;  // "用户凭证.pdf", 12 bytes

// The code byte of a category text: each row is matched on its leading bytes, rows in
// code order, the last match winning; a null text or one matching no row gives 1.
uint8_t CategoryCode(const char* text);

// The text of a code 1 to 9, or nullptr.
const char* CategoryText(int code);

}  // namespace transfer
