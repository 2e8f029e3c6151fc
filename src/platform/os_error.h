// The operating system's reason for a failed open, read or write of a device, kept per
// thread so that the layer that logs the failure can say why it happened.
#pragma once
#include <string>

namespace platform {

// Keeps `code` (errno, GetLastError) as the calling thread's latest device failure.
// A code of 0 keeps nothing.
void RecordOsError(int code);
// Keeps LastOsError() (fs.h), read at once after the failed call.
void RecordLastOsError();
// Takes the calling thread's kept code (0 when none) and forgets it.
int TakeOsError();
// Forgets the calling thread's kept code.
void ClearOsError();
// The system's text for a code, without a trailing line break ("" when it has none).
std::string OsErrorText(int code);

}  // namespace platform
