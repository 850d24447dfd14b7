// bench-station: a station over many ports, all loading at once.
//
// `kestrel --station` runs with one --port per unit, each the paced sim:
// device (every byte takes its wire time at the port's rate; the unit's
// flash pause is 0), each unit loading one image. Once every unit has
// passed, Ctrl+C ends the station.
//
// station_efficiency_min_<n>x<baud>: the lowest unit's wire time of its
//   data over its data phase, as bench-upload measures one unit: from its
//   first block's end to its last one's, told by the station's own lines
//   (not on a terminal, each port's upload progress is a line).
// station_cpu_percent_<n>x<baud>: the CPU time of every process (the
//   station and the process serving each port) over the time from start to
//   the last verdict, as a share of one core.
// station_rss_kb_<n>x<baud>: the largest sum of the resident memory of all
//   those processes, sampled every 50 ms.
//
//   bench-station [--quick]
//     8 units at 921600 and 16 at 115200, 1 MiB each; --quick: 64 KiB and
//     16 KiB.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchOptions.h"
#include "SettingsText.h"
#include "TestPattern.h"

namespace {

namespace fs = std::filesystem;
constexpr double kBitsPerChar = 10;
constexpr double kEfficiencyGoal = 0.95;

// The resident memory of `pid` and of every process below it, in kB.
long tree_rss_kb(pid_t pid) {
  long total = 0;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) total += std::atol(line.c_str() + 6);
  std::ifstream children("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) +
                         "/children");
  for (pid_t child; children >> child;) total += tree_rss_kb(child);
  return total;
}

double cpu_seconds(const rusage& usage) {
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

bool run(const fs::path& program, int units, int baud, size_t size) {
  const fs::path folder =
      fs::temp_directory_path() / ("kestrel-bench-station-" + std::to_string(::getpid()));
  fs::remove_all(folder);
  fs::create_directories(folder);
  std::ofstream(folder / "LoaderDefault.ini") << kestrel::test::SettingsText();
  std::ofstream(folder / "run.sld") << "_TC \"LOADR^M\"\n_LF a.bin\n_LA 8000\n_LV 1\n_LD\n";
  const std::string image = kestrel::test::Pattern(size, 7);
  std::ofstream(folder / "a.bin", std::ios::binary) << image;

  std::vector<std::string> args = {program.string(), "--station", "run.sld", "--baud",
                                   std::to_string(baud)};
  for (int i = 0; i < units; ++i)
    args.insert(args.end(), {"--port", "sim:pace;flash-ms=0;dir=u" + std::to_string(i)});
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  int said[2];
  if (::pipe2(said, O_CLOEXEC) != 0) return false;
  const auto began = std::chrono::steady_clock::now();
  const pid_t station = ::fork();
  if (station == 0) {
    if (::chdir(folder.c_str()) != 0 || ::dup2(said[1], 2) < 0) ::_exit(127);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(said[1]);
  ::fcntl(said[0], F_SETFL, O_NONBLOCK);
  // Each port's lines, as they come: when its first block and its last
  // had gone.
  std::map<std::string, double> firstBlock, lastBlock;
  int passed = 0;
  bool failed = false;
  std::string log, part;
  long peakRss = 0;
  double seconds = 0;
  int status = 0;
  while (!failed && passed < units) {
    peakRss = std::max(peakRss, tree_rss_kb(station));
    pollfd wait{said[0], POLLIN, 0};
    ::poll(&wait, 1, 50);
    char buffer[65536];
    const ssize_t n = ::read(said[0], buffer, sizeof buffer);
    if (n <= 0 && ::waitpid(station, &status, WNOHANG) == station) {
      failed = true;
      break;
    }
    if (n > 0) part.append(buffer, size_t(n));
    const double at =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    for (size_t end; (end = part.find('\n')) != std::string::npos; part.erase(0, end + 1)) {
      const std::string line = part.substr(0, end);
      log += line + "\n";
      const std::string port = line.substr(0, line.find(": "));
      if (line.find(": upload: ") != std::string::npos) {
        if (line.find(": 2000 of ") != std::string::npos) firstBlock.emplace(port, at);
        if (line.find("(100%)") != std::string::npos) lastBlock[port] = at;
      }
      if (line.find(": PASS unit 1:") != std::string::npos) ++passed;
      if (line.find(": FAIL unit") != std::string::npos) failed = true;
    }
    if (passed == units) seconds = at;
  }
  if (failed) std::fprintf(stderr, "bench-station: the station failed:\n%s\n", log.c_str());
  ::kill(station, SIGINT);
  ::waitpid(station, &status, 0);
  ::close(said[0]);
  rusage usage{};
  ::getrusage(RUSAGE_CHILDREN, &usage);
  static double cpuBefore = 0;
  const double cpu = cpu_seconds(usage) - cpuBefore;
  cpuBefore = cpu_seconds(usage);
  fs::remove_all(folder);
  if (failed || int(firstBlock.size()) != units || int(lastBlock.size()) != units) return false;

  // As bench-upload measures one unit: from the first block's end to the
  // last one's, over the blocks in between.
  double lowest = 1e9;
  for (const auto& [port, first] : firstBlock)
    lowest =
        std::min(lowest, (double(size) - 2000) * kBitsPerChar / baud / (lastBlock[port] - first));
  const std::string tag = std::to_string(units) + "x" + std::to_string(baud);
  std::printf("station_efficiency_min_%s: %.4f\n  goal: >= %.2f\n", tag.c_str(), lowest,
              kEfficiencyGoal);
  std::printf("station_cpu_percent_%s: %.1f\n  goal: reported; no limit set\n", tag.c_str(),
              100 * cpu / seconds);
  std::printf("station_rss_kb_%s: %ld\n  goal: reported; no limit set\n", tag.c_str(), peakRss);
  std::fflush(stdout);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const bool quick = kestrel::bench::QuickRun(argc, argv);
  const fs::path program = fs::read_symlink("/proc/self/exe").parent_path() / "kestrel";
  bool ok = run(program, 8, 921600, quick ? 64 << 10 : 1 << 20);
  ok = run(program, 16, 115200, quick ? 16 << 10 : 1 << 20) && ok;
  return ok ? 0 : 1;
}
