#include "output.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "QornRV270API.h"
#include "api/frame.h"
#include "platform/codepage.h"
#include "system.h"
#include "transfer/progress.h"

namespace rv270cli {

namespace {

// ---- JSON ------------------------------------------------------------------------------

void JsonString(std::string& out, const std::string& text) {
  out += '"';
  for (const char c : CleanUtf8(text)) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      char esc[8];
      snprintf(esc, sizeof(esc), "\\u%04x", u);
      out += esc;
    } else {
      out += c;
    }
  }
  out += '"';
}

void JsonValue(std::string& out, const Value& v) {
  switch (v.kind) {
    case Value::kText:
      JsonString(out, v.text);
      break;
    case Value::kNumber:
      out += std::to_string(v.number);
      break;
    case Value::kFlag:
      out += v.number ? "true" : "false";
      break;
    case Value::kList:
      out += '[';
      for (size_t i = 0; i < v.list.size(); ++i) {
        if (i) out += ',';
        JsonString(out, v.list[i]);
      }
      out += ']';
      break;
    case Value::kRecords:
      out += '[';
      for (size_t i = 0; i < v.records.size(); ++i) {
        out += i ? ",{" : "{";
        for (size_t k = 0; k < v.records[i].size(); ++k) {
          if (k) out += ',';
          JsonString(out, v.records[i][k].key);
          out += ':';
          JsonValue(out, v.records[i][k].value);
        }
        out += '}';
      }
      out += ']';
      break;
  }
}

std::string Json(const Report& r) {
  std::string out = "{\"command\":";
  JsonString(out, r.command);
  out += ",\"result\":" + std::to_string(r.result) + ",\"error\":" + std::to_string(r.error) + ",\"errorText\":";
  JsonString(out, ErrorText(r.error));
  out += ",\"exit\":" + std::to_string(r.exit);
  if (!r.interrupted.empty()) {
    out += ",\"interrupted\":";
    JsonString(out, r.interrupted);
  }
  for (const auto& field : r.fields) {
    out += ',';
    JsonString(out, field.key);
    out += ':';
    JsonValue(out, field.value);
  }
  out += '}';
  return out;
}

// ---- Text ------------------------------------------------------------------------------

// A text as it goes to a terminal: valid UTF-8, its control characters (C0 but the tab,
// DEL, C1) each shown as U+FFFD. A text from the terminal or a file name can then neither
// break the line it stands on nor send escape sequences to the reader's terminal.
std::string ForReader(const std::string& text) {
  const std::string clean = CleanUtf8(text);
  std::string out;
  out.reserve(clean.size());
  for (size_t i = 0; i < clean.size(); ++i) {
    const unsigned char u = static_cast<unsigned char>(clean[i]);
    const bool c1 = u == 0xC2 && i + 1 < clean.size() && static_cast<unsigned char>(clean[i + 1]) < 0xA0;
    if ((u < 0x20 && u != '\t') || u == 0x7F || c1) {
      out += "\xEF\xBF\xBD";
      if (c1) ++i;
    } else {
      out += clean[i];
    }
  }
  return out;
}

std::string Plain(const Value& v) {
  switch (v.kind) {
    case Value::kText:
      return ForReader(v.text);
    case Value::kNumber:
      return std::to_string(v.number);
    case Value::kFlag:
      return v.number ? "yes" : "no";
    case Value::kList: {
      std::string joined;
      for (const auto& item : v.list) joined += ForReader(item) + "\n";
      return joined;
    }
    case Value::kRecords: {
      // One line a record: its first member, the sentence for people.
      std::string lines;
      for (const auto& record : v.records) {
        if (!record.empty()) lines += Plain(record.front().value) + "\n";
      }
      return lines;
    }
  }
  return std::string();
}

void PrintText(const Report& r, bool quiet) {
  for (const auto& field : r.fields) {
    const Value& v = field.value;
    if (field.shown == Report::kWhy || (quiet && field.shown == Report::kDetail)) continue;
    if (quiet) {
      const std::string text = Plain(v);
      if (v.kind == Value::kList || v.kind == Value::kRecords) {
        fputs(text.c_str(), stdout);
      } else {
        printf("%s\n", text.c_str());
      }
    } else if (v.kind == Value::kList) {
      printf("%s: %zu\n", field.key.c_str(), v.list.size());
      for (const auto& item : v.list) printf("  %s\n", ForReader(item).c_str());
    } else if (v.kind == Value::kRecords) {
      printf("%s:\n", field.key.c_str());
      const std::string lines = Plain(v);
      for (size_t at = 0; at < lines.size();) {
        const size_t end = lines.find('\n', at);
        printf("  %s\n", lines.substr(at, end - at).c_str());
        at = end + 1;
      }
    } else {
      printf("%s: %s\n", field.key.c_str(), Plain(v).c_str());
    }
  }
  const std::string line = "result: " + std::to_string(r.result) + ", error " + std::to_string(r.error) + ": " +
                           ErrorText(r.error);
  if (r.exit != kExitOk) {
    fflush(stdout);
    if (!r.interrupted.empty()) {
      fprintf(stderr, "rv270 %s interrupted by %s, the cancel was sent to the terminal: %s\n", r.command.c_str(),
              r.interrupted.c_str(), line.c_str());
    } else {
      fprintf(stderr, "rv270 %s failed: %s\n", r.command.c_str(), line.c_str());
    }
    for (const auto& field : r.fields) {
      if (field.shown == Report::kWhy) {
        fprintf(stderr, "  %s: %s\n", field.key.c_str(), ForReader(field.value.text).c_str());
      }
    }
  } else if (!quiet) {
    printf("%s\n", line.c_str());
  }
}

// ---- Progress --------------------------------------------------------------------------

// One transfer call: set up, the file's bytes, finishing; each phase timed from the call's
// start, so that the time shown is the whole call's.
struct ProgressState {
  bool enabled = false;
  bool bar = false;  // a terminal: the data line redrawn; otherwise a plain line a second
  std::string label;
  std::string before;
  std::string after;
  std::chrono::steady_clock::time_point callStart;
  std::chrono::steady_clock::time_point dataStart;
  std::chrono::steady_clock::time_point dataEnd;
  std::chrono::steady_clock::time_point lastLine;
  bool dataStarted = false;
  bool dataDone = false;
  bool drawn = false;
};
ProgressState g_progress;

std::string Bytes(double n) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB"};
  int unit = 0;
  while (n >= 1024 && unit < 3) {
    n /= 1024;
    ++unit;
  }
  char text[32];
  snprintf(text, sizeof(text), unit == 0 ? "%.0f %s" : "%.1f %s", n, kUnits[unit]);
  return text;
}

// "4.9 s" below a minute, "2:05" above.
std::string Duration(double seconds) {
  char text[32];
  if (seconds < 59.95) {
    snprintf(text, sizeof(text), "%.1f s", seconds);
  } else {
    const long s = static_cast<long>(seconds + 0.5);
    snprintf(text, sizeof(text), "%ld:%02ld", s / 60, s % 60);
  }
  return text;
}

double Seconds(std::chrono::steady_clock::time_point from, std::chrono::steady_clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// A line of the phases, "logo.png: switching the terminal to 115200 bit/s".
void PhaseLine(const std::string& what) {
  ProgressState& p = g_progress;
  if (p.drawn) fputc('\n', stderr);
  p.drawn = false;
  fprintf(stderr, "%s%s%s\n", p.label.c_str(), p.label.empty() ? "" : ": ", what.c_str());
  fflush(stderr);
}

void OnProgress(int direction, int64_t done, int64_t total) {
  ProgressState& p = g_progress;
  const auto now = std::chrono::steady_clock::now();
  if (!p.dataStarted) {
    p.dataStarted = true;
    p.dataStart = now;
    p.lastLine = now;
    if (!p.before.empty()) PhaseLine(p.before + " took " + Duration(Seconds(p.callStart, now)));
  }
  const bool complete = done >= total;
  const double elapsed = Seconds(p.dataStart, now);
  const double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0.0;
  const std::string rateText = rate > 0 ? Bytes(rate) + "/s" : "-";
  const double percent = total > 0 ? 100.0 * static_cast<double>(done) / static_cast<double>(total) : 100.0;
  std::string left = "--:--";
  if (complete) {
    left = Duration(elapsed);
  } else if (rate > 0) {
    left = Duration(static_cast<double>(total - done) / rate);
  }
  const char* verb = direction == transfer::kToTerminal ? "sent" : "received";
  if (p.bar) {
    constexpr int kWidth = 30;
    // Never outside the bar, whatever the counts say.
    const int filled = std::min(kWidth, std::max(0, static_cast<int>(percent * kWidth / 100.0)));
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(kWidth - filled), '.');
    fprintf(stderr, "\r%s [%s] %3.0f%% %s/%s %s %s %s\x1b[K", p.label.c_str(), bar.c_str(), percent,
            Bytes(static_cast<double>(done)).c_str(), Bytes(static_cast<double>(total)).c_str(), rateText.c_str(),
            complete ? "data in" : "left", left.c_str());
    p.drawn = true;
  } else {
    if (!complete && done != 0 && now - p.lastLine < std::chrono::seconds(1)) return;
    p.lastLine = now;
    fprintf(stderr, "%s%s%s %lld of %lld bytes (%.0f%%), %s, %s %s\n", p.label.c_str(), p.label.empty() ? "" : ": ",
            verb, static_cast<long long>(done), static_cast<long long>(total), percent, rateText.c_str(),
            complete ? "data in" : "left", left.c_str());
  }
  if (complete && !p.dataDone) {
    p.dataDone = true;
    p.dataEnd = now;
    if (!p.after.empty()) PhaseLine(p.after);
  }
  fflush(stderr);
}

}  // namespace

void Report::Set(int rc) { Set(rc, RV270Api_GetErrorCode()); }

void Report::Set(int rc, int code) {
  result = rc;
  error = code;
  if (code == api::kFunctionCanceled || code == api::kHandleTimeout) {
    exit = kExitCustomer;
  } else {
    exit = rc < 0 ? kExitFailed : kExitOk;
  }
}

int Print(const Report& report, const OutputOptions& options) {
  if (options.json) {
    printf("%s\n", Json(report).c_str());
  } else {
    PrintText(report, options.quiet);
  }
  fflush(stdout);
  return report.exit;
}

int PrintUsageError(const std::string& command, const std::string& message, bool json) {
  fprintf(stderr, "rv270: %s\n", message.c_str());
  if (json) {
    std::string out = "{\"command\":";
    JsonString(out, command);
    out += ",\"exit\":" + std::to_string(kExitUsage) + ",\"usage\":";
    JsonString(out, message);
    printf("%s}\n", out.c_str());
    fflush(stdout);
  }
  return kExitUsage;
}

std::string ErrorText(int code) { return api::ErrorText(code); }

std::string ToTerminal(const std::string& text, bool replace, const std::string& what) {
  std::u32string characters;
  if (!DecodeCommandLine(text, characters)) return text;
  std::string gbk;
  std::string one;
  for (size_t i = 0; i < characters.size(); ++i) {
    if (GbkOf(characters[i], one)) {
      gbk += one;
    } else if (replace) {
      gbk += '?';
    } else {
      char code[16];
      snprintf(code, sizeof(code), "U+%04X", static_cast<unsigned>(characters[i]));
      throw TextRefused{"character '" + PrintableOf(characters[i]) + "' (" + code + ") at position " +
                        std::to_string(i + 1) + (what.empty() ? "" : " of " + what) +
                        " has no GBK form; --replace sends '?' instead"};
    }
  }
  return gbk;
}

std::string FromTerminal(const std::string& gbk) {
  return platform::Utf16ToUtf8(platform::GbkToUtf16(gbk.data(), gbk.size()));
}

std::string CleanUtf8(const std::string& text) { return platform::Utf16ToUtf8(platform::Utf8ToUtf16(text)); }

void StartProgress(bool enabled, bool forced) {
  if (!enabled) return;
  const bool tty = StderrIsTerminal();
  if (!tty && !forced) return;
  g_progress.enabled = true;
  g_progress.bar = tty;
  transfer::SetProgressObserver(OnProgress);
}

void ProgressBegin(const std::string& label, const std::string& before, const std::string& after) {
  ProgressState& p = g_progress;
  p.label = label;
  p.before = before;
  p.after = after;
  p.callStart = std::chrono::steady_clock::now();
  p.dataStarted = p.dataDone = p.drawn = false;
  if (p.enabled && !before.empty()) PhaseLine(before);
}

void ProgressEnd(bool ok) {
  ProgressState& p = g_progress;
  if (!p.enabled) return;
  const auto now = std::chrono::steady_clock::now();
  std::string line = (ok ? "done in " : "stopped after ") + Duration(Seconds(p.callStart, now));
  if (p.dataStarted) {
    const auto dataEnd = p.dataDone ? p.dataEnd : now;
    line += " (" + (p.before.empty() ? std::string("start") : p.before) + " " +
            Duration(Seconds(p.callStart, p.dataStart)) + ", data " + Duration(Seconds(p.dataStart, dataEnd));
    if (p.dataDone) {
      line += ", " + (p.after.empty() ? std::string("end") : p.after) + " " + Duration(Seconds(p.dataEnd, now));
    }
    line += ")";
  }
  PhaseLine(line);
}

}  // namespace rv270cli
