// What a WaitForString costs: the CPU it uses while nothing arrives, and how
// soon it returns once the awaited byte has been written at the far end of a
// simulated port. Prints "name: value" lines, the headline last.
//
//   bench-wait [idle seconds, default 10] [latency rounds, default 300]
//   bench-wait --quick   1 s idle, 30 rounds

#include <stdlib.h>
#include <sys/resource.h>
#include <time.h>

#include <QCoreApplication>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "BenchOptions.h"
#include "serial/EventTimer.h"
#include "serial/qt/Adport.h"
#include "serial/qt/QtYield.h"
#include "serialdevice/AwPortPath.h"
#include "serialdevice/AwSim.h"

using namespace kestrel;
using Clock = std::chrono::steady_clock;

namespace {

std::shared_ptr<TApdSimFarEnd> g_far;

std::unique_ptr<TApdSerialDevice> BenchDevice(const std::string&) {
  return g_far ? g_far->MakePortDevice() : nullptr;
}

double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  const size_t i = std::min(v.size() - 1, static_cast<size_t>(p * (v.size() - 1) + 0.5));
  return v[i];
}

}  // namespace

int main(int argc, char** argv) {
  const bool quick = bench::QuickRun(argc, argv);
  const int idleSeconds = quick ? 1 : argc > 1 ? std::max(1, atoi(argv[1])) : 10;
  const int rounds = quick ? 30 : argc > 2 ? std::max(10, atoi(argv[2])) : 300;
  if (!getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  for (int n = 1; n <= 50; ++n) {
    setenv(("KESTREL_COM" + std::to_string(n)).c_str(), "/nonexistent/bench-wait", 1);
  }
  setenv("KESTREL_COM1", "benchsim:1", 1);

  QCoreApplication app(argc, argv);
  InstallQtYield();
  TSimOptions options;
  options.path = "benchsim:1";
  g_far = CreateSimDevice(options).far;

  TApdComPort port;
  port.PortMap().RegisterDeviceScheme("benchsim", &BenchDevice);
  port.SetComNumber(1);
  port.SetAutoOpen(false);
  port.SetBaud(38400);
  port.SetOpen(true);

  // 1. A wait that sees nothing: the whole process's CPU (dispatcher threads
  //    included) and the waiting thread's own.
  const int32_t ticks = MSecs2Ticks(idleSeconds * 1000);
  const double cpu0 = ProcessCpuSeconds();
  const double thread0 = ThreadCpuSeconds();
  const auto wall0 = Clock::now();
  const bool found = port.WaitForString("#", ticks, true, false);
  const double wall = std::chrono::duration<double>(Clock::now() - wall0).count();
  const double cpuPercent = 100.0 * (ProcessCpuSeconds() - cpu0) / wall;
  const double threadPercent = 100.0 * (ThreadCpuSeconds() - thread0) / wall;
  if (found) std::fprintf(stderr, "bench-wait: the idle wait found something\n");

  // 2. From the byte written at the far end to WaitForString returning.
  std::atomic<int64_t> writtenAt{0};
  std::atomic<bool> stop{false};
  std::atomic<int> round{0};
  std::thread writer([&] {
    std::mt19937 random(7);
    std::uniform_int_distribution<int> pause(1000, 4000);
    for (int r = 1; r <= rounds && !stop; ++r) {
      std::this_thread::sleep_for(std::chrono::microseconds(pause(random)));
      writtenAt = Clock::now().time_since_epoch().count();
      g_far->SendFor("#", std::chrono::seconds(1));
      // Next byte only once the wait has returned and started again.
      while (round.load() < r && !stop) std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
  });
  std::vector<double> latencies;
  for (int r = 1; r <= rounds; ++r) {
    if (!port.WaitForString("#", 91, true, false)) {
      std::fprintf(stderr, "bench-wait: round %d timed out\n", r);
      break;
    }
    const auto now = Clock::now().time_since_epoch().count();
    latencies.push_back((now - writtenAt.load()) / 1e6);
    round = r;
  }
  stop = true;
  writer.join();
  port.SetOpen(false);
  if (latencies.empty()) return 1;

  std::printf("wait_idle_seconds: %.2f\n", wall);
  std::printf("wait_thread_cpu_percent: %.3f\n", threadPercent);
  std::printf("wait_latency_rounds: %zu\n", latencies.size());
  std::printf("wait_latency_ms_p99: %.3f\n", Percentile(latencies, 0.99));
  std::printf("wait_latency_ms: %.3f\n", Percentile(latencies, 0.5));
  std::printf("wait_cpu_percent: %.3f\n", cpuPercent);
  return 0;
}
