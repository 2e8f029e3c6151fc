// The screen view: a small HTTP server, on 127.0.0.1 only, whose page draws live the
// simulated terminal's customer screen (status bar, welcome text, the information text
// or web page, the signing screen, the keypad prompt, the evaluation page, the playlist
// picture) beside the state's tables (texts, playlist, voice, signature image, teller
// card and evaluation, the latest commands). With the customer at the page
// (Simulator::SetBrowserCustomer) the page also answers the waits.
//
//   GET /               the page (HTML and a script that polls /state)
//   GET /state          the view as JSON (UTF-8; GBK texts converted)
//   GET /signature.png  the stored signature image {9, "UserSign.png"}, 404 without one
//   GET /picture?n=I    picture I of the playlist, when the terminal stores it whole
//   POST /customer      the page's customer acts (text lines: see ParseAction); only
//                       with the header X-RV270-Customer and a loopback Origin
//   anything else       404 (405 for other methods)
//
// One thread serves every connection; requests are read with a size and time bound and
// answered with "Connection: close". Secrets stay out: PIN pad and key commands are
// listed by their command bytes only, and an entry shows the count of digits typed,
// never the digits (the page sends each key press; the simulator keeps the digits).
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "rv270sim/simulator.h"

namespace rv270sim {

class HttpView {
 public:
  // `sim` must outlive the view (or the view be stopped first).
  explicit HttpView(Simulator& sim);
  ~HttpView();  // stops the server
  HttpView(const HttpView&) = delete;
  HttpView& operator=(const HttpView&) = delete;

  // Listens on 127.0.0.1:port (0: an ephemeral port). False, with the reason in
  // `error`, when it cannot listen. Starting a started view does nothing.
  bool Start(uint16_t port, std::string& error);
  uint16_t Port() const;  // 0 while stopped
  void Stop();            // joins the thread and closes every connection

 private:
  struct Server;
  Simulator& sim_;
  std::unique_ptr<Server> server_;
};

// The /state document of a view: the fields the page shows, as JSON.
std::string ViewJson(const CustomerView& view);

}  // namespace rv270sim
