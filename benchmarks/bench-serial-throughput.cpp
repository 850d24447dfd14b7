// Output throughput: 16 MiB queued with PutBlock and written by the output
// thread into a pseudo-terminal, against a plain write() loop into another
// pseudo-terminal, both read the same way on the master side.
//
// Prints "name: value" lines; the headline, throughput_ratio (ours / plain),
// comes last. --quick moves 1 MiB in 3 rounds.

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "BenchOptions.h"
#include "PtyPair.h"
#include "serial/AwuserPosix.h"

using namespace kestrel;
using Clock = std::chrono::steady_clock;

namespace {

size_t kTotal = 16u << 20;
constexpr int kChunk = 4096;       // plain write size
constexpr uint16_t kRing = 65535;  // output ring of the dispatcher
// How long the sender sleeps while the ring lacks room. Each look at the free
// space asks the driver for its counts, so a sender that looks too often
// steals the very CPU the output thread and the reader need.
constexpr int kPollMicros = 250;

// Reads kTotal bytes from the master side; returns the last byte read. Only
// counting keeps the reader cheap: the bytes themselves are checked by the
// tests.
uint8_t Drain(int fd) {
  std::vector<uint8_t> buf(1 << 16);
  size_t got = 0;
  uint8_t last = 0;
  while (got < kTotal) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0) {
      std::fprintf(stderr, "reader stalled at %zu bytes\n", got);
      std::exit(1);
    }
    ssize_t r = ::read(fd, buf.data(), buf.size());
    if (r <= 0) continue;
    got += static_cast<size_t>(r);
    last = buf[r - 1];
  }
  if (got != kTotal) std::fprintf(stderr, "read %zu bytes\n", got);
  return last;
}

std::vector<uint8_t> Data() {
  std::vector<uint8_t> v(kTotal);
  uint32_t x = 12345;
  for (auto& b : v) {
    x = x * 1103515245 + 12345;
    b = static_cast<uint8_t>(x >> 16);
  }
  return v;
}

double Plain(const std::vector<uint8_t>& data) {
  test::PtyPair pty;
  if (!pty.ok()) {
    std::perror("pty");
    std::exit(1);
  }
  int fd = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  termios t;
  ::tcgetattr(fd, &t);
  ::cfmakeraw(&t);
  ::tcsetattr(fd, TCSANOW, &t);
  uint8_t last = 0;
  auto start = Clock::now();
  std::thread reader([&] { last = Drain(pty.master()); });
  for (size_t sent = 0; sent < kTotal;) {
    ssize_t w = ::write(fd, data.data() + sent, std::min<size_t>(kChunk, kTotal - sent));
    if (w > 0) {
      sent += static_cast<size_t>(w);
    } else {
      pollfd p{fd, POLLOUT, 0};
      ::poll(&p, 1, 1000);
    }
  }
  reader.join();
  double secs = std::chrono::duration<double>(Clock::now() - start).count();
  ::close(fd);
  if (last != data.back()) std::fprintf(stderr, "plain: last byte differs\n");
  return kTotal / secs / 1e6;
}

double Dispatcher(const std::vector<uint8_t>& data) {
  test::PtyPair pty;
  if (!pty.ok()) {
    std::perror("pty");
    std::exit(1);
  }
  TApdPosixDispatcher port(nullptr);
  int rc = port.InitPort(pty.slavePath(), 115200, NOPARITY, 8, 1, 4096, kRing, 0);
  if (rc != 0) {
    std::fprintf(stderr, "InitPort: %d\n", rc);
    std::exit(1);
  }
  uint8_t last = 0;
  auto start = Clock::now();
  std::thread reader([&] { last = Drain(pty.master()); });
  for (size_t sent = 0; sent < kTotal;) {
    // Queue in large blocks: wait until a quarter of the ring is free.
    int n = static_cast<int>(std::min<size_t>(kRing / 4, kTotal - sent));
    int free = port.OutBuffFree();
    if (free < n) {
      std::this_thread::sleep_for(std::chrono::microseconds(kPollMicros));
      continue;
    }
    n = static_cast<int>(std::min<size_t>(free, kTotal - sent));
    if (port.PutBlock(data.data() + sent, n) == 0) sent += n;
  }
  reader.join();
  double secs = std::chrono::duration<double>(Clock::now() - start).count();
  if (last != data.back()) std::fprintf(stderr, "dispatcher: last byte differs\n");
  return kTotal / secs / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  const bool quick = bench::QuickRun(argc, argv);
  if (quick) kTotal = 1u << 20;
  auto data = Data();
  // Alternate the two so that a passing load on the machine hits both alike;
  // the headline is the median of the paired per-round ratios, which is far
  // steadier on a shared machine than a ratio of two separate medians.
  const int kRounds = quick ? 3 : 15;
  std::vector<double> plainRuns, ourRuns, ratios;
  for (int round = 0; round < kRounds; ++round) {
    const double plainRound = Plain(data);
    const double ourRound = Dispatcher(data);
    plainRuns.push_back(plainRound);
    ourRuns.push_back(ourRound);
    ratios.push_back(ourRound / plainRound);
  }
  std::sort(plainRuns.begin(), plainRuns.end());
  std::sort(ourRuns.begin(), ourRuns.end());
  std::sort(ratios.begin(), ratios.end());
  std::printf("rounds: %d\n", kRounds);
  std::printf("plain_write_mb_per_s: %.1f\n", plainRuns[kRounds / 2]);
  std::printf("dispatcher_mb_per_s: %.1f\n", ourRuns[kRounds / 2]);
  std::printf("throughput_ratio_min: %.2f\n", ratios.front());
  std::printf("throughput_ratio_max: %.2f\n", ratios.back());
  std::printf("throughput_ratio: %.2f\n", ratios[kRounds / 2]);
  return 0;
}
