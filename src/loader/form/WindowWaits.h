#pragma once
// The loader's waits on the window thread. Each keeps the window alive: it
// handles pending window events while it waits, so the window repaints,
// timers fire, and menus and the close query work in the middle of an
// exchange.
//
// Every wait the window makes on time goes through one of these objects,
// so that a test can run the loader's timeouts on a clock of its own.
//
// Thread contract: window thread only.

#include <cstdint>
#include <functional>

namespace kestrel {

class TApdWaitClock;

// What one look at a waited-for condition found.
enum class TWaitLook { Done, Moved, Still };

class TWindowWaits {
 public:
  virtual ~TWindowWaits() = default;

  // A run being stopped (the window closed, a signal): every wait below ends
  // at once, and stays ended until the stop is lifted.
  virtual void stop_waits(bool stopped) = 0;

  // Handles every window event that is pending now.
  virtual void process_pending_events() = 0;

  // Sleeps `ms` milliseconds, handling window events as they come in.
  virtual void sleep_processing_events(int ms) = 0;

  // As sleep_processing_events, but ends early once `stop` holds; a port's
  // report (received bytes, output handed on, a modem-line change, a device
  // lost) wakes it to look. False when `stop` ended it.
  virtual bool sleep_unless(int ms, const std::function<bool()>& stop) = 0;

  // Waits until `look` finds the condition met (true). Between looks it
  // handles pending window events and sleeps 1 ms, less when some port
  // reports received bytes, output handed to its device or a modem-line
  // change. Gives up (false) once `stallMs` milliseconds have passed in which
  // no look found the work moving.
  // The same loop on every clock: only the rest between looks differs.
  bool wait_while_moving(const std::function<TWaitLook()>& look, int64_t stallMs);

  // Handles window events, sleeping while none come, until `done` holds
  // (true) or this clock reaches `dueMs` (false). A port's report (received
  // bytes, a device lost) wakes it to look; time does not pass on a virtual
  // clock while received bytes wait to be taken.
  virtual bool wait_for_events(const std::function<bool()>& done, int64_t dueMs) = 0;

  // Milliseconds on this object's clock, from an arbitrary start.
  virtual int64_t now_ms() = 0;

  // The clock a port's own waits (a prompt wait) take their time from; null
  // for the port's tick clock.
  virtual TApdWaitClock* port_clock() = 0;

 protected:
  // Whether stop_waits(true) is in force.
  virtual bool waits_stopped() const = 0;
  // Between two looks of wait_while_moving: handles window events and rests
  // until a port report newer than `seen` (the waker's arrival count before
  // the look), for 1 ms at most on this clock; `dueMs` is when the wait
  // would give up.
  virtual void rest_between_looks(int64_t dueMs, uint64_t seen) = 0;
};

// The waits on the real clock, blocking in the window thread's event
// dispatcher so that waiting costs no CPU.
class TRealTimeWaits final : public TWindowWaits {
 public:
  TRealTimeWaits();
  void stop_waits(bool stopped) override { Stopped_ = stopped; }
  void process_pending_events() override;
  void sleep_processing_events(int ms) override;
  bool sleep_unless(int ms, const std::function<bool()>& stop) override;
  bool wait_for_events(const std::function<bool()>& done, int64_t dueMs) override;
  int64_t now_ms() override;
  TApdWaitClock* port_clock() override { return nullptr; }

 protected:
  bool waits_stopped() const override { return Stopped_; }
  void rest_between_looks(int64_t dueMs, uint64_t seen) override;

 private:
  bool sleep_until(int ms, const std::function<bool()>& stop);

  bool Stopped_ = false;
  int64_t Start_;  // steady-clock milliseconds at construction
};

}  // namespace kestrel
