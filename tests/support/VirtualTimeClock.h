#pragma once
// A clock of its own for tests and the fuzz harness: a wait whose outcome
// can no longer change, because nothing is on its way to the window, moves
// the clock straight to its end instead of sleeping. While something is
// (bytes the port still has to send, a unit at work on the far end, bytes
// on the cable, a unit's own timer), the clock runs with real time, so a
// peer that takes its time is waited for as on the real clock and every run
// ends the same way. It learns what is moving from the port's Motion().
//
// Thread contract: window thread only.

#include <chrono>
#include <cstdint>
#include <functional>

#include "serial/Clock.h"

namespace kestrel {

class TApdCustomComPort;

class TVirtualTimeClock final : public TClock {
 public:
  // `port` is the window's port; `peerSettled`, when given, tells whether
  // the far end of its line is at rest (nothing to send, nothing of its own
  // to do until more bytes come). Without it the far end counts as at rest.
  // Without a port only sleeps jump: a wait for received bytes keeps real
  // time, as the bytes may be on their way through a port it cannot see.
  explicit TVirtualTimeClock(TApdCustomComPort* port, std::function<bool()> peerSettled = nullptr);

  int64_t now() override { return NowUs_ / 1000; }
  bool wait_until(const std::function<bool()>& done, int64_t deadline) override;
  bool sleep(int64_t ms, const std::function<bool()>& stop = {}) override;
  void rest(int64_t deadline, uint64_t seen) override { step(deadline, seen, false); }

 private:
  // Nothing can reach the window without its doing. With `input` the bytes
  // already received must have been taken too.
  bool quiet(bool input);
  // One step towards `dueMs`: window events, then either the jump or a
  // real sleep of at most 1 ms that the clock follows. `seen` is the
  // waker's arrival count of the caller's last look.
  void step(int64_t dueMs, uint64_t seen, bool input);
  // Bytes the port's dispatch thread is taking in at this moment are neither
  // on the cable nor counted as arrived, and what it delivers reaches the
  // window only at the end of its cycle: lets the cycle under way end,
  // hands its events to the window and looks again. True when all is still
  // quiet and nothing arrived since `seen`.
  bool dispatch_settled(bool input, uint64_t seen);
  // How long dispatch_settled waits at most for a cycle to end (the
  // dispatch thread cycles at least every 50 ms while it runs).
  static constexpr int kCycleWaitMs = 250;
  // What the port's buffer held, and the arrival count, when a dispatch
  // cycle was last seen to end with all quiet.
  int ConfirmedWaiting_ = -1;
  uint64_t ConfirmedArrivals_ = 0;

  TApdCustomComPort* const Port_;
  const std::function<bool()> PeerSettled_;
  int64_t NowUs_ = 0;
  // The last step slept in real time, for the wait that ends at
  // FollowedDue_, and woke at LastReal_.
  bool Following_ = false;
  int64_t FollowedDue_ = 0;
  std::chrono::steady_clock::time_point LastReal_;
};

}  // namespace kestrel
