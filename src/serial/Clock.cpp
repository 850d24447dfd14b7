#include "serial/Clock.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace kestrel {

namespace {

// A wait with nothing to wake it looks again this often.
constexpr int64_t kPollMs = 1;

void nap(int64_t ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(std::clamp<int64_t>(ms, 0, kPollMs)));
}

}  // namespace

int64_t TSteadyClock::now() {
  timespec at{};
  clock_gettime(CLOCK_MONOTONIC, &at);
  return int64_t(at.tv_sec) * 1000 + at.tv_nsec / 1000000;
}

bool TSteadyClock::wait_until(const std::function<bool()>& done, int64_t deadline) {
  for (;;) {
    if (done()) return true;
    const int64_t left = deadline - now();
    if (left <= 0) return false;
    nap(left);
  }
}

bool TSteadyClock::sleep(int64_t ms, const std::function<bool()>& stop) {
  const int64_t due = now() + std::max<int64_t>(ms, 0);
  for (;;) {
    if (stop && stop()) return false;
    const int64_t left = due - now();
    if (left <= 0) return true;
    nap(left);
  }
}

void TSteadyClock::rest(int64_t deadline, uint64_t) {
  nap(deadline - now());
}

TClock& steady_clock() {
  // Stateless: one serves every thread.
  static TSteadyClock clock;
  return clock;
}

}  // namespace kestrel
