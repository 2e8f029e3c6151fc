// The simulated-terminal HID client against a scripted TCP peer that stands in for the
// simulator: device search, link open, reports and feature reports, broken frames.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/env.h"
#include "platform/hid_device.h"
#include "platform/socket.h"
#include "platform/time.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint32_t kPeerWaitMs = 3000;

struct Frame {
  char type = 0;
  Bytes payload;
};

Bytes FrameBytes(char type, const Bytes& payload, size_t announced) {
  Bytes out(3 + payload.size());
  out[0] = static_cast<uint8_t>(type);
  out[1] = static_cast<uint8_t>(announced >> 8);
  out[2] = static_cast<uint8_t>(announced & 0xFF);
  std::copy(payload.begin(), payload.end(), out.begin() + 3);
  return out;
}

Bytes FrameBytes(char type, const Bytes& payload) { return FrameBytes(type, payload, payload.size()); }

// A report of `length` bytes: report id 0, then `mark` repeated.
Bytes Report(uint8_t mark, size_t length = 65) {
  Bytes r(length, mark);
  r[0] = 0;
  return r;
}

// One accepted connection, seen from the simulator's side.
class PeerConn {
 public:
  explicit PeerConn(std::unique_ptr<platform::TcpStream> s) : s_(std::move(s)) {}

  void SendRaw(const Bytes& bytes) { s_->SendAll(bytes.data(), bytes.size()); }
  void Send(char type, const Bytes& payload = {}) { SendRaw(FrameBytes(type, payload)); }

  // The next whole frame, or false after kPeerWaitMs.
  bool Read(Frame& f) {
    const uint32_t start = platform::TickMs();
    for (;;) {
      if (rx_.size() >= 3) {
        const size_t n = (static_cast<size_t>(rx_[1]) << 8) | rx_[2];
        if (rx_.size() >= 3 + n) {
          f.type = static_cast<char>(rx_[0]);
          f.payload.assign(rx_.begin() + 3, rx_.begin() + 3 + n);
          rx_.erase(rx_.begin(), rx_.begin() + 3 + n);
          return true;
        }
      }
      if (!Take(start)) return false;
    }
  }

  // True when the other side closed the connection (within kPeerWaitMs), having sent
  // nothing more.
  bool ClosedByClient() {
    const uint32_t start = platform::TickMs();
    while (rx_.empty()) {
      if (!Take(start)) return closed_;
    }
    return false;
  }

 private:
  bool Take(uint32_t start) {
    const uint32_t spent = platform::TickMs() - start;
    if (spent >= kPeerWaitMs || s_->WaitReadable(kPeerWaitMs - spent) != 1) return false;
    uint8_t chunk[4096];
    const int n = s_->Receive(chunk, sizeof(chunk));
    if (n < 0) closed_ = true;
    if (n <= 0) return false;
    rx_.insert(rx_.end(), chunk, chunk + n);
    return true;
  }

  std::unique_ptr<platform::TcpStream> s_;
  Bytes rx_;
  bool closed_ = false;
};

// A stand-in simulator: runs one script per accepted connection, in order, on its own
// thread. Scripts record what they saw; the test checks it after Join().
class ScriptedPeer {
 public:
  using Script = std::function<void(PeerConn&)>;

  ScriptedPeer() : listener_(platform::ListenTcpLoopback()) {}
  ~ScriptedPeer() { Join(); }

  std::string Address() const { return listener_->Address(); }

  void Serve(std::vector<Script> scripts) {
    thread_ = std::thread([this, scripts] {
      for (const Script& script : scripts) {
        std::unique_ptr<platform::TcpStream> s = listener_->Accept(kPeerWaitMs);
        if (!s) return;
        PeerConn conn(std::move(s));
        script(conn);
      }
    });
  }

  void Join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::unique_ptr<platform::TcpListener> listener_;
  std::thread thread_;
};

Bytes DeviceRecord(uint16_t vid, uint16_t pid, uint16_t in, uint16_t out, uint16_t feature,
                   const std::string& className, const std::string& hardwareId) {
  Bytes r;
  for (uint16_t v : {vid, pid, in, out, feature}) {
    r.push_back(static_cast<uint8_t>(v >> 8));
    r.push_back(static_cast<uint8_t>(v & 0xFF));
  }
  r.push_back(static_cast<uint8_t>(className.size()));
  r.insert(r.end(), className.begin(), className.end());
  r.push_back(static_cast<uint8_t>(hardwareId.size()));
  r.insert(r.end(), hardwareId.begin(), hardwareId.end());
  return r;
}

const std::string kTerminalId = "HID\\VID_4B7E&PID_0001&REV_0100";

Bytes TwoDeviceList() {
  Bytes list = DeviceRecord(0x4B7E, 0x0001, 65, 65, 65, "HIDClass", kTerminalId);
  Bytes other = DeviceRecord(0x1234, 0xABCD, 33, 9, 0, "Keyboard", "hid\\vid_1234&pid_abcd");
  list.insert(list.end(), other.begin(), other.end());
  return list;
}

// Answers one device search with `answer` (a whole frame, sent as it is).
ScriptedPeer::Script AnswerSearch(Frame* request, Bytes answer, bool* closedAfter = nullptr) {
  return [=](PeerConn& c) {
    c.Read(*request);
    c.SendRaw(answer);
    if (closedAfter) *closedAfter = c.ClosedByClient();
  };
}

TEST(SimHidBackend, DeviceSearchWalksTheRecords) {
  Frame search[3];
  bool closed = false;
  ScriptedPeer peer;
  const Bytes d = FrameBytes('D', TwoDeviceList());
  peer.Serve({AnswerSearch(&search[0], d, &closed), AnswerSearch(&search[1], d), AnswerSearch(&search[2], d)});
  std::unique_ptr<platform::HidBackend> backend = platform::MakeSimHidBackend(peer.Address());

  std::vector<platform::PresentDevice> devices;
  ASSERT_TRUE(backend->ListPresentDevices(devices));
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[0].className, "HIDClass");
  EXPECT_EQ(devices[0].hardwareId, kTerminalId);
  EXPECT_EQ(devices[1].className, "Keyboard");
  EXPECT_EQ(devices[1].hardwareId, "hid\\vid_1234&pid_abcd");

  std::vector<platform::HidInterface> all;
  ASSERT_TRUE(backend->ListHidInterfaces(all, 20));
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].path, "0");
  EXPECT_TRUE(all[0].attributesRead);
  EXPECT_EQ(all[0].vendorId, 0x4B7E);
  EXPECT_EQ(all[0].productId, 0x0001);
  EXPECT_EQ(all[0].caps.inputReportLength, 65);
  EXPECT_EQ(all[1].path, "1");
  EXPECT_EQ(all[1].vendorId, 0x1234);
  EXPECT_EQ(all[1].productId, 0xABCD);
  EXPECT_EQ(all[1].caps.inputReportLength, 33);
  EXPECT_EQ(all[1].caps.outputReportLength, 9);
  EXPECT_EQ(all[1].caps.featureReportLength, 0);

  std::vector<platform::HidInterface> first;
  ASSERT_TRUE(backend->ListHidInterfaces(first, 1));
  EXPECT_EQ(first.size(), 1u);

  peer.Join();
  for (const Frame& f : search) {
    EXPECT_EQ(f.type, 'E');
    EXPECT_TRUE(f.payload.empty());
  }
  EXPECT_TRUE(closed) << "the search connection stays open";
}

TEST(SimHidBackend, EmptyDeviceListIsNoDevice) {
  Frame request;
  ScriptedPeer peer;
  peer.Serve({AnswerSearch(&request, FrameBytes('D', {}))});
  std::vector<platform::PresentDevice> devices;
  EXPECT_TRUE(platform::MakeSimHidBackend(peer.Address())->ListPresentDevices(devices));
  EXPECT_TRUE(devices.empty());
}

// The device list cannot be obtained: the search must say so rather than report no device.
TEST(SimHidBackend, BrokenDeviceSearchFails) {
  const Bytes list = TwoDeviceList();
  Bytes overlong = DeviceRecord(1, 2, 3, 4, 5, "HIDClass", "x");
  overlong[overlong.size() - 2] = 0xFF;  // hardware id length past the end of the payload
  const struct {
    const char* what;
    Bytes answer;
  } cases[] = {
      {"record cut short", FrameBytes('D', Bytes(list.begin(), list.end() - 3))},
      {"text length past the end", FrameBytes('D', overlong)},
      {"wrong answer type", FrameBytes('A', {})},
      {"frame cut short", FrameBytes('D', Bytes(4, 0), 40)},
      {"no answer", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Frame request;
    ScriptedPeer peer;
    peer.Serve({AnswerSearch(&request, c.answer)});
    std::vector<platform::PresentDevice> devices;
    EXPECT_FALSE(platform::MakeSimHidBackend(peer.Address())->ListPresentDevices(devices));
  }

  std::string gone;
  {
    ScriptedPeer closed;
    gone = closed.Address();
  }
  std::vector<platform::PresentDevice> devices;
  EXPECT_FALSE(platform::MakeSimHidBackend(gone)->ListPresentDevices(devices)) << "nobody listening";
  EXPECT_FALSE(platform::MakeSimHidBackend("no-port-here")->ListPresentDevices(devices));
}

platform::HidInterface Terminal(const std::string& path = "0") {
  platform::HidInterface iface;
  iface.path = path;
  iface.attributesRead = true;
  iface.vendorId = 0x4B7E;
  iface.productId = 0x0001;
  iface.caps = {65, 65, 65};
  return iface;
}

TEST(SimHidBackend, OpenSendsTheRecordIndexAndTakesTheAnswer) {
  Frame open[2];
  ScriptedPeer peer;
  peer.Serve({[&](PeerConn& c) {
                c.Read(open[0]);
                c.Send('A');
                c.ClosedByClient();
              },
              [&](PeerConn& c) {
                c.Read(open[1]);
                c.Send('N');
              }});
  std::unique_ptr<platform::HidBackend> backend = platform::MakeSimHidBackend(peer.Address());
  std::unique_ptr<platform::HidDevice> device = backend->Open(Terminal("7"));
  EXPECT_NE(device, nullptr);
  device.reset();  // closes the link
  EXPECT_EQ(backend->Open(Terminal("0")), nullptr) << "N: matched but not openable";
  peer.Join();
  EXPECT_EQ(open[0].type, 'O');
  EXPECT_EQ(open[0].payload, Bytes{7});
  EXPECT_EQ(open[1].payload, Bytes{0});

  for (const char* path : {"256", "x", "", "-1"}) {
    EXPECT_EQ(backend->Open(Terminal(path)), nullptr) << path;
  }
}

// An opened link to a scripted peer: the peer answers `O` with `A`, then runs `script`.
class SimLinkTest : public ::testing::Test {
 protected:
  void Open(std::function<void(PeerConn&)> script) {
    peer_.Serve({[script](PeerConn& c) {
      Frame open;
      if (!c.Read(open) || open.type != 'O') return;
      c.Send('A');
      script(c);
    }});
    device_ = platform::MakeSimHidBackend(peer_.Address())->Open(Terminal());
    ASSERT_NE(device_, nullptr);
  }

  int Wait(Bytes& report, uint32_t waitMs = 2000) {
    report.assign(65, 0xEE);
    return device_->WaitInputReport(report.data(), report.size(), waitMs);
  }

  ScriptedPeer peer_;
  std::unique_ptr<platform::HidDevice> device_;
};

TEST_F(SimLinkTest, WriteSendsExactlyOneOutputReport) {
  std::vector<Frame> seen(2);
  Open([&](PeerConn& c) {
    c.Read(seen[0]);
    c.Read(seen[1]);
  });
  Bytes wrong(64, 1);
  EXPECT_FALSE(device_->WriteReport(wrong.data(), wrong.size())) << "not the output report length";
  Bytes report = Report(0x5A);
  report[1] = 0x02;
  EXPECT_TRUE(device_->WriteReport(report.data(), report.size()));
  EXPECT_TRUE(device_->WriteReport(report.data(), report.size()));
  peer_.Join();
  for (const Frame& f : seen) {
    EXPECT_EQ(f.type, 'W');
    EXPECT_EQ(f.payload, report);
  }
}

TEST_F(SimLinkTest, ReportsAreKeptInOrderAcrossFeatureAnswers) {
  Frame set, get;
  Open([&](PeerConn& c) {
    c.Read(set);
    c.Send('R', Report(1));
    c.Send('R', Report(2));
    c.Send('s', {1});
    c.Read(get);
    c.Send('R', Report(3));
    Bytes feature = Report(0x77);
    feature[0] = 0x46;
    c.Send('g', feature);
    c.ClosedByClient();
  });
  Bytes feature(65, 0);
  feature[0] = 0x41;
  feature[1] = 0x01;
  EXPECT_TRUE(device_->SetFeature(feature.data(), feature.size()));
  Bytes got(65, 0);
  got[0] = 0x46;
  ASSERT_TRUE(device_->GetFeature(got.data(), got.size()));
  EXPECT_EQ(got[0], 0x46);
  EXPECT_EQ(got[64], 0x77);

  Bytes report;
  for (uint8_t mark : {1, 2, 3}) {
    ASSERT_EQ(Wait(report), 1);
    EXPECT_EQ(report, Report(mark));
  }
  EXPECT_EQ(Wait(report, 0), 0);
  device_.reset();
  peer_.Join();
  EXPECT_EQ(set.type, 'S');
  EXPECT_EQ(set.payload, feature);
  EXPECT_EQ(get.type, 'G');
  EXPECT_EQ(get.payload, (Bytes{0x46, 0x00, 0x41}));
}

TEST_F(SimLinkTest, RefusedFeatureRequestsFailButKeepTheLink) {
  Open([&](PeerConn& c) {
    Frame f;
    c.Read(f);
    c.Send('s', {0});
    c.Read(f);
    c.Send('g', {});
    c.Send('R', Report(9));
  });
  Bytes feature(65, 0);
  EXPECT_FALSE(device_->SetFeature(feature.data(), feature.size()));
  EXPECT_FALSE(device_->GetFeature(feature.data(), feature.size()));
  Bytes report;
  EXPECT_EQ(Wait(report), 1);
  EXPECT_EQ(report, Report(9));
  peer_.Join();
}

TEST_F(SimLinkTest, FlushDropsQueuedAndArrivedReports) {
  std::promise<void> sent, flushed;
  std::future<void> flushedSeen = flushed.get_future();
  Open([&](PeerConn& c) {
    Frame f;
    c.Read(f);
    c.Send('R', Report(1));  // queued while the client waits for `s`
    c.Send('s', {1});
    c.Send('R', Report(2));  // waiting on the client's socket
    c.SendRaw(Bytes{'R', 0});  // the first header bytes of report 3
    sent.set_value();
    flushedSeen.wait_for(std::chrono::milliseconds(kPeerWaitMs));
    c.SendRaw(Bytes{65, 0});  // the rest of its header and its report id byte
    c.SendRaw(Bytes(64, 3));
    c.Send('R', Report(4));
  });
  Bytes feature(65, 0);
  EXPECT_TRUE(device_->SetFeature(feature.data(), feature.size()));
  sent.get_future().wait();
  // Loopback delivers during the peer's send; the pause only covers a slow scheduler.
  platform::SleepMs(50);
  device_->FlushInput();
  flushed.set_value();
  Bytes report;
  ASSERT_EQ(Wait(report), 1);
  EXPECT_EQ(report, Report(4));
  peer_.Join();
}

TEST_F(SimLinkTest, TimedOutWaitLeavesTheNextReportDeliverable) {
  std::promise<void> timedOut;
  std::future<void> timedOutSeen = timedOut.get_future();
  Open([&](PeerConn& c) {
    timedOutSeen.wait_for(std::chrono::milliseconds(kPeerWaitMs));
    c.Send('R', Report(5));
  });
  Bytes report;
  EXPECT_EQ(Wait(report, 30), 0);
  device_->CancelRead();
  timedOut.set_value();
  ASSERT_EQ(Wait(report), 1);
  EXPECT_EQ(report, Report(5));
  peer_.Join();
}

// Frames that break the transport's rules end the link: the client closes the
// connection and every later call fails.
TEST(SimHidLink, MalformedFrameIsALinkFailure) {
  const struct {
    const char* what;
    Bytes sent;
  } cases[] = {
      {"unknown frame type", FrameBytes('X', {})},
      {"report too short", FrameBytes('R', Bytes(64, 0))},
      {"report too long", FrameBytes('R', Bytes(66, 0))},
      {"huge announced length", FrameBytes('R', {}, 0xFFFF)},
      {"feature answer nobody asked for", FrameBytes('s', {1})},
      {"device list on a link", FrameBytes('D', {})},
      {"connection closed", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    bool closed = false;
    ScriptedPeer peer;
    const Bytes sent = c.sent;
    const bool closeNow = sent.empty();
    peer.Serve({[&closed, sent, closeNow](PeerConn& conn) {
      Frame open;
      conn.Read(open);
      conn.Send('A');
      if (closeNow) return;  // the peer's side of the connection closes
      conn.SendRaw(sent);
      closed = conn.ClosedByClient();
    }});
    std::unique_ptr<platform::HidDevice> device = platform::MakeSimHidBackend(peer.Address())->Open(Terminal());
    ASSERT_NE(device, nullptr);
    Bytes report(65, 0);
    EXPECT_EQ(device->WaitInputReport(report.data(), report.size(), 2000), -1);
    peer.Join();
    if (!closeNow) {
      EXPECT_TRUE(closed);
    }
    EXPECT_FALSE(device->WriteReport(report.data(), report.size()));
    EXPECT_EQ(device->WaitInputReport(report.data(), report.size(), 0), -1);
  }
}

TEST(SimHidLink, WrongSizedFeatureAnswersAreLinkFailures) {
  const struct {
    const char* what;
    char request;
    Bytes answer;
  } cases[] = {
      {"set answer of two bytes", 'S', FrameBytes('s', {1, 1})},
      {"get answer of the wrong length", 'G', FrameBytes('g', Bytes(64, 0))},
      {"get answered as a set", 'G', FrameBytes('s', {1})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedPeer peer;
    const Bytes answer = c.answer;
    peer.Serve({[answer](PeerConn& conn) {
      Frame f;
      conn.Read(f);
      conn.Send('A');
      conn.Read(f);
      conn.SendRaw(answer);
      conn.ClosedByClient();
    }});
    std::unique_ptr<platform::HidDevice> device = platform::MakeSimHidBackend(peer.Address())->Open(Terminal());
    ASSERT_NE(device, nullptr);
    Bytes feature(65, 0);
    if (c.request == 'S') {
      EXPECT_FALSE(device->SetFeature(feature.data(), feature.size()));
    } else {
      EXPECT_FALSE(device->GetFeature(feature.data(), feature.size()));
    }
    EXPECT_EQ(device->WaitInputReport(feature.data(), feature.size(), 0), -1);
  }
}

// RV270_SIM picks the backend at every call.
TEST(CurrentHidBackend, FollowsRv270SimAtEachCall) {
  const std::string saved = platform::GetEnv("RV270_SIM");
  Frame request;
  ScriptedPeer peer;
  peer.Serve({AnswerSearch(&request, FrameBytes('D', TwoDeviceList()))});

  platform::SetEnv("RV270_SIM", peer.Address().c_str());
  std::vector<platform::PresentDevice> devices;
  EXPECT_TRUE(platform::CurrentHidBackend().ListPresentDevices(devices));
  EXPECT_EQ(devices.size(), 2u);

  platform::SetEnv("RV270_SIM", nullptr);
  EXPECT_EQ(&platform::CurrentHidBackend(), &platform::OsHidBackend());
  platform::SetEnv("RV270_SIM", "");
  EXPECT_EQ(&platform::CurrentHidBackend(), &platform::OsHidBackend());

  platform::SetEnv("RV270_SIM", saved.empty() ? nullptr : saved.c_str());
}

}  // namespace
