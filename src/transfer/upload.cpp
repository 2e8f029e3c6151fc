#include "transfer/upload.h"

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "link/usbhid_link.h"
#include "log/log.h"
#include "platform/fs.h"
#include "platform/time.h"
#include "protocol/device_lock.h"
#include "protocol/exchange.h"
#include "protocol/hid_exchange.h"
#include "protocol/packet.h"
#include "protocol/transfer_link.h"
#include "transfer/host_file.h"
#include "transfer/progress.h"
#include "transfer/waits.h"

namespace transfer {

namespace {

constexpr size_t kBlockBytes = 1048576;
constexpr size_t kRequestRoom = 5000;
constexpr size_t kAnswerRoom = 10000;
constexpr int kRequestWaitMs = 10000;
constexpr int kAckWaitMs = 800;

// The file being stored: a temporary file beside the target, or the caller's buffer.
class Sink {
 public:
  explicit Sink(const UploadDestination& to) : to_(to) {
    if (to_.iMode == 0 && to_.savePath) temp_ = std::string(to_.savePath) + ".part";
  }
  ~Sink() {
    if (!temp_.empty() && !committed_) {
      file_.Close();
      platform::RemoveFile(temp_);
    }
  }
  // 0, or the system error code when the temporary file cannot be made.
  int Open() {
    if (to_.iMode != 0) return 0;
    if (temp_.empty()) return 22;  // EINVAL: no path
    platform::RemoveFile(temp_);
    return file_.OpenWrite(temp_.c_str()) ? 0 : (platform::LastOsError() > 0 ? platform::LastOsError() : 5);
  }
  // 0, or a system error code; memory mode never writes past the capacity.
  int Put(const uint8_t* bytes, size_t length) {
    if (to_.iMode == 0) return file_.Write(bytes, length);
    const size_t stored = static_cast<size_t>(*to_.dataLength);
    if (length > to_.capacity - stored) return 28;  // ENOSPC; checked up front already
    memcpy(to_.data + stored, bytes, length);
    *to_.dataLength = static_cast<int>(stored + length);
    return 0;
  }
  // Moves the finished file to the save path: 0 or a system error code.
  int Commit() {
    if (to_.iMode != 0) return 0;
    const int closed = file_.Close();
    if (closed != 0) return closed;
    const int renamed = RenameFile(temp_.c_str(), to_.savePath);
    if (renamed == 0) committed_ = true;
    return renamed;
  }

 private:
  const UploadDestination& to_;
  std::string temp_;
  HostFile file_;
  bool committed_ = false;
};

}  // namespace

int RecvBufWithLrc(const UploadDestination& to, int64_t T, int timeout, int cs) {
  const uint32_t start = platform::TickMs();
  std::unique_ptr<uint8_t[]> collect(new (std::nothrow) uint8_t[kBlockBytes + 100]);
  if (!collect) return -1;
  const int64_t reports = (T + cs - 1) / cs;
  const int lastLength = T % cs == 0 ? cs : static_cast<int>(T % cs);
  const int64_t perAck = static_cast<int64_t>(kBlockBytes) / cs;

  uint8_t ackPayload[24] = {0x00, 0x00};
  uint8_t ack[64] = {0};
  int ackLength = 0;
  MakeDataPackage(ackPayload, 2, ack, &ackLength);
  if (to.dataLength) *to.dataLength = 0;

  if (timeout <= 0 || platform::TickMs() - start >= static_cast<uint32_t>(timeout) * 1000u) {
    WriteLog('E', "RecvBufWithLrc 超时");
    return -2;
  }
  if (reports == 0) return 0;
  const int64_t fileBytes = T - reports;
  if (to.iMode != 0 && static_cast<uint64_t>(fileBytes) > to.capacity) {
    WriteLog('E', "RecvBufWithLrc 文件%lld字节超出缓冲区%lld字节", static_cast<long long>(fileBytes),
             static_cast<long long>(to.capacity));
    return -2;
  }
  Sink sink(to);
  const int opened = sink.Open();
  if (opened != 0) return opened;

  size_t collected = 0;
  int64_t received = 0;
  ProgressReport progress(kFromTerminal, fileBytes);
  uint8_t report[1000];
  for (int64_t i = 0; i < reports; ++i) {
    if (i > 0 && i % perAck == 0) {
      if (SendPackage(ack, ackLength, kAckWaitMs) != 0) {
        WriteLog('E', "发送0000失败");
        return -10;
      }
      const int put = sink.Put(collect.get(), collected);
      if (put != 0) return put;
      collected = 0;
    }
    int got = 0;
    const int read = RecvDataReport(report, &got, Wait(kReportWaitMs));
    if (read != 0) {
      WriteLog('E', "RecvBufWithLrc 失败 iRet==%d", read);
      return -read;
    }
    const bool last = i + 1 == reports;
    const int length = last ? lastLength : cs;
    uint8_t check = 0;
    for (int k = 0; k < length - 1; ++k) check ^= report[k];
    if (check != report[length - 1]) {
      if (last) {
        WriteLog('E', "校验出错i==%lld", static_cast<long long>(i));
      } else {
        WriteLog('E', "校验出错");
      }
      return -2;
    }
    if (last && SendPackage(ack, ackLength, kAckWaitMs) != 0) {
      WriteLog('E', "发送0000失败");
      return -10;
    }
    memcpy(collect.get() + collected, report, static_cast<size_t>(length - 1));
    collected += static_cast<size_t>(length - 1);
    received += length - 1;
    progress.Update(received);
  }
  const int put = sink.Put(collect.get(), collected);
  if (put != 0) return put;
  return sink.Commit();
}

int Receive1M(const UploadDestination& to, int cFileType, const char* pFileName, int timeout) {
  const size_t n = pFileName ? strlen(pFileName) : 0;
  if (n + 5 > kRequestRoom) {
    WriteLog('E', "MakeDataPackage err");
    return -3;
  }
  std::vector<uint8_t> request(kRequestRoom + 16, 0);
  request[0] = 0x50;
  request[1] = 0x08;
  request[2] = static_cast<uint8_t>(cFileType & 0xFF);
  request[3] = static_cast<uint8_t>(n >> 8);
  request[4] = static_cast<uint8_t>(n & 0xFF);
  if (n) memcpy(request.data() + 5, pFileName, n);
  std::vector<uint8_t> packet(2 * (n + 5) + 100, 0);
  int packetLength = 0;
  if (MakeDataPackage(request.data(), static_cast<int>(n + 5), packet.data(), &packetLength) != 1 ||
      packet[0] != kStx) {
    WriteLog('E', "MakeDataPackage err");
    return -3;
  }

  DeviceLockHolder lock;
  if (!lock.Acquired()) return kBusy;
  WriteLog('I', "start HidCommunication");
  int cs = 0;
  if (OpenTransferLink(&cs) != 0) return -4;
  std::vector<uint8_t> answer(kAnswerRoom, 0);
  int answerLength = 0;
  if (SendData(packet.data(), packetLength, answer.data(), answer.size(), &answerLength, kRequestWaitMs) != 0) {
    return -4;
  }
  std::fill(request.begin(), request.end(), 0);
  int payloadLength = 0;
  if (answerLength < 8 || static_cast<size_t>(answerLength - 8) / 2 > request.size() ||
      UnpackDataPackage(answer.data(), answerLength, request.data(), &payloadLength) != 1) {
    ClosePort();
    return -5;
  }
  if (payloadLength >= 2 && request[0] == 0x50 && request[1] == 0x08) {
    ClosePort();
    WriteLog('E', "接收握手协议出错");
    return -4;
  }
  if (payloadLength < 5 || request[0] != 0x00 || request[1] != 0x00) {
    ClosePort();
    return -6;
  }
  const int64_t T = (static_cast<int64_t>(request[2]) << 16) | (request[3] << 8) | request[4];
  WriteLog('I', "文件总长度==%ld", static_cast<long>(T));
  if (to.iMode == 0 && to.savePath && platform::PathExists(to.savePath) && !platform::RemoveFile(to.savePath)) {
    WriteLog('I', "删除失败，没有写文件权限,%d", platform::LastOsError());
    ClosePort();
    return -10;
  }
  const int rc = RecvBufWithLrc(to, T, timeout, cs);
  ClosePort();
  if (rc != 0) {
    WriteLog('E', "Receive1M出错，返回值==%d", rc);
    return rc;
  }
  return 0;
}

}  // namespace transfer
