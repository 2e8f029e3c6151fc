// The exports of the soak mix: for each one its family, weight, the results it may give,
// its time budget and a driver that calls it with valid or hostile arguments.
//
// Result sets: the frame's results (0 and the family's argument, link, device-refusal
// and busy values) plus what each export adds of its own: customer outcomes of the
// waiting screens, ratings, sizes, transfer failure codes. Link failures of a family are
// -2 in the device-information family and -3 elsewhere (-4 for a device refusal), so
// those appear in every set where the family uses them.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "QornRV270API.h"
#include "soak.h"

namespace soak {
namespace {

// Results shared by a family's exports.
// Every value from lo to hi, and `extra`.
std::vector<int> Range(int lo, int hi, std::initializer_list<int> extra) {
  std::vector<int> v(extra);
  for (int i = lo; i <= hi; ++i) v.push_back(i);
  return v;
}

std::vector<int> With(std::vector<int> base, std::initializer_list<int> extra) {
  base.insert(base.end(), extra.begin(), extra.end());
  return base;
}

// Seconds for the waiting commands: short, so that a silent customer costs little.
int WaitSeconds(CallContext& c) { return c.Pick(0, 2); }

// A text of `n` printable characters.
std::string Filler(CallContext& c, size_t n) {
  std::string s(n, 'x');
  for (char& ch : s) ch = static_cast<char>('a' + c.Pick(0, 25));
  return s;
}

const char* TextOr(CallContext& c, std::string& holder, const std::string& valid) {
  if (c.hostile) return c.HostileText(holder);
  holder = valid;
  return holder.c_str();
}

std::string Hex32(CallContext& c) {
  static const char* digits = "0123456789ABCDEF";
  std::string s(32, '0');
  for (char& ch : s) ch = digits[c.Pick(0, 15)];
  return s;
}

// An out buffer of `size` bytes, or a null pointer when hostile now and then.
struct OutArg {
  OutArg(CallContext& c, size_t size, bool mayBeNull = true) : g(size) {
    null = mayBeNull && c.hostile && c.Chance(30);
  }
  char* P() { return null ? nullptr : g.Data(); }
  unsigned char* U() { return null ? nullptr : g.Bytes(); }
  Guarded g;
  bool null = false;
};

// ---- Drivers ------------------------------------------------------------------------

int GetDeviceInfo(CallContext& c) {
  // Too small by one: the device text is longer than the buffer minus its terminator.
  const int len = c.hostile ? c.Pick(-1, 8) : 512;
  OutArg out(c, static_cast<size_t>(len > 0 ? len : 1));
  const int r = RV270Api_GetDeviceInfo(c.port, 0, len, out.P());
  c.CheckGuard(out.g, "pDeviceInfo");
  return r;
}

int GetErrorMsg(CallContext& c) {
  const int len = c.hostile ? c.Pick(-1, 6) : 256;
  OutArg out(c, static_cast<size_t>(len > 0 ? len : 1));
  const int r = RV270Api_GetErrorMsg(c.port, 0, len, out.P());
  c.CheckGuard(out.g, "pError");
  return r;
}

template <int (*F)(int, int, char*)>
int IdentityText(CallContext& c) {
  OutArg out(c, 257);
  const int r = F(c.port, 0, out.P());
  c.CheckGuard(out.g, "identity text");
  return r;
}

int ShowInfo(CallContext& c) {
  std::string info, voice;
  const char* text = TextOr(c, info, "Please go to window " + std::to_string(c.Pick(1, 9)));
  const int timeout = c.hostile && c.Chance(30) ? -c.Pick(1, 5) : WaitSeconds(c);
  return RV270Api_ShowInfo(c.port, 0, c.Pick(0, 1), text, c.Pick(0, 1), c.Chance(50) ? "3号窗口" : nullptr, timeout);
}

int ShowText(CallContext& c) {
  std::string info;
  const char* text = TextOr(c, info, "Text page " + Filler(c, 20));
  return RV270Api_ShowText(c.port, 0, 0, text, 0, nullptr, WaitSeconds(c));
}

int ShowWebOnly(CallContext& c) {
  std::string page;
  const char* text = TextOr(c, page, "http://127.0.0.1/p" + std::to_string(c.Pick(0, 99)) + ".html");
  return RV270Api_ShowWebOnly(c.port, 0, text, nullptr, WaitSeconds(c));
}

int ExcuteJs(CallContext& c) {
  std::string js;
  const char* text = TextOr(c, js, "document.title='" + Filler(c, 8) + "'");
  // "true" needs five bytes with its terminator: four is one too small.
  const int len = c.hostile ? c.Pick(0, 4) : 64;
  OutArg out(c, static_cast<size_t>(len > 0 ? len : 1));
  const int r = RV270Api_ExcuteJs(c.port, 0, text, nullptr, len, out.P());
  c.CheckGuard(out.g, "pResult");
  return r;
}

int SetWelCome(CallContext& c) {
  std::string t;
  return RV270Api_SetWelCome(c.port, 0, TextOr(c, t, "Welcome " + Filler(c, 6)));
}

int StatusBar(CallContext& c) {
  std::string t;
  switch (c.Pick(0, 2)) {
    case 0: return RV270Api_InitStatusBar(c.port, 0, TextOr(c, t, "Counter 3"));
    case 1: return RV270Api_SetStatusBarInfo(c.port, 0, TextOr(c, t, "Serving " + std::to_string(c.Pick(1, 999))));
    default: return RV270Api_ClearStatusBar(c.port, 0);
  }
}

int SetAdArea(CallContext& c) {
  const int v = c.hostile ? -c.Pick(1, 100000) : c.Pick(0, 800);
  return RV270Api_SetAdArea(c.port, 0, v, c.Pick(0, 600), 100, 100);
}

int SetPosterType(CallContext& c) { return RV270Api_SetPosterType(c.port, 0, c.hostile ? c.Pick(-5, 300) : c.Pick(0, 1)); }

int ReadVoice(CallContext& c) {
  std::string t;
  return RV270Api_ReadVoice(c.port, 0, c.Pick(0, 1), TextOr(c, t, "请到" + std::to_string(c.Pick(1, 30)) + "号窗口"));
}

int VoiceVolume(CallContext& c) {
  const int type = c.hostile ? c.Pick(-3, 20) : c.Pick(0, 1);
  if (c.Chance(50)) return RV270Api_SetVoiceVolume(c.port, 0, type, c.hostile ? c.Pick(-10, 300) : c.Pick(0, 10));
  return RV270Api_GetVoiceVolume(c.port, 0, type);
}

int PlayLists(CallContext& c) {
  std::string t;
  switch (c.Pick(0, 3)) {
    case 0: return RV270Api_PlayVideo(c.port, 0, TextOr(c, t, "ad" + std::to_string(c.Pick(0, 9)) + ".mp4"));
    case 1: return RV270Api_PlayPicList(c.port, 0, TextOr(c, t, "a.jpg|b.jpg"));
    case 2: return RV270Api_PlayVideoList(c.port, 0, TextOr(c, t, "a.mp4|b.mp4"));
    default: return RV270Api_SetPlayInterval(c.port, 0, c.hostile ? c.Pick(-100, 100000) : c.Pick(1, 30));
  }
}

int GetFileList(CallContext& c) {
  const int len = c.hostile ? c.Pick(-1, 12) : 4096;
  OutArg out(c, static_cast<size_t>(len > 0 ? len : 1));
  const int r = RV270Api_GetFileList(c.port, 0, c.hostile ? c.Pick(-1, 12) : c.Pick(1, 4), len, out.P());
  c.CheckGuard(out.g, "fileList");
  return r;
}

int DeleteFiles(CallContext& c) {
  std::string t;
  if (c.Chance(70)) return RV270Api_DeleteRcFile(c.port, 0, TextOr(c, t, "soak" + std::to_string(c.Pick(0, 3)) + ".jpg"));
  return RV270Api_DeleteAllFile(c.port, 0, c.hostile ? c.Pick(-3, 40) : c.Pick(1, 4));
}

int SaveFileSingle(CallContext& c) {
  std::string name, path;
  const char* file = c.hostile ? c.HostileText(path) : c.hostFile.c_str();
  const char* newName = c.Chance(50) ? TextOr(c, name, "soak" + std::to_string(c.Pick(0, 3)) + ".jpg") : nullptr;
  return RV270Api_SaveFileSingle(c.port, 0, newName ? 1 : 0, newName, c.hostile ? c.Pick(-1, 12) : 1, file);
}

// Uploads: to a file (which must be whole or absent afterwards) or into a buffer.
int Upload(CallContext& c) {
  static std::atomic<unsigned> counter{0};
  const std::string names[] = {"small.bin", "medium.bin", "large.bin", "absent.bin"};
  const std::string name = names[c.Pick(0, 3)];
  if (c.Chance(60)) {
    const std::string save = c.uploadDir + "/up" + std::to_string(counter++) + ".bin";
    const unsigned readOnlyBefore = c.readOnlySpells->load();
    const int r = RV270Api_UploadFilesToPc(c.port, 0, 0, save.c_str(), 1, name.c_str(), 3, nullptr, nullptr);
    struct stat st{};
    const bool atPath = stat(save.c_str(), &st) == 0;
    // A folder made read-only while the upload ran keeps the library from removing its
    // partial file: only the save path itself is checked then.
    const bool readOnlyMeanwhile = readOnlyBefore != c.readOnlySpells->load() || (readOnlyBefore & 1) != 0;
    const bool partial = !readOnlyMeanwhile && stat((save + ".part").c_str(), &st) == 0;
    if (r != 0 && (atPath || partial)) {
      c.problems.push_back("failed upload (" + std::to_string(r) + ") left " + (atPath ? save : save + ".part"));
    }
    if (partial && r == 0) c.problems.push_back("upload left " + save + ".part");
    // The soak's own clean-up can meet a read-only spell too (its file then stays, a whole
    // upload's included): such a leftover is not the library's.
    const std::string leaf = "up" + save.substr(save.rfind("/up") + 3);
    const bool removed = std::remove(save.c_str()) == 0;
    const bool partRemoved = std::remove((save + ".part").c_str()) == 0;
    const bool readOnlyAtCleanUp = readOnlyMeanwhile || readOnlyBefore != c.readOnlySpells->load();
    if (!removed && readOnlyAtCleanUp) c.excused->Add(leaf);
    if (!partRemoved && readOnlyAtCleanUp) c.excused->Add(leaf + ".part");
    return r;
  }
  const int capacity = c.hostile ? c.Pick(-1, 4096) : 65536;
  Guarded buf(static_cast<size_t>(capacity > 0 ? capacity : 1));
  int len = capacity;
  const int r = RV270Api_UploadFilesToPc(c.port, 0, 1, nullptr, 1, name.c_str(), 3, buf.Bytes(),
                                         c.hostile && c.Chance(20) ? nullptr : &len);
  c.CheckGuard(buf, "pDataBuf");
  return r;
}

int SerialNumber(CallContext& c) {
  std::string t;
  switch (c.Pick(0, 2)) {
    case 0: return RV270Api_SETserialnumber(c.port, 0, TextOr(c, t, "SN" + std::to_string(c.Pick(0, 99999))));
    case 1: {
      OutArg out(c, 256);
      const int r = RV270Api_GETserialnumber(c.port, 0, out.P());
      c.CheckGuard(out.g, "pserialnumber");
      return r;
    }
    default: return RV270Api_CLEARserialnumber(c.port, 0);
  }
}

int Factory(CallContext& c) {
  if (c.Chance(50)) return RV270Api_Linearitytest(c.port, 0);
  return RV270Api_Pressuresensitivetest(c.port, 0);
}

int Sm4Ecb(CallContext& c) {
  std::string key, data;
  const char* k = TextOr(c, key, c.secrets->sm4Key);
  const char* d = TextOr(c, data, Hex32(c));
  Guarded out(65533);
  const int r = sm4EN_ecb(k, d, out.Data());
  c.CheckGuard(out, "pOut");
  return r;
}

int Sm3(CallContext& c) {
  std::string data;
  Guarded out(4094);
  const int r = sm3Calc_nID(TextOr(c, data, Hex32(c)), out.Data());
  c.CheckGuard(out, "pOut");
  return r;
}

int Sm4Mac(CallContext& c) {
  std::string key, iv, data;
  Guarded out(4094);
  const int r = sm4mac(TextOr(c, key, c.secrets->sm4Key), TextOr(c, iv, std::string(32, '0')),
                       TextOr(c, data, Hex32(c)), out.Data());
  c.CheckGuard(out, "pOut");
  return r;
}

int GetSm2Key(CallContext& c) {
  Guarded pub(128), pri(64);
  const int r = getsm2key(c.hostile && c.Chance(50) ? nullptr : pub.Data(), pri.Data());
  c.CheckGuard(pub, "pPubKey");
  c.CheckGuard(pri, "pPriKey");
  return r;
}

int CounterInfo(CallContext& c) {
  std::string name, no;
  return RV270Api_DownLoadCounterInfo(c.port, 0, TextOr(c, name, "Teller " + Filler(c, 5)),
                                      TextOr(c, no, std::to_string(c.Pick(1000, 9999))), c.Pick(0, 5), "");
}

int Evaluate(CallContext& c) {
  const int timeout = c.hostile ? (c.Chance(50) ? -c.Pick(1, 5) : c.Pick(256, 400)) : WaitSeconds(c);
  switch (c.Pick(0, 2)) {
    case 0: return RV270Api_CustomerEvaluate(c.port, 0, timeout, c.Pick(0, 1));
    case 1: return RV270Api_StartCounterElecBadge(c.port, 0, timeout);
    default: {
      std::string page;
      return RV270Api_SetCounterEvaluateSurface(c.port, 0, TextOr(c, page, "eval" + std::to_string(c.Pick(0, 5)) + ".html"));
    }
  }
}

int PaperlessCall(CallContext& c) {
  Guarded out(136537);
  int len = 0;
  std::string text;
  const int r = Paperless(WaitSeconds(c), TextOr(c, text, "Voucher " + Filler(c, 10)), out.Data(),
                          c.hostile && c.Chance(30) ? nullptr : &len);
  c.CheckGuard(out, "pBase64");
  return r;
}

int PadKeys(CallContext& c) {
  std::string key;
  switch (c.Pick(0, 4)) {
    case 0: {
      const char* k = TextOr(c, key, c.secrets->masterKey);
      return RV270Api_SetPwMkey(c.port, 0, c.hostile ? c.Pick(-2, 300) : c.Pick(0, 3), k, c.hostile ? c.Pick(-1, 600) : 32);
    }
    case 1: {
      const char* k = TextOr(c, key, c.secrets->workKey);
      return RV270Api_SetPwWkey(c.port, 0, c.Pick(0, 3), c.Pick(0, 3), k, c.hostile ? c.Pick(-1, 600) : 32);
    }
    case 2: {
      // Eight check bytes and a terminator: eight is one too small.
      const int len = c.hostile ? c.Pick(0, 8) : 9;
      OutArg out(c, static_cast<size_t>(len > 0 ? len : 1));
      const int r = RV270Api_GetPwCheckValue(c.port, 0, c.Pick(0, 1), len, out.P());
      c.CheckGuard(out.g, "pCheckValue");
      return r;
    }
    case 3: {
      const char* k = TextOr(c, key, c.secrets->masterKey);
      return RV270Api_SetScreenMkey(c.port, 0, c.Pick(0, 3), k, c.hostile ? c.Pick(-1, 600) : 32);
    }
    default: {
      const int len = c.hostile ? c.Pick(0, 7) : 8;
      OutArg out(c, static_cast<size_t>(len > 0 ? len : 1));
      const int r = RV270Api_GetScreenCheckValue(c.port, 0, c.Pick(0, 1), len, out.P());
      c.CheckGuard(out.g, "pCheckValue");
      return r;
    }
  }
}

int InputPassword(CallContext& c) {
  const int mem = c.hostile ? c.Pick(0, 31) : 33;
  OutArg out(c, static_cast<size_t>(mem > 0 ? mem : 1));
  const int r = c.Chance(50)
                    ? RV270Api_InputPassword(c.port, 0, WaitSeconds(c), "Status", "Your password", nullptr, 6, mem, out.P())
                    : RV270Api_SetPassword(c.port, 0, WaitSeconds(c), nullptr, "New password", nullptr, 6, mem, out.P());
  c.CheckGuard(out.g, "password");
  if (r == 0 && !out.null) c.received->Add(out.g.Text());
  return r;
}

int MasterKeys(CallContext& c) {
  std::string a, b;
  Guarded out(255);
  int r = 0;
  switch (c.Pick(0, 4)) {
    case 0:
      r = RV270Api_InputTMK(c.port, 0, TextOr(c, a, "01"), c.secrets->masterKey.c_str(),
                            TextOr(c, b, c.secrets->workKey), out.Data(), c.Pick(0, 1));
      break;
    case 1:
      r = RV270Api_InputKEY(c.port, 0, "01", TextOr(c, a, "02"), "16", c.secrets->workKey.c_str(),
                            TextOr(c, b, c.secrets->workKey), c.Pick(0, 1));
      break;
    case 2: r = RV270Api_ActiveWKey(c.port, 0, TextOr(c, a, "01"), "02"); break;
    case 3: r = RV270Api_CheckKEY(c.port, 0, "01", TextOr(c, a, "02"), 0, out.Data(), c.Pick(0, 1)); break;
    default:
      r = RV270Api_CryptData(c.port, 0, "01", "02", TextOr(c, a, "16"), TextOr(c, b, Hex32(c)), out.Data(), c.Pick(0, 1));
      break;
  }
  c.CheckGuard(out, "pOutData");
  return r;
}

int GetRand(CallContext& c) {
  std::string len;
  Guarded out(511);
  const int r = RV270Api_GetRand(c.port, 0, TextOr(c, len, std::to_string(c.Pick(1, 255))), out.Data());
  c.CheckGuard(out, "pOutData");
  return r;
}

int ReadCustomerPin(CallContext& c) {
  std::string acc;
  Guarded lenText(4), block(32), tail(2048);
  const int r = RV270Api_ReadCustomerPin(c.port, 0, "01", TextOr(c, acc, c.secrets->accountField), "0", WaitSeconds(c),
                                         c.Pick(0, 1), 0, 0, lenText.Data(), block.Data(), tail.Data());
  c.CheckGuard(lenText, "pLenText");
  c.CheckGuard(block, "pPinBlock");
  c.CheckGuard(tail, "pTailData");
  if (r == 0) c.received->Add(block.Text());
  return r;
}

int Keyboard(CallContext& c) {
  switch (c.Pick(0, 2)) {
    case 0: {
      Guarded out(2048);
      const int r = RV270Api_NumKeyboard(c.port, 0, c.Pick(0, 1), WaitSeconds(c), 0, c.hostile ? c.Pick(-5, 300) : 6, out.Data());
      c.CheckGuard(out, "pOutData");
      return r;
    }
    case 1: return RV270Api_SetKeyBoardLen(c.port, 0, c.hostile ? c.Pick(-5, 300) : 4, c.hostile ? c.Pick(-5, 300) : 12);
    default: {
      std::string acc;
      Guarded out(2048);
      const int r = RV270Api_GetAnsi98Account(c.port, 0, TextOr(c, acc, c.secrets->cardNumber), out.Data());
      c.CheckGuard(out, "pOutData");
      return r;
    }
  }
}

int Identity(CallContext& c) {
  std::string t;
  switch (c.Pick(0, 3)) {
    case 0: return RV270Api_SetAppNum(c.port, 0, TextOr(c, t, std::to_string(c.Pick(10000000, 99999999))));
    case 1: {
      Guarded out(255);
      const int r = RV270Api_GetAppNum(c.port, 0, out.Data());
      c.CheckGuard(out, "pAppNum");
      return r;
    }
    case 2: return RV270Api_SetKeyBoardSN(c.port, 0, TextOr(c, t, "KB" + std::to_string(c.Pick(100000, 999999))));
    default: {
      Guarded out(2048);
      const int r = RV270Api_GetKeyBoardSN(c.port, 0, out.Data());
      c.CheckGuard(out, "pKeyBoardSn");
      return r;
    }
  }
}

// The operator family: the second argument is the library's serial rate, so it stays a
// rate the simulator's line runs at.
int Operators(CallContext& c) {
  std::string a, b;
  const int baud = 9600;
  const int timeout = WaitSeconds(c) + 1;
  switch (c.Pick(0, 4)) {
    case 0: return CreatOperator(c.port, baud, c.hostile ? c.Pick(-5, 100) : c.Pick(0, 63), TextOr(c, a, c.secrets->password), timeout);
    case 1: return SetOperatorKey(c.port, baud, TextOr(c, a, c.secrets->operatorKey), timeout);
    case 2: return OperatorSignIn(c.port, baud, c.Pick(0, 63), TextOr(c, a, c.secrets->operatorKey), TextOr(c, b, c.secrets->password), timeout);
    case 3: return DelOperator(c.port, baud, c.hostile ? c.Pick(-5, 100) : c.Pick(0, 63), timeout);
    default: return AdministratorSignOut(c.port, baud, timeout);
  }
}

int Communication(CallContext& c) {
  unsigned char request[4] = {0x50, 0x01, 0, 0};
  Guarded response(4096);
  int length = 0;
  const int r = RV270Api_Communication(c.port, 0, c.hostile && c.Chance(30) ? nullptr : request, response.Bytes(),
                                       c.hostile ? c.Pick(-2, 3) : 2, &length, 3000);
  c.CheckGuard(response, "pResponse");
  return r;
}

int Utility(CallContext& c) {
  switch (c.Pick(0, 2)) {
    case 0: {
      Guarded path(512);
      const int r = RV270Api_GetLogPath(path.Data());
      c.CheckGuard(path, "pLogPath");
      return r;
    }
    case 1: {
      unsigned char data[40];
      for (auto& b : data) b = static_cast<unsigned char>(c.Pick(0, 255));
      const int n = c.Pick(0, 40);
      Guarded out(static_cast<size_t>(n * 2 + 1));
      const int r = RV270Api_Hex2Ascii(data, n, out.Data());
      c.CheckGuard(out, "pAscii");
      return r == n * 2 ? 0 : r;
    }
    default: return RV270Api_GetErrorCode() >= 0 ? 0 : -1;
  }
}


int ShowWebAdOrCompress(CallContext& c) {
  std::string page;
  const char* text = TextOr(c, page, "ad" + std::to_string(c.Pick(0, 9)) + ".html");
  return c.Chance(50) ? RV270Api_ShowWebAd(c.port, 0, text, nullptr, WaitSeconds(c))
                      : RV270Api_ShowWebCompress(c.port, 0, text, nullptr, WaitSeconds(c));
}

int WaitSign(CallContext& c) {
  std::string main;
  return RV270Api_ShowInfoOrWaitSign(c.port, 0, c.Pick(0, 1), "Please sign", TextOr(c, main, "1"), 10, 10, 300, 200,
                                     c.Pick(0, 3), nullptr, c.hostile && c.Chance(40) ? -1 : WaitSeconds(c), 0, 0);
}

int DeviceSettings(CallContext& c) {
  switch (c.Pick(0, 3)) {
    // Only rates the simulator's line runs at: the library rate applies to every later open.
    case 0: return RV270Api_SetBaud(c.port, 0, 0, c.Chance(50) ? 9600 : 115200);
    case 1: return RV270Api_ResetDevice(c.port, 0);
    case 2: return RV270Api_SetVersionCtl(c.port, 0, c.hostile ? c.Pick(-300, 300) : c.Pick(0, 1));
    default: return RV270Api_ClearMainScreen(c.port, 0);
  }
}

int PidVid(CallContext& c) {
  Guarded pid(5), vid(5);
  const int r = RV270Api_GetPidVid(pid.Data(), vid.Data());
  c.CheckGuard(pid, "pPid");
  c.CheckGuard(vid, "pVid");
  return r;
}

int Keytest(CallContext& c) {
  return RV270Api_Keytest(c.port, 0, c.hostile ? -c.Pick(1, 5) : WaitSeconds(c), c.hostile ? c.Pick(0, 9) : c.Pick(1, 2));
}

int ClearKeyInput(CallContext& c) {
  Guarded out(128);
  const int flag = c.Pick(0, 1);
  const int timeout = WaitSeconds(c) + 1;
  int r = 0;
  switch (c.Pick(0, 3)) {
    case 0: r = RV270Api_InnputClearKey1(c.port, 0, flag, timeout, out.Data()); break;
    case 1: r = RV270Api_InnputClearKey2(c.port, 0, flag, timeout, out.Data()); break;
    case 2: r = RV270Api_InnputClearKey3(c.port, 0, flag, timeout, out.Data()); break;
    default: r = RV270Api_InnputClearKey4(c.port, 0, flag, timeout, out.Data()); break;
  }
  c.CheckGuard(out, "pOutData");
  return r;
}

int StoredKeys(CallContext& c) {
  std::string a;
  Guarded out(2048);
  int r = 0;
  switch (c.Pick(0, 3)) {
    case 0: r = RV270Api_GetMKeyValue(c.port, 0, TextOr(c, a, "01"), out.Data(), c.Pick(0, 1)); break;
    case 1: r = RV270Api_WriteKeyWithSM4Ciper(c.port, 0, "01", "16", TextOr(c, a, c.secrets->workKey), out.Data()); break;
    case 2: r = RV270Api_GetRSAPublicKey(c.port, 0, c.hostile ? c.Pick(-5, 5000) : 256, out.Data()); break;
    default: r = RV270Api_CleanSessionKey(c.port, 0); break;
  }
  c.CheckGuard(out, "pOutData");
  return r;
}

int KeyboardSetup(CallContext& c) {
  std::string t;
  if (c.Chance(50)) return RV270Api_InitKeyBoard(c.port, 0);
  return RV270Api_SetKeyboardInfo(c.port, 0, TextOr(c, t, "Keyboard " + Filler(c, 12)));
}

int OperatorRecords(CallContext& c) {
  const int baud = 9600;
  const int timeout = WaitSeconds(c) + 1;
  std::string t;
  switch (c.Pick(0, 3)) {
    case 0: return SetOperatorPower(c.port, baud, c.Pick(0, 63), c.Pick(0, 255), timeout);
    case 1: return DelAllOperator(c.port, baud, timeout);
    case 2: return SendCiphertext(c.port, baud, TextOr(c, t, "CIPHER" + Filler(c, 8)), timeout);
    default: {
      Guarded out(2048);
      const int r = ApplySM2Key(c.port, baud, out.Data(), 0, timeout);
      c.CheckGuard(out, "pSm2PubKey");
      return r;
    }
  }
}

int HostUtilities(CallContext& c) {
  std::string t;
  if (c.Chance(50)) return RV270Api_CSharpPrint(TextOr(c, t, "host note " + Filler(c, 10)));
  int count = 0, total = 0;
  std::string dir;
  const char* folder = c.hostile ? c.HostileText(dir) : c.scratch.c_str();
  return RV270Api_FileFind(folder, c.hostile && c.Chance(30) ? nullptr : &count, &total);
}
}  // namespace

std::vector<ExportCase> BuildExports() {
  // Results per export, from the families' failure tables and the header's notes.
  // The device-information family: bad argument -1, link -2, status 0x09 -3, other -4.
  const std::vector<int> dev = {0, -1, -2, -3, -4, -1001};
  // The simple screen commands: link -2 or -3 (by export), 0x09 -3, other status -4.
  const std::vector<int> simple = {0, -2, -3, -4, -1001};
  // Web pages and information: customer outcomes 1, 2; broken off 2; device time -11.
  const std::vector<int> web = {0, 1, 2, -2, -4, -5, -10, -11, -1001};
  // Voice and media: link -4 (-2, -3 by export), 0x09 -5 (-4), other status -6 (-3, -4).
  const std::vector<int> media = {0, -2, -3, -4, -5, -6, -1001};
  // Families of the national cipher, evaluation, keys, entry, identity and operators.
  const std::vector<int> plain = {0, -2, -3, -4, -1001};
  return {
      {"RV270Api_GetWorkingStatus", Family::kDevice, 6, false, dev, 5000, [](CallContext& c) { return RV270Api_GetWorkingStatus(c.port, 0); }},
      {"RV270Api_GetDeviceInfo", Family::kDevice, 5, false, dev, 5000, GetDeviceInfo},
      // The probe's own failure replaces the code; the result is 0 or the frame's.
      {"RV270Api_GetErrorMsg", Family::kDevice, 2, false, dev, 5000, GetErrorMsg},
      {"RV270Api_GetBaud", Family::kDevice, 2, false, With(dev, {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200}), 5000,
       [](CallContext& c) { return RV270Api_GetBaud(c.port, 0); }},
      {"RV270Api_GetVernderId", Family::kDevice, 2, false, dev, 5000, IdentityText<RV270Api_GetVernderId>},
      {"RV270Api_GetDeviceId", Family::kDevice, 2, false, dev, 5000, IdentityText<RV270Api_GetDeviceId>},
      {"RV270Api_GetVersion", Family::kDevice, 2, false, dev, 5000, IdentityText<RV270Api_GetVersion>},
      // The raw exchange gives the exchange's own failure values.
      {"RV270Api_Communication", Family::kLink, 3, false, Range(-30, 0, {-1001}), 3000, Communication},
      {"utility", Family::kUtility, 2, true, {0}, 1000, Utility},
      {"RV270Api_ShowInfo", Family::kScreen, 5, false, web, 5000, ShowInfo},
      {"RV270Api_ShowText", Family::kScreen, 3, false, {0, 1, -2, -4, -5, -6, -11, -1001}, 3000, ShowText},
      {"RV270Api_ShowWebOnly", Family::kScreen, 3, false, web, 5000, ShowWebOnly},
      // A result longer than pResult: copied cut, -7 with 122.
      {"RV270Api_ExcuteJs", Family::kScreen, 3, false, {0, -2, -4, -5, -6, -7, -1001}, 5000, ExcuteJs},
      {"RV270Api_SetWelCome", Family::kScreen, 2, false, simple, 5000, SetWelCome},
      {"status bar", Family::kScreen, 3, false, simple, 5000, StatusBar},
      {"RV270Api_SetAdArea", Family::kScreen, 1, false, simple, 3000, SetAdArea},
      {"RV270Api_SetPosterType", Family::kScreen, 1, false, simple, 5000, SetPosterType},
      {"RV270Api_ReadVoice", Family::kMedia, 3, false, media, 5000, ReadVoice},
      // GetVoiceVolume: the level 0 to 3, or -2 link, -3 bad level, -4, -5, -6 (no volume).
      {"voice volume", Family::kMedia, 3, false, With(media, {1, 2, 3}), 5000, VoiceVolume},
      {"play lists", Family::kMedia, 2, false, media, 5000, PlayLists},
      // -3 for a size not positive or a 0x09 status; -5 too long or other status.
      {"RV270Api_GetFileList", Family::kFile, 2, false, {0, -2, -3, -4, -5, -1001}, 5000, GetFileList},
      {"file deletion", Family::kFile, 2, false, {0, -2, -3, -4, -5, -1001}, 5000, DeleteFiles},
      {"RV270Api_SaveFileSingle", Family::kFile, 2, false, {0, -114, -1001}, 25000, SaveFileSingle},
      // USB: 0, -1 to -6, -10, -1001, 1, 4, a system error code; serial adds its own
      // -1, -2, -6, -10 and the rate switch's failures; -2 also for a buffer too small.
      {"RV270Api_UploadFilesToPc", Family::kUpload, 4, false, Range(-12, 200, {-1001}), 45000, Upload},
      {"serial number", Family::kFactory, 2, false, {0, -2, -3, -4, -100, -1001}, 5000, SerialNumber},
      // The linearity and pressure tests wait up to 600 s for the terminal's verdict.
      {"factory tests", Family::kFactory, 1, false, {0, -2, -3, -4, -1001}, 600000, Factory},
      {"sm4EN_ecb", Family::kCipher, 2, true, plain, 10000, Sm4Ecb},
      {"sm3Calc_nID", Family::kCipher, 1, true, plain, 5000, Sm3},
      {"sm4mac", Family::kCipher, 1, true, plain, 5000, Sm4Mac},
      {"getsm2key", Family::kCipher, 1, true, plain, 5000, GetSm2Key},
      {"RV270Api_DownLoadCounterInfo", Family::kEvaluate, 2, false, plain, 5000, CounterInfo},
      // The customer's rating (0 to 255, the simulator answers 3), the badge's byte 2.
      {"evaluation", Family::kEvaluate, 3, false, Range(-4, 255, {-11, -1001}), 6000, Evaluate},
      // 1 the customer cancelled, -11 the device's time, -3 link, -4 status; after a
      // signature, the image upload's own result (as RV270Api_UploadFilesToPc's) or -115.
      {"Paperless", Family::kSign, 1, true, Range(-12, 200, {-115, -1001}), 12000, PaperlessCall},
      {"pad keys", Family::kPadKeys, 4, false, {0, 8, -2, -3, -4, -5, -6, -1001}, 5000, PadKeys},
      // InputPassword 16, SetPassword the length (6 or more); -1 to -3 the customer's.
      {"password entry", Family::kPadKeys, 3, false, Range(-7, 64, {-1001}), 6000, InputPassword},
      {"master keys", Family::kMasterKeys, 4, false, plain, 5000, MasterKeys},
      {"RV270Api_GetRand", Family::kMasterKeys, 2, false, plain, 5000, GetRand},
      {"RV270Api_ReadCustomerPin", Family::kEntry, 3, false, {0, -2, -3, -4, -11, -1001}, 6000, ReadCustomerPin},
      {"keyboard", Family::kEntry, 3, false, {0, -2, -3, -4, -11, -1001}, 6000, Keyboard},
      {"keypad identity", Family::kIdentity, 3, false, plain, 5000, Identity},
      // getSM4's own -1 and -4, the records' -1 and -2.
      {"operators", Family::kOperator, 4, false, {0, -1, -2, -3, -4, -1001}, 16000, Operators},
      {"web pages", Family::kScreen, 2, false, {0, 1, 2, -2, -4, -5, -7, -10, -11, -1001}, 5000, ShowWebAdOrCompress},
      // Outcomes 0 to 4 (3 the device's own time, 4 broken off), -6, -7, -10 statuses.
      {"RV270Api_ShowInfoOrWaitSign", Family::kScreen, 2, false, {0, 1, 2, 3, 4, -2, -4, -6, -7, -10, -1001}, 5000, WaitSign},
      {"device settings", Family::kDevice, 2, false, dev, 5000, DeviceSettings},
      {"RV270Api_GetPidVid", Family::kLink, 1, true, {0, 1, -2}, 3000, PidVid},
      {"RV270Api_Keytest", Family::kFactory, 1, false, {0, -2, -3, -4, -1001}, 5000, Keytest},
      // -11 an entry that timed out, -3 any other failure.
      {"plain key input", Family::kEntry, 2, false, {0, -3, -11, -1001}, 4000, ClearKeyInput},
      {"stored keys", Family::kMasterKeys, 2, false, plain, 5000, StoredKeys},
      {"keyboard setup", Family::kIdentity, 1, false, plain, 15000, KeyboardSetup},
      {"operator records", Family::kOperator, 2, false, {0, -1, -2, -3, -4, -1001}, 16000, OperatorRecords},
      {"host utilities", Family::kUtility, 1, true, {0, -1}, 2000, HostUtilities},
  };
}

}  // namespace soak
