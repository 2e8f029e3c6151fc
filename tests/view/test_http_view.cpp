// The simulator's screen view over HTTP: what it serves, what it refuses, how it treats
// hostile requests, and that secrets never reach the page.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "os.h"
#include "rv270sim/codec.h"
#include "rv270sim/http_view.h"
#include "rv270sim/raw_client.h"
#include "rv270sim/simulator.h"

namespace {

using rv270sim::Bytes;
namespace os = rv270sim::os;

Bytes B(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// Sends `request` on a connection of its own and reads until the server closes it.
// An empty answer: no connection, or nothing within timeoutMs.
std::string Http(uint16_t port, const std::string& request, int timeoutMs = 5000) {
  const os::Socket s = os::ConnectLoopback(port);
  if (s == os::kNoSocket) return std::string();
  os::SendAll(s, reinterpret_cast<const uint8_t*>(request.data()), request.size());
  std::string answer;
  std::vector<char> ready;
  uint8_t buffer[4096];
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    if (os::WaitReadable({s}, 50, ready) <= 0) continue;
    const int n = os::ReceiveSome(s, buffer, sizeof(buffer));
    if (n <= 0) break;
    answer.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(n));
  }
  os::CloseSocket(s);
  return answer;
}

std::string Get(uint16_t port, const std::string& path) {
  return Http(port, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n");
}

int StatusOf(const std::string& answer) {
  return answer.compare(0, 9, "HTTP/1.1 ") == 0 ? std::atoi(answer.c_str() + 9) : -1;
}

std::string BodyOf(const std::string& answer) {
  const size_t at = answer.find("\r\n\r\n");
  return at == std::string::npos ? std::string() : answer.substr(at + 4);
}

// True when `s` is well-formed UTF-8 (what a JSON reader needs).
bool WellFormedUtf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    const size_t n = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (size_t k = 1; k < n; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    }
    i += n;
  }
  return true;
}

TEST(ScreenViewJson, TerminalTextsBecomeEscapedUtf8) {
  struct Case {
    const char* what;
    std::string bytes;
    std::string json;  // how the statusBar member must appear (or begin)
  };
  const Case cases[] = {
      {"GBK display text", "\xBB\xB6\xD3\xAD\xB9\xE2\xC1\xD9", u8"\"statusBar\":\"欢迎光临\""},
      {"UTF-8 voice text", u8"请到三号窗口", u8"\"statusBar\":\"请到三号窗口\""},
      {"quotes, backslash, control, markup", "a\"b\\c\n\x01</script>",
       "\"statusBar\":\"a\\\"b\\\\c\\u000A\\u0001\\u003C/script>\""},
      // What becomes of the broken byte is the converter's (U+FFFD, or nothing).
      {"a broken GBK lead byte", "ok\xFF", "\"statusBar\":\"ok"},
  };
  for (const Case& c : cases) {
    rv270sim::CustomerView view;
    view.screen.statusBar = c.bytes;
    const std::string json = rv270sim::ViewJson(view);
    EXPECT_NE(json.find(c.json), std::string::npos) << c.what << ": " << json;
    EXPECT_TRUE(WellFormedUtf8(json)) << c.what;
  }

  // A huge page is cut on a character boundary.
  rv270sim::CustomerView view;
  for (int i = 0; i < 20000; ++i) view.screen.textPage += "\xD6\xD0";  // 中 in GBK
  const std::string json = rv270sim::ViewJson(view);
  EXPECT_TRUE(WellFormedUtf8(json));
  EXPECT_LT(json.size(), 20000u);
  EXPECT_NE(json.find(u8"中中\u2026\""), std::string::npos);
}

class ScreenView : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim.StartUsb()) << sim.LastError();
    std::string error;
    ASSERT_TRUE(view.Start(0, error)) << error;
    port = view.Port();
    ASSERT_NE(port, 0);
  }

  // Sends one request packet on a new link, waits until the simulator has it, and leaves
  // the link open (its answer may be a customer wait).
  void Send(const Bytes& request) {
    const size_t before = sim.Requests().size();
    links.emplace_back(new rv270sim::RawHidClient);
    rv270sim::RawHidClient& link = *links.back();
    char type = 0;
    Bytes payload;
    ASSERT_TRUE(link.Connect(sim.UsbPort()) && link.SendFrame('O', Bytes{0}) && link.ReadFrame(type, payload));
    const Bytes packet = rv270sim::EncodePacket(request);
    for (size_t at = 0; at < packet.size(); at += 64) {
      Bytes report(65, 0);
      std::copy(packet.begin() + at, packet.begin() + std::min(packet.size(), at + 64), report.begin() + 1);
      ASSERT_TRUE(link.SendFrame('W', report));
    }
    ASSERT_TRUE(sim.WaitForRequests(before + 1));
  }

  rv270sim::Simulator sim;
  rv270sim::HttpView view{sim};
  uint16_t port = 0;
  std::vector<std::unique_ptr<rv270sim::RawHidClient>> links;
};

TEST_F(ScreenView, ServesPageStateAndSignatureAndRefusesTheRest) {
  const std::string host = "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
  struct Case {
    std::string request;
    int status;
    const char* type;  // expected Content-Type start, or empty
  };
  const Case cases[] = {
      {"GET / HTTP/1.1\r\n" + host + "\r\n", 200, "text/html"},
      {"GET /state?t=1 HTTP/1.1\r\n" + host + "\r\n", 200, "application/json"},
      {"GET /state HTTP/1.0\r\n\r\n", 200, "application/json"},  // no Host header at all
      {"GET /signature.png HTTP/1.1\r\n" + host + "\r\n", 404, ""},
      {"GET /../etc/passwd HTTP/1.1\r\n" + host + "\r\n", 404, ""},
      {"POST /state HTTP/1.1\r\n" + host + "Content-Length: 0\r\n\r\n", 405, ""},
      {"GET /state HTTP/1.1\r\nHost: attacker.example:" + std::to_string(port) + "\r\n\r\n", 403, ""},
      {"GARBAGE\r\n\r\n", 400, ""},
  };
  for (const Case& c : cases) {
    const std::string answer = Http(port, c.request);
    EXPECT_EQ(StatusOf(answer), c.status) << c.request;
    if (*c.type) {
      EXPECT_NE(answer.find(std::string("Content-Type: ") + c.type), std::string::npos) << c.request;
    }
  }
  EXPECT_EQ(StatusOf(Http(port, "HEAD / HTTP/1.1\r\n" + host + "\r\n")), 200);
  // The page, whose buttons act for the customer, is never shown in another site's frame.
  EXPECT_NE(Http(port, "GET / HTTP/1.1\r\n" + host + "\r\n").find("\r\nX-Frame-Options: DENY\r\n"), std::string::npos);
  EXPECT_EQ(BodyOf(Http(port, "HEAD / HTTP/1.1\r\n" + host + "\r\n")), "");

  const Bytes png = Cat({Bytes{0x89}, B("PNG\r\n\x1A\n"), Bytes(300, 0x00), Bytes{0xFF, 0x7F}});
  sim.PutFile(9, "UserSign.png", png);
  const std::string answer = Get(port, "/signature.png");
  EXPECT_EQ(StatusOf(answer), 200);
  EXPECT_NE(answer.find("Content-Type: image/png"), std::string::npos);
  EXPECT_EQ(BodyOf(answer), std::string(png.begin(), png.end()));
  EXPECT_NE(BodyOf(Get(port, "/state")).find("\"signature\":{\"present\":true,\"hash\":\""), std::string::npos);
}

TEST_F(ScreenView, HostileOrSlowClientsAreBoundedAndDoNotStallOthers) {
  // A request line far past the limit is refused, not buffered.
  const std::string huge = "GET /" + std::string(100000, 'a') + " HTTP/1.1\r\n\r\n";
  EXPECT_EQ(StatusOf(Http(port, huge)), 431);

  // A client that sends half a request and waits: others are served meanwhile; it gets
  // a time-out answer, and the view still stops at once with it open.
  const os::Socket slow = os::ConnectLoopback(port);
  ASSERT_NE(slow, os::kNoSocket);
  const std::string half = "GET /state HTTP/1.1\r\n";
  os::SendAll(slow, reinterpret_cast<const uint8_t*>(half.data()), half.size());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(StatusOf(Get(port, "/state")), 200);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  std::vector<char> ready;
  ASSERT_GT(os::WaitReadable({slow}, 6000, ready), 0);
  uint8_t buffer[64] = {};
  ASSERT_GT(os::ReceiveSome(slow, buffer, sizeof(buffer) - 1), 12);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 12), "HTTP/1.1 408");
  os::CloseSocket(slow);

  const os::Socket idle = os::ConnectLoopback(port);
  ASSERT_NE(idle, os::kNoSocket);
  view.Stop();
  EXPECT_EQ(view.Port(), 0);
  EXPECT_EQ(os::ConnectLoopback(port), os::kNoSocket);
  os::CloseSocket(idle);
}

TEST_F(ScreenView, PinEntryShowsTheDigitCountAndNoSecret) {
  sim.EditState([](rv270sim::DeviceState& s) {
    s.customerDelayMs = 20000;
    s.values["pinpad.pin"] = "987654";
  });
  // A master key from two components, then a PIN entry under it that waits for the
  // customer; the welcome text goes with its bytes.
  const std::string c1 = "0123456789ABCDEF", c2 = "FEDCBA9876543210";
  Send(Cat({Bytes{0x50, 0x54}, B("001"), Bytes{16}, B(c1), Bytes{16}, B(c2), Bytes{0}}));
  Send(Cat({Bytes{0x50, 0x1C, 0x00, 0x03}, B("abc")}));
  Send(Cat({Bytes{0x50, 0x5A}, B("001"), Bytes{0x01, 0x00, 0x3C, 0x00, 0x00}}));
  ASSERT_TRUE(sim.WaitUntil([&] { return sim.View(1, false).customerWaiting; }));

  const std::string state = BodyOf(Get(port, "/state"));
  EXPECT_NE(state.find("\"entry\":{\"active\":true,\"kind\":\"PIN\",\"digits\":6}"), std::string::npos) << state;
  EXPECT_NE(state.find("\"customerWaiting\":true"), std::string::npos);
  EXPECT_NE(state.find("\"command\":\"50 1C\",\"name\":\"welcome text\",\"length\":7,\"data\":\"00 03 61 62 63\""),
            std::string::npos)
      << state;
  EXPECT_NE(state.find("\"command\":\"50 54\",\"name\":\"PIN pad\",\"length\":40,\"data\":\"\""), std::string::npos)
      << state;
  EXPECT_NE(state.find("\"command\":\"50 5A\",\"name\":\"PIN entry\",\"length\":10,\"data\":\"\""), std::string::npos);
  // Neither the PIN, nor a key component (as text or as the bytes shown), nor a stored
  // key or PIN block appears.
  const rv270sim::DeviceState device = sim.State();
  std::vector<std::string> secrets = {"987654", c1, c2, "30 31 32 33", device.values.at("pinpad.lastClearBlock")};
  for (const auto& slot : device.values) {
    if (slot.first.compare(0, 4, "tmk.") == 0) secrets.push_back(slot.second);
  }
  for (const std::string& secret : secrets) EXPECT_EQ(state.find(secret), std::string::npos) << secret;

  // A screen command after it ends the entry on the page.
  Send(Cat({Bytes{0x50, 0x1D, 0x00, 0x01}, B("x")}));
  EXPECT_NE(BodyOf(Get(port, "/state")).find("\"entry\":{\"active\":false}"), std::string::npos);
}

// The customer at the page: actions are taken only from the view's own page, bounded,
// and what is typed shows as a count alone.
TEST_F(ScreenView, CustomerActionsComeOnlyFromThePageAndShowNoDigit) {
  sim.SetBrowserCustomer(true);
  const std::string c1 = "0123456789ABCDEF", c2 = "FEDCBA9876543210";
  Send(Cat({Bytes{0x50, 0x54}, B("001"), Bytes{16}, B(c1), Bytes{16}, B(c2), Bytes{0}}));
  Send(Cat({Bytes{0x50, 0x5A}, B("001"), Bytes{0x01, 0x00, 0x3C, 0x00, 0x00}}));
  ASSERT_TRUE(sim.WaitUntil([&] { return sim.View(0, false).waitId != 0; }));
  const std::string wait = std::to_string(sim.View(0, false).waitId);

  const std::string own = "X-RV270-Customer: 1\r\nOrigin: http://127.0.0.1:" + std::to_string(port) + "\r\n";
  const auto post = [&](const std::string& body, const std::string& headers) {
    return StatusOf(Http(port, "POST /customer HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n" + headers +
                                   "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body));
  };
  struct Case {
    const char* what;
    std::string body, headers;
    int status;
  };
  const Case cases[] = {
      {"without the page's header", "wait " + wait + "\nkey 7\n", "", 403},
      {"from another site", "wait " + wait + "\nkey 7\n", "X-RV270-Customer: 1\r\nOrigin: http://attacker.example\r\n",
       403},
      {"an unknown action", "wait " + wait + "\nfly\n", own, 400},
      {"no wait named", "key 7\n", own, 400},
      {"two actions", "wait " + wait + "\nkey 7\nkey 3\n", own, 400},
      {"a stroke before the pad", "wait " + wait + "\nconfirm\nstroke 1,2 3,4\n", own, 400},
      {"a wait that is over", "wait 999\nkey 7\n", own, 409},
      {"not a digit", "wait " + wait + "\nkey x\n", own, 409},
  };
  for (const Case& c : cases) EXPECT_EQ(post(c.body, c.headers), c.status) << c.what;
  EXPECT_EQ(StatusOf(Http(port, "POST /customer HTTP/1.1\r\nHost: 127.0.0.1\r\n" + own + "Content-Length: 300000\r\n\r\n")),
            413);
  EXPECT_EQ(sim.View(0, false).typed, 0u);

  for (const char* key : {"7", "3", "9", "1"}) EXPECT_EQ(post("wait " + wait + "\nkey " + key + "\n", own), 200);
  const std::string state = BodyOf(Get(port, "/state"));
  EXPECT_NE(state.find("\"entry\":{\"active\":true,\"kind\":\"PIN\",\"digits\":4}"), std::string::npos) << state;
  EXPECT_NE(state.find("\"customer\":{\"mode\":\"browser\",\"wait\":" + wait + ",\"kind\":\"pin\",\"typed\":4"),
            std::string::npos)
      << state;
  EXPECT_EQ(state.find("7391"), std::string::npos);
  EXPECT_EQ(post("wait " + wait + "\nenter\n", own), 200);
  EXPECT_TRUE(sim.WaitUntil([&] { return !sim.View(0, false).customerWaiting; }));
  EXPECT_EQ(post("wait " + wait + "\nkey 1\n", own), 409);
}

TEST_F(ScreenView, PlaylistPicturesAreServedWhenStoredWhole) {
  const Bytes png = Cat({Bytes{0x89}, B("PNG\r\n\x1A\n"), Bytes(40, 0x00)});
  sim.PutFile(1, "a.png", png);
  sim.PutFile(1, "notes.txt", B("text"));
  const std::string list = "a.png|notes.txt|missing.jpg";
  Send(Cat({Bytes{0x50, 0x25, static_cast<uint8_t>(list.size())}, B(list)}));
  const std::string answer = Get(port, "/picture?n=0");
  EXPECT_EQ(StatusOf(answer), 200);
  EXPECT_NE(answer.find("Content-Type: image/png"), std::string::npos);
  EXPECT_EQ(BodyOf(answer), std::string(png.begin(), png.end()));
  for (const char* query : {"/picture?n=1", "/picture?n=2", "/picture?n=3", "/picture?n=x", "/picture"}) {
    EXPECT_EQ(StatusOf(Get(port, query)), 404) << query;
  }
  EXPECT_NE(BodyOf(Get(port, "/state")).find("\"pictures\":[\"a.png\",\"notes.txt\",\"missing.jpg\"]"), std::string::npos);
}

}  // namespace
