// The serial side: reads the line byte by byte and sorts what arrives into channel
// switch sequences (1B 25 X), request packets and raw sequences (key-input start and
// end sequences). The library writes each raw sequence in one piece, so a raw sequence
// ends with the bytes read together with it, or earlier at a 0x02 or 0x1B.
#include <atomic>
#include <thread>

#include "core.h"
#include "os.h"

namespace rv270sim {
namespace {

constexpr int kLoopWaitMs = 10;
// A lone ESC at the end of a read may be the start of a switch sequence cut in two; it
// counts as a raw sequence of its own once the line stays quiet this long.
constexpr int kLoneEscQuietMs = 20;
// A packet or switch sequence cut short is given up after this much quiet.
constexpr int kPartialQuietMs = 1000;
// Raw bytes kept per sequence at most.
constexpr size_t kMaxRawSequence = 4096;

class SerialTransport : public Transport {
 public:
  SerialTransport(Simulator::Core& core, std::unique_ptr<os::SerialEndpoint> endpoint)
      : core_(core), ep_(std::move(endpoint)) {
    thread_ = std::thread([this] { Loop(); });
  }

  ~SerialTransport() override {
    stop_ = true;
    thread_.join();
  }

 private:
  enum class State { kIdle, kRaw, kSwitch, kPacket, kDiscard };

  void Loop() {
    uint8_t buffer[4096];
    while (!stop_) {
      const int wait = core_.MsUntilDue(Link::kSerial, true, kLoopWaitMs);
      const int n = ep_->Read(buffer, sizeof(buffer), wait);
      const Clock::time_point now = Clock::now();
      if (n > 0) {
        core_.OnSerialBytes(buffer, static_cast<size_t>(n));
        SerialSettings settings;
        if (ep_->LineSettings(settings)) core_.OnSerialSettings(settings);
        // During a download the bytes are file data by count, whatever they are.
        const size_t data = state_ == State::kIdle ? core_.OnSerialData(buffer, static_cast<size_t>(n)) : 0;
        for (int i = static_cast<int>(data); i < n; ++i) Feed(buffer[i]);
        if (state_ == State::kRaw && !(pending_.size() == 1 && pending_[0] == 0x1B)) FinishRaw();
        lastByte_ = now;
      } else if (n < 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kLoopWaitMs));
      }
      CheckQuiet(now);
      Deliver();
      DeliverData();
    }
  }

  void Start(uint8_t b) {
    pending_.assign(1, b);
    state_ = b == kStx ? State::kPacket : State::kRaw;
    packetTotal_ = 0;
  }

  void Feed(uint8_t b) {
    switch (state_) {
      case State::kIdle:
        Start(b);
        return;
      case State::kRaw:
        if (pending_.size() == 1 && pending_[0] == 0x1B && b == 0x25) {
          state_ = State::kSwitch;
        } else if (b == kStx || b == 0x1B) {
          FinishRaw();
          Start(b);
        } else {
          pending_.push_back(b);
          if (pending_.size() >= kMaxRawSequence) FinishRaw();
        }
        return;
      case State::kSwitch:
        core_.OnChannelSwitch(b);
        pending_.clear();
        state_ = State::kIdle;
        return;
      case State::kPacket:
        pending_.push_back(b);
        if (pending_.size() == 5) {
          size_t announced = 0;
          if (!ReadLengthField(pending_.data(), pending_.size(), announced)) {
            state_ = State::kDiscard;  // no length to go by: drop what follows until quiet
            return;
          }
          packetTotal_ = 2 * announced + kPacketOverhead;
        }
        if (packetTotal_ > 0 && pending_.size() == packetTotal_) FinishPacket();
        return;
      case State::kDiscard:
        if (pending_.size() < kMaxRawSequence) pending_.push_back(b);
        return;
    }
  }

  void FinishRaw() {
    core_.OnRawSequence(Link::kSerial, -1, pending_);
    pending_.clear();
    state_ = State::kIdle;
  }

  void FinishPacket() {
    Bytes payload;
    const DecodeResult result = DecodePacket(pending_, payload);
    if (result == DecodeResult::kOk) {
      core_.OnRequest(Link::kSerial, -1, std::move(payload));
    } else {
      core_.OnBadPacket(Link::kSerial, pending_, result);
    }
    pending_.clear();
    state_ = State::kIdle;
  }

  void CheckQuiet(Clock::time_point now) {
    if (state_ == State::kIdle) return;
    const auto quiet = std::chrono::duration_cast<std::chrono::milliseconds>(now - lastByte_).count();
    if (state_ == State::kRaw && quiet >= kLoneEscQuietMs) {
      FinishRaw();
    } else if (quiet >= kPartialQuietMs) {
      if (state_ == State::kSwitch) {
        core_.OnRawSequence(Link::kSerial, -1, Bytes{0x1B, 0x25});
      } else {
        core_.OnBadPacket(Link::kSerial, pending_,
                          state_ == State::kDiscard ? DecodeResult::kBadCharacter : DecodeResult::kBadLength);
      }
      pending_.clear();
      state_ = State::kIdle;
    }
  }

  void Deliver() {
    std::vector<Outgoing> due = core_.TakeDue(Link::kSerial, Clock::now(), true);
    for (Outgoing& item : due) {
      CutPacket(item, item.packet.size());  // one write unless the faults cut it
      while (item.next < item.chunks.size()) {
        const Bytes& piece = item.chunks[item.next++];
        if (!piece.empty() && !ep_->Write(piece.data(), piece.size())) core_.OnUndelivered();
        if (item.gapMs > 0 && item.next < item.chunks.size()) {
          core_.Requeue(std::move(item));
          break;
        }
      }
    }
  }

  // Upload packages due now.
  void DeliverData() {
    Bytes chunk;
    int id = -1;
    bool closeLink = false;
    while (core_.NextUploadChunk(Link::kSerial, Clock::now(), chunk, id, closeLink)) {
      if (!chunk.empty() && !ep_->Write(chunk.data(), chunk.size())) core_.OnUndelivered();
    }
  }

  Simulator::Core& core_;
  std::unique_ptr<os::SerialEndpoint> ep_;
  State state_ = State::kIdle;
  Bytes pending_;
  size_t packetTotal_ = 0;
  Clock::time_point lastByte_ = Clock::now();
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace

std::unique_ptr<Transport> StartSerialTransport(Simulator::Core& core, const std::string& name,
                                                std::string& path, std::string& error) {
  std::unique_ptr<os::SerialEndpoint> ep = os::OpenSimulatorSerial(name, error);
  if (!ep) return nullptr;
  path = ep->Path();
  return std::unique_ptr<Transport>(new SerialTransport(core, std::move(ep)));
}

}  // namespace rv270sim
