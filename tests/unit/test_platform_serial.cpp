// The serial port backend against the far end of a line the test holds: on Linux a
// pseudo-terminal whose master the test keeps (the port opens the slave through
// RV270_COMn); on Windows a second COM port joined to the first by a pty pair, named by
// RV270_TEST_LIB_COM and RV270_TEST_SIM_COM (skipped when they are not set).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#endif

#include "platform/env.h"
#include "platform/serial_port.h"
#include "platform/time.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint32_t kArrivalMs = 3000;

// The test's end of the line.
class FarEnd {
 public:
  virtual ~FarEnd() = default;
  virtual bool Send(const Bytes& bytes) = 0;
  // Up to n bytes, waiting at most kArrivalMs for all of them.
  virtual Bytes Receive(size_t n) = 0;
};

// Reads n bytes through the port's own waiting and reading calls.
Bytes ReadThroughPort(platform::SerialPort& port, size_t n) {
  Bytes got;
  const uint32_t start = platform::TickMs();
  while (got.size() < n && platform::TickMs() - start < kArrivalMs) {
    if (!port.WaitReadable(200)) continue;
    uint8_t chunk[512];
    const int k = port.ReadWaiting(chunk, std::min(sizeof(chunk), n - got.size()));
    if (k < 0) break;
    got.insert(got.end(), chunk, chunk + k);
  }
  return got;
}

// Waits until the port counts `n` bytes waiting (they may arrive in pieces).
int WaitUntilWaiting(platform::SerialPort& port, int n) {
  const uint32_t start = platform::TickMs();
  int waiting = port.BytesWaiting();
  while (waiting < n && platform::TickMs() - start < kArrivalMs) {
    port.WaitReadable(50);
    waiting = port.BytesWaiting();
  }
  return waiting;
}

#if !defined(_WIN32)
constexpr int kPort = 7;

class PtyEnd : public FarEnd {
 public:
  explicit PtyEnd(int master) : master_(master) {}
  ~PtyEnd() override { close(master_); }
  int Master() const { return master_; }

  bool Send(const Bytes& bytes) override {
    return write(master_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }

  Bytes Receive(size_t n) override {
    Bytes got;
    const uint32_t start = platform::TickMs();
    while (got.size() < n && platform::TickMs() - start < kArrivalMs) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 200) <= 0) continue;
      uint8_t chunk[512];
      const ssize_t k = read(master_, chunk, std::min(sizeof(chunk), n - got.size()));
      if (k <= 0) break;
      got.insert(got.end(), chunk, chunk + k);
    }
    return got;
  }

 private:
  int master_;
};
#endif

class SerialLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
#if !defined(_WIN32)
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    pty_ = new PtyEnd(master);
    far_.reset(pty_);
    slavePath_ = ptsname(master);
    envName_ = "RV270_COM" + std::to_string(kPort);
    savedEnv_ = platform::GetEnv(envName_.c_str());
    platform::SetEnv(envName_.c_str(), slavePath_.c_str());
    port_ = kPort;
#else
    port_ = std::atoi(platform::GetEnv("RV270_TEST_LIB_COM").c_str());
    const int farPort = std::atoi(platform::GetEnv("RV270_TEST_SIM_COM").c_str());
    if (port_ <= 0 || farPort <= 0) GTEST_SKIP() << "RV270_TEST_LIB_COM / RV270_TEST_SIM_COM not set";
    far_.reset(new PortEnd(platform::OpenSerialPort(farPort, 9600)));
    ASSERT_TRUE(static_cast<PortEnd*>(far_.get())->Open());
#endif
  }

  void TearDown() override {
#if !defined(_WIN32)
    platform::SetEnv(envName_.c_str(), savedEnv_.empty() ? nullptr : savedEnv_.c_str());
#endif
  }

  std::unique_ptr<platform::SerialPort> OpenPort(int rate = 9600) { return platform::OpenSerialPort(port_, rate); }

#if defined(_WIN32)
  // The far end is another COM port of this backend.
  class PortEnd : public FarEnd {
   public:
    explicit PortEnd(std::unique_ptr<platform::SerialPort> p) : p_(std::move(p)) {}
    bool Open() const { return p_ != nullptr; }
    bool Send(const Bytes& bytes) override { return p_->Write(bytes.data(), bytes.size()); }
    Bytes Receive(size_t n) override { return ReadThroughPort(*p_, n); }

   private:
    std::unique_ptr<platform::SerialPort> p_;
  };
#endif

  int port_ = 0;
  std::unique_ptr<FarEnd> far_;
#if !defined(_WIN32)
  PtyEnd* pty_ = nullptr;
  std::string slavePath_;
  std::string envName_;
  std::string savedEnv_;
#endif
};

TEST_F(SerialLineTest, BytesTravelBothWays) {
  std::unique_ptr<platform::SerialPort> port = OpenPort();
  ASSERT_NE(port, nullptr);

  const Bytes in = {0x02, 0x30, 0x00, 0xFF, 0x0A, 0x0D, 0x1B, 0x25, 0x41, 0x03, 0x11, 0x13};
  ASSERT_TRUE(far_->Send(in));
  EXPECT_TRUE(port->WaitReadable(kArrivalMs));
  EXPECT_EQ(WaitUntilWaiting(*port, static_cast<int>(in.size())), static_cast<int>(in.size()));
  Bytes got(in.size() + 4, 0);
  EXPECT_EQ(port->ReadWaiting(got.data(), got.size()), static_cast<int>(in.size()));
  got.resize(in.size());
  EXPECT_EQ(got, in) << "bytes reach the port unchanged (no translation, no flow control)";
  EXPECT_EQ(port->BytesWaiting(), 0);
  EXPECT_EQ(port->ReadWaiting(got.data(), got.size()), 0) << "nothing waits: returns at once";

  Bytes out(3000);
  for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint8_t>(i * 7);
  ASSERT_TRUE(port->Write(out.data(), out.size()));
  EXPECT_EQ(far_->Receive(out.size()), out);

  // Bytes that arrive while the port waits are read in order, a few at a time.
  ASSERT_TRUE(far_->Send({1, 2, 3, 4, 5}));
  EXPECT_EQ(ReadThroughPort(*port, 5), (Bytes{1, 2, 3, 4, 5}));
}

TEST_F(SerialLineTest, WaitWithoutDataTimesOutWithoutBurningTheProcessor) {
  std::unique_ptr<platform::SerialPort> port = OpenPort();
  ASSERT_NE(port, nullptr);
  const std::clock_t cpuStart = std::clock();
  const uint32_t start = platform::TickMs();
  EXPECT_FALSE(port->WaitReadable(300));
  EXPECT_GE(platform::TickMs() - start, 290u);
#if !defined(_WIN32)
  // clock() is processor time here (wall time on Windows): a spinning wait uses ~300 ms.
  const double cpuMs = 1000.0 * static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
  EXPECT_LT(cpuMs, 100.0);
#else
  (void)cpuStart;
#endif
  EXPECT_FALSE(port->WaitReadable(0));
}

TEST_F(SerialLineTest, PurgeDropsWaitingInput) {
  std::unique_ptr<platform::SerialPort> port = OpenPort();
  ASSERT_NE(port, nullptr);
  ASSERT_TRUE(far_->Send({9, 8, 7, 6}));
  ASSERT_TRUE(port->WaitReadable(kArrivalMs));  // on Windows this takes a look-ahead byte
  ASSERT_EQ(WaitUntilWaiting(*port, 4), 4);
  port->Purge();
  EXPECT_EQ(port->BytesWaiting(), 0);
  uint8_t b[8];
  EXPECT_EQ(port->ReadWaiting(b, sizeof(b)), 0);
}

// One handle at a time: a second open is refused until the first handle closes (Wine,
// which lets a second handle open the device behind a COM port, included).
TEST_F(SerialLineTest, PortIsNotShared) {
  std::unique_ptr<platform::SerialPort> port = OpenPort();
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(OpenPort(), nullptr);
  port.reset();
  EXPECT_NE(OpenPort(), nullptr) << "closing gives the port back";
}

#if !defined(_WIN32)
// The line settings land on the pty (read back through the master, which reports the
// slave's settings): raw 8N1 at the rate, no flow control, receiver on, modem lines ignored.
TEST_F(SerialLineTest, LineSettingsAreApplied) {
  const struct {
    int rate;
    speed_t speed;
  } rates[] = {{9600, B9600}, {19200, B19200}, {57600, B57600}, {115200, B115200}};
  for (const auto& r : rates) {
    SCOPED_TRACE(r.rate);
    std::unique_ptr<platform::SerialPort> port = OpenPort(r.rate);
    ASSERT_NE(port, nullptr);
    termios tio{};
    ASSERT_EQ(tcgetattr(pty_->Master(), &tio), 0);
    EXPECT_EQ(cfgetispeed(&tio), r.speed);
    EXPECT_EQ(cfgetospeed(&tio), r.speed);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
  }
}

TEST_F(SerialLineTest, UnknownRateOrMissingDeviceFailsToOpen) {
  EXPECT_EQ(OpenPort(12345), nullptr);
  EXPECT_EQ(OpenPort(0), nullptr);
  platform::SetEnv(envName_.c_str(), "/nonexistent/tty");
  EXPECT_EQ(OpenPort(), nullptr);
  platform::SetEnv(envName_.c_str(), "/dev/null");
  EXPECT_EQ(OpenPort(), nullptr) << "not a terminal";
}

// The far end going away: a wait returns at once instead of waiting out its time, and
// the read and the write after it fail (the caller then reports the link broken).
TEST_F(SerialLineTest, FarEndGoneFailsTheNextReadAndWrite) {
  std::unique_ptr<platform::SerialPort> port = OpenPort();
  ASSERT_NE(port, nullptr);
  far_.reset();  // closes the master: the line hangs up
  const uint32_t start = platform::TickMs();
  EXPECT_TRUE(port->WaitReadable(kArrivalMs));
  EXPECT_LT(platform::TickMs() - start, 1000u);
  uint8_t b[8];
  EXPECT_EQ(port->ReadWaiting(b, sizeof(b)), -1);
  const uint8_t out[4] = {1, 2, 3, 4};
  EXPECT_FALSE(port->Write(out, sizeof(out)));
}

// A line that stops taking bytes (the far end reads nothing while the driver's queue is
// full) fails the write after the stall time instead of holding the caller.
TEST_F(SerialLineTest, WriteToALineThatTakesNothingFails) {
  std::unique_ptr<platform::SerialPort> port = OpenPort();
  ASSERT_NE(port, nullptr);
  const Bytes out(1 << 20, 0x55);
  const uint32_t start = platform::TickMs();
  EXPECT_FALSE(port->Write(out.data(), out.size()));
  EXPECT_LT(platform::TickMs() - start, 15000u);
}

TEST_F(SerialLineTest, DeviceNameFollowsTheEnvironment) {
  EXPECT_EQ(platform::SerialDeviceName(kPort), slavePath_);
  platform::SetEnv(envName_.c_str(), nullptr);
  EXPECT_EQ(platform::SerialDeviceName(kPort), "/dev/ttyS6");
}
#else
TEST(SerialDeviceName, IsTheWin32DeviceOfThePort) {
  EXPECT_EQ(platform::SerialDeviceName(5), "\\\\.\\COM5");
  EXPECT_EQ(platform::SerialDeviceName(12), "\\\\.\\COM12");
}
#endif

}  // namespace
