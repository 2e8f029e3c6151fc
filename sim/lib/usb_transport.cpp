// The USB HID side: the TCP transport of sim/TRANSPORT.md. Each connection
// is a device search (`E` -> `D`) or a link (`O` -> `A`/`N`, then reports). Output
// reports are reassembled into packets by their length field; reports that do not
// start a packet are raw sequences. Answers go out as input reports.
#include <algorithm>
#include <atomic>
#include <thread>

#include "core.h"
#include "os.h"

namespace rv270sim {
namespace {

// Longest pause of the server loop: scripted sends and Stop are noticed this soon.
constexpr int kLoopWaitMs = 10;

struct Connection {
  enum class Kind { kFresh, kSearch, kLink, kRefused };
  int id = 0;
  os::Socket sock = os::kNoSocket;
  Bytes rx;
  Kind kind = Kind::kFresh;
  DeviceRecord record;
  Bytes packet;           // packet being reassembled from output reports
  size_t packetTotal = 0; // its announced size; 0: none in progress
  bool closed = false;
};

class UsbTransport : public Transport {
 public:
  UsbTransport(Simulator::Core& core, os::Socket listener) : core_(core), listener_(listener) {
    thread_ = std::thread([this] { Loop(); });
  }

  ~UsbTransport() override {
    stop_ = true;
    thread_.join();
    for (Connection& c : conns_) Close(c);
    os::CloseSocket(listener_);
  }

 private:
  void Loop() {
    std::vector<os::Socket> sockets;
    std::vector<char> ready;
    uint8_t buffer[16384];
    while (!stop_) {
      sockets.assign(1, listener_);
      for (const Connection& c : conns_) sockets.push_back(c.sock);
      const int wait = core_.MsUntilDue(Link::kUsb, NewestLink() != nullptr, kLoopWaitMs);
      if (os::WaitReadable(sockets, wait, ready) > 0) {
        // Connections first: the new ones are appended behind them.
        for (size_t i = 1; i < ready.size(); ++i) {
          if (!ready[i]) continue;
          Connection& c = conns_[i - 1];
          const int n = os::ReceiveSome(c.sock, buffer, sizeof(buffer));
          if (n <= 0) {
            Close(c);
            continue;
          }
          c.rx.insert(c.rx.end(), buffer, buffer + n);
          ProcessFrames(c);
        }
        if (ready[0]) Accept();
      }
      if (core_.UsbUnplugged()) {
        for (Connection& c : conns_) {
          if (c.kind == Connection::Kind::kLink) Close(c);  // the device is gone: its links drop
        }
      }
      conns_.erase(std::remove_if(conns_.begin(), conns_.end(), [](const Connection& c) { return c.closed; }),
                   conns_.end());
      Deliver();
    }
  }

  void Accept() {
    const os::Socket s = os::AcceptClient(listener_);
    if (s == os::kNoSocket) return;
    Connection c;
    c.id = nextId_++;
    c.sock = s;
    conns_.push_back(std::move(c));
  }

  void Close(Connection& c) {
    if (c.closed) return;
    c.closed = true;
    os::CloseSocket(c.sock);
    c.sock = os::kNoSocket;
    if (c.kind == Connection::Kind::kLink) core_.OnLinkClosed();
  }

  void Fail(Connection& c, const std::string& why) {
    core_.OnProtocolError("connection " + std::to_string(c.id) + ": " + why);
    Close(c);
  }

  bool Send(Connection& c, char type, const Bytes& payload) {
    if (c.closed) return false;
    Bytes frame{static_cast<uint8_t>(type), static_cast<uint8_t>(payload.size() >> 8),
                static_cast<uint8_t>(payload.size() & 0xFF)};
    frame.insert(frame.end(), payload.begin(), payload.end());
    if (os::SendAll(c.sock, frame.data(), frame.size())) return true;
    Close(c);
    return false;
  }

  void ProcessFrames(Connection& c) {
    size_t at = 0;
    while (!c.closed && c.rx.size() - at >= 3) {
      const size_t n = (static_cast<size_t>(c.rx[at + 1]) << 8) | c.rx[at + 2];
      if (c.rx.size() - at < 3 + n) break;
      const char type = static_cast<char>(c.rx[at]);
      const Bytes payload(c.rx.begin() + at + 3, c.rx.begin() + at + 3 + n);
      at += 3 + n;
      HandleFrame(c, type, payload);
    }
    if (!c.closed) c.rx.erase(c.rx.begin(), c.rx.begin() + at);
  }

  void HandleFrame(Connection& c, char type, const Bytes& payload) {
    switch (c.kind) {
      case Connection::Kind::kFresh:
        if (type == 'E' && payload.empty()) {
          core_.OnSearch();
          c.kind = Connection::Kind::kSearch;
          Send(c, 'D', core_.DeviceListPayload());
        } else if (type == 'O' && payload.size() == 1) {
          if (core_.OnOpen(payload[0], c.record)) {
            c.kind = Connection::Kind::kLink;
            Send(c, 'A', {});
          } else {
            c.kind = Connection::Kind::kRefused;
            Send(c, 'N', {});
          }
        } else {
          Fail(c, std::string("unexpected first frame '") + type + "' of " + std::to_string(payload.size()) + " bytes");
        }
        return;
      case Connection::Kind::kSearch:
      case Connection::Kind::kRefused:
        Fail(c, std::string("frame '") + type + "' after a device search or a refused open");
        return;
      case Connection::Kind::kLink:
        HandleLinkFrame(c, type, payload);
        return;
    }
  }

  void HandleLinkFrame(Connection& c, char type, const Bytes& payload) {
    if (type == 'W') {
      if (payload.size() != c.record.outputReportLength || payload.empty()) {
        Fail(c, "output report of " + std::to_string(payload.size()) + " bytes, the device's are " +
                    std::to_string(c.record.outputReportLength));
        return;
      }
      core_.OnOutputReport(payload.data(), payload.size());
      HandleReport(c, payload.data() + 1, payload.size() - 1);
    } else if (type == 'S' && !payload.empty()) {
      core_.OnFeature(FeatureRecord{true, payload, payload.size()});
      Send(c, 's', Bytes{static_cast<uint8_t>(core_.FeatureReportsWork() ? 1 : 0)});
    } else if (type == 'G' && payload.size() == 3) {
      const size_t wanted = (static_cast<size_t>(payload[1]) << 8) | payload[2];
      core_.OnFeature(FeatureRecord{false, Bytes{payload[0]}, wanted});
      Bytes report;
      if (core_.FeatureReportsWork() && wanted > 0) {
        report.assign(wanted, 0);
        report[0] = payload[0];
      }
      Send(c, 'g', report);
    } else {
      Fail(c, std::string("unexpected frame '") + type + "' of " + std::to_string(payload.size()) + " bytes on a link");
    }
  }

  // One output report's payload (after the report id).
  void HandleReport(Connection& c, const uint8_t* body, size_t length) {
    if (c.packetTotal == 0) {
      if (length == 0 || body[0] != kStx) {
        size_t used = length;
        while (used > 0 && body[used - 1] == 0) --used;
        core_.OnRawSequence(Link::kUsb, c.id, Bytes(body, body + used));
        return;
      }
      size_t announced = 0;
      if (!ReadLengthField(body, length, announced)) {
        core_.OnBadPacket(Link::kUsb, Bytes(body, body + length), DecodeResult::kBadCharacter);
        return;
      }
      c.packetTotal = 2 * announced + kPacketOverhead;
      c.packet.clear();
    }
    const size_t take = std::min(length, c.packetTotal - c.packet.size());
    c.packet.insert(c.packet.end(), body, body + take);
    if (c.packet.size() < c.packetTotal) return;
    c.packetTotal = 0;
    Bytes payload;
    const DecodeResult result = DecodePacket(c.packet, payload);
    if (result == DecodeResult::kOk) {
      core_.OnRequest(Link::kUsb, c.id, std::move(payload));
    } else {
      core_.OnBadPacket(Link::kUsb, c.packet, result);
    }
  }

  Connection* NewestLink() {
    Connection* newest = nullptr;
    for (Connection& c : conns_) {
      if (!c.closed && c.kind == Connection::Kind::kLink) newest = &c;
    }
    return newest;
  }

  Connection* Find(int id) {
    for (Connection& c : conns_) {
      if (c.id == id && !c.closed && c.kind == Connection::Kind::kLink) return &c;
    }
    return nullptr;
  }

  void Deliver() {
    std::vector<Outgoing> due = core_.TakeDue(Link::kUsb, Clock::now(), NewestLink() != nullptr);
    for (Outgoing& item : due) {
      Connection* c = item.connection >= 0 ? Find(item.connection) : NewestLink();
      if (!c) {
        core_.OnUndelivered();
        continue;
      }
      const size_t reportBytes = c->record.inputReportLength > 1 ? c->record.inputReportLength - 1u : 1u;
      CutPacket(item, reportBytes);
      while (item.next < item.chunks.size()) {
        const Bytes& piece = item.chunks[item.next++];
        Bytes report(c->record.inputReportLength > 0 ? c->record.inputReportLength : 1u, 0);
        std::copy(piece.begin(), piece.begin() + std::min(piece.size(), report.size() - 1), report.begin() + 1);
        if (!Send(*c, 'R', report)) break;
        if (item.gapMs > 0 && item.next < item.chunks.size()) {
          item.connection = c->id;  // the rest follows on the same link
          core_.Requeue(std::move(item));
          break;
        }
      }
    }
  }

  Simulator::Core& core_;
  os::Socket listener_;
  std::vector<Connection> conns_;
  int nextId_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace

std::unique_ptr<Transport> StartUsbTransport(Simulator::Core& core, uint16_t port, uint16_t& bound,
                                             std::string& error) {
  const os::Socket listener = os::ListenLoopback(port, bound, error);
  if (listener == os::kNoSocket) return nullptr;
  return std::unique_ptr<Transport>(new UsbTransport(core, listener));
}

}  // namespace rv270sim
