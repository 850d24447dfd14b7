#include "loader/form/VirtualTimeWaits.h"

#include <QCoreApplication>
#include <algorithm>
#include <chrono>

#include "serial/qt/AdWaitWaker.h"
#include "serial/qt/Adport.h"

namespace kestrel {

TVirtualTimeWaits::TVirtualTimeWaits(TApdCustomComPort* port, std::function<bool()> peerSettled)
    : Port_(port), PeerSettled_(std::move(peerSettled)) {}

bool TVirtualTimeWaits::quiet(bool input) {
  // In the order bytes travel: out of the port, through the far end, back
  // into the port. A closed port holds nothing.
  const auto empty = [this](bool out) {
    try {
      if (!Port_ || !Port_->Open()) return true;
      return (out ? Port_->OutBuffUsed() : Port_->InBuffUsed()) == 0;
    } catch (const std::exception&) {
      return true;
    }
  };
  if (!empty(true)) return false;
  if (PeerSettled_ && !PeerSettled_()) return false;
  return !input || empty(false);
}

void TVirtualTimeWaits::step(int64_t dueMs, uint64_t seen, bool input) {
  TApdWaitWaker& waker = TApdWaitWaker::Instance();
  process_pending_events();
  const int64_t dueUs = dueMs * 1000;
  if (NowUs_ >= dueUs) return;
  if (quiet(input) && waker.Arrivals() == seen) {
    ++Jumps_;
    SkippedUs_ += dueUs - NowUs_;
    NowUs_ = dueUs;
    return;
  }
  const auto began = std::chrono::steady_clock::now();
  waker.WaitFor(seen, 1);
  const int64_t slept = std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::steady_clock::now() - began)
                            .count();
  NowUs_ = std::min(dueUs, NowUs_ + std::max<int64_t>(slept, 1));
}

void TVirtualTimeWaits::process_pending_events() {
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void TVirtualTimeWaits::sleep_processing_events(int ms) {
  sleep_unless(ms, nullptr);
}

bool TVirtualTimeWaits::sleep_unless(int ms, const std::function<bool()>& stop) {
  TApdWaitWaker& waker = TApdWaitWaker::Instance();
  const int64_t due = now_ms() + std::max(ms, 0);
  for (;;) {
    const uint64_t seen = waker.Arrivals();
    process_pending_events();
    if (stop && stop()) return false;
    if (Stopped_) return false;
    if (now_ms() >= due) return true;
    step(due, seen, false);
  }
}

bool TVirtualTimeWaits::wait_while_moving(const std::function<TWaitLook()>& look, int64_t stallMs) {
  TApdWaitWaker& waker = TApdWaitWaker::Instance();
  int64_t stillSince = now_ms();
  for (;;) {
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
    step(stillSince + stallMs, seen, false);
  }
}

bool TVirtualTimeWaits::wait_for_events(const std::function<bool()>& done, int64_t dueMs) {
  TApdWaitWaker& waker = TApdWaitWaker::Instance();
  for (;;) {
    const uint64_t seen = waker.Arrivals();
    process_pending_events();
    if (done()) return true;
    if (now_ms() >= dueMs) return false;
    step(dueMs, seen, true);
  }
}

void TVirtualTimeWaits::SleepUntil(int64_t deadlineMs, uint64_t arrivalsSeen) {
  step(deadlineMs, arrivalsSeen, true);
}

}  // namespace kestrel
