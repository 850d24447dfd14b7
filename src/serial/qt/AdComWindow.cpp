#include "serial/qt/AdComWindow.h"

#include <QSocketNotifier>
#include <QThread>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "serialdevice/AwFd.h"

namespace kestrel {

// The messages travel in a queue of our own, guarded by our own lock; an
// eventfd watched by a socket notifier wakes the window thread. Nothing of a
// message passes through the toolkit's cross-thread machinery, so every
// hand-over is visible to the thread checker as well.
struct TApdComWindow::TPending {
  enum TState { sQueued, sRunning, sDone, sDropped };
  std::function<void()> call;
  bool sent = false;  // a sender waits for it
  TState state = sQueued;
};

struct TApdComWindow::TSync {
  std::mutex lock;
  std::condition_variable changed;
  std::deque<std::shared_ptr<TPending>> queue;
  bool shutdown = false;
  bool destroying = false;
  int callers = 0;  // threads inside SendCall or Post
  TApdEventFd wake;
};

TApdComWindow::TApdComWindow(TWndProc proc, QObject* parent)
    : QObject(parent), proc_(std::move(proc)), sync_(std::make_shared<TSync>()) {
  setObjectName(QString::fromLatin1(kComWindowClass));
  auto* notifier = new QSocketNotifier(sync_->wake.get(), QSocketNotifier::Read, this);
  connect(notifier, &QSocketNotifier::activated, this, [this] {
    sync_->wake.Drain();
    Dispatch();
  });
}

TApdComWindow::~TApdComWindow() {
  std::unique_lock guard(sync_->lock);
  sync_->shutdown = true;
  sync_->destroying = true;
  for (auto& pending : sync_->queue) {
    if (pending->state == TPending::sQueued) pending->state = TPending::sDropped;
  }
  sync_->queue.clear();
  sync_->changed.notify_all();
  // A sender may be between its check and its wait; each leaves promptly
  // once it sees the shutdown.
  sync_->changed.wait(guard, [this] { return sync_->callers == 0; });
}

bool TApdComWindow::Send(uint32_t Msg, uint32_t wParam, uint32_t lParam, int timeoutMs) {
  return SendCall([this, Msg, wParam, lParam] { proc_(Msg, wParam, lParam); }, timeoutMs);
}

bool TApdComWindow::SendCall(std::function<void()> call, int timeoutMs, bool finishStarted) {
  if (QThread::currentThread() == thread()) {
    if (IsShutdown()) return false;
    call();
    return true;
  }

  auto pending = std::make_shared<TPending>();
  pending->call = std::move(call);
  pending->sent = true;
  std::unique_lock guard(sync_->lock);
  if (sync_->shutdown) return false;
  ++sync_->callers;
  sync_->queue.push_back(pending);
  sync_->wake.Signal();

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (pending->state == TPending::sDone || pending->state == TPending::sDropped) break;
    if (pending->state == TPending::sQueued && sync_->shutdown) {
      pending->state = TPending::sDropped;
      break;
    }
    // A running handler on a window being destroyed cannot finish: the
    // destructor runs on the same thread and waits for us.
    if (pending->state == TPending::sRunning && sync_->destroying) break;
    if (pending->state == TPending::sRunning && finishStarted) {
      sync_->changed.wait(guard);
      continue;
    }
    if (sync_->changed.wait_until(guard, deadline) == std::cv_status::timeout) {
      // Too late: the message is dropped unless the handler already runs, in
      // which case it finishes on its own while we go on.
      if (pending->state == TPending::sQueued) pending->state = TPending::sDropped;
      break;
    }
  }
  const bool handled = pending->state == TPending::sDone;
  --sync_->callers;
  sync_->changed.notify_all();
  return handled;
}

void TApdComWindow::Post(uint32_t Msg, uint32_t wParam, uint32_t lParam) {
  auto pending = std::make_shared<TPending>();
  pending->call = [this, Msg, wParam, lParam] { proc_(Msg, wParam, lParam); };
  std::lock_guard guard(sync_->lock);
  if (sync_->destroying) return;
  sync_->queue.push_back(std::move(pending));
  sync_->wake.Signal();
}

void TApdComWindow::Shutdown() {
  std::lock_guard guard(sync_->lock);
  sync_->shutdown = true;
  sync_->changed.notify_all();
}

bool TApdComWindow::IsShutdown() const {
  std::lock_guard guard(sync_->lock);
  return sync_->shutdown;
}

void TApdComWindow::Dispatch() {
  // A handler may destroy this window; the shared state outlives it, and a
  // destroyed window's queue is empty.
  const std::shared_ptr<TSync> sync = sync_;
  for (;;) {
    std::shared_ptr<TPending> pending;
    {
      std::lock_guard guard(sync->lock);
      if (sync->queue.empty()) return;
      pending = std::move(sync->queue.front());
      sync->queue.pop_front();
      // Sent messages that were dropped (time-out, shutdown) are skipped.
      if (pending->state != TPending::sQueued) continue;
      pending->state = TPending::sRunning;
    }
    struct TFinish {
      TSync& sync;
      TPending& pending;
      ~TFinish() {
        std::lock_guard guard(sync.lock);
        pending.state = TPending::sDone;
        if (pending.sent) sync.changed.notify_all();
      }
    } finish{*sync, *pending};
    pending->call();
  }
}

}  // namespace kestrel
