#include "serial/qt/QtYield.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QEvent>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <memory>

namespace kestrel {
namespace {

QApplication& App() {
  static int argc = 1;
  static char name[] = "QtYield_test";
  static char* argv[] = {name, nullptr};
  static QApplication app(argc, argv);
  return app;
}

class QtYieldTest : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    InstallQtYield();
  }
  void TearDown() override { SetYieldHook(nullptr); }

  // Runs work inside the application's event loop, as the program's waits
  // run inside a handler; returns exec()'s result. Should a quit request get
  // lost, a guard posts another after 20 s so the test fails instead of
  // hanging.
  int RunInEventLoop(std::function<void()> work) {
    bool guardFired = false;
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [&] {
      guardFired = true;
      QCoreApplication::postEvent(&App(), new QEvent(QEvent::Quit));
    });
    guard.start(20000);
    QTimer::singleShot(0, &App(), work);
    const int result = QApplication::exec();
    EXPECT_FALSE(guardFired) << "the quit request was lost";
    return result;
  }
};

TEST_F(QtYieldTest, PostedEventsGetProcessed) {
  int handled = 0;
  for (int i = 0; i < 3; ++i)
    QMetaObject::invokeMethod(
        &App(), [&handled] { ++handled; }, Qt::QueuedConnection);
  EXPECT_EQ(SafeYield(), TYieldResult::Handled);
  EXPECT_EQ(handled, 3);

  // A yielding delay keeps handling what arrives meanwhile.
  QTimer::singleShot(0, &App(), [&handled] { ++handled; });
  EXPECT_TRUE(DelayTicks(2, true));
  EXPECT_EQ(handled, 4);
}

TEST_F(QtYieldTest, PostedQuitEndsADelayAndStillEndsTheEventLoop) {
  bool delayEnded = false;
  bool endedEarly = false;
  const int result = RunInEventLoop([&] {
    QCoreApplication::postEvent(&App(), new QEvent(QEvent::Quit));
    endedEarly = !DelayTicks(Secs2Ticks(600), true);
    delayEnded = true;
  });
  EXPECT_TRUE(delayEnded);
  EXPECT_TRUE(endedEarly);
  EXPECT_EQ(result, 0);
}

TEST_F(QtYieldTest, QuitFromAHandlerDuringTheDelaySurvivesNestedWaits) {
  int delaysEndedEarly = 0;
  const int result = RunInEventLoop([&] {
    QTimer::singleShot(0, &App(), [] { QCoreApplication::quit(); });
    if (!DelayTicks(Secs2Ticks(600), true)) ++delaysEndedEarly;
    // A second wait on the way out sees the same request, which stays pending.
    if (!DelayTicks(Secs2Ticks(600), true)) ++delaysEndedEarly;
  });
  EXPECT_EQ(delaysEndedEarly, 2);
  EXPECT_EQ(result, 0);
}

TEST_F(QtYieldTest, QuitOutsideAWaitIsLeftToQt) {
  const int result = RunInEventLoop([] { QCoreApplication::quit(); });
  EXPECT_EQ(result, 0);
  // Nothing of it remains queued for the next wait.
  EXPECT_NE(SafeYield(), TYieldResult::Quit);
}

// A port closed from a worker thread yields there while it waits for the
// port's threads. Such steps must not run or hold back the window thread's
// events, nor touch its quit bookkeeping while the window thread yields too.
TEST_F(QtYieldTest, StepsOnAnotherThreadLeaveTheWindowThreadAlone) {
  int handled = 0;
  QMetaObject::invokeMethod(
      &App(), [&handled] { ++handled; }, Qt::QueuedConnection);
  std::atomic<int> idle{0};
  std::unique_ptr<QThread> worker(QThread::create([&idle] {
    for (int i = 0; i < 50; ++i) {
      if (SafeYield() == TYieldResult::Idle) ++idle;
    }
  }));
  worker->start();  // a QThread has an event dispatcher of its own
  while (!worker->isFinished()) SafeYield();
  worker->wait();
  EXPECT_EQ(idle, 50);
  EXPECT_EQ(handled, 1) << "the window thread's event ran on the window thread, once";
}

}  // namespace
}  // namespace kestrel
