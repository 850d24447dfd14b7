#include "serial/qt/QtYield.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEvent>
#include <QPointer>
#include <QThread>
#include <chrono>
#include <cstdint>
#include <thread>

namespace kestrel {
namespace {

// Holds back the quit requests that reach the application while a yield
// step runs.
class TQuitCatcher : public QObject {
 public:
  using QObject::QObject;

  int Depth = 0;               // yield steps running (a handler may yield again)
  uint64_t Caught = 0;         // quit requests held back so far
  bool RepostPending = false;  // our own posted quit has not been delivered yet

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::Quit || watched != QCoreApplication::instance()) return false;
    RepostPending = false;
    if (Depth == 0) return false;
    ++Caught;
    return true;
  }
};

QPointer<TQuitCatcher> g_catcher;

TQuitCatcher* Catcher(QCoreApplication* app) {
  if (g_catcher.isNull()) {
    g_catcher = new TQuitCatcher(app);  // owned by the application
    app->installEventFilter(g_catcher);
  }
  return g_catcher;
}

}  // namespace

TYieldResult QtYieldStep() {
  // Another thread's wait (closing a port from a worker, say) has no window
  // events to handle, and the quit catcher belongs to the window thread.
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr || app->thread() != QThread::currentThread()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return TYieldResult::Idle;
  }
  QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
  if (dispatcher == nullptr) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return TYieldResult::Idle;
  }

  TQuitCatcher* catcher = Catcher(app);
  const uint64_t caughtBefore = catcher->Caught;
  ++catcher->Depth;
  const bool processed = dispatcher->processEvents(QEventLoop::AllEvents);
  --catcher->Depth;

  if (catcher->Caught != caughtBefore) {
    // One quit stays queued however many nested steps held it back.
    if (!catcher->RepostPending) {
      catcher->RepostPending = true;
      QCoreApplication::postEvent(app, new QEvent(QEvent::Quit));
    }
    return TYieldResult::Quit;
  }
  return processed ? TYieldResult::Handled : TYieldResult::Idle;
}

void InstallQtYield() {
  if (QCoreApplication* app = QCoreApplication::instance()) Catcher(app);
  SetYieldHook(&QtYieldStep);
}

}  // namespace kestrel
