// LinkSession: one dialogue with the terminal, from the opening of its link to the
// closing, with the locks that keep other dialogues of the process (and, with the
// device-access switch on, of other processes) off the link meanwhile.
//
// Every exchange runs inside one: the ordinary exchange and its variants (key inputs,
// receive-only wait) on either link. (The file transfers drive the open link through
// their own routines, inside HoldExchanges below.)
//
//   LinkSession session(port, selector);          // waits for the exchange lock
//   if (!session.Acquired()) return kBusy;         // device-access lock not obtained
//   const int opened = session.Open();             // 0, or the link's failure
//   if (opened != 0) return opened;
//   int length = 0;
//   int r = session.Exchange(request, n, answer, sizeof(answer), &length, 5000);
//   ... session.SendPacket(...) / session.ReceivePacket(...) / session.ReadReport(...)  // USB
//   return r;                                      // the destructor closes the link
//
// The exchange lock is process-wide and held from construction to destruction, so the
// exchanges of several threads run one after another and each gets its own answer.
// The lock is recursive: a window procedure run from the message pump inside a wait
// may call the library again on the same thread. The cancel session (Kind::kCancel)
// does not take it, so that a cancel can break off the wait of the session holding it;
// cancels are serialised among themselves by a lock of their own, which a new exchange
// session waits for too, so that it does not open its link in the middle of a cancel's.
//
// A session is used by the thread that made it; it is not copyable.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

class DeviceLockHolder;

class LinkSession {
 public:
  enum class Kind { kExchange, kCancel };

  // Takes the locks for a dialogue on `port` (0 or 1001: USB; any other: that serial
  // port, opened at the library serial rate with `selector`'s channel switch). On USB
  // an exchange session also waits for the device-access lock when its switch is on.
  LinkSession(int port, int selector, Kind kind = Kind::kExchange);
  // Closes the link if this session opened it, then releases the locks.
  ~LinkSession();
  LinkSession(const LinkSession&) = delete;
  LinkSession& operator=(const LinkSession&) = delete;

  // False when the device-access lock was not obtained: the dialogue must not start
  // (its result is kBusy).
  bool Acquired() const;
  // Opens the link: 0, or the link's failure (-1). On USB a failure is logged as
  // "打开端口失败!" with the operating system's reason on the line after it.
  int Open();
  // Closes the link now (the destructor then has nothing to close).
  void Close();

  bool IsUsb() const { return usb_; }
  bool IsOpen() const { return open_; }
  bool Cancellable() const { return kind_ == Kind::kExchange; }

  // One request/answer exchange on the open link, as the ordinary exchange does it
  // (the cancel session's: not broken off by a cancel). 0 or a negative exchange result.
  // With `wholeAnswerInTime` (serial cancel sessions) all of the answer must come
  // within timeoutMs.
  int Exchange(const uint8_t* request, int requestLength, uint8_t* response, size_t capacity,
               int* responseLength, int timeoutMs, bool wholeAnswerInTime = false);

  // USB: a framed packet as reports of CommuniSize bytes, and one answer packet (the
  // results of SendPackage and RecvPackage); one report in (report id first, `out` holds
  // kMaxReportLength bytes; the report length, 0 broken off, -4 time-out, -1 failure).
  int SendPacket(const uint8_t* packet, int length, int timeoutMs);
  int ReceivePacket(uint8_t* packet, size_t capacity, int* length, int timeoutMs);
  int ReadReport(uint8_t* out, int timeoutMs);

  // Room ReadReport needs in its `out` buffer.
  static constexpr size_t kMaxReportLength = 1000;

 private:
  int port_;
  int selector_;
  Kind kind_;
  bool usb_;
  bool open_ = false;
  std::unique_lock<std::recursive_mutex> exchangeLock_;
  std::unique_lock<std::mutex> cancelLock_;
  std::unique_ptr<DeviceLockHolder> deviceLock_;
};

// Holds the process-wide exchange lock across a dialogue made of several exchanges (a
// file transfer: handshake, data reports or packages, feedback, a rate switch), so that
// other threads' exchanges wait for its end instead of landing in the middle of it. The
// sessions the dialogue opens on this thread take the lock again (it is recursive).
std::unique_lock<std::recursive_mutex> HoldExchanges();
