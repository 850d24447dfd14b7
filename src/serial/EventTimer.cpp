#include "serial/EventTimer.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <limits>
#include <thread>

namespace kestrel {
namespace {

std::atomic<TYieldHook> g_yieldHook{nullptr};

// A poll that found nothing to do sleeps this long before looking again.
constexpr std::chrono::milliseconds kIdlePoll{2};

int32_t ClampToInt32(int64_t value) {
  return static_cast<int32_t>(std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(),
                                                  std::numeric_limits<int32_t>::max()));
}

TYieldResult SleepingYield() {
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return TYieldResult::Idle;
}

}  // namespace

uint32_t AdTimeGetTime(TClock& clock) {
  return static_cast<uint32_t>(static_cast<uint64_t>(clock.now()));
}

int32_t AdTickCount(TClock& clock) {
  return static_cast<int32_t>((AdTimeGetTime(clock) & 0x7FFFFFFFu) / TickMs);
}

void NewTimer(EventTimer& timer, int32_t ticks, TClock& clock) {
  ticks = std::clamp(ticks, 0, MaxTicks);
  timer.StartTicks = AdTickCount(clock);
  timer.ExpireTicks = timer.StartTicks + ticks;
}

void NewTimerSecs(EventTimer& timer, int32_t seconds, TClock& clock) {
  NewTimer(timer, Secs2Ticks(seconds), clock);
}

bool TimerExpired(const EventTimer& timer, TClock& clock) {
  const int32_t now = AdTickCount(clock);
  if (now < timer.StartTicks) return timer.ExpireTicks < now + MaxTicks;
  return timer.ExpireTicks < now;
}

int32_t RemainingTime(const EventTimer& timer, TClock& clock) {
  const int32_t now = AdTickCount(clock);
  int32_t remaining = timer.ExpireTicks - now;
  if (now < timer.StartTicks) remaining -= MaxTicks;
  return std::max(remaining, 0);
}

int32_t RemainingTimeInSecs(const EventTimer& timer, TClock& clock) {
  return Ticks2Secs(RemainingTime(timer, clock));
}

int32_t Secs2Ticks(int32_t seconds) {
  return ClampToInt32(int64_t{seconds} * 1675 / 92);
}

int32_t Ticks2Secs(int32_t ticks) {
  return ClampToInt32((int64_t{ticks} + 9) * 92 / 1675);
}

int32_t MSecs2Ticks(int32_t milliseconds) {
  return ClampToInt32(int64_t{milliseconds} * 1675 / 92000);
}

void SetYieldHook(TYieldHook hook) {
  g_yieldHook.store(hook, std::memory_order_release);
}

TYieldResult SafeYield() {
  const TYieldHook hook = g_yieldHook.load(std::memory_order_acquire);
  return hook != nullptr ? hook() : SleepingYield();
}

bool DelayTicks(int32_t ticks, bool yield, TClock& clock) {
  if (ticks <= 0) return true;
  EventTimer timer;
  NewTimer(timer, ticks, clock);
  while (!TimerExpired(timer, clock)) {
    if (yield) {
      const TYieldResult result = SafeYield();
      if (result == TYieldResult::Quit) return false;
      if (result == TYieldResult::Handled) continue;
    }
    std::this_thread::sleep_for(kIdlePoll);
  }
  return true;
}

}  // namespace kestrel
