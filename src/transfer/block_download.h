// Files from the host to the terminal over the USB HID link: a handshake packet
// announces the file, the file follows as data reports (CommuniSize - 1 file bytes and
// their XOR each) in blocks of about 1 MB, and the terminal answers every block with a
// feedback packet that accepts it (0x00 0x00) or asks for it again (0x00 0x01).
#pragma once
#include <cstddef>
#include <cstdint>

namespace transfer {

// The caller's reason buffer: 512 bytes, zeroed by the caller.
constexpr size_t kMessageSize = 512;
// Writes `text` into the reason buffer (when given), cut to fit with its terminator.
void Reason(char* message, const char* text);
// Device-side names must fit the 64-byte name buffer with its terminator.
constexpr size_t kMaxDeviceName = 63;
// A block asked for again more often than this ends the transfer.
constexpr int kMaxResends = 8;

// Results: 1 sent; 0 handshake failed, refused, or file not openable (reason in
// `message`), or device name too long / file too large for its field; -100 file size
// unreadable; -1001 device-access lock not obtained; -1 a data report not sent or the
// file not readable; -2 no feedback; -3 feedback rejected, refused or asked for again
// too often. With `keepLinkOpen` the link stays open after a success (the caller then
// closes it); on every other path it is closed.
int UploadFile_1M_NewName(uint8_t bNewName, const char* filepath, const char* pNewName, const char* category,
                          char* message, bool keepLinkOpen = false);

// One file of a folder batch (handshake 0x50 0x05 with the batch's count, this file's
// index and the batch's total size). The same results, but 0 for an unreadable size.
int RV270Api_UploadBatchFile(int count, int index, int64_t totalSize, char* message, const char* category,
                             const char* filepath);

// Total transfer length of a file: its bytes plus one check byte per data report.
int64_t TransferLength(int64_t size, int reportPayload);

}  // namespace transfer
