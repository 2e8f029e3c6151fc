#include "core.h"

#include <algorithm>

namespace rv270sim {

Bytes BuildPacket(const Bytes& payload, const Faults& f) {
  Bytes packet = EncodePacket(payload);
  const size_t n = packet.size();
  if (f.announceLength >= 0) {
    Bytes field;
    AppendNibbles(field, static_cast<uint8_t>((f.announceLength >> 8) & 0xFF));
    AppendNibbles(field, static_cast<uint8_t>(f.announceLength & 0xFF));
    std::copy(field.begin(), field.end(), packet.begin() + 1);
  }
  if (f.badCheck) {
    Bytes check;
    AppendNibbles(check, static_cast<uint8_t>(CheckByte(payload) ^ 0x5A));
    packet[n - 3] = check[0];
    packet[n - 2] = check[1];
  }
  if (f.badStx) packet[0] = 0x12;
  if (f.badEtx) packet[n - 1] = 0x13;
  if (f.corruptAt >= 0 && static_cast<size_t>(f.corruptAt) < n) packet[f.corruptAt] ^= f.corruptXor;
  if (f.truncateTo >= 0 && static_cast<size_t>(f.truncateTo) < n) packet.resize(f.truncateTo);
  return packet;
}

void CutPacket(Outgoing& item, size_t pieceSize) {
  if (item.cut) return;
  item.cut = true;
  if (pieceSize == 0) pieceSize = 1;
  if (item.chunkBytes > 0 && static_cast<size_t>(item.chunkBytes) < pieceSize) pieceSize = item.chunkBytes;
  const Bytes& p = item.packet;
  for (size_t at = 0, index = 0; at < p.size(); at += pieceSize, ++index) {
    if (static_cast<int>(index) == item.dropReport) continue;
    item.chunks.emplace_back(p.begin() + at, p.begin() + std::min(p.size(), at + pieceSize));
  }
}

// ---- arrivals ----

void Simulator::Core::OnRequest(Link link, int connection, Bytes payload) {
  std::lock_guard<std::mutex> lock(mu);
  PushCapped(requests, RequestRecord{link, payload});
  if (TakeAck(link, payload)) return;
  state.reportPayload = devices.empty() || devices.front().inputReportLength < 2
                            ? 64 : devices.front().inputReportLength - 1;
  Request request{link, std::move(payload)};
  const CommandInfo* info = commands.Find(request.Class(), request.Command());
  const CommandKind kind = info ? info->kind : CommandKind::kPlain;
  auto runHandler = [&]() { return info ? info->handler(request, state) : Answer::Done(); };

  Answer answer;
  auto script = std::find_if(scripts.begin(), scripts.end(), [&](const Scripted& s) {
    return s.anyCommand || (s.cls == request.Class() && s.cmd == request.Command());
  });
  if (script == scripts.end()) {
    if (state.customerAtPage && kind == CommandKind::kWaits && info) {
      if (HoldForPage(link, connection, request, *info, answer)) return;
    } else {
      answer = runHandler();
    }
  } else {
    const Answer scripted = script->answer;
    scripts.erase(script);
    if (scripted.fromHandler) {
      answer = runHandler();
      answer.delayMs += scripted.delayMs;
      answer.silent = answer.silent || scripted.silent;
      if (scripted.faults.Any()) answer.faults = scripted.faults;
    } else {
      answer = scripted;
    }
  }

  if (!answer.silent) {
    Faults f = answer.faults;
    if (!f.Any() && !faults.empty()) {
      f = faults.front();
      faults.pop_front();
    }
    EnqueueAnswer(link, connection, answer.payload, f, answer.delayMs,
                  kind == CommandKind::kWaits && answer.delayMs > 0);
    ArmSession(link, connection, request, answer);
  }
  if (kind == CommandKind::kEndsWaits) BreakOffWaits();
}

void Simulator::Core::OnRawSequence(Link link, int connection, Bytes bytes) {
  std::lock_guard<std::mutex> lock(mu);
  PushCapped(raws, RawRecord{link, std::move(bytes)});
  std::deque<RawSend>& replies = rawReplies[static_cast<int>(link)];
  if (replies.empty()) return;
  Outgoing item;
  item.link = link;
  item.connection = connection;
  item.chunks = replies.front().chunks;
  item.cut = true;
  item.gapMs = replies.front().gapMs;
  const int delay = replies.front().delayMs;
  replies.pop_front();
  Enqueue(std::move(item), delay);
}

void Simulator::Core::OnBadPacket(Link link, Bytes bytes, DecodeResult result) {
  std::lock_guard<std::mutex> lock(mu);
  PushCapped(badPackets, BadPacketRecord{link, std::move(bytes), result});
}

void Simulator::Core::OnProtocolError(const std::string& text) {
  std::lock_guard<std::mutex> lock(mu);
  if (protocolErrors.size() < 1000) protocolErrors.push_back(text);
}

void Simulator::Core::OnOutputReport(const uint8_t* report, size_t length) {
  std::lock_guard<std::mutex> lock(mu);
  PushCapped(outputReports, Bytes(report, report + length));
}

void Simulator::Core::OnFeature(FeatureRecord record) {
  std::lock_guard<std::mutex> lock(mu);
  PushCapped(features, std::move(record));
}

void Simulator::Core::OnSerialBytes(const uint8_t* data, size_t length) {
  std::lock_guard<std::mutex> lock(mu);
  for (size_t i = 0; i < length; ++i) PushCapped(serialBytes, data[i], kMaxSerialRecord);
}

void Simulator::Core::OnSerialSettings(const SerialSettings& settings) {
  std::lock_guard<std::mutex> lock(mu);
  if ((serialSettings.empty() || serialSettings.back() != settings) && serialSettings.size() < kMaxRecords) {
    serialSettings.push_back(settings);
  }
}

void Simulator::Core::OnChannelSwitch(uint8_t letter) {
  std::lock_guard<std::mutex> lock(mu);
  if (channelLetters.size() < kMaxRecords) channelLetters.push_back(static_cast<char>(letter));
}

void Simulator::Core::OnSearch() {
  std::lock_guard<std::mutex> lock(mu);
  ++searches;
}

bool Simulator::Core::UsbUnplugged() {
  std::lock_guard<std::mutex> lock(mu);
  return usbUnplugged;
}

bool Simulator::Core::OnOpen(size_t index, DeviceRecord& record) {
  std::lock_guard<std::mutex> lock(mu);
  if (usbUnplugged || index >= devices.size() || !devices[index].openable) {
    ++refusedOpens;
    return false;
  }
  record = devices[index];
  ++linksOpened;
  return true;
}

void Simulator::Core::OnLinkClosed() {
  std::lock_guard<std::mutex> lock(mu);
  ++linksClosed;
}

void Simulator::Core::OnUndelivered() {
  std::lock_guard<std::mutex> lock(mu);
  ++undelivered;
}

bool Simulator::Core::FeatureReportsWork() {
  std::lock_guard<std::mutex> lock(mu);
  return featureReportsWork;
}

Bytes Simulator::Core::DeviceListPayload() {
  std::lock_guard<std::mutex> lock(mu);
  Bytes out;
  if (usbUnplugged) return out;
  auto be16 = [&out](uint16_t v) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v & 0xFF));
  };
  auto text = [&out](const std::string& t) {
    const size_t k = std::min<size_t>(t.size(), 255);
    out.push_back(static_cast<uint8_t>(k));
    out.insert(out.end(), t.begin(), t.begin() + k);
  };
  for (const DeviceRecord& r : devices) {
    if (out.size() + 10 + 2 + 2 * 255 > kMaxPayload) break;  // the frame holds 65535 bytes
    be16(r.vendorId);
    be16(r.productId);
    be16(r.inputReportLength);
    be16(r.outputReportLength);
    be16(r.featureReportLength);
    text(r.className);
    text(r.hardwareId);
  }
  return out;
}

// ---- the outgoing queue ----

void Simulator::Core::Enqueue(Outgoing item, int delayMs) {
  item.due = Clock::now() + std::chrono::milliseconds(delayMs > 0 ? delayMs : 0);
  item.seq = nextSeq++;
  outgoing.push_back(std::move(item));
}

void Simulator::Core::EnqueueAnswer(Link link, int connection, const Bytes& payload, const Faults& f,
                                    int delayMs, bool breakable) {
  Outgoing item;
  item.link = link;
  item.connection = connection;
  item.isPacket = true;
  item.packet = BuildPacket(payload, f);
  item.dropReport = f.dropReport;
  item.chunkBytes = f.chunkBytes;
  item.gapMs = f.chunkGapMs;
  item.breakable = breakable;
  Enqueue(std::move(item), delayMs);
}

void Simulator::Core::BreakOffWaits() {
  std::vector<Outgoing> broken;
  for (auto it = outgoing.begin(); it != outgoing.end();) {
    if (it->breakable) {
      broken.push_back(std::move(*it));
      it = outgoing.erase(it);
    } else {
      ++it;
    }
  }
  if (!broken.empty()) WipeTyped();
  if (state.breakOffAnswer.empty()) return;
  for (const Outgoing& wait : broken) {
    EnqueueAnswer(wait.link, wait.connection, state.breakOffAnswer, Faults(), 0, false);
  }
}

std::vector<Outgoing> Simulator::Core::TakeDue(Link link, Clock::time_point now, bool anyLinkOpen) {
  std::lock_guard<std::mutex> lock(mu);
  std::vector<Outgoing> due;
  for (auto it = outgoing.begin(); it != outgoing.end();) {
    const bool waitsForLink = link == Link::kUsb && it->connection < 0 && !anyLinkOpen;
    if (it->link == link && it->due <= now && !waitsForLink) {
      due.push_back(std::move(*it));
      it = outgoing.erase(it);
    } else {
      ++it;
    }
  }
  std::sort(due.begin(), due.end(), [](const Outgoing& a, const Outgoing& b) {
    return a.due != b.due ? a.due < b.due : a.seq < b.seq;
  });
  return due;
}

void Simulator::Core::Requeue(Outgoing item) {
  std::lock_guard<std::mutex> lock(mu);
  item.due = Clock::now() + std::chrono::milliseconds(item.gapMs);
  outgoing.push_back(std::move(item));
}

int Simulator::Core::MsUntilDue(Link link, bool anyLinkOpen, int cap) {
  std::lock_guard<std::mutex> lock(mu);
  const Clock::time_point now = Clock::now();
  int wait = cap;
  const int upload = UploadWaitMs(link, now);
  if (upload >= 0 && upload < wait) wait = upload;
  for (const Outgoing& o : outgoing) {
    if (o.link != link || (link == Link::kUsb && o.connection < 0 && !anyLinkOpen)) continue;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(o.due - now).count();
    if (ms <= 0) return 0;
    if (ms < wait) wait = static_cast<int>(ms);
  }
  return wait;
}

}  // namespace rv270sim
