#pragma once
// The signals the dispatcher's threads use to wake each other.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace kestrel {

// An event in the classic sense: signalled or not, auto- or manual-reset.
// Thread contract: any thread.
class TApdEvent {
 public:
  explicit TApdEvent(bool manualReset) : ManualReset_(manualReset) {}

  void Set() {
    {
      std::lock_guard<std::mutex> lock(Mutex_);
      Signalled_ = true;
    }
    Cond_.notify_all();
  }
  void Reset() {
    std::lock_guard<std::mutex> lock(Mutex_);
    Signalled_ = false;
  }
  // Waits without limit.
  void Wait() {
    std::unique_lock<std::mutex> lock(Mutex_);
    Cond_.wait(lock, [this] { return Signalled_; });
    if (!ManualReset_) Signalled_ = false;
  }
  // True when signalled within `ms` milliseconds.
  bool WaitFor(int ms) {
    std::unique_lock<std::mutex> lock(Mutex_);
    if (!Cond_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return Signalled_; }))
      return false;
    if (!ManualReset_) Signalled_ = false;
    return true;
  }

 private:
  std::mutex Mutex_;
  std::condition_variable Cond_;
  bool Signalled_ = false;
  const bool ManualReset_;
};

// The dispatch thread's alarm: a cycle now (a device event, a close, a
// caller that wants one), or a cycle by a given time (a trigger was armed
// or changed: it is looked at within a cycle, as a polling thread would,
// never before the caller has finished setting up what goes with it).
// Thread contract: any thread; Wait on the dispatch thread only.
class TApdDispatchAlarm {
 public:
  using Clock = std::chrono::steady_clock;

  void Set() {
    {
      std::lock_guard<std::mutex> lock(Mutex_);
      Signalled_ = true;
    }
    Cond_.notify_all();
  }
  void LookBy(Clock::time_point when) {
    {
      std::lock_guard<std::mutex> lock(Mutex_);
      if (when >= LookBy_) return;
      LookBy_ = when;
    }
    Cond_.notify_all();
  }
  // Waits until Set, the earliest LookBy time or `deadline`, whichever is
  // first (Clock::time_point::max(): no deadline), and clears both.
  void Wait(Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(Mutex_);
    while (!Signalled_) {
      const auto until = std::min(deadline, LookBy_);
      if (until == Clock::time_point::max())
        Cond_.wait(lock);
      else if (Cond_.wait_until(lock, until) == std::cv_status::timeout &&
               Clock::now() >= std::min(deadline, LookBy_))
        break;
    }
    Signalled_ = false;
    LookBy_ = Clock::time_point::max();
  }

 private:
  std::mutex Mutex_;
  std::condition_variable Cond_;
  bool Signalled_ = false;
  Clock::time_point LookBy_ = Clock::time_point::max();
};

}  // namespace kestrel
