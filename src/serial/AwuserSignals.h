#pragma once
// The signals the dispatcher's threads use to wake each other.

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

}  // namespace kestrel
