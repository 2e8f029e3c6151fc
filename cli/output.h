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

struct Member;

// A value: text, a whole number, a flag, a list of texts, or a list of records (each an
// ordered list of named values, as `doctor` reports what it found). Texts are UTF-8.
struct Value {
  enum Kind { kText, kNumber, kFlag, kList, kRecords } kind = kText;
  std::string text;
  long long number = 0;
  std::vector<std::string> list;
  std::vector<std::vector<Member>> records;

  static Value Text(std::string t) { Value v; v.text = std::move(t); return v; }
  static Value Number(long long n) { Value v; v.kind = kNumber; v.number = n; return v; }
  static Value Flag(bool b) { Value v; v.kind = kFlag; v.number = b ? 1 : 0; return v; }
  static Value List(std::vector<std::string> l) { Value v; v.kind = kList; v.list = std::move(l); return v; }
  static Value Records(std::vector<std::vector<Member>> r) {
    Value v;
    v.kind = kRecords;
    v.records = std::move(r);
    return v;
  }
};

struct Member {
  std::string key;
  Value value;
};

struct Report {
  explicit Report(std::string name) : command(std::move(name)) {}

  std::string command;
  int result = 0;        // the library call's return value
  int error = 0;         // last error code
  // Where a field is printed in text mode: with the values; with them except under
  // --quiet; or on standard error below the failure line (why it failed).
  enum Shown { kValue, kDetail, kWhy };
  struct Field {
    std::string key;
    Value value;
    Shown shown;
  };
  std::vector<Field> fields;
  int exit = kExitOk;
  std::string interrupted;  // the interrupt that ended the command ("SIGINT"), if any

  void Add(const std::string& key, Value value, bool detail = false) {
    fields.push_back(Field{key, std::move(value), detail ? kDetail : kValue});
  }
  void AddWhy(const std::string& key, const std::string& text) {
    fields.push_back(Field{key, Value::Text(text), kWhy});
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

// A command line that was not understood: the message on standard error and, under
// --json, {"command", "exit": 2, "usage"} on standard output. Returns 2.
int PrintUsageError(const std::string& command, const std::string& message, bool json);

// The library's text of an error code.
std::string ErrorText(int code);

// A text for the terminal that GBK cannot carry, with the reason (for exit 2).
struct TextRefused {
  std::string message;
};

// Texts between the command line and the terminal. The terminal's texts are GBK; the
// command line's are UTF-8 on Linux and the system code page on Windows. A character
// without a GBK form is refused (TextRefused names it, its code point and its position,
// 1 for the first character, and `what` when given) unless `replace` asks for '?'
// instead. Bytes that are not in the command line's encoding pass unchanged (a text
// given in GBK already).
std::string ToTerminal(const std::string& text, bool replace, const std::string& what = "");
std::string FromTerminal(const std::string& gbk);  // UTF-8
// Turns any bytes into valid UTF-8 (invalid sequences become U+FFFD).
std::string CleanUtf8(const std::string& text);

// The transfer progress on standard error: a bar with rate and time left when stderr is
// a terminal, plain lines otherwise (with `forced`), nothing when `enabled` is false.
void StartProgress(bool enabled, bool forced);
// One transfer call: its label ("[2/5] logo.png") and the names of what the call does
// before the file's bytes move and after (the serial rate switches, the terminal's
// confirmation). ProgressEnd when the call has returned: the time of the whole call and
// of each phase.
void ProgressBegin(const std::string& label, const std::string& before, const std::string& after);
void ProgressEnd(bool ok);

}  // namespace rv270cli
