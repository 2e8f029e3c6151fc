#include "link/usbhid_link.h"

#include <cctype>
#include <cstring>
#include <mutex>
#include <vector>

#include "link/device_search.h"
#include "crypto/wipe.h"
#include "link/process_state.h"
#include "log/log.h"
#include "platform/pump.h"
#include "platform/time.h"

std::atomic<int> g_nPid{kDefaultPid};
std::atomic<int> g_nVid{kDefaultVid};
std::atomic<int> CommuniSize{512};
std::atomic<int> g_bPortOpen{0};

namespace {

constexpr size_t kMaxInterfaces = 20;
constexpr uint32_t kPollStepMs = 200;
constexpr uint32_t kReconnectPauseMs = 200;
constexpr size_t kFeatureLength = 64;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

CUSBHID::~CUSBHID() { Disconnect(); }

CUSBHID& UsbDevice() {
  static CUSBHID device;
  return device;
}

int CUSBHID::Connect() {
  platform::HidBackend& backend = platform::CurrentHidBackend();
  if (connected_) return 1;

  std::vector<platform::HidInterface> interfaces;
  if (!backend.ListHidInterfaces(interfaces, kMaxInterfaces)) return 0;
  for (size_t i = 0; i < interfaces.size() && i < kMaxInterfaces; ++i) {
    const platform::HidInterface& iface = interfaces[i];
    if (!iface.attributesRead || iface.vendorId != g_nVid || iface.productId != g_nPid) continue;

    auto connection = std::make_shared<Connection>();
    connection->caps = iface.caps;
    CommuniSize = iface.caps.inputReportLength - 1;
    connection->device = backend.Open(iface);
    if (CommuniSize == 64 && connection->device) ConfigureBridge(*connection->device);
    std::atomic_store(&connection_, connection);
    // A device that matched but whose handles could not be opened still counts as
    // connected; its reports then fail.
    connected_ = true;
    return 1;
  }
  return 0;
}

// The terminal's USB-to-serial bridge: enable its serial side and set 115200 bit/s,
// no parity, no flow control, 8 data bits, one stop bit. Answers are not used.
void CUSBHID::ConfigureBridge(platform::HidDevice& device) {
  uint8_t report[kFeatureLength];
  auto get = [&](uint8_t id) {
    memset(report, 0, sizeof(report));
    report[0] = id;
    device.GetFeature(report, sizeof(report));
  };
  auto set = [&](uint8_t id, const uint8_t* bytes, size_t n) {
    memset(report, 0, sizeof(report));
    report[0] = id;
    memcpy(report + 1, bytes, n);
    device.SetFeature(report, sizeof(report));
  };
  static const uint8_t kEnable[] = {0x01};
  static const uint8_t kLine[] = {0x00, 0x01, 0xC2, 0x00, 0x00, 0x00, 0x03, 0x00};
  get(0x46);
  set(0x41, kEnable, sizeof(kEnable));
  get(0x46);
  set(0x50, kLine, sizeof(kLine));
  get(0x50);
  get(0x66);
  get(0x44);
}

int CUSBHID::Disconnect() {
  std::atomic_store(&connection_, std::shared_ptr<Connection>());
  connected_ = false;
  return 0;
}

int CUSBHID::WriteReport(const uint8_t* data, size_t length) {
  std::shared_ptr<Connection> c = Current();
  if (!c || !c->device) return -1;
  memset(c->out, 0, sizeof(c->out));
  if (length > sizeof(c->out) - 1) length = sizeof(c->out) - 1;
  if (length) memcpy(c->out + 1, data, length);
  const size_t reportLength = static_cast<size_t>(c->caps.outputReportLength);
  if (reportLength == 0 || reportLength > sizeof(c->out)) return -1;
  // The write handle has an input queue of its own, which never holds the answer:
  // nothing the read side has received is flushed here.
  const bool written = c->device->WriteReport(c->out, reportLength);
  SecureWipe(c->out, sizeof(c->out));
  return written ? 0 : -1;
}

int CUSBHID::Read(uint8_t* out, int timeoutMs, bool cancellable) {
  // A cancel that came while this thread was not yet reading wins over a link that the
  // cancel's own reconnect has taken away meanwhile.
  if (cancellable && TakeCancel()) return kReportBrokenOff;
  std::shared_ptr<Connection> c = Current();
  if (!c || !c->device) return kReportFailed;
  memset(c->in, 0, sizeof(c->in));
  const size_t length = static_cast<size_t>(c->caps.inputReportLength);
  if (length == 0 || length > sizeof(c->in)) return kReportFailed;
  const uint32_t start = platform::TickMs();
  const uint32_t limit = timeoutMs > 0 ? static_cast<uint32_t>(timeoutMs) : 0;
  for (;;) {
    const uint32_t elapsed = platform::TickMs() - start;
    if (elapsed >= limit) break;
    if (cancellable) {
      if (TakeCancel()) {
        c->device->CancelRead();
        return kReportBrokenOff;
      }
      platform::PumpOneMessage();
    }
    const uint32_t step = limit - elapsed < kPollStepMs ? limit - elapsed : kPollStepMs;
    const int got = c->device->WaitInputReport(c->in, length, step);
    if (got > 0) {
      memcpy(out, c->in, length);
      SecureWipe(c->in, sizeof(c->in));
      return static_cast<int>(length);
    }
    if (got < 0) return kReportFailed;
  }
  // The read that timed out is ended before the buffer is used again.
  c->device->CancelRead();
  if (cancellable && TakeCancel()) return kReportBrokenOff;
  return kReportTimedOut;
}

int CUSBHID::ReadReport(uint8_t* out, int timeoutMs) { return Read(out, timeoutMs, true); }

int CUSBHID::ReadReportNoCancel(uint8_t* out, int timeoutMs) { return Read(out, timeoutMs, false); }

int HexPairToBytes(const char* text, uint8_t* out) {
  int n = 0;
  for (; n < 2; ++n) {
    const int hi = HexDigit(text[2 * n]);
    const int lo = hi < 0 ? -1 : HexDigit(text[2 * n + 1]);
    if (hi < 0 || lo < 0) break;
    out[n] = static_cast<uint8_t>(hi * 16 + lo);
  }
  out[n] = 0;
  return n;
}

int IdTextToNumber(const char* text) {
  if (strlen(text) != 4) return -1;
  uint8_t bytes[3] = {0};
  if (HexPairToBytes(text, bytes) != 2) return -1;
  return bytes[0] * 256 + bytes[1];
}

namespace {
// Which opening of the link is current, and which one this thread made: a thread closes
// only the link it opened itself, so a wait that a cancel call broke off (the cancel
// reopens the link on its own thread) does not close the cancel's link when it ends.
std::atomic<unsigned> g_linkGeneration{0};
thread_local unsigned t_openedGeneration = 0;
// The opening of the link that another thread's open is closing (taking over): the
// thread that made it has nothing left to close, and need not wait for that open's
// reconnect pause to learn so.
std::atomic<unsigned> g_linkTakenOver{0};

// Opening and closing are one step each against other threads: a cancel opens the link
// while the call it breaks off may be opening or closing it, and an open interleaved
// with another thread's connect or close left a connection that nobody closed.
std::mutex g_openCloseMutex;

int LinkOpened(int connected) {
  g_bPortOpen = 1;
  t_openedGeneration = ++g_linkGeneration;
  return connected;
}
}  // namespace

int OpenPort() {
  std::lock_guard<std::mutex> lock(g_openCloseMutex);
  CUSBHID& device = UsbDevice();
  if (g_bPortOpen == 1) {
    g_linkTakenOver = g_linkGeneration.load();
    WriteLog('E', "判断端口在打开状态");
    WriteLog('I', "ClosePort");
    device.Disconnect();
    g_bPortOpen = 0;
    platform::PauseMs(kReconnectPauseMs);
  }
  if (g_nPid != -1 && g_nVid != -1) {
    const int connected = device.Connect();
    if (connected > 0) {
      WriteLog('I', "CommuniSize = %d", CommuniSize.load());
      return LinkOpened(connected);
    }
  }
  char pid[10] = {0};
  char vid[10] = {0};
  if (SearchPidVid(pid, vid) <= 0) return kLinkOpenFailed;
  g_nPid = IdTextToNumber(pid);
  g_nVid = IdTextToNumber(vid);
  if (g_nPid == -1 || g_nVid == -1) {
    WriteLog('E', "模式为USB，但检索不到匹配的VIDPID");
    return kLinkOpenFailed;
  }
  const int connected = device.Connect();
  if (connected <= 0) return kLinkOpenFailed;
  WriteLog('I', "Link2 CommuniSize = %d", CommuniSize.load());
  return LinkOpened(connected);
}

int ClosePort() {
  WriteLog('I', "ClosePort");
  if (t_openedGeneration != 0 && g_linkTakenOver.load() == t_openedGeneration) return -1;
  std::lock_guard<std::mutex> lock(g_openCloseMutex);
  if (g_bPortOpen == 0) return -1;
  if (t_openedGeneration != g_linkGeneration.load()) return -1;  // reopened by another thread
  UsbDevice().Disconnect();
  g_bPortOpen = 0;
  return 1;
}
