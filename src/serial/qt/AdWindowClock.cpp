#include "serial/qt/AdWindowClock.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <climits>
#include <optional>

#include "serial/qt/AdWaitWaker.h"

namespace kestrel {

namespace {

// Keeps the window thread's event dispatcher woken by port reports while a
// wait that watches a condition runs.
class TPortReportsWake : public TApdWakeRegistration {
 public:
  explicit TPortReportsWake(TApdWaitWaker& waker)
      : TApdWakeRegistration(waker, QAbstractEventDispatcher::instance(QThread::currentThread())) {}
};

void process_pending_events() {
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

}  // namespace

TWindowClock::TWindowClock(TApdWaitWaker& waker) : Waker_(waker), Start_(steady_clock().now()) {}

int64_t TWindowClock::now() {
  return steady_clock().now() - Start_;
}

bool TWindowClock::sleep(int64_t ms, const std::function<bool()>& stop) {
  std::optional<TPortReportsWake> reports;
  if (stop) reports.emplace(Waker_);
  QDeadlineTimer deadline(std::clamp<int64_t>(ms, 0, INT_MAX), Qt::PreciseTimer);
  QTimer wake;
  wake.setSingleShot(true);
  wake.setTimerType(Qt::PreciseTimer);
  for (;;) {
    // Read before looking, so that a report arriving in between is not
    // slept through.
    const uint64_t seen = Waker_.Arrivals();
    process_pending_events();
    if (stop && stop()) return false;
    const qint64 left = deadline.remainingTime();
    if (left <= 0) return true;
    if (stop && Waker_.Arrivals() != seen) continue;
    // Blocks until the wake timer or some other window event comes in.
    wake.start(int(left));
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
}

void TWindowClock::rest(int64_t, uint64_t seen) {
  process_pending_events();
  Waker_.WaitFor(seen, 1);
}

bool TWindowClock::wait_until(const std::function<bool()>& done, int64_t deadline) {
  // Bytes held back from delivery (a prompt wait's) wake the wait as well.
  TPortReportsWake reports(Waker_);
  QTimer wake;
  wake.setSingleShot(true);
  wake.setTimerType(Qt::PreciseTimer);
  while (!done()) {
    const int64_t left = deadline - now();
    if (left <= 0) return false;
    wake.start(int(std::min<int64_t>(left, INT_MAX)));
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  return true;
}

}  // namespace kestrel
