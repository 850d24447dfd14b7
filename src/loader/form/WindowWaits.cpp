#include "loader/form/WindowWaits.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>
#include <QTimer>
#include <chrono>

#include "serial/qt/AdWaitWaker.h"

namespace kestrel {

namespace {

int64_t steady_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Keeps the window thread's event dispatcher woken by port reports while a
// sleep that watches a condition runs.
class TPortReportsWake {
 public:
  TPortReportsWake() : Dispatcher_(QAbstractEventDispatcher::instance(QThread::currentThread())) {
    if (Dispatcher_) TApdWaitWaker::Instance().AddEventDispatcher(Dispatcher_);
  }
  ~TPortReportsWake() {
    if (Dispatcher_) TApdWaitWaker::Instance().RemoveEventDispatcher(Dispatcher_);
  }
  TPortReportsWake(const TPortReportsWake&) = delete;
  TPortReportsWake& operator=(const TPortReportsWake&) = delete;

 private:
  QAbstractEventDispatcher* const Dispatcher_;
};

}  // namespace

TRealTimeWaits::TRealTimeWaits() : Start_(steady_ms()) {}

int64_t TRealTimeWaits::now_ms() {
  return steady_ms() - Start_;
}

// Sleeps `ms`, handling window events, until the time is up (true) or
// `stop`, asked after every wake, holds (false).
bool TRealTimeWaits::sleep_until(int ms, const std::function<bool()>& stop) {
  TApdWaitWaker& waker = TApdWaitWaker::Instance();
  QDeadlineTimer deadline(ms, Qt::PreciseTimer);
  QTimer wake;
  wake.setSingleShot(true);
  wake.setTimerType(Qt::PreciseTimer);
  for (;;) {
    // Read before looking, so that a report arriving in between is not
    // slept through.
    const uint64_t seen = waker.Arrivals();
    process_pending_events();
    if (stop && stop()) return false;
    const qint64 left = deadline.remainingTime();
    if (Stopped_) return false;
    if (left <= 0) return true;
    if (stop && waker.Arrivals() != seen) continue;
    // Blocks until the wake timer or some other window event comes in.
    wake.start(int(left));
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
}

void TRealTimeWaits::process_pending_events() {
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void TRealTimeWaits::sleep_processing_events(int ms) {
  sleep_until(ms, nullptr);
}

bool TRealTimeWaits::sleep_unless(int ms, const std::function<bool()>& stop) {
  TPortReportsWake reports;
  return sleep_until(ms, stop);
}

bool TWindowWaits::wait_while_moving(const std::function<TWaitLook()>& look, int64_t stallMs) {
  TApdWaitWaker& waker = TApdWaitWaker::Instance();
  int64_t stillSince = now_ms();
  for (;;) {
    // Read before looking, so that a report arriving in between ends the
    // rest below at once.
    const uint64_t seen = waker.Arrivals();
    if (waits_stopped()) return false;
    switch (look()) {
      case TWaitLook::Done:
        return true;
      case TWaitLook::Moved:
        stillSince = now_ms();
        break;
      case TWaitLook::Still:
        if (now_ms() - stillSince >= stallMs) return false;
        break;
    }
    rest_between_looks(stillSince + stallMs, seen);
  }
}

void TRealTimeWaits::rest_between_looks(int64_t, uint64_t seen) {
  process_pending_events();
  TApdWaitWaker::Instance().WaitFor(seen, 1);
}

bool TRealTimeWaits::wait_for_events(const std::function<bool()>& done, int64_t dueMs) {
  // Bytes held back from delivery (a prompt wait's) wake the wait as well.
  TPortReportsWake reports;
  QTimer wake;
  wake.setSingleShot(true);
  wake.setTimerType(Qt::PreciseTimer);
  while (!done()) {
    const int64_t left = dueMs - now_ms();
    if (left <= 0) return false;
    wake.start(int(left));
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  return true;
}

}  // namespace kestrel
