#pragma once
// The dispatcher's three threads: device-wait, dispatch and output.
//
// Thread contract: Start, Join and the destructor on the thread that owns the
// dispatcher (or on the dispatch thread during a deferred close, which never
// joins itself); Alive, Id and Tid from any thread.

#include <sys/types.h>

#include <atomic>
#include <thread>

namespace kestrel {

class TApdBaseDispatcher;

class TApdDispatcherThread {
 public:
  explicit TApdDispatcherThread(TApdBaseDispatcher& dispatcher) : Dispatcher_(dispatcher) {}
  virtual ~TApdDispatcherThread() { Join(); }
  TApdDispatcherThread(const TApdDispatcherThread&) = delete;
  TApdDispatcherThread& operator=(const TApdDispatcherThread&) = delete;

  void Start();
  // Waits for the thread to return; a thread never joins itself.
  void Join();
  // True from Start until the thread has accounted its end.
  bool Alive() const { return Alive_.load(); }
  void MarkGone() { Alive_.store(false); }
  std::thread::id Id() const { return Id_.load(); }
  pid_t Tid() const { return Tid_.load(); }

 protected:
  virtual void Execute() = 0;
  TApdBaseDispatcher& Dispatcher_;

 private:
  void Run();

  std::thread Thread_;
  std::atomic<bool> Alive_{false};
  std::atomic<std::thread::id> Id_{};
  std::atomic<pid_t> Tid_{0};
};

// Waits for device events and wakes the dispatch thread.
class TComThread final : public TApdDispatcherThread {
 public:
  using TApdDispatcherThread::TApdDispatcherThread;

 protected:
  void Execute() override;
};

// Moves received bytes into the dispatch buffer and delivers trigger events.
class TDispThread final : public TApdDispatcherThread {
 public:
  using TApdDispatcherThread::TApdDispatcherThread;

 protected:
  void Execute() override;
};

// Writes the output ring to the device.
class TOutThread final : public TApdDispatcherThread {
 public:
  using TApdDispatcherThread::TApdDispatcherThread;

 protected:
  void Execute() override;
};

}  // namespace kestrel
