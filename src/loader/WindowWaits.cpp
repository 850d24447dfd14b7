#include "WindowWaits.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QTimer>

#include "AdWaitWaker.h"

namespace kestrel {

namespace {
bool WaitsStopped = false;  // window thread only
}  // namespace

void stop_waits(bool stopped) {
  WaitsStopped = stopped;
}

bool waits_stopped() {
  return WaitsStopped;
}

void process_pending_events() {
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void sleep_processing_events(int ms) {
  QDeadlineTimer deadline(ms, Qt::PreciseTimer);
  QTimer wake;
  wake.setSingleShot(true);
  wake.setTimerType(Qt::PreciseTimer);
  for (;;) {
    process_pending_events();
    const qint64 left = deadline.remainingTime();
    if (left <= 0 || WaitsStopped) return;
    // Blocks until the wake timer or some other window event comes in.
    wake.start(int(left));
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
}

bool wait_in_rounds(const std::function<bool()>& ready, int rounds, int64_t atLeastMs) {
  TApdWaitWaker& waker = TApdWaitWaker::Instance();
  QElapsedTimer clock;
  clock.start();
  for (int round = 1;; ++round) {
    // Read before looking, so that a report arriving in between ends the
    // sleep below at once.
    const uint64_t seen = waker.Arrivals();
    if (WaitsStopped) return false;
    if (ready()) return true;
    process_pending_events();
    waker.WaitFor(seen, 1);
    if (round >= rounds && clock.elapsed() >= atLeastMs) return false;
  }
}

}  // namespace kestrel
