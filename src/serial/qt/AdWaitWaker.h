#pragma once
// Wakes a window-thread wait (WaitForString, the loader's drain and CTS
// waits) when received bytes reach a dispatcher, output has been handed to
// the device or the modem lines change, so that the wait can sleep instead
// of polling.
//
// The port component gives every dispatcher it creates a data-arrival hook
// and an output-status hook that call Notify on the waker of its context;
// the program's clock waits on the same one. The data-arrival hook runs once
// the bytes are in the dispatch buffer, so a waiter woken this way that then
// asks CharReady sees them.

#include <QAbstractEventDispatcher>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

namespace kestrel {

// Thread contract: any thread.
class TApdWaitWaker {
 public:
  TApdWaitWaker() = default;
  TApdWaitWaker(const TApdWaitWaker&) = delete;
  TApdWaitWaker& operator=(const TApdWaitWaker&) = delete;

  // The waker of the ports and clocks made without one (tests, tools); the
  // program makes its own and hands it down.
  static TApdWaitWaker& Instance();

  // Bytes arrived somewhere: bump the arrival count, wake every waiter.
  void Notify();
  // The arrival count; a waiter reads it before it looks for data and sleeps
  // only while it is unchanged.
  uint64_t Arrivals() const;
  // Sleeps until the arrival count differs from `seen` or the time is up.
  void WaitFor(uint64_t seen, int milliseconds);

  // While registered, Notify also wakes this event dispatcher (a waiter that
  // blocks in processEvents). Registration is counted.
  void AddEventDispatcher(QAbstractEventDispatcher* dispatcher);
  void RemoveEventDispatcher(QAbstractEventDispatcher* dispatcher);

 private:
  mutable std::mutex Lock_;
  std::condition_variable Changed_;
  uint64_t Arrivals_ = 0;
  std::vector<QAbstractEventDispatcher*> Dispatchers_;
};

// Keeps an event dispatcher (none: nothing) registered with `waker` while
// a wait that blocks in it runs.
// Thread contract: the waiting thread only.
class TApdWakeRegistration {
 public:
  TApdWakeRegistration(TApdWaitWaker& waker, QAbstractEventDispatcher* dispatcher)
      : Waker_(waker), Dispatcher_(dispatcher) {
    if (Dispatcher_) Waker_.AddEventDispatcher(Dispatcher_);
  }
  ~TApdWakeRegistration() {
    if (Dispatcher_) Waker_.RemoveEventDispatcher(Dispatcher_);
  }
  TApdWakeRegistration(const TApdWakeRegistration&) = delete;
  TApdWakeRegistration& operator=(const TApdWakeRegistration&) = delete;

 private:
  TApdWaitWaker& Waker_;
  QAbstractEventDispatcher* const Dispatcher_;
};

}  // namespace kestrel
