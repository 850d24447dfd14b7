#include "loader/form/WindowWaits.h"

#include <QCoreApplication>

#include "serial/Clock.h"
#include "serial/qt/AdWaitWaker.h"

namespace kestrel {

void TWindowWaits::process_pending_events() {
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void TWindowWaits::sleep_processing_events(int ms) {
  sleep_unless(ms, nullptr);
}

bool TWindowWaits::sleep_unless(int ms, const std::function<bool()>& stop) {
  return Clock_->sleep(ms, [this, &stop] { return (stop && stop()) || Stopped_; });
}

bool TWindowWaits::wait_while_moving(const std::function<TWaitLook()>& look, int64_t stallMs) {
  TApdWaitWaker& waker = Waker_;
  int64_t stillSince = now_ms();
  for (;;) {
    // Read before looking, so that a report arriving in between ends the
    // rest below at once.
    const uint64_t seen = waker.Arrivals();
    if (Stopped_) return false;
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
    Clock_->rest(stillSince + stallMs, seen);
  }
}

bool TWindowWaits::wait_for_events(const std::function<bool()>& done, int64_t dueMs) {
  return Clock_->wait_until(done, dueMs);
}

int64_t TWindowWaits::now_ms() {
  return Clock_->now();
}

}  // namespace kestrel
