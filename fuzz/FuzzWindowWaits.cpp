// The loader's window waits for the script runner's fuzz target: the fixed
// pauses between commands (after _SC, _TC's retries, _DY, the post-upload
// pause) do not sleep their time, so one input runs in milliseconds whatever
// delay it asks for. A pause still lasts until `fuzz_port_idle` holds (the
// port has handed its output to the device), as a real pause would: the
// runner counts on that before it flushes the port. Waits for a condition
// keep their rounds: they end as soon as the port has done its part.

#include <QCoreApplication>

#include "AdWaitWaker.h"
#include "WindowWaits.h"

namespace kestrel {

void process_pending_events() {
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

std::function<bool()> fuzz_port_idle;

void sleep_processing_events(int ms) {
  process_pending_events();
  if (ms > 0 && fuzz_port_idle) wait_in_rounds(fuzz_port_idle, 1000, 0);
}

bool wait_in_rounds(const std::function<bool()>& ready, int rounds, int64_t) {
  TApdWaitWaker& waker = TApdWaitWaker::Instance();
  for (int round = 1;; ++round) {
    const uint64_t seen = waker.Arrivals();
    if (ready()) return true;
    process_pending_events();
    waker.WaitFor(seen, 1);
    if (round >= rounds) return false;
  }
}

}  // namespace kestrel
