// Files from the terminal to the host over the USB HID link: one request names the
// file, the terminal answers with its transfer length and streams it as data reports
// (CommuniSize - 1 file bytes and their XOR each); the host acknowledges every 1 MB of
// reports and the last one.
#pragma once
#include <cstddef>
#include <cstdint>

namespace transfer {

// Where an upload goes: iMode 0 the host file savePath, written to "<savePath>.part"
// and renamed on success (a failed upload leaves no file at savePath); any other mode
// the buffer data of `capacity` bytes, with *dataLength the bytes stored.
struct UploadDestination {
  int iMode = 0;
  const char* savePath = nullptr;
  uint8_t* data = nullptr;
  size_t capacity = 0;
  int* dataLength = nullptr;
};

// Results: 0 stored; -1 collect buffer not had; -2 timeout 0, check byte wrong, or the
// file larger than the buffer; -3 request not built; -4 exchange failed or request
// refused (0x50 0x08); -5 answer rejected; -6 other answer or one too short for a size;
// -10 old file not deletable or an acknowledgement not sent; -1001 lock not obtained;
// 1 a report did not arrive (or a cancel); 4 link lost; other positive: system error
// code of a failed write of the host file.
int Receive1M(const UploadDestination& to, int cFileType, const char* pFileName, int timeout);

// Receives the reports of a transfer length T on the open link and stores the file.
int RecvBufWithLrc(const UploadDestination& to, int64_t T, int timeout, int reportPayload);

}  // namespace transfer
