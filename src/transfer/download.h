// The link dispatch of downloads and the folder batch: one file in a named category
// over USB (block download) or a serial port (package download), and the table of the
// media files a folder search found.
#pragma once
#include <cstddef>
#include <cstdint>

namespace transfer {

// One file in `category` over the port's link: 0 sent; -1001 busy; -100 file missing,
// handshake refused or broken, file not readable; -1, -2, -3 failures of the block
// phase; over a serial port the failures of the rate switch and the package download.
int RV270Api_SaveFile_NewName(int port, const char* category, uint8_t bNewName, const char* filepath,
                              const char* pNewName, char* message, bool keepLinkOpen = false);

// File i of a folder batch of `count` files and `totalSize` bytes; `fileClass` 1 to 4
// (picture, video, audio, firmware). 1 sent, -1001 busy, -101 on a serial port, -114
// otherwise.
int RV270Api_SaveBatchFileSingle(int port, int index, int count, int64_t totalSize, int fileClass,
                                 const char* path);

// The folder search's table: 512 paths of up to 259 bytes.
constexpr int kMaxBatchFiles = 512;
constexpr size_t kBatchPathSize = 260;
extern char g_szBatchFiles[kMaxBatchFiles][kBatchPathSize];

// Empties the table and forgets any overflow.
void ClearBatchFiles();
// True when the latest search found a file it could not store (table full or a path
// too long): such a batch would be incomplete.
bool BatchOverflowed();

// Adds the media files under `folder` (sub-folders depth first, names beginning with
// '.' and links skipped) to the table from index *count on, *count and *totalSize
// (low 32 bits of each size) growing with each; *total64 (when given) gets the full sizes.
void FileFind(const char* folder, int* count, int* totalSize, int64_t* total64 = nullptr);

// Extension classes: 1 picture, 2 video, 3 audio, 0 none. Single-file mode compares the
// extension case-sensitively; folder mode upper-cases it first.
int SingleFileClass(const char* path);
int FolderFileClass(const char* path);

}  // namespace transfer
