// The device-wait, dispatch and output threads, and starting and stopping them.

#include "serial/AwuserThreads.h"

#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>

#include "messages/AdErrorCodes.h"
#include "serial/Awuser.h"
#include "serial/EventTimer.h"

namespace kestrel {

namespace {

// The dispatcher whose thread this is (nullptr on every other thread).
thread_local const TApdBaseDispatcher* tOwnDispatcher = nullptr;
// True on an output thread.
thread_local bool tOutputThread = false;

constexpr int kStartAckMs = 3000;
// Each stage of stopping the dispatch thread: 36 ticks.
constexpr int kDispatchStopMs = 36 * TickMs;

// True when fd is readable now.
bool Readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

}  // namespace

// ---------------------------------------------------------------------------
// The thread objects

void TApdDispatcherThread::Start() {
  Alive_ = true;
  Thread_ = std::thread([this] { Run(); });
}

void TApdDispatcherThread::Run() {
  Id_ = std::this_thread::get_id();
  Tid_ = static_cast<pid_t>(::syscall(SYS_gettid));
  Execute();
}

void TApdDispatcherThread::Join() {
  if (!Thread_.joinable()) return;
  if (Thread_.get_id() == std::this_thread::get_id())
    Thread_.detach();
  else
    Thread_.join();
}

void TComThread::Execute() {
  Dispatcher_.ComThreadExecute(this);
}
void TDispThread::Execute() {
  Dispatcher_.DispThreadExecute(this);
}
void TOutThread::Execute() {
  Dispatcher_.OutThreadExecute(this);
}

// ---------------------------------------------------------------------------
// Starting and stopping

int TApdBaseDispatcher::StartDispatcher() {
  {
    // Not held while the threads start: they read their priority under it.
    std::lock_guard<std::recursive_mutex> lock(MainLock_);
    if (ThreadsActive_.load()) throw std::logic_error("Dispatcher already started");
    ThreadsActive_ = true;
    KillThreads_ = false;
  }
  JoinThreads();  // threads of an earlier open that have ended
  AckEvent_.Reset();
  // All three objects exist before any thread runs, so no thread ever sees
  // one of them being assigned.
  ComThread_ = std::make_unique<TComThread>(*this);
  DispThread_ = std::make_unique<TDispThread>(*this);
  OutThread_ = std::make_unique<TOutThread>(*this);
  for (auto* thread : {ComThread_.get(), DispThread_.get(), OutThread_.get()}) {
    thread->Start();
    AckEvent_.WaitFor(kStartAckMs);
  }
  return 0;
}

void TApdBaseDispatcher::StopDispatcher() {
  if (!ThreadsActive_.load()) return;
  // No lock is held while waiting: the threads take the main lock themselves.
  KillThreads_ = true;
  if (DeviceOpen_.load()) {
    // Only closing the device ends a device wait.
    CloseCom();
    DeviceOpen_ = false;
  }
  if (OutThread_ && OutThread_->Alive()) {
    FlushEvent_.Signal();
    WaitThreadGone(OutThread_.get(), -1);
  }
  if (ComThread_ && ComThread_->Alive()) {
    ReadyEvent_.Set();
    WaitThreadGone(ComThread_.get(), -1);
  }
  if (DispThread_ && DispThread_->Alive() && !IsOwnThread()) {
    KillThreads_ = true;
    ComEvent_.Set();
    if (!WaitThreadGone(DispThread_.get(), kDispatchStopMs)) {
      ComEvent_.Set();
      WaitThreadGone(DispThread_.get(), kDispatchStopMs);
    }
    // A thread cannot be destroyed from outside without leaving its locks
    // and buffers in an unknown state, so a handler that never returns keeps
    // the close waiting.
    WaitThreadGone(DispThread_.get(), -1);
  }
  if (!IsOwnThread()) JoinThreads();
}

bool TApdBaseDispatcher::IsOwnThread() const {
  return tOwnDispatcher == this;
}

bool TApdBaseDispatcher::IsOutputThread() const {
  return tOwnDispatcher == this && tOutputThread;
}

bool TApdBaseDispatcher::WaitThreadGone(TApdDispatcherThread* thread, int ms) {
  return WaitGone([thread] { return !thread->Alive(); }, ms);
}

void TApdBaseDispatcher::WaitAllThreadsGone() {
  WaitGone([this] { return ActiveThreads_.load() == 0; }, -1);
}

bool TApdBaseDispatcher::WaitGone(const std::function<bool()>& gone, int ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  bool yield = !IsOwnThread();
  std::unique_lock<std::mutex> lock(GoneMutex_);
  while (!gone()) {
    if (ms >= 0 && std::chrono::steady_clock::now() >= deadline) return false;
    if (yield) {
      // A thread may be waiting for the window thread to take a message.
      lock.unlock();
      TYieldResult r = SafeYield();
      lock.lock();
      if (r == TYieldResult::Handled) continue;
    }
    GoneCond_.wait_for(lock, std::chrono::milliseconds(5));
  }
  return true;
}

void TApdBaseDispatcher::JoinThreads() {
  for (auto* thread : {&ComThread_, &DispThread_, &OutThread_}) {
    if (*thread && !(*thread)->Alive()) {
      (*thread)->Join();
      thread->reset();
    }
  }
}

void TApdBaseDispatcher::ThreadStarting(int boostSteps) {
  tOwnDispatcher = this;
  ActiveThreads_.fetch_add(1);
  // The kernel may let a timed wait run 50 us late by default, to batch
  // wake-ups; these threads time waits to the character (the end of a
  // block on the wire), and every late wake delays the next block.
  ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
  // One step above normal is one nice level lower. Raising priority needs a
  // privilege the process may lack; then the thread stays at normal.
  if (boostSteps > 0) ::setpriority(PRIO_PROCESS, 0, -boostSteps);
  AckEvent_.Set();
}

void TApdBaseDispatcher::ThreadGone(TApdDispatcherThread* self, bool dispatchThread) {
  if (dispatchThread && DispEndedByClose_.exchange(false)) DonePortPrim();
  std::lock_guard<std::mutex> lock(GoneMutex_);
  self->MarkGone();
  if (ActiveThreads_.fetch_sub(1) == 1) ThreadsActive_ = false;
  // Notified under the lock: once it is released the dispatcher may go.
  GoneCond_.notify_all();
}

namespace {

// Runs a thread body; an exception ends the thread like a normal end.
template <typename Body>
void RunGuarded(const char* name, Body body) {
  try {
    body();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kestrel: %s thread: %s\n", name, e.what());
  } catch (...) {
    std::fprintf(stderr, "kestrel: %s thread: unknown exception\n", name);
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Device-wait thread

void TApdBaseDispatcher::ComThreadExecute(TApdDispatcherThread* self) {
  ThreadStarting(ThreadBoostSteps(false));
  RunGuarded("device-wait", [this] {
    while (!KillThreads_.load()) {
      uint32_t mask = 0;
      if (WaitComEvent(mask) < 0) {
        // Closed by us (the kill flag is set first), or gone by itself.
        if (!KillThreads_.load()) MarkDeviceLost();
        break;
      }
      if (mask & ev_TxEmpty) {
        // The device has sent all it was given: a wait for the output to
        // drain can look now. Nothing for the dispatch thread to do.
        if (OutputStatusHook_) OutputStatusHook_();
        mask &= ~ev_TxEmpty;
        if (mask == 0) continue;
      }
      if (mask & (ev_Ring | ev_RingTe)) RingFlag_ = true;
      // Gathered until the dispatch thread takes them: the ready event may
      // be set already by an idle cycle, so the next event can come before
      // the dispatch thread has looked at this one.
      LastEventMask_.fetch_or(mask);
      if (KillThreads_.load()) break;
      ComEvent_.Set();
      ReadyEvent_.Wait();
    }
  });
  ThreadGone(self, false);
}

// ---------------------------------------------------------------------------
// Dispatch thread

void TApdBaseDispatcher::DispThreadExecute(TApdDispatcherThread* self) {
  ThreadStarting(ThreadBoostSteps(false));
  RunGuarded("dispatch", [this] {
    for (;;) {
      // Sleeps until something happens: a device event, a trigger's time, a
      // close, or a change another thread made to the triggers.
      const int wait = DispatchWaitMs();
      ComEvent_.Wait(wait < 0 ? TApdDispatchAlarm::Clock::time_point::max()
                              : TApdDispatchAlarm::Clock::now() + std::chrono::milliseconds(wait));
      if (KillThreads_.load()) break;
      ReceiveCycle();
      TimerCycle();
      DispatchCycles_.fetch_add(1);
      if (KillThreads_.load() || ClosePending_.load()) break;
      // After one more look at what arrived before the device went away.
      if (DeviceLost_.load()) break;
    }
  });
  DispEndedByClose_ = ClosePending_.load();
  ThreadGone(self, true);
}

void TApdBaseDispatcher::ReceiveCycle() {
  const uint32_t mask = LastEventMask_.exchange(0);
  if (mask & (ev_Cts | ev_Dsr | ev_Rlsd | ev_Ring | ev_RingTe)) {
    ReadModemStatus(0);
    if (OutputStatusHook_) OutputStatusHook_();
    if (!EventBusy()) StatusTriggerLoop();
  }
  if ((mask & 0xFF) >= ev_Break) {
    RefreshStatus();
    if (!EventBusy()) StatusTriggerLoop();
  }
  if (ExtractData() > 0 && DataArrivalHook_) DataArrivalHook_();
  if (!EventBusy()) {
    StatusTriggerLoop();
    ReceiveTriggerLoop();
  }
  ReadyEvent_.Set();
}

void TApdBaseDispatcher::TimerCycle() {
  if (ClosePending_.load() || EventBusy()) return;
  {
    std::lock_guard<std::recursive_mutex> lock(MainLock_);
    StatusHit_ = false;
  }
  bool fired;
  do {
    fired = CheckStatusTriggers();
    if (!fired) fired = CheckTimerTriggers();
  } while (fired && !ClosePending_.load() && !EventBusy());
  ClearStatusHits();
}

// ---------------------------------------------------------------------------
// Output thread

void TApdBaseDispatcher::OutThreadExecute(TApdDispatcherThread* self) {
  tOutputThread = true;
  ThreadStarting(ThreadBoostSteps(true));
  RunGuarded("output", [this] {
    while (!KillThreads_.load() && !ClosePending_.load() && !DeviceLost_.load()) {
      pollfd fds[2] = {{OutputEvent_.get(), POLLIN, 0}, {FlushEvent_.get(), POLLIN, 0}};
      int n = ::poll(fds, 2, -1);
      if (n < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (fds[1].revents & POLLIN) {
        FlushEvent_.Drain();
        FlushAckEvent_.Set();
      }
      if (fds[0].revents & POLLIN) {
        OutputEvent_.Drain();
        if (KillThreads_.load()) break;
        SendLoop();
      }
    }
  });
  FlushAckEvent_.Set();  // a flush waiting for us now need not
  ThreadGone(self, false);
}

void TApdBaseDispatcher::MarkDeviceLost() {
  if (DeviceLost_.exchange(true)) return;
  ComEvent_.Set();
  OutputEvent_.Signal();
  if (OutputStatusHook_) OutputStatusHook_();  // waits for the output stop waiting
}

void TApdBaseDispatcher::SendLoop() {
  for (;;) {
    int send, chunk;
    {
      std::lock_guard<std::recursive_mutex> lock(OutputLock_);
      if (!OBuffer_) return;
      if (FlushInProgress_ || KillThreads_.load()) {
        // A flush or stop is asking: stop sending and say so.
        FlushEvent_.Drain();
        FlushAckEvent_.Set();
        return;
      }
      if (!OBufFull_ && OBufHead_ == OBufTail_) break;
      if (OBufTail_ < OBufHead_) {
        chunk = OBufHead_ - OBufTail_;
      } else if (OBufHead_ > 0) {
        // The pending bytes wrap: rotate them to the front so one write
        // covers them all.
        int pending = OBufFull_ ? OutSize_ : OBufHead_ + OutSize_ - OBufTail_;
        uint8_t* ring = OBuffer_.get();
        std::memcpy(OScratch_.get(), ring, OBufHead_);
        std::memmove(ring, ring + OBufTail_, OutSize_ - OBufTail_);
        std::memcpy(ring + OutSize_ - OBufTail_, OScratch_.get(), OBufHead_);
        OBufTail_ = 0;
        OBufHead_ = pending % OutSize_;
        chunk = pending;
      } else {
        chunk = OutSize_ - OBufTail_;
      }
      send = OBufTail_;
    }
    int written = ComWrite(OBuffer_.get() + send, chunk);
    if (written > 0) {
      AdvanceSend(written);
    } else if (written == 0) {
      int wait = ComWaitWritable(FlushEvent_.get());
      if (wait == kWaitCancelled) {
        FlushEvent_.Drain();
        FlushAckEvent_.Set();
        return;
      }
      if (wait != kWaitReady) {
        if (!KillThreads_.load()) MarkDeviceLost();
        return;
      }
    } else {
      // A write the device refuses outright means it has gone: what is
      // queued can never leave.
      if (!KillThreads_.load()) MarkDeviceLost();
      return;
    }
  }
  if (OutputStatusHook_) OutputStatusHook_();
  DropRtsWhenSent();
}

void TApdBaseDispatcher::AdvanceSend(int k) {
  std::lock_guard<std::recursive_mutex> lock(OutputLock_);
  if (!OBuffer_ || FlushInProgress_) return;
  OBufTail_ += k;
  if (OBufTail_ >= OutSize_) OBufTail_ -= OutSize_;
  OBufFull_ = false;
  if (OBufTail_ == OBufHead_) OBufTail_ = OBufHead_ = 0;
}

void TApdBaseDispatcher::DropRtsWhenSent() {
  {
    std::lock_guard<std::recursive_mutex> lock(MainLock_);
    if (!RS485Mode_) return;
  }
  // Without access to the UART's transmitter-empty bit, wait for the
  // driver's transmit queue to empty (bounded: about 5 s).
  for (int polls = 0; polls < 5000 && !KillThreads_.load(); ++polls) {
    uint32_t errors = 0;
    int queued = ComDriverOutQueue(errors);
    ErrorFlags_.fetch_or(errors & 0x1F);
    if (queued <= 0) break;
    if (Readable(FlushEvent_.get())) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  {
    std::lock_guard<std::recursive_mutex> lock(OutputLock_);
    if (OBufFull_ || OBufHead_ != OBufTail_) return;  // more to send: keep RTS up
  }
  SetRts(false);
}

// ---------------------------------------------------------------------------
// Thread priorities

int TApdBaseDispatcher::ThreadBoostSteps(bool outputThread) {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  return ThreadBoost_ + (outputThread && RS485Mode_ ? 1 : 0);
}

// Called on the thread that owns the dispatcher.
void TApdBaseDispatcher::ApplyThreadPriorities() {
  auto apply = [](TApdDispatcherThread* thread, int steps) {
    if (!thread || !thread->Alive() || thread->Tid() == 0) return;
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(thread->Tid()), -steps);
  };
  apply(ComThread_.get(), ThreadBoostSteps(false));
  apply(DispThread_.get(), ThreadBoostSteps(false));
  apply(OutThread_.get(), ThreadBoostSteps(true));
}

}  // namespace kestrel
