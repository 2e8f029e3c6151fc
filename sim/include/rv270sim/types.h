// Plain data shared by the simulator's interface: links, answers, faults, device
// records and the records the simulator keeps for assertions.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "rv270sim/codec.h"

namespace rv270sim {

enum class Link { kUsb, kSerial };
const char* LinkName(Link link);

// Damage done to one answer packet on its way out. Several may be combined.
struct Faults {
  int dropReport = -1;        // USB: this report of the answer (0 = first) is never sent
  int corruptAt = -1;         // offset in the packet of a byte XOR-ed with corruptXor
  uint8_t corruptXor = 0x01;  // 0x01 keeps a nibble character a nibble character
  bool badStx = false;        // first byte 0x12 instead of 0x02
  bool badEtx = false;        // last byte 0x13 instead of 0x03
  bool badCheck = false;      // check characters spell the right check byte XOR 0x5A
  int announceLength = -1;    // 0..0xFFFF: written into the length field instead of L
  int truncateTo = -1;        // only the first N packet bytes are sent
  int chunkBytes = 0;         // > 0: packet bytes per USB report / per serial write
  int chunkGapMs = 0;         // pause between those reports / writes

  bool Any() const {
    return dropReport >= 0 || corruptAt >= 0 || badStx || badEtx || badCheck ||
           announceLength >= 0 || truncateTo >= 0 || chunkBytes > 0 || chunkGapMs > 0;
  }
};

// Faults of the file transfers, each for one block, report or package (counted from 0).
// Scripted with Simulator::SetTransferFaults; ClearScripts resets them.
struct TransferFaults {
  // Download feedback (USB blocks; serial packages).
  int resendBlock = -1;        // this block is answered 0x00 0x01 (send it again) ...
  int resendTimes = 1;         // ... this many times; -1: every time
  int statusBlock = -1;        // this block is answered with `status` instead
  Bytes status{0x00, 0x02};
  int noFeedbackBlock = -1;    // this block gets no feedback at all
  int damagedFeedbackBlock = -1;  // this block's feedback goes out with `feedbackFaults`
  Faults feedbackFaults;
  // Upload data (USB reports; serial packages).
  int corruptReport = -1;      // sent with a wrong check byte (serial: a changed byte)
  int dropReport = -1;         // never sent
  int silenceAfter = -1;       // nothing more is sent after this one
  int closeAfter = -1;         // USB: the link is closed after this one
};

// What the terminal does about one request.
struct Answer {
  Bytes payload;              // two status bytes, then data
  int delayMs = 0;            // pause before the answer goes out
  bool silent = false;        // no answer at all
  bool fromHandler = false;   // scripts only: run the command's handler and send its
                              // payload; the script's delay is added to the handler's
  Faults faults;

  static Answer Of(Bytes payload, int delayMs = 0);
  static Answer Status(uint8_t s0, uint8_t s1, int delayMs = 0);
  static Answer None();
  static Answer Handler(int extraDelayMs = 0);
  // Status 0x00 0x00 followed by data.
  static Answer Done(const Bytes& data = {});
  static Answer Done(const std::string& text);
};

// How a command relates to customer waits.
enum class CommandKind {
  kPlain,
  kWaits,      // its delayed answer is a customer wait, which kEndsWaits commands break off
  kEndsWaits,  // answered at once; every pending customer wait then answers the state's
               // breakOffAnswer (0x50 0x1D) instead
};

// One decoded request as a handler sees it.
struct Request {
  Link link = Link::kUsb;
  Bytes payload;  // class byte, command byte, fields
  uint8_t Class() const { return payload.size() > 0 ? payload[0] : 0; }
  uint8_t Command() const { return payload.size() > 1 ? payload[1] : 0; }
};

// One device record of the simulated machine's device list (`D` frame).
struct DeviceRecord {
  uint16_t vendorId = 0x4B7E;
  uint16_t productId = 0x0001;
  uint16_t inputReportLength = 65;  // report id included
  uint16_t outputReportLength = 65;
  uint16_t featureReportLength = 65;
  std::string className = "HIDClass";
  std::string hardwareId = "HID\\VID_4B7E&PID_0001&REV_0100";
  bool openable = true;  // false: `O` for it is answered `N`

  static DeviceRecord Terminal() { return DeviceRecord(); }
};

// Line settings of the serial side, as the simulator could read them.
struct SerialSettings {
  int baud = 0;
  int dataBits = 0;
  char parity = 'N';  // 'N', 'E' or 'O'
  int stopBits = 0;
  bool rtsCts = false;   // hardware flow control
  bool xonXoff = false;  // software flow control
  bool operator==(const SerialSettings& o) const {
    return baud == o.baud && dataBits == o.dataBits && parity == o.parity &&
           stopBits == o.stopBits && rtsCts == o.rtsCts && xonXoff == o.xonXoff;
  }
  bool operator!=(const SerialSettings& o) const { return !(*this == o); }
};

struct RequestRecord {
  Link link;
  Bytes payload;
};

struct FeatureRecord {
  bool set;             // true: `S` (set feature), false: `G` (get feature)
  Bytes report;         // `S`: the report as sent; `G`: the report id alone
  size_t wantedLength;  // `G`: the length asked for
};

// A sequence that is not a packet (key-input start and end sequences).
struct RawRecord {
  Link link;
  Bytes bytes;  // USB: the report payload without its trailing zero bytes
};

// A received packet that broke the format.
struct BadPacketRecord {
  Link link;
  Bytes bytes;
  DecodeResult result;
};

}  // namespace rv270sim
