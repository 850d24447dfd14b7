#pragma once
// The event timer: a millisecond clock, ticks of 55 ms, timers that survive
// the tick count wrapping, the tick conversions, and the yield step every
// wait on the window thread goes through.
//
// The millisecond clock is a TClock's, kept to 32 bits: the steady clock
// unless the caller hands in another (a test that moves time by hand). The tick count
// is the clock's low 31 bits divided by 55, so it runs from 0 to MaxTicks
// and wraps to 0 every 2^31 ms (24.8 days); a timer notices the wrap by the
// count falling below its start.
//
// Thread contract: the clock, the timer functions and the conversions may be
// used from any thread. SafeYield and DelayTicks (with or without yield) may
// be called from any thread too: a yield step handles window events only on
// the window thread and only sleeps briefly elsewhere, so every hook must be
// safe to call from any thread. SetYieldHook: before the threads that use
// it start (start-up or a test's set-up).

#include <cstdint>

#include "serial/Clock.h"

namespace kestrel {

inline constexpr int32_t TickMs = 55;
// The largest timer and the tick count's largest value, 2^31 ms div 55.
inline constexpr int32_t MaxTicks = 39045157;

// Milliseconds of the clock, wrapping at 2^32.
uint32_t AdTimeGetTime(TClock& clock = steady_clock());
// Milliseconds div 55 of the clock's low 31 bits: 0 .. MaxTicks.
int32_t AdTickCount(TClock& clock = steady_clock());

struct EventTimer {
  int32_t StartTicks = 0;
  int32_t ExpireTicks = 0;  // StartTicks + n; may pass MaxTicks
};

// Starts a timer of ticks (capped at MaxTicks) or of seconds. A timer is
// read on the clock it was started on.
void NewTimer(EventTimer& timer, int32_t ticks, TClock& clock = steady_clock());
void NewTimerSecs(EventTimer& timer, int32_t seconds, TClock& clock = steady_clock());
// True once more than the timer's ticks have passed.
bool TimerExpired(const EventTimer& timer, TClock& clock = steady_clock());
// Ticks (or whole seconds) left, never below 0.
int32_t RemainingTime(const EventTimer& timer, TClock& clock = steady_clock());
int32_t RemainingTimeInSecs(const EventTimer& timer, TClock& clock = steady_clock());

// s * 1675 div 92; (t + 9) * 92 div 1675; ms * 1675 div 92000.
int32_t Secs2Ticks(int32_t seconds);
int32_t Ticks2Secs(int32_t ticks);
int32_t MSecs2Ticks(int32_t milliseconds);

// The outcome of one yield step.
enum class TYieldResult {
  Idle,     // nothing was pending
  Handled,  // pending window events were processed
  Quit,     // a quit request is pending; it stays pending for the event loop
};

// Processes what is pending for the window thread when called on it. The
// hook must not swallow a quit request, and on any other thread it must
// leave the window thread's state alone. The default hook (nullptr) only
// sleeps briefly.
using TYieldHook = TYieldResult (*)();
void SetYieldHook(TYieldHook hook);

// One yield step through the installed hook.
TYieldResult SafeYield();

// Waits until a timer of ticks expires. With yield, every poll is a yield
// step, and a quit request ends the wait early (it stays pending); polls
// that find nothing to do sleep a little, so a wait never spins a core.
// Returns false when a quit request ended the wait.
bool DelayTicks(int32_t ticks, bool yield, TClock& clock = steady_clock());

}  // namespace kestrel
