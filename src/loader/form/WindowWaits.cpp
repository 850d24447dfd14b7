#include "loader/form/WindowWaits.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QThread>
#include <QTimer>

#include "serial/qt/AdWaitWaker.h"

namespace kestrel {

namespace {
bool WaitsStopped = false;  // window thread only
}  // namespace

void stop_waits(bool stopped) {
  WaitsStopped = stopped;
}

namespace {

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

// Sleeps `ms`, handling window events, until the time is up (true) or
// `stop`, asked after every wake, holds (false).
bool sleep_until(int ms, const std::function<bool()>& stop) {
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
    if (WaitsStopped) return false;
    if (left <= 0) return true;
    if (stop && waker.Arrivals() != seen) continue;
    // Blocks until the wake timer or some other window event comes in.
    wake.start(int(left));
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
}

}  // namespace

void process_pending_events() {
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void sleep_processing_events(int ms) {
  sleep_until(ms, nullptr);
}

bool sleep_unless(int ms, const std::function<bool()>& stop) {
  TPortReportsWake reports;
  return sleep_until(ms, stop);
}

bool wait_while_moving(const std::function<TWaitLook()>& look, int64_t stallMs) {
  TApdWaitWaker& waker = TApdWaitWaker::Instance();
  QElapsedTimer still;
  still.start();
  for (;;) {
    // Read before looking, so that a report arriving in between ends the
    // sleep below at once.
    const uint64_t seen = waker.Arrivals();
    if (WaitsStopped) return false;
    switch (look()) {
      case TWaitLook::Done:
        return true;
      case TWaitLook::Moved:
        still.restart();
        break;
      case TWaitLook::Still:
        if (still.elapsed() >= stallMs) return false;
        break;
    }
    process_pending_events();
    waker.WaitFor(seen, 1);
  }
}

}  // namespace kestrel
