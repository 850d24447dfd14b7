// bench-station: a station over many ports, all loading at once.
//
// `kestrel --station` runs with one --port per unit, each the paced sim:
// device (every byte takes its wire time at the port's rate; the unit's
// flash pause is 0), each unit loading one image. Once every unit has
// passed, Ctrl+C ends the station.
//
// station_efficiency_min_<n>x<baud>: the lowest unit's wire time of its
//   image over its data phase (from its upload line to its last block sent,
//   as the record gives it).
// station_cpu_percent_<n>x<baud>: the CPU time of every process (the
//   station and the process serving each port) over the time from start to
//   the last verdict, as a share of one core.
// station_rss_kb_<n>x<baud>: the largest sum of the resident memory of all
//   those processes, sampled every 50 ms.
//
//   bench-station [--quick]
//     8 units at 921600 and 16 at 115200, 1 MiB each; --quick: 64 KiB and
//     16 KiB.

#include <dirent.h>
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

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

int count_of(const std::string& text, const std::string& what) {
  int count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

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

// The "seconds" of every upload in the record.
std::vector<double> upload_seconds(const std::string& record) {
  std::vector<double> seconds;
  for (size_t at = record.find("\"seconds\":"); at != std::string::npos;
       at = record.find("\"seconds\":", at + 1))
    seconds.push_back(std::atof(record.c_str() + at + 10));
  return seconds;
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

  std::vector<std::string> args = {program.string(),     "--station", "run.sld",   "--baud",
                                   std::to_string(baud), "--record",  "runs.jsonl"};
  for (int i = 0; i < units; ++i)
    args.insert(args.end(), {"--port", "sim:pace;flash-ms=0;dir=u" + std::to_string(i)});
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  const auto began = std::chrono::steady_clock::now();
  const pid_t station = ::fork();
  if (station == 0) {
    if (::chdir(folder.c_str()) != 0) ::_exit(127);
    if (!std::freopen("said.txt", "w", stderr)) ::_exit(127);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  long peakRss = 0;
  double seconds = 0;
  int status = 0;
  for (;;) {
    peakRss = std::max(peakRss, tree_rss_kb(station));
    const std::string said = read_file(folder / "said.txt");
    if (count_of(said, "FAIL unit") > 0 || ::waitpid(station, &status, WNOHANG) == station) {
      std::fprintf(stderr, "bench-station: the station failed:\n%s\n", said.c_str());
      break;
    }
    if (count_of(said, "PASS unit 1") == units) {
      seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ::kill(station, SIGINT);
  ::waitpid(station, &status, 0);
  rusage usage{};
  ::getrusage(RUSAGE_CHILDREN, &usage);
  static double cpuBefore = 0;
  const double cpu = cpu_seconds(usage) - cpuBefore;
  cpuBefore = cpu_seconds(usage);
  const std::vector<double> uploads = upload_seconds(read_file(folder / "runs.jsonl"));
  fs::remove_all(folder);
  if (seconds == 0 || int(uploads.size()) != units) return false;

  const double wire = double(size) * kBitsPerChar / baud;
  const double slowest = *std::max_element(uploads.begin(), uploads.end());
  const std::string tag = std::to_string(units) + "x" + std::to_string(baud);
  std::printf("station_efficiency_min_%s: %.4f\n  goal: >= %.2f\n", tag.c_str(), wire / slowest,
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
