// The serial line's settings as the library leaves them, whatever an earlier program left
// on the port: XON/XOFF handling, parity, null stripping, error replacement, line-ending
// translation and the like would swallow or change bytes of a transfer. Each case first
// opens the library's port with the OS's own calls, leaves such settings on it and closes
// it; then a file holding every byte value goes to the terminal and comes back over the
// serial link, and the port's settings afterwards are the link's.
//
// Windows (Wine): the library's port is COM<RV270_TEST_LIB_COM> of the socat pair, whose
// settings outlive a close while socat holds the other side. Linux: the pseudo-terminal
// the simulator serves, whose settings outlive a close while the simulator holds it.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <fstream>
#include <string>

#include "QornRV270API.h"
#include "rv270sim/host.h"
#include "support/outcome_rows.h"

namespace {

namespace fs = std::filesystem;
using namespace rv270test;

// What one look at the port's settings found: the flags that would change bytes on the way.
struct LineState {
  bool opened = false;
  bool xonXoff = false;  // XON/XOFF in either direction
  bool otherHostile = false;
};

#ifdef _WIN32
std::string PortName() { return "\\\\.\\COM" + std::to_string(SerialPort()); }

// Opens the port, hands its settings to `edit` (which may change them; true: write them
// back) and reports what it found.
template <typename Edit>
LineState WithPortSettings(Edit edit) {
  LineState state;
  const HANDLE h = CreateFileA(PortName().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return state;
  DCB dcb;
  ZeroMemory(&dcb, sizeof(dcb));
  dcb.DCBlength = sizeof(dcb);
  if (GetCommState(h, &dcb)) {
    state.opened = true;
    state.xonXoff = dcb.fOutX || dcb.fInX;
    state.otherHostile = dcb.fNull || dcb.fErrorChar || dcb.fParity || dcb.Parity != NOPARITY || dcb.ByteSize != 8 ||
                         dcb.fOutxCtsFlow || dcb.fOutxDsrFlow || dcb.fDsrSensitivity || dcb.fAbortOnError;
    if (edit(dcb) && !SetCommState(h, &dcb)) state.opened = false;
  }
  CloseHandle(h);
  return state;
}

// XON/XOFF both ways, even parity checked, 7 data bits, nulls stripped, errors replaced,
// hardware flow control and DSR sensitivity on, reads and writes aborted after an error.
bool MakeHostile(DCB& dcb) {
  dcb.fOutX = TRUE;
  dcb.fInX = TRUE;
  dcb.fTXContinueOnXoff = FALSE;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.XonLim = 100;
  dcb.XoffLim = 100;
  dcb.fNull = TRUE;
  dcb.fErrorChar = TRUE;
  dcb.ErrorChar = '?';
  dcb.fParity = TRUE;
  dcb.Parity = EVENPARITY;
  dcb.ByteSize = 7;
  dcb.fOutxCtsFlow = TRUE;
  dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
  dcb.fDsrSensitivity = TRUE;
  dcb.fAbortOnError = TRUE;
  return true;
}
#else
std::string PortName() { return rv270sim::ProcessEnv("RV270_COM" + std::to_string(SerialPort())); }

template <typename Edit>
LineState WithPortSettings(Edit edit) {
  LineState state;
  const int fd = open(PortName().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return state;
  termios tio{};
  if (tcgetattr(fd, &tio) == 0) {
    state.opened = true;
    state.xonXoff = (tio.c_iflag & (IXON | IXOFF | IXANY)) != 0;
    state.otherHostile = (tio.c_iflag & (ISTRIP | INLCR | IGNCR | ICRNL | PARMRK)) != 0 ||
                         (tio.c_oflag & OPOST) != 0 || (tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) != 0 ||
                         (tio.c_cflag & (PARENB | CSTOPB)) != 0 || (tio.c_cflag & CSIZE) != CS8;
    if (edit(tio) && tcsetattr(fd, TCSANOW, &tio) != 0) state.opened = false;
  }
  close(fd);
  return state;
}

// XON/XOFF both ways (any byte restarting output), 7 data bits with even parity checked
// and marked, the eighth bit stripped, line endings translated both ways, canonical input
// with echo and signal characters.
bool MakeHostile(termios& tio) {
  tio.c_iflag |= IXON | IXOFF | IXANY | ISTRIP | INLCR | ICRNL | INPCK | PARMRK;
  tio.c_oflag |= OPOST | ONLCR | OCRNL;
  tio.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
  tio.c_cflag = (tio.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS7 | PARENB | CSTOPB;
  return true;
}
#endif

class SerialSettingsTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    if (HasFatalFailure()) return;
    if (!SerialAvailable()) GTEST_SKIP() << "no serial port pair (set RV270_TEST_LIB_COM and RV270_TEST_SIM_COM)";
    dir_ = FreshTestFolder("serial_settings");
    rv270sim::SetProcessEnv("RV270_TEST_TRANSFER_WAITS", "5");
  }
  void TearDown() override {
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
    SimTest::TearDown();
  }
  fs::path dir_;
};

// Every byte value, each of them next to the flow-control characters, line endings and
// nulls as well as in order.
Bytes EveryByteValue() {
  Bytes b;
  for (int i = 0; i < 256; ++i) b.push_back(static_cast<uint8_t>(i));
  for (int i = 255; i >= 0; --i) b.push_back(static_cast<uint8_t>(i));
  for (int i = 0; i < 256; ++i) b = b + B({0x11, static_cast<uint8_t>(i), 0x13, 0x0D, 0x0A, 0x00, 0xFF});
  return b;
}

TEST_F(SerialSettingsTest, AHostileLineStateLeftOnThePortLosesNoByte) {
  ASSERT_TRUE(WithPortSettings(MakeHostile).opened) << PortName();
  // The settings outlive the close: the library meets them when it opens the port.
  const LineState left = WithPortSettings([](auto&) { return false; });
  ASSERT_TRUE(left.opened);
  ASSERT_TRUE(left.xonXoff);
  ASSERT_TRUE(left.otherHostile);

  const Bytes content = EveryByteValue();
  const fs::path file = dir_ / "all.png";
  std::ofstream(file, std::ios::binary)
      .write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
  ASSERT_EQ(RV270Api_SaveFileSingle(SerialPort(), 0, 0, "", 9, file.string().c_str()), 0);
  const auto state = sim.State();
  const auto stored = state.files.find({9, "all.png"});
  ASSERT_NE(stored, state.files.end());
  EXPECT_EQ(Hex(stored->second.content), Hex(content));

  // Back again, into a buffer, after the hostile settings were left on the port once more.
  ASSERT_TRUE(WithPortSettings(MakeHostile).opened);
  Bytes buffer(content.size() + 16, 0xEE);
  int length = static_cast<int>(buffer.size());
  ASSERT_EQ(RV270Api_UploadFilesToPc(SerialPort(), 0, 1, "", 9, "all.png", 30, buffer.data(), &length), 0);
  ASSERT_EQ(length, static_cast<int>(content.size()));
  buffer.resize(content.size());
  EXPECT_EQ(Hex(buffer), Hex(content));

  // The library left the link's own settings behind.
  const LineState after = WithPortSettings([](auto&) { return false; });
  ASSERT_TRUE(after.opened);
  EXPECT_FALSE(after.xonXoff);
  EXPECT_FALSE(after.otherHostile);
}

}  // namespace
