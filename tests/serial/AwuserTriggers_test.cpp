// Triggers and event delivery: the data-trigger matcher, handles, avail and
// data deliveries shared by several handlers, status and timer triggers,
// handler order and flags, suspending delivery, and closing from a handler.

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "AwuserTestUtil.h"
#include "messages/AdErrorCodes.h"

namespace kestrel {
namespace {

using namespace std::chrono_literals;
using test::PassDispatchCycles;
using test::TSimPort;
using test::WaitUntil;

// ---------------------------------------------------------------------------
// The matcher

std::vector<int> MatchPositions(const std::string& pattern, const std::string& input,
                                bool ignoreCase = false) {
  TDataTrigger t;
  t.Length = static_cast<uint16_t>(pattern.size());
  t.IgnoreCase = ignoreCase;
  for (size_t i = 0; i < pattern.size(); ++i)
    t.Text[i] = static_cast<uint8_t>(ignoreCase ? std::toupper(pattern[i]) : pattern[i]);
  std::vector<int> at;
  for (size_t i = 0; i < input.size(); ++i)
    if (MatchDataTrigger(t, static_cast<uint8_t>(input[i]))) at.push_back(static_cast<int>(i));
  return at;
}

TEST(DataTriggerMatcher, FollowsOverlappingPartialMatches) {
  struct Case {
    const char* pattern;
    const char* input;
    std::vector<int> at;
  };
  const Case cases[] = {
      {"aab", "aaab", {3}},  // a restart at every a would miss it
      {"OK", "xxOOKyy", {4}},
      {"aa", "aaaaa", {1, 2, 4}},  // a completing counter clears one
                                   // started by the same byte
      {"abab", "ababab", {3}},     // a match clears the other candidates
      {"abc", "ababcabc", {4, 7}},
      {"aaab", "aaaab", {4}},
      {"x", "xyx", {0, 2}},
      {"abc", "abd", {}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(MatchPositions(c.pattern, c.input), c.at) << c.pattern << " in " << c.input;
  EXPECT_EQ(MatchPositions("ok", "xOkoK", true), (std::vector<int>{2, 4}));
  EXPECT_EQ(MatchPositions("ok", "xOkoK", false), (std::vector<int>{}));
}

// ---------------------------------------------------------------------------
// Handles and result codes

TEST(TriggerHandles, AreMultiplesOfEightWithStatusTypeBelow) {
  TSimPort sim;
  ASSERT_EQ(sim.open, 0);
  auto& p = *sim.port;
  EXPECT_EQ(p.AddDataTrigger("OK", false), 8);
  EXPECT_EQ(p.AddTimerTrigger(), 16);
  EXPECT_EQ(p.AddStatusTrigger(stOutBuffFree), 24 | stOutBuffFree);
  EXPECT_EQ(TApdBaseDispatcher::ClassifyStatusTrigger(24 | stOutBuffFree), stOutBuffFree);
  EXPECT_EQ(p.AddDataTrigger(std::string(22, 'x').c_str(), false), ecTriggerTooLong);
  EXPECT_EQ(p.AddDataTrigger(std::string(21, 'x').c_str(), false), 32);
  EXPECT_EQ(p.AddStatusTrigger(6), ecBadArgument);

  EXPECT_EQ(p.SetTimerTrigger(24 | stOutBuffFree, 5, true), ecBadTriggerHandle);
  EXPECT_EQ(p.SetStatusTrigger(16, 5, true), ecBadTriggerHandle);
  int32_t left = -1;
  EXPECT_EQ(p.TimerTicksRemaining(8, left), ecBadTriggerHandle);
  EXPECT_EQ(p.ExtendTimer(99, 1), ecBadTriggerHandle);
  EXPECT_EQ(p.RemoveTrigger(0), ecBadTriggerHandle);
  EXPECT_EQ(p.RemoveTrigger(16), 0);
  EXPECT_EQ(p.RemoveTrigger(16), ecBadTriggerHandle);

  ASSERT_EQ(p.ChangeLengthTrigger(3), 0);
  EXPECT_EQ(p.RemoveTrigger(AvailTriggerHandle), 0);
  EXPECT_EQ(p.AvailThreshold(), 0);

  p.RemoveAllTriggers();
  EXPECT_EQ(p.AddTimerTrigger(), 8);  // the counter starts again
}

TEST(TriggerHandles, AfterTheCounterRunsOutFreeNumbersUpTo4096AreReused) {
  TSimPort sim;
  ASSERT_EQ(sim.open, 0);
  auto& p = *sim.port;
  for (int i = 1; i < 4096; ++i) {
    int h = p.AddTimerTrigger();
    ASSERT_EQ(h, i * 8);
    ASSERT_EQ(p.RemoveTrigger(static_cast<uint16_t>(h)), 0);
  }
  std::vector<int> handles;
  for (int h; (h = p.AddTimerTrigger()) > 0;) handles.push_back(h);
  EXPECT_EQ(p.AddTimerTrigger(), ecNoMoreTriggers);
  ASSERT_EQ(handles.size(), 512u);
  EXPECT_EQ(handles.front(), 8);
  EXPECT_EQ(handles.back(), 4096);
  ASSERT_EQ(p.RemoveTrigger(800), 0);
  EXPECT_EQ(p.AddStatusTrigger(stModem), 800 | stModem);
}

// ---------------------------------------------------------------------------
// Deliveries

struct TEvent {
  std::string who;
  uint32_t msg, wParam, lParam;
  std::string bytes;  // what the handler read
};

// A port on a simulated cable with handlers that record what they see.
struct Delivery : ::testing::Test {
  TSimPort sim;
  std::mutex mutex;
  std::vector<TEvent> events;

  void SetUp() override {
    ASSERT_EQ(sim.open, 0);
    ASSERT_EQ(sim.port->ChangeLengthTrigger(1), 0);
  }
  void Record(std::string who, uint32_t msg, uint32_t w, uint32_t l, std::string bytes = {}) {
    std::lock_guard<std::mutex> lock(mutex);
    events.push_back({std::move(who), msg, w, l, std::move(bytes)});
  }
  std::vector<TEvent> Events() {
    std::lock_guard<std::mutex> lock(mutex);
    return events;
  }
  size_t Count(uint32_t msg) {
    std::lock_guard<std::mutex> lock(mutex);
    return std::count_if(events.begin(), events.end(), [&](auto& e) { return e.msg == msg; });
  }
  // A handler that takes up to `take` bytes of every avail or data event.
  TApdNotifyEvent Taker(std::string who, int take) {
    return [this, who, take](uint32_t msg, uint32_t w, uint32_t l) {
      std::string got;
      if (msg == apw_TriggerAvail || msg == apw_TriggerData) {
        int n = std::min<int>(take, msg == apw_TriggerAvail ? w : l & 0xFFFF);
        got.resize(n);
        if (n > 0) {
          EXPECT_EQ(sim.port->GetBlock(got.data(), n), n);
        }
      }
      Record(who, msg, w, l, got);
    };
  }
  void Send(const std::string& s) { ASSERT_EQ(sim.far->SendFor(s, 10s), int(s.size())); }
};

TEST_F(Delivery, EveryHandlerOfOneAvailDeliveryReadsTheSameBytes) {
  int a = 0, b = 0;
  sim.port->RegisterEventTriggerHandler(&a, Taker("a", 5));
  sim.port->RegisterEventTriggerHandler(&b, Taker("b", 2));
  Send("hello");
  ASSERT_TRUE(WaitUntil([&] { return Count(apw_TriggerAvail) == 2; }));
  auto ev = Events();
  EXPECT_EQ(ev[0].who, "a");
  EXPECT_EQ(ev[0].wParam, 5u);
  EXPECT_EQ(ev[0].bytes, "hello");
  EXPECT_EQ(ev[1].bytes, "he");
  EXPECT_EQ(ev[1].lParam >> 16, uint32_t(sim.port->Handle()));
  EXPECT_EQ(sim.port->InBuffUsed(), 0);  // tail moved by the larger count
}

// A clock that skips idle time asks whether received bytes are still on
// their way to the window: those the first handler took are, while a later
// handler (the window's) has yet to have them.
TEST_F(Delivery, BytesOneHandlerTookAreHeldUntilTheDeliveryEnds) {
  int a = 0, b = 0;
  std::promise<void> reached, release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> first{true};
  sim.port->RegisterEventTriggerHandler(&a, Taker("a", 5));
  sim.port->RegisterEventTriggerHandler(&b, [&](uint32_t msg, uint32_t, uint32_t) {
    if (msg != apw_TriggerAvail || !first.exchange(false)) return;
    reached.set_value();
    released.wait_for(10s);
  });
  Send("hello");
  ASSERT_EQ(reached.get_future().wait_for(10s), std::future_status::ready);
  EXPECT_EQ(sim.port->InBuffUsed(), 0);  // another reader starts past "a"
  EXPECT_EQ(sim.port->InBuffHeld(), 5);
  release.set_value();
  EXPECT_TRUE(WaitUntil([&] { return sim.port->InBuffHeld() == 0; }));
}

TEST_F(Delivery, BytesNoHandlerTookAreOfferedAgainWithNewerOnes) {
  int a = 0;
  sim.port->RegisterEventTriggerHandler(&a, Taker("a", 2));
  Send("12345");
  ASSERT_TRUE(WaitUntil([&] { return Count(apw_TriggerAvail) == 1; }));
  EXPECT_EQ(sim.port->InBuffUsed(), 3);
  ASSERT_TRUE(PassDispatchCycles(*sim.port));  // no new arrival, no event
  EXPECT_EQ(Count(apw_TriggerAvail), 1u);

  Send("6789");
  ASSERT_TRUE(WaitUntil([&] { return Count(apw_TriggerAvail) == 2; }));
  auto ev = Events();
  EXPECT_EQ(ev[1].wParam, 7u);
  EXPECT_EQ(ev[1].bytes, "34");
  EXPECT_EQ(sim.port->InBuffUsed(), 5);
}

TEST_F(Delivery, DataTriggerComesAfterAnAvailForTheBytesBeforeIt) {
  int a = 0;
  sim.port->RegisterEventTriggerHandler(&a, Taker("a", 100));
  int ok = sim.port->AddDataTrigger("OK", false);
  ASSERT_GT(ok, 0);
  Send("xxOK");
  ASSERT_TRUE(WaitUntil([&] { return Count(apw_TriggerData) == 1; }));
  auto ev = Events();
  ASSERT_GE(ev.size(), 2u);
  EXPECT_EQ(ev[0].msg, apw_TriggerAvail);
  EXPECT_EQ(ev[0].wParam, 2u);
  EXPECT_EQ(ev[0].bytes, "xx");
  EXPECT_EQ(ev[1].msg, apw_TriggerData);
  EXPECT_EQ(ev[1].wParam, uint32_t(ok));
  EXPECT_EQ(ev[1].lParam & 0xFFFF, 2u);
  EXPECT_EQ(ev[1].bytes, "OK");
}

TEST_F(Delivery, OverlappingDataTriggerMatchesAreFound) {
  int a = 0;
  sim.port->RegisterEventTriggerHandler(&a, Taker("a", 0));
  ASSERT_EQ(sim.port->ChangeLengthTrigger(0), 0);
  int aab = sim.port->AddDataTrigger("aab", false);
  int ab = sim.port->AddDataTrigger("AB", true);
  Send("aaab-xaab");
  ASSERT_TRUE(WaitUntil([&] { return Count(apw_TriggerData) == 4; }));
  ASSERT_TRUE(PassDispatchCycles(*sim.port));
  auto ev = Events();
  ASSERT_EQ(ev.size(), 4u);
  // Both end at the same byte: the later-added trigger is delivered first.
  EXPECT_EQ(ev[0].wParam, uint32_t(ab));
  EXPECT_EQ(ev[1].wParam, uint32_t(aab));
  EXPECT_EQ(ev[2].wParam, uint32_t(ab));
  EXPECT_EQ(ev[3].wParam, uint32_t(aab));
}

TEST_F(Delivery, StatusTriggersFireOnceUntilRearmed) {
  int a = 0;
  sim.port->RegisterEventTriggerHandler(&a, Taker("a", 0));
  auto& p = *sim.port;
  int modem = p.AddStatusTrigger(stModem);
  int line = p.AddStatusTrigger(stLine);
  int free = p.AddStatusTrigger(stOutBuffFree);
  int sent = p.AddStatusTrigger(stOutSent);
  ASSERT_EQ(p.SetStatusTrigger(modem, ms_CtsOn, true), 0);
  ASSERT_EQ(p.SetStatusTrigger(line, lsParity, true), 0);
  ASSERT_EQ(p.SetStatusTrigger(free, 100, true), 0);
  ASSERT_EQ(p.SetStatusTrigger(sent, 0, true), 0);
  auto fired = [&](int handle) {
    auto ev = Events();
    return std::count_if(ev.begin(), ev.end(), [&](auto& e) {
      return e.msg == apw_TriggerStatus && e.wParam == uint32_t(handle);
    });
  };

  ASSERT_TRUE(WaitUntil([&] { return fired(free) == 1; }));
  EXPECT_EQ(Events().back().lParam & 0xFFFF, 4096u);  // the free count
  sim.far->SetCts(false);
  ASSERT_TRUE(WaitUntil([&] { return fired(modem) == 1; }));
  sim.far->InjectErrors(ce_RxParity);
  ASSERT_TRUE(WaitUntil([&] { return fired(line) == 1; }));
  ASSERT_EQ(p.PutString("x"), 0);
  ASSERT_TRUE(WaitUntil([&] { return fired(sent) == 1; }));

  // Conditions still (or again) met, but nothing is armed.
  sim.far->SetCts(true);
  sim.far->InjectErrors(ce_RxParity);
  ASSERT_EQ(p.PutString("y"), 0);
  ASSERT_TRUE(WaitUntil([&] { return p.CheckCTS() && sim.far->Available() == 2; }));
  ASSERT_TRUE(PassDispatchCycles(p));
  EXPECT_EQ(fired(free), 1);
  EXPECT_EQ(fired(modem), 1);
  EXPECT_EQ(fired(line), 1);
  EXPECT_EQ(fired(sent), 1);

  ASSERT_EQ(p.SetStatusTrigger(free, 100, true), 0);
  ASSERT_EQ(p.SetStatusTrigger(modem, ms_CtsOn, true), 0);
  ASSERT_TRUE(WaitUntil([&] { return fired(free) == 2; }));
  sim.far->SetCts(false);
  ASSERT_TRUE(WaitUntil([&] { return fired(modem) == 2; }));
}

// An idle port sleeps until a trigger is due: triggers armed while a
// delivery runs are looked at once it has ended.
TEST_F(Delivery, TriggersArmedDuringADeliveryFireAfterIt) {
  std::atomic<bool> inHandler{false}, release{false};
  int a = 0;
  sim.port->RegisterEventTriggerHandler(&a, [&](uint32_t m, uint32_t w, uint32_t l) {
    Record("a", m, w, l);
    if (m != apw_TriggerAvail) return;
    inHandler = true;
    WaitUntil([&] { return release.load(); });
  });
  const int timer = sim.port->AddTimerTrigger();
  const int sent = sim.port->AddStatusTrigger(stOutSent);
  Send("a");
  ASSERT_TRUE(WaitUntil([&] { return inHandler.load(); }));
  ASSERT_EQ(sim.port->SetTimerTrigger(timer, 1, true), 0);
  ASSERT_EQ(sim.port->SetStatusTrigger(sent, 0, true), 0);
  ASSERT_EQ(sim.port->PutString("x"), 0);
  release = true;
  EXPECT_TRUE(WaitUntil([&] { return Count(apw_TriggerTimer) == 1; }));
  EXPECT_TRUE(WaitUntil([&] { return Count(apw_TriggerStatus) == 1; }));
}

TEST_F(Delivery, TimerTriggersFireOnceWhenDue) {
  int a = 0;
  sim.port->RegisterEventTriggerHandler(&a, Taker("a", 0));
  int t1 = sim.port->AddTimerTrigger();
  int t2 = sim.port->AddTimerTrigger();
  ASSERT_EQ(sim.port->SetTimerTrigger(t1, 2, true), 0);
  ASSERT_EQ(sim.port->SetTimerTrigger(t2, 1000, true), 0);
  int32_t left = 0;
  ASSERT_EQ(sim.port->TimerTicksRemaining(t2, left), 0);
  EXPECT_GT(left, 900);
  ASSERT_EQ(sim.port->ExtendTimer(t2, 100), 0);
  ASSERT_EQ(sim.port->TimerTicksRemaining(t2, left), 0);
  EXPECT_GT(left, 1000);

  ASSERT_TRUE(WaitUntil([&] { return Count(apw_TriggerTimer) == 1; }));
  EXPECT_EQ(Events()[0].wParam, uint32_t(t1));
  std::this_thread::sleep_for(3 * TickMs * 1ms);  // more than its two ticks again
  ASSERT_TRUE(PassDispatchCycles(*sim.port));
  EXPECT_EQ(Count(apw_TriggerTimer), 1u);
  ASSERT_EQ(sim.port->TimerTicksRemaining(t1, left), 0);
  EXPECT_EQ(left, 0);
  // Re-armed with the ticks it had.
  ASSERT_EQ(sim.port->SetTimerTrigger(t1, 0, true), 0);
  ASSERT_TRUE(WaitUntil([&] { return Count(apw_TriggerTimer) == 2; }));
}

// A window handler that the test's "window thread" is simulated by: it
// handles the message at once.
struct TRecordingWindow : TApdWindowHandler {
  std::function<void(uint32_t, uint32_t, uint32_t)> onMessage;
  void DeliverTriggerMessage(uint32_t m, uint32_t w, uint32_t l) override { onMessage(m, w, l); }
};

std::vector<std::string> gProcCalls;
void RecordingProc(uint32_t msg, uint32_t, uint32_t) {
  if (msg == apw_TriggerAvail) gProcCalls.push_back("proc");
}

TEST_F(Delivery, HandlersAreCalledEventsThenProceduresThenWindows) {
  gProcCalls.clear();
  TRecordingWindow window;
  window.onMessage = [&](uint32_t m, uint32_t w, uint32_t l) { Record("window", m, w, l); };
  sim.port->RegisterWndTriggerHandler(&window);
  sim.port->UpdateHandlerFlags(fuDisablePort);
  // A lone window handler counts only when the component wants events.
  Send("1");
  ASSERT_TRUE(WaitUntil([&] { return sim.port->InBuffUsed() == 1; }));
  ASSERT_TRUE(PassDispatchCycles(*sim.port));
  EXPECT_EQ(Count(apw_TriggerAvail), 0u);
  EXPECT_EQ(sim.port->InBuffUsed(), 1);

  sim.port->UpdateHandlerFlags(fuEnablePort);
  sim.port->RegisterProcTriggerHandler(RecordingProc);
  int e = 0;
  sim.port->RegisterEventTriggerHandler(&e, [&](uint32_t m, uint32_t w, uint32_t l) {
    Record("event", m, w, l, std::to_string(gProcCalls.size()));
  });
  Send("2");
  ASSERT_TRUE(WaitUntil([&] { return Count(apw_TriggerAvail) == 2; }));
  auto ev = Events();
  EXPECT_EQ(ev[0].who, "event");
  EXPECT_EQ(ev[0].bytes, "0");  // before the procedure
  EXPECT_EQ(ev[0].wParam, 2u);  // both bytes offered
  EXPECT_EQ(ev[1].who, "window");
  EXPECT_EQ(gProcCalls.size(), 1u);
  sim.port->DeregisterProcTriggerHandler(RecordingProc);
}

TEST_F(Delivery, AHandlerMayDeregisterAnotherDuringTheDelivery) {
  int a = 0, b = 0;
  sim.port->RegisterEventTriggerHandler(&a, [&](uint32_t m, uint32_t w, uint32_t l) {
    Record("a", m, w, l);
    sim.port->DeregisterEventTriggerHandler(&b);
  });
  sim.port->RegisterEventTriggerHandler(&b, Taker("b", 0));
  Send("x");
  ASSERT_TRUE(WaitUntil([&] { return Count(apw_TriggerAvail) == 1; }));
  Send("y");
  ASSERT_TRUE(WaitUntil([&] { return Count(apw_TriggerAvail) == 2; }));
  for (auto& e : Events()) EXPECT_EQ(e.who, "a");
}

TEST_F(Delivery, SuspendedDeliveryResumesWithOneEventForEverything) {
  int a = 0;
  sim.port->RegisterEventTriggerHandler(&a, Taker("a", 0));
  bool was = true;
  sim.port->SetEventBusy(was, true);
  EXPECT_FALSE(was);
  Send("abc");
  ASSERT_TRUE(WaitUntil([&] { return sim.port->InBuffUsed() == 3; }));
  Send("de");
  ASSERT_TRUE(WaitUntil([&] { return sim.port->InBuffUsed() == 5; }));
  ASSERT_TRUE(PassDispatchCycles(*sim.port));
  EXPECT_EQ(Count(apw_TriggerAvail), 0u);
  sim.port->SetEventBusy(was, false);
  EXPECT_TRUE(was);
  ASSERT_TRUE(WaitUntil([&] { return Count(apw_TriggerAvail) == 1; }));
  EXPECT_EQ(Events()[0].wParam, 5u);
}

TEST_F(Delivery, ASuspensionMadeDuringADeliveryOutlastsIt) {
  std::atomic<bool> inHandler{false}, release{false};
  int a = 0;
  sim.port->RegisterEventTriggerHandler(&a, [&](uint32_t m, uint32_t w, uint32_t l) {
    Record("a", m, w, l);
    inHandler = true;
    WaitUntil([&] { return release.load(); });
  });
  Send("abc");
  ASSERT_TRUE(WaitUntil([&] { return inHandler.load(); }));
  bool was = true;
  sim.port->SetEventBusy(was, true);
  EXPECT_FALSE(was) << "a running delivery is not the caller's suspension";
  release = true;

  // The next cycle takes these in only after the delivery has ended.
  Send("de");
  ASSERT_TRUE(WaitUntil([&] { return sim.port->InBuffUsed() == 5; }));
  ASSERT_TRUE(PassDispatchCycles(*sim.port));
  EXPECT_EQ(Count(apw_TriggerAvail), 1u) << "delivery resumed at the end of the first";
  EXPECT_TRUE(sim.port->EventBusy());
  sim.port->SetEventBusy(was, false);
  EXPECT_TRUE(was);
  ASSERT_TRUE(WaitUntil([&] { return Count(apw_TriggerAvail) == 2; }));
  EXPECT_EQ(Events()[1].wParam, 5u);
}

TEST_F(Delivery, ClosingFromInsideAnAvailHandlerIsFinishedByTheDispatchThread) {
  int a = 0, b = 0;
  std::atomic<int> closeResult{-1};
  std::atomic<bool> threadsActiveInHandler{false};
  sim.port->RegisterEventTriggerHandler(&a, [&](uint32_t m, uint32_t w, uint32_t l) {
    Record("a", m, w, l);
    closeResult = sim.port->DonePort();
    threadsActiveInHandler = sim.port->ThreadsActive();
  });
  sim.port->RegisterEventTriggerHandler(&b, Taker("b", 0));
  Send("bye");
  ASSERT_TRUE(WaitUntil([&] { return !sim.port->ThreadsActive(); }));
  EXPECT_EQ(closeResult, 0);
  EXPECT_TRUE(threadsActiveInHandler);  // the close returned at once
  EXPECT_TRUE(sim.port->ClosePending());
  EXPECT_EQ(sim.port->ActiveThreadCount(), 0);
  EXPECT_FALSE(sim.far->PortOpen());
  auto ev = Events();
  ASSERT_EQ(ev.size(), 1u);  // the rest of the delivery was dropped
  EXPECT_EQ(ev[0].who, "a");
  sim.port.reset();
}

TEST_F(Delivery, AFullBufferWhoseHeadCameRoundIsStillOfferedAndScanned) {
  int a = 0;
  sim.port->RegisterEventTriggerHandler(&a, Taker("a", 8192));
  Send(std::string(100, '.'));
  ASSERT_TRUE(WaitUntil([&] { return Count(apw_TriggerAvail) == 1; }));
  ASSERT_EQ(sim.port->InBuffUsed(), 0);

  // Exactly one buffer's worth arrives while delivery is suspended: the head
  // ends where it was at the last offer.
  int end = sim.port->AddDataTrigger("END", false);
  bool was;
  sim.port->SetEventBusy(was, true);
  Send(std::string(8192 - 3, '-').append("END"));
  ASSERT_TRUE(WaitUntil([&] { return sim.port->InBuffUsed() == 8192; }));
  sim.port->SetEventBusy(was, false);
  ASSERT_TRUE(WaitUntil([&] { return Count(apw_TriggerData) == 1; }));
  auto ev = Events();
  ASSERT_EQ(ev.size(), 3u);
  EXPECT_EQ(ev[1].msg, apw_TriggerAvail);
  EXPECT_EQ(ev[1].wParam, 8192u - 3);
  EXPECT_EQ(ev[2].wParam, uint32_t(end));
  EXPECT_EQ(ev[2].bytes, "END");
  EXPECT_EQ(sim.port->InBuffUsed(), 0);
}

TEST_F(Delivery, FlushedBytesNeverMatchADataTrigger) {
  int a = 0;
  sim.port->RegisterEventTriggerHandler(&a, Taker("a", 0));
  sim.port->AddDataTrigger("OK", false);
  bool was;
  sim.port->SetEventBusy(was, true);
  Send("xO");
  ASSERT_TRUE(WaitUntil([&] { return sim.port->InBuffUsed() == 2; }));
  sim.port->FlushInBuffer();
  sim.port->SetEventBusy(was, false);
  Send("K");  // would complete "OK" if the flushed O still counted
  ASSERT_TRUE(WaitUntil([&] { return Count(apw_TriggerAvail) == 1; }));
  ASSERT_TRUE(PassDispatchCycles(*sim.port));
  EXPECT_EQ(Count(apw_TriggerData), 0u);
  EXPECT_EQ(Events()[0].wParam, 1u);
}

TEST_F(Delivery, APartialMatchNeverSpansBytesReadMeanwhile) {
  int a = 0;
  sim.port->RegisterEventTriggerHandler(&a, Taker("a", 0));
  sim.port->AddDataTrigger("OK", false);
  Send("O");
  ASSERT_TRUE(WaitUntil([&] { return Count(apw_TriggerAvail) == 1; }));  // O was scanned
  bool was;
  sim.port->SetEventBusy(was, true);
  Send("abc");
  ASSERT_TRUE(WaitUntil([&] { return sim.port->InBuffUsed() == 4; }));
  char taken[4];
  ASSERT_EQ(sim.port->GetBlock(taken, 4), 4);
  sim.port->SetEventBusy(was, false);
  Send("K");  // the stream was O a b c K: no OK in it
  ASSERT_TRUE(WaitUntil([&] { return Count(apw_TriggerAvail) == 2; }));
  ASSERT_TRUE(PassDispatchCycles(*sim.port));
  EXPECT_EQ(Count(apw_TriggerData), 0u);
  Send("OK");
  EXPECT_TRUE(WaitUntil([&] { return Count(apw_TriggerData) == 1; }));
}

// After an idle spell the device-wait thread finds the dispatch thread's go-on
// signal already given, so a byte right behind a line change can come in
// before the dispatch thread has looked at the change.
TEST_F(Delivery, EveryModemChangeReachesItsTriggerWithAByteRightBehind) {
  auto& p = *sim.port;
  const int dcd = p.AddStatusTrigger(stModem);
  std::atomic<int> fired{0};
  int a = 0;
  p.RegisterEventTriggerHandler(&a, [&](uint32_t msg, uint32_t w, uint32_t) {
    if (msg != apw_TriggerStatus || w != uint32_t(dcd)) return;
    ++fired;
    p.SetStatusTrigger(dcd, ms_RlsdOn, true);
  });
  ASSERT_EQ(p.SetStatusTrigger(dcd, ms_RlsdOn, true), 0);
  constexpr int kChanges = 40;
  for (int i = 0; i < kChanges; ++i) {
    // The last change was handled and its trigger armed again, then a whole
    // cycle went by idle.
    ASSERT_TRUE(WaitUntil([&] { return fired == i; }, 2s)) << "change " << i << " was lost";
    ASSERT_TRUE(PassDispatchCycles(p, 1));
    sim.far->SetDcd(i % 2 == 1);
    sim.far->Send(reinterpret_cast<const uint8_t*>("x"), 1);
  }
  WaitUntil([&] { return fired == kChanges; }, 2s);
  EXPECT_EQ(fired.load(), kChanges);
  EXPECT_EQ(p.CheckDCD(), kChanges % 2 == 0);
}

TEST_F(Delivery, AStatusTriggerSavedDuringItsOwnDeliveryFiresAgainAfterARestore) {
  auto& p = *sim.port;
  const int free = p.AddStatusTrigger(stOutBuffFree);
  TTriggerSave saved;
  std::atomic<int> fired{0};
  int a = 0;
  p.RegisterEventTriggerHandler(&a, [&](uint32_t msg, uint32_t w, uint32_t) {
    if (msg != apw_TriggerStatus || w != uint32_t(free)) return;
    if (fired == 0) p.SaveTriggers(saved);  // as a close from this handler would
    ++fired;
  });
  ASSERT_EQ(p.SetStatusTrigger(free, 100, true), 0);
  ASSERT_TRUE(WaitUntil([&] { return fired == 1; }));
  p.RestoreTriggers(saved);
  ASSERT_EQ(p.SetStatusTrigger(free, 100, true), 0);
  EXPECT_TRUE(WaitUntil([&] { return fired == 2; }, 2s));
}

TEST_F(Delivery, AHandlerThatThrowsDoesNotStopTheOthers) {
  int a = 0, b = 0;
  sim.port->RegisterEventTriggerHandler(
      &a, [](uint32_t, uint32_t, uint32_t) { throw std::runtime_error("handler failed"); });
  sim.port->RegisterEventTriggerHandler(&b, Taker("b", 100));
  Send("one");
  ASSERT_TRUE(WaitUntil([&] { return Count(apw_TriggerAvail) == 1; }));
  Send("two");
  ASSERT_TRUE(WaitUntil([&] { return Count(apw_TriggerAvail) == 2; }));
  EXPECT_EQ(Events()[1].bytes, "two");
  EXPECT_EQ(sim.port->ActiveThreadCount(), 3);
}

TEST(TriggerSave, TriggersCarryOverToAReopenedPort) {
  TTriggerSave saved;
  int handle;
  {
    TSimPort first;
    ASSERT_EQ(first.open, 0);
    ASSERT_EQ(first.port->ChangeLengthTrigger(4), 0);
    handle = first.port->AddStatusTrigger(stOutBuffFree);
    first.port->AddDataTrigger("OK", false);
    ASSERT_EQ(first.port->SetStatusTrigger(handle, 10, true), 0);
    first.port->SaveTriggers(saved);
  }
  TSimPort second;
  ASSERT_EQ(second.open, 0);
  second.port->RestoreTriggers(saved);
  EXPECT_EQ(second.port->AvailThreshold(), 4);
  std::atomic<int> fired{0};
  int owner = 0;
  second.port->RegisterEventTriggerHandler(&owner, [&](uint32_t m, uint32_t w, uint32_t) {
    if (m == apw_TriggerStatus && w == uint32_t(handle)) ++fired;
  });
  ASSERT_TRUE(WaitUntil([&] { return fired == 1; }));
  EXPECT_EQ(second.port->SetStatusTrigger(handle, 10, true), 0);
  // New triggers never take a restored trigger's number.
  EXPECT_EQ(handle, 8 | stOutBuffFree);
  EXPECT_EQ(second.port->AddTimerTrigger(), 24);
}

}  // namespace
}  // namespace kestrel
