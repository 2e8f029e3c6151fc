// Signature capture: the signature pad (class 0x31) and the paperless signing page
// (0x10 0xFF); the signature screen (0x50 0x12, cmd_screen.cpp) signs the same way.
//
// A signing starts by forgetting the previous signature. When the scripted customer
// completes it (customer answer 0x00 0x00), the terminal stores a fresh PNG picture of
// the strokes as the signature file {9, "UserSign.png"}; a cancelled or timed-out
// signing stores nothing. values["signBytes"] (decimal) makes the picture that many
// bytes long (padded with a text chunk), for tests of images larger than the host's
// buffers. A signature drawn at the screen view (DeviceState::drawn) is stored as a
// picture of its strokes at the pad's size instead. Pad state in values["signPad"] ("open", "cleared", "closed"); the paperless
// text in values["paperText"]; the pad's parameter text in values["signParams"];
// values["signCount"] counts the signatures made, each drawn a little differently.
//
// The picture is a grey-scale PNG written without a compressor: zlib stored blocks,
// CRC-32 per chunk and Adler-32 over the pixel rows.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <string>

#include "commands.h"

namespace rv270sim {
namespace {

constexpr int kSignatureCategory = 9;
constexpr const char* kSignatureName = "UserSign.png";
constexpr const char* kPad = "signPad";
constexpr const char* kSignBytes = "signBytes";
constexpr const char* kSignCount = "signCount";
constexpr int kWidth = 200;
constexpr int kHeight = 80;
constexpr size_t kStoredBlockMax = 65535;
constexpr size_t kChunkOverhead = 12;  // length, type, CRC

uint32_t Crc32(const uint8_t* data, size_t length, uint32_t crc = 0) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  crc = ~crc;
  for (size_t i = 0; i < length; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

uint32_t Adler32(const Bytes& data) {
  uint32_t a = 1, b = 0;
  for (uint8_t byte : data) {
    a = (a + byte) % 65521;
    b = (b + a) % 65521;
  }
  return (b << 16) | a;
}

void Put32(Bytes& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

void Chunk(Bytes& png, const char* type, const Bytes& data) {
  Put32(png, static_cast<uint32_t>(data.size()));
  const size_t typeAt = png.size();
  png.insert(png.end(), type, type + 4);
  png.insert(png.end(), data.begin(), data.end());
  Put32(png, Crc32(png.data() + typeAt, png.size() - typeAt));
}

// A white picture of pixel rows (filter byte 0, then one grey byte per pixel) and the
// pen that inks it.
class Canvas {
 public:
  Canvas(int width, int height)
      : width_(width), height_(height), rows_(static_cast<size_t>(height) * (static_cast<size_t>(width) + 1), 0xFF) {
    for (int y = 0; y < height; ++y) rows_[Row(y)] = 0;  // filter: none
  }
  void Ink(int x, int y) {
    if (x < 0 || x >= width_ || y < 0 || y >= height_) return;
    rows_[Row(y) + 1 + static_cast<size_t>(x)] = kInk;
  }
  // A pen stroke from one point to the next, `radius` pixels either side of the line.
  void Line(std::pair<int, int> from, std::pair<int, int> to, int radius) {
    const int dx = to.first - from.first, dy = to.second - from.second;
    const int steps = std::max(std::abs(dx), std::abs(dy));
    for (int i = 0; i <= steps; ++i) {
      const int x = from.first + (steps ? dx * i / steps : 0);
      const int y = from.second + (steps ? dy * i / steps : 0);
      for (int oy = -radius; oy <= radius; ++oy) {
        for (int ox = -radius; ox <= radius; ++ox) {
          if (ox * ox + oy * oy <= radius * radius) Ink(x + ox, y + oy);
        }
      }
    }
  }
  int Width() const { return width_; }
  int Height() const { return height_; }
  const Bytes& Rows() const { return rows_; }

 private:
  static constexpr uint8_t kInk = 0x10;
  size_t Row(int y) const { return static_cast<size_t>(y) * (static_cast<size_t>(width_) + 1); }
  int width_, height_;
  Bytes rows_;
};

// The strokes a customer drew at the screen view, at the pad's size.
Canvas Drawn(const DrawnSignature& drawn) {
  constexpr int kPenRadius = 2;
  Canvas canvas(drawn.width, drawn.height);
  for (const auto& stroke : drawn.strokes) {
    for (size_t i = 0; i < stroke.size(); ++i) canvas.Line(stroke[i > 0 ? i - 1 : 0], stroke[i], kPenRadius);
  }
  return canvas;
}

// The scripted customer's signature: a looped pen stroke and an underline, shifted by
// the signature's number.
Canvas Strokes(int number) {
  Canvas canvas(kWidth, kHeight);
  auto ink = [&canvas](int x, int y) { canvas.Ink(x, y); };
  const double phase = 0.7 * number;
  for (int step = 0; step < 2000; ++step) {
    const double t = step / 2000.0;
    const int x = static_cast<int>(12 + t * 170 + 9 * std::sin(t * 40 + phase));
    const int y = static_cast<int>(38 + 20 * std::sin(t * 13 + phase) * std::cos(t * 3));
    ink(x, y);
    ink(x + 1, y);
    ink(x, y + 1);
  }
  for (int x = 10; x < kWidth - 10; ++x) ink(x, kHeight - 12);
  return canvas;
}

// A PNG of the canvas, at least `size` bytes long when a size is asked for.
Bytes SignaturePng(const Canvas& canvas, size_t size) {
  const Bytes& rows = canvas.Rows();
  Bytes png{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  Bytes header;
  Put32(header, static_cast<uint32_t>(canvas.Width()));
  Put32(header, static_cast<uint32_t>(canvas.Height()));
  header.insert(header.end(), {8, 0, 0, 0, 0});  // 8-bit grey, deflate, no filter, no interlace
  Chunk(png, "IHDR", header);

  Bytes zlib{0x78, 0x01};
  for (size_t at = 0; at < rows.size(); at += kStoredBlockMax) {
    const size_t n = std::min(kStoredBlockMax, rows.size() - at);
    zlib.push_back(at + n == rows.size() ? 1 : 0);  // BFINAL, BTYPE 00 (stored)
    zlib.insert(zlib.end(), {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(~n),
                             static_cast<uint8_t>(~n >> 8)});
    zlib.insert(zlib.end(), rows.begin() + static_cast<long>(at), rows.begin() + static_cast<long>(at + n));
  }
  Put32(zlib, Adler32(rows));
  Chunk(png, "IDAT", zlib);

  const std::string keyword = "Comment";
  const size_t withEnd = png.size() + kChunkOverhead;
  if (size > withEnd + kChunkOverhead + keyword.size() + 1) {
    Bytes text(keyword.begin(), keyword.end());
    text.push_back(0);
    text.resize(size - withEnd - kChunkOverhead, 'x');
    Chunk(png, "tEXt", text);
  }
  Chunk(png, "IEND", {});
  return png;
}

bool Completed(const DeviceState& s) {
  return s.customerAnswer.size() >= 2 && s.customerAnswer[0] == 0x00 && s.customerAnswer[1] == 0x00;
}

bool HasSignature(const DeviceState& s) { return s.files.count({kSignatureCategory, kSignatureName}) != 0; }

void StoreSignature(DeviceState& s) {
  const int number = std::atoi(s.values[kSignCount].c_str()) + 1;
  s.values[kSignCount] = std::to_string(number);
  const long long wanted = std::atoll(s.values[kSignBytes].c_str());
  const size_t size = wanted > 0 ? static_cast<size_t>(wanted) : 0;
  const bool drawn = !s.drawn.strokes.empty() && s.drawn.width > 0 && s.drawn.height > 0;
  s.files[{kSignatureCategory, kSignatureName}] =
      KeptFile(SignaturePng(drawn ? Drawn(s.drawn) : Strokes(number), size));
}

// 0x31 0x01: the pad's parameter text, six fields each followed by "|".
Answer OpenPad(const Request& r, DeviceState& s) {
  FieldReader f(r);
  std::string text;
  f.Rest(text);
  size_t bars = 0;
  for (char c : text) bars += c == '|';
  if (bars != 6 || text.back() != '|') return Malformed(s);
  // Field 5 is the pad's timeout in seconds.
  size_t at = 0;
  for (int field = 0; field < 4; ++field) at = text.find('|', at) + 1;
  s.screen.lastTimeout = std::atoi(text.c_str() + at);
  s.values["signParams"] = text;
  s.values[kPad] = "open";
  CaptureSignature(s);
  return CustomerAnswer(s);
}

// 0x31 0x02 0x00: ready to fetch the signature. A pad the scripted customer has cleared
// is signed again (a customer at the page signs at the pad's next opening); a closed
// pad, or one the customer left, has nothing: 0x00 0x01.
Answer SignatureReady(const Request& r, DeviceState& s) {
  FieldReader f(r);
  int zero = 0;
  if (!(f.U8(zero) && f.End()) || zero != 0) return Malformed(s);
  const std::string pad = s.values[kPad];
  if (!HasSignature(s) && (pad == "open" || pad == "cleared") && Completed(s) && !s.customerAtPage) StoreSignature(s);
  return HasSignature(s) ? Answer::Done() : Answer::Status(0x00, 0x01);
}

// 0x31 0x03: what was drawn is wiped.
Answer ClearPad(const Request& r, DeviceState& s) {
  FieldReader f(r);
  if (!f.End()) return Malformed(s);
  s.values[kPad] = "cleared";
  s.files.erase({kSignatureCategory, kSignatureName});
  return Answer::Done();
}

// 0x10 0xFF: timeout(2), then optionally L(2) and the paper text.
Answer PaperlessPage(const Request& r, DeviceState& s) {
  FieldReader f(r);
  int timeout = 0, length = 0;
  std::string text;
  if (!f.U16(timeout)) return Malformed(s);
  if (!f.End() && !(f.U16(length) && f.Text(static_cast<size_t>(length), text) && f.End())) return Malformed(s);
  s.values["paperText"] = text;
  s.screen.lastTimeout = timeout;
  CaptureSignature(s);
  return CustomerAnswer(s);
}

}  // namespace

void CaptureSignature(DeviceState& s) {
  s.files.erase({kSignatureCategory, kSignatureName});
  if (Completed(s)) StoreSignature(s);
}

void CloseSignaturePad(DeviceState& s) {
  auto it = s.values.find(kPad);
  if (it != s.values.end()) it->second = "closed";
}

void RegisterSignCommands(CommandTable& t) {
  t.Add(0x31, 0x01, OpenPad, CommandKind::kWaits);
  t.Add(0x31, 0x02, SignatureReady);
  t.Add(0x31, 0x03, ClearPad);
  t.Add(0x10, 0xFF, PaperlessPage, CommandKind::kWaits);
}

}  // namespace rv270sim
