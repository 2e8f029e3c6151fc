// The screen view's HTTP server and its JSON document (see rv270sim/http_view.h).
#include "rv270sim/http_view.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "http_view_page.h"
#include "os.h"
#include "platform/codepage.h"

namespace rv270sim {
namespace {

using ViewClock = std::chrono::steady_clock;

constexpr size_t kMaxRequestBytes = 8192;  // request line and headers
constexpr int kRequestDeadlineMs = 3000;   // to send them in
constexpr int kDrainMs = 1000;             // after the answer, for the client to close
constexpr size_t kMaxConnections = 16;     // open at once; more are closed at once
constexpr size_t kShownRequests = 20;
constexpr size_t kMaxTextBytes = 16384;    // of one text in the JSON (UTF-8)
constexpr size_t kPreviewBytes = 16;       // field bytes shown of a command that holds no secret

// ---- texts ----------------------------------------------------------------------------

// Length of the well-formed UTF-8 sequence at s[i], 0 when there is none.
size_t Utf8SequenceAt(const std::string& s, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char b = byte(i);
  if (b < 0x80) return 1;
  size_t n = 0;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (b >= 0xC2 && b <= 0xDF) {
    n = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    n = 3;
    if (b == 0xE0) lo = 0xA0;  // no overlong forms
    if (b == 0xED) hi = 0x9F;  // no surrogates
  } else if (b >= 0xF0 && b <= 0xF4) {
    n = 4;
    if (b == 0xF0) lo = 0x90;
    if (b == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  if (byte(i + 1) < lo || byte(i + 1) > hi) return 0;
  for (size_t k = 2; k < n; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
  }
  return n;
}

bool IsUtf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    const size_t n = Utf8SequenceAt(s, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

// The terminal's texts arrive as GBK (display texts) or UTF-8 (voice texts): well-formed
// UTF-8 stays as it is, anything else is read as GBK.
std::string ToUtf8(const std::string& bytes) {
  if (IsUtf8(bytes)) return bytes;
  return platform::Utf16ToUtf8(platform::GbkToUtf16(bytes.data(), bytes.size()));
}

void AppendHex(std::string& out, const uint8_t* data, size_t n) {
  char two[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(two, sizeof(two), i ? " %02X" : "%02X", data[i]);
    out += two;
  }
}

// ---- JSON -----------------------------------------------------------------------------

// A JSON string of terminal bytes: converted to UTF-8, cut to kMaxTextBytes on a
// character boundary, and escaped (control characters, quotes, backslashes, and "<" so
// that the text can never close a script element).
void AppendString(std::string& out, const std::string& bytes) {
  std::string text = ToUtf8(bytes);
  if (text.size() > kMaxTextBytes) {
    size_t cut = kMaxTextBytes;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text.resize(cut);
    text += "\xE2\x80\xA6";  // an ellipsis: the text goes on
  }
  out += '"';
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20 || c == '<' || u == 0x7F) {
      char esc[8];
      std::snprintf(esc, sizeof(esc), "\\u%04X", u);
      out += esc;
    } else {
      out += c;
    }
  }
  out += '"';
}

class JsonObject {
 public:
  explicit JsonObject(std::string& out) : out_(out) { out_ += '{'; }
  void Text(const char* name, const std::string& bytes) {
    Key(name);
    AppendString(out_, bytes);
  }
  void Number(const char* name, long long value) {
    Key(name);
    out_ += std::to_string(value);
  }
  void Flag(const char* name, bool value) {
    Key(name);
    out_ += value ? "true" : "false";
  }
  // The slot's text, or null when the slot is not there.
  void Slot(const char* name, const std::map<std::string, std::string>& values) {
    auto it = values.find(name);
    if (it == values.end()) {
      Key(name);
      out_ += "null";
    } else {
      Text(name, it->second);
    }
  }
  // Starts a member whose value the caller writes.
  std::string& Raw(const char* name) {
    Key(name);
    return out_;
  }
  void Close() { out_ += '}'; }

 private:
  void Key(const char* name) {
    if (!first_) out_ += ',';
    first_ = false;
    out_ += '"';
    out_ += name;
    out_ += "\":";
  }
  std::string& out_;
  bool first_ = true;
};

// ---- commands -------------------------------------------------------------------------

// Names of the commands a customer screen is about; `showData` marks those whose fields
// hold no secret (texts, names, teller card), so that their first bytes may be shown.
struct CommandName {
  uint8_t cls, cmd;
  const char* name;
  bool showData;
};

constexpr CommandName kCommandNames[] = {
    {0x50, 0x01, "working status", true},      {0x50, 0x03, "device information", true},
    {0x50, 0x06, "file list", true},           {0x50, 0x07, "delete files", true},
    {0x50, 0x08, "upload a file", true},       {0x50, 0x0A, "serial rate", true},
    {0x50, 0x0B, "read serial rate", true},    {0x50, 0x0C, "vendor id", true},
    {0x50, 0x0D, "device id", true},           {0x50, 0x0E, "version", true},
    {0x50, 0x0F, "reset", true},               {0x50, 0x10, "information text", true},
    {0x50, 0x11, "advertisement area", true},  {0x50, 0x12, "signature screen", true},
    {0x50, 0x14, "script", true},              {0x50, 0x15, "clear main screen", true},
    {0x50, 0x17, "web page", true},            {0x50, 0x18, "compressed web page", true},
    {0x50, 0x19, "poster type", true},         {0x50, 0x1A, "advertisement page", true},
    {0x50, 0x1B, "text page", true},           {0x50, 0x1C, "welcome text", true},
    {0x50, 0x1D, "status bar text", true},     {0x50, 0x1E, "status bar information", true},
    {0x50, 0x1F, "clear status bar", true},    {0x50, 0x20, "speak text", true},
    {0x50, 0x21, "play video", true},          {0x50, 0x22, "set volume", true},
    {0x50, 0x23, "read volume", true},         {0x50, 0x24, "play interval", true},
    {0x50, 0x25, "picture list", true},        {0x50, 0x26, "video list", true},
    {0x50, 0x90, "teller card", true},         {0x50, 0x91, "evaluation page", true},
    {0x50, 0x92, "customer evaluation", true}, {0x50, 0x93, "electronic badge", true},
    {0x50, 0x5D, "read evaluation", true},     {0x50, 0xA0, "version control", true},
    {0x50, 0x04, "file download", false},      {0x50, 0x05, "file download", false},
    {0x50, 0x79, "file download", false},      {0x50, 0x99, "serial transfer rate", false},
    {0x50, 0x34, "password entry", false},     {0x50, 0x35, "password setting", false},
    {0x50, 0x5A, "PIN entry", false},          {0x50, 0x63, "PIN entry (SM4)", false},
    {0x10, 0x19, "PIN entry", false},          {0x50, 0x67, "numeric keyboard", false},
    {0x50, 0x5C, "end of entry", false},
};

// Everything else is named by its family and shows its command bytes only.
const char* FamilyName(uint8_t cls, uint8_t cmd) {
  if (cls == 0x50 && cmd >= 0x30 && cmd <= 0x6A) return "PIN pad";
  if (cls == 0x50 && cmd >= 0xA6 && cmd <= 0xA8) return "operator";
  if (cls == 0x10 && (cmd == 0x17 || cmd == 0x19)) return "PIN pad";
  if (cls == 0x10) return "factory";
  if (cls == 0x31) return "signature pad";
  if (cls == 0x60) return "cipher service";
  return "command";
}

void AppendRequest(std::string& out, const RequestRecord& r) {
  const uint8_t cls = r.payload.size() > 0 ? r.payload[0] : 0;
  const uint8_t cmd = r.payload.size() > 1 ? r.payload[1] : 0;
  const CommandName* known = nullptr;
  for (const CommandName& c : kCommandNames) {
    if (c.cls == cls && c.cmd == cmd) known = &c;
  }
  JsonObject o(out);
  o.Text("link", LinkName(r.link));
  std::string bytes;
  AppendHex(bytes, r.payload.data(), std::min<size_t>(2, r.payload.size()));
  o.Text("command", bytes);
  o.Text("name", known ? known->name : FamilyName(cls, cmd));
  o.Number("length", static_cast<long long>(r.payload.size()));
  std::string data;
  if (known && known->showData && r.payload.size() > 2) {
    const size_t n = std::min(kPreviewBytes, r.payload.size() - 2);
    AppendHex(data, r.payload.data() + 2, n);
    if (r.payload.size() - 2 > n) data += " ...";
  }
  o.Text("data", data);
  o.Close();
}

// The keypad entry in progress: only the number of characters typed goes out.
void AppendEntry(std::string& out, const CustomerView& view) {
  const bool keypad = view.waitKind == "pin" || view.waitKind == "password" || view.waitKind == "number";
  JsonObject o(out);
  o.Flag("active", keypad);
  if (keypad) {
    o.Text("kind", view.waitKind == "pin" ? "PIN" : view.waitKind);
    o.Number("digits", static_cast<long long>(view.typed));
  }
  o.Close();
}

// Who answers the waits, and the wait the page's customer answers.
void AppendCustomer(std::string& out, const CustomerView& view) {
  JsonObject o(out);
  o.Text("mode", view.browserCustomer ? "browser" : "scripted");
  o.Number("wait", static_cast<long long>(view.waitId));
  o.Text("kind", view.waitKind);
  o.Number("typed", static_cast<long long>(view.typed));
  o.Number("min", static_cast<long long>(view.typedMin));
  o.Number("max", static_cast<long long>(view.typedMax));
  o.Close();
}

// The names of a picture list ("a.jpg|b.jpg", also with "," or ";"), at most kMaxPictures.
constexpr size_t kMaxPictures = 64;

std::vector<std::string> Pictures(const std::string& list) {
  std::vector<std::string> names;
  std::string name;
  for (size_t i = 0; i <= list.size() && names.size() < kMaxPictures; ++i) {
    const char c = i < list.size() ? list[i] : '|';
    if (c == '|' || c == ',' || c == ';') {
      name.erase(0, name.find_first_not_of(' '));
      name.erase(name.find_last_not_of(' ') + 1);
      if (!name.empty()) names.push_back(name);
      name.clear();
    } else {
      name += c;
    }
  }
  return names;
}

// The content type of a picture the page may show, by the name's extension (none: not
// a picture).
const char* PictureType(const std::string& name) {
  const std::string ext = name.substr(name.find_last_of('.') == std::string::npos ? name.size() : name.find_last_of('.'));
  std::string lower;
  for (char c : ext) lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  if (lower == ".jpg" || lower == ".jpeg") return "image/jpeg";
  if (lower == ".png") return "image/png";
  if (lower == ".gif") return "image/gif";
  if (lower == ".bmp") return "image/bmp";
  return nullptr;
}

// ---- the customer's actions --------------------------------------------------------------

constexpr size_t kMaxBodyBytes = 256 * 1024;  // of a POST body
constexpr long long kMaxInkLength = 200000;   // pixels of pen path in one signature

// One action of the page, as lines of words:
//   wait N                    the wait it answers
//   confirm | cancel | clear | enter
//   key D                     a digit pressed
//   rate N                    a rating chosen
//   pad W H                   the signature pad's size in pixels
//   stroke X,Y X,Y ...        one pen stroke (points are kept inside the pad)
bool ParseAction(const std::string& body, CustomerAction& action) {
  using Kind = CustomerAction::Kind;
  bool haveKind = false, haveWait = false;
  long long ink = 0;
  size_t at = 0;
  while (at < body.size()) {
    size_t end = body.find('\n', at);
    if (end == std::string::npos) end = body.size();
    std::string line = body.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::string word = line.substr(0, line.find(' '));
    const std::string rest = line.size() > word.size() ? line.substr(word.size() + 1) : std::string();
    long a = 0, b = 0;
    char* stop = nullptr;
    if (word.empty()) continue;
    if (word == "wait") {
      const unsigned long long id = std::strtoull(rest.c_str(), &stop, 10);
      if (rest.empty() || *stop) return false;
      action.wait = id;
      haveWait = true;
      continue;
    }
    if (word == "pad") {
      a = std::strtol(rest.c_str(), &stop, 10);
      b = std::strtol(stop, &stop, 10);
      constexpr long kMin = DrawnSignature::kMinPadPixels, kMax = DrawnSignature::kMaxPadPixels;
      if (*stop || a < kMin || b < kMin || a > kMax || b > kMax) return false;
      action.signature.width = static_cast<int>(a);
      action.signature.height = static_cast<int>(b);
      continue;
    }
    if (word == "stroke") {
      const DrawnSignature& pad = action.signature;
      if (pad.width == 0) return false;  // the pad's size comes first
      std::vector<std::pair<int, int>> stroke;
      const char* p = rest.c_str();
      while (*p) {
        a = std::strtol(p, &stop, 10);
        if (stop == p || *stop != ',') return false;
        p = stop + 1;
        b = std::strtol(p, &stop, 10);
        if (stop == p || (*stop && *stop != ' ')) return false;
        p = *stop ? stop + 1 : stop;
        const std::pair<int, int> point(static_cast<int>(std::min<long>(std::max<long>(a, 0), pad.width - 1)),
                                        static_cast<int>(std::min<long>(std::max<long>(b, 0), pad.height - 1)));
        if (!stroke.empty()) {
          ink += std::max(std::abs(point.first - stroke.back().first), std::abs(point.second - stroke.back().second));
        }
        stroke.push_back(point);
        if (++ink > kMaxInkLength) return false;
      }
      if (!stroke.empty()) action.signature.strokes.push_back(std::move(stroke));
      continue;
    }
    if (haveKind) return false;
    haveKind = true;
    if (word == "confirm" || word == "cancel" || word == "clear" || word == "enter") {
      if (!rest.empty()) return false;
      action.kind = word == "confirm" ? Kind::kConfirm : word == "cancel" ? Kind::kCancel
                    : word == "clear" ? Kind::kClear : Kind::kEnter;
    } else if (word == "key") {
      if (rest.size() != 1) return false;
      action.kind = Kind::kKey;
      action.key = rest[0];
    } else if (word == "rate") {
      a = std::strtol(rest.c_str(), &stop, 10);
      if (rest.empty() || *stop) return false;
      action.kind = Kind::kRate;
      action.rating = static_cast<int>(std::min<long>(std::max<long>(a, -1), 256));
    } else {
      return false;
    }
  }
  return haveKind && haveWait;
}

// ---- HTTP -----------------------------------------------------------------------------

std::string Response(int code, const char* reason, const char* type, const std::string& body, bool head) {
  std::string out = "HTTP/1.1 " + std::to_string(code) + " " + reason + "\r\n";
  out += "Content-Type: ";
  out += type;
  out += "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
  out += "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\nConnection: close\r\n";
  // No other site may show the page in a frame of its own and lead a click onto the
  // customer's buttons.
  out += "X-Frame-Options: DENY\r\nContent-Security-Policy: frame-ancestors 'none'\r\n";
  if (code == 405) out += "Allow: GET, HEAD, POST\r\n";
  out += "\r\n";
  if (!head) out += body;
  return out;
}

std::string Plain(int code, const char* reason, bool head = false) {
  return Response(code, reason, "text/plain; charset=utf-8", std::string(reason) + "\n", head);
}

std::string Lower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

// The value of a header (its name in lower case), trimmed; `found` tells whether it is there.
std::string HeaderValue(const std::string& head, const char* name, bool& found) {
  const std::string lower = Lower(head);
  const size_t at = lower.find("\n" + std::string(name) + ":");
  found = at != std::string::npos;
  if (!found) return std::string();
  const size_t begin = at + 2 + std::strlen(name);
  size_t end = lower.find('\n', begin);
  if (end == std::string::npos) end = lower.size();
  std::string value = lower.substr(begin, end - begin);
  value.erase(0, value.find_first_not_of(" \t"));
  value.erase(value.find_last_not_of(" \t\r") + 1);
  return value;
}

bool IsLoopbackName(const std::string& host) {
  return host == "127.0.0.1" || host == "localhost" || host == "[::1]";
}

// The Host header names this machine's loopback (or is absent): a page of another site
// that a name resolving to 127.0.0.1 points here cannot read the view.
bool LoopbackHost(const std::string& head) {
  bool found = false;
  std::string host = HeaderValue(head, "host", found);
  if (!found) return true;
  if (!host.empty() && host[0] == '[') {
    host = host.substr(0, host.find(']') + 1);
  } else {
    host = host.substr(0, host.find(':'));
  }
  return IsLoopbackName(host);
}

// A customer's action comes from the view's own page: it carries the page's header
// X-RV270-Customer (another site's page cannot send it without a preflight, which this
// server refuses) and, when the browser names the page's origin, that is a loopback one.
bool FromOwnPage(const std::string& head) {
  bool found = false;
  HeaderValue(head, "x-rv270-customer", found);
  if (!found) return false;
  bool hasOrigin = false;
  const std::string origin = HeaderValue(head, "origin", hasOrigin);
  if (!hasOrigin) return true;
  const std::string scheme = "http://";
  if (origin.compare(0, scheme.size(), scheme) != 0) return false;
  std::string host = origin.substr(scheme.size());
  host = host[0] == '[' ? host.substr(0, host.find(']') + 1) : host.substr(0, host.find(':'));
  return IsLoopbackName(host);
}

std::string ActionReply(ActionResult result) {
  switch (result) {
    case ActionResult::kTaken:
      return Plain(200, "OK");
    case ActionResult::kNoWait:
      return Response(409, "Conflict", "text/plain; charset=utf-8", "no customer wait at the page\n", false);
    case ActionResult::kOtherWait:
      return Response(409, "Conflict", "text/plain; charset=utf-8", "that wait is over\n", false);
    case ActionResult::kRefused:
      break;
  }
  return Response(409, "Conflict", "text/plain; charset=utf-8", "the wait does not take that\n", false);
}

// The picture of the playlist at `query` ("n=INDEX"): a stored advertising picture.
std::string PictureReply(const std::string& query, const Simulator& sim, bool isHead) {
  constexpr int kPictureCategory = 1;
  char* end = nullptr;
  const unsigned long index = query.compare(0, 2, "n=") == 0 ? std::strtoul(query.c_str() + 2, &end, 10) : 0;
  if (!end || *end) return Plain(404, "Not Found", isHead);
  const std::vector<std::string> names = Pictures(sim.View(0, false).media.picList);
  if (index >= names.size() || !PictureType(names[index])) return Plain(404, "Not Found", isHead);
  Bytes content;
  if (!sim.KeptFileContent(kPictureCategory, names[index], content)) return Plain(404, "Not Found", isHead);
  return Response(200, "OK", PictureType(names[index]), std::string(content.begin(), content.end()), isHead);
}

// The answer to one whole request: its head and its body.
std::string Reply(const std::string& head, const std::string& body, Simulator& sim) {
  const size_t lineEnd = head.find_first_of("\r\n");
  const std::string line = head.substr(0, lineEnd);
  const size_t sp1 = line.find(' ');
  const size_t sp2 = sp1 == std::string::npos ? std::string::npos : line.find(' ', sp1 + 1);
  if (sp2 == std::string::npos || line.compare(sp2 + 1, 5, "HTTP/") != 0) return Plain(400, "Bad Request");
  const std::string method = line.substr(0, sp1);
  const std::string target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  const std::string path = target.substr(0, target.find('?'));
  const std::string query = target.find('?') == std::string::npos ? std::string() : target.substr(target.find('?') + 1);
  const bool isHead = method == "HEAD";
  if (method == "POST" && path == "/customer") {
    if (!LoopbackHost(head) || !FromOwnPage(head)) return Plain(403, "Forbidden");
    CustomerAction action;
    if (!ParseAction(body, action)) return Plain(400, "Bad Request");
    return ActionReply(sim.CustomerActs(action));
  }
  if (method != "GET" && !isHead) return Plain(405, "Method Not Allowed");
  if (!LoopbackHost(head)) return Plain(403, "Forbidden", isHead);
  if (path == "/" || path == "/index.html") {
    return Response(200, "OK", "text/html; charset=utf-8", ViewPage(), isHead);
  }
  if (path == "/state") {
    return Response(200, "OK", "application/json; charset=utf-8", ViewJson(sim.View(kShownRequests, false)), isHead);
  }
  if (path == "/signature.png") {
    const CustomerView view = sim.View(0, true);
    if (view.hasSignature && !view.signature.empty()) {
      return Response(200, "OK", "image/png", std::string(view.signature.begin(), view.signature.end()), isHead);
    }
  }
  if (path == "/picture") return PictureReply(query, sim, isHead);
  return Plain(404, "Not Found", isHead);
}

struct Connection {
  os::Socket socket;
  std::string data;
  ViewClock::time_point deadline;
  size_t need = 0;  // once the head is in: the bytes of head and body together
  // Answered: the sending side is shut down and what still arrives is read and dropped
  // until the client closes (or the drain time ends), so that closing with unread bytes
  // (a refused oversized request) cannot reset the connection before the client has
  // read the answer.
  bool draining = false;
};

// The size of the request head with its blank line, or 0 while it is incomplete.
size_t HeadSize(const std::string& data) {
  const size_t crlf = data.find("\r\n\r\n");
  const size_t lf = data.find("\n\n");
  if (crlf == std::string::npos && lf == std::string::npos) return 0;
  return crlf < lf ? crlf + 4 : lf + 2;
}

// What arrived so far on a connection: the answer once the request is whole, a refusal
// when it passes a limit, or nothing yet.
std::string Take(Connection& c, Simulator& sim) {
  if (c.need == 0) {
    const size_t headSize = HeadSize(c.data);
    if (headSize == 0) {
      return c.data.size() > kMaxRequestBytes ? Plain(431, "Request Header Fields Too Large") : std::string();
    }
    const std::string head = c.data.substr(0, headSize);
    bool found = false;
    const std::string length = HeaderValue(head, "content-length", found);
    char* end = nullptr;
    const unsigned long long bodyBytes = found ? std::strtoull(length.c_str(), &end, 10) : 0;
    if (found && (length.empty() || *end)) return Plain(400, "Bad Request");
    if (bodyBytes > kMaxBodyBytes) return Plain(413, "Payload Too Large");
    c.need = headSize + static_cast<size_t>(bodyBytes);
  }
  if (c.data.size() < c.need) return std::string();
  const size_t headSize = HeadSize(c.data);
  return Reply(c.data.substr(0, headSize), c.data.substr(headSize, c.need - headSize), sim);
}

}  // namespace

// ---- the server -------------------------------------------------------------------------

struct HttpView::Server {
  std::thread thread;
  std::atomic<bool> stop{false};
  os::Socket listener = os::kNoSocket;
  uint16_t port = 0;

  void Run(Simulator& sim) {
    std::vector<Connection> connections;
    std::vector<os::Socket> sockets;
    std::vector<char> ready;
    uint8_t buffer[2048];
    while (!stop) {
      sockets.assign(1, listener);
      for (const Connection& c : connections) sockets.push_back(c.socket);
      if (os::WaitReadable(sockets, 100, ready) < 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        continue;
      }
      const ViewClock::time_point now = ViewClock::now();
      std::vector<Connection> kept;
      for (size_t i = 0; i < connections.size(); ++i) {
        Connection& c = connections[i];
        std::string reply;
        bool done = false;
        if (c.draining) {
          done = now >= c.deadline || (ready[i + 1] && os::ReceiveSome(c.socket, buffer, sizeof(buffer)) <= 0);
        } else if (ready[i + 1]) {
          // Never more than one byte past the head's limit (enough to know it was
          // passed), nor past the body once its length is known.
          const size_t limit = c.need ? c.need : kMaxRequestBytes + 1;
          const size_t room = limit > c.data.size() ? limit - c.data.size() : 1;
          const int n = os::ReceiveSome(c.socket, buffer, std::min(sizeof(buffer), room));
          if (n <= 0) {
            done = true;
          } else {
            c.data.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(n));
            reply = Take(c, sim);
          }
        }
        if (!done && !c.draining && reply.empty() && now >= c.deadline) reply = Plain(408, "Request Timeout");
        if (!reply.empty()) {
          done = !os::SendAll(c.socket, reinterpret_cast<const uint8_t*>(reply.data()), reply.size());
          os::ShutdownSend(c.socket);
          c.draining = true;
          c.data.clear();
          c.deadline = now + std::chrono::milliseconds(kDrainMs);
        }
        if (done) {
          os::CloseSocket(c.socket);
        } else {
          kept.push_back(std::move(c));
        }
      }
      connections = std::move(kept);
      if (ready[0]) {
        const os::Socket s = os::AcceptClient(listener);
        if (s != os::kNoSocket && connections.size() >= kMaxConnections) {
          os::CloseSocket(s);
        } else if (s != os::kNoSocket) {
          connections.push_back(Connection{s, std::string(), now + std::chrono::milliseconds(kRequestDeadlineMs), 0, false});
        }
      }
    }
    for (const Connection& c : connections) os::CloseSocket(c.socket);
  }
};

HttpView::HttpView(Simulator& sim) : sim_(sim) {}

HttpView::~HttpView() { Stop(); }

bool HttpView::Start(uint16_t port, std::string& error) {
  if (server_) return true;
  auto server = std::make_unique<Server>();
  server->listener = os::ListenLoopback(port, server->port, error);
  if (server->listener == os::kNoSocket) return false;
  Server* s = server.get();
  Simulator& sim = sim_;
  server->thread = std::thread([s, &sim] { s->Run(sim); });
  server_ = std::move(server);
  return true;
}

uint16_t HttpView::Port() const { return server_ ? server_->port : 0; }

void HttpView::Stop() {
  if (!server_) return;
  server_->stop = true;
  if (server_->thread.joinable()) server_->thread.join();
  os::CloseSocket(server_->listener);
  server_.reset();
}

std::string ViewJson(const CustomerView& view) {
  const ScreenState& screen = view.screen;
  const MediaState& media = view.media;
  std::string out;
  JsonObject o(out);
  o.Text("infoText", screen.infoText);
  o.Number("infoMode", screen.infoMode);
  o.Text("textPage", screen.textPage);
  o.Text("page", screen.page);
  o.Number("pageCommand", screen.pageCommand);
  o.Number("signMode", screen.signMode);
  o.Text("signStatusArea", screen.signStatusArea);
  o.Text("statusBar", screen.statusBar);
  o.Text("statusBarInfo", screen.statusBarInfo);
  o.Text("welcome", screen.welcome);
  o.Number("posterType", screen.posterType);
  o.Text("picList", media.picList);
  o.Text("videoList", media.videoList);
  o.Text("lastVideo", media.lastVideo);
  o.Number("playInterval", media.playInterval);
  o.Text("lastSpoken", media.lastSpoken);
  o.Number("lastSpokenType", media.lastSpokenType);
  for (const char* slot : {"tellerCard", "evaluatePage", "rating", "badge", "signPad", "paperText"}) {
    o.Slot(slot, view.values);
  }
  {
    std::string& raw = o.Raw("signature");
    JsonObject s(raw);
    s.Flag("present", view.hasSignature);
    char hash[20];
    std::snprintf(hash, sizeof(hash), "%016llx", static_cast<unsigned long long>(view.signatureHash));
    s.Text("hash", view.hasSignature ? hash : "");
    s.Close();
  }
  AppendEntry(o.Raw("entry"), view);
  AppendCustomer(o.Raw("customer"), view);
  o.Number("shown", screen.shown);
  {
    std::string& raw = o.Raw("pictures");
    raw += '[';
    const std::vector<std::string> names = Pictures(media.picList);
    for (size_t i = 0; i < names.size(); ++i) {
      if (i) raw += ',';
      AppendString(raw, names[i]);
    }
    raw += ']';
  }
  o.Flag("customerWaiting", view.customerWaiting);
  {
    std::string& raw = o.Raw("requests");
    raw += '[';
    for (auto it = view.lastRequests.rbegin(); it != view.lastRequests.rend(); ++it) {
      if (it != view.lastRequests.rbegin()) raw += ',';
      AppendRequest(raw, *it);
    }
    raw += ']';
  }
  o.Close();
  return out;
}

}  // namespace rv270sim
