// File transfers and the file store (class 0x50): block download over USB (0x04 single
// file, 0x05 one file of a batch), the serial package download (0x79), upload on demand
// (0x08), the category list (0x06), deletion (0x07) and the serial rate switch (0x99).
// After an accepted handshake the link carries data by count: USB output reports or
// serial bytes are file data until the announced length has arrived, whatever their
// first byte. Stored files keep their size and hash; their bytes only while small.
#include <algorithm>

#include "commands.h"
#include "core.h"

namespace rv270sim {
namespace {

constexpr uint64_t kFnvOffset = 1469598103934665603ull;
constexpr uint64_t kFnvPrime = 1099511628211ull;
constexpr int kPackageSize = 1024;
constexpr uint64_t kBlockWireBytes = 1048576;
constexpr size_t kDataRecords = 4096;
// The rate-switch answer goes out at the new rate, once the library has reopened.
constexpr int kRateAnswerDelayMs = 400;
// The installation answer after the switch back, once the library has reopened the port.
constexpr int kInstallAfterRateMs = 500;
// Line time of one unit in microseconds: a 64-byte report per ms; 1024 bytes of 10 bits
// at 115200 bit/s.
constexpr int64_t kReportMicros = 1000;
constexpr int64_t kPackageMicros = 1024LL * 10 * 1000000 / 115200;

uint64_t Fnv(uint64_t hash, uint8_t byte) { return (hash ^ byte) * kFnvPrime; }

uint8_t SourceByte(const StoredFile& f, uint64_t i) {
  if (f.kept) return i < f.content.size() ? f.content[i] : 0;
  return PatternByte(i);
}

// Total USB transfer length of a file: its bytes plus one check byte per report.
uint64_t WireLength(uint64_t size, int cs) {
  const uint64_t per = static_cast<uint64_t>(cs - 1);
  return size + (size + per - 1) / per;
}

struct Handshake {
  int category = 0;
  uint64_t total = 0;
  std::string name;
};

bool ParseHandshake(const Request& r, Handshake& h) {
  FieldReader f(r);
  int length = 0;
  uint32_t total = 0;
  if (r.Command() == 0x79) {
    std::string field;
    if (!(f.U8(h.category) && f.Text(24, field) && f.U32(total) && f.End())) return false;
    h.name = field.substr(0, field.find('\0'));
  } else if (r.Command() == 0x04) {
    if (!(f.U8(h.category) && f.U32(total) && f.U16(length) && f.Text(length, h.name) && f.End())) return false;
  } else {
    int count = 0, index = 0;
    uint32_t batchTotal = 0;
    if (!(f.U8(h.category) && f.U32(total) && f.U8(count) && f.U8(index) && f.U32(batchTotal) && f.U16(length) &&
          f.Text(length, h.name) && f.End()))
      return false;
  }
  h.total = total;
  return true;
}

Answer AcceptFile(const Request& r, DeviceState& s) {
  Handshake h;
  if (!ParseHandshake(r, h)) {
    ++s.transfersRefused;
    return Malformed(s);
  }
  return Answer::Done();
}

// 0x50 0x08: category(1) L(2) name -> 00 00 and the transfer length (3 bytes).
Answer OfferFile(const Request& r, DeviceState& s) {
  FieldReader f(r);
  int category = 0, length = 0;
  std::string name;
  if (!(f.U8(category) && f.U16(length) && f.Text(length, name) && f.End())) return Malformed(s);
  auto it = s.files.find({category, name});
  if (it == s.files.end()) return Answer::Status(0x50, 0x08);
  const uint64_t total = r.link == Link::kUsb ? WireLength(it->second.size, s.reportPayload) : it->second.size;
  if (total > 0xFFFFFF) return Answer::Status(0x50, 0x08);
  return Answer::Done(Bytes{static_cast<uint8_t>(total >> 16), static_cast<uint8_t>(total >> 8),
                            static_cast<uint8_t>(total)});
}

// 0x50 0x06: category -> the names, each followed by "\r\n".
Answer ListFiles(const Request& r, DeviceState& s) {
  FieldReader f(r);
  int category = 0;
  if (!(f.U8(category) && f.End())) return Malformed(s);
  std::string list;
  for (const auto& entry : s.files) {
    if (entry.first.first == category) list += entry.first.second + "\r\n";
  }
  return Answer::Done(list);
}

// 0x50 0x07: 00 L(2) name deletes that file (00 01 when there is none); a category
// byte deletes every file of the category.
Answer DeleteFiles(const Request& r, DeviceState& s) {
  FieldReader f(r);
  int category = 0;
  if (!f.U8(category)) return Malformed(s);
  if (category != 0) {
    if (!f.End()) return Malformed(s);
    for (auto it = s.files.begin(); it != s.files.end();) {
      it = it->first.first == category ? s.files.erase(it) : std::next(it);
    }
    return Answer::Done();
  }
  int length = 0;
  std::string name;
  if (!(f.U16(length) && f.Text(length, name) && f.End())) return Malformed(s);
  bool found = false;
  for (auto it = s.files.begin(); it != s.files.end();) {
    if (it->first.second == name) {
      it = s.files.erase(it);
      found = true;
    } else {
      ++it;
    }
  }
  return found ? Answer::Done() : Answer::Status(0x00, 0x01);
}

// 0x50 0x99: rate code -> 00 00 at the new rate.
Answer SwitchRate(const Request& r, DeviceState& s) {
  FieldReader f(r);
  int code = 0;
  if (!(f.U8(code) && f.End())) return Malformed(s);
  static const char* const kRates[] = {"9600", "9600", "19200", "38400", "57600", "115200", "1200", "4800"};
  if (code < 1 || code > 7) return Answer::Of(Bytes{0x50, 0x99, 0x01});
  s.serialRate = kRates[code];
  return Answer::Status(0x00, 0x00, kRateAnswerDelayMs);
}

}  // namespace

void RegisterFileCommands(CommandTable& t) {
  t.Add(0x50, 0x04, AcceptFile);
  t.Add(0x50, 0x05, AcceptFile);
  t.Add(0x50, 0x79, AcceptFile);
  t.Add(0x50, 0x06, ListFiles);
  t.Add(0x50, 0x07, DeleteFiles);
  t.Add(0x50, 0x08, OfferFile);
  t.Add(0x50, 0x99, SwitchRate);
}

// ---- the session, driven by the transports ----

void Simulator::Core::ArmSession(Link link, int connection, const Request& request, const Answer& answer) {
  if (pendingInstall && link == Link::kSerial && request.Class() == 0x50 && request.Command() == 0x99) {
    pendingInstall = false;
    EnqueueAnswer(link, connection, state.installAnswer, Faults(), answer.delayMs + kInstallAfterRateMs + state.installDelayMs,
                  false);
    return;
  }
  if (request.Class() != 0x50 || answer.payload.size() < 2 || answer.payload[0] != 0 || answer.payload[1] != 0) return;
  const uint8_t cmd = request.Command();
  FileSession s;
  s.link = link;
  s.connection = connection;
  s.started = Clock::now();
  s.paceStart = s.started;
  if (cmd == 0x04 || cmd == 0x05 || cmd == 0x79) {
    Handshake h;
    if (!ParseHandshake(request, h)) return;
    s.kind = FileSession::Kind::kDownload;
    s.category = h.category;
    s.name = h.name;
    s.total = h.total;
    s.hash = kFnvOffset;
    s.unit = cmd == 0x79 ? kPackageSize : state.reportPayload;
    s.unitsPerBlock = cmd == 0x79 ? 1 : kBlockWireBytes / static_cast<uint64_t>(s.unit);
    const uint64_t fileSize = cmd == 0x79 ? h.total : h.total - (h.total + s.unit - 1) / s.unit;
    s.keep = fileSize <= kKeptFileBytes;
    session = std::move(s);
    if (session.total == 0) {
      StoreReceived();
      if (h.category == 5 && !state.installAnswer.empty()) {
        EnqueueAnswer(link, connection, state.installAnswer, Faults(), state.installDelayMs, false);
      }
    }
  } else if (cmd == 0x08 && answer.payload.size() >= 5) {
    FieldReader f(request);
    int category = 0, length = 0;
    std::string name;
    if (!(f.U8(category) && f.U16(length) && f.Text(length, name))) return;
    auto it = state.files.find({category, name});
    if (it == state.files.end()) return;
    s.kind = FileSession::Kind::kUpload;
    s.source = it->second;
    s.unit = link == Link::kUsb ? state.reportPayload : kPackageSize;
    s.total = link == Link::kUsb ? WireLength(s.source.size, s.unit) : s.source.size;
    s.units = (s.total + s.unit - 1) / s.unit;
    s.unitsPerBlock = link == Link::kUsb ? kBlockWireBytes / static_cast<uint64_t>(s.unit) : 1;
    session = std::move(s);
    if (session.units == 0) session.kind = FileSession::Kind::kNone;
  }
}

void Simulator::Core::StoreReceived() {
  StoredFile f;
  f.size = session.fileBytes;
  f.hash = session.hash;
  f.kept = session.keep;
  f.content = std::move(session.content);
  state.files[{session.category, session.name}] = std::move(f);
  session.kind = FileSession::Kind::kNone;
}

void Simulator::Core::EndOfBlock(Clock::time_point now) {
  FileSession& s = session;
  const TransferFaults& tf = transferFaults;
  const bool last = s.done == s.total;
  Bytes feedback{0x00, 0x00};
  if (s.block == tf.resendBlock && (tf.resendTimes < 0 || s.resends < tf.resendTimes)) {
    feedback = {0x00, 0x01};
    ++s.resends;
  } else if (s.blockBad) {
    feedback = {0x00, 0x01};
  } else if (s.block == tf.statusBlock) {
    feedback = tf.status;
  }
  const bool send = s.block != tf.noFeedbackBlock;
  const Faults damage = s.block == tf.damagedFeedbackBlock ? tf.feedbackFaults : Faults();
  int delayMs = 0;
  if (linePacing) {
    const auto due = s.started + std::chrono::microseconds(static_cast<int64_t>(s.unitsSeen) *
                                                           (s.link == Link::kUsb ? kReportMicros : kPackageMicros));
    delayMs = static_cast<int>(std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count()));
  }
  const Link link = s.link;
  const int connection = s.connection;
  s.unitsInBlock = 0;
  s.blockBad = false;
  bool installed = false;
  if (feedback == Bytes{0x00, 0x01}) {
    s.done = s.blockStartDone;
    s.fileBytes = s.blockStartFile;
    s.hash = s.blockStartHash;
    if (s.keep) s.content.resize(s.fileBytes);
  } else if (last) {
    if (feedback == Bytes{0x00, 0x00}) {
      installed = s.category == 5;
      StoreReceived();
    } else {
      s.kind = FileSession::Kind::kNone;
    }
  } else if (s.link == Link::kSerial && feedback != Bytes{0x00, 0x00}) {
    s.kind = FileSession::Kind::kNone;  // the library ends a serial download on any refusal
  } else {
    ++s.block;
    s.resends = 0;
    s.blockStartDone = s.done;
    s.blockStartFile = s.fileBytes;
    s.blockStartHash = s.hash;
  }
  if (!send) {
    s.kind = FileSession::Kind::kNone;
    return;
  }
  EnqueueAnswer(link, connection, feedback, damage, delayMs, false);
  if (installed && !state.installAnswer.empty()) {
    // Over a serial port the library first switches the rate back: the answer follows that.
    if (link == Link::kSerial) {
      pendingInstall = true;
    } else {
      EnqueueAnswer(link, connection, state.installAnswer, Faults(), delayMs + state.installDelayMs, false);
    }
  }
}

bool Simulator::Core::OnDataReport(Link link, int connection, const uint8_t* body, size_t length) {
  std::lock_guard<std::mutex> lock(mu);
  FileSession& s = session;
  if (s.kind != FileSession::Kind::kDownload || s.link != link || s.connection != connection || length < 2) {
    return false;
  }
  const uint64_t bytes = std::min<uint64_t>(length, s.total - s.done);
  uint8_t check = 0;
  for (uint64_t i = 0; i + 1 < bytes; ++i) {
    check ^= body[i];
    s.hash = Fnv(s.hash, body[i]);
  }
  if (s.keep) s.content.insert(s.content.end(), body, body + (bytes - 1));
  if (check != body[bytes - 1]) s.blockBad = true;
  s.fileBytes += bytes - 1;
  s.done += bytes;
  ++s.unitsInBlock;
  ++s.unitsSeen;
  ++dataReportCount;
  PushCapped(dataReports, Bytes(body, body + bytes), kDataRecords);
  if (s.unitsInBlock == s.unitsPerBlock || s.done == s.total) EndOfBlock(Clock::now());
  return true;
}

size_t Simulator::Core::OnSerialData(const uint8_t* data, size_t length) {
  std::lock_guard<std::mutex> lock(mu);
  size_t taken = 0;
  while (taken < length && session.kind == FileSession::Kind::kDownload && session.link == Link::kSerial) {
    FileSession& s = session;
    const uint64_t packageLeft = kPackageSize - (s.done % kPackageSize);
    const size_t n = static_cast<size_t>(std::min<uint64_t>({length - taken, s.total - s.done, packageLeft}));
    for (size_t i = 0; i < n; ++i) s.hash = Fnv(s.hash, data[taken + i]);
    if (s.keep) s.content.insert(s.content.end(), data + taken, data + taken + n);
    s.fileBytes += n;
    s.done += n;
    dataReportCount += n;
    taken += n;
    if (s.done % kPackageSize == 0 || s.done == s.total) {
      ++s.unitsSeen;
      EndOfBlock(Clock::now());
    }
  }
  return taken;
}

bool Simulator::Core::TakeAck(Link link, const Bytes& payload) {
  FileSession& s = session;
  if (s.kind != FileSession::Kind::kUpload || s.link != link || !s.awaitingAck || payload != Bytes{0x00, 0x00}) {
    return false;
  }
  s.awaitingAck = false;
  if (s.next >= s.units) {
    s.kind = FileSession::Kind::kNone;
  } else {
    s.paceStart = Clock::now();
    s.paceFirst = s.next;
  }
  return true;
}

int Simulator::Core::UploadWaitMs(Link link, Clock::time_point now) const {
  const FileSession& s = session;
  if (s.kind != FileSession::Kind::kUpload || s.link != link || s.awaitingAck || s.next >= s.units) return -1;
  if (!linePacing) return 0;
  const int64_t micros = link == Link::kUsb ? kReportMicros : kPackageMicros;
  const auto due = s.paceStart + std::chrono::microseconds(static_cast<int64_t>(s.next - s.paceFirst + 1) * micros);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count();
  return ms > 0 ? static_cast<int>(ms) : 0;
}

bool Simulator::Core::NextUploadChunk(Link link, Clock::time_point now, Bytes& chunk, int& connection,
                                      bool& closeLink) {
  std::lock_guard<std::mutex> lock(mu);
  closeLink = false;
  for (;;) {
    if (UploadWaitMs(link, now) != 0) return false;
    FileSession& s = session;
    const TransferFaults& tf = transferFaults;
    const uint64_t i = s.next++;
    const int64_t index = static_cast<int64_t>(i);
    const bool last = s.next == s.units;
    if (link == Link::kUsb) {
      const int cs = s.unit;
      const uint64_t bytes = last && s.total % cs ? s.total % cs : static_cast<uint64_t>(cs);
      chunk.assign(bytes, 0);
      const uint64_t offset = i * static_cast<uint64_t>(cs - 1);
      uint8_t check = 0;
      for (uint64_t k = 0; k + 1 < bytes; ++k) {
        chunk[k] = SourceByte(s.source, offset + k);
        check ^= chunk[k];
      }
      chunk[bytes - 1] = index == tf.corruptReport ? static_cast<uint8_t>(check ^ 0xFF) : check;
      if (s.next % s.unitsPerBlock == 0 || last) s.awaitingAck = true;
    } else {
      const uint64_t offset = i * kPackageSize;
      const uint64_t bytes = std::min<uint64_t>(kPackageSize, s.total - offset);
      chunk.assign(bytes, 0);
      for (uint64_t k = 0; k < bytes; ++k) chunk[k] = SourceByte(s.source, offset + k);
      if (index == tf.corruptReport && bytes) chunk[0] ^= 0xFF;
      s.awaitingAck = true;
    }
    connection = s.connection;
    if (index == tf.silenceAfter || index == tf.closeAfter) {
      closeLink = index == tf.closeAfter;
      s.kind = FileSession::Kind::kNone;
    }
    if (index == tf.dropReport) {
      if (s.kind == FileSession::Kind::kNone) return false;
      continue;
    }
    return true;
  }
}

size_t Simulator::Core::DataAllowance(Link link, int connection, Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mu);
  const FileSession& s = session;
  if (!linePacing || s.kind != FileSession::Kind::kDownload || s.link != link || s.connection != connection) {
    return static_cast<size_t>(-1);
  }
  // One report frame of the transport (type, length, report id and payload) per ms.
  const int64_t frame = 3 + 1 + s.unit;
  const int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - s.started).count();
  const int64_t ahead = (ms + 1) * frame - static_cast<int64_t>(s.unitsSeen) * frame;
  return ahead > 0 ? static_cast<size_t>(ahead) : 0;
}

void Simulator::Core::AbandonUpload(Link link) {
  std::lock_guard<std::mutex> lock(mu);
  if (session.kind == FileSession::Kind::kUpload && session.link == link) session.kind = FileSession::Kind::kNone;
}

StoredFile KeptFile(const Bytes& content) {
  StoredFile f;
  f.size = content.size();
  f.hash = kFnvOffset;
  for (uint8_t b : content) f.hash = Fnv(f.hash, b);
  f.kept = true;
  f.content = content;
  return f;
}

// ---- the public members ----

void Simulator::PutFile(int category, const std::string& name, const Bytes& content) {
  std::lock_guard<std::mutex> lock(core_->mu);
  core_->state.files[{category, name}] = KeptFile(content);
}

void Simulator::PutPatternFile(int category, const std::string& name, uint64_t size) {
  std::lock_guard<std::mutex> lock(core_->mu);
  StoredFile f;
  f.size = size;
  f.hash = kFnvOffset;
  for (uint64_t i = 0; i < size; ++i) f.hash = Fnv(f.hash, PatternByte(i));
  f.pattern = true;
  core_->state.files[{category, name}] = std::move(f);
}

void Simulator::SetTransferFaults(const TransferFaults& faults) {
  std::lock_guard<std::mutex> lock(core_->mu);
  core_->transferFaults = faults;
}

void Simulator::SetLinePacing(bool on) {
  std::lock_guard<std::mutex> lock(core_->mu);
  core_->linePacing = on;
}

std::vector<Bytes> Simulator::DataReports() const {
  std::lock_guard<std::mutex> lock(core_->mu);
  return std::vector<Bytes>(core_->dataReports.begin(), core_->dataReports.end());
}

uint64_t Simulator::DataReportCount() const {
  std::lock_guard<std::mutex> lock(core_->mu);
  return core_->dataReportCount;
}

}  // namespace rv270sim
