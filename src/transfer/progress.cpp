#include "transfer/progress.h"

#include "platform/time.h"

namespace transfer {

namespace {
std::atomic<ProgressObserver> g_progressObserver{nullptr};
}  // namespace

void SetProgressObserver(ProgressObserver observer) { g_progressObserver.store(observer); }

ProgressReport::ProgressReport(int direction, int64_t total)
    : observer_(g_progressObserver.load()), direction_(direction), total_(total) {
  if (observer_) {
    last_ = platform::TickMs();
    observer_(direction_, 0, total_);
  }
}

void ProgressReport::Report(int64_t done) {
  const uint32_t now = platform::TickMs();
  if (done < total_ && now - last_ < kProgressIntervalMs) return;
  last_ = now;
  observer_(direction_, done, total_);
}

}  // namespace transfer
