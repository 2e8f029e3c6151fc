// One command exchange over the USB HID link, and the packet send/receive in reports
// that the exchange variants and file transfers share.
#pragma once
#include <cstddef>
#include <atomic>
#include <cstdint>

#include "protocol/packet.h"

// The longest request payload: what the packet's length field can carry (the
// 409600-byte outgoing buffer would hold more). The cancel exchange frames into a
// 1000-byte buffer.
constexpr int kMaxHidRequest = kMaxPacketPayload < (409600 - 8) / 2 ? kMaxPacketPayload : (409600 - 8) / 2;
constexpr int kMaxHidCancelRequest = (1000 - 8) / 2;

// Results of the USB exchange (besides those of exchange.h).
constexpr int kSendFailed = -1;               // SendPackage: a report not written, or out of time
constexpr int kHidSendFailed = -3;            // the request could not be sent
constexpr int kHidLinkNotOpen = -4;           // RecvPackage without an open link
constexpr int kHidBadFrame = -6;              // the framed request does not start with STX
constexpr int kHidBrokenOffAfterAnswer = -6;  // a cancel came while the answer arrived
constexpr int kHidWaitBrokenOff = -8;         // a cancel broke off the wait
constexpr int kHidNoAnswer = -9;              // no first answer report (time-out or read failure)
constexpr int kHidAnswerCut = -14;            // a further report of the answer did not come


// The USB exchange; `capacity` bytes of room in `response`.
int HidCommunication(const uint8_t* request, int requestLength, uint8_t* response, size_t capacity,
                     int* responseLength, int timeoutMs);

// The exchange on a link a LinkSession holds open (no opening, closing or locks):
// `cancellable` false gives the cancel exchange's sizes and reads.
int HidExchangeOnOpenLink(const uint8_t* request, int requestLength, uint8_t* response, size_t capacity,
                          int* responseLength, int timeoutMs, bool cancellable);

// The cancel exchange over USB: ignores g_bKeepWaiting while it sends and awaits the
// first answer report.
int HidCommunicationCancel(const uint8_t* request, int requestLength, uint8_t* response, size_t capacity,
                           int* responseLength, int timeoutMs);
// The same with `budgetMs` covering the locks, the open and the answer (CommunicateCancelWithin).
int HidCommunicationCancelWithin(const uint8_t* request, int requestLength, uint8_t* response, size_t capacity,
                                 int* responseLength, int budgetMs);

// Writes a packet as reports of CommuniSize bytes: 0, or kSendFailed on a write failure or when
// the deadline passed before every report was written. With `cancellable`, sending
// stops early (returning 0) once g_bKeepWaiting is cleared.
int SendPackage(const uint8_t* packet, int length, int timeoutMs, bool cancellable = true);

// Reads one answer packet into `packet` (room for `capacity` bytes): 0 with *length
// set; kHidLinkNotOpen, kHidWaitBrokenOff, kHidNoAnswer (no first report / read
// failure), kHidAnswerCut (a further report missing), kAnswerTooLong when the packet
// would not fit. timeoutMs is the wait for the first report; each further one is awaited
// 1 s, or with `wholeAnswerInTime` what remains of timeoutMs.
int RecvPackage(uint8_t* packet, size_t capacity, int* length, int timeoutMs, bool cancellable = true,
                bool wholeAnswerInTime = false);

// Capacity a packet buffer needs for answers of up to `payload` bytes, whole reports included.
size_t PacketCapacity(size_t payload);
