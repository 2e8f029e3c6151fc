// What the simulated terminal remembers: identity, configuration, screen, media and
// how the scripted customer behaves. Texts hold the bytes as received (GBK or UTF-8).
#pragma once
#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "rv270sim/codec.h"

namespace rv270sim {

struct ScreenState {
  // Information text (0x50 0x10): mode, text, voice flag and the device timeout sent.
  std::string infoText;
  int infoMode = -1;
  int infoVoiceFlag = -1;
  int lastTimeout = -1;  // timeout field of the latest waiting screen command, seconds
  // Text page (0x50 0x1B).
  std::string textPage;
  int textMode = -1;
  // Web page (0x50 0x17 only, 0x18 compressed, 0x1A advertisement).
  std::string page;
  uint8_t pageCommand = 0;
  // Signature screen (0x50 0x12).
  int signMode = -1;
  std::string signStatusArea;
  std::array<uint32_t, 4> signArea{};
  int signByte = -1;
  // Status bar (0x50 0x1D initial text, 0x50 0x1E information, 0x50 0x1F clears both).
  std::string statusBar;
  std::string statusBarInfo;
  std::string welcome;               // 0x50 0x1C
  int posterType = -1;               // 0x50 0x19
  std::array<int, 4> adArea{-1, -1, -1, -1};  // 0x50 0x11
  // Command byte of the latest main-screen content (0x10, 0x12, 0x17, 0x18, 0x1A,
  // 0x1B); 0 while the main screen is clear.
  uint8_t shown = 0;
  std::string lastScript;            // 0x50 0x14
  int mainScreenClears = 0;          // 0x50 0x15
  int statusBarClears = 0;           // 0x50 0x1F
};

// A signature drawn by the customer at the screen view: strokes of points (x, y) on a
// pad of width x height pixels, each from kMinPadPixels to kMaxPadPixels.
struct DrawnSignature {
  static constexpr int kMinPadPixels = 16;
  static constexpr int kMaxPadPixels = 1280;
  int width = 0;
  int height = 0;
  std::vector<std::vector<std::pair<int, int>>> strokes;
};

struct MediaState {
  std::map<int, int> volume;  // volume type -> level, once set with 0x50 0x22
  int playInterval = -1;
  std::string picList;
  std::string videoList;
  std::string lastSpoken;  // voice text of the latest command that carried one
  int lastSpokenType = -1; // type byte of 0x50 0x20 (-1: the voice came with a screen command)
  std::string lastVideo;
};

// A file the terminal stores: its size and hash always, its bytes while they are small.
struct StoredFile {
  uint64_t size = 0;
  uint64_t hash = 0;         // FNV-1a 64 of the bytes
  bool kept = false;         // content holds the bytes
  Bytes content;
  bool pattern = false;      // made by PutPatternFile: byte i is PatternByte(i)
};

// The bytes of a pattern file.
inline uint8_t PatternByte(uint64_t i) { return static_cast<uint8_t>((i * 131u + (i >> 9)) & 0xFF); }

// A stored file that keeps `content`, with its size and hash.
inline StoredFile KeptFile(const Bytes& content) {
  StoredFile f;
  f.size = content.size();
  f.hash = 1469598103934665603ull;  // FNV-1a 64
  for (uint8_t b : content) f.hash = (f.hash ^ b) * 1099511628211ull;
  f.kept = true;
  f.content = content;
  return f;
}

// Stored files kept whole up to this size.
constexpr uint64_t kKeptFileBytes = 4u * 1024u * 1024u;

struct DeviceState {
  // Identity and configuration.
  std::string deviceInfo = "RV270 customer counter terminal";
  std::string vendorId = "QORN";
  std::string deviceId = "RV270-000001";
  std::string version = "RV270 V2.3.1 20260105";
  std::string serialRate = "9600";  // the device's own rate, as decimal text
  int versionControl = -1;          // byte of 0x50 0xA0
  int resets = 0;                   // 0x50 0x0F received

  ScreenState screen;
  MediaState media;

  // The customer at a waiting screen command (0x50 0x10, 0x12, 0x17, 0x18, 0x1A,
  // 0x1B): the answer (status bytes and byte 2) and how long the customer takes.
  Bytes customerAnswer{0x00, 0x00, 0x00};
  int customerDelayMs = 0;
  // The customer answers at the screen view's page (Simulator::SetBrowserCustomer).
  bool customerAtPage = false;
  // The strokes a customer at the screen view drew, while the signing they complete
  // stores its picture (empty otherwise: the scripted customer's strokes are drawn).
  DrawnSignature drawn;
  // Answer of a waiting command broken off by 0x50 0x15 (empty: none is sent).
  Bytes breakOffAnswer{0x50, 0x1D};
  // Result text of a script run with 0x50 0x14.
  std::string scriptResult = "true";

  // Requests whose fields did not add up (answered 0x00 0x05).
  int malformedRequests = 0;

  // Stored files by category code and name; the category list (0x50 0x06) is the names
  // of a category, each followed by "\r\n".
  std::map<std::pair<int, std::string>, StoredFile> files;
  // Payload bytes of a USB report, as the terminal computes upload lengths.
  int reportPayload = 64;
  int transfersRefused = 0;
  // Sent after a firmware file (category 5) was stored: the installation answer
  // (empty: none), after installDelayMs.
  Bytes installAnswer{0x00, 0x00};
  int installDelayMs = 0;  // handshakes with fields that do not add up

  // Free slots for command families that need a little memory of their own.
  std::map<std::string, std::string> values;
};

}  // namespace rv270sim
