// bench-upload: the whole loader uploading unattended.
//
// upload_efficiency_<baud>: a script uploads one file to the simulated unit
// on the paced sim: device (every byte takes its wire time at the port's
// rate; the unit's flash pause is 0). Efficiency is the wire time of the data
// divided by the time the loader took for it, from the first block queued to
// the last block drained; measured from the first block's end to the last
// one's, over the blocks in between. The data phase's CPU is measured over
// the same span, for the process (which includes the simulated unit) and for
// the window thread, where the loader runs.
//
// upload_efficiency_rfc2217_115200: the same at 115200 baud through a real
// serial device server: kestrel-unit-sim, paced both ways, on a
// pseudo-terminal that ser2net serves by RFC 2217 on the loopback. The
// server and the socket buffers take blocks long before they reach the line,
// so the span runs from the upload's start to the unit's verdict on the file,
// against the wire time of the whole file.
//
// peak_rss_kb_<n>mib: `kestrel --batch` uploading an n MiB file to
// kestrel-unit-sim on a pseudo-terminal; the peak resident memory of the
// loader's process alone.
//
// Both run in a scratch folder of their own, with a settings file of their
// own there (the example file's lines at the program's starting values).
//
//   bench-upload [--full | --quick] [--no-rss] [--no-rates] [--baud=N]...
//     --full      1 MiB at 9600 too (that takes 18 minutes); otherwise 64 KiB
//                 there, 1 MiB at 115200 and 921600 and 4 MiB at 3000000
//     --quick     4 KiB at 9600, 32 KiB at 115200, 128 KiB at 921600,
//                 256 KiB at 3000000; memory with 1 and 4 MiB
//     --no-rss    leave out the memory runs
//     --no-rates  leave out the runs on the paced device
//     --no-net    leave out the run through ser2net (256 KiB; 32 KiB quick)
//     --baud=N    only the runs at these rates (one of the four above)

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchOptions.h"
#include "Ser2netServer.h"
#include "SettingsText.h"
#include "loader/AppWindows.h"
#include "loader/core/RunObserver.h"
#include "loader/unattended/ConsoleOperatorDialog.h"
#include "loader/unattended/UnattendedConsole.h"
#include "loader/unattended/UnattendedRun.h"
#include "loader/windows/KestrelApplication.h"
#include "messages/Adsrmgr.h"
#include "serial/qt/AdPortContext.h"
#include "serial/qt/AdWaitWaker.h"
#include "unitsim/UnitSimScheme.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace kestrel;

constexpr int kBlock = 2000;
constexpr int kBitsPerChar = 10;  // 8 data bits, no parity, 1 stop bit
constexpr const char* kSettings = "bench.ini";

double now_s() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}
double cpu_s(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

void write_pattern(const fs::path& path, size_t size) {
  std::ofstream out(path, std::ios::binary);
  std::vector<char> chunk(1 << 16);
  uint32_t x = 12345;
  for (size_t done = 0; done < size;) {
    const size_t n = std::min(chunk.size(), size - done);
    for (size_t i = 0; i < n; ++i) {
      x = x * 1103515245u + 12345u;
      chunk[i] = char(x >> 23);
    }
    out.write(chunk.data(), std::streamsize(n));
    done += n;
  }
}

// The high-water mark of a process's resident memory (KiB), as the kernel
// keeps it for its current program; -1 when it cannot be read.
long resident_high_water_kb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

void write_script(const fs::path& path, const std::string& file) {
  std::ofstream(path) << "_TC \"LOADR^M\"\n_LP 1\n_LF " << file << "\n_LA 0\n_LV 1\n_LD\n";
}

// When each block was handed to the port, in wall and CPU time.
struct TStepTimes : TRunObserver {
  int Steps = 0;
  double FirstWall = 0, LastWall = 0;
  double FirstCpu = 0, LastCpu = 0;
  double FirstThreadCpu = 0, LastThreadCpu = 0;

  double BeganWall = 0, ResultWall = 0;
  double BeganCpu = 0, ResultCpu = 0;
  double BeganThreadCpu = 0, ResultThreadCpu = 0;

  void UploadBegins(const std::string&, uint64_t) override {
    BeganWall = now_s();
    BeganCpu = cpu_s(CLOCK_PROCESS_CPUTIME_ID);
    BeganThreadCpu = cpu_s(CLOCK_THREAD_CPUTIME_ID);
  }
  void FileResult(const TNamedFile&) override {
    ResultWall = now_s();
    ResultCpu = cpu_s(CLOCK_PROCESS_CPUTIME_ID);
    ResultThreadCpu = cpu_s(CLOCK_THREAD_CPUTIME_ID);
  }
  // From the upload's start to the unit's verdict.
  void WholeUpload() {
    FirstWall = BeganWall;
    LastWall = ResultWall;
    FirstCpu = BeganCpu;
    LastCpu = ResultCpu;
    FirstThreadCpu = BeganThreadCpu;
    LastThreadCpu = ResultThreadCpu;
  }

  void Progress(const std::string&, uint64_t, uint64_t, double) override {
    const double wall = now_s(), cpu = cpu_s(CLOCK_PROCESS_CPUTIME_ID),
                 thread = cpu_s(CLOCK_THREAD_CPUTIME_ID);
    if (++Steps == 1) {
      FirstWall = wall;
      FirstCpu = cpu;
      FirstThreadCpu = thread;
    }
    LastWall = wall;
    LastCpu = cpu;
    LastThreadCpu = thread;
  }
};

// One unattended run in this process against the paced simulated unit.
// `device` is COM1's; the figures are named <figure>_<label>.
bool measure_rate(int baud, size_t size, TConsoleOperatorDialog& dialog,
                  TUnattendedConsole& console, const std::string& device = "sim:pace;flash-ms=0",
                  std::string label = {}, bool wholeUpload = false) {
  if (label.empty()) label = std::to_string(baud);
  write_pattern("data.bin", size);
  write_script("run.sld", "data.bin");
  ::setenv("KESTREL_COM1", device.c_str(), 1);
  // The settings' line rate is the one the run opens the port at.
  std::ofstream(kSettings) << test::SettingsText({{2, std::to_string(baud)}});

  TCommandLine line;
  line.Mode = TCommandLine::TMode::Batch;
  line.BatchScript = "run.sld";
  line.IniFile = kSettings;

  TStepTimes t;
  TApdPortContext ports(TApdWaitWaker::Instance());
  RegisterSimulatedUnitScheme(ports.PortMap);
  TUnattendedRun run;
  run.Ports = &ports;
  run.Observer = &t;
  const int status = run_unattended(line, dialog, console, create_unattended_window, run);
  const int blocks = int((size + kBlock - 1) / kBlock);
  if (status != 0 || t.Steps != blocks || blocks < 2) {
    std::fprintf(stderr, "bench-upload: run %s failed (status %d, %d of %d blocks)\n",
                 label.c_str(), status, t.Steps, blocks);
    return false;
  }
  if (wholeUpload) t.WholeUpload();
  const double span = t.LastWall - t.FirstWall;
  const double wire = double(wholeUpload ? size : size - kBlock) * kBitsPerChar / baud;
  const char* name = label.c_str();
  std::printf("upload_bytes_%s: %zu\n", name, size);
  std::printf("upload_seconds_%s: %.3f\n", name, span);
  std::printf("data_phase_cpu_percent_process_%s: %.1f\n", name,
              100.0 * (t.LastCpu - t.FirstCpu) / span);
  std::printf("data_phase_cpu_percent_window_thread_%s: %.1f\n", name,
              100.0 * (t.LastThreadCpu - t.FirstThreadCpu) / span);
  std::printf("upload_efficiency_%s: %.4f\n", name, wire / span);
  std::fflush(stdout);
  return true;
}

// A child process in the current folder, output thrown away; returns its
// pid, or -1.
pid_t spawn(const std::vector<std::string>& args, int stdoutFd) {
  std::vector<std::string> all = args;
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (stdoutFd >= 0)
    posix_spawn_file_actions_adddup2(&actions, stdoutFd, 1);
  else
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// The paced unit at 115200 baud behind ser2net's RFC 2217 accepter.
bool measure_rfc2217(size_t size, TConsoleOperatorDialog& dialog, TUnattendedConsole& console) {
  e2e::TSer2net server(std::vector<std::string>{"--pace", "--baud=115200", "--flash-ms=0",
                                                "--flash-size=1073741824"});
  if (server.Pty.empty() || !e2e::Accepts(server.Rfc2217Port)) {
    std::fprintf(stderr, "bench-upload: the unit or ser2net did not start\n");
    return false;
  }
  return measure_rate(115200, size, dialog, console, server.Rfc2217(), "rfc2217_115200", true);
}

// Peak RSS (KiB) of `kestrel --batch` uploading `mib` MiB to the stand-alone
// unit on a pseudo-terminal; -1 on failure.
long peak_rss_kb(const fs::path& bin, int mib) {
  write_pattern("big.bin", size_t(mib) << 20);
  write_script("big.sld", "big.bin");
  std::ofstream(kSettings) << test::SettingsText();

  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return -1;
  const pid_t tool = spawn({(bin / "kestrel-unit-sim").string(), "--flash-ms=0",
                            "--flash-size=1073741824", "--dir=flash"},
                           out[1]);
  ::close(out[1]);
  std::FILE* toolOut = ::fdopen(out[0], "r");
  char path[256] = {};
  if (tool <= 0 || !std::fgets(path, sizeof path, toolOut)) return -1;
  path[std::strcspn(path, "\n")] = '\0';

  ::setenv("KESTREL_COM1", path, 1);
  const pid_t loader =
      spawn({(bin / "kestrel").string(), "--batch", "big.sld", "--ini", kSettings}, -1);
  // The exit's resource usage would also count what this process held when
  // it started the child, so the child's own high-water mark is read while
  // it runs; it only grows, and the last reading is taken at the very end.
  int status = 0;
  long peak = -1;
  bool ended = false;
  while (loader > 0 && !ended) {
    peak = std::max(peak, resident_high_water_kb(loader));
    siginfo_t info{};
    if (::waitid(P_PID, id_t(loader), &info, WEXITED | WNOWAIT | WNOHANG) == 0 &&
        info.si_pid == loader) {
      peak = std::max(peak, resident_high_water_kb(loader));
      ended = ::waitpid(loader, &status, 0) == loader;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  ::kill(tool, SIGTERM);
  ::waitpid(tool, nullptr, 0);
  std::fclose(toolOut);
  fs::remove("big.bin");
  fs::remove_all("flash");
  if (!ended || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "bench-upload: the %d MiB run failed\n", mib);
    return -1;
  }
  return peak;
}

// The rates asked for with --baud=N; all four when none is.
bool rate_wanted(int argc, char** argv, int baud) {
  bool any = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--baud=", 7) != 0) continue;
    any = true;
    if (std::atoi(argv[i] + 7) == baud) return true;
  }
  return !any;
}

}  // namespace

int main(int argc, char** argv) {
  const bool full = bench::HasOption(argc, argv, "--full");
  const bool quick = bench::QuickRun(argc, argv);
  const bool rss = !bench::HasOption(argc, argv, "--no-rss");
  const bool rates = !bench::HasOption(argc, argv, "--no-rates");
  const bool net = !bench::HasOption(argc, argv, "--no-net");
  const fs::path bin = fs::read_symlink("/proc/self/exe").parent_path();
  char pattern[] = "/tmp/kestrel-bench-upload-XXXXXX";
  if (!::mkdtemp(pattern)) return 1;
  const fs::path work = pattern;
  fs::current_path(work);
  ::setenv("KESTREL_COM2", "/nonexistent/kestrel-bench-com2", 1);

  select_unattended_platform();
  InitAdResourceManager();
  bool ok = true;
  if (rates || net) {
    std::FILE* quiet = std::fopen("/dev/null", "w");
    TUnattendedConsole console(quiet, false);
    TConsoleOperatorDialog dialog(console);
    int qtArgc = 1;
    TKestrelApplication app(qtArgc, argv);
    app.SetOperatorDialog(&dialog);
    const size_t kib = 1024, mib = kib << 10;
    const struct {
      int baud;
      size_t size;
    } runs[] = {{9600, quick  ? 4 * kib
                       : full ? mib
                              : 64 * kib},
                {115200, quick ? 32 * kib : mib},
                {921600, quick ? 128 * kib : mib},
                {3000000, quick ? 256 * kib : 4 * mib}};
    for (const auto& run : runs)
      if (rates && rate_wanted(argc, argv, run.baud))
        ok &= measure_rate(run.baud, run.size, dialog, console);
    if (net && rate_wanted(argc, argv, 115200))
      ok &= measure_rfc2217(quick ? 32 * kib : 256 * kib, dialog, console);
    std::fclose(quiet);
  }
  DoneAdResourceManager();

  if (rss) {
    const int bigMib = quick ? 4 : 64;
    const long small = peak_rss_kb(bin, 1);
    const long big = peak_rss_kb(bin, bigMib);
    ok &= small > 0 && big > 0;
    std::printf("peak_rss_kb_1mib: %ld\n", small);
    std::printf("peak_rss_kb_%dmib: %ld\n", bigMib, big);
  }
  fs::current_path("/");
  fs::remove_all(work);
  return ok ? 0 : 1;
}
