#include "AdComWindow.h"

#include <QCoreApplication>
#include <QEvent>
#include <QThread>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace kestrel {

namespace {

const QEvent::Type kMessageEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

}  // namespace

// Shared between the window, its queued events and the waiting senders, so
// that whichever of them goes last can still take the lock.
struct TApdComWindow::TSync {
  std::mutex lock;
  std::condition_variable changed;
  bool shutdown = false;
  bool destroying = false;
  int callers = 0;  // threads inside Send or Post
};

struct TApdComWindow::TPending {
  enum TState { sQueued, sRunning, sDone, sDropped };
  TState state = sQueued;
};

class TApdComWindow::TMessageEvent : public QEvent {
 public:
  TMessageEvent(std::shared_ptr<TSync> sync, std::shared_ptr<TPending> pending,
                std::function<void()> call)
      : QEvent(kMessageEvent),
        sync(std::move(sync)),
        pending(std::move(pending)),
        call(std::move(call)) {}

  // A sent message whose event is thrown away unhandled (its window went away)
  // must not keep its sender waiting.
  ~TMessageEvent() override {
    if (!pending) return;
    std::lock_guard guard(sync->lock);
    if (pending->state == TPending::sQueued) {
      pending->state = TPending::sDropped;
      sync->changed.notify_all();
    }
  }

  std::shared_ptr<TSync> sync;
  std::shared_ptr<TPending> pending;  // null for a posted message
  std::function<void()> call;
};

TApdComWindow::TApdComWindow(TWndProc proc, QObject* parent)
    : QObject(parent), proc_(std::move(proc)), sync_(std::make_shared<TSync>()) {
  setObjectName(QString::fromLatin1(kComWindowClass));
}

TApdComWindow::~TApdComWindow() {
  std::unique_lock guard(sync_->lock);
  sync_->shutdown = true;
  sync_->destroying = true;
  sync_->changed.notify_all();
  // A sender may be between its check and its post; wait until none is inside
  // (each leaves promptly once it sees the shutdown).
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
  {
    std::lock_guard guard(sync_->lock);
    if (sync_->shutdown) return false;
    ++sync_->callers;
  }
  QCoreApplication::postEvent(this, new TMessageEvent(sync_, pending, std::move(call)));

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::unique_lock guard(sync_->lock);
  for (;;) {
    if (pending->state == TPending::sDone) break;
    if (pending->state == TPending::sDropped) break;
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
  {
    std::lock_guard guard(sync_->lock);
    if (sync_->destroying) return;
    ++sync_->callers;
  }
  QCoreApplication::postEvent(this, new TMessageEvent(sync_, nullptr, [this, Msg, wParam, lParam] {
                                proc_(Msg, wParam, lParam);
                              }));
  std::lock_guard guard(sync_->lock);
  --sync_->callers;
  sync_->changed.notify_all();
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

bool TApdComWindow::event(QEvent* e) {
  if (e->type() != kMessageEvent) return QObject::event(e);
  auto* message = static_cast<TMessageEvent*>(e);
  if (!message->pending) {
    message->call();
    return true;
  }
  {
    std::lock_guard guard(sync_->lock);
    if (message->pending->state != TPending::sQueued) return true;  // dropped or timed out
    message->pending->state = TPending::sRunning;
  }
  struct TFinish {
    TMessageEvent* message;
    ~TFinish() {
      std::lock_guard guard(message->sync->lock);
      message->pending->state = TPending::sDone;
      message->sync->changed.notify_all();
    }
  } finish{message};
  message->call();
  return true;
}

}  // namespace kestrel
