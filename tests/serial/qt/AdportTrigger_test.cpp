// Trigger events of the port component on the window thread: avail deliveries
// shared with a dispatch-thread handler, closing and reopening from inside a
// handler, status, timer, data and line-error triggers, and triggers that
// survive a close and a change of port.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "PortTestSupport.h"
#include "serial/Awuser.h"
#include "serial/qt/Adport.h"

namespace kestrel {
namespace {

using namespace std::chrono_literals;
using test::App;
using test::PumpUntil;

class ComPortTriggerTest : public test::TSimPortTest {
 protected:
  void Send(const std::string& text) {
    ASSERT_EQ(far->SendFor(text, 5s), static_cast<int>(text.size()));
  }
};

TEST_F(ComPortTriggerTest, EveryHandlerOfOneDeliveryReadsTheSameBytes) {
  port.SetOpen(true);
  // A dispatch-thread reader, registered like the terminal window's.
  std::mutex lock;
  std::string early;
  port.GetDispatcher()->RegisterEventTriggerHandler(
      this, [&](uint32_t Msg, uint32_t wParam, uint32_t) {
        if (Msg != apw_TriggerAvail) return;
        std::string bytes(wParam, '\0');
        if (port.GetDispatcher()->GetBlock(bytes.data(), static_cast<int>(wParam)) > 0) {
          std::lock_guard guard(lock);
          early += bytes;
        }
      });
  std::vector<uint16_t> counts;
  std::string late;
  port.SetOnTriggerAvail([&](TApdCustomComPort* cp, uint16_t count) {
    counts.push_back(count);
    std::string bytes(count, '\0');
    cp->GetBlock(bytes.data(), count);
    late += bytes;
  });

  Send("hello");
  ASSERT_TRUE(PumpUntil([&] { return late.size() == 5; }));
  ASSERT_TRUE(test::PumpDispatchCycles(port));
  EXPECT_EQ(counts, (std::vector<uint16_t>{5}));
  EXPECT_EQ(late, "hello");
  {
    std::lock_guard guard(lock);
    EXPECT_EQ(early, "hello");
  }
  EXPECT_EQ(port.InBuffUsed(), 0);
}

TEST_F(ComPortTriggerTest, BytesAHandlerLeavesAreOfferedAgainWithTheNextArrival) {
  port.SetOpen(true);
  std::vector<uint16_t> counts;
  std::vector<uint16_t> leftInside;
  std::string taken;
  port.SetOnTriggerAvail([&](TApdCustomComPort* cp, uint16_t count) {
    counts.push_back(count);
    char two[2];
    cp->GetBlock(two, 2);
    taken.append(two, 2);
    leftInside.push_back(cp->InBuffUsed());
  });
  Send("abcde");
  ASSERT_TRUE(PumpUntil([&] { return counts.size() == 1; }));
  ASSERT_TRUE(test::PumpDispatchCycles(port));  // no second event without new bytes
  EXPECT_EQ(counts, (std::vector<uint16_t>{5}));
  EXPECT_EQ(port.InBuffUsed(), 3);

  Send("fghi");
  ASSERT_TRUE(PumpUntil([&] { return counts.size() == 2; }));
  EXPECT_EQ(counts[1], 7);
  EXPECT_EQ(taken, "abcd");
  EXPECT_EQ(leftInside, (std::vector<uint16_t>{3, 5}));
}

TEST_F(ComPortTriggerTest, ClosingAndReopeningFromInsideAnAvailHandler) {
  port.SetOpen(true);
  const uint16_t timer = port.AddTimerTrigger();
  std::vector<TPortState> statesInside;
  int closes = 0, opens = 0;
  port.SetOnPortClose([&](TApdCustomComPort*) { ++closes; });
  port.SetOnPortOpen([&](TApdCustomComPort*) { ++opens; });
  port.SetOnTriggerAvail([&](TApdCustomComPort* cp, uint16_t) {
    cp->SetOpen(false);
    statesInside.push_back(cp->PortState());
    EXPECT_FALSE(cp->Open());
    EXPECT_EQ(cp->InBuffUsed(), 0) << "a closing port gives neutral values";
    cp->SetOpen(true);  // completes once the close has
    statesInside.push_back(cp->PortState());
  });

  Send("x");
  ASSERT_TRUE(PumpUntil([&] { return opens == 1; }));
  EXPECT_EQ(statesInside, (std::vector<TPortState>{psShuttingDown, psShuttingDown}));
  EXPECT_EQ(closes, 1);
  EXPECT_TRUE(port.Open());
  EXPECT_EQ(port.PortState(), psOpen);
  EXPECT_TRUE(far->PortOpen());

  // The reopened port works, and kept its timer trigger.
  std::vector<uint16_t> fired;
  port.SetOnTriggerAvail(nullptr);
  port.SetOnTriggerTimer([&](TApdCustomComPort*, uint16_t h) { fired.push_back(h); });
  port.SetTimerTrigger(timer, 1, true);
  ASSERT_TRUE(PumpUntil([&] { return fired.size() == 1; }));
  EXPECT_EQ(fired[0], timer);

  // Closing from a handler without reopening leaves the port closed.
  port.SetOnTriggerAvail([&](TApdCustomComPort* cp, uint16_t) { cp->SetOpen(false); });
  Send("y");
  ASSERT_TRUE(PumpUntil([&] { return port.PortState() == psClosed; }));
  EXPECT_FALSE(port.Open());
  EXPECT_EQ(closes, 2);
  EXPECT_FALSE(far->PortOpen());
}

TEST_F(ComPortTriggerTest, ClosingWhileTheDispatchThreadWaitsForTheWindowDoesNotStall) {
  port.SetOpen(true);
  int calls = 0;
  port.SetOnTriggerAvail([&](TApdCustomComPort*, uint16_t) { ++calls; });
  Send("x");
  // The window thread does not handle events: the delivery waits for it.
  ASSERT_TRUE(test::WaitUntilPlain([&] { return port.GetDispatcher()->EventBusy(); }));
  const auto start = std::chrono::steady_clock::now();
  port.SetOpen(false);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2500ms)
      << "the close must not sit out the 3000 ms hand-off limit";
  EXPECT_FALSE(port.Open());
  ASSERT_TRUE(PumpUntil([&] { return port.PortState() == psClosed; }));
  EXPECT_EQ(calls, 0) << "a message released by the close is not handled afterwards";
  EXPECT_FALSE(far->PortOpen());
}

TEST_F(ComPortTriggerTest, StatusTriggersFireOnceUntilRearmed) {
  port.SetOpen(true);
  const uint16_t modem = port.AddStatusTrigger(stModem);
  port.SetStatusTrigger(modem, ms_CtsOn, true);
  std::vector<uint16_t> status;
  int modemEvents = 0;
  port.SetOnTriggerStatus([&](TApdCustomComPort*, uint16_t h) { status.push_back(h); });
  port.SetOnTriggerModemStatus([&](TApdCustomComPort*) { ++modemEvents; });

  far->SetCts(false);
  ASSERT_TRUE(PumpUntil([&] { return status.size() == 1; }));
  far->SetCts(true);
  far->SetCts(false);
  ASSERT_TRUE(test::PumpDispatchCycles(port));
  EXPECT_EQ(status, (std::vector<uint16_t>{modem}));
  EXPECT_EQ(modemEvents, 1);

  port.SetStatusTrigger(modem, ms_CtsOn, true);
  far->SetCts(true);
  ASSERT_TRUE(PumpUntil([&] { return status.size() == 2; }));
  EXPECT_EQ(modemEvents, 2);
  EXPECT_TRUE(port.CTS());
}

TEST_F(ComPortTriggerTest, LineErrorsReachTheirEventWithTheBreakFlag) {
  port.SetOpen(true);
  const uint16_t line = port.AddStatusTrigger(stLine);
  port.SetStatusTrigger(line, lsParity | lsBreak, true);
  std::vector<std::pair<uint16_t, bool>> errors;
  port.SetOnTriggerLineError([&](TApdCustomComPort*, uint16_t error, bool lineBreak) {
    errors.push_back({error, lineBreak});
  });
  far->InjectErrors(ce_RxParity);
  ASSERT_TRUE(PumpUntil([&] { return errors.size() == 1; }));
  EXPECT_EQ(errors[0], (std::pair<uint16_t, bool>{3, false}));
}

TEST_F(ComPortTriggerTest, TimerTriggersFireAboutOnTimeAndOnce) {
  port.SetOpen(true);
  const uint16_t timer = port.AddTimerTrigger();
  std::vector<uint16_t> fired;
  port.SetOnTriggerTimer([&](TApdCustomComPort*, uint16_t h) { fired.push_back(h); });
  const auto start = std::chrono::steady_clock::now();
  port.SetTimerTrigger(timer, 4, true);  // 4 ticks: fires after 4 to 5 ticks plus a cycle
  ASSERT_TRUE(PumpUntil([&] { return !fired.empty(); }));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, 4 * 55ms);
  EXPECT_LT(elapsed, 5s) << "generous: the machine may be loaded";
  ASSERT_TRUE(test::PumpDispatchCycles(port, 8));  // more than its four ticks again
  EXPECT_EQ(fired, (std::vector<uint16_t>{timer}));
}

TEST_F(ComPortTriggerTest, ADataTriggerComesAfterTheBytesBeforeIt) {
  port.SetOpen(true);
  const uint16_t ok = port.AddDataTrigger("OK", false);
  std::vector<std::string> events;
  port.SetOnTriggerAvail([&](TApdCustomComPort* cp, uint16_t count) {
    std::string bytes(count, '\0');
    cp->GetBlock(bytes.data(), count);
    events.push_back("avail:" + bytes);
  });
  port.SetOnTriggerData(
      [&](TApdCustomComPort*, uint16_t h) { events.push_back(h == ok ? "data:OK" : "data:?"); });
  std::vector<uint16_t> generic;
  port.SetOnTrigger(
      [&](TApdCustomComPort*, uint16_t msg, uint16_t, uint16_t) { generic.push_back(msg); });
  Send("xxOK");
  ASSERT_TRUE(PumpUntil([&] { return events.size() >= 3; }));
  EXPECT_EQ(events, (std::vector<std::string>{"avail:xx", "data:OK", "avail:OK"}));
  EXPECT_EQ(generic, (std::vector<uint16_t>{0x7E01, 0x7E02, 0x7E01}));
}

TEST_F(ComPortTriggerTest, TriggersSurviveACloseAndAMoveToAnotherPort) {
  auto far2 = test::TSimPorts::Attach(port.PortMap(), 2);
  port.SetOpen(true);
  const uint16_t modem = port.AddStatusTrigger(stModem);
  port.SetStatusTrigger(modem, ms_DsrOn, true);
  port.SetTriggerLength(3);
  std::vector<uint16_t> status;
  port.SetOnTriggerStatus([&](TApdCustomComPort*, uint16_t h) { status.push_back(h); });

  port.SetOpen(false);
  port.SetOpen(true);
  port.SetComNumber(2);
  EXPECT_TRUE(port.Open());
  EXPECT_FALSE(far->PortOpen());
  EXPECT_TRUE(far2->PortOpen());
  EXPECT_EQ(port.TriggerLength(), 3);

  far2->SetDsr(false);  // still armed, same handle
  ASSERT_TRUE(PumpUntil([&] { return status.size() == 1; }));
  EXPECT_EQ(status[0], modem);
}

TEST_F(ComPortTriggerTest, AHandlerThatThrowsIsReportedAndDeliveryGoesOn) {
  std::vector<std::string> shown;
  SetPortExceptionDisplay([&](const std::exception& e) { shown.push_back(e.what()); });
  port.SetOpen(true);
  int calls = 0;
  port.SetOnTriggerAvail([&](TApdCustomComPort* cp, uint16_t count) {
    ++calls;
    char buffer[64];
    cp->GetBlock(buffer, static_cast<uint16_t>(count + 1));  // one more than there is
  });
  Send("ab");
  ASSERT_TRUE(PumpUntil([&] { return calls == 1 && shown.size() == 1; }));
  EXPECT_EQ(shown[0], "Buffer is empty");
  Send("c");
  ASSERT_TRUE(PumpUntil([&] { return calls == 2; }));
  SetPortExceptionDisplay(nullptr);
}

TEST_F(ComPortTriggerTest, AvailHandlersCanBeChained) {
  // As a status-light controller does: keep the previous handler, call it.
  port.SetOpen(true);
  std::vector<std::string> log;
  port.SetOnTriggerAvail([&](TApdCustomComPort*, uint16_t count) {
    log.push_back("loader:" + std::to_string(count));
  });
  TTriggerAvailEvent previous = port.OnTriggerAvail();
  port.SetOnTriggerAvail([&, previous](TApdCustomComPort* cp, uint16_t count) {
    log.push_back("lamp");
    if (previous) previous(cp, count);
  });
  Send("abc");
  ASSERT_TRUE(PumpUntil([&] { return log.size() == 2; }));
  EXPECT_EQ(log, (std::vector<std::string>{"lamp", "loader:3"}));
}

}  // namespace
}  // namespace kestrel
