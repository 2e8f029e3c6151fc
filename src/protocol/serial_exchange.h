// Command exchanges over the serial port (opened by the caller): the same packet format
// as on USB, written in one block and read back byte-wise. Never encrypted.
#pragma once
#include <cstddef>
#include <cstdint>

// Longest request payload (its packet fills the 9000-byte frame buffer) and answer
// payload (its packet fills the 4096-byte incoming buffer).
constexpr int kMaxSerialRequest = 4496;
constexpr int kMaxSerialAnswer = 2044;

// Results of the serial exchanges.
constexpr int kSerialPortNotOpen = -1;
constexpr int kSerialNoAnswer = -2;       // first five answer bytes missing (or wait broken off)
constexpr int kSerialNoStx = -3;
constexpr int kSerialRestMissing = -4;
constexpr int kSerialBadCheck = -5;
constexpr int kSerialNoEtx = -6;
constexpr int kSerialReopenFailed = -7;

// Results: the above, kRequestTooLong, kAnswerTooLong. *status receives the first two
// payload bytes (BE).
int ICCombo_Commdu(const uint8_t* request, int L, int timeoutMs, uint8_t* response, size_t capacity,
                   int* responseLength, int* status);
// As ICCombo_Commdu, with reads that ignore a cleared g_bKeepWaiting. With
// `wholeAnswerInTime` the rest of the answer must come within timeoutMs as well (it is
// otherwise awaited 2 s after the first bytes).
int ICCombo_CommduNoCancel(const uint8_t* request, int L, int timeoutMs, uint8_t* response,
                           size_t capacity, int* responseLength, int* status, bool wholeAnswerInTime = false);
// Sends a three-byte request at the current rate, reopens the port at `rate` and reads
// the answer there (20000 ms for its start, 500 ms for the rest).
int CommduChangeBaud(const uint8_t* request3, int port, int rate, uint8_t* response, size_t capacity,
                     int* responseLength, int* status);
// Sends a packet framed by the caller; the answer's check byte is not verified.
// `firstMs`: the wait for the answer's first five bytes.
int CommduFramed(const uint8_t* packet, int length, uint8_t* response, size_t capacity,
                 int* responseLength, int* status, int firstMs = 600000);
// Reads N raw bytes (at most 4096) within 15000 ms, then acknowledges with a packet of
// the two-byte payload `ack`. 0, -1 port not open, -2 bytes missing.
int RecvRawAndAck(const uint8_t* ack, int N, uint8_t* out, int timeoutMs = 15000);
// Waits for one answer packet without sending anything (results as ICCombo_Commdu).
int CommduReceiveOnly(int timeoutMs, uint8_t* response, size_t capacity, int* responseLength, int* status);
