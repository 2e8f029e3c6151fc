// One command exchange with the terminal over the link the port selects.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

// Port 0 or 1001 is the USB HID link; any other number the serial port of that number.
inline bool IsUsbPort(int port) { return port == 0 || port == 1001; }
constexpr int kUsbLinkPort = 0;

// Exchange results beyond those of the links, for requests and answers that do not fit.
constexpr int kRequestTooLong = -15;   // refused before anything was sent
constexpr int kAnswerTooLong = -16;    // the answer announced more than the buffer holds
constexpr int kAnswerMalformed = -17;  // the answer packet was rejected by the decoder
constexpr int kBadArguments = -18;     // a null buffer or a negative length
constexpr int kBusy = -1001;           // the device-access lock was not obtained

// Sends the request payload and stores the answer payload (status bytes first) in
// `response`, which holds `capacity` bytes; an answer announcing more is refused before
// anything is stored. Timeout in ms for the (first part of the) answer. Returns 0 or a
// negative exchange result.
int Communicate(int port, int selector, const uint8_t* request, int requestLength,
                uint8_t* response, size_t capacity, int* responseLength, int timeoutMs);

// The cancel exchange: gets through while another thread's wait is being broken off.
int CommunicateCancel(int port, int selector, const uint8_t* request, int requestLength,
                      uint8_t* response, size_t capacity, int* responseLength, int timeoutMs);
// The cancel exchange of a cancel command, which must answer its caller in bounded time
// whatever it meets on the link: `budgetMs` covers the wait for the other cancels, the
// link's open (which first closes the link of the call being broken off and pauses) and
// the wait for the answer together. The answer is still awaited at least
// kMinCancelAnswerMs, the time a terminal takes to answer.
int CommunicateCancelWithin(int port, int selector, const uint8_t* request, int requestLength,
                            uint8_t* response, size_t capacity, int* responseLength, int budgetMs);
constexpr int kMinCancelAnswerMs = 100;
// What a budget started at `startMs` leaves for the answer (see CommunicateCancelWithin);
// a budget of 0 or less is no budget and stays as it is.
int AnswerWaitWithin(int budgetMs, uint32_t startMs);

// The library serial rate every serial open uses (0 means 9600).
extern std::atomic<int> g_nSerialRate;
