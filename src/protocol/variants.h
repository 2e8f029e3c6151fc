// The exchanges besides the ordinary request/answer: plain and framed key input (raw
// sequences, raw answers) and the receive-only wait. Each opens the link at its start
// and closes it at its end; a key run writes the caller's end sequence on every path
// after its start sequence was sent, so the keypad always leaves its input mode.
#pragma once
#include <cstddef>
#include <cstdint>

// Keys kept per run, before the enter key. A run that gets more keys is ended as failed
// (result -2), after its end sequence, without writing past the text buffer.
constexpr int kMaxKeys = 127;

// Results of the key inputs (besides kBusy and the link's open failure).
constexpr int kKeyRunFailed = -2;     // no key in time, entry time ran out, or too many keys
constexpr int kKeyRunNoStart = -3;    // USB: the start sequence could not be written
constexpr int kKeyRunNoStx = -3;      // framed: the answer does not start with 0x02
constexpr int kKeyRunTextCut = -4;    // framed, serial: the text did not end in time
constexpr int kKeyRunBrokenOff = -6;  // USB: a cancel broke off the wait
constexpr int kKeyRunCancelled = -11; // framed, serial: a cancel broke off the wait

constexpr uint8_t kEnterKey = 0x0D;
constexpr uint8_t kBackspaceKey = 0x08;
constexpr uint8_t kEntryTimedOut = 0xAA;

// Backspace editing into `text` (room for `count` bytes); returns the text length.
// Mode 0: each backspace removes itself and the character before it; any other mode:
// only the characters after the last backspace remain.
int EditBackspaces(int mode, const uint8_t* keys, int count, uint8_t* text);

struct KeySequences {
  const uint8_t* start;
  int startLength;
  const uint8_t* end;
  int endLength;
};

// The key inputs on the link of `port` (USB for 0 and 1001, otherwise that serial port
// at the library serial rate with the selector's channel switch), each run in a
// LinkSession of its own: the plain key input (RV270Api_Communication_ClearKey) and
// the framed one (RV270Api_Communication_23Key). The text buffer receives exactly the
// text and a zero byte (kMaxKeys + 1 bytes of room).
int CommunicationClearKey(int port, int selector, int mode, const KeySequences& seq, uint8_t* text,
                          int* textLength, int timeoutMs);
int Communication23Key(int port, int selector, int mode, int editFlag, const KeySequences& seq, uint8_t* text,
                       int* textLength, int timeoutMs);

// Plain key input: one key per report (USB) or byte (serial) until the enter key.
// `text` receives the edited keys (at most kMaxKeys bytes), *textLength their number.
int HidCommunicationClearKey(int mode, const KeySequences& seq, uint8_t* text, int* textLength, int timeoutMs);
int CommduClearKey(int mode, const KeySequences& seq, uint8_t* text, int* textLength, int timeoutMs);

// Framed key input: the text the terminal sends between 0x02 and 0x03; editFlag 0 keeps
// it as typed, otherwise it is edited with `mode`.
int HidCommunication23Key(int mode, int editFlag, const KeySequences& seq, uint8_t* text, int* textLength,
                          int timeoutMs);
int Commdu23Key(int mode, int editFlag, const KeySequences& seq, uint8_t* text, int* textLength, int timeoutMs);

// Serial routines run on a link already open (CommunicationClearKey and
// Communication23Key open it); the USB ones open and close their own.
// Opens the link and waits for one answer packet without sending anything.
int HidReceiveOnly(uint8_t* response, size_t capacity, int* responseLength, int timeoutMs);
