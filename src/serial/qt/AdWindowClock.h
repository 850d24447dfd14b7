#pragma once
// The real clock of the window thread: its waits handle window events as
// they come in, so the window repaints, timers fire, and menus and the
// close query work in the middle of an exchange, and they block in the
// window thread's event dispatcher, woken by port reports (received bytes,
// output handed on, a modem-line change, a device lost), so that waiting
// costs no CPU.
//
// Thread contract: window thread only.

#include <cstdint>
#include <functional>

#include "serial/Clock.h"

namespace kestrel {

class TApdWaitWaker;

class TWindowClock final : public TClock {
 public:
  // Port reports reach the waits through `waker`, the ports' own.
  explicit TWindowClock(TApdWaitWaker& waker);
  int64_t now() override;
  bool wait_until(const std::function<bool()>& done, int64_t deadline) override;
  bool sleep(int64_t ms, const std::function<bool()>& stop = {}) override;
  void rest(int64_t deadline, uint64_t seen) override;

 private:
  TApdWaitWaker& Waker_;
  const int64_t Start_;  // steady-clock milliseconds at construction
};

}  // namespace kestrel
