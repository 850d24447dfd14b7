// Longest pause of a two-way transfer under CPU load: the dispatcher on the
// slave side of a pseudo-terminal sends and receives 2 MiB each way at once,
// with a dispatch-thread handler taking every received byte and re-arming a
// status and a timer trigger, while two busy-looping processes compete for
// the CPUs. The far end is one poll() loop on the master side that writes
// and reads; a pause is the longest time either direction made no progress
// while it still had bytes to move. The same far end against a plain
// poll-read-write loop on the slave side gives the figure for comparison.
//
// Prints "name: value" lines; the headline, longest_pause_ms (the worst of
// all rounds, either direction), comes last. --quick moves 256 KiB each
// way in one round.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "BenchOptions.h"
#include "PtyPair.h"
#include "messages/AdErrorCodes.h"
#include "serial/AwuserPosix.h"

using namespace kestrel;
using Clock = std::chrono::steady_clock;

namespace {

size_t kEachWay = 2u << 20;
int kRounds = 4;
constexpr int kHogs = 2;
constexpr int kGiveUpMs = 20000;  // a round that stalls this long is reported as such

// Busy-looping child processes, ended by their ids.
class Hogs {
 public:
  explicit Hogs(int n) {
    for (int i = 0; i < n; ++i) {
      pid_t pid = ::fork();
      if (pid == 0) {
        volatile unsigned long x = 0;
        for (;;) x = x + 1;
      }
      if (pid > 0) pids_.push_back(pid);
    }
  }
  ~Hogs() {
    for (pid_t pid : pids_) ::kill(pid, SIGKILL);
    for (pid_t pid : pids_) ::waitpid(pid, nullptr, 0);
  }

 private:
  std::vector<pid_t> pids_;
};

// Progress of one direction: the longest gap between two steps.
struct Progress {
  Clock::time_point last = Clock::now();
  double longestMs = 0;
  void Step() {
    const auto now = Clock::now();
    longestMs = std::max(longestMs, std::chrono::duration<double, std::milli>(now - last).count());
    last = now;
  }
  double SinceLastMs() const {
    return std::chrono::duration<double, std::milli>(Clock::now() - last).count();
  }
};

struct Pauses {
  double toFar = 0;    // the port's output reaching the master side
  double fromFar = 0;  // the master side's output taken by the port side
};

// The far end: writes kEachWay bytes and reads kEachWay bytes on the master
// side in one poll loop, timing each direction's progress.
Pauses RunFarEnd(int master) {
  std::vector<uint8_t> out(4096, 'f'), in(65536);
  size_t sent = 0, got = 0;
  Progress writing, reading;
  while (sent < kEachWay || got < kEachWay) {
    pollfd p{master,
             static_cast<short>((got < kEachWay ? POLLIN : 0) | (sent < kEachWay ? POLLOUT : 0)),
             0};
    ::poll(&p, 1, 100);
    if (got < kEachWay) {
      const ssize_t r = ::read(master, in.data(), in.size());
      if (r > 0) {
        got += static_cast<size_t>(r);
        reading.Step();
      }
    }
    if (sent < kEachWay) {
      const ssize_t w = ::write(master, out.data(), std::min(out.size(), kEachWay - sent));
      if (w > 0) {
        sent += static_cast<size_t>(w);
        writing.Step();
      }
    }
    if ((got < kEachWay && reading.SinceLastMs() > kGiveUpMs) ||
        (sent < kEachWay && writing.SinceLastMs() > kGiveUpMs)) {
      std::fprintf(stderr, "stalled: sent %zu, received %zu\n", sent, got);
      return {std::max(reading.longestMs, reading.SinceLastMs()),
              std::max(writing.longestMs, writing.SinceLastMs())};
    }
  }
  return {reading.longestMs, writing.longestMs};
}

// One round through the dispatcher.
Pauses DispatcherRound() {
  test::PtyPair pty;
  if (!pty.ok()) {
    std::perror("pty");
    std::exit(1);
  }
  TApdPosixDispatcher port(nullptr);
  if (port.InitPort(pty.slavePath(), 115200, NOPARITY, 8, 1, 4096, 8192, 0) != 0) {
    std::fprintf(stderr, "cannot open %s\n", pty.slavePath().c_str());
    std::exit(1);
  }
  port.ChangeLengthTrigger(1);
  const int status = port.AddStatusTrigger(stOutBuffFree);
  const int timer = port.AddTimerTrigger();
  std::atomic<size_t> received{0};
  int owner = 0;
  std::vector<uint8_t> sink(8192);
  port.RegisterEventTriggerHandler(&owner, [&](uint32_t msg, uint32_t w, uint32_t) {
    if (msg == apw_TriggerAvail) {
      if (port.GetBlock(sink.data(), static_cast<int>(w)) > 0) received += w;
    } else if (msg == apw_TriggerStatus) {
      port.SetStatusTrigger(static_cast<uint16_t>(status), 2048, true);
    } else if (msg == apw_TriggerTimer) {
      port.SetTimerTrigger(static_cast<uint16_t>(timer), 1, true);
    }
  });
  port.SetStatusTrigger(static_cast<uint16_t>(status), 2048, true);
  port.SetTimerTrigger(static_cast<uint16_t>(timer), 1, true);

  std::thread sender([&] {
    std::vector<uint8_t> block(2000, 'p');
    for (size_t n = 0; n < kEachWay;) {
      const int k = static_cast<int>(std::min(block.size(), kEachWay - n));
      const int rc = port.PutBlock(block.data(), k);
      if (rc == 0)
        n += static_cast<size_t>(k);
      else if (rc == ecOutputBufferTooSmall)
        std::this_thread::sleep_for(std::chrono::microseconds(500));
      else
        break;
    }
  });
  const Pauses pauses = RunFarEnd(pty.master());
  sender.join();
  port.DeregisterEventTriggerHandler(&owner);
  return pauses;
}

// One round through a plain loop on the slave side.
Pauses PlainRound() {
  test::PtyPair pty;
  if (!pty.ok()) {
    std::perror("pty");
    std::exit(1);
  }
  const int fd = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  termios tio{};
  ::tcgetattr(fd, &tio);
  ::cfmakeraw(&tio);
  ::tcsetattr(fd, TCSANOW, &tio);
  std::atomic<bool> done{false};
  std::thread near([&] {
    std::vector<uint8_t> out(2000, 'p'), in(8192);
    size_t sent = 0;
    while (!done) {
      pollfd p{fd, static_cast<short>(POLLIN | (sent < kEachWay ? POLLOUT : 0)), 0};
      ::poll(&p, 1, 50);
      // What came is only drained; how much does not matter here.
      [[maybe_unused]] const ssize_t got = ::read(fd, in.data(), in.size());
      if (sent < kEachWay) {
        const ssize_t w = ::write(fd, out.data(), std::min(out.size(), kEachWay - sent));
        if (w > 0) sent += static_cast<size_t>(w);
      }
    }
  });
  const Pauses pauses = RunFarEnd(pty.master());
  done = true;
  near.join();
  ::close(fd);
  return pauses;
}

}  // namespace

int main(int argc, char** argv) {
  if (bench::QuickRun(argc, argv)) {
    kEachWay = 256u << 10;
    kRounds = 1;
  }
  Pauses ours, plain;
  {
    Hogs hogs(kHogs);
    for (int round = 0; round < kRounds; ++round) {
      const Pauses p = DispatcherRound();
      const Pauses q = PlainRound();
      ours.toFar = std::max(ours.toFar, p.toFar);
      ours.fromFar = std::max(ours.fromFar, p.fromFar);
      plain.toFar = std::max(plain.toFar, q.toFar);
      plain.fromFar = std::max(plain.fromFar, q.fromFar);
    }
  }
  std::printf("rounds: %d\n", kRounds);
  std::printf("cpu_hogs: %d\n", kHogs);
  std::printf("bytes_each_way: %zu\n", kEachWay);
  std::printf("plain_longest_pause_ms: %.1f\n", std::max(plain.toFar, plain.fromFar));
  std::printf("output_longest_pause_ms: %.1f\n", ours.toFar);
  std::printf("input_longest_pause_ms: %.1f\n", ours.fromFar);
  std::printf("longest_pause_ms: %.1f\n", std::max(ours.toFar, ours.fromFar));
  return 0;
}
