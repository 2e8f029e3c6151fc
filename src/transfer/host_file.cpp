#include "transfer/host_file.h"

#include <cerrno>
#include <cstring>

namespace transfer {

namespace {

int Seek(FILE* file, int64_t offset) {
#ifdef _WIN32
  return _fseeki64(file, offset, SEEK_SET);
#else
  return fseeko(file, static_cast<off_t>(offset), SEEK_SET);
#endif
}

int ErrorCode() { return errno > 0 ? errno : 5; }  // EIO when the C library says nothing

}  // namespace

const char* FileNameOf(const char* path) {
  const char* name = path;
  for (const char* p = path; *p; ++p) {
    if (*p == '\\' || *p == '/') name = p + 1;
  }
  return name;
}

bool IsPlainFileName(const char* name) {
  if (name == nullptr || *name == '\0') return false;
  return strpbrk(name, "\\/:") == nullptr && strstr(name, "..") == nullptr;
}

HostFile::~HostFile() {
  if (file_) fclose(file_);
}

bool HostFile::OpenRead(const char* path) {
  file_ = fopen(path, "rb");
  return file_ != nullptr;
}

bool HostFile::OpenWrite(const char* path) {
  file_ = fopen(path, "wb");
  return file_ != nullptr;
}

bool HostFile::ReadAt(int64_t offset, void* data, size_t length) {
  if (!file_ || offset < 0 || Seek(file_, offset) != 0) return false;
  return length == 0 || fread(data, 1, length, file_) == length;
}

int HostFile::Write(const void* data, size_t length) {
  if (!file_) return 9;  // EBADF
  errno = 0;
  if (length && fwrite(data, 1, length, file_) != length) return ErrorCode();
  return 0;
}

int HostFile::Close() {
  if (!file_) return 0;
  errno = 0;
  const bool flushed = fflush(file_) == 0;
  const int code = flushed ? 0 : ErrorCode();
  errno = 0;
  const bool closed = fclose(file_) == 0;
  file_ = nullptr;
  if (!flushed) return code;
  return closed ? 0 : ErrorCode();
}

int RenameFile(const char* from, const char* to) {
  errno = 0;
  return rename(from, to) == 0 ? 0 : ErrorCode();
}

}  // namespace transfer
