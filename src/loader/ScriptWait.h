#pragma once
// The script runner's pauses. The window stays alive throughout: pending
// events are processed while the time runs, and the thread sleeps in the
// event loop in between instead of spinning. Window thread only.

namespace kestrel {

// Processes every pending window event once.
void process_pending_events();

// Waits `milliseconds` (nothing for 0 or less) while processing window events.
void sleep_processing_events(long long milliseconds);

}  // namespace kestrel
