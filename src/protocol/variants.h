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

// Plain key input: one key per report (USB) or byte (serial) until the enter key.
// `text` receives the edited keys (at most kMaxKeys bytes), *textLength their number.
int HidCommunicationClearKey(int mode, const KeySequences& seq, uint8_t* text, int* textLength, int timeoutMs);
int CommduClearKey(int mode, const KeySequences& seq, uint8_t* text, int* textLength, int timeoutMs);

// Framed key input: the text the terminal sends between 0x02 and 0x03; editFlag 0 keeps
// it as typed, otherwise it is edited with `mode`.
int HidCommunication23Key(int mode, int editFlag, const KeySequences& seq, uint8_t* text, int* textLength,
                          int timeoutMs);
int Commdu23Key(int mode, int editFlag, const KeySequences& seq, uint8_t* text, int* textLength, int timeoutMs);

// Opens the link and waits for one answer packet without sending anything.
int HidReceiveOnly(uint8_t* response, size_t capacity, int* responseLength, int timeoutMs);
