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
bool waits_stopped();

// Handles every window event that is pending now.
void process_pending_events();

// Sleeps `ms` milliseconds, handling window events as they come in.
void sleep_processing_events(int ms);

// Waits for `ready` in rounds: a round that finds it false handles pending
// window events and sleeps 1 ms. The sleep ends early when some port reports
// received bytes, output handed to its device or a modem-line change; it
// still counts as a round. Gives up (false) after `rounds` rounds, but never
// before `atLeastMs` milliseconds have passed, and at once when the waits
// are stopped.
bool wait_in_rounds(const std::function<bool()>& ready, int rounds, int64_t atLeastMs);

}  // namespace kestrel
