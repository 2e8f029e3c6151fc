// rv270: the RV270 terminal from the command line, for the people who install, test and
// service terminals. One subcommand per task; each runs the library's exports (linked
// with the library's core, which also lets it show the progress of file transfers).
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "QornRV270API.h"
#include "api/frame.h"
#include "doctor.h"
#include "interrupt.h"
#include "protocol/exchange.h"
#include "output.h"
#include "transfer/categories.h"
#include "transfer/download.h"

namespace rv270cli {

namespace {

struct Global {
  int port = 0;
  int selector = 0;
  int baud = 0;
  bool json = false;
  bool quiet = false;
  bool progress = false;
  bool replace = false;  // characters without a GBK form go to the terminal as '?'
};

// A text for the terminal (see ToTerminal); `what` names where it came from.
std::string ForTerminal(const Global& g, const std::string& text, const std::string& what = "") {
  return ToTerminal(text, g.replace, what);
}

const std::map<std::string, int> kCategories = {
    {"picture", 1}, {"video", 2}, {"audio", 3},   {"teller", 4},    {"firmware", 5},
    {"voucher", 6}, {"web", 7},   {"webzip", 8},  {"signature", 9},
};

std::string CategoryName(int code) {
  for (const auto& c : kCategories) {
    if (c.second == code) return c.first;
  }
  return std::to_string(code);
}

CLI::Option* AddCategory(CLI::App* app, const std::string& name, int& into, const std::string& what) {
  return app->add_option(name, into, what + ": picture, video, audio, teller, firmware, voucher, web, webzip, "
                                            "signature, or its code 1 to 9")
      ->transform(CLI::CheckedTransformer(kCategories, CLI::ignore_case));
}

// Error codes of the library for calls that leave the last error unset on failure.
constexpr int kSearchError = 105;
constexpr int kReceivedDataError = 103;
constexpr int kBusy = 123;
constexpr int kSingleFileError = 109;
constexpr int kFolderFileError = 112;
constexpr int kNoFileInFolder = 111;
constexpr int kUnknownFileType = 110;
constexpr int kSignedPictureError = 115;

// ---- Device ------------------------------------------------------------------------------

Report Find() {
  Report r{"find"};
  char pid[8] = {0};
  char vid[8] = {0};
  const int rc = RV270Api_GetPidVid(pid, vid);
  r.Add("found", Value::Flag(rc == 1));
  if (rc == 1) {
    r.Add("vendor", Value::Text(vid));
    r.Add("product", Value::Text(pid));
    r.Set(rc);
  } else {
    r.Set(rc, rc == 0 ? kSearchError : RV270Api_GetErrorCode());
    r.exit = kExitFailed;
  }
  return r;
}

Report Status(const Global& g) {
  Report r{"status"};
  const int rc = RV270Api_GetWorkingStatus(g.port, g.selector);
  r.Add("ready", Value::Flag(rc == 0));
  r.Set(rc);
  return r;
}

using TextQuery = int(RV270_CALL*)(int, int, char*);

Report Info(const Global& g) {
  Report r{"info"};
  char text[1024] = {0};
  int rc = RV270Api_GetDeviceInfo(g.port, g.selector, sizeof(text), text);
  if (rc == 0) r.Add("info", Value::Text(FromTerminal(text)));
  static const std::pair<const char*, TextQuery> kQueries[] = {
      {"version", RV270Api_GetVersion}, {"vendor", RV270Api_GetVernderId}, {"id", RV270Api_GetDeviceId}};
  for (const auto& q : kQueries) {
    if (rc != 0) break;
    char answer[1024] = {0};  // the identity texts are at most 256 bytes
    rc = q.second(g.port, g.selector, answer);
    if (rc == 0) r.Add(q.first, Value::Text(FromTerminal(answer)));
  }
  r.Set(rc);
  return r;
}

// ---- Screen and voice --------------------------------------------------------------------

struct ShowArgs {
  std::string text;
  std::string voice;
  int mode = 0;
  int timeout = 30;
};

Report Show(const Global& g, const ShowArgs& a) {
  Report r{"show"};
  const std::string text = ForTerminal(g, a.text);
  const std::string voice = ForTerminal(g, a.voice, "--voice");
  const int rc = RV270Api_ShowInfo(g.port, g.selector, a.mode, text.c_str(), voice.empty() ? 0 : 1, voice.c_str(),
                                   a.timeout);
  r.Set(rc);
  if (a.mode == 1 && (rc == 0 || rc == 1)) r.Add("answer", Value::Number(rc));
  return r;
}

Report Say(const Global& g, const std::string& text, bool raw) {
  Report r{"say"};
  const std::string voice = ForTerminal(g, text);
  r.Set(RV270Api_ReadVoice(g.port, g.selector, raw ? 1 : 0, voice.c_str()));
  return r;
}

Report Volume(const Global& g, int type, int level) {
  Report r{"volume"};
  if (level >= 0) {
    r.Set(RV270Api_SetVoiceVolume(g.port, g.selector, type, level));
    return r;
  }
  const int rc = RV270Api_GetVoiceVolume(g.port, g.selector, type);
  if (rc >= 0) r.Add("level", Value::Number(rc));
  r.Set(rc);
  return r;
}

// ---- Files -------------------------------------------------------------------------------

// The phases of a transfer call around the file's bytes. Over a serial port the library
// switches the terminal to 115200 bit/s before and back to its own rate after.
std::string PhaseBefore(const Global& g, const std::string& usb) {
  return IsUsbPort(g.port) ? usb : "switching the terminal to 115200 bit/s";
}

std::string PhaseAfter(const Global& g, const std::string& usb) {
  return IsUsbPort(g.port) ? usb
                           : "switching the terminal back to " + std::to_string(g.baud > 0 ? g.baud : 9600) + " bit/s";
}

struct SendArgs {
  std::string path;
  int category = 0;  // 0: from the file's extension
  std::string name;
};

// The category of a file: the one asked for, or picture/video/audio by its extension.
int CategoryOf(const std::string& path, int asked) {
  return asked != 0 ? asked : transfer::FolderFileClass(path.c_str());
}

// The media files of a folder, by name (no sub-folders, no hidden files).
std::vector<std::string> FolderFiles(const std::string& folder) {
  std::vector<std::string> files;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || name[0] == '.' || !entry.is_regular_file(ec)) continue;
    files.push_back(entry.path().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

Report Send(const Global& g, const SendArgs& a) {
  Report r{"send"};
  std::error_code ec;
  const bool folder = std::filesystem::is_directory(a.path, ec);
  std::vector<std::string> files = folder ? FolderFiles(a.path) : std::vector<std::string>{a.path};
  if (!folder && !std::filesystem::is_regular_file(a.path, ec)) {
    r.Set(-3, 107);  // file is not exists
    return r;
  }
  if (folder && !a.name.empty()) {
    r.Set(-5, 100);  // one device-side name cannot serve a folder
    return r;
  }
  // The names on the terminal are GBK: every name is checked before the first file goes.
  std::vector<std::string> deviceNames;
  const std::string newName = ForTerminal(g, a.name, "--name");
  for (const std::string& file : files) {
    const std::string shown = std::filesystem::path(file).filename().string();
    if (CategoryOf(file, a.category) == 0) {
      deviceNames.emplace_back();  // skipped
      continue;
    }
    const std::string gbk = ForTerminal(g, shown, "the file name " + shown);
    deviceNames.push_back(!newName.empty() ? newName : (gbk == shown ? std::string() : gbk));
  }
  std::vector<std::string> sent;
  std::vector<std::string> skipped;
  int rc = 0;
  int code = 0;
  for (size_t i = 0; i < files.size() && rc == 0 && !InterruptRequested(); ++i) {
    const std::string& file = files[i];
    const int category = CategoryOf(file, a.category);
    const std::string shown = std::filesystem::path(file).filename().string();
    if (category == 0) {
      skipped.push_back(shown);
      continue;
    }
    ProgressBegin(folder ? "[" + std::to_string(i + 1) + "/" + std::to_string(files.size()) + "] " + shown : shown,
                  PhaseBefore(g, "opening the link"), PhaseAfter(g, "waiting for the terminal's confirmation"));
    // A name that is not plain ASCII goes as the new name, in GBK (the library would send
    // the host's bytes).
    const std::string& deviceName = deviceNames[i];
    rc = RV270Api_SaveFileSingle(g.port, g.selector, deviceName.empty() ? 0 : 1, deviceName.c_str(), category,
                                 file.c_str());
    ProgressEnd(rc == 0);
    if (rc == 0) {
      sent.push_back(shown + " (" + CategoryName(category) + ")");
    } else {
      code = rc == -1001 ? kBusy : (folder ? kFolderFileError : kSingleFileError);
      r.Add("failed", Value::Text(shown), true);
    }
  }
  if (rc == 0 && sent.empty()) {
    rc = folder ? -7 : -6;
    code = folder ? kNoFileInFolder : kUnknownFileType;
  }
  r.Add("sent", Value::List(sent));
  if (!skipped.empty()) r.Add("skipped", Value::List(skipped), true);
  r.Set(rc, code);
  return r;
}

// Splits the terminal's file list ("name\r\n" each) into names.
std::vector<std::string> ListNames(const std::string& list) {
  std::vector<std::string> names;
  std::string name;
  for (const char c : list) {
    if (c == '\r' || c == '\n' || c == '\0') {
      if (!name.empty()) names.push_back(FromTerminal(name));
      name.clear();
    } else {
      name += c;
    }
  }
  if (!name.empty()) names.push_back(FromTerminal(name));
  return names;
}

Report List(const Global& g, int category) {
  Report r{"list"};
  std::vector<char> list(4096 + 2, 0);
  const int rc = RV270Api_GetFileList(g.port, g.selector, category, static_cast<int>(list.size()), list.data());
  if (rc == 0) r.Add("files", Value::List(ListNames(std::string(list.data()))));
  r.Set(rc);
  return r;
}

Report Delete(const Global& g, const std::string& name, int category) {
  Report r{"delete"};
  if (category != 0) {
    r.Set(RV270Api_DeleteAllFile(g.port, g.selector, category));
  } else {
    r.Set(RV270Api_DeleteRcFile(g.port, g.selector, ForTerminal(g, name).c_str()));
  }
  return r;
}

// What a failed upload's result means.
std::string UploadFailure(int rc) {
  switch (rc) {
    case -2: return "check byte wrong or time out";
    case -4: return "the terminal refused the request or did not answer";
    case -5: case -6: return "the terminal's answer was not understood";
    case -10: return "the host file cannot be replaced, or an acknowledgement was not sent";
    case -1001: return "device is busy";
    case 1: return "the terminal stopped sending";
    case 4: return "the link was lost";
    default: return rc > 0 ? "the host file cannot be written (system error " + std::to_string(rc) + ")"
                           : "the upload failed";
  }
}

// Fetches a file into `output`; the report gets the path or the reason of a failure.
int FetchInto(const Global& g, Report& r, int category, const std::string& name, const std::string& output,
              int timeout) {
  const std::string deviceName = ForTerminal(g, name);
  ProgressBegin(name, PhaseBefore(g, "asking for the file"), PhaseAfter(g, ""));
  // The serial upload wants a path with a folder in it: give it the full path.
  std::error_code ec;
  std::string path = std::filesystem::absolute(output, ec).string();
  if (ec) path = output;
  const int rc = RV270Api_UploadFilesToPc(g.port, g.selector, 0, path.c_str(), category, deviceName.c_str(), timeout,
                                          nullptr, nullptr);
  ProgressEnd(rc == 0);
  if (rc == 0) {
    r.Add("saved", Value::Text(path));
  } else {
    r.Add("reason", Value::Text(UploadFailure(rc)));
  }
  return rc;
}

struct FetchArgs {
  std::string name;
  int category = 1;
  std::string output;
  int timeout = 30;
};

Report Fetch(const Global& g, const FetchArgs& a) {
  Report r{"fetch"};
  const int rc = FetchInto(g, r, a.category, a.name, a.output.empty() ? a.name : a.output, a.timeout);
  // The upload leaves the last error as it was: a failure is a receiving error.
  r.Set(rc == 0 ? 0 : (rc > 0 ? -rc : rc), rc == 0 ? 0 : (rc == -1001 ? kBusy : kReceivedDataError));
  r.result = rc;
  return r;
}

Report Firmware(const Global& g, const std::string& file, int timeout, const std::string& prefix) {
  Report r{"firmware"};
  ProgressBegin(std::filesystem::path(file).filename().string(), PhaseBefore(g, "opening the link"),
                "waiting for the installation");
  const int rc = RV270Api_SetupApp(g.port, g.selector, file.c_str(), timeout, prefix.c_str());
  ProgressEnd(rc == 0);
  r.Set(rc);
  return r;
}

struct SignArgs {
  std::string output = "UserSign.png";
  std::string prompt;
  std::string voice;
  int timeout = 60;
  std::vector<int> area{0, 0, 0, 0};
  int signByte = 0;
};

Report Signature(const Global& g, const SignArgs& a) {
  Report r{"signature"};
  static const char* const kOutcomes[] = {"signed", "answer 1", "answer 2", "timed out", "cancelled"};
  const std::string prompt = ForTerminal(g, a.prompt, "--prompt");
  const std::string voice = ForTerminal(g, a.voice, "--voice");
  const int rc = RV270Api_ShowInfoOrWaitSign(g.port, g.selector, 0, prompt.c_str(), "1", a.area[0], a.area[1], a.area[2],
                                             a.area[3], a.signByte, voice.c_str(), a.timeout, 0, 0);
  r.Set(rc);
  if (rc < 0) return r;
  r.Add("outcome", Value::Text(rc <= 4 ? kOutcomes[rc] : std::to_string(rc)));
  if (rc != 0) {
    r.exit = kExitCustomer;
    return r;
  }
  const int fetched = FetchInto(g, r, 9, "UserSign.png", a.output, a.timeout > 0 ? a.timeout : 30);
  if (fetched != 0) {
    r.Set(fetched == -1001 ? -1001 : -3, fetched == -1001 ? kBusy : kSignedPictureError);
  }
  return r;
}

Report Evaluate(const Global& g, int timeout, int mode) {
  Report r{"evaluate"};
  const int rc = RV270Api_CustomerEvaluate(g.port, g.selector, timeout, mode);
  r.Set(rc);
  if (rc >= 0) r.Add("rating", Value::Number(rc));
  return r;
}

// ---- Keys and serial number ----------------------------------------------------------------

struct KcvArgs {
  std::string source;
  int type = 0;
  std::string tmk = "1";
  std::string key = "1";
  int flag = 0;
};

Report Kcv(const Global& g, const KcvArgs& a) {
  Report r{"kcv"};
  char value[4096] = {0};
  int rc = 0;
  if (a.source == "pad") {
    rc = RV270Api_GetPwCheckValue(g.port, g.selector, a.type, sizeof(value), value);
  } else if (a.source == "screen") {
    rc = RV270Api_GetScreenCheckValue(g.port, g.selector, a.type, sizeof(value), value);
  } else if (a.source == "work") {
    rc = RV270Api_CheckKEY(g.port, g.selector, a.tmk.c_str(), a.key.c_str(), 0, value, a.flag);
  } else {
    rc = RV270Api_GetMKeyValue(g.port, g.selector, a.tmk.c_str(), value, a.flag);
  }
  if (rc >= 0) r.Add("kcv", Value::Text(FromTerminal(value)));
  r.Set(rc);
  return r;
}

Report Serial(const Global& g, const std::string& set, bool clear) {
  Report r{"serial"};
  if (clear) {
    r.Set(RV270Api_CLEARserialnumber(g.port, g.selector));
  } else if (!set.empty()) {
    r.Set(RV270Api_SETserialnumber(g.port, g.selector, ForTerminal(g, set, "--set").c_str()));
  } else {
    char number[512] = {0};
    const int rc = RV270Api_GETserialnumber(g.port, g.selector, number);
    r.Set(rc);
    if (rc == 0) {
      r.Add("stored", Value::Flag(true), true);
      r.Add("serial", Value::Text(FromTerminal(number)));
    } else if (rc == -100 && r.error == 0) {
      r.Add("stored", Value::Flag(false));  // none stored: not a failure
      r.exit = kExitOk;
    }
  }
  return r;
}

// ---- The log -----------------------------------------------------------------------------

// The last `count` lines of a log file, as UTF-8. A day's file restarts at 200 KB, so
// reading its last 512 KB always covers it.
std::vector<std::string> LastLines(const std::string& path, int count) {
  constexpr std::streamoff kMostRead = 512 * 1024;
  std::ifstream in(path, std::ios::binary);
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  if (size <= 0) return {};
  const std::streamoff from = size > kMostRead ? size - kMostRead : 0;
  in.seekg(from);
  std::string text(static_cast<size_t>(size - from), '\0');
  in.read(&text[0], static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(in.gcount()));
  std::vector<std::string> lines;
  size_t at = 0;
  if (from > 0) {
    // The first line read may be cut: it is left out (all of it when no line ends).
    const size_t firstEnd = text.find('\n');
    at = firstEnd == std::string::npos ? text.size() : firstEnd + 1;
  }
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    at = end + 1;
  }
  if (lines.size() > static_cast<size_t>(count)) lines.erase(lines.begin(), lines.end() - count);
  for (std::string& line : lines) line = FromTerminal(line);
  return lines;
}

Report Log(int tail) {
  Report r{"log"};
  char path[600] = {0};  // the library's path holds at most 512 bytes
  // The call writes its own line first, so the day's file exists and is the one named.
  const int rc = RV270Api_GetLogPath(path);
  r.Add("log", Value::Text(path));
  if (tail > 0) r.Add("lines", Value::List(LastLines(path, tail)));
  r.Set(rc);
  return r;
}

const char* const kFooter =
    "Exit codes: 0 done; 1 the terminal or the library reported a failure; 2 the command\n"
    "line was not understood; 3 the customer cancelled, did not complete or the time ran out.\n"
    "Port 0 (or 1001) is the USB link; any other number n is the serial port COMn (on Linux\n"
    "the device that RV270_COMn names, else /dev/ttyS(n-1)).";

// "rv270 1.0.0.3, library QornRV270API 1.0.0.3 of 2026-12-10".
std::string VersionText() {
  return std::string("rv270 ") + RV270_CLI_VERSION + ", library QornRV270API " + LibraryVersion();
}

// The global options as a help text for the subcommands' help.
std::string GlobalOptionsText(const CLI::App& app) {
  std::string text = "Global options (before or after the subcommand):\n";
  for (const CLI::Option* opt : app.get_options()) {
    const std::string name = opt->get_name(false, true);
    if (name.find("help") != std::string::npos) continue;
    std::string left = "  " + name + (opt->get_items_expected_min() > 0 ? " " + opt->get_type_name() : "");
    if (left.size() < 22) left.append(22 - left.size(), ' ');
    text += left + " " + opt->get_description() + "\n";
  }
  return text;
}

// The first word of the command line that is neither a global option nor its value: the
// subcommand's name, or "" when there is none.
std::string SubcommandWord(const CLI::App& app, int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") return i + 1 < argc ? argv[i + 1] : "";
    if (arg.size() < 2 || arg[0] != '-') return arg;
    if (arg.find('=') != std::string::npos) continue;
    const CLI::Option* opt = app.get_option_no_throw(arg);
    if (opt && opt->get_items_expected_min() > 0) ++i;  // its value
  }
  return "";
}

bool HasFlag(int argc, char** argv, const char* flag) {
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == flag) return true;
  }
  return false;
}

int Main(int argc, char** argv) {
  HandleInterrupts();
  CLI::App app{"rv270: drive an RV270 counter terminal (find it, check it, show and say texts, manage its files,\n"
               "install firmware, take a signature, read key check values and the serial number)"};
  app.footer(kFooter);
  app.require_subcommand(1);
  app.fallthrough();
  Global g;
  app.add_option("--port", g.port, "0 or 1001: USB; n: serial port COMn")->capture_default_str();
  app.add_option("--selector", g.selector, "serial channel selector byte")->capture_default_str();
  app.add_option("--baud", g.baud, "serial rate of the library's serial opens (default 9600)");
  app.add_flag("--json", g.json, "one JSON object on standard output, for scripts");
  app.add_flag("-q,--quiet", g.quiet, "print only the values asked for");
  app.add_flag("--progress", g.progress, "show transfer progress even when standard error is not a terminal");
  app.add_flag("--replace", g.replace, "send '?' for characters that have no GBK form instead of refusing the text");
  app.set_version_flag("--version", VersionText, "print the versions of rv270 and of the library");

  std::vector<std::pair<CLI::App*, std::function<Report()>>> commands;
  auto command = [&](const char* name, const char* what, std::function<Report()> run) {
    CLI::App* sub = app.add_subcommand(name, what);
    commands.emplace_back(sub, std::move(run));
    return sub;
  };

  command("find", "find the terminal among the USB devices (vendor and product id)", [&] { return Find(); });
  command("status", "whether the terminal reports itself ready", [&] { return Status(g); });
  command("info", "device information, version, vendor and device id", [&] { return Info(g); });

  ShowArgs show;
  CLI::App* showCmd = command("show", "show a text on the customer screen", [&] { return Show(g, show); });
  showCmd->add_option("text", show.text, "the text")->required();
  showCmd->add_option("--voice", show.voice, "also speak this text");
  showCmd->add_option("--mode", show.mode, "0 show, 1 ask and wait for the customer's answer (0 or 1)")
      ->check(CLI::Range(0, 255))->capture_default_str();
  showCmd->add_option("--timeout", show.timeout, "seconds the terminal waits")->check(CLI::Range(0, 65535))
      ->capture_default_str();

  std::string sayText;
  bool sayRaw = false;
  CLI::App* sayCmd = command("say", "speak a text", [&] { return Say(g, sayText, sayRaw); });
  sayCmd->add_option("text", sayText, "the text (or the name of a .wav file on the terminal)")->required();
  sayCmd->add_flag("--raw", sayRaw, "send the text unchanged (numbers are not spelled out)");

  int volumeType = 0;
  int volumeLevel = -1;
  CLI::App* volumeCmd = command("volume", "set the voice volume, or show it when no level is given",
                                [&] { return Volume(g, volumeType, volumeLevel); });
  volumeCmd->add_option("level", volumeLevel, "volume level, 0 to 3")->check(CLI::Range(0, 3));
  volumeCmd->add_option("--type", volumeType, "volume type")->check(CLI::Range(0, 255))->capture_default_str();

  SendArgs send;
  CLI::App* sendCmd = command("send", "send a file, or each file of a folder, to the terminal",
                              [&] { return Send(g, send); });
  sendCmd->add_option("path", send.path, "file or folder")->required();
  AddCategory(sendCmd, "-c,--category", send.category,
              "category (default: picture, video or audio by the extension)");
  sendCmd->add_option("--name", send.name, "name on the terminal (one file only)");

  int listCategory = 0;
  CLI::App* listCmd = command("list", "list the terminal's files of a category", [&] { return List(g, listCategory); });
  AddCategory(listCmd, "category", listCategory, "category")->required();

  std::string deleteName;
  int deleteCategory = 0;
  CLI::App* deleteCmd = command("delete", "delete one file by name, or all files of a category",
                                [&] { return Delete(g, deleteName, deleteCategory); });
  CLI::Option* deleteNameOpt = deleteCmd->add_option("name", deleteName, "the file's name on the terminal");
  AddCategory(deleteCmd, "--all", deleteCategory, "delete every file of this category")->excludes(deleteNameOpt);
  deleteCmd->require_option(1);

  FetchArgs fetch;
  CLI::App* fetchCmd = command("fetch", "fetch a file from the terminal", [&] { return Fetch(g, fetch); });
  fetchCmd->add_option("name", fetch.name, "the file's name on the terminal")->required();
  AddCategory(fetchCmd, "-c,--category", fetch.category, "its category")->required();
  fetchCmd->add_option("-o,--output", fetch.output, "where to save it (default: its name)");
  fetchCmd->add_option("--timeout", fetch.timeout, "seconds")->check(CLI::Range(1, 3600))->capture_default_str();

  std::string firmwareFile;
  std::string firmwarePrefix;
  int firmwareTimeout = 300;
  CLI::App* firmwareCmd = command("firmware", "install firmware and wait for the result",
                                  [&] { return Firmware(g, firmwareFile, firmwareTimeout, firmwarePrefix); });
  firmwareCmd->add_option("file", firmwareFile, "firmware file")->required();
  firmwareCmd->add_option("--timeout", firmwareTimeout, "seconds to wait for the installation")
      ->check(CLI::Range(1, 3600))->capture_default_str();
  firmwareCmd->add_option("--name-prefix", firmwarePrefix, "required start of the upper-cased file name");

  SignArgs sign;
  CLI::App* signCmd = command("signature", "show the signature pad, wait for the signature and fetch UserSign.png",
                              [&] { return Signature(g, sign); });
  signCmd->add_option("-o,--output", sign.output, "where to save the image")->capture_default_str();
  signCmd->add_option("--prompt", sign.prompt, "text of the status area");
  signCmd->add_option("--voice", sign.voice, "text to speak");
  signCmd->add_option("--timeout", sign.timeout, "seconds the customer has")->check(CLI::Range(0, 65535))
      ->capture_default_str();
  signCmd->add_option("--area", sign.area, "signing area: four numbers")->expected(4);
  signCmd->add_option("--sign-byte", sign.signByte, "signing option byte")->check(CLI::Range(0, 255));

  int evaluateTimeout = 30;
  int evaluateMode = 0;
  CLI::App* evaluateCmd = command("evaluate", "ask the customer to rate the teller and print the rating",
                                  [&] { return Evaluate(g, evaluateTimeout, evaluateMode); });
  evaluateCmd->add_option("--timeout", evaluateTimeout, "seconds the customer has")->check(CLI::Range(0, 255))
      ->capture_default_str();
  evaluateCmd->add_option("--mode", evaluateMode, "evaluation mode byte")->check(CLI::Range(0, 255))
      ->capture_default_str();

  KcvArgs kcv;
  CLI::App* kcvCmd = command("kcv", "key check value: of the password pad's or screen keyboard's latest key, of a "
                                    "work key or of a master key", [&] { return Kcv(g, kcv); });
  kcvCmd->add_option("source", kcv.source, "pad, screen, work or master")
      ->required()->check(CLI::IsMember({"pad", "screen", "work", "master"}));
  kcvCmd->add_option("--type", kcv.type, "check value type (pad, screen)")->check(CLI::Range(0, 255));
  kcvCmd->add_option("--tmk", kcv.tmk, "master key index (work, master)")->capture_default_str();
  kcvCmd->add_option("--key", kcv.key, "work key index (work)")->capture_default_str();
  kcvCmd->add_option("--flag", kcv.flag, "flag byte (work, master)")->check(CLI::Range(0, 255));

  std::string serialSet;
  bool serialClear = false;
  CLI::App* serialCmd = command("serial", "show, set or clear the serial number",
                                [&] { return Serial(g, serialSet, serialClear); });
  CLI::Option* setOpt = serialCmd->add_option("--set", serialSet, "store this serial number")
                            ->check([](const std::string& s) {
                              return s.empty() || s.size() > 255 ? std::string("1 to 255 characters") : std::string();
                            });
  serialCmd->add_flag("--clear", serialClear, "clear the serial number")->excludes(setOpt);

  command("doctor", "check this machine for a terminal: the library, the devices of its device table and their "
                    "access, the serial ports, the log folder, and one status exchange",
          [&] { return Doctor(g.port, g.selector); });

  int logTail = 0;
  CLI::App* logCmd = command("log", "print the path of the library's log file of today, and its last lines",
                             [&] { return Log(logTail); });
  logCmd->add_option("--tail", logTail, "also print its last N lines, in UTF-8")->check(CLI::Range(1, 100000));

  const std::string globals = GlobalOptionsText(app);
  for (const auto& c : commands) c.first->footer(globals + "\n" + kFooter);

  const bool json = HasFlag(argc, argv, "--json");
  const std::string word = SubcommandWord(app, argc, argv);
  const bool known =
      std::any_of(commands.begin(), commands.end(), [&](const auto& c) { return c.first->check_name(word); });
  if (!word.empty() && !known) {
    return PrintUsageError("", "unknown subcommand '" + word + "' (rv270 --help lists them)", json);
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForVersion& e) {
    if (!json) return app.exit(e);
    Report r{"version"};
    r.Add("rv270", Value::Text(RV270_CLI_VERSION));
    r.Add("library", Value::Text(LibraryVersion()));
    return Print(r, OutputOptions{true, false});
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // --help
    return PrintUsageError(word, e.what(), json);
  }
  SetInterruptLink(g.port, g.selector, g.json, g.quiet);
  if (g.baud > 0) RV270Api_SetBaud(g.port, g.selector, 0, g.baud);
  StartProgress(!g.json && !g.quiet, g.progress);
  for (const auto& c : commands) {
    if (!c.first->parsed()) continue;
    const std::string name = c.first->get_name();
    SetInterruptCommand(name, name == "send" || name == "fetch" || name == "firmware");
    Report r{name};
    try {
      if (InterruptRequested()) {
        r.Set(0, api::kFunctionCanceled);  // interrupted before the call began
      } else {
        r = c.second();
      }
    } catch (const TextRefused& refused) {
      CommandFinished(r);
      return PrintUsageError(name, refused.message, g.json);
    }
    CommandFinished(r);
    // Why the link could not be reached, when it could not.
    if (r.exit == kExitFailed && r.interrupted.empty() && name != "doctor" && name != "log") {
      const LinkTrouble trouble = ExplainLink(name == "find" ? 0 : g.port);
      if (!trouble.tried.empty()) {
        r.AddWhy("tried", trouble.tried);
        r.AddWhy("reason", trouble.reason);
      }
    }
    return Print(r, OutputOptions{g.json, g.quiet});
  }
  return PrintUsageError("", "A subcommand is required (rv270 --help lists them)", json);
}

}  // namespace
}  // namespace rv270cli

int main(int argc, char** argv) { return rv270cli::Main(argc, argv); }
