#pragma once
// Where a window-thread wait of the port takes its time from, when its
// caller keeps time of its own (a clock that tests can move on). Without
// one the wait runs on the tick clock and sleeps in the event dispatcher.
//
// Thread contract: window thread only.

#include <cstdint>

namespace kestrel {

class TApdWaitClock {
 public:
  virtual ~TApdWaitClock() = default;
  // Milliseconds on this clock.
  virtual int64_t NowMs() = 0;
  // Sleeps at most until `deadlineMs` on this clock, handling window events;
  // received bytes (the wait waker) end it early. `arrivalsSeen` is the
  // waker's arrival count when the caller last looked for bytes.
  virtual void SleepUntil(int64_t deadlineMs, uint64_t arrivalsSeen) = 0;
};

}  // namespace kestrel
