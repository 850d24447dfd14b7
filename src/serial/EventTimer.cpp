#include "serial/EventTimer.h"

#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <limits>
#include <thread>

namespace kestrel {
namespace {

std::atomic<TMsClock> g_msClock{nullptr};
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

uint32_t AdTimeGetTime() {
  if (const TMsClock clock = g_msClock.load(std::memory_order_relaxed)) [[unlikely]]
    return clock();
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) * 1000u +
                               static_cast<uint64_t>(now.tv_nsec) / 1000000u);
}

int32_t AdTickCount() {
  return static_cast<int32_t>((AdTimeGetTime() & 0x7FFFFFFFu) / TickMs);
}

void NewTimer(EventTimer& timer, int32_t ticks) {
  ticks = std::clamp(ticks, 0, MaxTicks);
  timer.StartTicks = AdTickCount();
  timer.ExpireTicks = timer.StartTicks + ticks;
}

void NewTimerSecs(EventTimer& timer, int32_t seconds) {
  NewTimer(timer, Secs2Ticks(seconds));
}

bool TimerExpired(const EventTimer& timer) {
  const int32_t now = AdTickCount();
  if (now < timer.StartTicks) return timer.ExpireTicks < now + MaxTicks;
  return timer.ExpireTicks < now;
}

int32_t RemainingTime(const EventTimer& timer) {
  const int32_t now = AdTickCount();
  int32_t remaining = timer.ExpireTicks - now;
  if (now < timer.StartTicks) remaining -= MaxTicks;
  return std::max(remaining, 0);
}

int32_t RemainingTimeInSecs(const EventTimer& timer) {
  return Ticks2Secs(RemainingTime(timer));
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

bool DelayTicks(int32_t ticks, bool yield) {
  if (ticks <= 0) return true;
  EventTimer timer;
  NewTimer(timer, ticks);
  while (!TimerExpired(timer)) {
    if (yield) {
      const TYieldResult result = SafeYield();
      if (result == TYieldResult::Quit) return false;
      if (result == TYieldResult::Handled) continue;
    }
    std::this_thread::sleep_for(kIdlePoll);
  }
  return true;
}

void SetMsClockForTesting(TMsClock clock) {
  g_msClock.store(clock, std::memory_order_relaxed);
}

}  // namespace kestrel
