// Signature and paperless workflows against the simulated terminal: the voucher signing
// with the image back as a file or as Base64 text, the paperless page, the signature pad
// driven step by step, and the short download forms.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <string>
#include <vector>

#include "QornRV270API.h"
#include "rv270sim/host.h"
#include "support/outcome_rows.h"
#ifdef RV270_TEST_CORE
#include "api/sign_waits.h"
#endif

namespace {

namespace fs = std::filesystem;
using rv270sim::Answer;
using rv270sim::Bytes;
using namespace rv270test;

constexpr size_t kTextRoom = 136537;       // 4 * ceil(102400 / 3) + 1
constexpr size_t kLargeTextRoom = 273069;  // 4 * ceil(204800 / 3) + 1

Bytes ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// RFC 4648 Base64; an empty result for a text that is not Base64.
Bytes Decode(const std::string& text) {
  static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  Bytes out;
  if (text.size() % 4 != 0) return out;
  for (size_t i = 0; i < text.size(); i += 4) {
    uint32_t group = 0;
    int pads = 0;
    for (size_t k = 0; k < 4; ++k) {
      const char c = text[i + k];
      const size_t at = alphabet.find(c);
      if (c == '=' && i + 4 == text.size() && k >= 2) {
        ++pads;
      } else if (at == std::string::npos || pads > 0) {
        return Bytes();
      }
      group = (group << 6) | (c == '=' ? 0 : static_cast<uint32_t>(at));
    }
    out.push_back(static_cast<uint8_t>(group >> 16));
    if (pads < 2) out.push_back(static_cast<uint8_t>(group >> 8));
    if (pads < 1) out.push_back(static_cast<uint8_t>(group));
  }
  return out;
}

uint32_t Be32(const Bytes& b, size_t at) {
  return (static_cast<uint32_t>(b[at]) << 24) | (b[at + 1] << 16) | (b[at + 2] << 8) | b[at + 3];
}

uint32_t Crc32(const uint8_t* p, size_t n) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

// Checks a PNG as a decoder would: signature, chunk CRCs, IHDR first and IEND last, and
// the pixel data (zlib stored blocks) with its Adler-32 and the row count of IHDR.
::testing::AssertionResult ValidPng(const Bytes& png) {
  static const Bytes signature{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (png.size() < 8 || !std::equal(signature.begin(), signature.end(), png.begin()))
    return ::testing::AssertionFailure() << "no PNG signature";
  size_t at = 8;
  Bytes zlib;
  uint32_t width = 0, height = 0;
  std::vector<std::string> types;
  while (at + 12 <= png.size()) {
    const uint32_t length = Be32(png, at);
    if (at + 12 + length > png.size()) return ::testing::AssertionFailure() << "chunk past the end";
    const std::string type(png.begin() + static_cast<long>(at + 4), png.begin() + static_cast<long>(at + 8));
    if (Crc32(png.data() + at + 4, length + 4) != Be32(png, at + 8 + length))
      return ::testing::AssertionFailure() << "bad CRC in " << type;
    if (type == "IHDR") {
      width = Be32(png, at + 8);
      height = Be32(png, at + 12);
    }
    if (type == "IDAT") zlib.insert(zlib.end(), png.begin() + static_cast<long>(at + 8),
                                    png.begin() + static_cast<long>(at + 8 + length));
    types.push_back(type);
    at += 12 + length;
  }
  if (at != png.size() || types.empty() || types.front() != "IHDR" || types.back() != "IEND")
    return ::testing::AssertionFailure() << "chunk order or trailing bytes";
  // zlib header, stored blocks, Adler-32.
  if (zlib.size() < 6 || ((zlib[0] << 8) | zlib[1]) % 31 != 0) return ::testing::AssertionFailure() << "zlib header";
  Bytes raw;
  size_t z = 2;
  for (bool last = false; !last;) {
    if (z + 5 > zlib.size() || (zlib[z] & 0x06) != 0) return ::testing::AssertionFailure() << "not a stored block";
    last = zlib[z] & 1;
    const size_t n = zlib[z + 1] | (zlib[z + 2] << 8);
    if ((n ^ (zlib[z + 3] | (zlib[z + 4] << 8))) != 0xFFFF || z + 5 + n > zlib.size())
      return ::testing::AssertionFailure() << "stored block length";
    raw.insert(raw.end(), zlib.begin() + static_cast<long>(z + 5), zlib.begin() + static_cast<long>(z + 5 + n));
    z += 5 + n;
  }
  uint32_t a = 1, b = 0;
  for (uint8_t byte : raw) {
    a = (a + byte) % 65521;
    b = (b + a) % 65521;
  }
  if (z + 4 != zlib.size() || Be32(zlib, z) != ((b << 16) | a)) return ::testing::AssertionFailure() << "Adler-32";
  if (raw.size() != static_cast<size_t>(height) * (width + 1)) return ::testing::AssertionFailure() << "row count";
  return ::testing::AssertionSuccess();
}

// The wait the latest signature exchange asked for (test core only).
void ExpectWait(int ms) {
#ifdef RV270_TEST_CORE
  EXPECT_EQ(ms, api::LastSignatureWaitMs());
#else
  (void)ms;
#endif
}

// A scratch folder per test with a voucher in it; the transfers' long waits cut to 5%.
class SignFixture {
 public:
  SignFixture() {
    dir_ = FreshTestFolder("sign");
    rv270sim::SetProcessEnv("RV270_TEST_TRANSFER_WAITS", "5");
    voucher_ = Write("voucher.pdf", Str("%PDF-1.4\n% counter voucher 0042\n%%EOF\n"));
  }
  ~SignFixture() {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string Write(const std::string& name, const Bytes& content) const {
    const fs::path p = dir_ / name;
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(content.data()),
                                             static_cast<std::streamsize>(content.size()));
    return p.string();
  }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  const std::string& Voucher() const { return voucher_; }

 private:
  fs::path dir_;
  std::string voucher_;
};

const Bytes kOldImage = Str("previous customer's signature");

class SignLinkTest : public SimLinkTest, public SignFixture {
 protected:
  Bytes StoredSignature() {
    const auto state = sim.State();
    auto it = state.files.find({9, "UserSign.png"});
    return it == state.files.end() ? Bytes() : it->second.content;
  }
  bool Sent(uint8_t cls, uint8_t cmd) {
    for (const auto& r : sim.Requests())
      if (r.payload.size() >= 2 && r.payload[0] == cls && r.payload[1] == cmd) return true;
    return false;
  }
};
RV270_INSTANTIATE_LINKS(SignLinkTest);

class SignTest : public SignLinkTest {};
INSTANTIATE_TEST_SUITE_P(Usb, SignTest, ::testing::Values(kUsbPort), LinkParamName);

// The two voucher signings: the same road, Signaturetest pausing before the fetch.
struct VoucherExport {
  const char* name;
  int(RV270_CALL* call)(int, int, int, int, int, int, int, int, const char*, int, int, int, const char*, const char*);
};
const VoucherExport kVoucherExports[] = {
    {"RV270Api_ShowInfoOrWaitSignFZ", RV270Api_ShowInfoOrWaitSignFZ},
    {"RV270Api_Signaturetest", RV270Api_Signaturetest},
};

// Voucher downloaded, signature screen shown, customer signs, the image lands in
// SavePath (replacing an older one) and is the PNG the terminal made.
TEST_P(SignLinkTest, VoucherSigningBringsTheImageBackAsAFile) {
  for (const VoucherExport& e : kVoucherExports) {
    SCOPED_TRACE(e.name);
    sim.ClearRecords();
    const std::string save = Write("sign.png", kOldImage);
    const size_t from = LogLines().size();
    EXPECT_EQ(0, e.call(Port(), 0, 0, 10, 20, 300, 400, 1, "", 30, 0, 0, save.c_str(), Voucher().c_str()));

    const auto state = sim.State();
    auto voucher = state.files.find({6, "用户凭证.pdf"});
    ASSERT_NE(voucher, state.files.end());
    EXPECT_EQ(ReadAll(Voucher()), voucher->second.content);
    EXPECT_EQ(0, state.screen.signMode);
    EXPECT_EQ(30, state.screen.lastTimeout);
    const Bytes image = ReadAll(save);
    EXPECT_EQ(StoredSignature(), image);
    EXPECT_TRUE(ValidPng(image));
    EXPECT_FALSE(fs::exists(save + ".part"));

    EXPECT_GE(LogFind(Logged('I', Voucher()), from), 0);
    const int downloaded = LogFind("RV270Api_SaveFile_NewName return[0]!", from);
    const int shown = LogFind("RV270Api_ShowInfoOrWaitSign mode:[0],pStatusArea:[],pMainArea:[1],", from);
    const int fetched = LogFind("RV270Api_UploadFilesToPc Port:[" + std::to_string(Port()) +
                                    "],iMode:[0],SavePath:[" + save + "],timeout:[30]",
                                from);
    EXPECT_GE(downloaded, 0);
    EXPECT_GT(shown, downloaded);
    EXPECT_GT(fetched, shown);
    EXPECT_GE(LogFind("RV270Api_UploadFilesToPc end,rc=0", from), 0);
    EXPECT_LT(LogFind(std::string("****************") + e.name + " start", from), 0);  // no frame of its own
  }

  // The customer cancels: 1, nothing fetched, and the image of before is gone.
  sim.ClearRecords();
  sim.SetCustomerOutcome(B({0x00, 0x01}));
  const std::string save = Write("sign.png", kOldImage);
  EXPECT_EQ(1, RV270Api_ShowInfoOrWaitSignFZ(Port(), 0, 0, 0, 0, 0, 0, 0, "", 30, 0, 0, save.c_str(),
                                             Voucher().c_str()));
  EXPECT_FALSE(fs::exists(save));
  EXPECT_TRUE(StoredSignature().empty());
  EXPECT_FALSE(Sent(0x50, 0x08));
}

// Every outcome but a completed signature ends the call without a fetch, and a previous
// customer's image never survives it (the serial link's road is in the test above).
TEST_P(SignTest, VoucherSigningWithoutASignatureLeavesNoImage) {
  struct Case {
    const char* what;
    Bytes customer;
    int mode;
    bool voucherMissing;
    int ret;
  };
  const std::vector<Case> cases = {
      {"cancelled", B({0x00, 0x01}), 0, false, 1},
      {"device time ran out", B({0xAA, 0x00}), 0, false, 3},
      {"refused", B({0x00, 0x05}), 0, false, -6},
      {"voucher missing", B({0x00, 0x00, 0x00}), 0, true, -114},
      {"mode 1 answered", B({0x00, 0x00, 0x00}), 1, false, 0},
  };
  for (const VoucherExport& e : kVoucherExports) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(e.name) + ": " + c.what);
      sim.ClearRecords();
      sim.PutFile(9, "UserSign.png", kOldImage);  // the terminal's previous image, too
      sim.SetCustomerOutcome(c.customer);
      const std::string save = Write("sign.png", kOldImage);
      const std::string pdf = c.voucherMissing ? Path("missing.pdf") : Voucher();
      EXPECT_EQ(c.ret, e.call(Port(), 0, c.mode, 0, 0, 0, 0, 0, "", 30, 0, 0, save.c_str(), pdf.c_str()));
      EXPECT_EQ(c.mode != 0, fs::exists(save));  // mode 1 writes no image: SavePath is not its
      EXPECT_FALSE(Sent(0x50, 0x08));
      EXPECT_EQ(!c.voucherMissing, Sent(0x50, 0x12));
    }
  }
}

// A positive upload failure (a data report that never came) is not the customer's
// "cancelled": -115 with last error 115, and no image at SavePath.
TEST_P(SignTest, UploadFailureDoesNotReadAsACustomerOutcome) {
  rv270sim::TransferFaults faults;
  faults.dropReport = 3;
  const std::string save = Write("sign.png", kOldImage);
  sim.SetTransferFaults(faults);
  EXPECT_EQ(-115, RV270Api_ShowInfoOrWaitSignFZ(Port(), 0, 0, 0, 0, 0, 0, 0, "", 30, 0, 0, save.c_str(),
                                                Voucher().c_str()));
  EXPECT_EQ(115, RV270Api_GetErrorCode());
  EXPECT_TRUE(LogHas(Logged('E', "RV270Api_ShowInfoOrWaitSignFZ upload return 1!")));
  EXPECT_FALSE(fs::exists(save));

  sim.SetTransferFaults(faults);
  char text[kTextRoom];
  memset(text, 'z', sizeof(text));
  int length = -1;
  EXPECT_EQ(-115, Paperless(30, "", text, &length));
  EXPECT_EQ(115, RV270Api_GetErrorCode());
  EXPECT_EQ(0, length);
  EXPECT_EQ('\0', text[0]);
  EXPECT_TRUE(LogHas(Logged('I', "data:")));
  EXPECT_TRUE(LogHas(Logged('I', "len:0")));
}

// The paperless page: request bytes, wait, the image as terminated Base64 text that
// decodes to the terminal's PNG; the text itself never reaches the log.
TEST_P(SignTest, PaperlessReturnsTheImageAsBase64) {
  struct Case {
    const char* text;
    Bytes request;
  };
  const std::vector<Case> cases = {
      {"", B({0x10, 0xFF, 0x00, 0x3C})},
      {nullptr, B({0x10, 0xFF, 0x00, 0x3C})},
      {"请在此签名", B({0x10, 0xFF, 0x00, 0x3C, 0x00, 0x0A}) + Str("请在此签名")},
  };
  for (const Case& c : cases) {
    sim.ClearRecords();
    static char text[kTextRoom];
    memset(text, 'z', sizeof(text));
    int length = -1;
    const size_t from = LogLines().size();
    EXPECT_EQ(0, Paperless(60, c.text, text, &length));
    ExpectWait(61000);
    ASSERT_FALSE(sim.Requests().empty());
    EXPECT_EQ(Hex(c.request), Hex(sim.Requests()[0].payload));
    EXPECT_EQ(c.text ? std::string(c.text) : "", sim.State().values["paperText"]);
    ASSERT_GT(length, 0);
    EXPECT_EQ(0, length % 4);
    EXPECT_EQ(static_cast<size_t>(length), strlen(text));
    const Bytes image = Decode(text);
    EXPECT_EQ(StoredSignature(), image);
    EXPECT_TRUE(ValidPng(image));

    EXPECT_GE(LogFind(Logged('I', "Paperless return ok!"), from), 0);
    EXPECT_GE(LogFind("RV270Api_UploadFilesToPc Port:[0],iMode:[1],SavePath:[123],timeout:[5]", from), 0);
    EXPECT_GE(LogFind(Logged('I', "data:***"), from), 0);
    EXPECT_GE(LogFind(Logged('I', "len:" + std::to_string(length)), from), 0);
    EXPECT_LT(LogFind(std::string(text, 40), from), 0);
    EXPECT_EQ("****************Paperless end****************", LogLines().back().substr(LogLines().back().find('*')));
  }
}

TEST_P(SignTest, PaperlessOutcomes) {
  struct Case {
    Bytes answer;
    int ret;
    int error;
    std::string line;
  };
  const std::vector<Case> cases = {
      {B({0x00, 0x01}), 1, 0, Logged('E', "Paperless return cancel!")},
      {B({0xAA, 0x00}), -11, 0, Logged('E', "Paperless return timeout!")},
      {B({0x00, 0x09}), -4, 103, Logged('E', "Paperless return error!")},
      {B({0x01}), -4, 103, Logged('E', "Paperless return error!")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Hex(c.answer));
    sim.ScriptNext(Answer::Of(c.answer));
    char text[8] = "zzzzzzz";
    int length = -1;
    const size_t from = LogLines().size();
    EXPECT_EQ(c.ret, Paperless(0, "", text, &length));
    EXPECT_EQ(c.error, RV270Api_GetErrorCode());
    EXPECT_GE(LogFind(c.line, from), 0);
    EXPECT_EQ(0, length);
    EXPECT_EQ('\0', text[0]);
  }
  Answer damaged = Answer::Done();
  damaged.faults.badStx = true;
  damaged.faults.badEtx = true;
  sim.ScriptNext(damaged);
  char text[8];
  int length = 0;
  EXPECT_EQ(-3, Paperless(0, "", text, &length));
  EXPECT_EQ(102, RV270Api_GetErrorCode());
  EXPECT_TRUE(LogHas(Logged('E', "Paperless return -")));
  EXPECT_FALSE(Sent(0x50, 0x08));
}

// The voucher signing over USB with the image as Base64 text.
TEST_P(SignTest, DLpaperlessFZReturnsTheImageAsBase64) {
  static char text[kTextRoom];
  memset(text, 'z', sizeof(text));
  int length = -1;
  EXPECT_EQ(0, DLpaperlessFZ(1, 2, 3, 4, 5, 20, text, Voucher().c_str(), &length));
  const auto state = sim.State();
  EXPECT_NE(state.files.find({6, "用户凭证.pdf"}), state.files.end());
  EXPECT_EQ(0, state.screen.signMode);
  EXPECT_EQ(5, state.screen.signByte);
  EXPECT_EQ(0, length % 4);
  EXPECT_EQ(static_cast<size_t>(length), strlen(text));
  EXPECT_EQ(StoredSignature(), Decode(text));
  EXPECT_TRUE(LogHas("RV270Api_UploadFilesToPc Port:[0],iMode:[1],SavePath:[123],timeout:[20]"));
  EXPECT_TRUE(LogHas(Logged('I', "len:" + std::to_string(length))));

  // The customer cancels: the outcome comes back, nothing is fetched, the text is empty.
  sim.ClearRecords();
  sim.SetCustomerOutcome(B({0x00, 0x01}));
  EXPECT_EQ(1, DLpaperlessFZ(1, 2, 3, 4, 5, 20, text, Voucher().c_str(), &length));
  EXPECT_EQ(0, length);
  EXPECT_EQ('\0', text[0]);
  EXPECT_FALSE(Sent(0x50, 0x08));
  // A voucher that is not there: -114, nothing shown.
  sim.ClearRecords();
  EXPECT_EQ(-114, DLpaperlessFZ(1, 2, 3, 4, 5, 20, text, Path("missing.pdf").c_str(), &length));
  EXPECT_TRUE(LogHas("RV270Api_SaveFile_NewName return[-100]!"));
  EXPECT_FALSE(Sent(0x50, 0x12));
}

// Images up to the buffer's capacity come back whole, with their terminator at the
// documented last place; one byte more fails cleanly: negative, last error 115, an empty
// text, nothing written past it.
TEST_P(SignTest, ImageLargerThanItsBufferFailsCleanly) {
  struct Case {
    const char* name;
    size_t image;
    bool fits;
    size_t room;
  };
  const std::vector<Case> cases = {
      {"Paperless", 102400, true, kTextRoom},     {"Paperless", 102401, false, kTextRoom},
      {"DLpaperlessFZ", 102401, false, kTextRoom}, {"papeless_BJZW", 204800, true, kLargeTextRoom},
      {"papeless_BJZW", 204801, false, kLargeTextRoom},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.image));
    sim.EditState([&](rv270sim::DeviceState& s) { s.values["signBytes"] = std::to_string(c.image); });
    std::vector<char> text(c.room + 64, 'z');
    int length = -1;
    int ret = 0;
    if (std::string(c.name) == "Paperless") {
      ret = Paperless(10, "", text.data(), &length);
    } else if (std::string(c.name) == "DLpaperlessFZ") {
      ret = DLpaperlessFZ(0, 0, 0, 0, 0, 10, text.data(), Voucher().c_str(), &length);
    } else {
      ret = papeless_BJZW("1280", "720", "", "10", text.data());
    }
    const Bytes image = StoredSignature();
    ASSERT_EQ(c.image, image.size());
    if (c.fits) {
      EXPECT_EQ(0, ret);
      EXPECT_EQ(c.room - 1, strlen(text.data()));
      EXPECT_EQ(image, Decode(text.data()));
    } else {
      EXPECT_EQ(-2, ret);
      EXPECT_EQ(115, RV270Api_GetErrorCode());
      EXPECT_EQ('\0', text[0]);
      if (length != -1) {
        EXPECT_EQ(0, length);
      }
    }
    EXPECT_EQ(std::string(64, 'z'), std::string(text.data() + c.room, 64));
  }
}

// The signature pad step by step: request bytes and waits, the pad on the terminal, the
// image into SavePath; success leaves the last error alone.
TEST_P(SignTest, SignaturePadStepByStep) {
  const std::string save = Write("pad.png", kOldImage);
  RV270Api_ShowInfoOrWaitSign(Port(), 0, 0, nullptr, "", 0, 0, 0, 0, 0, nullptr, 0, 0, 0);  // -2, last error 100
  ASSERT_EQ(100, RV270Api_GetErrorCode());
  sim.ClearRecords();

  EXPECT_EQ(0, startSignature_GDNH());
  ExpectWait(999000);
  EXPECT_EQ(Hex(B({0x31, 0x01}) + Str("1280|720|1280|720|0||")), Hex(sim.Requests().back().payload));
  EXPECT_EQ(23u, sim.Requests().back().payload.size());
  EXPECT_EQ("open", sim.State().values["signPad"]);
  EXPECT_FALSE(StoredSignature().empty());

  EXPECT_EQ(0, clearSignature_GDNH());
  ExpectWait(5000);
  EXPECT_EQ(Hex(B({0x31, 0x03})), Hex(sim.Requests().back().payload));
  EXPECT_EQ("cleared", sim.State().values["signPad"]);
  EXPECT_TRUE(StoredSignature().empty());

  EXPECT_EQ(0, getSignature_GDNH(save.c_str()));
  ExpectWait(5000);
  std::vector<std::string> sent;
  for (const auto& r : sim.Requests()) sent.push_back(Hex(r.payload));
  const auto ready = std::find(sent.begin(), sent.end(), Hex(B({0x31, 0x02, 0x00})));
  ASSERT_NE(ready, sent.end());
  ASSERT_NE(ready + 1, sent.end());
  EXPECT_EQ(Hex(B({0x50, 0x08, 0x09, 0x00, 0x0C}) + Str("UserSign.png")), ready[1]);
  EXPECT_EQ(StoredSignature(), ReadAll(save));
  EXPECT_TRUE(ValidPng(ReadAll(save)));
  EXPECT_TRUE(LogHas("RV270Api_UploadFilesToPc Port:[0],iMode:[0],SavePath:[" + save + "],timeout:[10]"));

  EXPECT_EQ(0, endSign_GDNH());
  EXPECT_EQ(Hex(B({0x50, 0x15})), Hex(sim.Requests().back().payload));
  EXPECT_EQ("closed", sim.State().values["signPad"]);
  EXPECT_EQ(100, RV270Api_GetErrorCode());
  for (const char* name : {"startSignature_GDNH", "clearSignature_GDNH", "getSignature_GDNH", "endSign_GDNH"}) {
    EXPECT_EQ(1u, LogCount(std::string("****************") + name + " end****************")) << name;
  }
  EXPECT_EQ(4u, LogCount(Logged('I', "RV270Api_Communication return ok!")));

  // Nothing to fetch: the image of before is gone all the same.
  Write("pad.png", kOldImage);
  sim.ScriptNext(Answer::Status(0x00, 0x01));
  EXPECT_EQ(-4, getSignature_GDNH(save.c_str()));
  EXPECT_EQ(103, RV270Api_GetErrorCode());
  EXPECT_FALSE(fs::exists(save));
}

TEST_P(SignTest, SignaturePadFailures) {
  struct Member {
    const char* name;
    std::function<int()> call;
  };
  const std::string save = Path("pad.png");
  const std::vector<Member> members = {
      {"startSignature_GDNH", [] { return startSignature_GDNH(); }},
      {"clearSignature_GDNH", [] { return clearSignature_GDNH(); }},
      {"endSign_GDNH", [] { return endSign_GDNH(); }},
      {"getSignature_GDNH", [&] { return getSignature_GDNH(save.c_str()); }},
      {"papeless_BJZW", [] { static char t[8]; return papeless_BJZW("1", "2", "3", "4", t); }},
  };
  for (const Member& m : members) {
    SCOPED_TRACE(m.name);
    sim.ScriptNext(Answer::Status(0x00, 0x09));
    size_t from = LogLines().size();
    EXPECT_EQ(-4, m.call());
    EXPECT_EQ(103, RV270Api_GetErrorCode());
    EXPECT_GE(LogFind(Logged('E', "RV270Api_Communication return error!"), from), 0);

    Answer damaged = Answer::Done();
    damaged.faults.badStx = true;
    damaged.faults.badEtx = true;
    sim.ScriptNext(damaged);
    from = LogLines().size();
    EXPECT_EQ(-3, m.call());
    EXPECT_EQ(102, RV270Api_GetErrorCode());
    EXPECT_GE(LogFind(Logged('E', "RV270Api_Communication return -"), from), 0);
    EXPECT_GE(LogFind(std::string("****************") + m.name + " end****************", from), 0);
  }
  EXPECT_FALSE(Sent(0x50, 0x08));
}

// papeless_BJZW: the parameter text built from the fields, its wait, the image as text.
TEST_P(SignTest, PapelessBjzwSendsTheFieldsAndReturnsTheText) {
  static char text[kLargeTextRoom];
  memset(text, 'z', sizeof(text));
  EXPECT_EQ(0, papeless_BJZW("1280", "720", "", "60", text));
  ExpectWait(60000);
  EXPECT_EQ(Hex(B({0x31, 0x01}) + Str("1280|720|1280|720|60||")), Hex(sim.Requests()[0].payload));
  EXPECT_EQ("1280|720|1280|720|60||", sim.State().values["signParams"]);
  EXPECT_EQ(StoredSignature(), Decode(text));
  EXPECT_TRUE(LogHas("RV270Api_UploadFilesToPc Port:[0],iMode:[1],SavePath:[],timeout:[60]"));
  EXPECT_FALSE(LogHas("data:"));

  // Fields that do not fit the request are refused before anything is sent.
  sim.ClearRecords();
  const std::string wide(600, '9');
  EXPECT_EQ(-2, papeless_BJZW(wide.c_str(), "720", "", "60", text));
  EXPECT_EQ(100, RV270Api_GetErrorCode());
  EXPECT_TRUE(LogHas(Logged('E', "papeless_BJZW parameter text too long!")));
  EXPECT_TRUE(sim.Requests().empty());
}

// Arguments that would lose a signature after the customer signed are refused before
// anything is downloaded or shown: -2, last error 100, an E line.
TEST_P(SignTest, ArgumentsAreRefusedBeforeThePadIsShown) {
  struct Case {
    std::function<int()> call;
    const char* line;
  };
  char text[8];
  int length = 0;
  const std::string pdf = Voucher();
  const std::string longText(20480 - 6 + 1, 'a');  // one byte more than the request holds
  const std::vector<Case> cases = {
      {[&] { return RV270Api_ShowInfoOrWaitSignFZ(0, 0, 0, 0, 0, 0, 0, 0, "", 30, 0, 0, nullptr, pdf.c_str()); },
       "RV270Api_ShowInfoOrWaitSignFZ SavePath is empty!"},
      {[&] { return RV270Api_ShowInfoOrWaitSignFZ(0, 0, 0, 0, 0, 0, 0, 0, "", 30, 0, 0, "", pdf.c_str()); },
       "RV270Api_ShowInfoOrWaitSignFZ SavePath is empty!"},
      {[&] { return RV270Api_Signaturetest(0, 0, 0, 0, 0, 0, 0, 0, "", 30, 0, 0, "", pdf.c_str()); },
       "RV270Api_Signaturetest SavePath is empty!"},
      {[&] { return DLpaperlessFZ(0, 0, 0, 0, 0, 30, nullptr, pdf.c_str(), &length); },
       "DLpaperlessFZ pBase64 is null!"},
      {[&] { return DLpaperlessFZ(0, 0, 0, 0, 0, 30, text, pdf.c_str(), nullptr); },
       "DLpaperlessFZ pBase64Len is null!"},
      {[&] { return Paperless(30, "", nullptr, &length); }, "Paperless pBase64 is null!"},
      {[&] { return Paperless(30, "", text, nullptr); }, "Paperless pBase64Len is null!"},
      {[&] { return Paperless(-1, "", text, &length); }, "Paperless timeout<0!"},
      {[&] { return Paperless(65536, "", text, &length); }, "Paperless timeout>65535!"},
      {[&] { return Paperless(30, longText.c_str(), text, &length); }, "Paperless pPaperText too long!"},
      {[&] { return papeless_BJZW("1280", "720", "", "60", nullptr); }, "papeless_BJZW pBase64 is null!"},
      {[&] { return getSignature_GDNH(nullptr); }, "getSignature_GDNH SavePath is empty!"},
      {[&] { return getSignature_GDNH(""); }, "getSignature_GDNH SavePath is empty!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const size_t from = LogLines().size();
    EXPECT_EQ(-2, c.call());
    EXPECT_EQ(100, RV270Api_GetErrorCode());
    EXPECT_GE(LogFind(Logged('E', c.line), from), 0);
  }
  EXPECT_TRUE(sim.Requests().empty());
  // Mode 1 writes no image: it needs no SavePath.
  EXPECT_EQ(0, RV270Api_ShowInfoOrWaitSignFZ(0, 0, 1, 0, 0, 0, 0, 0, "", 30, 0, 0, nullptr, pdf.c_str()));
}

// The short download forms of the same customer family.
TEST_P(SignTest, ShortDownloadForms) {
  const std::string picture = Write("poster.jpg", Str("JFIF poster"));
  const size_t from = LogLines().size();
  EXPECT_EQ(-10, RV270Api_SaveFileSingleFZ(3, picture.c_str()));
  EXPECT_EQ(-10, RV270Api_SaveFileSingleFZ(0, picture.c_str()));
  EXPECT_EQ(from, LogLines().size());
  EXPECT_TRUE(sim.Requests().empty());

  EXPECT_EQ(0, RV270Api_SaveFileSingleFZ(1, picture.c_str()));
  EXPECT_EQ(0, RV270Api_SaveFileSingleFZ(2, Write("clip.mp4", Str("video")).c_str()));
  const auto state = sim.State();
  EXPECT_NE(state.files.find({1, "poster.jpg"}), state.files.end());
  EXPECT_NE(state.files.find({2, "clip.mp4"}), state.files.end());

  EXPECT_EQ(0, RV270Api_SetupAppFZ(Write("RV270_APP.bin", Str("firmware")).c_str()));
  EXPECT_NE(sim.State().files.find({5, "RV270_APP.bin"}), sim.State().files.end());
  EXPECT_TRUE(LogHas("RV270Api_SetupApp ok!"));
}

}  // namespace
