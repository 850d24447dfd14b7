#pragma once
// The one clock every wait of the program takes its time from: the
// loader's waits, a port's string wait and the timers of the event timer.
// It is handed to whoever waits, so that a test can run the same waits on
// a clock of its own (one that skips time in which nothing can happen).
//
// Thread contract: TSteadyClock from any thread; any other clock on the
// thread that waits on it (the window thread for the window clock).

#include <cstdint>
#include <functional>

namespace kestrel {

class TClock {
 public:
  virtual ~TClock() = default;

  // Milliseconds from an arbitrary start; never runs backwards.
  virtual int64_t now() = 0;

  // Waits until `done` holds (true) or the clock reaches `deadline` (false),
  // looking again whenever a port reports received bytes or a lost device.
  // Received bytes that wait to be taken count as work under way.
  virtual bool wait_until(const std::function<bool()>& done, int64_t deadline) = 0;

  // Sleeps `ms` milliseconds; with `stop`, which a port's report wakes it to
  // ask, ends early (false) once that holds.
  virtual bool sleep(int64_t ms, const std::function<bool()>& stop = {}) = 0;

  // One rest between two looks of a wait that watches work move: until a
  // port report newer than `seen` (the report count of the caller's last
  // look), 1 ms at most, never past `deadline`.
  virtual void rest(int64_t deadline, uint64_t seen) = 0;
};

// The monotonic clock of the system, sleeping in short steps: for threads
// with no window events to handle, and the event timer's ticks.
class TSteadyClock final : public TClock {
 public:
  int64_t now() override;
  bool wait_until(const std::function<bool()>& done, int64_t deadline) override;
  bool sleep(int64_t ms, const std::function<bool()>& stop = {}) override;
  void rest(int64_t deadline, uint64_t seen) override;
};

// The steady clock; it has no state, so one serves every thread.
TClock& steady_clock();

}  // namespace kestrel
