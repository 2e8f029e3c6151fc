// The USB HID link held open for a file transfer: the handshake exchange that leaves
// the link open, then raw data reports in either direction and feedback packets.
// One transfer at a time per process; the caller closes the link (ClosePort).
#pragma once
#include <cstddef>
#include <cstdint>

// Opens the link and reads its report size: 0 with *reportPayload set to CommuniSize,
// which must lie within 2 .. (output report length - 1) so that a data report and its
// check byte fit one output report; -1 when the link cannot be opened ("打开端口失败!"
// logged), -2 for a report size outside that range (the link is closed).
int OpenTransferLink(int* reportPayload);

// Sends a framed command packet on the open link and reads the answer packet (not
// decoded) into `answer` (room for `capacity` bytes). 0 with the link still open;
// -7 for a packet without STX, -3 when a report was not written, the RecvPackage result
// when no answer came, -6 when a cancel broke the wait off: the link is then closed.
int SendData(const uint8_t* packet, int length, uint8_t* answer, size_t capacity, int* answerLength,
             int timeoutMs);

// Writes one data report of `length` (at most CommuniSize) bytes: 0, or -1.
int SendDataReport(const uint8_t* data, int length);

// Reads one input report within timeoutMs and copies its CommuniSize payload bytes to
// `out` (room for CommuniSize bytes): 0 with *length set; -4 when the link is not open;
// -1 when no report came or the wait was broken off ("接收len==0", "BytesRead==%d").
int RecvDataReport(uint8_t* out, int* length, int timeoutMs);

// Reads one packet and decodes it into `payload` (room for `capacity` bytes): 0 with
// *payloadLength set; -2 when no packet came (or the wait was broken off), -3 when the
// decoder rejected it or it does not fit.
int RecvDecodedPacket(uint8_t* payload, size_t capacity, int* payloadLength, int timeoutMs);

// Waits on the open link for one answer packet without sending anything ("before" and
// "after" logged), decodes it into `response` (room for `capacity` bytes) and closes the
// link. 0; the RecvPackage result; -6 after a cancel; kAnswerTooLong, kAnswerMalformed.
int ReceiveOnOpenLink(uint8_t* response, size_t capacity, int* responseLength, int timeoutMs);
