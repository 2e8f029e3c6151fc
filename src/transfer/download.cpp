#include "transfer/download.h"

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "link/process_state.h"
#include "log/log.h"
#include "platform/fs.h"
#include "platform/fs_link.h"
#include "protocol/exchange.h"
#include "transfer/block_download.h"
#include "transfer/categories.h"
#include "transfer/serial_transfer.h"

namespace transfer {

char g_szBatchFiles[kMaxBatchFiles][kBatchPathSize];

namespace {

bool g_batchOverflow = false;

struct Extension {
  const char* text;
  size_t compared;
  int fileClass;
};

// Single-file mode: case-sensitive.
const Extension kSingle[] = {
    {"jpg", 3, 1}, {"png", 3, 1}, {"gif", 3, 1}, {"bmp", 3, 1}, {"JPG", 3, 1}, {"PNG", 3, 1},
    {"GIF", 3, 1}, {"BMP", 3, 1}, {"jpeg", 4, 1}, {"JPEG", 4, 1},
    {"mp4", 3, 2}, {"mpg", 3, 2}, {"avi", 3, 2}, {"3gp", 3, 2}, {"wmv", 3, 2}, {"flv", 3, 2},
    {"MP4", 3, 2}, {"MPG", 3, 2}, {"AVI", 3, 2}, {"3GP", 3, 2}, {"WMV", 3, 2}, {"FLV", 3, 2},
    {"mpeg", 4, 2}, {"MPEG", 4, 2},
    {"wav", 3, 3}, {"wma", 3, 3}, {"mp3", 3, 3}, {"mid", 3, 3}, {"WAV", 3, 3}, {"WMA", 3, 3},
    {"MP3", 3, 3}, {"MID", 3, 3},
};

// Folder mode: the extension upper-cased first.
const Extension kFolder[] = {
    {"JPG", 3, 1}, {"ICO", 3, 1}, {"PNG", 3, 1}, {"GIF", 3, 1}, {"BMP", 3, 1}, {"JPEG", 4, 1},
    {"MP4", 3, 2}, {"AVI", 3, 2}, {"3GP", 3, 2}, {"WMV", 3, 2}, {"FLV", 3, 2}, {"MPG", 3, 2}, {"MPEG", 4, 2},
    {"WAV", 3, 3}, {"WMA", 3, 3}, {"MP3", 3, 3}, {"MID", 3, 3},
};

template <size_t N>
int Classify(const char* ext, const Extension (&table)[N]) {
  for (const Extension& e : table) {
    if (strncmp(ext, e.text, e.compared) == 0) return e.fileClass;
  }
  return 0;
}

// The text after the last '.' of the path, or nullptr.
const char* ExtensionOf(const char* path) {
  const char* dot = path ? strrchr(path, '.') : nullptr;
  return dot ? dot + 1 : nullptr;
}

std::string Join(const std::string& folder, const std::string& name) {
  std::string path = folder;
  if (!path.empty() && path.back() != '\\' && path.back() != '/') path += platform::PathSeparator();
  return path + name;
}

}  // namespace

int SingleFileClass(const char* path) {
  const char* ext = ExtensionOf(path);
  return ext ? Classify(ext, kSingle) : 0;
}

int FolderFileClass(const char* path) {
  const char* ext = ExtensionOf(path);
  if (!ext) return 0;
  std::string upper(ext);
  for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return Classify(upper.c_str(), kFolder);
}

void ClearBatchFiles() {
  memset(g_szBatchFiles, 0, sizeof(g_szBatchFiles));
  g_batchOverflow = false;
}

bool BatchOverflowed() { return g_batchOverflow; }

void FileFind(const char* folder, int* count, int* totalSize, int64_t* total64) {
  if (!folder || !count || !totalSize) return;
  std::vector<platform::DirEntry> entries;
  if (strlen(folder) >= kBatchPathSize || !platform::ListFolder(folder, entries)) return;
  for (const platform::DirEntry& e : entries) {
    const std::string path = Join(folder, e.name);
    if (e.isDirectory) {
      if (e.name.empty() || e.name[0] == '.' || platform::IsLink(path)) continue;
      FileFind(path.c_str(), count, totalSize, total64);
      continue;
    }
    if (FolderFileClass(e.name.c_str()) == 0) continue;
    if (*count < 0 || *count >= kMaxBatchFiles || path.size() >= kBatchPathSize) {
      WriteLog('E', "FileFind cannot keep [%s]!", path.c_str());
      g_batchOverflow = true;
      continue;
    }
    const int64_t size = platform::FileSize(path);
    memcpy(g_szBatchFiles[*count], path.c_str(), path.size() + 1);
    *totalSize = static_cast<int>(static_cast<uint32_t>(*totalSize) + static_cast<uint32_t>(size > 0 ? size : 0));
    if (total64) *total64 += size > 0 ? size : 0;
    WriteLog('I', "FindFileData.cFileName[%s]", e.name.c_str());
    ++*count;
  }
}

int RV270Api_SaveFile_NewName(int port, const char* category, uint8_t bNewName, const char* filepath,
                              const char* pNewName, char* message, bool keepLinkOpen) {
  if (!IsUsbPort(port)) return SerialDownload(port, category, bNewName, filepath, pNewName, message);
  const int sent = UploadFile_1M_NewName(bNewName, filepath, pNewName, category, message, keepLinkOpen);
  if (sent == 1) return 0;
  if (sent == 0) return -100;
  return sent;
}

int RV270Api_SaveBatchFileSingle(int port, int index, int count, int64_t totalSize, int fileClass,
                                 const char* path) {
  g_bKeepWaiting.store(1);
  if (!IsUsbPort(port)) {
    WriteLog('I', "RV270Api_UploadBatchFile has no function transported by com!");
    return -101;
  }
  static const char* const* const kClasses[] = {&kPicture, &kVideo, &kAudio, &kFirmware};
  if (fileClass < 1 || fileClass > 4) return -114;
  char message[kMessageSize] = {0};
  const int sent = RV270Api_UploadBatchFile(count, index, totalSize, message, *kClasses[fileClass - 1], path);
  if (sent == 1) return 1;
  return sent == kBusy ? kBusy : -114;
}

}  // namespace transfer
