// File transfer exports: files to the terminal (one file by extension, a folder tree as
// a USB batch, one file in a chosen category, firmware with its installation answer),
// files from the terminal to a host file or buffer, and the terminal's file list and
// deletions. The transfers themselves live in src/transfer/.
//
// Choices where the command documentation leaves room:
// - RV270Api_SaveFileSingle with a category outside 1 to 9 sends nothing and returns -114.
// - RV270Api_SaveFile of a folder with more than 255 media files (the batch handshake
//   counts files in one byte), more than 512, or a path of 260 bytes or more: nothing is
//   sent; "RV270Api_SaveFile directory has too many files or too long paths!" (E), last
//   error 112, -114.
// - A successful single-file RV270Api_SaveFile leaves the last error as it was.
// - RV270Api_SetupApp over a serial port waits for the installation answer on that port;
//   over USB the answer is read on the link that carried the firmware, so none is lost.
// - RV270Api_UploadFilesToPc in memory mode takes the capacity of pDataBuf from *pDataLen
//   (see the header); without a buffer, a length pointer or a positive capacity, and in
//   file mode without a save path, it returns -2 and sends nothing.
// - RV270Api_DeleteRcFile refuses a null name with -5 and last error 100, and a name over
//   507 bytes with "RV270Api_DeleteRcFile fileName too long!", -5 and 100.
// - RV270Api_GetFileList: an answer longer than the 4096-byte response is refused by the
//   exchange; it is reported like a list longer than iLen (-5, 122), the line carrying the
//   exchange result.
#include <cctype>
#include <cstring>
#include <string>

#include "QornRV270API.h"
#include "api/frame.h"
#include "link/process_state.h"
#include "link/serial_link.h"
#include "platform/fs.h"
#include "platform/time.h"
#include "protocol/link_session.h"
#include "protocol/transfer_link.h"
#include "transfer/block_download.h"
#include "transfer/categories.h"
#include "transfer/download.h"
#include "transfer/host_file.h"
#include "transfer/serial_transfer.h"
#include "transfer/upload.h"

using namespace api;

namespace {

constexpr size_t kRequestSize = 512;
constexpr int kFileTimeoutMs = 5000;
constexpr int kMaxBatch = 255;
constexpr uint32_t kBatchPauseMs = 50;

constexpr const char* kDelete09 = "RV270Api_Communication myDeleteResult[1]==0x09!";
constexpr const char* kOkLine = "RV270Api_Communication return ok!";
constexpr UsualMapping kDeleteOneTable(-2, -3, kDelete09, -4, kOkLine, 'I');
constexpr UsualMapping kDeleteAllTable(-4, -3, kDelete09, -5, kOkLine, 'I');

constexpr Outcome kFileListTable[] = {
    Busy(),
    OnResult(kAnswerTooLong, -5, kResultLengthOver, "RV270Api_Communication return fileListLen too long:[%d]"),
    LinkFailure(-4),
    OnStatus(0x00, 0x00, kAny, 0, kOk, 'I', "RV270Api_Communication return ok fileList:[%s]", Arg::Text),
    OnStatus(0x00, 0x09, kAny, -3, kHardwareException, 'E', "RV270Api_Communication myFileList[1]==0x09!"),
    Otherwise(-5, kReceivedDataError, 'I', "RV270Api_Communication return error!"),
};
constexpr Outcome kListTooLong =
    OnStatus(0x00, 0x00, kAny, -5, kResultLengthOver, 'E', "RV270Api_Communication return fileListLen too long:[%d]",
             Arg::Value);

constexpr Outcome kSetupTable[] = {
    Busy("RV270Api_SetupApp error for usb being busying!"),
    LinkFailure(-5),
    OnStatus(0x00, 0x00, kAny, 0, kOk, 'I', "RV270Api_SetupApp ok!"),
    OnStatus(0x00, 0x01, kAny, -6, 126, 'E', "RV270Api_SetupApp failed!"),
    Otherwise(-7, kReceivedDataError, 'E', "RV270Api_Communication return error!"),
};

int SaveFileSingle(int port, int bNewName, const char* pNewName, int iFileType, const char* filepath) {
  g_bKeepWaiting.store(1);
  char message[transfer::kMessageSize] = {0};
  WriteLog('I', "%s", Shown(filepath));
  const char* category = transfer::CategoryText(iFileType);
  const int result = category ? transfer::RV270Api_SaveFile_NewName(port, category, static_cast<uint8_t>(bNewName & 0xFF),
                                                                    filepath, pNewName, message)
                              : -114;
  WriteLog('I', "RV270Api_SaveFile_NewName return[%d]!", result);
  if (result == 0 || result == kBusy) return result;
  return -114;
}

int SaveOneFile(CallFrame& frame, int port, int selector, const char* filepath) {
  const int fileClass = transfer::SingleFileClass(filepath);
  int result = 0;
  if (fileClass == 1 || fileClass == 2) {
    result = SaveFileSingle(port, 0, "", fileClass, filepath);
  } else if (fileClass == 3) {
    char message[transfer::kMessageSize] = {0};
    frame.MarkWaiting();
    WriteLog('I', "%s", filepath);
    result = transfer::RV270Api_SaveFile_NewName(port, transfer::kAudio, 0, filepath, "", message);
    WriteLog('I', "RV270Api_SaveFile_NewName return[%d]!", result);
    if (result != 0 && result != kBusy) result = -114;
  } else {
    frame.NoEndLine();
    SetLastError(110);
    return -6;
  }
  if (result == 0) {
    WriteLog('I', "RV270Api_SaveFileSingle ok!");
    return 0;
  }
  if (result == kBusy) {
    WriteLog('E', "RV270Api_SaveFileSingle error for usb being busying!");
    SetLastError(kDeviceBusy);
    return kBusy;
  }
  WriteLog('E', "RV270Api_SaveFileSingle return error %d!", result);
  if (fileClass == 2) {
    frame.NoEndLine();
    WriteLog('I', "****************SaveFile end****************");
  }
  SetLastError(109);
  return -114;
}

int SaveFolder(int port, const char* folder) {
  transfer::ClearBatchFiles();
  int count = 0;
  int total = 0;
  int64_t total64 = 0;
  transfer::FileFind(folder, &count, &total, &total64);
  if (count == 0 && !transfer::BatchOverflowed()) {
    WriteLog('E', "no valid file in directory!");
    SetLastError(111);
    return -7;
  }
  if (count > kMaxBatch || transfer::BatchOverflowed()) {
    WriteLog('E', "RV270Api_SaveFile directory has too many files or too long paths!");
    SetLastError(112);
    return -114;
  }
  for (int i = 0; i < count; ++i) {
    const char* entry = transfer::g_szBatchFiles[i];
    const int fileClass = transfer::FolderFileClass(entry);
    if (fileClass == 0) continue;
    const int result = transfer::RV270Api_SaveBatchFileSingle(port, i, count, total64, fileClass, entry);
    if (result == kBusy) {
      WriteLog('E', "RV270Api_SaveBatchFileSingle error for usb being busying!");
      SetLastError(kDeviceBusy);
      return kBusy;
    }
    if (result < 0) {
      WriteLog('E', "RV270Api_SaveBatchFileSingle return error number %d return %d!", i, result);
      SetLastError(112);
      return -114;
    }
    if (i + 1 < count) platform::PauseMs(kBatchPauseMs);
  }
  SetLastError(kOk);
  return 0;
}

int SaveFile(int port, int selector, int iFileType, const char* filepath) {
  CallFrame frame("RV270Api_SaveFile");
  WriteLog('I', "RV270Api_SaveFile Path:%s", Shown(filepath));
  if (Empty(filepath)) {
    WriteLog('E', filepath ? "RV270Api_SaveFile filepath is invalid!" : "RV270Api_SaveFile path is empty!");
    SetLastError(106);
    return -2;
  }
  if (iFileType == 0 && !platform::PathExists(filepath)) {
    WriteLog('E', "RV270Api_SaveFile filepath is invalid!");
    SetLastError(107);
    return -3;
  }
  if (iFileType == 1 && !platform::IsDirectory(filepath)) {
    WriteLog('E', "RV270Api_SaveFile directory is invalid!");
    SetLastError(108);
    return -4;
  }
  if (iFileType != 0 && iFileType != 1) {
    WriteLog('E', "RV270Api_SaveFile type error!");
    SetLastError(kParamError);
    return -5;
  }
  WriteLog('I', "RV270Api_SaveFile type:[%d],path:[%s]", iFileType, filepath);
  frame.MarkWaiting();
  return iFileType == 0 ? SaveOneFile(frame, port, selector, filepath) : SaveFolder(port, filepath);
}

int SetupApp(int port, int selector, const char* filepath, int timeout, const char* compareName) {
  CallFrame frame("RV270Api_SetupApp");
  if (Empty(filepath)) {
    WriteLog('E', "RV270Api_SetupApp filepath is empty!");
    SetLastError(kParamError);
    return -2;
  }
  if (!platform::PathExists(filepath)) {
    WriteLog('E', "RV270Api_SetupApp filepath is invalid!");
    SetLastError(107);
    return -3;
  }
  // The file name after the last backslash (or slash, for host paths written that way).
  std::string upper = transfer::FileNameOf(filepath);
  WriteLog('I', "RV270Api_SetupApp path:[%s]", filepath);
  for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  if (!Empty(compareName) && strncmp(upper.c_str(), compareName, strlen(compareName)) != 0) {
    WriteLog('I', "RV270Api_SetupApp fileNameUper:[%s],CompareName[%s]", upper.c_str(), compareName);
    frame.NoEndLine();
    SetLastError(110);
    return -4;
  }
  frame.MarkWaiting();
  char message[transfer::kMessageSize] = {0};
  const bool usb = IsUsbPort(port);
  const int sent = transfer::RV270Api_SaveFile_NewName(port, transfer::kFirmware, 0, filepath, "", message, usb);
  Answer answer;
  if (sent == kBusy) {
    answer.result = kBusy;
    return frame.Map(kSetupTable, answer);
  }
  if (sent != 0) {
    WriteLog('I', "UploadFile_1M_NewName 固件资源 error %d!", sent);
    SetLastError(104);
    return -114;
  }
  const int waitMs = timeout <= 0 ? 0 : (timeout > 2000000 ? 2000000000 : timeout * 1000);
  answer.result = usb ? ReceiveOnOpenLink(answer.response, Answer::kCapacity, &answer.length, waitMs)
                      : transfer::SerialReceiveOnly(port, selector, answer.response, static_cast<int>(Answer::kCapacity),
                                                    &answer.length, waitMs);
  return frame.Map(kSetupTable, answer);
}

int UploadFilesToPc(int port, int iMode, const char* savePath, int cFileType, const char* pFileName, int timeout,
                    unsigned char* pDataBuf, int* pDataLen) {
  CallFrame frame("RV270Api_UploadFilesToPc");
  frame.NoEndLine();
  WriteLog('I', "RV270Api_UploadFilesToPc Port:[%d],iMode:[%d],SavePath:[%s],timeout:[%d]", port, iMode,
           Shown(savePath), timeout);
  frame.MarkWaiting();
  transfer::UploadDestination to;
  to.iMode = iMode;
  to.savePath = savePath;
  to.data = pDataBuf;
  to.dataLength = pDataLen;
  int rc = 0;
  if (iMode != 0 && (!pDataBuf || !pDataLen || *pDataLen <= 0)) {
    WriteLog('E', "RV270Api_UploadFilesToPc pDataBuf has no capacity in *pDataLen!");
    rc = -2;
  } else if (iMode == 0 && Empty(savePath)) {
    WriteLog('E', "RV270Api_UploadFilesToPc SavePath is empty!");
    rc = -2;
  } else {
    to.capacity = iMode != 0 ? static_cast<size_t>(*pDataLen) : 0;
    if (pDataLen) *pDataLen = 0;
    rc = IsUsbPort(port) ? transfer::Receive1M(to, cFileType, pFileName, timeout)
                         : transfer::UploadFileToPC_Comm(to, port, g_nSerialRate, cFileType, pFileName);
  }
  WriteLog('I', "****************RV270Api_UploadFilesToPc end,rc=%d****************", rc);
  return rc;
}

int GetFileList(int port, int selector, int iFileType, int iLen, char* fileList) {
  CallFrame frame("RV270Api_GetFileList");
  Request request(kRequestSize, 0x50, 0x06);
  request.U8(iFileType);
  frame.MarkWaiting();
  if (iLen <= 0) {
    WriteLog('I', "RV270Api_GetFileList iLen<=0");
    SetLastError(kParamError);
    return -3;
  }
  if (!fileList) return frame.ArgError(-2, "RV270Api_GetFileList NULL==fileList!");
  memset(fileList, 0, static_cast<size_t>(iLen));
  WriteLog('I', "RV270Api_GetFileList type:[%d],iLen:[%d]", iFileType, iLen);
  Answer answer;
  int refused = 0;
  if (!frame.Transact(port, selector, request, kFileTimeoutMs, answer, Refusal{-4}, &refused)) return refused;
  const Outcome& row = CallFrame::Classify(kFileListTable, answer);
  if (row.ret != 0) return frame.Conclude(row, answer);
  if (answer.length > static_cast<int>(Answer::kCapacity) || answer.length > iLen) {
    return frame.Conclude(kListTooLong, answer, nullptr, answer.length);
  }
  BoundedCopy(fileList, static_cast<size_t>(iLen), answer.Data(), answer.DataLength());
  return frame.Conclude(row, answer, fileList);
}

int DeleteRcFile(int port, int selector, const char* fileName) {
  CallFrame frame("RV270Api_DeleteRcFile");
  WriteLog('I', "RV270Api_DeleteRcFile fileName:[%s]", Shown(fileName));
  if (!fileName) return frame.ArgError(-5, "RV270Api_DeleteRcFile fileName is null!");
  const size_t n = strlen(fileName);
  Request request(kRequestSize, 0x50, 0x07);
  request.U8(0).U16(static_cast<int>(n > 0xFFFF ? 0xFFFF : n)).Bytes(fileName, n);
  return frame.Call(port, selector, request, kFileTimeoutMs, kDeleteOneTable, Refusal{-5, "fileName"});
}

int DeleteAllFile(int port, int selector, int iFileType) {
  CallFrame frame("RV270Api_DeleteAllFile");
  frame.MarkWaiting();
  WriteLog('I', "RV270Api_DeleteAllFile type:[%d]", iFileType);
  Request request(kRequestSize, 0x50, 0x07);
  request.U8(iFileType);
  return frame.Call(port, selector, request, kFileTimeoutMs, kDeleteAllTable);
}

}  // namespace

RV270_API int RV270_CALL RV270Api_SaveFile(int port, int selector, int iFileType, const char* filepath) {
  return GuardExport(-114, [&] {
    const auto dialogue = HoldExchanges();
    return SaveFile(port, selector, iFileType, filepath);
  });
}

RV270_API int RV270_CALL RV270Api_SaveFileSingle(int port, int selector, int bNewName, const char* pNewName,
                                                 int iFileType, const char* filepath) {
  return GuardExport(-114, [&] {
    const auto dialogue = HoldExchanges();
    return SaveFileSingle(port, bNewName, pNewName, iFileType, filepath);
  });
}

RV270_API int RV270_CALL RV270Api_SetupApp(int port, int selector, const char* filepath, int timeout,
                                           const char* CompareName) {
  return GuardExport(-114, [&] {
    const auto dialogue = HoldExchanges();
    return SetupApp(port, selector, filepath, timeout, CompareName);
  });
}

RV270_API int RV270_CALL RV270Api_FileFind(const char* filepath, int* pCount, int* pTotalSize) {
  return GuardExport(-1, [&] {
    if (!filepath || !pCount || !pTotalSize) return -1;
    transfer::FileFind(filepath, pCount, pTotalSize);
    return 0;
  });
}

RV270_API int RV270_CALL RV270Api_UploadFilesToPc(int port, int selector, int iMode, const char* SavePath,
                                                  int cFileType, const char* pFileName, int timeout,
                                                  unsigned char* pDataBuf, int* pDataLen) {
  return GuardExport(-2, [&] {
    const auto dialogue = HoldExchanges();
    return UploadFilesToPc(port, iMode, SavePath, cFileType, pFileName, timeout, pDataBuf, pDataLen);
  });
}

RV270_API int RV270_CALL RV270Api_GetFileList(int port, int selector, int iFileType, int iLen, char* fileList) {
  return GuardExport(-4, [&] { return GetFileList(port, selector, iFileType, iLen, fileList); });
}

RV270_API int RV270_CALL RV270Api_DeleteRcFile(int port, int selector, const char* fileName) {
  return GuardExport(-2, [&] { return DeleteRcFile(port, selector, fileName); });
}

RV270_API int RV270_CALL RV270Api_DeleteAllFile(int port, int selector, int iFileType) {
  return GuardExport(-4, [&] { return DeleteAllFile(port, selector, iFileType); });
}
