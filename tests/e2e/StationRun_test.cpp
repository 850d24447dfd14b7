// A station loading unit after unit on one line. The line is a link that
// names the pseudo-terminal of the simulated unit now plugged in, as a
// device link names whatever adapter is plugged in; a unit taken off is the
// tool stopped and the link gone. Where only the station's own waits would
// cost the time, it runs inside the test process on the virtual clock, its
// line a device the test plugs units into.

#include "loader/unattended/StationRun.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>

#include <cstdlib>
#include <mutex>

#include "E2eSupport.h"
#include "LoaderTestApp.h"
#include "VirtualClock.h"
#include "loader/core/CommandLine.h"
#include "loader/unattended/ConsoleOperatorDialog.h"
#include "loader/unattended/UnattendedConsole.h"
#include "serial/qt/AdPortContext.h"
#include "serial/qt/AdWaitWaker.h"
#include "serialdevice/AwPortPath.h"

namespace kestrel::e2e {
namespace {

constexpr const char* kScript = "_TC \"LOADR^M\"\n_LF a.bin\n_LA 8000\n_LV 1\n_LD\n";

// A station in a scratch folder, its port a link in another.
struct TStationRun {
  TScratch Lines;
  fs::path Line = Lines / "ttyUSB0";
  TBatchRun Run{kScript, Line.string(), {"--record", "runs.jsonl"}};
  TStationRun(size_t size = 9000) {
    Run.ModeArgument("--station");
    WriteFile(Run.Folder / "a.bin", Pattern(size, 31));
  }
};

// A port that can never be a unit (a file, a folder, /dev/null) ends the
// station at once, with the reason a --batch run gives; the file is left
// alone.
TEST(Station, APortThatIsNoSerialDeviceEndsItAtOnce) {
  TScratch places;
  WriteFile(places / "file", "abc");
  const std::pair<std::string, const char*> ports[] = {
      {(places / "file").string(), "(a regular file)"},
      {places.Path().string(), "(a folder)"},
      {"/dev/null", "(a device that is no terminal)"}};
  std::vector<std::unique_ptr<TBatchRun>> runs;
  for (const auto& port : ports) {
    runs.push_back(std::make_unique<TBatchRun>(kScript, port.first));
    runs.back()->ModeArgument("--station");
    runs.back()->Start();
  }
  for (size_t i = 0; i < runs.size(); ++i) {
    TBatchRun& run = *runs[i];
    EXPECT_EQ(run.Finish(), 2) << run.Err();
    const std::string reason =
        "kestrel: COM 1: " + ports[i].first + ": not a serial device " + ports[i].second + "\n";
    EXPECT_EQ(run.Err().substr(run.Err().size() - std::min(run.Err().size(), reason.size())),
              reason)
        << run.Err();
    EXPECT_FALSE(run.Said("still waiting")) << run.Err();
  }
  EXPECT_EQ(ReadFile(places / "file"), "abc");
}

// The station's line inside the test process: "line:" is whatever the test
// has plugged in, a simulated unit or nothing. A unit comes on the line
// once the station has found it empty, and goes when the station has probed
// it three times after its run.
class TLineInProcess {
 public:
  static TLineInProcess*& Current() {
    static TLineInProcess* line = nullptr;
    return line;
  }
  static std::unique_ptr<TApdSerialDevice> Device(const std::string&) {
    TLineInProcess& line = *Current();
    std::lock_guard lock(line.FLock);
    ++line.FOpens;
    if (line.FUnit.empty() && line.FWaiting > 0 && line.FOpens - line.FWaitingSince >= 2)
      line.plug();
    if (!line.FUnit.empty() && line.FDoneAt >= 0 && line.FOpens - line.FDoneAt > 3) {
      line.FUnit.clear();
      line.FDoneAt = -1;
    }
    std::string error;
    if (!line.FUnit.empty()) return CreateSimulatedUnitDevice(line.FUnit, error);
    return TPortMap().CreateSerialDevice("/nonexistent/kestrel-station-line");
  }

  // The station says it waits for unit `unit`, or that one is done.
  void Waiting(int unit) {
    std::lock_guard lock(FLock);
    FWaiting = unit;
    FWaitingSince = FOpens;
  }
  void Done() {
    std::lock_guard lock(FLock);
    FDoneAt = FOpens;
  }
  // The uploads unit `unit` took.
  int Uploads(int unit) const {
    std::ifstream record(FUnits / ("unit" + std::to_string(unit) + ".jsonl"));
    int count = 0;
    for (std::string line; std::getline(record, line);) ++count;
    return count;
  }
  bool Flashed(int unit) const {
    return fs::exists(FUnits / ("unit" + std::to_string(unit)) / "8000.bin");
  }

 private:
  void plug() {
    const std::string name = (FUnits / ("unit" + std::to_string(FWaiting))).string();
    FUnit = "sim:dir=" + name + ";record=" + name + ".jsonl;" +
            (FWaiting == 2 ? "corrupt=100" : "flash-ms=2");
    FWaiting = 0;
  }

  mutable std::mutex FLock;
  TScratch FUnits;
  std::string FUnit;
  int FOpens = 0;
  int FWaiting = 0;
  int FWaitingSince = 0;
  int FDoneAt = -1;
};

// Console text, handed line by line to a listener as the station writes it.
class TConsoleLines {
 public:
  explicit TConsoleLines(std::function<void(const std::string&)> listener)
      : FListener(std::move(listener)) {
    cookie_io_functions_t io{};
    io.write = [](void* self, const char* bytes, size_t size) -> ssize_t {
      static_cast<TConsoleLines*>(self)->take(bytes, size);
      return ssize_t(size);
    };
    File = ::fopencookie(this, "w", io);
    std::setvbuf(File, nullptr, _IONBF, 0);
  }
  ~TConsoleLines() { std::fclose(File); }
  std::FILE* File;
  std::string Text;

 private:
  void take(const char* bytes, size_t size) {
    for (size_t i = 0; i < size; ++i) {
      Text += bytes[i];
      FLine += bytes[i];
      if (bytes[i] != '\n') continue;
      FListener(FLine);
      FLine.clear();
    }
  }
  std::function<void(const std::string&)> FListener;
  std::string FLine;
};

// Three units in a row, the second corrupting what it receives; the line is
// empty when the station starts. Each unit stays on the line well past two
// probes after its run and is loaded once all the same. Ctrl+C while the
// station waits for a fourth ends it with the tally. The station runs in
// the test process, on the virtual clock.
TEST(Station, ThreeUnitsInARowOneFailingThenCtrlCBetweenRuns) {
  TStationRun station;
  TLineInProcess line;
  TLineInProcess::Current() = &line;
  TKestrelApplication& app = test_application();
  TApdPortContext ports(TApdWaitWaker::Instance());
  ports.PortMap.RegisterDeviceScheme("line", &TLineInProcess::Device);
  RegisterSimulatedUnitScheme(ports.PortMap);
  const fs::path home = fs::current_path();
  fs::current_path(station.Run.Folder.Path());
  ::setenv("KESTREL_COM1", "line:", 1);
  ::setenv("KESTREL_COM2", "/nonexistent/kestrel-e2e-com2", 1);

  int status = -1;
  std::string said;
  {
    TConsoleLines lines([&](const std::string& text) {
      if (text.rfind("station: waiting for unit ", 0) == 0) {
        const int unit = std::atoi(text.c_str() + 26);
        if (unit <= 3)
          line.Waiting(unit);
        else
          ::raise(SIGINT);
      }
      if (text.find(": take it off the line") != std::string::npos) line.Done();
    });
    TUnattendedConsole console(lines.File, false);
    TConsoleOperatorDialog dialog(console);
    app.SetOperatorDialog(&dialog);
    // The station's own waits jump too; its probes, on a port the clock
    // cannot see, keep real time.
    TVirtualTimeClock clock(nullptr, &SimulatedUnitsSettled);
    std::vector<std::unique_ptr<TVirtualTimeClock>> runClocks;
    status = run_station(parse_command_line(station.Run.Args()), dialog, console, clock,
                         unattended_windows_on_virtual_clocks(runClocks), &ports);
    app.SetOperatorDialog(nullptr);
    said = lines.Text;
  }
  TLineInProcess::Current() = nullptr;
  ::setenv("KESTREL_COM1", "/nonexistent/kestrel-test-com1", 1);
  ::setenv("KESTREL_COM2", "/nonexistent/kestrel-test-com2", 1);
  fs::current_path(home);
  const auto saidHas = [&](const std::string& text) {
    return said.find(text) != std::string::npos;
  };

  EXPECT_EQ(status, 1) << said;
  EXPECT_TRUE(saidHas("station: waiting for unit 1 on COM 1")) << said;
  const char* verdicts[] = {"PASS unit 1: 1 file, 9000 bytes, ",
                            "FAIL unit 2: ", "PASS unit 3: 1 file, 9000 bytes, "};
  for (int unit = 1; unit <= 3; ++unit) {
    SCOPED_TRACE(unit);
    EXPECT_TRUE(saidHas(verdicts[unit - 1])) << said;
    EXPECT_EQ(line.Uploads(unit), 1);
    EXPECT_EQ(line.Flashed(unit), unit != 2);
  }
  // The unit's own words are the cause, on the FAIL line.
  EXPECT_TRUE(saidHas("FAIL unit 2: " + (station.Run.Folder / "a.bin").string() +
                      ": Error! Unable to receive prompt after upload. Upload "
                      "unsuccessful. Exiting script. The unit said: \"UPLOAD FAILED: "
                      "CHECKSUM "))
      << said;
  EXPECT_TRUE(
      saidHas("station: ended by SIGINT between runs\n"
              "station: 3 runs, 2 passed, 1 failed\n"))
      << said;

  const std::vector<std::string> records = station.Run.RecordLines("runs.jsonl");
  ASSERT_EQ(records.size(), 3u);
  for (int unit = 1; unit <= 3; ++unit) {
    const std::string tail = ",\"run\":" + std::to_string(unit) +
                             ",\"outcome\":\"finished\",\"exit_code\":" + (unit == 2 ? "1}" : "0}");
    EXPECT_NE(records[unit - 1].find(tail), std::string::npos) << records[unit - 1];
  }
}

// A unit pulled off during its upload fails, and the station waits for the
// next at once; Ctrl+C during that unit's upload stops the run cleanly, is
// counted as a failure and ends the loop with the status of a stopped run.
TEST(Station, UnpluggedDuringARunThenCtrlCDuringOne) {
  TStationRun station(20000);
  station.Run.Start();
  {
    TUnitOnLine first(station.Line, {"--flash-ms=400"});
    ASSERT_TRUE(station.Run.AwaitSaid("/a.bin: 4000 of 20000 bytes"));
    first.TakeOff();
    ASSERT_TRUE(station.Run.AwaitSaid("station: waiting for unit 2"))
        << ReadFile(station.Run.Folder / "stderr.txt");
  }
  EXPECT_TRUE(station.Run.AwaitSaidTimes("FAIL unit 1: " + (station.Run.Folder / "a.bin").string() +
                                             ": Error! Device " + station.Line.string() +
                                             " was lost",
                                         1));

  TUnitOnLine second(station.Line, {"--flash-ms=400"});
  ASSERT_TRUE(station.Run.AwaitSaidTimes("/a.bin: 4000 of 20000 bytes", 2));
  station.Run.Signal(SIGINT);
  EXPECT_EQ(station.Run.Finish(), 130) << station.Run.Err();
  EXPECT_TRUE(station.Run.Said("run interrupted by SIGINT")) << station.Run.Err();
  EXPECT_TRUE(station.Run.Said("FAIL unit 2: ")) << station.Run.Err();
  EXPECT_TRUE(station.Run.Said("station: 2 runs, 0 passed, 2 failed\n")) << station.Run.Err();
  EXPECT_FALSE(station.Run.Said("waiting for unit 3"));
  EXPECT_FALSE(fs::exists(second.Folder / "flash" / "8000.bin"));

  const std::vector<std::string> records = station.Run.RecordLines("runs.jsonl");
  ASSERT_EQ(records.size(), 2u);
  EXPECT_NE(records[1].find(",\"run\":2,\"outcome\":\"interrupted\",\"exit_code\":130}"),
            std::string::npos)
      << records[1];
}

}  // namespace
}  // namespace kestrel::e2e
