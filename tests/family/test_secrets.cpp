// No secret reaches the log: every key, PIN, password and operator export runs with
// dummy secrets (and the simulated customer types its own), then every file of the log
// folder is searched for each secret in clear, as hexadecimal text (joined and as the
// spaced dumps of the log), and in Base64: no hit may be found.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "test_pinpad_support.h"

using namespace pinpadtest;

namespace {

std::string Base64(const std::string& bytes) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) | (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                       static_cast<unsigned char>(bytes[i + 2]);
    for (int shift = 18; shift >= 0; shift -= 6) out += kAlphabet[(v >> shift) & 0x3F];
  }
  return out;  // whole groups only: a match of these is a match of the secret's encoding
}

std::string SpacedHex(const std::string& bytes) {
  std::string joined = HexOf(bytes), out;
  for (size_t i = 0; i < joined.size(); i += 2) out += joined.substr(i, 2) + (i + 2 < joined.size() ? " " : "");
  return out;
}

// The bytes a hexadecimal secret stands for ("" when it is not hexadecimal).
std::string Decoded(const std::string& hex) {
  std::string out;
  if (hex.size() % 2) return out;
  for (size_t i = 0; i < hex.size(); i += 2) {
    const std::string pair = hex.substr(i, 2);
    if (pair.find_first_not_of("0123456789ABCDEFabcdef") != std::string::npos) return "";
    out += static_cast<char>(std::stoi(pair, nullptr, 16));
  }
  return out;
}

// The forms in which a secret could stand in a log.
std::vector<std::string> Forms(const std::string& secret) {
  std::vector<std::string> forms{secret, HexOf(secret), SpacedHex(secret), Base64(secret)};
  const std::string bytes = Decoded(secret);
  if (bytes.size() >= 4) {
    forms.push_back(SpacedHex(bytes));
    forms.push_back(Base64(bytes));
  }
  return forms;
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class SecretsTest : public rv270test::SimTest {};

TEST_F(SecretsTest, NoSecretReachesTheLog) {
  const int port = rv270test::kUsbPort;
  // The folder holds this run's lines only: what an earlier (broken) build wrote does
  // not count against this one.
  const std::filesystem::path folder = std::filesystem::path(LogPath()).parent_path();
  ASSERT_TRUE(std::filesystem::is_directory(folder));
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    std::error_code ignored;
    if (entry.is_regular_file()) std::filesystem::remove(entry.path(), ignored);
  }
  std::vector<std::string> secrets;
  auto secret = [&](const std::string& s) {
    secrets.push_back(s);
    return secrets.back().c_str();
  };
  sim.EditState([](rv270sim::DeviceState& s) {
    s.values["pinpad.pin"] = "975318";
    s.values["pinpad.password"] = "24680135";
    s.values["pinpad.number"] = "11235813";
  });
  secrets.insert(secrets.end(), {"975318", "24680135", "11235813"});
  char out[600], out2[600], length[8], tail[600];

  // Password pad and screen keys, and the password entries.
  RV270Api_SetPwMkey(port, 0, 1, secret("A1B2C3D4E5F60718"), 16);
  RV270Api_SetPwWkey(port, 0, 1, 1, secret("C0FFEE00DEADBEEF1234567890ABCDEF"), 32);
  RV270Api_SetScreenMkey(port, 0, 1, secret("5A5A5A5AA5A5A5A5"), 16);
  RV270Api_SetScreenWkey(port, 0, 1, 1, secret("0F1E2D3C4B5A6978"), 16);
  memset(out, 0, sizeof(out));
  ASSERT_EQ(16, RV270Api_InputPassword(port, 0, 5, "status", "tip", nullptr, 8, sizeof(out), out));
  secrets.push_back(std::string(out, 32));
  memset(out, 0, sizeof(out));
  ASSERT_LT(0, RV270Api_SetPassword(port, 0, 5, nullptr, nullptr, nullptr, 8, sizeof(out), out));
  secrets.push_back(out);

  // Master and work keys.
  ASSERT_EQ(0, RV270Api_InputTMK(port, 0, "1", secret("1F2E3D4C5B6A79881F2E3D4C5B6A7988"),
                                 secret("00112233445566778899AABBCCDDEEFF"), out, 0));
  RV270Api_LoadTMK(port, 0, "1", "16", "2", secret("9A8B7C6D5E4F30219A8B7C6D5E4F3021"), out, 0);
  RV270Api_InputKEY(port, 0, "1", "3", "16", secret("7766554433221100FFEEDDCCBBAA9988"), secret("C3C4C5C6"), 0);
  Nb_InputWKey(port, 0, secret("00104ABCDEF0123456789ABCDEF01234567"));
  RV270Api_CryptData(port, 0, "1", "3", "8", secret("FEEDFACECAFEBEEF"), out, 0);
  RV270Api_WriteKeyWithDesCiper(port, 0, "001", "16", secret("DEC0DED0DEC0DED1DEC0DED2DEC0DED3"), out);
  RV270Api_WriteKeyWithSM4Ciper(port, 0, "001", "16", secret("5E4D4C3B2A1908F75E4D4C3B2A1908F7"), out);
  RV270Api_WriteWorkKeyWithMainkey(port, 0, "001", "004", "16", secret("ABAB1212CDCD3434EFEF5656ABAB7878"), out);

  // PIN and keypad entry.
  memset(out, 0, sizeof(out));
  ASSERT_EQ(0, RV270Api_ReadCustomerPin(port, 0, "1", secret("622202001234"), "1", 5, 0, 0, 0, length, out, tail));
  secrets.push_back(std::string(out, 16));
  RV270Api_GetAnsi98Account(port, 0, secret("6222020012345678901"), out);
  memset(out, 0, sizeof(out));
  ASSERT_EQ(0, RV270Api_GuomiPin(port, 0, "1", "001", "1", secret("620000987654"), "1", 5, "4", "12", out));
  secrets.push_back(out);
  memset(out, 0, sizeof(out));
  ASSERT_EQ(0, Nb_ReadCustomerPin_new(port, 0, 5, 0, 0, out, 0, ""));
  secrets.push_back(std::string(out, 16));
  RV270Api_NumKeyboard(port, 0, 0, 5, 0, 8, out);
  rv270sim::RawSend keys;
  keys.chunks = rv270sim::KeyChunks("86420975\r");
  secrets.push_back("86420975");
  sim.ReplyToNextRawSequence(rv270sim::Link::kUsb, keys);
  memset(out, 0, sizeof(out));
  ASSERT_EQ(0, RV270Api_InnputClearKey2(port, 0, 0, 5, out));
  ASSERT_STREQ("86420975", out);
  rv270sim::RawSend framed;
  framed.chunks = {rv270sim::FramedKeyChunk("31415926")};
  secrets.push_back("31415926");
  sim.ReplyToNextRawSequence(rv270sim::Link::kUsb, framed);
  ASSERT_EQ(0, RV270Api_InnputClearKeyFZ(port, 0, 8, 0, 5, out));

  // Operators.
  SendCiphertext(port, 9600, secret("AD31C1F3E5A7B9D0"), 5);
  ASSERT_EQ(0, CreatOperator(port, 9600, 7, secret("90817263"), 5));
  ASSERT_EQ(0, SetOperatorKey(port, 9600, secret("13572468ACEBDF0913572468ACEBDF09"), 5));
  OperatorSignIn(port, 9600, 7, "13572468ACEBDF0913572468ACEBDF09", "90817263", 5);
  RV270Api_EncBySm2_PK(port, 0, "16", "04ABCDEF", out, out2);
  secrets.push_back(out);

  size_t files = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    if (!entry.is_regular_file()) continue;
    ++files;
    const std::string text = ReadFile(entry.path());
    for (const std::string& s : secrets) {
      for (const std::string& form : Forms(s)) {
        if (form.size() < 6) continue;
        EXPECT_EQ(std::string::npos, text.find(form)) << entry.path().string() << " holds " << form << " (of " << s << ")";
      }
    }
  }
  EXPECT_GT(files, 0u);
  // The masked lines are there, with their shape (the log was emptied above: read it whole).
  const std::string log = ReadFile(LogPath());
  EXPECT_NE(std::string::npos, log.find("RV270Api_SetPwMkey pwMkey:[****************],iLen:[16]"));
  EXPECT_NE(std::string::npos, log.find("RV270Api_GetAnsi98Account AccNo=***************8901"));
}

}  // namespace
