#include "output.h"

#include <chrono>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#else
#include <iconv.h>
#include <unistd.h>
#endif

#include "QornRV270API.h"
#include "api/frame.h"
#include "platform/codepage.h"
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
  }
}

std::string Json(const Report& r) {
  std::string out = "{\"command\":";
  JsonString(out, r.command);
  out += ",\"result\":" + std::to_string(r.result) + ",\"error\":" + std::to_string(r.error) + ",\"errorText\":";
  JsonString(out, ErrorText(r.error));
  out += ",\"exit\":" + std::to_string(r.exit);
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

std::string Plain(const Value& v) {
  switch (v.kind) {
    case Value::kText:
      return v.text;
    case Value::kNumber:
      return std::to_string(v.number);
    case Value::kFlag:
      return v.number ? "yes" : "no";
    case Value::kList: {
      std::string joined;
      for (const auto& item : v.list) joined += item + "\n";
      return joined;
    }
  }
  return std::string();
}

void PrintText(const Report& r, bool quiet) {
  for (const auto& field : r.fields) {
    const Value& v = field.value;
    if (quiet && field.detail) continue;
    if (quiet) {
      const std::string text = Plain(v);
      if (v.kind == Value::kList) {
        fputs(text.c_str(), stdout);
      } else {
        printf("%s\n", text.c_str());
      }
    } else if (v.kind == Value::kList) {
      printf("%s: %zu\n", field.key.c_str(), v.list.size());
      for (const auto& item : v.list) printf("  %s\n", item.c_str());
    } else {
      printf("%s: %s\n", field.key.c_str(), Plain(v).c_str());
    }
  }
  const std::string line = "result: " + std::to_string(r.result) + ", error " + std::to_string(r.error) + ": " +
                           ErrorText(r.error);
  if (r.exit != kExitOk) {
    fflush(stdout);
    fprintf(stderr, "rv270 %s failed: %s\n", r.command.c_str(), line.c_str());
  } else if (!quiet) {
    printf("%s\n", line.c_str());
  }
}

// ---- Progress --------------------------------------------------------------------------

struct ProgressState {
  bool bar = false;  // a terminal: one line redrawn; otherwise a plain line a second
  std::string label;
  std::chrono::steady_clock::time_point start;
  std::chrono::steady_clock::time_point lastLine;
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

std::string Duration(double seconds) {
  const long s = static_cast<long>(seconds + 0.5);
  char text[32];
  snprintf(text, sizeof(text), "%ld:%02ld", s / 60, s % 60);
  return text;
}

void OnProgress(int direction, int64_t done, int64_t total) {
  ProgressState& p = g_progress;
  const auto now = std::chrono::steady_clock::now();
  if (done == 0 && !p.drawn) {
    p.start = now;
    p.lastLine = now;
  }
  const bool complete = done >= total;
  const double elapsed = std::chrono::duration<double>(now - p.start).count();
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
    const int filled = static_cast<int>(percent * kWidth / 100.0);
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(kWidth - filled), '.');
    fprintf(stderr, "\r%s [%s] %3.0f%% %s/%s %s %s %s\x1b[K", p.label.c_str(), bar.c_str(), percent,
            Bytes(static_cast<double>(done)).c_str(), Bytes(static_cast<double>(total)).c_str(), rateText.c_str(),
            complete ? "in" : "left", left.c_str());
    if (complete) fputc('\n', stderr);
  } else {
    if (!complete && done != 0 && now - p.lastLine < std::chrono::seconds(1)) return;
    p.lastLine = now;
    fprintf(stderr, "%s%s%s %lld of %lld bytes (%.0f%%), %s, %s %s\n", p.label.c_str(), p.label.empty() ? "" : ": ",
            verb, static_cast<long long>(done), static_cast<long long>(total), percent, rateText.c_str(),
            complete ? "done in" : "left", left.c_str());
  }
  fflush(stderr);
  p.drawn = !complete;
}

#ifndef _WIN32
std::string Convert(const char* to, const char* from, const std::string& text, bool* ok) {
  *ok = false;
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return text;
  std::string out(text.size() * 4 + 4, '\0');
  char* in = const_cast<char*>(text.data());
  size_t inLeft = text.size();
  char* at = &out[0];
  size_t outLeft = out.size();
  const size_t rc = iconv(cd, &in, &inLeft, &at, &outLeft);
  iconv_close(cd);
  if (rc == static_cast<size_t>(-1)) return text;
  out.resize(out.size() - outLeft);
  *ok = true;
  return out;
}
#endif

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

std::string ErrorText(int code) { return api::ErrorText(code); }

std::string ToTerminal(const std::string& text) {
#ifdef _WIN32
  return text;
#else
  bool ok = false;
  return Convert("GBK", "UTF-8", text, &ok);
#endif
}

std::string FromTerminal(const std::string& gbk) {
  return platform::Utf16ToUtf8(platform::GbkToUtf16(gbk.data(), gbk.size()));
}

std::string CleanUtf8(const std::string& text) { return platform::Utf16ToUtf8(platform::Utf8ToUtf16(text)); }

void StartProgress(bool enabled, bool forced) {
  if (!enabled) return;
#ifdef _WIN32
  const bool tty = _isatty(_fileno(stderr)) != 0;
#else
  const bool tty = isatty(fileno(stderr)) != 0;
#endif
  if (!tty && !forced) return;
  g_progress.bar = tty;
  transfer::SetProgressObserver(OnProgress);
}

void ProgressLabel(const std::string& label) { g_progress.label = label; }

}  // namespace rv270cli
