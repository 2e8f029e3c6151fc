// What a subcommand reports and how rv270 prints it: "name: value" lines for people,
// one JSON object for scripts, and the exit code both can rely on.
#pragma once
#include <string>
#include <utility>
#include <vector>

namespace rv270cli {

// Exit codes.
enum Exit : int {
  kExitOk = 0,
  kExitFailed = 1,     // the terminal or the library reported a failure (negative result)
  kExitUsage = 2,      // the command line was not understood
  kExitCustomer = 3,   // the customer cancelled, did not complete, or the time ran out
};

// A value: text, a whole number, a flag or a list of texts. Texts are UTF-8.
struct Value {
  enum Kind { kText, kNumber, kFlag, kList } kind = kText;
  std::string text;
  long long number = 0;
  std::vector<std::string> list;

  static Value Text(std::string t) { Value v; v.text = std::move(t); return v; }
  static Value Number(long long n) { Value v; v.kind = kNumber; v.number = n; return v; }
  static Value Flag(bool b) { Value v; v.kind = kFlag; v.number = b ? 1 : 0; return v; }
  static Value List(std::vector<std::string> l) { Value v; v.kind = kList; v.list = std::move(l); return v; }
};

struct Report {
  explicit Report(std::string name) : command(std::move(name)) {}

  std::string command;
  int result = 0;        // the library call's return value
  int error = 0;         // last error code
  struct Field {
    std::string key;
    Value value;
    bool detail;  // left out by --quiet
  };
  std::vector<Field> fields;
  int exit = kExitOk;

  void Add(const std::string& key, Value value, bool detail = false) {
    fields.push_back(Field{key, std::move(value), detail});
  }
  // Sets result, error (RV270Api_GetErrorCode) and the usual exit code: 1 for a negative
  // result, 3 for a cancelled or timed-out customer step (codes 121, 128), else 0.
  void Set(int rc);
  // The same with an error code the caller chose, for calls that leave the last error unset.
  void Set(int rc, int code);
};

struct OutputOptions {
  bool json = false;
  bool quiet = false;
};

// Prints the report on standard output (a failure's result line on standard error in
// text mode) and returns its exit code.
int Print(const Report& report, const OutputOptions& options);

// The library's text of an error code.
std::string ErrorText(int code);

// Texts between the command line and the terminal. The terminal's texts are GBK; on
// Linux the command line's are UTF-8 and are converted (bytes that are not UTF-8 pass
// unchanged); on Windows both are the system code page already.
std::string ToTerminal(const std::string& text);
std::string FromTerminal(const std::string& gbk);  // UTF-8
// Turns any bytes into valid UTF-8 (invalid sequences become U+FFFD).
std::string CleanUtf8(const std::string& text);

// The transfer progress on standard error: a bar with rate and time left when stderr is
// a terminal, plain lines otherwise (with `forced`), nothing when `enabled` is false.
void StartProgress(bool enabled, bool forced);
// Names the file of the next transfer ("[2/5] logo.png").
void ProgressLabel(const std::string& label);

}  // namespace rv270cli
