// WaitForString: found, timed out, what it consumes, overlapping matches,
// suspended event delivery, and what happens around it while it yields.

#include <gtest/gtest.h>

#include <QTimer>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "PortTestSupport.h"
#include "PtyPair.h"
#include "serial/EventTimer.h"
#include "serial/qt/Adport.h"

namespace kestrel {
namespace {

using namespace std::chrono_literals;
using test::App;
using test::PumpUntil;

class WaitForStringTest : public test::TSimPortTest {
 protected:
  void SetUp() override {
    TSimPortTest::SetUp();
    port.SetOpen(true);
  }

  // Sends text and waits until all of it sits in the dispatch buffer.
  void Arrive(const std::string& text) {
    const uint16_t before = port.InBuffUsed();
    ASSERT_EQ(far->SendFor(text, 5s), static_cast<int>(text.size()));
    ASSERT_TRUE(test::WaitUntilPlain([&] { return port.InBuffUsed() == before + text.size(); }));
  }

  std::string Unread() {
    std::string rest(port.InBuffUsed(), '\0');
    if (!rest.empty()) port.GetBlock(rest.data(), static_cast<uint16_t>(rest.size()));
    return rest;
  }
};

TEST_F(WaitForStringTest, FindsTheStringAndConsumesOnlyUpToIt) {
  Arrive("xxOOKyy");
  std::string seen;
  port.SetOnWaitChar([&](TApdCustomComPort*, char c) { seen += c; });
  EXPECT_TRUE(port.WaitForString("OK", 18, true, false));
  EXPECT_EQ(seen, "xxOOK");
  EXPECT_EQ(Unread(), "yy");
}

TEST_F(WaitForStringTest, MatchesThatOverlapAnEarlierPartialMatchAreFound) {
  struct Case {
    const char* input;
    const char* wanted;
    bool ignoreCase;
    const char* left;
  };
  for (const Case& c : {Case{"aaab!", "aab", false, "!"}, Case{"ababac-", "abac", false, "-"},
                        Case{"xxok.", "OK", true, "."}, Case{"#", "#", false, ""}}) {
    SCOPED_TRACE(c.input);
    Arrive(c.input);
    EXPECT_TRUE(port.WaitForString(c.wanted, 18, true, c.ignoreCase));
    EXPECT_EQ(Unread(), c.left);
  }
}

TEST_F(WaitForStringTest, TimesOutAfterItsTicksAndConsumesWhatArrived) {
  Arrive("no prompt here");
  std::atomic<bool> stop{false};
  std::thread chatter([&] {
    for (int i = 0; i < 10 && !stop; ++i) {
      far->SendFor("zz", 1s);
      std::this_thread::sleep_for(100ms);
    }
  });
  const auto start = std::chrono::steady_clock::now();
  const bool found = port.WaitForString("#", 65, true, false);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  stop = true;
  chatter.join();

  EXPECT_FALSE(found);
  // More than 65 ticks of 55 ms have passed, and not much more.
  EXPECT_GE(elapsed, 65 * 55ms);
  EXPECT_LT(elapsed, 66 * 55ms + 1500ms) << "generous: the machine may be loaded";
  test::WaitUntilPlain([&] { return far->Available() == 0; }, 100ms);
  EXPECT_EQ(port.InBuffUsed(), 0) << "everything received during the wait is gone";
}

TEST_F(WaitForStringTest, ReturnsAsSoonAsThePromptArrivesWhileTheWindowStaysAlive) {
  int ticks = 0;
  QTimer heartbeat;
  QObject::connect(&heartbeat, &QTimer::timeout, [&] { ++ticks; });
  heartbeat.start(20);
  std::thread unit([&] {
    std::this_thread::sleep_for(300ms);
    far->SendFor("LOADR\r\n>", 1s);
  });
  EXPECT_TRUE(port.WaitForString(">", 265, true, false));
  unit.join();
  EXPECT_GE(ticks, 3) << "window events are handled during the wait";
  EXPECT_EQ(port.InBuffUsed(), 0);

  // Without yielding the wait still sleeps until the bytes come.
  std::thread later([&] {
    std::this_thread::sleep_for(100ms);
    far->SendFor("ok#rest", 1s);
  });
  EXPECT_TRUE(port.WaitForString("#", 65, false, false));
  later.join();
  test::WaitUntilPlain([&] { return port.InBuffUsed() == 4; });
  EXPECT_EQ(Unread(), "rest");
}

TEST_F(WaitForStringTest, NoAvailEventDuringTheWaitAndOneAfterForTheRest) {
  std::vector<uint16_t> counts;
  port.SetOnTriggerAvail([&](TApdCustomComPort*, uint16_t count) { counts.push_back(count); });
  std::thread unit([&] {
    std::this_thread::sleep_for(100ms);
    far->SendFor("abc", 1s);
    std::this_thread::sleep_for(100ms);
    far->SendFor("#XYZ", 1s);
  });
  EXPECT_TRUE(port.WaitForString("#", 65, true, false));
  unit.join();
  EXPECT_TRUE(counts.empty());
  ASSERT_TRUE(PumpUntil([&] { return !counts.empty(); }));
  ASSERT_TRUE(test::PumpDispatchCycles(port));
  EXPECT_EQ(counts, (std::vector<uint16_t>{3}));
}

// The dispatch thread hands a message over while the window thread is busy;
// a wait that starts then meets it while it yields, and must not lose it: a
// fired status or timer trigger stays disarmed until its handler arms it.
TEST_F(WaitForStringTest, StatusAndTimerEventsHandedOverBeforeTheWaitComeAfterIt) {
  int statuses = 0, timers = 0;
  port.SetOnTriggerStatus([&](TApdCustomComPort*, uint16_t) { ++statuses; });
  port.SetOnTriggerTimer([&](TApdCustomComPort*, uint16_t) { ++timers; });
  const uint16_t status = port.AddStatusTrigger(stOutBuffFree);
  const uint16_t timer = port.AddTimerTrigger();
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round == 0 ? "status" : "timer");
    if (round == 0)
      port.SetStatusTrigger(status, 100, true);  // met at once
    else
      port.SetTimerTrigger(timer, 1, true);
    std::this_thread::sleep_for(300ms);  // fired meanwhile; its message waits for us
    std::thread unit([&] {
      std::this_thread::sleep_for(100ms);
      far->SendFor("#", 1s);
    });
    EXPECT_TRUE(port.WaitForString("#", 36, true, false));
    unit.join();
    EXPECT_TRUE(PumpUntil([&] { return statuses + timers == round + 1; }, 2s));
    EXPECT_EQ(statuses, 1);
  }
  EXPECT_EQ(timers, 1);
}

TEST_F(WaitForStringTest, EventsAreSwitchedBackOnOnlyWhenTheyWereOn) {
  std::vector<uint16_t> counts;
  port.SetOnTriggerAvail([&](TApdCustomComPort*, uint16_t count) { counts.push_back(count); });

  // PrepareWait switches delivery off ahead of the wait; the wait restores it.
  port.PrepareWait();
  Arrive("a");
  ASSERT_TRUE(test::PumpDispatchCycles(port));
  EXPECT_TRUE(counts.empty());
  Arrive("#");
  EXPECT_TRUE(port.WaitForString("#", 18, true, false));
  Arrive("b");
  ASSERT_TRUE(PumpUntil([&] { return counts.size() == 1; }));

  // A preparation no wait followed is undone, and only once.
  port.PrepareWait();
  Arrive("c");
  ASSERT_TRUE(test::PumpDispatchCycles(port));
  EXPECT_EQ(counts.size(), 1u);
  port.AbandonPreparedWait();
  ASSERT_TRUE(PumpUntil([&] { return counts.size() == 2; }));
  port.AbandonPreparedWait();
  Arrive("d");
  ASSERT_TRUE(PumpUntil([&] { return counts.size() == 3; }));

  // A wait inside an avail handler leaves delivery to the dispatcher.
  int inner = 0;
  port.SetOnTriggerAvail([&](TApdCustomComPort* cp, uint16_t) {
    ++inner;
    cp->WaitForString("!", 18, true, false);
  });
  Arrive("..!");
  ASSERT_TRUE(PumpUntil([&] { return inner == 1; }));
  Arrive("x!");
  ASSERT_TRUE(PumpUntil([&] { return inner == 2; }));
}

TEST_F(WaitForStringTest, ThePortGoingAwayDuringTheWaitEndsIt) {
  QTimer::singleShot(50, &port, [this] { port.SetOpen(false); });
  EXPECT_FALSE(port.WaitForString("#", 65, true, false));
  ASSERT_TRUE(PumpUntil([&] { return port.PortState() == psClosed; }));
  EXPECT_FALSE(far->PortOpen());
  EXPECT_THROW(port.WaitForString("#", 1, true, false), ECommNotOpen);
}

TEST_F(WaitForStringTest, AQuitRequestEndsTheWaitAsFound) {
  QTimer::singleShot(50, qApp, [] { QCoreApplication::postEvent(qApp, new QEvent(QEvent::Quit)); });
  EXPECT_TRUE(port.WaitForString("#", 65, true, false));
  // The request stays pending for the event loop: take it away again.
  QCoreApplication::removePostedEvents(qApp, QEvent::Quit);
}

// A port open on a pseudo-terminal as COM 5; the test holds the master side.
struct TPtyPort {
  test::PtyPair pty;
  TApdComPort port;
  const bool ok = pty.ok();  // before the port takes over the slave side
  TPtyPort() {
    if (!ok) return;
    test::MapPath(5, pty.slavePath());
    port.SetComNumber(5);
    port.SetAutoOpen(false);
    port.SetOpen(true);
    pty.DropHolder();
  }
};

TEST_F(WaitForStringTest, WorksOnAPseudoTerminal) {
  TPtyPort line;
  ASSERT_TRUE(line.ok);
  auto& pty = line.pty;
  auto& ptyPort = line.port;
  std::thread unit([&] {
    std::this_thread::sleep_for(50ms);
    pty.WriteAll(std::string("boot...\r\n#tail"));
  });
  EXPECT_TRUE(ptyPort.WaitForString("#", 65, true, false));
  unit.join();
  ASSERT_TRUE(test::WaitUntilPlain([&] { return ptyPort.InBuffUsed() == 4; }));
  std::string rest(4, '\0');
  ptyPort.GetBlock(rest.data(), 4);
  EXPECT_EQ(rest, "tail");
}

TEST_F(WaitForStringTest, ADeviceLostDuringTheWaitEndsItAtOnce) {
  TPtyPort line;
  ASSERT_TRUE(line.ok);
  auto& pty = line.pty;
  auto& ptyPort = line.port;
  QTimer::singleShot(50, &ptyPort, [&] { pty.CloseMaster(); });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(ptyPort.WaitForString("#", 65, true, false));
  // Well short of the 65 ticks it was given.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 65 * 55ms / 2);
  EXPECT_TRUE(ptyPort.DeviceLost());
  EXPECT_FALSE(ptyPort.WaitForString("#", 65, false, false)) << "and so does a later one";
  EXPECT_LT(std::chrono::steady_clock::now() - start, 65 * 55ms / 2);
}

}  // namespace
}  // namespace kestrel
