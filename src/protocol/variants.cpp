#include "protocol/variants.h"

#include <cstring>
#include <memory>
#include <vector>

#include "link/process_state.h"
#include "link/serial_link.h"
#include "link/usbhid_link.h"
#include "log/log.h"
#include "platform/time.h"
#include "protocol/exchange.h"
#include "protocol/hid_exchange.h"
#include "protocol/link_session.h"
#include "protocol/packet.h"
#include "protocol/serial_exchange.h"
#include "protocol/wiped_buffer.h"

namespace {

constexpr int kAckWaitMs = 2000;
constexpr size_t kReceiveOnlyBuffer = 102400;
constexpr size_t kEndAnswerLength = 12;  // the terminal's answer packet to an end sequence
constexpr size_t kReportBuffer = 4096;

// The broken-off run result when a cancel is found pending, otherwise the failure.
int FailedRead() { return TakeCancel() ? kKeyRunBrokenOff : kKeyRunFailed; }

// Opens the session's link for a key run or receive-only wait; 0 or the failure result.
int OpenRun(LinkSession& session) {
  if (!session.Acquired()) return kBusy;
  return session.Open();
}

// Opens the USB link and writes the start sequence of a key run: 0, or the failure
// result (the link closed again when the start sequence could not be written).
int StartUsbKeyRun(LinkSession& session, const KeySequences& seq, int timeoutMs) {
  const int opened = OpenRun(session);
  if (opened != 0) return opened;
  if (session.SendPacket(seq.start, seq.startLength, timeoutMs) < 0) {
    session.Close();
    return kKeyRunNoStart;
  }
  return 0;
}

// Writes a raw sequence over USB and reads the terminal's answer report (not used).
void SendPackageAndAck(LinkSession& session, const uint8_t* seq, int length, int timeoutMs) {
  session.SendPacket(seq, length, timeoutMs);
  WipedArray<kReportBuffer> report;
  session.ReadReport(report.data, kAckWaitMs);
}

// One report's payload (without its id byte): its length, kHidWaitBrokenOff, or
// kHidNoAnswer (time-out or failure).
int RecvOneReport(LinkSession& session, uint8_t* out, size_t capacity, int timeoutMs) {
  WipedArray<kReportBuffer> report;
  const int got = session.ReadReport(report.data, timeoutMs);
  if (got == kReportBrokenOff) return kHidWaitBrokenOff;
  if (got < 0) return kHidNoAnswer;
  const size_t n = static_cast<size_t>(got - 1) < capacity ? static_cast<size_t>(got - 1) : capacity;
  memcpy(out, report.data + 1, n);
  return static_cast<int>(n);
}

// Stores the keys (edited or not) into the caller's text: exactly the resulting text
// and a zero byte. Editing happens in a buffer of its own, so that characters a
// backspace removed are never left behind in the caller's buffer.
int StoreText(bool edit, int mode, const uint8_t* keys, int count, uint8_t* text) {
  WipedArray<kMaxKeys + 1> edited;
  const int length = edit ? EditBackspaces(mode, keys, count, edited.data) : count;
  if (!edit && count) memcpy(edited.data, keys, static_cast<size_t>(count));
  memcpy(text, edited.data, static_cast<size_t>(length));
  text[length] = 0;
  return length;
}

// Serial: writes the end sequence and reads the terminal's 12-byte answer to it.
void SerialEndWithAnswer(const KeySequences& seq) {
  CSerial& serial = SerialDevice();
  serial.WriteData(seq.end, static_cast<size_t>(seq.endLength));
  uint8_t answer[kEndAnswerLength] = {0};
  serial.ReadExact(answer, sizeof(answer), kAckWaitMs);
}

// Result of CollectPlainKeys when a key did not arrive.
constexpr int kReadFailed = 1;

// Reads keys with `next` (false: no key) until the enter key, then edits them into the
// caller's text. 0 done; -2 when the terminal's entry time ran out or more than kMaxKeys
// keys came; kReadFailed when a key did not arrive.
template <typename NextKey>
int CollectPlainKeys(NextKey next, int mode, uint8_t* text, int* textLength) {
  WipedArray<kMaxKeys + 1> keys;
  int count = 0;
  for (;;) {
    uint8_t key = 0;
    if (!next(key)) return kReadFailed;
    if (key == kEnterKey) break;
    if (count == kMaxKeys) {
      WriteLog('E', "key input longer than %d keys!", kMaxKeys);
      return kKeyRunFailed;
    }
    keys[count++] = key;
  }
  if (count > 0 && keys[0] == kEntryTimedOut) return kKeyRunFailed;
  const int length = StoreText(true, mode, keys.data, count, text);
  // The length counts up to the first zero byte, as the caller reads the text.
  *textLength = static_cast<int>(strnlen(reinterpret_cast<const char*>(text), static_cast<size_t>(length)));
  return 0;
}

}  // namespace

int EditBackspaces(int mode, const uint8_t* keys, int count, uint8_t* text) {
  int length = 0;
  if (mode == 0) {
    for (int i = 0; i < count; ++i) {
      if (keys[i] == kBackspaceKey) {
        if (length > 0) --length;
      } else {
        text[length++] = keys[i];
      }
    }
  } else {
    int from = 0;
    for (int i = 0; i < count; ++i) {
      if (keys[i] == kBackspaceKey) from = i + 1;
    }
    for (int i = from; i < count; ++i) text[length++] = keys[i];
  }
  return length;
}

int HidCommunicationClearKey(int mode, const KeySequences& seq, uint8_t* text, int* textLength, int timeoutMs) {
  LinkSession session(kUsbLinkPort, 0);
  const int started = StartUsbKeyRun(session, seq, timeoutMs);
  if (started != 0) return started;
  auto finish = [&](int result) {
    session.SendPacket(seq.end, seq.endLength, timeoutMs);
    session.Close();
    return result;
  };
  const int collected = CollectPlainKeys(
      [&](uint8_t& key) {
        WipedArray<kReportBuffer> report;
        if (session.ReadReport(report.data, timeoutMs) <= 0) return false;
        key = report[1];
        return true;
      },
      mode, text, textLength);
  return finish(collected == kReadFailed ? FailedRead() : collected);
}

int CommduClearKey(int mode, const KeySequences& seq, uint8_t* text, int* textLength, int timeoutMs) {
  CSerial& serial = SerialDevice();
  if (!serial.IsOpen()) return kSerialPortNotOpen;
  serial.WriteData(seq.start, static_cast<size_t>(seq.startLength));
  auto finish = [&](int result) {
    serial.WriteData(seq.end, static_cast<size_t>(seq.endLength));
    return result;
  };
  const int collected = CollectPlainKeys(
      [&](uint8_t& key) { return serial.ReadExact(&key, 1, timeoutMs) == 0; }, mode, text, textLength);
  return finish(collected == kReadFailed ? kKeyRunFailed : collected);
}

int HidCommunication23Key(int mode, int editFlag, const KeySequences& seq, uint8_t* text, int* textLength,
                          int timeoutMs) {
  LinkSession session(kUsbLinkPort, 0);
  const int started = StartUsbKeyRun(session, seq, timeoutMs);
  if (started != 0) return started;
  auto finish = [&](int result) {
    SendPackageAndAck(session, seq.end, seq.endLength, timeoutMs);
    session.Close();
    return result;
  };
  WipedArray<kReportBuffer> report;
  uint8_t* const payload = report.data;
  const int got = RecvOneReport(session, payload, report.size(), timeoutMs);
  if (got < 0) return finish(FailedRead());
  if (payload[0] != kStx) return finish(kKeyRunNoStx);
  const uint8_t* etx = static_cast<const uint8_t*>(memchr(payload + 1, kEtx, static_cast<size_t>(got - 1)));
  if (!etx) return finish(0);
  const int count = static_cast<int>(etx - (payload + 1));
  if (count > kMaxKeys) {
    WriteLog('E', "key input longer than %d keys!", kMaxKeys);
    return finish(kKeyRunFailed);
  }
  *textLength = StoreText(editFlag != 0, mode, payload + 1, count, text);
  return finish(0);
}

int Commdu23Key(int mode, int editFlag, const KeySequences& seq, uint8_t* text, int* textLength, int timeoutMs) {
  CSerial& serial = SerialDevice();
  if (!serial.IsOpen()) return kSerialPortNotOpen;
  serial.WriteData(seq.start, static_cast<size_t>(seq.startLength));
  auto finish = [&](int result) {
    SerialEndWithAnswer(seq);
    return result;
  };
  uint8_t first = 0;
  if (serial.ReadExact(&first, 1, timeoutMs) != 0) return finish(kKeyRunFailed);
  if (first != kStx) return finish(kKeyRunNoStx);
  WipedArray<kMaxKeys + 1> keys;
  int count = 0;
  const uint32_t start = platform::TickMs();
  for (;;) {
    int left = 0;
    if (timeoutMs > 0) {
      const uint32_t elapsed = platform::TickMs() - start;
      if (elapsed >= static_cast<uint32_t>(timeoutMs)) return finish(kKeyRunTextCut);
      left = timeoutMs - static_cast<int>(elapsed);
    }
    uint8_t key = 0;
    const int read = serial.ReadExact(&key, 1, left);
    if (read == kSerialReadBrokenOff) return finish(kKeyRunCancelled);
    if (read != 0) return finish(kKeyRunTextCut);
    if (key == kEtx) break;
    if (count == kMaxKeys) {
      WriteLog('E', "key input longer than %d keys!", kMaxKeys);
      return finish(kKeyRunFailed);
    }
    keys[count++] = key;
  }
  *textLength = StoreText(editFlag != 0, mode, keys.data, count, text);
  return finish(0);
}

int HidReceiveOnly(uint8_t* response, size_t capacity, int* responseLength, int timeoutMs) {
  LinkSession session(kUsbLinkPort, 0);
  const int opened = OpenRun(session);
  if (opened != 0) return opened;
  WriteLog('I', "before");
  WipedBytes incoming(kReceiveOnlyBuffer);
  int incomingLength = 0;
  const int received = session.ReceivePacket(incoming.data(), incoming.size(), &incomingLength, timeoutMs);
  WriteLog('I', "after");
  if (received != 0) return received;
  if (TakeCancel()) return kKeyRunBrokenOff;
  const int L = incomingLength >= 8 ? (incomingLength - 8) / 2 : 0;
  if (static_cast<size_t>(L) > capacity) return kAnswerTooLong;
  WipedBytes payload(static_cast<size_t>(L) + 8);
  int payloadLength = 0;
  if (UnpackDataPackage(incoming.data(), incomingLength, payload.data(), &payloadLength) != 1) {
    return kAnswerMalformed;
  }
  memcpy(response, payload.data(), static_cast<size_t>(payloadLength));
  *responseLength = payloadLength;
  return 0;
}

namespace {

// Runs a key input on the port's link: the USB routine (which makes its own session),
// or the serial one in a session on that port.
template <typename Usb, typename Serial>
int RunKeyInput(int port, int selector, Usb usb, Serial serial) {
  if (IsUsbPort(port)) return usb();
  LinkSession session(port, selector);
  const int opened = session.Open();
  if (opened != 0) return opened;
  return serial();
}

}  // namespace

int CommunicationClearKey(int port, int selector, int mode, const KeySequences& seq, uint8_t* text,
                          int* textLength, int timeoutMs) {
  return RunKeyInput(
      port, selector, [&] { return HidCommunicationClearKey(mode, seq, text, textLength, timeoutMs); },
      [&] { return CommduClearKey(mode, seq, text, textLength, timeoutMs); });
}

int Communication23Key(int port, int selector, int mode, int editFlag, const KeySequences& seq, uint8_t* text,
                       int* textLength, int timeoutMs) {
  return RunKeyInput(
      port, selector, [&] { return HidCommunication23Key(mode, editFlag, seq, text, textLength, timeoutMs); },
      [&] { return Commdu23Key(mode, editFlag, seq, text, textLength, timeoutMs); });
}
