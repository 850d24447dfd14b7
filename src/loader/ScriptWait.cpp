#include "ScriptWait.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTimer>
#include <algorithm>

namespace kestrel {

void process_pending_events() {
  QCoreApplication::processEvents();
}

void sleep_processing_events(long long milliseconds) {
  process_pending_events();
  if (milliseconds <= 0) return;
  const QDeadlineTimer deadline(milliseconds, Qt::PreciseTimer);
  // The timer only wakes the blocking wait below when nothing else does.
  QTimer wake;
  wake.setSingleShot(true);
  wake.setTimerType(Qt::PreciseTimer);
  for (;;) {
    const qint64 left = deadline.remainingTime();
    if (left <= 0) break;
    wake.start(int(std::min<qint64>(left, 1 << 30)));
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  process_pending_events();
}

}  // namespace kestrel
