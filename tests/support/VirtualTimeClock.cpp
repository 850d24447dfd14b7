#include "VirtualTimeClock.h"

#include <QCoreApplication>
#include <algorithm>
#include <chrono>

#include "serial/qt/AdWaitWaker.h"
#include "serial/qt/Adport.h"

namespace kestrel {

namespace {

void process_pending_events() {
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

}  // namespace

TVirtualTimeClock::TVirtualTimeClock(TApdCustomComPort* port, std::function<bool()> peerSettled)
    : Port_(port), PeerSettled_(std::move(peerSettled)) {}

bool TVirtualTimeClock::quiet(bool input) {
  // Output that cannot leave: nothing queued, or held by CTS. A closed port
  // holds nothing.
  const auto outputStill = [this] { return !Port_ || !Port_->Motion().OutputLeaving; };
  // In the order bytes travel: out of the port, through the far end, back
  // into the port; the port's output again, as the far end may have let
  // it go meanwhile.
  if (!outputStill()) return false;
  if (PeerSettled_ && !PeerSettled_()) return false;
  if (!outputStill()) return false;
  // Without a port to watch nobody can tell whether bytes are on their way
  // to a wait for them: such a wait keeps real time.
  return !input || (Port_ && Port_->Motion().ReceivedWaiting == 0);
}

bool TVirtualTimeClock::dispatch_settled(bool input, uint64_t seen) {
  if (!Port_) return true;
  // Bytes the dispatch thread has taken in are in the port's buffer before
  // it counts and delivers them. With none there, or the same as the last
  // time a cycle was seen to end on them, there is nothing in between.
  const TApdCustomComPort::TMotion before = Port_->Motion();
  const int waiting = before.ReceivedWaiting;
  if (waiting == 0 || (waiting == ConfirmedWaiting_ && seen == ConfirmedArrivals_)) return true;
  TApdWaitWaker& waker = TApdWaitWaker::Instance();
  // A dispatcher whose thread has ended (a lost device) cycles no more.
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(kCycleWaitMs);
  while (Port_->Motion().DispatchCycles == before.DispatchCycles &&
         std::chrono::steady_clock::now() < giveUp) {
    if (waker.Arrivals() != seen) return false;
    waker.WaitFor(seen, 1);
  }
  process_pending_events();
  if (!quiet(input) || waker.Arrivals() != seen) return false;
  ConfirmedWaiting_ = Port_->Motion().ReceivedWaiting;
  ConfirmedArrivals_ = seen;
  return true;
}

void TVirtualTimeClock::step(int64_t dueMs, uint64_t seen, bool input) {
  TApdWaitWaker& waker = TApdWaitWaker::Instance();
  process_pending_events();
  const int64_t dueUs = dueMs * 1000;
  const auto now = std::chrono::steady_clock::now();
  const auto since = [](std::chrono::steady_clock::time_point from,
                        std::chrono::steady_clock::time_point to) {
    return int64_t(std::chrono::duration_cast<std::chrono::microseconds>(to - from).count());
  };
  // Steps of one wait that follow real time count all of it, the work
  // between the sleeps included.
  if (Following_ && dueMs == FollowedDue_) NowUs_ = std::min(dueUs, NowUs_ + since(LastReal_, now));
  Following_ = false;
  if (NowUs_ >= dueUs) return;
  if (quiet(input) && waker.Arrivals() == seen && dispatch_settled(input, seen)) {
    NowUs_ = dueUs;
    return;
  }
  waker.WaitFor(seen, 1);
  LastReal_ = std::chrono::steady_clock::now();
  NowUs_ = std::min(dueUs, NowUs_ + std::max<int64_t>(since(now, LastReal_), 1));
  Following_ = true;
  FollowedDue_ = dueMs;
}

bool TVirtualTimeClock::sleep(int64_t ms, const std::function<bool()>& stop) {
  TApdWaitWaker& waker = TApdWaitWaker::Instance();
  const int64_t due = now() + std::max<int64_t>(ms, 0);
  for (;;) {
    const uint64_t seen = waker.Arrivals();
    process_pending_events();
    if (stop && stop()) return false;
    if (now() >= due) return true;
    step(due, seen, false);
  }
}

bool TVirtualTimeClock::wait_until(const std::function<bool()>& done, int64_t deadline) {
  TApdWaitWaker& waker = TApdWaitWaker::Instance();
  for (;;) {
    const uint64_t seen = waker.Arrivals();
    process_pending_events();
    if (done()) return true;
    if (now() >= deadline) return false;
    step(deadline, seen, true);
  }
}

}  // namespace kestrel
