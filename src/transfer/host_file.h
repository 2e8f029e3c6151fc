// Host files read and written by the transfers: 64-bit sizes and offsets, every read
// and write checked.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace transfer {

// The text after the last '\' or '/' of a path (the whole path when it has neither).
const char* FileNameOf(const char* path);

// True when `name` can only name a file inside the folder it is joined to: not empty,
// and no backslash, slash, ':' or "..".
bool IsPlainFileName(const char* name);

// A file open for reading or writing; closed by the destructor.
class HostFile {
 public:
  HostFile() = default;
  ~HostFile();
  HostFile(const HostFile&) = delete;
  HostFile& operator=(const HostFile&) = delete;

  bool OpenRead(const char* path);
  bool OpenWrite(const char* path);  // created or emptied
  bool IsOpen() const { return file_ != nullptr; }
  // Reads exactly `length` bytes at `offset`; false on a short or failed read.
  bool ReadAt(int64_t offset, void* data, size_t length);
  // Appends; 0, or the system error code of the failed write.
  int Write(const void* data, size_t length);
  // Flushes and closes; 0, or the system error code when the data may not be on disk.
  int Close();

 private:
  FILE* file_ = nullptr;
};

// Renames `from` to `to`, replacing nothing (the caller removed `to`): 0 or a system
// error code.
int RenameFile(const char* from, const char* to);

}  // namespace transfer
