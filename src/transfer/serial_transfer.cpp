#include "transfer/serial_transfer.h"

#include <cstring>
#include <string>
#include <vector>

#include "link/serial_link.h"
#include "log/log.h"
#include "platform/fs.h"
#include "platform/time.h"
#include "protocol/exchange.h"
#include "protocol/serial_exchange.h"
#include "transfer/block_download.h"
#include "transfer/categories.h"
#include "transfer/host_file.h"
#include "transfer/progress.h"
#include "transfer/waits.h"

namespace transfer {

namespace {

constexpr int kTransferRate = 115200;
constexpr int kPackageSize = 1024;
constexpr size_t kNameField = 24;
constexpr uint32_t kSwitchPauseMs = 1000;
constexpr uint32_t kClosePauseMs = 100;

struct SerialCloser {
  ~SerialCloser() { CloseSerialLink(); }
};

// The serial image of the upload's destination: the temporary file beside the target
// or the caller's buffer, as the USB upload stores it.
int StorePackage(HostFile& file, const UploadDestination& to, const uint8_t* data, int length) {
  if (to.iMode == 0) return file.Write(data, static_cast<size_t>(length));
  const size_t stored = static_cast<size_t>(*to.dataLength);
  if (static_cast<size_t>(length) > to.capacity - stored) return 28;
  memcpy(to.data + stored, data, static_cast<size_t>(length));
  *to.dataLength += length;
  return 0;
}

bool HasFolderSeparator(const char* path) { return path && (strchr(path, '\\') || strchr(path, '/')); }

}  // namespace

int RateCode(int rate) {
  switch (rate) {
    case 1200: return 6;
    case 4800: return 7;
    case 0:
    case 9600: return 1;
    case 19200: return 2;
    case 38400: return 3;
    case 57600: return 4;
    case 115200: return 5;
    default: return 0;
  }
}

int SetDeviceBaud_Comm(int port, int newRate, int currentRate, uint8_t* status, char* message) {
  if (ReopenSerialLink(port, currentRate) != 0) {
    if (status) *status = '1';
    Reason(message, "开口失败");
    return -1;
  }
  const int code = RateCode(newRate);
  const uint8_t request[3] = {0x50, 0x99, static_cast<uint8_t>(code ? code : 1)};
  uint8_t answer[kMaxSerialAnswer] = {0};
  int length = 0;
  int word = 0;
  const int result = CommduChangeBaud(request, port, newRate, answer, sizeof(answer), &length, &word);
  CloseSerialLink();
  platform::PauseMs(kClosePauseMs);
  if (result < 0) {
    if (status) *status = '1';
    Reason(message, "通讯失败");
    return result;
  }
  if (length >= 2 && answer[0] == 0x50 && answer[1] == 0x99) {
    const uint8_t reason = length >= 3 ? answer[2] : 0;
    if (status) *status = reason;
    if (message) message[0] = static_cast<char>(reason);
    return -4;
  }
  return 0;
}

int DownloadFile_Comm(int port, uint8_t bNewName, const char* filepath, const char* category,
                      const char* pNewName, char* message) {
  if (ReopenSerialLink(port, kTransferRate) != 0) return -1;
  SerialCloser closer;
  if (filepath == nullptr) {  // no file to open, as a missing one
    Reason(message, "File can not opened!");
    return 0;
  }
  const uint8_t code = CategoryCode(category);
  std::string name = code == 6 ? kVoucherName : (bNewName ? (pNewName ? pNewName : "") : FileNameOf(filepath));
  if (name.size() > kNameField) return 0;
  const int64_t size = platform::FileSize(filepath);
  if (size < 0 || size > 0xFFFFFFFFLL) {
    Reason(message, "File can not opened!");
    return 0;
  }
  uint8_t handshake[31] = {0x50, 0x79, code};
  memcpy(handshake + 3, name.data(), name.size());
  for (int i = 0; i < 4; ++i) handshake[27 + i] = static_cast<uint8_t>(static_cast<uint64_t>(size) >> (24 - 8 * i));
  uint8_t answer[kMaxSerialAnswer] = {0};
  int length = 0;
  int word = 0;
  if (ICCombo_Commdu(handshake, sizeof(handshake), Wait(kSerialAnswerMs), answer, sizeof(answer), &length, &word) != 0) {
    Reason(message, "通讯失败");
    return -1;
  }
  if (length >= 2 && answer[0] == 0x00 && answer[1] == 0x7A) return -4;

  if (message) memset(message, 0, kMessageSize);
  HostFile file;
  const int64_t packages = (size + kPackageSize - 1) / kPackageSize;
  uint8_t package[kPackageSize];
  char reason[64];
  ProgressReport progress(kToTerminal, size);
  for (int64_t i = 1; i <= packages; ++i) {
    const int64_t offset = (i - 1) * kPackageSize;
    const int n = static_cast<int>(size - offset < kPackageSize ? size - offset : kPackageSize);
    if ((!file.IsOpen() && !file.OpenRead(filepath)) || !file.ReadAt(offset, package, static_cast<size_t>(n))) {
      Reason(message, "File can not opened!");
      return 0;
    }
    const int sent = CommduFramed(package, n, answer, sizeof(answer), &length, &word, Wait(kPackageAnswerMs));
    const char* failure = nullptr;
    if (sent == -2) {
      failure = "Package %d received timeout!";
    } else if (sent == -3) {
      failure = "Package %d is break!";
    } else if (sent != 0 || length < 2 || answer[0] != 0x00 || answer[1] != 0x00) {
      failure = "Package %d received error!";
    }
    if (failure) {
      snprintf(reason, sizeof(reason), failure, static_cast<int>(i));
      Reason(message, reason);
      return 0;
    }
    progress.Update(offset + n);
  }
  return 1;
}

int SerialDownload(int port, const char* category, uint8_t bNewName, const char* filepath,
                   const char* pNewName, char* message) {
  platform::PauseMs(kSwitchPauseMs);
  WriteLog('I', "模式为串口，开始通过串口%d进行大数据下载", port);
  const int libraryRate = g_nSerialRate;
  if (RateCode(libraryRate) == 0) {
    // The terminal could not be switched back to this rate: nothing is switched.
    WriteLog('E', "serial rate %d has no rate code!", libraryRate);
    return -1;
  }
  uint8_t status = 0;
  const int up = SetDeviceBaud_Comm(port, kTransferRate, libraryRate, &status, message);
  if (up != 0) return up;
  platform::PauseMs(kSwitchPauseMs);
  const int sent = DownloadFile_Comm(port, bNewName, filepath, category, pNewName, message);
  platform::PauseMs(kSwitchPauseMs);
  char backMessage[kMessageSize] = {0};
  const int back = SetDeviceBaud_Comm(port, libraryRate, kTransferRate, &status, backMessage);
  if (sent != 1) return sent == 0 ? -100 : sent;
  return back;
}

int UploadFileToPC_Comm(const UploadDestination& to, int port, int libraryRate, int cFileType,
                        const char* pFileName) {
  WriteLog('I', "UploadFileToPC_Comm start");
  if (to.iMode == 0 && !HasFolderSeparator(to.savePath)) {
    WriteLog('E', "filepath不包含文件名");
    return -1;
  }
  if (RateCode(libraryRate) == 0) {
    WriteLog('E', "serial rate %d has no rate code!", libraryRate);
    return -1;
  }
  const size_t n = pFileName ? strlen(pFileName) : 0;
  if (n + 5 > static_cast<size_t>(kMaxSerialRequest)) return -2;
  uint8_t status = 0;
  char message[kMessageSize] = {0};
  const int up = SetDeviceBaud_Comm(port, kTransferRate, libraryRate, &status, message);
  if (up != 0) {
    WriteLog('E', "[切换波特率ret=:][%d]", up);
    return -1;
  }
  char rateText[16];
  snprintf(rateText, sizeof(rateText), "%d", libraryRate);
  // Every way out from here closes the port and switches the terminal back.
  auto finish = [&](int result) {
    CloseSerialLink();
    const int back = SetDeviceBaud_Comm(port, libraryRate, kTransferRate, &status, message);
    if (back != 0) {
      WriteLog('E', "[切换回波特率%s=ret:][%d]", rateText, back);
      return result == 0 ? -1 : result;
    }
    return result;
  };
  platform::PauseMs(kClosePauseMs);
  if (ReopenSerialLink(port, kTransferRate) != 0) {
    WriteLog('E', "打开串口失败");
    return finish(-6);
  }
  std::vector<uint8_t> request(n + 5, 0);
  request[0] = 0x50;
  request[1] = 0x08;
  request[2] = static_cast<uint8_t>(cFileType & 0xFF);
  request[3] = static_cast<uint8_t>(n >> 8);
  request[4] = static_cast<uint8_t>(n & 0xFF);
  if (n) memcpy(request.data() + 5, pFileName, n);
  uint8_t answer[kMaxSerialAnswer] = {0};
  int length = 0;
  int word = 0;
  const int asked = ICCombo_Commdu(request.data(), static_cast<int>(request.size()), Wait(kSerialAnswerMs), answer,
                                   sizeof(answer), &length, &word);
  if (asked != 0) {
    WriteLog('E', "ICCombo_Commdu return error:%d", asked);
    return finish(-2);
  }
  if (length < 5 || answer[0] != 0x00 || answer[1] != 0x00) {
    WriteLog('E', "ICCombo_Commdu return error,szRecBuf[0]=%02X", answer[0]);
    return finish(-1);
  }
  const int64_t S = (static_cast<int64_t>(answer[2]) << 16) | (answer[3] << 8) | answer[4];
  WriteLog('I', "文件总长度==%ld", static_cast<long>(S));
  WriteLog('I', "开始纯数据接收");
  if (to.iMode == 0 && platform::PathExists(to.savePath) && !platform::RemoveFile(to.savePath)) {
    WriteLog('E', "没有写文件权限");
    return finish(-10);
  }
  if (to.dataLength) *to.dataLength = 0;
  if (to.iMode != 0 && static_cast<uint64_t>(S) > to.capacity) {
    WriteLog('E', "UploadFileToPC_Comm 文件%lld字节超出缓冲区%lld字节", static_cast<long long>(S),
             static_cast<long long>(to.capacity));
    return finish(-2);
  }
  const std::string temp = to.iMode == 0 ? std::string(to.savePath) + ".part" : std::string();
  HostFile file;
  if (to.iMode == 0 && !file.OpenWrite(temp.c_str())) {
    const int code = platform::LastOsError() > 0 ? platform::LastOsError() : 5;
    WriteLog('E', "写入文件失败，返回：%d", code);
    return finish(code);
  }
  auto fail = [&](int result) {
    if (to.iMode == 0) {
      file.Close();
      platform::RemoveFile(temp);
    }
    return finish(result);
  };
  static const uint8_t kAck[2] = {0x00, 0x00};
  uint8_t package[kPackageSize + 1];
  const int64_t packages = (S + kPackageSize - 1) / kPackageSize;
  ProgressReport progress(kFromTerminal, S);
  for (int64_t i = 1; i <= packages; ++i) {
    const int len = static_cast<int>(S - (i - 1) * kPackageSize < kPackageSize ? S - (i - 1) * kPackageSize : kPackageSize);
    memset(package, 0, sizeof(package));
    const int got = RecvRawAndAck(kAck, len, package, Wait(kPackageWaitMs));
    if (got != 0 || i == packages) {
      WriteLog('I', "[文件length为:][%d]", len);
      WriteLog('I', "[iRet:][%d]", got);
    }
    if (got != 0) return fail(-2);
    const int stored = StorePackage(file, to, package, len);
    if (stored != 0) {
      WriteLog('E', "写入文件失败，返回：%d", stored);
      return fail(stored);
    }
    progress.Update((i - 1) * kPackageSize + len);
  }
  if (to.iMode == 0) {
    const int code = file.Close();
    if (code != 0) return fail(code);
  }
  CloseSerialLink();
  platform::PauseMs(kSwitchPauseMs);
  const int back = SetDeviceBaud_Comm(port, libraryRate, kTransferRate, &status, message);
  if (back != 0) {
    WriteLog('E', "[切换回波特率%s=ret:][%d]", rateText, back);
    // The upload reports a failure: the received file does not take the save path.
    if (to.iMode == 0) platform::RemoveFile(temp);
    return -1;
  }
  if (to.iMode == 0) {
    const int code = RenameFile(temp.c_str(), to.savePath);
    if (code != 0) {
      platform::RemoveFile(temp);
      return code;
    }
  }
  return 0;
}

int SerialReceiveOnly(int port, int selector, uint8_t* response, int capacity, int* responseLength,
                      int timeoutMs) {
  if (OpenSerialLink(port, g_nSerialRate, selector) != 0) return -1;
  int word = 0;
  const int result = CommduReceiveOnly(timeoutMs, response, static_cast<size_t>(capacity), responseLength, &word);
  CloseSerialLink();
  return result;
}

}  // namespace transfer
