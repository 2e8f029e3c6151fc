// Files and folders. Paths are 8-bit texts in the platform's own encoding.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// The path separator of host paths ('\\' on Windows, '/' elsewhere).
char PathSeparator();

bool PathExists(const std::string& path);
bool IsDirectory(const std::string& path);
// Creates one folder level; false when it could not be created.
bool MakeDirectory(const std::string& path);
bool RemoveFile(const std::string& path);
// Size in bytes, or -1 when the file cannot be examined.
int64_t FileSize(const std::string& path);

struct DirEntry {
  std::string name;       // name inside the folder, no path
  bool isDirectory;
  int64_t lastWriteUnix;  // seconds since 1970 UTC; 0 when unknown or before 1900
};

// Lists every entry of a folder ("." and ".." included where the system reports
// them). False when the listing cannot start.
bool ListFolder(const std::string& folder, std::vector<DirEntry>& out);

// The operating system's last error code (GetLastError / errno), a positive number.
int LastOsError();

}  // namespace platform
