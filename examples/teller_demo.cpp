// A teller workflow against an RV270 terminal (or the simulator): find the terminal,
// exchange the status command over USB and a serial port, greet a customer, send a
// picture and a PDF voucher to the terminal, list its pictures and fetch one back, show
// the teller card with its photo and let the customer rate the service, have a voucher
// signed and keep the signature as a PNG, then load PIN-pad keys and read the customer's PIN.
//
// Usage: see kUsage below (teller_demo --help).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "QornRV270API.h"

namespace {

int g_failures = 0;

void Report(const char* step, int result, bool ok) {
  std::printf("%-44s -> %6d  (last error %d)%s\n", step, result, RV270Api_GetErrorCode(), ok ? "" : "  FAILED");
  if (!ok) ++g_failures;
}

std::string Hex(const unsigned char* data, int length) {
  char text[4096 * 2 + 1] = {0};
  RV270Api_Hex2Ascii(data, length, text);
  return text;
}

void StatusExchange(const char* link, int port, int selector) {
  unsigned char request[2] = {0x50, 0x01};
  unsigned char response[4096] = {0};
  int length = 0;
  const int result = RV270Api_Communication(port, selector, request, response, 2, &length, 1000);
  std::string step = std::string("status command over ") + link;
  Report(step.c_str(), result, result == 0);
  if (result == 0) std::printf("    answer payload: %s\n", Hex(response, length).c_str());
}

void Workflow(int port) {
  std::printf("\nTeller workflow on port %d\n", port);
  int r = RV270Api_GetWorkingStatus(port, 0);
  Report("working status", r, r == 0);

  char info[512] = {0};
  r = RV270Api_GetDeviceInfo(port, 0, sizeof(info), info);
  Report("device information", r, r == 0);
  if (r == 0) std::printf("    %s\n", info);
  char version[260] = {0};
  r = RV270Api_GetVersion(port, 0, version);
  Report("firmware version", r, r == 0);
  if (r == 0) std::printf("    %s\n", version);

  r = RV270Api_SetWelCome(port, 0, "欢迎光临");
  Report("welcome text", r, r == 0);
  r = RV270Api_InitStatusBar(port, 0, "柜员: 001");
  Report("status bar", r, r == 0);
  r = RV270Api_SetStatusBarInfo(port, 0, "请稍候");
  Report("status bar information", r, r == 0);

  r = RV270Api_SetVoiceVolume(port, 0, 0, 2);
  Report("set volume", r, r == 0);
  r = RV270Api_GetVoiceVolume(port, 0, 0);
  Report("volume level", r, r >= 0);

  // Shows the text, speaks it, and waits up to 30 s for the customer's answer (mode 1).
  r = RV270Api_ShowInfo(port, 0, 1, "请到3号窗口", 1, "请到3号窗口", 30);
  Report("show info and wait for the customer", r, r >= 0);
  if (r >= 0) std::printf("    customer answered %s\n", r == 0 ? "confirm (0)" : r == 1 ? "1" : "broken off (2)");

  char path[512] = {0};
  RV270Api_GetLogPath(path);
  std::printf("    log file: %s\n", path);
}

// Writes a small host file for the transfer step; its path, or "" when it cannot be made.
std::string MakeFile(const char* name, size_t size) {
  const char* dir = std::getenv("TMPDIR");
  std::string path = std::string(dir && *dir ? dir : "/tmp") + "/" + name;
#ifdef _WIN32
  if (!dir || !*dir) path = std::string(".\\") + name;
#endif
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return std::string();
  for (size_t i = 0; i < size; ++i) std::fputc(static_cast<int>((i * 31 + 7) & 0xFF), f);
  std::fclose(f);
  return path;
}

// Sends a picture and a PDF voucher, lists the pictures, and fetches the picture back.
void FileTransfers(int port) {
  std::printf("\nFiles on port %d\n", port);
  const std::string picture = MakeFile("rv270_demo_logo.png", 150000);
  const std::string voucher = MakeFile("rv270_demo_voucher.pdf", 40000);
  const struct {
    const char* what;
    const std::string& path;
    int category;
  } files[] = {{"picture", picture, 1}, {"PDF voucher", voucher, 6}};
  for (size_t i = 0; i < sizeof(files) / sizeof(files[0]); ++i) {
    std::printf("    [%u/2] sending the %s %s ...\n", static_cast<unsigned>(i + 1), files[i].what, files[i].path.c_str());
    std::fflush(stdout);
    const int r = RV270Api_SaveFileSingle(port, 0, 0, "", files[i].category, files[i].path.c_str());
    Report(files[i].category == 6 ? "send the voucher (stored under the voucher name)" : "send the picture", r, r == 0);
  }
  char list[4096] = {0};
  int r = RV270Api_GetFileList(port, 0, 1, sizeof(list), list);
  Report("list the pictures on the terminal", r, r == 0);
  if (r == 0) std::printf("    %s\n", list);
  unsigned char back[200000];
  int length = static_cast<int>(sizeof(back));
  r = RV270Api_UploadFilesToPc(port, 0, 1, "", 1, "rv270_demo_logo.png", 30, back, &length);
  Report("fetch the picture back", r, r == 0 && length == 150000);
  if (r == 0) std::printf("    %d bytes received\n", length);
  std::remove(picture.c_str());
  std::remove(voucher.c_str());
}

// The counter service: the teller's photo and card shown, the customer's rating, read
// back, and the terminal's SM3 digest of "abc".
void CounterService(int port) {
  std::printf("\nCounter service on port %d\n", port);
  const std::string photo = MakeFile("rv270_demo_teller.jpg", 20000);
  int r = RV270Api_EvaluateFZ(port, 0, "Li", "8001", 5, photo.c_str(), 30);
  Report("teller card with photo 8001.jpg, evaluation", r, r >= 0);
  if (r >= 0) std::printf("    customer rated the service %d\n", r);
  const int rating = r;
  r = RV270Api_ReadEvaluate(port, 0, "0", 10);
  Report("read the evaluation back", r, r >= 0 && r == rating);
  char digest[4096] = {0};
  r = sm3Calc_nID("abc", digest);
  Report("SM3 of \"abc\" on the terminal (sm3Calc_nID)", r, r == 0);
  if (r == 0) std::printf("    %s\n", digest);
  std::remove(photo.c_str());
}

// A PDF voucher signed by the customer: the voucher is shown on the terminal, the
// customer signs (the simulator's customer signs at once), and the signature image comes
// back as a PNG file beside this program.
void SignedVoucher(int port, const char* program) {
  std::printf("\nSigned voucher on port %d\n", port);
  const std::string self = program ? program : "";
  const size_t slash = self.find_last_of("/\\");
  const std::string png = (slash == std::string::npos ? std::string() : self.substr(0, slash + 1)) +
                          "rv270_demo_signature.png";
  const std::string voucher = MakeFile("rv270_demo_signed_voucher.pdf", 20000);
  const int r = RV270Api_ShowInfoOrWaitSignFZ(port, 0, 0, 0, 0, 1280, 720, 0, "请在此签名", 60, 0, 0, png.c_str(),
                                              voucher.c_str());
  Report("voucher signed, signature saved as a PNG", r, r == 0);
  if (r == 0) std::printf("    signature image: %s\n", png.c_str());
  std::remove(voucher.c_str());
}

// The PIN pad: a test master key from two components and a work key under it, each with
// its check value; the customer's PIN as an ISO 9564 format-0 PIN block bound to the
// card's account field; then the log is searched for every secret of the step.
void PinPadStep(int port) {
  std::printf("\nPIN pad on port %d\n", port);
  const char* component1 = "0123456789ABCDEF0000000000000000";
  const char* component2 = "0000000000000000FEDCBA9876543210";
  const char* workKeyUnderMaster = "A1B2C3D4E5F60718293A4B5C6D7E8F90";
  char check[300] = {0};
  int r = RV270Api_InputTMK(port, 0, "1", component1, component2, check, 0);
  Report("master key 001 from two components", r, r == 0);
  if (r == 0) std::printf("    check value %s\n", check);
  r = RV270Api_InputKEY(port, 0, "1", "1", "16", workKeyUnderMaster, "", 0);
  Report("PIN work key 01 under master key 001", r, r == 0);
  r = RV270Api_ActiveWKey(port, 0, "1", "1");
  Report("activate work key 01", r, r == 0);
  std::memset(check, 0, sizeof(check));
  r = RV270Api_CheckKEY(port, 0, "1", "1", 0, check, 0);
  Report("work key check value", r, r == 0);
  if (r == 0) std::printf("    check value %s\n", check);

  char account[300] = {0};
  r = RV270Api_GetAnsi98Account(port, 0, "43219876543210987", account);
  Report("account field of the card number", r, r == 0);
  char length[8] = {0};
  char block[40] = {0};
  char tail[2100] = {0};
  r = RV270Api_ReadCustomerPin(port, 0, "1", account, "1", 30, 0, 0, 0, length, block, tail);
  Report("customer PIN as a format-0 PIN block", r, r == 0);
  if (r == 0) std::printf("    PIN of %s digits, block %s\n", length, block);

  char path[513] = {0};
  RV270Api_GetLogPath(path);
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  const std::string log = text.str();
  int hits = 0;
  for (const char* secret : {component1, component2, workKeyUnderMaster, static_cast<const char*>(block),
                             "43219876543210987", static_cast<const char*>(account)}) {
    if (*secret && log.find(secret) != std::string::npos) ++hits;
  }
  Report("log holds none of the step's secrets", hits, !log.empty() && hits == 0);
}

const char kUsage[] =
    "Usage: teller_demo [--serial N] [--usb-only] [--help]\n"
    "  --serial N   also use COM port N, 1 to 255 (on Linux the path comes from RV270_COMN; default 7)\n"
    "  --usb-only   skip the serial steps\n"
    "  --help       print this text and run nothing\n";

// Reads a COM port number (1 to 255; 0 and 1001 are the USB link). False when it is not one.
bool ParsePort(const char* text, int& port) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < 1 || value > 255) return false;
  port = static_cast<int>(value);
  return true;
}

// Refuses the command line with the reason; exit code 2 as for the rv270 command line.
int Refuse(const std::string& why) {
  std::fprintf(stderr, "teller_demo: %s\n%s", why.c_str(), kUsage);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int serialPort = 7;
  bool serial = true;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--serial") {
      if (i + 1 >= argc) return Refuse("--serial needs a port number");
      if (!ParsePort(argv[++i], serialPort)) {
        return Refuse("--serial: '" + std::string(argv[i]) + "' is not a port number 1 to 255");
      }
    } else if (arg == "--usb-only") {
      serial = false;
    } else {
      return Refuse("unknown option '" + arg + "'");
    }
  }

  char pid[8] = {0};
  char vid[8] = {0};
  const int found = RV270Api_GetPidVid(pid, vid);
  Report("find the terminal (GetPidVid)", found, found == 1);
  if (found == 1) std::printf("    vendor id %s, product id %s\n", vid, pid);

  StatusExchange("USB", 0, 0);
  if (serial) StatusExchange("serial", serialPort, '0');

  Workflow(0);
  if (serial) Workflow(serialPort);
  FileTransfers(0);
  CounterService(0);
  SignedVoucher(0, argv[0]);
  PinPadStep(0);

  std::printf("\n%d step(s) failed\n", g_failures);
  return g_failures == 0 ? 0 : 1;
}
