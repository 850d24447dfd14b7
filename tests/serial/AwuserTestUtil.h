#pragma once
// Helpers for the dispatcher tests: pseudo-terminal pairs, a simulated cable
// with an open dispatcher on it, and waiting for a condition.

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "AwSim.h"
#include "AwuserPosix.h"

namespace kestrel::test {

// Polls `cond` until it holds or `limit` has passed (a safety net for a
// loaded machine, never a measurement).
inline bool WaitUntil(const std::function<bool()>& cond,
                      std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!cond()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// The master side of a pseudo-terminal; the dispatcher opens SlavePath().
class TPtyPair {
 public:
  TPtyPair() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0) return;
    if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
    char name[128];
    if (::ptsname_r(master_, name, sizeof name) == 0) slave_ = name;
  }
  ~TPtyPair() {
    if (master_ >= 0) ::close(master_);
  }
  TPtyPair(const TPtyPair&) = delete;
  TPtyPair& operator=(const TPtyPair&) = delete;

  bool Ok() const { return master_ >= 0 && !slave_.empty(); }
  int Master() const { return master_; }
  const std::string& SlavePath() const { return slave_; }

  void WriteAll(const uint8_t* data, size_t n) {
    while (n > 0) {
      ssize_t w = ::write(master_, data, n);
      if (w > 0) {
        data += w;
        n -= static_cast<size_t>(w);
      } else {
        pollfd p{master_, POLLOUT, 0};
        ::poll(&p, 1, 100);
      }
    }
  }
  // Reads what is there within `ms` (at most n bytes).
  size_t ReadSome(uint8_t* buffer, size_t n, int ms) {
    pollfd p{master_, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) return 0;
    ssize_t r = ::read(master_, buffer, n);
    return r > 0 ? static_cast<size_t>(r) : 0;
  }

 private:
  int master_ = -1;
  std::string slave_;
};

// A dispatcher opened on a simulated cable whose far end the test holds.
struct TSimPort {
  std::shared_ptr<TApdSimFarEnd> far;
  std::unique_ptr<TApdPosixDispatcher> port;
  int open = -1;  // InitPort's result

  explicit TSimPort(const TSimOptions& options = {}, uint16_t outSize = 4096,
                    uint32_t initOptions = ipAssertDTR | ipAssertRTS, int32_t baud = 115200) {
    auto pair = CreateSimDevice(options);
    far = pair.far;
    port = std::make_unique<TApdPosixDispatcher>(nullptr);
    port->SetDevice(std::move(pair.port));
    open = port->InitPort("sim:", baud, NOPARITY, 8, 1, 4096, outSize, initOptions);
  }
};

// A deterministic byte pattern.
inline std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& b : v) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x);
  }
  return v;
}

}  // namespace kestrel::test
