// TApdCustomComPort::WaitForString: waits for a string on the window thread,
// consuming every byte it examines, with trigger delivery suspended.
//
// The wait sleeps between arrivals: it blocks in the window thread's event
// dispatcher (yield) or on the waker (no yield), and is woken by received
// bytes (TApdWaitWaker), by its deadline, by window events, or by the
// device going away, which ends it at once.

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEvent>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "serial/Awuser.h"
#include "serial/Clock.h"
#include "serial/EventTimer.h"
#include "serial/qt/AdPortContext.h"
#include "serial/qt/AdWaitWaker.h"
#include "serial/qt/Adport.h"

namespace kestrel {

namespace {

// Notices a quit request that reaches the application while the wait blocks
// in the event dispatcher; the request itself goes on to the application.
// Thread contract: window thread only.
class TQuitWatcher : public QObject {
 public:
  TQuitWatcher() {
    auto* app = QCoreApplication::instance();
    if (app && app->thread() == QThread::currentThread()) app->installEventFilter(this);
  }
  bool Seen = false;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Quit && watched == QCoreApplication::instance()) Seen = true;
    return false;
  }
};

// Incremental string search that also finds matches overlapping an earlier
// partial match (aab in aaab). Thread contract: one thread at a time.
class TStringMatcher {
 public:
  TStringMatcher(std::string_view pattern, bool ignoreCase)
      : Pattern_(pattern), IgnoreCase_(ignoreCase), Fallback_(pattern.size(), 0) {
    if (IgnoreCase_) {
      for (char& c : Pattern_) c = Upper(c);
    }
    for (size_t i = 1, k = 0; i < Pattern_.size(); ++i) {
      while (k > 0 && Pattern_[i] != Pattern_[k]) k = Fallback_[k - 1];
      if (Pattern_[i] == Pattern_[k]) ++k;
      Fallback_[i] = k;
    }
  }

  // Feeds one byte; true when the string has just been completed.
  bool Feed(char byte) {
    const char c = IgnoreCase_ ? Upper(byte) : byte;
    while (Matched_ > 0 && Pattern_[Matched_] != c) Matched_ = Fallback_[Matched_ - 1];
    if (Pattern_[Matched_] == c) ++Matched_;
    return Matched_ == Pattern_.size();
  }

 private:
  static char Upper(char c) {
    return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }

  std::string Pattern_;
  bool IgnoreCase_;
  std::vector<size_t> Fallback_;  // longest proper border of each prefix
  size_t Matched_ = 0;
};

// Milliseconds until the timer counts as expired (more than its ticks passed).
int MillisecondsLeft(const EventTimer& timer) {
  if (TimerExpired(timer)) return 0;
  const int64_t left = static_cast<int64_t>(RemainingTime(timer) + 1) * TickMs -
                       static_cast<int64_t>(AdTimeGetTime() & 0x7FFFFFFF) % TickMs;
  return static_cast<int>(std::clamp<int64_t>(left, 1, 0x7FFFFFFF));
}

}  // namespace

void TApdCustomComPort::PrepareWait() {
  if (InState(psShuttingDown)) return;
  auto* d = ValidDispatcher();
  if (!d) return;
  bool wasBusy = false;
  d->SetEventBusy(wasBusy, true);
  WaitPrepared_ = true;
  if (!wasBusy) WaitPreparedWhileOn_ = true;
}

void TApdCustomComPort::AbandonPreparedWait() {
  if (!WaitPrepared_ || WaitDepth_ > 0) return;
  TApdBaseDispatcher* const d = OpenDispatcher();  // never opens or throws
  if (d && WaitPreparedWhileOn_) {
    bool ignored = false;
    d->SetEventBusy(ignored, false);
  }
  WaitPrepared_ = false;
  WaitPreparedWhileOn_ = false;
}

bool TApdCustomComPort::WaitForString(std::string_view s, int32_t timeout, bool yield,
                                      bool ignoreCase, TClock* clock) {
  if (s.empty() || InState(psShuttingDown)) return true;
  TApdBaseDispatcher* const d = ValidDispatcher();
  if (!d) return false;

  bool wasBusy = false;
  d->SetEventBusy(wasBusy, true);

  EventTimer timer;
  NewTimer(timer, timeout);
  // On the caller's clock the wait ends once more than `timeout` ticks have
  // passed, as the tick timer's expiry has it.
  const int64_t due = clock ? clock->now() + (int64_t(std::max(timeout, 0)) + 1) * TickMs : 0;
  const auto expiredNow = [&] { return clock ? clock->now() >= due : TimerExpired(timer); };
  TStringMatcher matcher(s, ignoreCase);
  TApdWaitWaker& waker = Context_.Waker();

  QAbstractEventDispatcher* eventDispatcher =
      yield ? QAbstractEventDispatcher::instance(QThread::currentThread()) : nullptr;
  TApdWakeRegistration registration(waker, eventDispatcher);
  TQuitWatcher quitWatcher;
  QTimer deadline;
  deadline.setSingleShot(true);
  deadline.setTimerType(Qt::PreciseTimer);

  bool found = false;
  bool expired = false;
  bool terminating = false;
  // The port may be closed or moved by an event handled while we yield.
  auto stillOurs = [&] { return OpenDispatcher() == d; };

  // However the wait ends (a handler may throw), delivery comes back on when
  // it was on before, or was switched off by PrepareWait.
  ++WaitDepth_;
  struct TRestore {
    TApdCustomComPort* port;
    TApdBaseDispatcher* d;
    bool wasBusy;
    ~TRestore() {
      --port->WaitDepth_;
      if (port->OpenDispatcher() == d && (!wasBusy || port->WaitPreparedWhileOn_)) {
        bool ignored = false;
        d->SetEventBusy(ignored, false);
      }
      port->WaitPrepared_ = false;
      port->WaitPreparedWhileOn_ = false;
      if (port->WaitDepth_ == 0) port->DeliverHeldBackMessages();
    }
  } restore{this, d, wasBusy};

  while (!found && !expired && !terminating && stillOurs()) {
    const uint64_t seen = waker.Arrivals();
    while (d->CharReady()) {
      const int byte = d->GetChar();
      if (byte < 0) break;
      WaitChar(static_cast<char>(byte));
      if (matcher.Feed(static_cast<char>(byte))) {
        found = true;
        break;
      }
      if (expiredNow() || !stillOurs()) break;
    }
    if (found || !stillOurs()) break;
    expired = expiredNow();
    if (expired) break;
    // A device that went away sends nothing more: the wait has failed.
    if (d->DeviceLost()) break;

    if (clock) {
      if (eventDispatcher && (SafeYield() == TYieldResult::Quit || quitWatcher.Seen)) {
        terminating = true;
        break;
      }
      if (!stillOurs() || d->CharReady()) continue;
      // One rest on the clock: till bytes or a report come, or the time is up.
      clock->wait_until(
          [&] {
            return waker.Arrivals() != seen || quitWatcher.Seen || !stillOurs() || d->CharReady() ||
                   d->DeviceLost();
          },
          due);
      if (quitWatcher.Seen) terminating = true;
      continue;
    }
    if (!eventDispatcher) {
      waker.WaitFor(seen, MillisecondsLeft(timer));
      continue;
    }
    if (SafeYield() == TYieldResult::Quit || quitWatcher.Seen) {
      terminating = true;
      break;
    }
    if (!stillOurs() || waker.Arrivals() != seen || d->CharReady()) continue;
    // Sleep until bytes arrive (the waker wakes the dispatcher), the deadline
    // timer fires or some other window event comes in.
    deadline.start(MillisecondsLeft(timer));
    eventDispatcher->processEvents(QEventLoop::WaitForMoreEvents);
    deadline.stop();
    if (quitWatcher.Seen) terminating = true;
  }

  if (terminating) return true;
  if (!stillOurs()) return false;  // the port went away under the wait
  return found && !expiredNow();
}

}  // namespace kestrel
