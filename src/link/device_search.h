// The device search: which terminal models the library recognises and where one is.
#pragma once
#include <cstddef>

// One entry of the device table: "VID_xxxx&PID_xxxx".
constexpr size_t kDeviceTableEntries = 20;
extern const char* const kDeviceTable[kDeviceTableEntries];

// Searches the present devices; on success copies the four-character product and
// vendor id texts (no terminator) to pPid and pVid. 1 found, 0 none, -2 the search
// failed (last error 105). Logs its own start, search and end lines.
int SearchPidVid(char* pPid, char* pVid);
