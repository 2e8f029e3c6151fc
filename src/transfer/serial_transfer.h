// Files over a serial port: the terminal is switched to 115200 bit/s for the transfer
// and back to the library rate afterwards; files travel raw in 1024-byte packages, each
// answered (download) or acknowledged (upload) with a packet.
#pragma once
#include <cstdint>

#include "transfer/upload.h"

namespace transfer {

// The rate code of the rate-switch command, or 0 for a rate without one.
int RateCode(int rate);

// Switches the terminal's rate: opens port `port` at currentRate (channel of the latest
// open), sends 50 99 code, reopens at newRate and reads the answer there. 0 accepted;
// -1 port not opened (*status '1', message "开口失败"); the negative exchange result
// (*status '1', "通讯失败"); -4 refused (*status and message[0] the terminal's reason).
int SetDeviceBaud_Comm(int port, int newRate, int currentRate, uint8_t* status, char* message);

// The package download at 115200 bit/s: 1 sent; 0 name over 24 bytes, file not
// readable, a package not accepted (reason in message); -1 port not opened or
// handshake exchange failed; -4 file refused (0x00 0x7A).
int DownloadFile_Comm(int port, uint8_t bNewName, const char* filepath, const char* category,
                      const char* pNewName, char* message);

// The serial branch of the download dispatcher: rate switch, package download, switch
// back (whatever the download gave). Returns the dispatcher's result: 0 sent, -100 for
// a failed download, the negative results of the switches and the download otherwise.
int SerialDownload(int port, const char* category, uint8_t bNewName, const char* filepath,
                   const char* pNewName, char* message);

// The upload at 115200 bit/s. 0 stored; -1 save path without a folder separator, rate
// switch failed, request refused, the library rate has no rate code; -2 request
// exchange failed, a package did not arrive, the file larger than the buffer; -6 port
// not opened; -10 old file not deletable; positive: system error of a failed write.
// The terminal's rate is restored on every path after the first switch was accepted.
int UploadFileToPC_Comm(const UploadDestination& to, int port, int libraryRate, int cFileType,
                        const char* pFileName);

// After a serial download of firmware: waits on the port for the installation answer.
int SerialReceiveOnly(int port, int selector, uint8_t* response, int capacity, int* responseLength,
                      int timeoutMs);

}  // namespace transfer
