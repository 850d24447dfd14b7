#include "serial/EventTimer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>

namespace kestrel {
namespace {

// A millisecond clock the test moves by hand; every read may also advance it.
std::atomic<uint32_t> g_fakeMs{0};
std::atomic<uint32_t> g_stepPerRead{0};

class TFakeClock final : public TClock {
 public:
  int64_t now() override { return g_fakeMs.fetch_add(g_stepPerRead.load()); }
  bool wait_until(const std::function<bool()>& done, int64_t) override { return done(); }
  bool sleep(int64_t, const std::function<bool()>&) override { return true; }
  void rest(int64_t, uint64_t) override {}
};

constexpr uint32_t MsOfTick(int32_t tick) {
  return static_cast<uint32_t>(tick) * TickMs;
}

class FakeClockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_fakeMs = 0;
    g_stepPerRead = 0;
  }
  void TearDown() override { SetYieldHook(nullptr); }
  TFakeClock Clock;
  static void AtTick(int32_t tick) { g_fakeMs = MsOfTick(tick); }
};

TEST(EventTimerConversions, MatchTheTickArithmetic) {
  struct Row {
    int32_t In, Out;
  };
  for (const Row r : {Row{0, 0}, {1, 18}, {2, 36}, {10, 182}, {60, 1092}, {3600, 65543}})
    EXPECT_EQ(Secs2Ticks(r.In), r.Out) << r.In;
  for (const Row r : {Row{0, 0}, {9, 0}, {10, 1}, {18, 1}, {36, 2}, {182, 10}, {1092, 60}})
    EXPECT_EQ(Ticks2Secs(r.In), r.Out) << r.In;
  for (const Row r : {Row{0, 0}, {54, 0}, {55, 1}, {109, 1}, {110, 2}, {1000, 18}, {3600, 65}})
    EXPECT_EQ(MSecs2Ticks(r.In), r.Out) << r.In;
  // Large inputs do not overflow on the way.
  EXPECT_EQ(Secs2Ticks(2000000), 36413043);
  EXPECT_EQ(MSecs2Ticks(2000000000), 36413043);
}

TEST_F(FakeClockTest, TickCountWrapsAtTwoToTheThirtyOneMilliseconds) {
  g_fakeMs = 0x7FFFFFFFu;
  EXPECT_EQ(AdTickCount(Clock), MaxTicks);
  g_fakeMs = 0x80000000u;
  EXPECT_EQ(AdTickCount(Clock), 0);
  g_fakeMs = 0xFFFFFFFFu;
  EXPECT_EQ(AdTickCount(Clock), MaxTicks);
  g_fakeMs = 109;
  EXPECT_EQ(AdTickCount(Clock), 1);
}

TEST_F(FakeClockTest, TimerExpiresOnceMoreThanItsTicksHavePassed) {
  AtTick(100);
  EventTimer timer;
  NewTimer(timer, 10, Clock);
  EXPECT_EQ(timer.StartTicks, 100);
  EXPECT_EQ(timer.ExpireTicks, 110);
  EXPECT_EQ(RemainingTime(timer, Clock), 10);

  AtTick(110);
  EXPECT_FALSE(TimerExpired(timer, Clock));
  EXPECT_EQ(RemainingTime(timer, Clock), 0);
  AtTick(111);
  EXPECT_TRUE(TimerExpired(timer, Clock));
  AtTick(5000);
  EXPECT_TRUE(TimerExpired(timer, Clock));
  EXPECT_EQ(RemainingTime(timer, Clock), 0);  // never below 0
}

TEST_F(FakeClockTest, TimerAcrossTheWrap) {
  AtTick(MaxTicks - 7);
  EventTimer timer;
  NewTimer(timer, 20, Clock);
  EXPECT_EQ(timer.ExpireTicks, MaxTicks + 13);

  AtTick(MaxTicks);
  EXPECT_FALSE(TimerExpired(timer, Clock));
  EXPECT_EQ(RemainingTime(timer, Clock), 13);

  // The clock passes 2^31 ms: the tick count starts again at 0.
  g_fakeMs = 0x80000000u + MsOfTick(5);
  ASSERT_EQ(AdTickCount(Clock), 5);
  EXPECT_FALSE(TimerExpired(timer, Clock));
  EXPECT_EQ(RemainingTime(timer, Clock), 8);

  g_fakeMs = 0x80000000u + MsOfTick(13);
  EXPECT_FALSE(TimerExpired(timer, Clock));
  EXPECT_EQ(RemainingTime(timer, Clock), 0);
  g_fakeMs = 0x80000000u + MsOfTick(14);
  EXPECT_TRUE(TimerExpired(timer, Clock));
  EXPECT_EQ(RemainingTime(timer, Clock), 0);
}

TEST_F(FakeClockTest, TimerLengthIsCapped) {
  AtTick(1000);
  EventTimer timer;
  NewTimer(timer, 100000000, Clock);
  EXPECT_EQ(timer.ExpireTicks - timer.StartTicks, MaxTicks);
  NewTimerSecs(timer, 10, Clock);
  EXPECT_EQ(timer.ExpireTicks - timer.StartTicks, 182);
  EXPECT_EQ(RemainingTimeInSecs(timer, Clock), 10);
}

std::atomic<int> g_yields{0};
std::atomic<int> g_quitAfter{0};

TYieldResult CountingYield() {
  const int n = ++g_yields;
  g_fakeMs += 10;
  return g_quitAfter != 0 && n >= g_quitAfter ? TYieldResult::Quit : TYieldResult::Handled;
}

TEST_F(FakeClockTest, YieldingDelayRunsTheYieldStepUntilTheTimerExpires) {
  g_yields = 0;
  g_quitAfter = 0;
  SetYieldHook(&CountingYield);
  AtTick(200);
  EXPECT_TRUE(DelayTicks(3, true, Clock));
  // Expiry needs tick 204, i.e. 220 ms of 10-ms yield steps.
  EXPECT_EQ(g_yields, 22);
  EXPECT_EQ(AdTickCount(Clock), 204);
}

TEST_F(FakeClockTest, QuitEndsAYieldingDelayEarly) {
  g_yields = 0;
  g_quitAfter = 3;
  SetYieldHook(&CountingYield);
  AtTick(200);
  EXPECT_FALSE(DelayTicks(Secs2Ticks(3600), true, Clock));
  EXPECT_EQ(g_yields, 3);
}

TEST_F(FakeClockTest, DelayWithoutYieldNeverRunsTheYieldStep) {
  g_yields = 0;
  g_quitAfter = 1;
  SetYieldHook(&CountingYield);
  AtTick(300);
  g_stepPerRead = 5;
  EXPECT_TRUE(DelayTicks(2, false, Clock));
  EXPECT_EQ(g_yields, 0);
  EXPECT_GE(AdTickCount(Clock), 303);
  EXPECT_TRUE(DelayTicks(0, true, Clock));
  EXPECT_EQ(g_yields, 0);
}

TEST(SafeYield, DefaultStepHasNothingToDo) {
  SetYieldHook(nullptr);
  EXPECT_EQ(SafeYield(), TYieldResult::Idle);
}

TEST(EventTimerClock, RealClockMovesForward) {
  const uint32_t before = AdTimeGetTime();
  EXPECT_TRUE(DelayTicks(1, false));
  EXPECT_GE(AdTimeGetTime() - before, 55u);
}

}  // namespace
}  // namespace kestrel
