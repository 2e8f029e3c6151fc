// rv270-soak: a long randomised run of the shipped library against the embedded
// simulator, on the USB link and a serial port at once, with faults and cancels.
//
//   rv270-soak --seed N --seconds S --threads T
//
// Worker threads call a weighted random mix of every export family, with valid and
// hostile arguments; a fault thread makes the simulator misbehave (unplugs, silence,
// slow, damaged, short and over-announced answers, a customer who never answers, an
// upload folder that is read-only or full); a cancel thread cancels at random moments,
// some within the first 50 ms of a call. Invariants are checked as the run goes and at
// its end; every violation is printed with the seed and the call. The first line is
// the seed, the last "soak: C calls, F faults, K cancels, V violations"; the exit status
// is 0 only without a violation.
//
// Replays: every worker, the fault thread and the cancel thread draw from their own
// random source, derived from the seed and their index. A seed therefore replays each
// thread's own sequence of calls and arguments, the fault schedule (kinds and moments,
// counted from the start) and the cancel schedule exactly; how the threads interleave,
// and so which call a fault or cancel meets, follows the machine's timing and differs
// from run to run. With --threads 1 a replay is close: one worker, one fault source.
#include <dirent.h>
#include <linux/capability.h>
#include <malloc.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <shared_mutex>
#include <sstream>
#include <string>
#include <thread>

#include "QornRV270API.h"
#include "rv270sim/host.h"
#include "soak.h"

namespace soak {

const char* FamilyName(Family f) {
  static const char* names[] = {"utility", "link",     "device",      "screen", "media",    "file",
                                "upload",  "factory",  "cipher",      "evaluate", "sign",   "pad keys",
                                "master keys", "entry", "identity",   "operator"};
  return names[static_cast<int>(f)];
}

void TextSet::Add(const std::string& text) {
  if (text.size() < minLength_) return;
  std::lock_guard<std::mutex> guard(lock_);
  items_.insert(text);
}

std::vector<std::string> TextSet::All() const {
  std::lock_guard<std::mutex> guard(lock_);
  return std::vector<std::string>(items_.begin(), items_.end());
}

const char* CallContext::HostileText(std::string& holder) {
  switch (Pick(0, 2)) {
    case 0: return nullptr;
    case 1: holder.clear(); return holder.c_str();
    default: holder.assign(static_cast<size_t>(Pick(600, 12000)), 'Z'); return holder.c_str();
  }
}

void CallContext::CheckGuard(const Guarded& g, const char* what) {
  if (!g.Intact()) problems.push_back(std::string("written past the ") + std::to_string(g.Size()) + " bytes of " + what);
}

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kMarginMs = 2000;
// An answer whose first part came within the call's time-out is awaited further: its
// rest 2 s on a serial port, a missing further report 1 s on USB.
constexpr int kSerialAnswerRestMs = 2000;
constexpr int kUsbFurtherReportMs = 1000;
constexpr int kCancelLimitMs = 500;
constexpr int kLogCap = 204800;
constexpr int kLongestLine = 4096 + 64;
// Under AddressSanitizer (its quarantine holds freed memory back) and ThreadSanitizer
// (its shadow memory grows with every address used) resident memory says nothing about
// leaks: it is reported, not judged; LeakSanitizer looks for leaks there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kJudgeMemory = false;
#else
constexpr bool kJudgeMemory = true;
#endif

int64_t MsSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// ---- Process figures -----------------------------------------------------------------

long StatusField(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const size_t n = strlen(key);
  while (std::getline(in, line)) {
    if (line.compare(0, n, key) == 0) return std::atol(line.c_str() + n);
  }
  return -1;
}
long RssKb() { return StatusField("VmRSS:"); }
long Threads() { return StatusField("Threads:"); }
int OpenFds() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n - 1;  // the listing's own descriptor
}

std::vector<std::string> FolderEntries(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

void RemoveTree(const std::string& dir) {
  for (const std::string& name : FolderEntries(dir)) {
    const std::string path = dir + "/" + name;
    struct stat st{};
    if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      chmod(path.c_str(), 0700);
      RemoveTree(path);
    } else {
      unlink(path.c_str());
    }
  }
  rmdir(dir.c_str());
}

// Without the override of file permissions a read-only folder is read-only for this
// process even when it runs as root. The capability sets are per thread: this runs
// before any thread starts, so every thread inherits them.
void DropPermissionOverride() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  if (syscall(SYS_capget, &header, data) != 0) return;
  const unsigned drop = (1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH);
  data[0].effective &= ~drop;
  syscall(SYS_capset, &header, data);
}

// ---- Log checks ----------------------------------------------------------------------

// Reads the day's log as it grows and checks each new line's shape: the time stamp and
// level name, or a line of a hexadecimal dump ("XX " or masked "** " cells).
class LogWatch {
 public:
  void SetPath(const std::string& path) { path_ = path; }
  const std::string& Path() const { return path_; }

  // New complete lines since the last look; malformed ones are returned in `bad`.
  void Scan(std::vector<std::string>& bad) {
    FILE* f = std::fopen(path_.c_str(), "rb");
    if (!f) return;
    std::fseek(f, 0, SEEK_END);
    const long size = std::ftell(f);
    if (size < offset_) {  // replaced at the size cap
      offset_ = 0;
      pending_.clear();
    }
    std::fseek(f, offset_, SEEK_SET);
    std::string text;
    char buffer[8192];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), f)) > 0) text.append(buffer, n);
    std::fclose(f);
    offset_ += static_cast<long>(text.size());
    pending_ += text;
    size_t at = 0;
    for (;;) {
      const size_t end = pending_.find("\r\n", at);
      if (end == std::string::npos) break;
      const std::string line = pending_.substr(at, end - at);
      if (!WellFormed(line)) bad.push_back(line.substr(0, 200));
      at = end + 2;
    }
    pending_.erase(0, at);
    if (pending_.size() > 2 * kLongestLine) {
      bad.push_back("a line without its end: " + pending_.substr(0, 200));
      pending_.clear();
    }
  }

 private:
  bool WellFormed(const std::string& line) {
    const bool stamped = line.size() >= 23 && line[0] == '[' && line[3] == '/' && line[6] == ' ' &&
                         line[9] == ':' && line[12] == ':' && line[15] == ']' && line[21] == ':' && line[22] == ' ' &&
                         Digits(line, 1, 2) && Digits(line, 4, 2) && Digits(line, 7, 2) && Digits(line, 10, 2) &&
                         Digits(line, 13, 2) && IsLevel(line.substr(16, 5));
    if (stamped) {
      inDump_ = true;  // a dump's cells may follow on the next lines
      // A device text with line ends inside brackets (the category list: each name
      // followed by a line end) goes on over the next lines up to its closing bracket.
      const size_t open = line.rfind('[');
      inText_ = open != std::string::npos && open > 15 && line.find(']', open) == std::string::npos;
      return true;
    }
    if (inText_) {
      inText_ = line.find(']') == std::string::npos;
      return true;
    }
    if (!inDump_) return false;
    if (line.empty()) return true;  // a dump of a multiple of 18 bytes ends with an empty line
    if (line.size() % 3 != 0 || line.size() > 18 * 3) return false;
    for (size_t i = 0; i < line.size(); i += 3) {
      const bool masked = line[i] == '*' && line[i + 1] == '*';
      if (!(masked || (Hex(line[i]) && Hex(line[i + 1]))) || line[i + 2] != ' ') return false;
    }
    return true;
  }
  static bool Digits(const std::string& s, size_t at, size_t n) {
    for (size_t i = at; i < at + n; ++i) {
      if (s[i] < '0' || s[i] > '9') return false;
    }
    return true;
  }
  static bool Hex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }
  static bool IsLevel(const std::string& l) {
    return l == "ERROR" || l == "WARN " || l == "INFO " || l == "TRACE" || l == "DEBUG";
  }

  std::string path_;
  long offset_ = 0;
  std::string pending_;
  bool inDump_ = false;
  bool inText_ = false;
};

std::string ToHex(const std::string& s) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

std::string ToBase64(const std::string& s) {
  static const char* table = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < s.size(); i += 3) {
    const unsigned v = (static_cast<unsigned char>(s[i]) << 16) | (static_cast<unsigned char>(s[i + 1]) << 8) |
                       static_cast<unsigned char>(s[i + 2]);
    for (int k = 18; k >= 0; k -= 6) out += table[(v >> k) & 63];
  }
  // The part of the text whose encoding does not depend on padding is enough to find it.
  return out;
}

// Every secret, in clear, as hexadecimal text (also across dump cells) and as Base64,
// in every file of the log folder. Returns the findings.
std::vector<std::string> FindSecrets(const std::string& folder, const std::vector<std::string>& secrets) {
  std::vector<std::string> found;
  for (const std::string& name : FolderEntries(folder)) {
    std::ifstream in(folder + "/" + name, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string packed;  // upper-case, without blanks and line ends: dump cells run together
    packed.reserve(text.size());
    for (char c : text) {
      if (c == ' ' || c == '\r' || c == '\n') continue;
      packed += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
    }
    for (const std::string& s : secrets) {
      std::string upper = s;
      for (char& c : upper) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
      const char* how = nullptr;
      if (text.find(s) != std::string::npos || packed.find(upper) != std::string::npos) how = "in clear";
      else if (packed.find(ToHex(s)) != std::string::npos) how = "as hexadecimal text";
      else if (s.size() >= 12 && text.find(ToBase64(s)) != std::string::npos) how = "as Base64";
      if (how) found.push_back("secret " + s.substr(0, 4) + "... " + how + " in " + name);
    }
  }
  return found;
}

// ---- The run -------------------------------------------------------------------------

enum class FaultKind {
  kUnplugUsb, kUnplugSerial, kSilence, kSlow, kGarbage, kShort, kOverAnnounced, kChunked,
  kCustomerAway, kFolderReadOnly, kFolderFull, kTransfer, kCount
};
const char* FaultName(FaultKind k) {
  static const char* names[] = {"usb unplug",     "serial hang-up", "silence",        "slow answer",
                                "garbage",        "short answer",   "over-announced", "slow chunks",
                                "customer away",  "folder read-only", "folder full",  "transfer fault"};
  return names[static_cast<int>(k)];
}

struct Options {
  uint64_t seed = 1;
  int seconds = 60;
  int threads = 4;
};

class Soak {
 public:
  explicit Soak(const Options& o) : opt_(o), exports_(BuildExports()) {}
  int Run();

 private:
  // One call in flight: the time other calls held the link while it waited is credited
  // to it, so that the time check measures the call's own exchange.
  struct InFlight {
    Clock::time_point start;
    int64_t heldByOthersMs = 0;
    int port = 0;
  };

  bool Setup();
  void Worker(int index);
  void Faults();
  void Cancels();
  void Watchdog();
  void KeepLog(const std::string& why);
  void Monitor();
  void Quiescent(bool warmup);
  void Violation(const std::string& what);
  std::string SerialLinkName() const { return base_ + "/com"; }
  void PointSerialLink();
  // The files the uploads ask for (the mix's deletions may have removed them); the
  // large one is over the file size limit of a "full" upload folder.
  void PutUploadFiles() {
    sim_.PutPatternFile(1, "small.bin", 2000);
    sim_.PutPatternFile(1, "medium.bin", 40000);
    sim_.PutPatternFile(1, "large.bin", 300000);
  }
  uint64_t Seed(int stream) const { return opt_.seed * 1000003ull + static_cast<uint64_t>(stream) * 7919ull + 17; }
  int Elapsed() const { return static_cast<int>(MsSince(start_) / 1000); }
  void Progress(const char* label);
  size_t Begin(int port);
  int64_t End(size_t id);

  Options opt_;
  std::vector<ExportCase> exports_;
  rv270sim::Simulator sim_;
  RunSecrets secrets_;
  TextSet received_{10};  // secrets of 10 characters or more: shorter ones turn up by chance
  std::string base_, uploadDir_, tmpDir_, logFolder_;
  int keptLogs_ = 0;
  LogWatch log_;
  Clock::time_point start_;
  std::atomic<bool> stop_{false};
  std::atomic<unsigned> readOnlySpells_{0};  // odd while the upload folder is read-only
  TextSet excused_;  // partial files left in a read-only folder (names)

  std::shared_mutex gate_;      // calls hold it shared; the quiescent checks hold it alone
  std::atomic<bool> pausing_{false};  // a quiescent check waits: no new call starts
  // Waits while a quiescent check is due, then holds the gate for one call.
  std::shared_lock<std::shared_mutex> Enter() {
    while (pausing_) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return std::shared_lock<std::shared_mutex>(gate_);
  }
  std::mutex faultLock_;        // held while a fault is under way
  std::mutex reportLock_;
  std::mutex flightLock_;
  std::map<size_t, InFlight> flights_;
  size_t nextFlight_ = 0;
  std::atomic<uint64_t> callStarts_{0};
  std::atomic<int> lastStartPort_{kUsbPort};

  std::atomic<uint64_t> calls_{0}, faults_{0}, cancels_{0}, violations_{0};
  std::array<std::atomic<uint64_t>, static_cast<size_t>(Family::kCount)> familyCalls_{};
  std::array<std::atomic<uint64_t>, static_cast<size_t>(FaultKind::kCount)> faultKinds_{};
  std::map<std::string, std::map<int, uint64_t>> results_;  // export -> result -> count
  int64_t longestCancelMs_ = 0;

  long warmRss_ = -1, warmFds_ = -1, warmThreads_ = -1;
  long startRss_ = 0, startFds_ = 0;
};

// Tells a process that stood still as a whole (no thread ran: its 1 s sleeps overrun)
// from one call that was stuck while the others waited for it.
void Soak::Watchdog() {
  auto last = Clock::now();
  while (!stop_) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const auto now = Clock::now();
    const int64_t gap = std::chrono::duration_cast<std::chrono::milliseconds>(now - last).count();
    last = now;
    if (gap > 5000) {
      std::lock_guard<std::mutex> guard(reportLock_);
      std::printf("stall: the whole process stood still about %lld ms, up to %ds\n", static_cast<long long>(gap - 1000),
                  Elapsed());
      std::fflush(stdout);
    }
  }
}

// A copy of the library's log as it is now, beside the soak's working folder (the log
// restarts at its size cap, and the folder goes at the end): the lines of a slow call.
void Soak::KeepLog(const std::string& why) {
  std::lock_guard<std::mutex> guard(reportLock_);
  const std::string copy = "rv270-soak-" + std::to_string(opt_.seed) + "-" + std::to_string(++keptLogs_) + ".log";
  std::ifstream in(log_.Path(), std::ios::binary);
  std::ofstream out(copy, std::ios::binary);
  out << in.rdbuf();
  std::printf("log kept (%s): %s\n", why.c_str(), copy.c_str());
  std::fflush(stdout);
}

void Soak::Violation(const std::string& what) {
  ++violations_;
  std::lock_guard<std::mutex> guard(reportLock_);
  std::printf("VIOLATION seed %llu at %ds: %s\n", static_cast<unsigned long long>(opt_.seed), Elapsed(), what.c_str());
  std::fflush(stdout);
}

size_t Soak::Begin(int port) {
  std::lock_guard<std::mutex> guard(flightLock_);
  const size_t id = nextFlight_++;
  flights_[id] = InFlight{Clock::now(), 0, port};
  lastStartPort_ = port;
  ++callStarts_;
  return id;
}

// Returns the time the call may have waited for others: its overlap with each call that
// ended while it was in flight, and its whole flight when a call that started before it
// is still going. The exchanges go one at a time, and a call that held the exchange
// returns only after its closing log lines and link pause: a call that waited for it all
// along can end first (a factory test sitting out its 600 s verdict wait once made a
// status call behind it look 600 s slow).
int64_t Soak::End(size_t id) {
  std::lock_guard<std::mutex> guard(flightLock_);
  const auto now = Clock::now();
  const InFlight mine = flights_[id];
  flights_.erase(id);
  const auto ms = [](Clock::duration d) { return std::chrono::duration_cast<std::chrono::milliseconds>(d).count(); };
  bool olderStillGoing = false;
  for (auto& entry : flights_) {
    entry.second.heldByOthersMs += ms(now - std::max(entry.second.start, mine.start));
    if (entry.second.start < mine.start) olderStillGoing = true;
  }
  return mine.heldByOthersMs + (olderStillGoing ? ms(now - mine.start) : 0);
}

void Soak::PointSerialLink() {
  const std::string tmp = SerialLinkName() + ".new";
  unlink(tmp.c_str());
  if (symlink(sim_.SerialDevicePath().c_str(), tmp.c_str()) == 0) rename(tmp.c_str(), SerialLinkName().c_str());
}

bool Soak::Setup() {
  char templ[] = "/tmp/rv270-soak-XXXXXX";
  if (!mkdtemp(templ)) return false;
  base_ = templ;
  uploadDir_ = base_ + "/uploads";
  tmpDir_ = base_ + "/tmp";
  mkdir(uploadDir_.c_str(), 0755);
  mkdir(tmpDir_.c_str(), 0755);
  mkdir((base_ + "/host").c_str(), 0755);
  // Temporary files of the library and the simulator land here, to be counted at the end.
  setenv("TMPDIR", tmpDir_.c_str(), 1);
  signal(SIGXFSZ, SIG_IGN);
  DropPermissionOverride();
  // Blocks of 64 KB and more (the large caller buffers of the mix) always come from
  // mappings of their own and go back when freed: without this the allocator raises the
  // threshold as they come and go, and keeps them in its heaps, where the resident size
  // then swings by megabytes with the mix and would hide or fake a leak.
  mallopt(M_MMAP_THRESHOLD, 64 * 1024);

  // The secrets of the run, from its seed.
  std::mt19937_64 rng(Seed(999));
  auto hex = [&](size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += "0123456789ABCDEF"[rng() % 16];
    return s;
  };
  auto digits = [&](size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += static_cast<char>('0' + rng() % 10);
    return s;
  };
  secrets_.masterKey = hex(32);
  secrets_.workKey = hex(32);
  secrets_.sm4Key = hex(32);
  secrets_.operatorKey = hex(32);
  secrets_.password = "Pw" + hex(14);
  secrets_.cardNumber = "62" + digits(17);
  secrets_.accountField = secrets_.cardNumber.substr(secrets_.cardNumber.size() - 13, 12);
  secrets_.pin = digits(12);
  secrets_.padPassword = digits(12);
  for (const std::string* s : {&secrets_.masterKey, &secrets_.workKey, &secrets_.sm4Key, &secrets_.operatorKey,
                               &secrets_.password, &secrets_.cardNumber, &secrets_.accountField, &secrets_.pin,
                               &secrets_.padPassword}) {
    received_.Add(*s);
  }

  // A small media file to download.
  {
    std::ofstream f(base_ + "/host/soak.jpg", std::ios::binary);
    for (int i = 0; i < 3000; ++i) f.put(static_cast<char>(i * 7));
  }

  if (!sim_.StartUsb() || !sim_.StartSerial()) {
    std::fprintf(stderr, "simulator: %s\n", sim_.LastError().c_str());
    return false;
  }
  rv270sim::SetProcessEnv("RV270_SIM", sim_.UsbAddress());
  PointSerialLink();
  rv270sim::SetProcessEnv("RV270_COM" + std::to_string(kSerialPort), SerialLinkName());
  sim_.EditState([this](rv270sim::DeviceState& s) {
    s.deviceInfo = "RV270 customer counter terminal, soak run";
    s.customerAnswer = {0x00, 0x00, 0x00};
    s.customerDelayMs = 100;
    s.values["pinpad.pin"] = secrets_.pin;
    s.values["pinpad.password"] = secrets_.padPassword;
  });
  PutUploadFiles();

  char path[520] = {0};
  RV270Api_GetLogPath(path);
  log_.SetPath(path);
  logFolder_ = log_.Path().substr(0, log_.Path().find_last_of('/'));
  std::vector<std::string> bad;
  log_.Scan(bad);  // lines of earlier runs are not this run's
  return true;
}

void Soak::Worker(int index) {
  std::mt19937_64 rng(Seed(index));
  int total = 0;
  for (const ExportCase& e : exports_) total += e.weight;
  CallContext c;
  c.rng = &rng;
  c.secrets = &secrets_;
  c.received = &received_;
  c.hostFile = base_ + "/host/soak.jpg";
  c.uploadDir = uploadDir_;
  c.scratch = base_ + "/host";
  c.readOnlySpells = &readOnlySpells_;
  c.excused = &excused_;
  while (!stop_) {
    int pick = std::uniform_int_distribution<int>(0, total - 1)(rng);
    const ExportCase* e = &exports_[0];
    for (const ExportCase& candidate : exports_) {
      if (pick < candidate.weight) {
        e = &candidate;
        break;
      }
      pick -= candidate.weight;
    }
    const int portDraw = c.Pick(0, 99);
    c.port = portDraw < 50 ? kUsbPort : portDraw < 95 ? kSerialPort : portDraw < 98 ? 1001 : 99;
    if (e->usbOnly) c.port = kUsbPort;
    c.hostile = c.Chance(25);
    c.problems.clear();

    std::shared_lock<std::shared_mutex> hold = Enter();
    const size_t id = Begin(c.port);
    const auto t0 = Clock::now();
    const int result = e->call(c);
    const int64_t took = MsSince(t0);
    const int64_t waited = End(id);
    hold.unlock();

    ++calls_;
    ++familyCalls_[static_cast<size_t>(e->family)];
    {
      std::lock_guard<std::mutex> guard(reportLock_);
      ++results_[e->name][result];
    }
    const std::string what = std::string(e->name) + " port " + std::to_string(c.port) +
                             (c.hostile ? " hostile" : "") + " result " + std::to_string(result);
    // Port 99 names no port at all: its failure is the frame's link failure.
    if (std::find(e->results.begin(), e->results.end(), result) == e->results.end()) {
      Violation(what + ": not among the export's results");
    }
    const int rest = c.port == kUsbPort || c.port == 1001 ? kUsbFurtherReportMs : kSerialAnswerRestMs;
    if (took > e->budgetMs + rest + kMarginMs + waited) {
      Violation(what + ": took " + std::to_string(took) + " ms (budget " + std::to_string(e->budgetMs) +
                " ms, waited for others " + std::to_string(waited) + " ms)");
      KeepLog("slow call at " + std::to_string(Elapsed()) + "s");
    }
    for (const std::string& p : c.problems) Violation(what + ": " + p);
  }
}

// The fault thread: a fault of a random kind at random moments, each undone before the
// next (an unplugged link is plugged back, a script left unused is dropped).
void Soak::Faults() {
  std::mt19937_64 rng(Seed(500));
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  auto sleep = [&](int ms) {
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (!stop_ && Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  };
  // Faults aimed at a command the workers use, never at the cancels' own commands.
  auto recentCommand = [&](uint8_t& cls, uint8_t& cmd) {
    const auto requests = sim_.Requests();
    for (int tries = 0; tries < 8 && !requests.empty(); ++tries) {
      const auto& r = requests[static_cast<size_t>(pick(0, static_cast<int>(requests.size()) - 1))];
      if (r.payload.size() < 2) continue;
      cls = r.payload[0];
      cmd = r.payload[1];
      if (cls == 0x50 && (cmd == 0x15 || cmd == 0x5C)) continue;
      return true;
    }
    return false;
  };
  while (!stop_) {
    sleep(pick(200, 2500));
    if (stop_) break;
    const auto kind = static_cast<FaultKind>(pick(0, static_cast<int>(FaultKind::kCount) - 1));
    std::lock_guard<std::mutex> guard(faultLock_);
    uint8_t cls = 0, cmd = 0;
    rv270sim::Faults f;
    switch (kind) {
      case FaultKind::kUnplugUsb:
        sim_.Unplug(rv270sim::Link::kUsb);
        sleep(pick(0, 1500));
        sim_.Plug(rv270sim::Link::kUsb);
        break;
      case FaultKind::kUnplugSerial:
        // The line's name goes first: once the simulator lets its pseudo-terminal go,
        // the number may serve another program's, which the library must not reach.
        unlink(SerialLinkName().c_str());
        sim_.Unplug(rv270sim::Link::kSerial);
        sleep(pick(0, 1500));
        sim_.Plug(rv270sim::Link::kSerial);
        PointSerialLink();
        break;
      case FaultKind::kSilence:
        if (recentCommand(cls, cmd)) sim_.ScriptNext(cls, cmd, rv270sim::Answer::None());
        sleep(pick(500, 3000));
        break;
      case FaultKind::kSlow:
        if (recentCommand(cls, cmd)) sim_.ScriptNext(cls, cmd, rv270sim::Answer::Handler(pick(100, 2500)));
        sleep(pick(500, 3000));
        break;
      case FaultKind::kGarbage:
        f.corruptAt = pick(0, 12);
        f.corruptXor = static_cast<uint8_t>(pick(1, 255));
        f.badCheck = pick(0, 1) == 1;
        f.badStx = pick(0, 5) == 0;
        f.badEtx = pick(0, 5) == 0;
        sim_.FaultNextAnswer(f);
        sleep(pick(100, 1000));
        break;
      case FaultKind::kShort:
        if (pick(0, 1) == 0) {
          f.truncateTo = pick(1, 10);
          sim_.FaultNextAnswer(f);
        } else if (recentCommand(cls, cmd)) {
          // A success answer shorter than its data.
          sim_.ScriptNext(cls, cmd, rv270sim::Answer::Of({0x00, 0x00}));
        }
        sleep(pick(100, 1000));
        break;
      case FaultKind::kOverAnnounced:
        f.announceLength = pick(3, 4000);
        sim_.FaultNextAnswer(f);
        sleep(pick(100, 1000));
        break;
      case FaultKind::kChunked:
        f.chunkBytes = pick(1, 8);
        f.chunkGapMs = pick(0, 5);
        sim_.FaultNextAnswer(f);
        sleep(pick(100, 1000));
        break;
      case FaultKind::kCustomerAway:
        sim_.EditState([](rv270sim::DeviceState& s) { s.customerDelayMs = 600000; });
        sleep(pick(1000, 5000));
        sim_.EditState([](rv270sim::DeviceState& s) { s.customerDelayMs = 100; });
        break;
      case FaultKind::kFolderReadOnly:
        ++readOnlySpells_;
        chmod(uploadDir_.c_str(), 0555);
        sleep(pick(1000, 5000));
        chmod(uploadDir_.c_str(), 0755);
        ++readOnlySpells_;
        break;
      case FaultKind::kFolderFull: {
        // The log stays below its size cap, well within this limit.
        rlimit limit{256 * 1024, RLIM_INFINITY};
        setrlimit(RLIMIT_FSIZE, &limit);
        sleep(pick(1000, 5000));
        limit.rlim_cur = RLIM_INFINITY;
        setrlimit(RLIMIT_FSIZE, &limit);
        break;
      }
      case FaultKind::kTransfer: {
        rv270sim::TransferFaults t;
        switch (pick(0, 3)) {
          case 0: t.dropReport = pick(0, 40); break;
          case 1: t.silenceAfter = pick(0, 40); break;
          case 2: t.corruptReport = pick(0, 40); break;
          default: t.closeAfter = pick(0, 40); break;
        }
        sim_.SetTransferFaults(t);
        sleep(pick(500, 3000));
        sim_.SetTransferFaults(rv270sim::TransferFaults());
        break;
      }
      case FaultKind::kCount: break;
    }
    sim_.ClearScripts();
    ++faults_;
    ++faultKinds_[static_cast<size_t>(kind)];
  }
}

// The cancel thread: cancels on either link at random moments; every other one within
// the first 50 ms of a call that has just started.
void Soak::Cancels() {
  std::mt19937_64 rng(Seed(600));
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  while (!stop_) {
    const bool early = pick(0, 1) == 1;
    int port = pick(0, 1) ? kUsbPort : kSerialPort;
    if (early) {
      const uint64_t seen = callStarts_.load();
      const auto until = Clock::now() + std::chrono::seconds(2);
      while (!stop_ && callStarts_.load() == seen && Clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      port = lastStartPort_.load() == kUsbPort || lastStartPort_.load() == 1001 ? kUsbPort : kSerialPort;
      std::this_thread::sleep_for(std::chrono::milliseconds(pick(0, 50)));
    } else {
      const auto until = Clock::now() + std::chrono::milliseconds(pick(50, 3000));
      while (!stop_ && Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (stop_) break;
    const bool viaBreak = pick(0, 2) == 0;
    std::shared_lock<std::shared_mutex> hold = Enter();
    const auto t0 = Clock::now();
    const int result = viaBreak ? RV270Api_Break(port, 0) : RV270Api_CancelCustomProcess(port, 0);
    const int64_t took = MsSince(t0);
    hold.unlock();
    ++cancels_;
    longestCancelMs_ = std::max(longestCancelMs_, took);
    const std::string what = std::string(viaBreak ? "RV270Api_Break" : "RV270Api_CancelCustomProcess") + " port " +
                             std::to_string(port) + (early ? " early" : "") + " result " + std::to_string(result);
    if (result != 0) Violation(what + ": not among the export's results");
    if (took > kCancelLimitMs) Violation(what + ": took " + std::to_string(took) + " ms");
  }
}

void Soak::Progress(const char* label) {
  std::lock_guard<std::mutex> guard(reportLock_);
  std::printf("%s %ds: %llu calls, %llu faults, %llu cancels, %llu violations, rss %ld kB, fds %d, threads %ld\n",
              label, Elapsed(), static_cast<unsigned long long>(calls_.load()),
              static_cast<unsigned long long>(faults_.load()), static_cast<unsigned long long>(cancels_.load()),
              static_cast<unsigned long long>(violations_.load()), RssKb(), OpenFds(), Threads());
  std::fflush(stdout);
}

// With every call returned and no fault under way: no link open, the descriptors and
// threads at their count, the simulator's records emptied so that they do not grow.
void Soak::Quiescent(bool warmup) {
  std::lock_guard<std::mutex> faults(faultLock_);
  pausing_ = true;
  std::unique_lock<std::shared_mutex> hold(gate_);
  struct Resume {
    std::atomic<bool>& flag;
    ~Resume() { flag = false; }
  } resume{pausing_};
  if (!sim_.WaitForNoOpenLinks(2000)) {
    Violation("a USB link still open with no call in progress (" + std::to_string(sim_.LinksOpenNow()) + ")");
  }
  sim_.ClearRecords();
  sim_.ClearScripts();
  sim_.EditState([](rv270sim::DeviceState& s) {
    // Downloads made by the mix stay small, but they are dropped now and then all the same.
    for (auto it = s.files.begin(); it != s.files.end();) {
      it = it->first.second.find(".bin") == std::string::npos ? s.files.erase(it) : std::next(it);
    }
  });
  PutUploadFiles();
  malloc_trim(0);
  const long fds = OpenFds();
  const long threads = Threads();
  if (warmup) {
    warmFds_ = fds;
    warmThreads_ = threads;
    warmRss_ = RssKb();
    Progress("warm-up");
    return;
  }
  if (fds != warmFds_) Violation("open descriptors " + std::to_string(fds) + " with no call in progress, " + std::to_string(warmFds_) + " after warm-up");
  if (threads != warmThreads_) Violation("threads " + std::to_string(threads) + ", " + std::to_string(warmThreads_) + " after warm-up");
}

void Soak::Monitor() {
  // Warm-up: long enough for every thread's allocator arena and the simulator's buffers
  // to reach their working size.
  const int warmupAt = std::min(300, std::max(5, opt_.seconds / 2));
  int nextQuiet = warmupAt, nextProgress = 60;
  bool warm = false;
  while (!stop_) {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    const int now = Elapsed();
    if (now >= opt_.seconds) break;
    std::vector<std::string> bad;
    log_.Scan(bad);
    for (const std::string& line : bad) Violation("log line not well-formed: " + line);
    if (now >= nextQuiet) {
      Quiescent(!warm);
      warm = true;
      nextQuiet = now + 15;
      for (const std::string& f : FindSecrets(logFolder_, received_.All())) Violation(f);
    }
    if (now >= nextProgress) {
      Progress("progress");
      nextProgress += 60;
    }
  }
}

int Soak::Run() {
  std::printf("seed %llu\n", static_cast<unsigned long long>(opt_.seed));
  std::fflush(stdout);
  if (!Setup()) {
    std::printf("soak: could not start the simulator\n");
    return 2;
  }
  start_ = Clock::now();
  startRss_ = RssKb();
  startFds_ = OpenFds();
  std::printf("start: rss %ld kB, fds %ld, threads %ld, log %s\n", startRss_, startFds_, Threads(), log_.Path().c_str());
  std::fflush(stdout);
  std::vector<std::thread> threads;
  for (int i = 0; i < opt_.threads; ++i) threads.emplace_back([this, i] { Worker(i); });
  threads.emplace_back([this] { Faults(); });
  threads.emplace_back([this] { Cancels(); });
  threads.emplace_back([this] { Watchdog(); });
  Monitor();
  stop_ = true;
  for (auto& t : threads) t.join();

  // End: everything back where it was after warm-up.
  chmod(uploadDir_.c_str(), 0755);
  rlimit limit{RLIM_INFINITY, RLIM_INFINITY};
  setrlimit(RLIMIT_FSIZE, &limit);
  std::vector<std::string> bad;
  log_.Scan(bad);
  for (const std::string& line : bad) Violation("log line not well-formed: " + line);
  sim_.ClearRecords();
  sim_.ClearScripts();
  sim_.WaitForNoOpenLinks(2000);
  if (sim_.LinksOpenNow() != 0) Violation("a USB link still open at the end");
  malloc_trim(0);
  const long endRss = RssKb();
  const long endFds = OpenFds();
  const long endThreads = Threads();
  // The workers, the fault and cancel threads have ended since warm-up.
  const long expectThreads = warmThreads_ - static_cast<long>(threads.size());
  if (warmFds_ >= 0 && endFds != warmFds_) Violation("open descriptors " + std::to_string(endFds) + " at the end, " + std::to_string(warmFds_) + " after warm-up");
  if (warmThreads_ >= 0 && endThreads != expectThreads) Violation("threads " + std::to_string(endThreads) + " at the end, " + std::to_string(expectThreads) + " expected");
  if (kJudgeMemory && warmRss_ >= 0 && endRss - warmRss_ > 1024) Violation("resident memory grew by " + std::to_string(endRss - warmRss_) + " kB after warm-up");
  const std::vector<std::string> excused = excused_.All();
  for (const std::string& dir : {uploadDir_, tmpDir_}) {
    for (const std::string& name : FolderEntries(dir)) {
      if (dir == uploadDir_ && std::find(excused.begin(), excused.end(), name) != excused.end()) continue;
      Violation("file left behind: " + dir + "/" + name);
    }
  }
  long folderBytes = 0;
  for (const std::string& name : FolderEntries(logFolder_)) {
    struct stat st{};
    if (stat((logFolder_ + "/" + name).c_str(), &st) == 0) {
      if (st.st_size > kLogCap + kLongestLine) Violation("log file " + name + " of " + std::to_string(st.st_size) + " bytes");
      folderBytes += st.st_size;
    }
  }
  for (const std::string& f : FindSecrets(logFolder_, received_.All())) Violation(f);

  const double seconds = std::max<int64_t>(1, MsSince(start_)) / 1000.0;
  std::printf("memory: rss %ld kB at start, %ld kB after warm-up, %ld kB at end; fds %ld, %ld, %ld; threads %ld at end\n",
              startRss_, warmRss_, endRss, startFds_, warmFds_, endFds, endThreads);
  std::printf("log folder: %ld bytes\n", folderBytes);
  std::printf("calls per second: %.1f; longest cancel %lld ms\n", static_cast<double>(calls_.load()) / seconds,
              static_cast<long long>(longestCancelMs_));
  for (size_t f = 0; f < familyCalls_.size(); ++f) {
    std::printf("family %-12s %llu calls\n", FamilyName(static_cast<Family>(f)), static_cast<unsigned long long>(familyCalls_[f].load()));
  }
  for (size_t k = 0; k < faultKinds_.size(); ++k) {
    std::printf("fault %-16s %llu\n", FaultName(static_cast<FaultKind>(k)), static_cast<unsigned long long>(faultKinds_[k].load()));
  }
  for (const auto& e : results_) {
    std::printf("results %s:", e.first.c_str());
    for (const auto& r : e.second) std::printf(" %d x%llu", r.first, static_cast<unsigned long long>(r.second));
    std::printf("\n");
  }
  sim_.Stop();
  RemoveTree(base_);
  std::printf("soak: %llu calls, %llu faults, %llu cancels, %llu violations\n", static_cast<unsigned long long>(calls_.load()),
              static_cast<unsigned long long>(faults_.load()), static_cast<unsigned long long>(cancels_.load()),
              static_cast<unsigned long long>(violations_.load()));
  return violations_.load() == 0 ? 0 : 1;
}

bool ParseNumber(const char* text, long long lo, long long hi, long long& out) {
  if (!text || !*text) return false;
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text, &end, 10);
  if (errno || *end || v < lo || v > hi) return false;
  out = v;
  return true;
}

}  // namespace
}  // namespace soak

int main(int argc, char** argv) {
  soak::Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    long long v = 0;
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    bool ok = false;
    if (a == "--seed") ok = soak::ParseNumber(value, 0, 0x7FFFFFFFFFFFFFFFLL, v), o.seed = static_cast<uint64_t>(v);
    else if (a == "--seconds") ok = soak::ParseNumber(value, 1, 1000000, v), o.seconds = static_cast<int>(v);
    else if (a == "--threads") ok = soak::ParseNumber(value, 1, 64, v), o.threads = static_cast<int>(v);
    if (!ok) {
      std::fprintf(stderr, "usage: rv270-soak --seed N --seconds S --threads T\n");
      return 2;
    }
    ++i;
  }
  soak::Soak run(o);
  return run.Run();
}
