// The module's application object: start-up banner, first device search, release of
// waiting calls at exit.
#pragma once
#include <string>

class CQornRV270APIApp {
 public:
  virtual ~CQornRV270APIApp() = default;
  // Start-up: banner, device-access lock set-up, one device search. Always 1.
  virtual int InitInstance();
  // Shutdown: releases a wait still running on another thread. 0.
  virtual int ExitInstance();
};

// The module's file version as "%d.%d.%d.%d", or "1.9.9.9" without version information.
std::string GetFileVersionString();
