// The simulator's own codec and transports, talked to raw (not through the library):
// the worked byte examples of the packet format, the device list, reports, raw
// sequences, feature reports, faults, customer waits and the serial line.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "rv270sim/host.h"
#include "rv270sim/raw_client.h"
#include "rv270sim/simulator.h"

namespace {

using rv270sim::Bytes;
using rv270sim::DecodeResult;
using rv270sim::Link;

// "50 01" -> {0x50, 0x01}.
Bytes Hex(const std::string& text) {
  std::istringstream in(text);
  Bytes out;
  std::string pair;
  while (in >> pair) out.push_back(static_cast<uint8_t>(std::stoi(pair, nullptr, 16)));
  return out;
}

Bytes Text(const std::string& t) { return Bytes(t.begin(), t.end()); }

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Worked examples of the packet format: the status request, the probe, and the
// answers "ready" and "hardware failure".
const Bytes kStatusRequest = Hex("02 30 30 30 32 35 30 30 31 35 31 03");
const Bytes kReadyAnswer = Hex("02 30 30 30 32 30 30 30 30 30 30 03");

TEST(SimCodec, WorkedExamplesEncodeAndDecode) {
  struct Case {
    Bytes payload;
    Bytes packet;
  };
  const Case cases[] = {
      {Hex("50 01"), kStatusRequest},
      {Hex("50 0A"), Hex("02 30 30 30 32 35 30 30 3A 35 3A 03")},
      {Hex("00 00"), kReadyAnswer},
      {Hex("00 09"), Hex("02 30 30 30 32 30 30 30 39 30 39 03")},
      {Hex("FF"), Hex("02 30 30 30 31 3F 3F 3F 3F 03")},
      {Hex("12 34 56"), Hex("02 30 30 30 33 31 32 33 34 35 36 37 30 03")},  // check byte 0x70
  };
  for (const Case& c : cases) {
    EXPECT_EQ(rv270sim::EncodePacket(c.payload), c.packet);
    Bytes decoded;
    EXPECT_EQ(rv270sim::DecodePacket(c.packet, decoded), DecodeResult::kOk);
    EXPECT_EQ(decoded, c.payload);
  }
  // 300 bytes: 608 packet bytes, length characters 30 31 32 3C (0x012C).
  const Bytes big = rv270sim::EncodePacket(Bytes(300, 0xA5));
  ASSERT_EQ(big.size(), 608u);
  EXPECT_EQ(Bytes(big.begin() + 1, big.begin() + 5), Hex("30 31 32 3C"));
}

TEST(SimCodec, DecodeNamesEachDamage) {
  struct Case {
    const char* what;
    std::function<void(Bytes&)> damage;
    DecodeResult expected;
  };
  const Case cases[] = {
      {"wrong STX", [](Bytes& p) { p[0] = 0x12; }, DecodeResult::kBadStx},
      {"wrong ETX", [](Bytes& p) { p.back() = 0x13; }, DecodeResult::kBadEtx},
      {"wrong check byte", [](Bytes& p) { p[p.size() - 2] ^= 0x01; }, DecodeResult::kBadCheck},
      {"payload byte changed", [](Bytes& p) { p[6] ^= 0x01; }, DecodeResult::kBadCheck},
      {"one byte short", [](Bytes& p) { p.pop_back(); }, DecodeResult::kBadLength},
      {"length announces more", [](Bytes& p) { p[4] = 0x33; }, DecodeResult::kBadLength},
      {"hexadecimal letter", [](Bytes& p) { p[5] = 'A'; }, DecodeResult::kBadCharacter},
      {"under 8 bytes", [](Bytes& p) { p.resize(7); }, DecodeResult::kBadLength},
  };
  for (const Case& c : cases) {
    Bytes packet = kStatusRequest;
    c.damage(packet);
    Bytes payload;
    EXPECT_EQ(rv270sim::DecodePacket(packet, payload), c.expected) << c.what;
    EXPECT_TRUE(payload.empty()) << c.what;
  }
}

// A link opened raw over TCP, as the library's HID transport does it.
class RawLink {
 public:
  bool Open(uint16_t port, uint8_t record = 0) {
    char type = 0;
    Bytes payload;
    return client.Connect(port) && client.SendFrame('O', Bytes{record}) && client.ReadFrame(type, payload) &&
           type == 'A';
  }

  // Sends a packet as 65-byte output reports (report id 0, 64 bytes, zero padded).
  bool SendPacket(const Bytes& packet) {
    for (size_t at = 0; at < packet.size(); at += 64) {
      Bytes report(65, 0);
      std::copy(packet.begin() + at, packet.begin() + std::min(packet.size(), at + 64), report.begin() + 1);
      if (!client.SendFrame('W', report)) return false;
    }
    return true;
  }

  // The next input report, or an empty one when none comes in time.
  Bytes ReadReport(int timeoutMs = 2000) {
    char type = 0;
    Bytes payload;
    if (!client.ReadFrame(type, payload, timeoutMs) || type != 'R') return Bytes();
    return payload;
  }

  // One whole request/answer exchange: the answer payload, empty on any failure.
  Bytes Exchange(const Bytes& request) {
    if (!SendPacket(rv270sim::EncodePacket(request))) return Bytes();
    return ReadAnswer();
  }

  // The next answer packet's payload, empty when none comes whole in time.
  Bytes ReadAnswer(int timeoutMs = 2000) {
    Bytes packet;
    size_t total = 0;
    do {
      const Bytes report = ReadReport(timeoutMs);
      if (report.size() != 65) return Bytes();
      if (total == 0 && !rv270sim::ReadLengthField(report.data() + 1, 64, total)) return Bytes();
      if (packet.empty()) total = 2 * total + 8;
      packet.insert(packet.end(), report.begin() + 1, report.begin() + 1 + std::min<size_t>(64, total - packet.size()));
    } while (packet.size() < total);
    Bytes payload;
    rv270sim::DecodePacket(packet, payload);
    return payload;
  }

  rv270sim::RawHidClient client;
};

// A report as the simulator sends it: report id 0, the bytes, zero padding to 65.
Bytes InputReport(const Bytes& bytes) {
  Bytes r(65, 0);
  std::copy(bytes.begin(), bytes.end(), r.begin() + 1);
  return r;
}

class SimUsbSelfTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(sim.StartUsb()) << sim.LastError(); }
  rv270sim::Simulator sim;
};

TEST_F(SimUsbSelfTest, DeviceListAndRefusedOpen) {
  rv270sim::RawHidClient search;
  ASSERT_TRUE(search.Connect(sim.UsbPort()));
  ASSERT_TRUE(search.SendFrame('E', {}));
  char type = 0;
  Bytes payload;
  ASSERT_TRUE(search.ReadFrame(type, payload));
  EXPECT_EQ(type, 'D');
  EXPECT_EQ(payload, Concat(Concat(Hex("4B 7E 00 01 00 41 00 41 00 41 08"), Text("HIDClass")),
                            Concat(Hex("1E"), Text("HID\\VID_4B7E&PID_0001&REV_0100"))));
  search.Close();

  rv270sim::DeviceRecord closed = rv270sim::DeviceRecord::Terminal();
  closed.openable = false;
  sim.SetDevices({closed});
  rv270sim::RawHidClient open;
  ASSERT_TRUE(open.Connect(sim.UsbPort()));
  ASSERT_TRUE(open.SendFrame('O', Bytes{0}));
  ASSERT_TRUE(open.ReadFrame(type, payload));
  EXPECT_EQ(type, 'N');
  EXPECT_EQ(sim.DeviceSearches(), 1);
  EXPECT_EQ(sim.RefusedOpens(), 1);
  EXPECT_EQ(sim.LinksOpened(), 0);
}

TEST_F(SimUsbSelfTest, StatusRequestWorkedExampleOverReports) {
  {
    RawLink link;
    ASSERT_TRUE(link.Open(sim.UsbPort()));
    ASSERT_TRUE(link.SendPacket(kStatusRequest));
    EXPECT_EQ(link.ReadReport(), InputReport(kReadyAnswer));
    EXPECT_EQ(sim.LinksOpenNow(), 1);
  }
  ASSERT_TRUE(sim.WaitForNoOpenLinks());
  EXPECT_EQ(sim.LinksOpened(), 1);
  EXPECT_EQ(sim.LinksClosed(), 1);
  const std::vector<rv270sim::RequestRecord> requests = sim.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].link, Link::kUsb);
  EXPECT_EQ(requests[0].payload, Hex("50 01"));
  ASSERT_EQ(sim.OutputReports().size(), 1u);
  EXPECT_EQ(sim.OutputReports()[0], InputReport(kStatusRequest));
  EXPECT_TRUE(sim.ProtocolErrors().empty());
}

TEST_F(SimUsbSelfTest, LongAnswerSpansReportsAndADroppedReportNeverComes) {
  // L = 61: a 130-byte packet, read as 64 + 64 + 2 bytes.
  Bytes answer = Concat(Hex("00 00"), Bytes(59, 0x5A));
  const Bytes packet = rv270sim::EncodePacket(answer);
  sim.ScriptNext(rv270sim::Answer::Of(answer));
  rv270sim::Faults drop;
  drop.dropReport = 1;
  sim.ScriptNext([&] {
    rv270sim::Answer a = rv270sim::Answer::Of(answer);
    a.faults = drop;
    return a;
  }());

  RawLink link;
  ASSERT_TRUE(link.Open(sim.UsbPort()));
  ASSERT_TRUE(link.SendPacket(kStatusRequest));
  const Bytes first = link.ReadReport(), second = link.ReadReport(), third = link.ReadReport();
  EXPECT_EQ(first, InputReport(Bytes(packet.begin(), packet.begin() + 64)));
  EXPECT_EQ(second, InputReport(Bytes(packet.begin() + 64, packet.begin() + 128)));
  EXPECT_EQ(third, InputReport(Bytes(packet.begin() + 128, packet.end())));

  ASSERT_TRUE(link.SendPacket(kStatusRequest));
  EXPECT_EQ(link.ReadReport(), first);
  EXPECT_EQ(link.ReadReport(), third);
  EXPECT_TRUE(link.ReadReport(300).empty());
}

TEST_F(SimUsbSelfTest, RawSequencesGetScriptedKeysAndFeatureReportsAreAnswered) {
  sim.ReplyToNextRawSequence(Link::kUsb, rv270sim::RawSend{{rv270sim::FramedKeyChunk("56")}, 0, 0});
  sim.ReplyToNextRawSequence(Link::kUsb, rv270sim::RawSend{rv270sim::KeyChunks("1\r"), 0, 0});
  RawLink link;
  ASSERT_TRUE(link.Open(sim.UsbPort()));
  ASSERT_TRUE(link.client.SendFrame('W', InputReport(Hex("1B 49"))));
  EXPECT_EQ(link.ReadReport(), InputReport(Hex("02 35 36 03")));
  ASSERT_TRUE(link.client.SendFrame('W', InputReport(Hex("82"))));
  EXPECT_EQ(link.ReadReport(), InputReport(Hex("31")));
  EXPECT_EQ(link.ReadReport(), InputReport(Hex("0D")));

  Bytes setReport(65, 0);
  setReport[0] = 0x41;
  setReport[1] = 0x01;
  ASSERT_TRUE(link.client.SendFrame('S', setReport));
  char type = 0;
  Bytes payload;
  ASSERT_TRUE(link.client.ReadFrame(type, payload));
  EXPECT_EQ(type, 's');
  EXPECT_EQ(payload, Hex("01"));
  ASSERT_TRUE(link.client.SendFrame('G', Hex("46 00 41")));
  ASSERT_TRUE(link.client.ReadFrame(type, payload));
  EXPECT_EQ(type, 'g');
  Bytes wanted(65, 0);
  wanted[0] = 0x46;
  EXPECT_EQ(payload, wanted);

  const std::vector<rv270sim::RawRecord> raws = sim.RawSequences();
  ASSERT_EQ(raws.size(), 2u);
  EXPECT_EQ(raws[0].bytes, Hex("1B 49"));
  EXPECT_EQ(raws[1].bytes, Hex("82"));
  const std::vector<rv270sim::FeatureRecord> features = sim.FeatureReports();
  ASSERT_EQ(features.size(), 2u);
  EXPECT_TRUE(features[0].set);
  EXPECT_EQ(features[0].report, setReport);
  EXPECT_FALSE(features[1].set);
  EXPECT_EQ(features[1].wantedLength, 65u);
}

TEST_F(SimUsbSelfTest, WrongReportSizeEndsTheLink) {
  RawLink link;
  ASSERT_TRUE(link.Open(sim.UsbPort()));
  ASSERT_TRUE(link.client.SendFrame('W', Bytes(64, 0)));
  EXPECT_TRUE(link.client.WaitClosed());
  EXPECT_EQ(sim.ProtocolErrors().size(), 1u);
}

TEST_F(SimUsbSelfTest, DeviceStateFollowsTheCommands) {
  struct Step {
    Bytes request;
    Bytes answer;
  };
  const Step steps[] = {
      {Hex("50 23 01"), Hex("00 01")},  // no volume set yet
      {Hex("50 22 01 03"), Hex("00 00")},
      {Hex("50 23 01"), Hex("00 00 03")},
      // Settings the terminal does not have are refused and not stored.
      {Hex("50 22 01 09"), Hex("00 09")},
      {Hex("50 22 02 04"), Hex("00 09")},
      {Hex("50 23 01"), Hex("00 00 03")},
      {Hex("50 23 02"), Hex("00 01")},
      {Concat(Hex("50 0A"), Text("115200")), Hex("00 00")},
      {Concat(Hex("50 0A"), Text("-5")), Hex("00 09")},
      {Concat(Hex("50 0A"), Text("12345")), Hex("00 09")},
      {Hex("50 0A"), Hex("00 00")},  // the probe changes nothing
      {Hex("50 0B"), Concat(Hex("00 00"), Text("115200"))},
      {Concat(Hex("50 1D 00 03"), Text("abc")), Hex("00 00")},
      {Hex("50 25 05 61"), Hex("00 05")},  // the list is shorter than its length byte
      {Hex("60 01 02"), Hex("00 00")},     // commands without a handler are done
  };
  RawLink link;
  ASSERT_TRUE(link.Open(sim.UsbPort()));
  for (const Step& s : steps) EXPECT_EQ(link.Exchange(s.request), s.answer);
  const rv270sim::DeviceState state = sim.State();
  EXPECT_EQ(state.serialRate, "115200");
  EXPECT_EQ(state.screen.statusBar, "abc");
  EXPECT_EQ(state.malformedRequests, 1);
}

TEST_F(SimUsbSelfTest, ClearScreenBreaksOffACustomerWait) {
  sim.SetCustomerOutcome(Hex("00 00 01"), 20000);
  // ShowInfo: timeout 30, mode 1, text "abc", voice flag 0, no voice.
  const Bytes showInfo = Concat(Concat(Hex("50 10 00 1E 01 00 03"), Text("abc")), Hex("00 00 00"));
  RawLink waiting, cancel;
  ASSERT_TRUE(waiting.Open(sim.UsbPort()));
  ASSERT_TRUE(waiting.SendPacket(rv270sim::EncodePacket(showInfo)));
  ASSERT_TRUE(sim.WaitForRequests(1));
  ASSERT_TRUE(cancel.Open(sim.UsbPort()));
  EXPECT_EQ(cancel.Exchange(Hex("50 15")), Hex("00 00"));
  EXPECT_EQ(waiting.ReadReport(), InputReport(rv270sim::EncodePacket(Hex("50 1D"))));
  EXPECT_EQ(sim.State().screen.mainScreenClears, 1);
}

// The customer at the screen view: waits are held until the page's customer acts, and
// the answer is the one a scripted customer with the same input gets.
class SimPageCustomerTest : public SimUsbSelfTest {
 protected:
  using Action = rv270sim::CustomerAction;

  // Sends a waiting request on `link` and returns the wait the page is to answer.
  uint64_t Hold(RawLink& link, const Bytes& request) {
    EXPECT_TRUE(link.SendPacket(rv270sim::EncodePacket(request)));
    uint64_t id = 0;
    EXPECT_TRUE(sim.WaitUntil([&] { return (id = sim.View(0, false).waitId) != 0; }));
    return id;
  }

  rv270sim::ActionResult Act(uint64_t wait, Action::Kind kind, char key = 0) {
    Action a;
    a.wait = wait;
    a.kind = kind;
    a.key = key;
    return sim.CustomerActs(a);
  }
};

TEST_F(SimPageCustomerTest, TypedPinGivesTheScriptedCustomersBlock) {
  using R = rv270sim::ActionResult;
  RawLink link;
  ASSERT_TRUE(link.Open(sim.UsbPort()));
  // Master key 001 from two components, then a PIN entry with an account field.
  ASSERT_EQ(link.Exchange(Concat(Concat(Concat(Hex("50 54"), Text("001")), Concat(Hex("10"), Text("0123456789ABCDEF"))),
                                 Concat(Concat(Hex("10"), Text("1111111111111111")), Hex("00"))))[1], 0x00);
  const Bytes pinEntry = Concat(Concat(Concat(Hex("50 5A"), Text("001")), Text("123456789012")), Hex("01 00 1E 00 00"));
  sim.SetBrowserCustomer(true);
  const uint64_t wait = Hold(link, pinEntry);
  const std::string held = sim.State().values["pinpad.lastClearBlock"];
  rv270sim::CustomerView view = sim.View(0, false);
  EXPECT_EQ(view.waitKind, "pin");
  EXPECT_EQ(view.typedMin, 4u);
  EXPECT_EQ(view.typedMax, 12u);

  EXPECT_EQ(Act(wait, Action::Kind::kKey, '9'), R::kTaken);
  EXPECT_EQ(Act(wait, Action::Kind::kClear), R::kTaken);
  for (char key : std::string("7391")) EXPECT_EQ(Act(wait, Action::Kind::kKey, key), R::kTaken);
  EXPECT_EQ(Act(wait, Action::Kind::kKey, 'x'), R::kRefused);
  EXPECT_EQ(Act(wait + 1, Action::Kind::kKey, '5'), R::kOtherWait);
  EXPECT_EQ(Act(wait, Action::Kind::kConfirm), R::kRefused);  // a keypad takes its enter key
  EXPECT_EQ(sim.View(0, false).typed, 4u);
  EXPECT_EQ(link.ReadAnswer(200), Bytes());  // nothing goes out while the customer types
  EXPECT_EQ(Act(wait, Action::Kind::kEnter), R::kTaken);
  const Bytes typed = link.ReadAnswer();
  ASSERT_GE(typed.size(), 19u);
  EXPECT_EQ(sim.State().values.count("pinpad.pin"), 0u);  // the digits were kept only for the answer
  EXPECT_EQ(sim.State().values["pinpad.lastClearBlock"], held);  // nor their clear PIN block
  EXPECT_EQ(Act(wait, Action::Kind::kKey, '1'), R::kNoWait);

  // The scripted customer typing the same PIN gets the same answer.
  sim.SetBrowserCustomer(false);
  sim.EditState([](rv270sim::DeviceState& s) { s.values["pinpad.pin"] = "7391"; });
  EXPECT_EQ(link.Exchange(pinEntry), typed);

  // Fewer digits than a PIN has are not entered; the keypad's cancel answers 0x00 0x01.
  sim.SetBrowserCustomer(true);
  const uint64_t second = Hold(link, pinEntry);
  EXPECT_NE(second, wait);
  EXPECT_EQ(sim.View(0, false).typed, 0u);
  EXPECT_EQ(Act(second, Action::Kind::kKey, '1'), R::kTaken);
  EXPECT_EQ(Act(second, Action::Kind::kEnter), R::kRefused);
  EXPECT_EQ(Act(second, Action::Kind::kCancel), R::kTaken);
  EXPECT_EQ(link.ReadAnswer(), Hex("00 01"));
}

TEST_F(SimPageCustomerTest, DrawnSignatureTimeoutBreakOffAndRating) {
  using R = rv270sim::ActionResult;
  sim.SetBrowserCustomer(true);
  RawLink link, other;
  ASSERT_TRUE(link.Open(sim.UsbPort()));
  ASSERT_TRUE(other.Open(sim.UsbPort()));
  // The signature screen: timeout(2) mode(1) V(2) S(1) four areas and the sign byte.
  const auto signing = [](int timeout) {
    return Concat(Hex("50 12 00"), Concat(Bytes{static_cast<uint8_t>(timeout)}, Bytes(21, 0x00)));
  };

  // The terminal's own timeout answers when the customer does nothing.
  uint64_t wait = Hold(link, signing(1));
  EXPECT_EQ(sim.View(0, false).waitKind, "sign");
  EXPECT_EQ(link.ReadAnswer(3000), Hex("AA 00"));
  EXPECT_EQ(Act(wait, Action::Kind::kCancel), R::kNoWait);

  // A clear of the main screen breaks the wait off.
  wait = Hold(link, signing(30));
  EXPECT_EQ(other.Exchange(Hex("50 15")), Hex("00 00"));
  EXPECT_EQ(link.ReadAnswer(), Hex("50 1D"));
  EXPECT_EQ(Act(wait, Action::Kind::kCancel), R::kNoWait);

  // Confirmed with strokes: the picture stored is those strokes at the pad's size.
  wait = Hold(link, signing(30));
  EXPECT_EQ(Act(wait, Action::Kind::kConfirm), R::kRefused);  // nothing drawn
  Action drawn;
  drawn.wait = wait;
  drawn.kind = Action::Kind::kConfirm;
  drawn.signature.strokes = {{{2, 10}, {37, 10}}};
  // A pad the picture cannot be made at is refused, not allocated.
  for (const auto& size : {std::make_pair(0, 20), std::make_pair(-40, 20), std::make_pair(40, 1 << 20)}) {
    drawn.signature.width = size.first;
    drawn.signature.height = size.second;
    EXPECT_EQ(sim.CustomerActs(drawn), R::kRefused) << size.first << " x " << size.second;
  }
  drawn.signature.width = 40;
  drawn.signature.height = 20;
  EXPECT_EQ(sim.CustomerActs(drawn), R::kTaken);
  EXPECT_EQ(link.ReadAnswer(), Hex("00 00 00"));
  const rv270sim::DeviceState state = sim.State();
  const auto file = state.files.find({9, "UserSign.png"});
  ASSERT_NE(file, state.files.end());
  const Bytes& png = file->second.content;
  ASSERT_GT(png.size(), 48u + 20 * 41);
  EXPECT_EQ(Bytes(png.begin() + 16, png.begin() + 24), Hex("00 00 00 28 00 00 00 14"));  // 40 x 20
  // Stored deflate blocks: the rows start 48 bytes in, each a filter byte and 40 pixels.
  const auto pixel = [&png](int x, int y) { return png[48 + static_cast<size_t>(y) * 41 + 1 + static_cast<size_t>(x)]; };
  EXPECT_LT(pixel(20, 10), 0x80);
  EXPECT_LT(pixel(2, 12), 0x80);  // the pen's width
  EXPECT_EQ(pixel(20, 3), 0xFF);
  EXPECT_TRUE(state.drawn.strokes.empty());

  // The signing's cancel button, and the evaluation's rating.
  wait = Hold(link, signing(30));
  EXPECT_EQ(Act(wait, Action::Kind::kCancel), R::kTaken);
  EXPECT_EQ(link.ReadAnswer(), Hex("00 03"));
  EXPECT_EQ(sim.State().files.count({9, "UserSign.png"}), 0u);
  wait = Hold(link, Hex("50 92 1E 00"));
  EXPECT_EQ(sim.View(0, false).waitKind, "rating");
  EXPECT_EQ(Act(wait, Action::Kind::kCancel), R::kRefused);
  Action rate;
  rate.wait = wait;
  rate.kind = Action::Kind::kRate;
  rate.rating = 3;
  EXPECT_EQ(sim.CustomerActs(rate), R::kTaken);
  EXPECT_EQ(link.ReadAnswer(), Hex("00 00 03"));
  EXPECT_EQ(link.Exchange(Hex("50 5D 00 00 05")), Hex("00 00 03"));
}

TEST_F(SimUsbSelfTest, UnsolicitedAnswerWaitsForTheNextLink) {
  // Due at once while no link is open. The device search round trip makes sure the
  // simulator has looked at its queue before the link opens.
  sim.SendUnsolicited(Link::kUsb, Hex("00 00 01"));
  rv270sim::RawHidClient search;
  char type = 0;
  Bytes payload;
  ASSERT_TRUE(search.Connect(sim.UsbPort()) && search.SendFrame('E', {}) && search.ReadFrame(type, payload));
  RawLink link;
  ASSERT_TRUE(link.Open(sim.UsbPort()));
  EXPECT_EQ(link.ReadReport(), InputReport(rv270sim::EncodePacket(Hex("00 00 01"))));
  EXPECT_EQ(sim.UndeliveredAnswers(), 0);
  EXPECT_TRUE(sim.Requests().empty());
}

// The serial side, raw over the line the library would open.
class SimSerialSelfTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (rv270sim::UsesPseudoTerminals()) {
      ASSERT_TRUE(sim.StartSerial()) << sim.LastError();
      linePath = sim.SerialDevicePath();
    } else {
      const std::string libCom = rv270sim::ProcessEnv("RV270_TEST_LIB_COM");
      const std::string simCom = rv270sim::ProcessEnv("RV270_TEST_SIM_COM");
      if (libCom.empty() || simCom.empty()) GTEST_SKIP() << "no COM port pair";
      sim.SetSerialPortName("COM" + simCom);
      ASSERT_TRUE(sim.StartSerial()) << sim.LastError();
      linePath = "COM" + libCom;
    }
    ASSERT_TRUE(line.Open(linePath, 9600));
  }

  rv270sim::Simulator sim;
  rv270sim::RawSerialClient line;
  std::string linePath;
};

TEST_F(SimSerialSelfTest, StatusRequestWorkedExampleAfterAChannelSwitch) {
  ASSERT_TRUE(line.Write(Concat(Hex("1B 25 42"), kStatusRequest)));
  Bytes answer;
  EXPECT_TRUE(line.Read(12, answer));
  EXPECT_EQ(answer, kReadyAnswer);
  EXPECT_EQ(sim.ChannelSwitches(), "B");
  EXPECT_EQ(sim.RequestPayloads(Link::kSerial), std::vector<Bytes>{Hex("50 01")});
  EXPECT_EQ(sim.SerialBytes(), Concat(Hex("1B 25 42"), kStatusRequest));
  if (rv270sim::UsesPseudoTerminals()) {
    const std::vector<rv270sim::SerialSettings> seen = sim.SerialSettingsSeen();
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back().baud, 9600);
    EXPECT_EQ(seen.back().dataBits, 8);
    EXPECT_EQ(seen.back().parity, 'N');
    EXPECT_EQ(seen.back().stopBits, 1);
    EXPECT_FALSE(seen.back().rtsCts);
  }
}

TEST_F(SimSerialSelfTest, FaultedAnswersComeAsScripted) {
  struct Case {
    const char* what;
    std::function<void(rv270sim::Faults&)> set;
    Bytes expected;
  };
  const Case cases[] = {
      {"wrong STX", [](rv270sim::Faults& f) { f.badStx = true; }, Hex("12 30 30 30 32 30 30 30 30 30 30 03")},
      {"wrong ETX", [](rv270sim::Faults& f) { f.badEtx = true; }, Hex("02 30 30 30 32 30 30 30 30 30 30 13")},
      {"wrong check", [](rv270sim::Faults& f) { f.badCheck = true; }, Hex("02 30 30 30 32 30 30 30 30 35 3A 03")},
      {"huge length", [](rv270sim::Faults& f) { f.announceLength = 0xFFFF; }, Hex("02 3F 3F 3F 3F 30 30 30 30 30 30 03")},
      {"corrupt byte", [](rv270sim::Faults& f) { f.corruptAt = 8; }, Hex("02 30 30 30 32 30 30 30 31 30 30 03")},
      {"cut short", [](rv270sim::Faults& f) { f.truncateTo = 7; }, Hex("02 30 30 30 32 30 30")},
      {"in pieces", [](rv270sim::Faults& f) { f.chunkBytes = 5; f.chunkGapMs = 20; }, kReadyAnswer},
  };
  for (const Case& c : cases) {
    rv270sim::Faults f;
    c.set(f);
    sim.FaultNextAnswer(f);
    ASSERT_TRUE(line.Write(kStatusRequest)) << c.what;
    Bytes got;
    line.Read(c.expected.size(), got);
    EXPECT_EQ(got, c.expected) << c.what;
    Bytes extra;
    EXPECT_FALSE(line.Read(1, extra, 100)) << c.what;  // nothing more than scripted
  }
}

}  // namespace
