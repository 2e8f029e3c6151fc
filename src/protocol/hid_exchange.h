// One command exchange over the USB HID link, and the packet send/receive in reports
// that the exchange variants and file transfers share.
#pragma once
#include <cstddef>
#include <atomic>
#include <cstdint>

// The longest request payload: its packet must fit the 409600-byte outgoing buffer.
constexpr int kMaxHidRequest = (409600 - 8) / 2;




// The USB exchange; `capacity` bytes of room in `response`.
int HidCommunication(const uint8_t* request, int requestLength, uint8_t* response, size_t capacity,
                     int* responseLength, int timeoutMs);

// The cancel exchange over USB: ignores g_bKeepWaiting while it sends and awaits the
// first answer report.
int HidCommunicationCancel(const uint8_t* request, int requestLength, uint8_t* response, size_t capacity,
                           int* responseLength, int timeoutMs);

// Writes a packet as reports of CommuniSize bytes: 0, or -1 on a write failure or when
// the deadline passed before every report was written. With `cancellable`, sending
// stops early (returning 0) once g_bKeepWaiting is cleared.
int SendPackage(const uint8_t* packet, int length, int timeoutMs, bool cancellable = true);

// Reads one answer packet into `packet` (room for `capacity` bytes): 0 with *length
// set; -4 link not open, -8 wait broken off, -9 no first report / read failure, -14 a
// further report missing, kAnswerTooLong when the packet would not fit.
int RecvPackage(uint8_t* packet, size_t capacity, int* length, int timeoutMs, bool cancellable = true);

// Capacity a packet buffer needs for answers of up to `payload` bytes, whole reports included.
size_t PacketCapacity(size_t payload);
