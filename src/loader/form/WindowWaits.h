#pragma once
// The loader's waits on the window thread. Each keeps the window alive: it
// handles pending window events while it waits, so the window repaints,
// timers fire, and menus and the close query work in the middle of an
// exchange.

#include <cstdint>
#include <functional>

namespace kestrel {

// A run being stopped (the window closed, a signal): every wait below ends
// at once, and stays ended until the stop is lifted.
void stop_waits(bool stopped);

// Handles every window event that is pending now.
void process_pending_events();

// Sleeps `ms` milliseconds, handling window events as they come in.
void sleep_processing_events(int ms);

// As sleep_processing_events, but ends early once `stop` holds; a port's
// report (received bytes, output handed on, a modem-line change, a device
// lost) wakes it to look. False when `stop` ended it.
bool sleep_unless(int ms, const std::function<bool()>& stop);

// What one look at a waited-for condition found.
enum class TWaitLook { Done, Moved, Still };

// Waits until `look` finds the condition met (true). Between looks it
// handles pending window events and sleeps 1 ms, less when some port
// reports received bytes, output handed to its device or a modem-line
// change. Gives up (false) once `stallMs` milliseconds have passed in which
// no look found the work moving.
bool wait_while_moving(const std::function<TWaitLook()>& look, int64_t stallMs);

}  // namespace kestrel
