#pragma once
// The loader's waits on the window thread, on the clock the window is
// given (the real window clock, or a test's). Each keeps the window alive:
// it handles pending window events while it waits, so the window repaints,
// timers fire, and menus and the close query work in the middle of an
// exchange. A run being stopped ends every sleep and every wait for work
// to move at once.
//
// Thread contract: window thread only.

#include <cstdint>
#include <functional>

namespace kestrel {

class TApdWaitWaker;
class TClock;

// What one look at a waited-for condition found.
enum class TWaitLook { Done, Moved, Still };

class TWindowWaits {
 public:
  // `waker` is the one the ports report to and the clock rests on.
  TWindowWaits(TClock& clock, TApdWaitWaker& waker) : Clock_(&clock), Waker_(waker) {}

  // The clock every wait below takes its time from.
  void use_clock(TClock& clock) { Clock_ = &clock; }

  // A run being stopped (the window closed, a signal): every sleep and every
  // wait_while_moving ends at once, and stays ended until the stop is lifted.
  void stop_waits(bool stopped) { Stopped_ = stopped; }

  // Handles every window event that is pending now.
  void process_pending_events();

  // Sleeps `ms` milliseconds, handling window events as they come in.
  void sleep_processing_events(int ms);

  // As sleep_processing_events, but ends early once `stop` holds; a port's
  // report (received bytes, output handed on, a modem-line change, a device
  // lost) wakes it to look. False when `stop` ended it.
  bool sleep_unless(int ms, const std::function<bool()>& stop);

  // Waits until `look` finds the condition met (true). Between looks it
  // handles pending window events and rests 1 ms, less when some port
  // reports received bytes, output handed to its device or a modem-line
  // change. Gives up (false) once `stallMs` milliseconds have passed in which
  // no look found the work moving.
  bool wait_while_moving(const std::function<TWaitLook()>& look, int64_t stallMs);

  // Handles window events, sleeping while none come, until `done` holds
  // (true) or the clock reaches `dueMs` (false). A port's report (received
  // bytes, a device lost) wakes it to look.
  bool wait_for_events(const std::function<bool()>& done, int64_t dueMs);

  // Milliseconds on the clock, from an arbitrary start.
  int64_t now_ms();

 private:
  TClock* Clock_;
  TApdWaitWaker& Waker_;
  bool Stopped_ = false;
};

}  // namespace kestrel
