// The cost of an open port with nothing to do: process CPU time over 10 s as
// a percentage of one core, for a port on a pseudo-terminal (the termios
// device) and on the simulated cable; and the cost of a port whose device
// went away in the middle of an upload (the pseudo-terminal's other side
// closed), with the threads still running at that moment.
//
// Prints "name: value" lines; the headline, idle_cpu_percent (the
// pseudo-terminal port), comes last. --quick measures 1 s instead of 10.

#include <fcntl.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "BenchOptions.h"
#include "PtyPair.h"
#include "serial/AwuserPosix.h"
#include "serialdevice/AwSim.h"

using namespace kestrel;

namespace {

double CpuSeconds() {
  timespec ts;
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Percent of one core used by the process while `port` sits open and idle.
double IdlePercent(TApdPosixDispatcher& port, int seconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // settle after the open
  double cpu0 = CpuSeconds();
  auto wall0 = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  double cpu = CpuSeconds() - cpu0;
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
  return 100.0 * cpu / wall;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = bench::QuickRun(argc, argv) ? 1 : 10;

  auto pair = CreateSimDevice();
  double sim;
  {
    TApdPosixDispatcher port(nullptr);
    port.SetDevice(std::move(pair.port));
    if (port.InitPort("sim:", 38400, NOPARITY, 8, 1, 4096, 4096, ipAssertDTR | ipAssertRTS) != 0)
      return 1;
    port.ChangeLengthTrigger(1);
    sim = IdlePercent(port, seconds);
  }

  double pty;
  {
    test::PtyPair quiet;
    TApdPosixDispatcher port(nullptr);
    if (!quiet.ok() || port.InitPort(quiet.slavePath(), 38400, NOPARITY, 8, 1, 4096, 4096,
                                     ipAssertDTR | ipAssertRTS) != 0)
      return 1;
    port.ChangeLengthTrigger(1);
    pty = IdlePercent(port, seconds);
  }

  // Lost mid-upload: the other side reads a little and closes.
  test::PtyPair other;
  double lost;
  int threadsAfterLoss;
  {
    TApdPosixDispatcher port(nullptr);
    if (!other.ok() || port.InitPort(other.slavePath(), 38400, NOPARITY, 8, 1, 4096, 8192, 0) != 0)
      return 1;
    other.DropHolder();
    int master = other.master();
    port.ChangeLengthTrigger(1);
    std::vector<uint8_t> block(2000, 'u');
    std::vector<uint8_t> sink(65536);
    size_t drained = 0;
    while (!port.DeviceLost()) {
      if (port.PutBlock(block.data(), static_cast<int>(block.size())) != 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      if (master >= 0) {
        const ssize_t r = ::read(master, sink.data(), sink.size());
        if (r > 0) drained += static_cast<size_t>(r);
        if (drained > 100000) {
          other.CloseMaster();
          master = -1;
        }
      }
    }
    lost = IdlePercent(port, seconds);
    threadsAfterLoss = port.ActiveThreadCount();
  }

  std::printf("idle_seconds: %d\n", seconds);
  std::printf("lost_device_threads: %d\n", threadsAfterLoss);
  std::printf("lost_device_cpu_percent: %.3f\n", lost);
  std::printf("sim_idle_cpu_percent: %.3f\n", sim);
  std::printf("idle_cpu_percent: %.3f\n", pty);
  return 0;
}
