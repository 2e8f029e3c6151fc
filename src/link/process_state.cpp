#include "link/process_state.h"

std::atomic<unsigned char> g_bKeepWaiting{1};
std::atomic<int> g_nLastError{0};
