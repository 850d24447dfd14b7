// The loader's window waits for the script runner's fuzz target: the fixed
// pauses between commands (after _SC, _TC's retries, _DY, the post-upload
// pause) do not sleep their time, so one input runs in milliseconds whatever
// delay it asks for. A pause still lasts until `fuzz_port_idle` holds (the
// port has handed its output to the device), as a real pause would: the
// runner counts on that before it flushes the port. Waits for a condition
// count their looks instead of time: they end as soon as the port has done
// its part.

#include <QCoreApplication>

#include "loader/form/WindowWaits.h"
#include "serial/qt/AdWaitWaker.h"

namespace kestrel {

namespace {
bool WaitsStopped = false;
}  // namespace

void stop_waits(bool stopped) {
  WaitsStopped = stopped;
}

void process_pending_events() {
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

std::function<bool()> fuzz_port_idle;

namespace {

// Looks a wait takes in a row without progress before it gives up.
constexpr int kStillLooks = 1000;

}  // namespace

void sleep_processing_events(int ms) {
  process_pending_events();
  if (ms > 0 && fuzz_port_idle && !WaitsStopped)
    wait_while_moving([] { return fuzz_port_idle() ? TWaitLook::Done : TWaitLook::Still; }, 0);
}

bool sleep_unless(int ms, const std::function<bool()>& stop) {
  if (stop()) return false;
  sleep_processing_events(ms);
  return !stop();
}

bool wait_while_moving(const std::function<TWaitLook()>& look, int64_t) {
  TApdWaitWaker& waker = TApdWaitWaker::Instance();
  for (int still = 0; still < kStillLooks;) {
    if (WaitsStopped) return false;
    const uint64_t seen = waker.Arrivals();
    switch (look()) {
      case TWaitLook::Done:
        return true;
      case TWaitLook::Moved:
        still = 0;
        break;
      case TWaitLook::Still:
        ++still;
        break;
    }
    process_pending_events();
    waker.WaitFor(seen, 1);
  }
  return false;
}

}  // namespace kestrel
