#include "transfer/block_download.h"

#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "link/process_state.h"
#include "link/usbhid_link.h"
#include "log/log.h"
#include "platform/fs.h"
#include "protocol/device_lock.h"
#include "protocol/exchange.h"
#include "protocol/packet.h"
#include "protocol/transfer_link.h"
#include "transfer/categories.h"
#include "transfer/host_file.h"
#include "transfer/progress.h"
#include "transfer/waits.h"

namespace transfer {

namespace {

constexpr size_t kBlockBytes = 1048576;
constexpr int kHandshakeWaitMs = 5000;
constexpr size_t kAnswerRoom = 4096;
constexpr size_t kFeedbackRoom = 64;

// What the handshake announces besides the file itself.
struct Announcement {
  uint8_t command;  // 0x04 single file, 0x05 one file of a batch
  int count;
  int index;
  int64_t totalSize;
};


// Closes the link on every way out unless told to keep it.
struct LinkCloser {
  bool open = false;
  ~LinkCloser() {
    if (open) ClosePort();
  }
};

void PutBe(uint8_t* at, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) at[i] = static_cast<uint8_t>(value >> (8 * (bytes - 1 - i)));
}

// The handshake record.
size_t BuildHandshake(const Announcement& a, uint8_t code, uint32_t total, const std::string& name,
                      uint8_t* record) {
  size_t at = 0;
  record[at++] = 0x50;
  record[at++] = a.command;
  record[at++] = code;
  PutBe(record + at, total, 4);
  at += 4;
  if (a.command == 0x05) {
    record[at++] = static_cast<uint8_t>(a.count & 0xFF);
    record[at++] = static_cast<uint8_t>(a.index & 0xFF);
    PutBe(record + at, static_cast<uint64_t>(a.totalSize), 4);
    at += 4;
  }
  PutBe(record + at, name.size(), 2);
  at += 2;
  memcpy(record + at, name.data(), name.size());
  return at + name.size();
}

// Sends the blocks of an open file on the open link. `cs`: report payload size.
int SendBlocks(HostFile& file, int64_t size, int cs) {
  const int64_t perReport = cs - 1;
  const int64_t reportsPerBlock = static_cast<int64_t>(kBlockBytes) / cs;
  const int64_t blockPayload = perReport * reportsPerBlock;
  const int64_t blocks = (size + blockPayload - 1) / blockPayload;
  std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[kBlockBytes + 10]);
  if (!block) return -1;
  uint8_t report[1000];
  uint8_t feedback[kFeedbackRoom];
  int resends = 0;
  ProgressReport progress(kToTerminal, size);
  for (int64_t b = 0; b < blocks;) {
    const bool last = b + 1 == blocks;
    const int number = static_cast<int>(b + 1);
    const int64_t offset = b * blockPayload;
    const size_t length = static_cast<size_t>(last ? size - offset : blockPayload);
    if (!file.ReadAt(offset, block.get(), length)) {
      // A file that shrank or cannot be read: stale bytes never go out.
      WriteLog('E', "读取文件失败在第%dM", number);
      return -1;
    }
    int reportNumber = 0;
    for (size_t at = 0; at < length && g_bKeepWaiting.load() == 1; at += static_cast<size_t>(perReport)) {
      const size_t chunk = length - at < static_cast<size_t>(perReport) ? length - at : static_cast<size_t>(perReport);
      uint8_t check = 0;
      for (size_t i = 0; i < chunk; ++i) {
        report[i] = block[at + i];
        check ^= report[i];
      }
      report[chunk] = check;
      ++reportNumber;
      if (SendDataReport(report, static_cast<int>(chunk + 1)) != 0) {
        WriteLog('E', last ? "最后1M发送错误在第%d" : "发送错误在第%d", reportNumber);
        return -1;
      }
      progress.Update(offset + static_cast<int64_t>(at + chunk));
    }
    const char feedbackLevel = last ? 'I' : 'E';
    int got = 0;
    const int received = RecvDecodedPacket(feedback, sizeof(feedback), &got, Wait(kFeedbackWaitMs));
    if (received == -2) {
      WriteLog(feedbackLevel, "第%dM数据接收反馈失败", number);
      return -2;
    }
    if (received != 0 || got < 2) {
      WriteLog('E', "第%dM数据接收反馈解析失败", number);
      return -3;
    }
    if (feedback[0] == 0x00 && feedback[1] == 0x01) {
      WriteLog(feedbackLevel, "第%dM数据接收反馈解析需要重新发送", number);
      if (++resends > kMaxResends) {
        WriteLog('E', "第%dM数据重发%d次仍未被接收", number, kMaxResends);
        return -3;
      }
      continue;  // the same block, read again from the file
    }
    resends = 0;
    const bool done = feedback[0] == 0x00 && feedback[1] == 0x00;
    if (last) {
      if (!done) {
        // The last block neither accepted nor asked for again: the file is not complete.
        WriteLog('E', "第%dM数据接收反馈解析失败", number);
        return -3;
      }
      WriteLog('I', "发送完成，退出");
      return 1;
    }
    if (!done) WriteLog('I', "第%dM数据传输完成", number);
    ++b;
  }
  return 1;
}

int BlockDownload(const Announcement& a, const std::string& name, const char* filepath, const char* category,
                  char* message, bool keepLinkOpen, int sizeUnreadable) {
  if (name.size() > kMaxDeviceName) {
    WriteLog('E', "device name of %d bytes too long!", static_cast<int>(name.size()));
    return 0;
  }
  const int64_t size = filepath ? platform::FileSize(filepath) : -1;
  if (size < 0) return sizeUnreadable;
  const uint8_t code = CategoryCode(category);

  DeviceLockHolder lock;
  if (!lock.Acquired()) return kBusy;

  LinkCloser link;
  int cs = 0;
  if (OpenTransferLink(&cs) != 0) {
    WriteLog('I', "HidCommunication error");
    Reason(message, "Hands is breaked!");
    return 0;
  }
  link.open = true;
  const int64_t total = TransferLength(size, cs);
  if (total > 0xFFFFFFFFLL || a.totalSize < 0 || a.totalSize > 0xFFFFFFFFLL) {
    WriteLog('E', "file of %lld bytes too large to announce!", static_cast<long long>(size));
    return 0;
  }
  uint8_t record[128] = {0};
  const size_t recordLength = BuildHandshake(a, code, static_cast<uint32_t>(total), name, record);
  uint8_t packet[2 * sizeof(record) + 40] = {0};
  int packetLength = 0;
  MakeDataPackage(record, static_cast<int>(recordLength), packet, &packetLength);

  std::unique_ptr<uint8_t[]> answer(new uint8_t[kAnswerRoom]());
  int answerLength = 0;
  if (SendData(packet, packetLength, answer.get(), kAnswerRoom, &answerLength, kHandshakeWaitMs) != 0) {
    link.open = false;  // SendData closed it
    WriteLog('I', "HidCommunication error");
    Reason(message, "Hands is breaked!");
    return 0;
  }
  uint8_t status[kAnswerRoom / 2] = {0};
  int statusLength = 0;
  if (answerLength < 8 || UnpackDataPackage(answer.get(), answerLength, status, &statusLength) != 1) {
    Reason(message, "Uncorrect format returned!");
    return 0;
  }
  if (statusLength < 2 || status[0] != 0x00 || status[1] != 0x00) {
    Reason(message, "Uncorrect data returned!");
    WriteLog('E', "握手包格式不正确");
    return 0;
  }
  HostFile file;
  if (!file.OpenRead(filepath)) {
    Reason(message, "File can not opened!");
    return 0;
  }
  const int result = size == 0 ? 1 : SendBlocks(file, size, cs);
  if (result == 1 && keepLinkOpen) link.open = false;
  return result;
}

}  // namespace

void Reason(char* message, const char* text) {
  if (!message) return;
  strncpy(message, text, kMessageSize - 1);
  message[kMessageSize - 1] = '\0';
}

int64_t TransferLength(int64_t size, int reportPayload) {
  const int64_t perReport = reportPayload - 1;
  return size + (size + perReport - 1) / perReport;
}

int UploadFile_1M_NewName(uint8_t bNewName, const char* filepath, const char* pNewName, const char* category,
                          char* message, bool keepLinkOpen) {
  std::string name;
  if (CategoryCode(category) == 6) {
    name = kVoucherName;
  } else if (bNewName) {
    name = pNewName ? pNewName : "";
  } else {
    name = filepath ? FileNameOf(filepath) : "";
  }
  return BlockDownload(Announcement{0x04, 0, 0, 0}, name, filepath, category, message, keepLinkOpen, -100);
}

int RV270Api_UploadBatchFile(int count, int index, int64_t totalSize, char* message, const char* category,
                             const char* filepath) {
  const std::string name = CategoryCode(category) == 6 ? kVoucherName : (filepath ? FileNameOf(filepath) : "");
  return BlockDownload(Announcement{0x05, count, index, totalSize}, name, filepath, category, message, false, 0);
}

}  // namespace transfer
