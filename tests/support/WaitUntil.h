#pragma once
// Waiting for a condition another thread brings about.

#include <chrono>
#include <functional>
#include <thread>

namespace kestrel::test {

// Polls `cond` until it holds or `limit` has passed (a safety net for a
// loaded machine, never a measurement).
inline bool WaitUntil(const std::function<bool()>& cond,
                      std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!cond()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace kestrel::test
