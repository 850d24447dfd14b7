// A station loading unit after unit on one line. The line is a link that
// names the pseudo-terminal of the simulated unit now plugged in, as a
// device link names whatever adapter is plugged in; a unit taken off is the
// tool stopped and the link gone.

#include <gtest/gtest.h>

#include "E2eSupport.h"

namespace kestrel::e2e {
namespace {

constexpr const char* kScript = "_TC \"LOADR^M\"\n_LF a.bin\n_LA 8000\n_LV 1\n_LD\n";

// One unit on the line, from plugging in to taking off.
class TUnitOnLine {
 public:
  TUnitOnLine(const fs::path& line, std::vector<std::string> options) : FLine(line) {
    options.push_back("--dir=flash");
    FTool =
        std::make_unique<TChild>(BinPath("kestrel-unit-sim"), options, Folder.Path(),
                                 std::map<std::string, std::string>{}, Folder / "unit.txt", true);
    const std::string pty = FTool->StdoutLine();
    EXPECT_EQ(pty.rfind("/dev/pts/", 0), 0u) << pty;
    fs::create_symlink(pty, Folder / "link");
    fs::rename(Folder / "link", FLine);
  }
  ~TUnitOnLine() { TakeOff(); }

  // The tool stops, its terminal goes and the line names nothing.
  void TakeOff() {
    if (!FTool) return;
    FTool.reset();
    std::error_code ec;
    fs::remove(FLine, ec);
  }
  // How many uploads the unit took.
  int Uploads() const {
    const std::string said = ReadFile(Folder / "unit.txt");
    int count = 0;
    for (size_t at = said.find("upload to "); at != std::string::npos;
         at = said.find("upload to ", at + 1))
      ++count;
    return count;
  }

  TScratch Folder;

 private:
  fs::path FLine;
  std::unique_ptr<TChild> FTool;
};

// A station in a scratch folder, its port a link in another.
struct TStationRun {
  TScratch Lines;
  fs::path Line = Lines / "ttyUSB0";
  TBatchRun Run{kScript, Line.string(), {"--record", "runs.jsonl"}};
  TStationRun(size_t size = 9000) {
    Run.ModeArgument("--station");
    WriteFile(Run.Folder / "a.bin", Pattern(size, 31));
  }
  // Waits until stderr holds `text` `times` times; false after a minute.
  bool AwaitSaid(const std::string& text, int times) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
      const std::string said = ReadFile(Run.Folder / "stderr.txt");
      int count = 0;
      for (size_t at = said.find(text); at != std::string::npos; at = said.find(text, at + 1))
        ++count;
      if (count >= times) return true;
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  std::vector<std::string> Records() const {
    std::istringstream in(ReadFile(Run.Folder / "runs.jsonl"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
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

// The adapter is plugged in after the station starts; three units follow,
// the second corrupting what it receives. Each unit stays on the line well
// past two probes after its run and is loaded once all the same. Ctrl+C
// while the station waits for a fourth ends it with the tally.
TEST(Station, ThreeUnitsInARowOneFailingThenCtrlCBetweenRuns) {
  TStationRun station;
  station.Run.Start();
  ASSERT_TRUE(station.Run.AwaitSaid("station: waiting for unit 1 on COM 1"));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // no adapter yet

  const char* verdicts[] = {"PASS unit 1: 1 file, 9000 bytes, ",
                            "FAIL unit 2: ", "PASS unit 3: 1 file, 9000 bytes, "};
  for (int unit = 1; unit <= 3; ++unit) {
    SCOPED_TRACE(unit);
    TUnitOnLine onLine(station.Line, unit == 2 ? std::vector<std::string>{"--corrupt=100"}
                                               : std::vector<std::string>{"--flash-ms=2"});
    ASSERT_TRUE(station.Run.AwaitSaid(verdicts[unit - 1], 90))
        << ReadFile(station.Run.Folder / "stderr.txt");
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));
    EXPECT_EQ(onLine.Uploads(), 1);
    EXPECT_EQ(fs::exists(onLine.Folder / "flash" / "8000.bin"), unit != 2);
    onLine.TakeOff();
    ASSERT_TRUE(station.Run.AwaitSaid("waiting for unit " + std::to_string(unit + 1)));
  }
  station.Run.Signal(SIGINT);
  EXPECT_EQ(station.Run.Finish(), 1) << station.Run.Err();
  // The unit's own words are the cause, on the FAIL line.
  EXPECT_TRUE(station.Run.Said("FAIL unit 2: " + (station.Run.Folder / "a.bin").string() +
                               ": Error! Unable to receive prompt after upload. Upload "
                               "unsuccessful. Exiting script. The unit said: \"UPLOAD FAILED: "
                               "CHECKSUM "))
      << station.Run.Err();
  EXPECT_TRUE(
      station.Run.Said("station: ended by SIGINT between runs\n"
                       "station: 3 runs, 2 passed, 1 failed\n"))
      << station.Run.Err();

  const std::vector<std::string> records = station.Records();
  ASSERT_EQ(records.size(), 3u);
  for (int unit = 1; unit <= 3; ++unit) {
    const std::string tail = ",\"run\":" + std::to_string(unit) +
                             ",\"outcome\":\"finished\",\"exit_code\":" + (unit == 2 ? "1}" : "0}");
    EXPECT_NE(records[unit - 1].find(tail), std::string::npos) << records[unit - 1];
  }
}

// A unit pulled off during its upload fails, and the station waits for the
// next at once; Ctrl+C during that unit's upload stops the run cleanly, is
// counted as a failure and ends the loop.
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
  EXPECT_TRUE(station.AwaitSaid("FAIL unit 1: " + (station.Run.Folder / "a.bin").string() +
                                    ": Error! Device " + station.Line.string() + " was lost",
                                1));

  TUnitOnLine second(station.Line, {"--flash-ms=400"});
  ASSERT_TRUE(station.AwaitSaid("/a.bin: 4000 of 20000 bytes", 2));
  station.Run.Signal(SIGINT);
  EXPECT_EQ(station.Run.Finish(), 1) << station.Run.Err();
  EXPECT_TRUE(station.Run.Said("run interrupted by SIGINT")) << station.Run.Err();
  EXPECT_TRUE(station.Run.Said("FAIL unit 2: ")) << station.Run.Err();
  EXPECT_TRUE(station.Run.Said("station: 2 runs, 0 passed, 2 failed\n")) << station.Run.Err();
  EXPECT_FALSE(station.Run.Said("waiting for unit 3"));
  EXPECT_FALSE(fs::exists(second.Folder / "flash" / "8000.bin"));

  const std::vector<std::string> records = station.Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_NE(records[1].find(",\"run\":2,\"outcome\":\"interrupted\",\"exit_code\":130}"),
            std::string::npos)
      << records[1];
}

}  // namespace
}  // namespace kestrel::e2e
