// Terminal figures:
//   tty_mb_per_s  bytes per second (1e6) through the TTY emulator into the
//                 screen buffer: 16 MiB of mixed text with line feeds and
//                 control characters, in 4 KiB blocks, invalid rectangles
//                 drained after each block as the window does. Measured in
//                 the thread's CPU time, so that other work on a shared
//                 machine does not count; tty_wall_mb_per_s is the same run
//                 by the wall clock
//   tty_mb_per_s_<pattern>  the same for one kind of traffic each: text
//                 (the mixed text above), lf (line feeds only), short (lines
//                 of 1 to 8 characters ending in CR LF), bs ("a" and a
//                 backspace), bytes (all 256 byte values in turn)
//   paint_ms      drawing a full 80 x 16 screen of mixed renditions into the
//                 window's grid image (median of 200), offscreen
//   burst_*       a 1 MiB burst from a simulated far end through a real port
//                 into a shown terminal: window repaints against display
//                 intervals elapsed; burst_repaint_ok is 1 when the pane
//                 repainted at most once per display interval
// The headline (tty_mb_per_s) comes last. --quick uses 1 MiB of each
// pattern and a 64 KiB burst.

#include <stdlib.h>
#include <time.h>

#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "BenchOptions.h"
#include "serial/qt/Adport.h"
#include "serialdevice/AwPortPath.h"
#include "serialdevice/AwSim.h"
#include "terminal/qt/AdTerminal.h"

using namespace kestrel;
using Clock = std::chrono::steady_clock;

namespace {

std::string MixedText(size_t size) {
  // Lines of varying length, some with tabs, backspaces and bells, ending
  // in CR LF or a bare LF; now and then a line longer than the screen.
  std::string out;
  out.reserve(size + 256);
  uint32_t seed = 12345;
  auto next = [&] {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) & 0x7FFF;
  };
  while (out.size() < size) {
    const int len = int(next() % 120);
    for (int i = 0; i < len; ++i) {
      const uint32_t r = next() % 100;
      if (r < 2)
        out += '\t';
      else if (r < 3)
        out += '\b';
      else if (r == 3)
        out += '\a';
      else
        out += char(32 + next() % 95);
    }
    out += next() % 4 == 0 ? "\n" : "\r\n";
  }
  out.resize(size);
  return out;
}

double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

struct TTtyRate {
  double Cpu = 0, Wall = 0;
};

std::string Repeated(std::string_view unit, size_t size) {
  std::string out;
  out.reserve(size + unit.size());
  while (out.size() < size) out += unit;
  out.resize(size);
  return out;
}

std::string ShortLines(size_t size) {
  std::string out;
  out.reserve(size + 16);
  uint32_t seed = 777;
  while (out.size() < size) {
    seed = seed * 1103515245u + 12345u;
    const int len = 1 + int((seed >> 16) % 8);
    for (int i = 0; i < len; ++i) out += char('a' + (seed >> (i + 3)) % 26);
    out += "\r\n";
  }
  out.resize(size);
  return out;
}

std::string AllBytes(size_t size) {
  std::string unit(256, '\0');
  for (int i = 0; i < 256; ++i) unit[size_t(i)] = char(i);
  return Repeated(unit, size);
}

TTtyRate TtyMBPerSecond(const std::string& text) {
  TAdTTYEmulator emu;
  emu.Buffer()->SetRowCount(16);
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  constexpr size_t kBlock = 4096;
  TAdRect r;
  TTtyRate best;
  // Best of three rounds.
  for (int round = 0; round < 3; ++round) {
    const auto start = Clock::now();
    const double cpuStart = ThreadCpuSeconds();
    for (size_t at = 0; at < text.size(); at += kBlock) {
      emu.ProcessBlock(bytes + at, int(std::min(kBlock, text.size() - at)), csPort);
      while (emu.Buffer()->GetInvalidRect(r)) {
      }
      emu.Buffer()->HasCursorMoved();
    }
    const double cpu = ThreadCpuSeconds() - cpuStart;
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    best.Cpu = std::max(best.Cpu, double(text.size()) / cpu / 1e6);
    best.Wall = std::max(best.Wall, double(text.size()) / wall / 1e6);
  }
  return best;
}

void MainWindowLook(TAdTerminal& term) {
  QFont font;
  font.setFamilies({QStringLiteral("Courier New"), QStringLiteral("Liberation Mono"),
                    QStringLiteral("DejaVu Sans Mono")});
  font.setPixelSize(12);
  font.setStyleHint(QFont::TypeWriter);
  term.setFont(font);
  term.SetRows(16);
  term.SetUseLazyDisplay(false);
}

double PaintMs() {
  TAdTerminal term;
  MainWindowLook(term);
  term.resize(80 * term.CellWidth() + 8, 16 * term.CellHeight() + 8);
  term.show();
  QCoreApplication::processEvents();
  TAdTerminalBuffer& b = *term.Buffer();
  const TAdTerminalCharAttrs attrs[] = {0, tcaBold, tcaReverse, tcaUnderline, 0, tcaStrikethrough};
  for (int row = 1; row <= 16; ++row) {
    b.SetCursorPosition(row, 1);
    for (int col = 1; col <= 80; ++col) {
      b.SetCharAttrs(attrs[(row + col / 7) % 6]);
      b.WriteChar(uint16_t(33 + (row * 80 + col) % 94));
    }
  }
  std::vector<double> ms;
  for (int i = 0; i < 200; ++i) {
    const auto start = Clock::now();
    term.Refresh();
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  std::sort(ms.begin(), ms.end());
  return ms[ms.size() / 2];
}

struct TBurst {
  double Ms = 0;
  uint64_t Paints = 0;
  int IntervalMs = 16;
};

TBurst Burst(size_t size) {
  TSimOptions options;
  options.path = "benchsim:1";
  auto pair = CreateSimDevice(options);
  static std::shared_ptr<TApdSimFarEnd> far;
  far = pair.far;
  ::setenv("KESTREL_COM9", "benchsim:1", 1);

  TApdComPort port;
  port.PortMap().RegisterDeviceScheme("benchsim",
                                      [](const std::string&) -> std::unique_ptr<TApdSerialDevice> {
                                        return far->MakePortDevice();
                                      });
  port.SetAutoOpen(false);
  port.SetComNumber(9);
  port.SetBaud(115200);
  TAdTerminal term;
  MainWindowLook(term);
  term.resize(497, 273);
  term.SetComPort(&port);
  term.show();
  port.SetOpen(true);
  while (!term.TriggerHandlerRegistered()) QCoreApplication::processEvents();

  std::string burst = MixedText(size);
  burst += "\r\nEND-OF-BURST";
  TBurst out;
  out.IntervalMs = term.FrameIntervalMs();
  const uint64_t paintsBefore = term.PaintCount();
  const auto start = Clock::now();
  std::thread sender([&] { far->SendFor(burst, std::chrono::seconds(60)); });
  auto done = [&] {
    for (int row = 16; row >= 1; --row)
      if (term.tmGetLine(row).rfind("END-OF-BURST", 0) == 0) return true;
    return false;
  };
  while (!done() && Clock::now() - start < std::chrono::seconds(60))
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  out.Ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  // Let the last frame be shown before counting.
  const auto settle = Clock::now();
  while (Clock::now() - settle < std::chrono::milliseconds(3 * out.IntervalMs))
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  out.Paints = term.PaintCount() - paintsBefore;
  sender.join();
  port.SetOpen(false);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (!::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  // Every port goes nowhere except the one the burst maps.
  for (int n = 1; n <= 60; ++n)
    ::setenv(("KESTREL_COM" + std::to_string(n)).c_str(), "/nonexistent/kestrel-bench", 1);
  QApplication app(argc, argv);

  const bool quick = bench::QuickRun(argc, argv);
  const double paint = PaintMs();
  std::printf("paint_ms: %.3f\n", paint);
  std::fflush(stdout);

  const TBurst burst = Burst(quick ? 64u << 10 : 1u << 20);
  const double intervals = burst.Ms / burst.IntervalMs;
  const uint64_t allowed = uint64_t(intervals) + 4;  // the settle time's frames
  std::printf("burst_ms: %.1f\n", burst.Ms);
  std::printf("burst_display_interval_ms: %d\n", burst.IntervalMs);
  std::printf("burst_paints: %llu\n", static_cast<unsigned long long>(burst.Paints));
  std::printf("burst_paints_allowed: %llu\n", static_cast<unsigned long long>(allowed));
  std::printf("burst_repaint_ok: %d\n", burst.Paints <= allowed ? 1 : 0);
  std::fflush(stdout);

  const size_t kSize = quick ? 1u << 20 : 16u << 20;
  const std::string text = MixedText(kSize);
  struct TPattern {
    const char* Name;
    std::string Bytes;
  };
  const TPattern patterns[] = {{"lf", Repeated("\n", kSize)},
                               {"short", ShortLines(kSize)},
                               {"bs", Repeated("a\b", kSize)},
                               {"bytes", AllBytes(kSize)}};
  for (const TPattern& p : patterns) {
    std::printf("tty_mb_per_s_%s: %.1f\n", p.Name, TtyMBPerSecond(p.Bytes).Cpu);
    std::fflush(stdout);
  }
  const TTtyRate tty = TtyMBPerSecond(text);
  std::printf("tty_mb_per_s_text: %.1f\n", tty.Cpu);
  std::printf("tty_wall_mb_per_s: %.1f\n", tty.Wall);
  std::printf("tty_mb_per_s: %.1f\n", tty.Cpu);
  return 0;
}
