// Shared pieces of the soak program (rv270-soak): the call context handed to each
// export's driver, the table of exports with their documented results, and the
// bookkeeping that the workers, the cancel thread and the fault thread report into.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "rv270sim/simulator.h"

namespace soak {

constexpr int kUsbPort = 0;
constexpr int kSerialPort = 7;

// The export families, as the counters of the report group them.
enum class Family {
  kUtility, kLink, kDevice, kScreen, kMedia, kFile, kUpload, kFactory, kCipher,
  kEvaluate, kSign, kPadKeys, kMasterKeys, kEntry, kIdentity, kOperator, kCount
};
const char* FamilyName(Family f);

// A caller buffer with guard bytes behind its documented size: the driver passes Data()
// and the size; Intact() tells whether the library wrote past it.
class Guarded {
 public:
  static constexpr size_t kGuard = 32;
  static constexpr uint8_t kGuardByte = 0xA7;
  explicit Guarded(size_t size) : size_(size), mem_(size + kGuard, 0) {
    for (size_t i = 0; i < kGuard; ++i) mem_[size + i] = kGuardByte;
  }
  char* Data() { return reinterpret_cast<char*>(mem_.data()); }
  unsigned char* Bytes() { return mem_.data(); }
  size_t Size() const { return size_; }
  bool Intact() const {
    for (size_t i = 0; i < kGuard; ++i) {
      if (mem_[size_ + i] != kGuardByte) return false;
    }
    return true;
  }
  // The bytes written, up to the first zero (the buffers start zeroed).
  std::string Text() const {
    size_t n = 0;
    while (n < size_ && mem_[n] != 0) ++n;
    return std::string(mem_.begin(), mem_.begin() + static_cast<long>(n));
  }

 private:
  size_t size_;
  std::vector<uint8_t> mem_;
};

// Texts gathered by several threads: the secrets of this run, what the drivers send
// (keys, passwords, card numbers) and receive (PIN and password blocks), none of which
// may reach the log folder; texts shorter than `minLength` are not kept (a short secret
// could turn up in the log by chance).
class TextSet {
 public:
  explicit TextSet(size_t minLength = 0) : minLength_(minLength) {}
  void Add(const std::string& text);
  std::vector<std::string> All() const;

 private:
  size_t minLength_;
  mutable std::mutex lock_;
  std::set<std::string> items_;
};

// Fixed secrets of a run, drawn from its seed.
struct RunSecrets {
  std::string masterKey;   // 32 hexadecimal characters
  std::string workKey;     // 32 hexadecimal characters
  std::string sm4Key;      // 32 hexadecimal characters
  std::string operatorKey; // 32 hexadecimal characters
  std::string password;    // operator password, 16 characters
  std::string cardNumber;  // 19 digits
  std::string accountField;  // the card number's 12-character account field
  std::string pin;         // 12 digits, what the simulated customer types
  std::string padPassword; // 12 digits, the simulated customer's password
};

// What one driver call needs: the port, the run's random source for this thread,
// whether to use hostile arguments, and where to report guard and upload breaches.
struct CallContext {
  int port = kUsbPort;
  bool hostile = false;
  std::mt19937_64* rng = nullptr;
  const RunSecrets* secrets = nullptr;
  TextSet* received = nullptr;
  std::string scratch;     // this thread's folder for host files
  std::string hostFile;    // a small media file to download
  std::string uploadDir;   // the folder uploads are saved into
  // Counts the upload folder's changes to and from read-only (odd: read-only now).
  const std::atomic<unsigned>* readOnlySpells = nullptr;
  // Partial files the library could not remove from a read-only folder: removed by
  // the soak and not counted as left behind.
  TextSet* excused = nullptr;
  std::vector<std::string> problems;  // guard bytes written, upload left a file, ...

  int Pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(*rng); }
  bool Chance(int percent) { return Pick(0, 99) < percent; }
  // A hostile text: null, empty, or far too long (the driver passes .c_str() or nullptr).
  const char* HostileText(std::string& holder);
  void CheckGuard(const Guarded& g, const char* what);
};

// One export in the mix.
struct ExportCase {
  const char* name;
  Family family;
  int weight;        // relative frequency in the mix
  bool usbOnly;      // takes no port (the USB link)
  std::vector<int> results;  // every result the export may give
  // The longest the call may take when nothing else holds the link, in ms (the margin of
  // the check is added on top). Drivers that pass a timeout keep it within this.
  int budgetMs;
  std::function<int(CallContext&)> call;
};

std::vector<ExportCase> BuildExports();

}  // namespace soak
