// The RV270 terminal simulator.
//
// It serves the USB HID side over the TCP transport of sim/TRANSPORT.md
// (the library finds it through RV270_SIM) and the serial side over a pseudo-terminal
// (Linux: the library opens the slave path named in RV270_COMn) or a COM port (Windows:
// one end of a port pair). Requests are decoded by the simulator's own codec, answered
// from a table of command handlers that keep a device state, and can be scripted from
// a test thread while the simulator runs: one-off answers, delays, silence, faults, raw
// key streams and unsolicited answers. Everything that arrives is recorded.
//
// Threading: one thread per started side. Every public member may be called from any
// thread at any time. Handlers run on a simulator thread with the simulator's lock held:
// they must not call back into the Simulator.
//
// Records are written by the simulator's threads as the bytes arrive. What the library
// sent last without waiting for an answer (a key-input end sequence, the closing of a
// link) may be recorded a moment after the library call returned: wait for it with
// WaitUntil or one of the WaitFor helpers before asserting on it.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "rv270sim/codec.h"
#include "rv270sim/device_state.h"
#include "rv270sim/types.h"

namespace rv270sim {

// Handles one command: gets the request and the device state, returns the answer.
using CommandHandler = std::function<Answer(const Request&, DeviceState&)>;

// Bytes sent by the terminal outside the packet format: each chunk is one input report
// on USB (padded with zeros; cut at the report size) or one write on the serial side.
struct RawSend {
  std::vector<Bytes> chunks;
  int delayMs = 0;  // before the first chunk
  int gapMs = 0;    // between chunks
};

// Key streams as the key inputs read them.
// Plain key input: one chunk per key, the key in its first byte ("12\b3\r").
std::vector<Bytes> KeyChunks(const std::string& keys);
// Framed key input over USB: one report 02 text 03.
Bytes FramedKeyChunk(const std::string& text);

// What the customer would see, taken at one moment (the screen view polls it): the
// screen, media and free slots of the device state, the signature image, the latest
// requests and whether a customer wait is in progress. Other stored files are not copied.
struct CustomerView {
  ScreenState screen;
  MediaState media;
  std::map<std::string, std::string> values;
  bool hasSignature = false;   // the stored file {9, "UserSign.png"}
  uint64_t signatureHash = 0;  // its FNV-1a 64 hash, to tell a new image from the last
  Bytes signature;             // its bytes, when asked for and kept whole
  std::vector<RequestRecord> lastRequests;  // the latest requests, oldest first
  bool customerWaiting = false;  // a waiting command's answer is still due
  // The wait in progress, as the customer sees it: "text" (an information text or text
  // page to confirm), "page" (a web page), "sign", "rating", "pin", "password",
  // "number"; empty without one.
  std::string waitKind;
  size_t typed = 0;  // characters entered so far at a keypad wait (never the characters)
  size_t typedMin = 0, typedMax = 0;  // what the keypad takes (browser customer)
  bool browserCustomer = false;
  uint64_t waitId = 0;  // browser customer: the wait the page answers (0: none)
};

// What the customer does at the screen view (rv270-sim --customer browser).
struct CustomerAction {
  enum class Kind {
    kConfirm,  // a text, page or signature screen: confirmed (with `signature` when signing)
    kCancel,   // any wait but the evaluation: the customer cancels
    kRate,     // the evaluation: `rating` chosen
    kKey,      // a keypad: the digit `key` pressed
    kClear,    // a keypad: what was typed is wiped
    kEnter,    // a keypad: the entry is done
  };
  Kind kind = Kind::kConfirm;
  uint64_t wait = 0;  // the wait it is meant for (CustomerView::waitId)
  int rating = 0;
  char key = 0;
  DrawnSignature signature;
};

enum class ActionResult {
  kTaken,
  kNoWait,     // no wait is in progress at the page (or the customer is scripted)
  kOtherWait,  // the action was meant for a wait that is over
  kRefused,    // the wait does not take it (a key past the entry's length, an empty pad, ...)
};

class Simulator {
 public:
  Simulator();  // nothing started yet
  ~Simulator(); // stops everything, closes sockets and ports
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // ---- Starting and stopping ----
  // TCP server on 127.0.0.1 (port 0: an ephemeral port). False when it cannot listen.
  bool StartUsb(uint16_t port = 0);
  std::string UsbAddress() const;  // "127.0.0.1:PORT" for RV270_SIM
  uint16_t UsbPort() const;
  // The port StartSerial opens on Windows ("COM5", "\\.\COM5" or "5"); on Linux an
  // empty name (the default) makes a new pseudo-terminal, a path opens that tty.
  void SetSerialPortName(const std::string& name);
  bool StartSerial();
  std::string SerialDevicePath() const;  // Linux: the pty slave path for RV270_COMn
  void Stop();
  std::string LastError() const;  // why a Start failed

  // ---- Unplugging ----
  // Removes the terminal from one link, at any moment (also while the library waits
  // or an answer is on its way): USB: every open link drops within a loop step (10
  // ms), the device list is empty and opens are refused; serial: the simulator's
  // end of the line closes (on Linux the pseudo-terminal goes away, and the library's
  // end sees the hang-up). Answers still queued for that link are dropped.
  void Unplug(Link link);
  // Plugs the terminal back: USB: the device list returns; serial: the line is served
  // again (on Linux by a new pseudo-terminal: SerialDevicePath() names it). False when
  // the serial side cannot be started again.
  bool Plug(Link link);

  // ---- The machine's HID devices ----
  void SetDevices(const std::vector<DeviceRecord>& records);  // empty: no device
  std::vector<DeviceRecord> Devices() const;
  // Answer of feature report requests: true (default) `s` 1 and a zeroed `g` report;
  // false `s` 0 and an empty `g`.
  void SetFeatureReportsWork(bool work);

  // ---- Commands ----
  // Replaces (or adds) the handler of a command. Built-in handlers answer the device,
  // screen and media commands; any other command is answered 0x00 0x00.
  void SetHandler(uint8_t cls, uint8_t cmd, CommandHandler handler,
                  CommandKind kind = CommandKind::kPlain);
  // The next request is answered with `answer` instead of its handler's answer.
  void ScriptNext(const Answer& answer);
  // The next request with this command is answered with `answer`.
  void ScriptNext(uint8_t cls, uint8_t cmd, const Answer& answer);
  // Faults for the next answer packet that goes out (of any request or script).
  void FaultNextAnswer(const Faults& faults);
  // Customer outcome of the waiting screen commands: the answer bytes (status and
  // byte 2) and the time the customer takes.
  void SetCustomerOutcome(const Bytes& answer, int delayMs = 0);
  // The customer at the screen view instead of the script: every customer wait is held
  // until CustomerActs answers it, or the terminal's own timeout (the command's timeout
  // field; none when it is 0) answers 0xAA 0x00. Off by default.
  void SetBrowserCustomer(bool on);
  // The page's customer acts: the answer is made by the command's handler, as for a
  // scripted customer who gave the same input (PIN blocks under the loaded keys, the
  // drawn strokes stored as the signature picture, the rating kept).
  ActionResult CustomerActs(const CustomerAction& action);
  void ClearScripts();  // drops scripted answers, faults and pending raw replies

  // ---- Raw and unsolicited sends ----
  // Sends bytes outside the packet format now (after send.delayMs). On USB they go
  // to the newest open link; when none is open they wait for the next one.
  void SendRaw(Link link, const RawSend& send);
  // When the next raw sequence (key-input start or end sequence) arrives on `link`,
  // answer it with `send`. Replies queue up: one per sequence, in order.
  void ReplyToNextRawSequence(Link link, const RawSend& send);
  // An answer packet without a request, after delayMs (on USB to the newest open link,
  // or to the next one opened), with optional faults.
  void SendUnsolicited(Link link, const Bytes& payload, int delayMs = 0, const Faults& faults = {});

  // ---- Files ----
  // Stores a file as if it had been downloaded (category code 1 to 9).
  void PutFile(int category, const std::string& name, const Bytes& content);
  // The bytes of a stored file that is kept whole; false when there is none.
  bool KeptFileContent(int category, const std::string& name, Bytes& content) const;
  // Stores a file of `size` pattern bytes (PatternByte), never held in memory.
  void PutPatternFile(int category, const std::string& name, uint64_t size);
  void SetTransferFaults(const TransferFaults& faults);
  // Holds the links to their line rate: one USB report per millisecond each way (block
  // feedback waits for the reports' time; upload reports go out one per millisecond).
  void SetLinePacing(bool on);
  // The latest data reports (USB downloads, payload after the report id, at most 4096)
  // and the number of data reports and serial data bytes received in all.
  std::vector<Bytes> DataReports() const;
  uint64_t DataReportCount() const;

  // ---- Device state ----
  DeviceState State() const;  // a copy
  void EditState(const std::function<void(DeviceState&)>& edit);
  // The customer's view with at most `lastRequests` requests, and the signature bytes
  // when `withSignature`.
  CustomerView View(size_t lastRequests, bool withSignature) const;

  // ---- Records ----
  std::vector<RequestRecord> Requests() const;      // decoded request payloads
  std::vector<Bytes> RequestPayloads(Link link) const;
  std::vector<Bytes> OutputReports() const;         // every `W` report, report id first
  std::vector<FeatureRecord> FeatureReports() const;
  std::vector<RawRecord> RawSequences() const;
  std::vector<BadPacketRecord> BadPackets() const;
  Bytes SerialBytes() const;                        // every byte received on the serial side
  std::vector<SerialSettings> SerialSettingsSeen() const;  // each change, in order (Linux)
  std::string ChannelSwitches() const;              // letters of 1B 25 X, in order
  int LinksOpened() const;                          // `O` accepted
  int LinksClosed() const;                          // accepted links whose connection closed
  int LinksOpenNow() const;
  int RefusedOpens() const;                         // `O` answered `N`
  int DeviceSearches() const;                       // `E` received
  int UndeliveredAnswers() const;                   // answers whose link had closed
  std::vector<std::string> ProtocolErrors() const;  // transport rule breaks (frame types, sizes)
  void ClearRecords();

  // Polls `condition` (called without the simulator's lock) until it holds or
  // timeoutMs pass. For tests that must wait until a request has arrived.
  bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 5000) const;
  bool WaitForRequests(size_t count, int timeoutMs = 5000) const;
  bool WaitForRawSequences(size_t count, int timeoutMs = 5000) const;
  bool WaitForNoOpenLinks(int timeoutMs = 5000) const;

  struct Core;  // implementation, shared with the transport threads

 private:
  std::shared_ptr<Core> core_;
};

}  // namespace rv270sim
