// The screen view's HTTP server and its JSON document (see rv270sim/http_view.h).
#include "rv270sim/http_view.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
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

// An entry on the keypad: which command, and the slot of the scripted customer's input
// with the PIN pad's default (cmd_pinpad.cpp).
struct Entry {
  uint8_t cls, cmd;
  const char* kind;
  const char* slot;
  const char* fallback;
};

constexpr Entry kEntries[] = {
    {0x50, 0x5A, "PIN", "pinpad.pin", "1234"},
    {0x50, 0x63, "PIN", "pinpad.pin", "1234"},
    {0x10, 0x19, "PIN", "pinpad.pin", "1234"},
    {0x50, 0x34, "password", "pinpad.password", "123456"},
    {0x50, 0x35, "password", "pinpad.password", "123456"},
    {0x50, 0x67, "number", "pinpad.number", "12345"},
};

// The keypad entry in progress: the newest request is an entry whose customer is still
// typing. Only the number of characters goes out.
void AppendEntry(std::string& out, const CustomerView& view) {
  const Entry* entry = nullptr;
  if (view.customerWaiting && !view.lastRequests.empty()) {
    const Bytes& p = view.lastRequests.back().payload;
    for (const Entry& e : kEntries) {
      if (p.size() >= 2 && p[0] == e.cls && p[1] == e.cmd) entry = &e;
    }
  }
  JsonObject o(out);
  o.Flag("active", entry != nullptr);
  if (entry) {
    auto it = view.values.find(entry->slot);
    const size_t typed = it != view.values.end() ? it->second.size() : std::string(entry->fallback).size();
    o.Text("kind", entry->kind);
    o.Number("digits", static_cast<long long>(std::min<size_t>(typed, 64)));
  }
  o.Close();
}

// ---- HTTP -----------------------------------------------------------------------------

std::string Response(int code, const char* reason, const char* type, const std::string& body, bool head) {
  std::string out = "HTTP/1.1 " + std::to_string(code) + " " + reason + "\r\n";
  out += "Content-Type: ";
  out += type;
  out += "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
  out += "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\nConnection: close\r\n";
  if (code == 405) out += "Allow: GET, HEAD\r\n";
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

// The Host header names this machine's loopback (or is absent): a page of another site
// that a name resolving to 127.0.0.1 points here cannot read the view.
bool LoopbackHost(const std::string& headers) {
  const std::string lower = Lower(headers);
  const size_t at = lower.find("\nhost:");
  if (at == std::string::npos) return true;
  size_t begin = at + 6;
  size_t end = lower.find('\n', begin);
  if (end == std::string::npos) end = lower.size();
  std::string host = lower.substr(begin, end - begin);
  host.erase(0, host.find_first_not_of(" \t"));
  host.erase(host.find_last_not_of(" \t\r") + 1);
  if (!host.empty() && host[0] == '[') {
    host = host.substr(0, host.find(']') + 1);
  } else {
    host = host.substr(0, host.find(':'));
  }
  return host == "127.0.0.1" || host == "localhost" || host == "[::1]";
}

// The answer to one whole request head.
std::string Reply(const std::string& head, const Simulator& sim) {
  const size_t lineEnd = head.find_first_of("\r\n");
  const std::string line = head.substr(0, lineEnd);
  const size_t sp1 = line.find(' ');
  const size_t sp2 = sp1 == std::string::npos ? std::string::npos : line.find(' ', sp1 + 1);
  if (sp2 == std::string::npos || line.compare(sp2 + 1, 5, "HTTP/") != 0) return Plain(400, "Bad Request");
  const std::string method = line.substr(0, sp1);
  std::string path = line.substr(sp1 + 1, sp2 - sp1 - 1);
  path = path.substr(0, path.find('?'));
  const bool isHead = method == "HEAD";
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
  return Plain(404, "Not Found", isHead);
}

struct Connection {
  os::Socket socket;
  std::string data;
  ViewClock::time_point deadline;
  // Answered: the sending side is shut down and what still arrives is read and dropped
  // until the client closes (or the drain time ends), so that closing with unread bytes
  // (a refused oversized request) cannot reset the connection before the client has
  // read the answer.
  bool draining = false;
};

// The end of the request head, or npos while it is incomplete.
size_t HeadEnd(const std::string& data) {
  const size_t crlf = data.find("\r\n\r\n");
  const size_t lf = data.find("\n\n");
  return std::min(crlf, lf);
}

}  // namespace

// ---- the server -------------------------------------------------------------------------

struct HttpView::Server {
  std::thread thread;
  std::atomic<bool> stop{false};
  os::Socket listener = os::kNoSocket;
  uint16_t port = 0;

  void Run(const Simulator& sim) {
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
          // Never more than one byte past the limit: enough to know it was passed.
          const size_t room = kMaxRequestBytes + 1 - c.data.size();
          const int n = os::ReceiveSome(c.socket, buffer, std::min(sizeof(buffer), room));
          if (n <= 0) {
            done = true;
          } else {
            c.data.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(n));
            const size_t end = HeadEnd(c.data);
            if (end != std::string::npos) {
              reply = Reply(c.data.substr(0, end + 1), sim);
            } else if (c.data.size() > kMaxRequestBytes) {
              reply = Plain(431, "Request Header Fields Too Large");
            }
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
          connections.push_back(Connection{s, std::string(), now + std::chrono::milliseconds(kRequestDeadlineMs), false});
        }
      }
    }
    for (const Connection& c : connections) os::CloseSocket(c.socket);
  }
};

HttpView::HttpView(const Simulator& sim) : sim_(sim) {}

HttpView::~HttpView() { Stop(); }

bool HttpView::Start(uint16_t port, std::string& error) {
  if (server_) return true;
  auto server = std::make_unique<Server>();
  server->listener = os::ListenLoopback(port, server->port, error);
  if (server->listener == os::kNoSocket) return false;
  Server* s = server.get();
  const Simulator& sim = sim_;
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
