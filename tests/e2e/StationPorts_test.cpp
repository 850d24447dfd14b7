// A station over many ports: every port served by a process of its own, all
// at once, watched by the program that was started. Units are the
// stand-alone simulated unit on pseudo-terminals behind link names (as
// /dev/serial/by-id names adapters), or the built-in one behind sim:.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdlib>

#include "E2eSupport.h"

namespace kestrel::e2e {
namespace {

constexpr const char* kScript = "_TC \"LOADR^M\"\n_LF a.bin\n_LA 8000\n_LV 1\n_LD\n";

// A station with `ports` in a scratch folder, its record runs.jsonl.
struct TPortsStation {
  TBatchRun Run;
  explicit TPortsStation(const std::vector<std::string>& ports, size_t size = 9000)
      : Run(kScript, "/nonexistent/kestrel-e2e-com1", arguments(ports)) {
    Run.ModeArgument("--station");
    WriteFile(Run.Folder / "a.bin", Pattern(size, 31));
  }
  static std::vector<std::string> arguments(const std::vector<std::string>& ports) {
    std::vector<std::string> args = {"--record", "runs.jsonl"};
    for (const std::string& port : ports) args.insert(args.end(), {"--port", port});
    return args;
  }
  std::string Said() const { return ReadFile(Run.Folder / "stderr.txt"); }
  bool Await(const std::string& text, int times = 1) const {
    return Run.AwaitSaidTimes(text, times);
  }
  // The process serving the port `name` most recently.
  pid_t Server(const std::string& name) const {
    std::istringstream said(Said());
    pid_t pid = -1;
    for (std::string line; std::getline(said, line);)
      if (const size_t at = line.find(" served by process ");
          line.rfind(name + ": ", 0) == 0 && at != std::string::npos)
        pid = pid_t(std::atoi(line.c_str() + at + 19));
    return pid;
  }
  std::vector<std::string> Records() const { return Run.RecordLines("runs.jsonl"); }
};

std::string port_short(const std::string& path) {
  return path.substr(path.find_last_of('/') + 1);
}

std::string field(const std::string& record, const std::string& name) {
  const size_t at = record.find("\"" + name + "\":");
  if (at == std::string::npos) return {};
  const size_t begin = at + name.size() + 3;
  if (record[begin] == '"')
    return record.substr(begin + 1, record.find('"', begin + 1) - begin - 1);
  return record.substr(begin, record.find_first_of(",}", begin) - begin);
}

// Three units on three link names at once, the second refusing its image,
// beside a port whose unit floods its line with garbage between its
// answers; the first unit's terminal named a second time. Each unit is
// loaded once, the runs overlap, the record names each port, and Ctrl+C
// between runs ends it with 1.
TEST(StationPorts, ThreeUnitsAtOnceOneRefusingBesideAFloodingOne) {
  TScratch lines;
  TUnitOnLine first(lines / "ttyUSB0", {"--flash-ms=100"});
  TUnitOnLine second(lines / "ttyUSB1", {"--flash-ms=100", "--reject=IMAGE REFUSED"});
  TUnitOnLine third(lines / "ttyUSB2", {"--flash-ms=100"});
  TPortsStation station({(lines / "ttyUSB0").string(), (lines / "ttyUSB1").string(),
                         (lines / "ttyUSB2").string(), first.Pty,
                         "sim:flood;pace;baud=115200;dir=flood"});
  station.Run.Start();
  ASSERT_TRUE(station.Await("PASS unit 1", 2)) << station.Said();
  ASSERT_TRUE(station.Await("FAIL unit 1")) << station.Said();
  ASSERT_TRUE(station.Await("done: take it off the line", 4)) << station.Said();
  station.Run.Signal(SIGINT);
  EXPECT_EQ(station.Run.Finish(), 1) << station.Run.Err();

  const std::string& said = station.Run.Err();
  EXPECT_TRUE(station.Run.Said("ttyUSB0: PASS unit 1: 1 file, 9000 bytes")) << said;
  EXPECT_TRUE(station.Run.Said("ttyUSB2: PASS unit 1: 1 file, 9000 bytes")) << said;
  EXPECT_TRUE(station.Run.Said("ttyUSB1: FAIL unit 1: ")) << said;
  EXPECT_TRUE(station.Run.Said("IMAGE REFUSED")) << said;
  EXPECT_TRUE(station.Run.Said(first.Pty + " is the same device as " +
                               (lines / "ttyUSB0").string() + ": served once"))
      << said;
  EXPECT_TRUE(station.Run.Said("station: ttyUSB1: 1 run, 0 passed, 1 failed\n")) << said;
  EXPECT_TRUE(station.Run.Said("station: all ports: 4 units, ")) << said;
  for (TUnitOnLine* unit : {&first, &second, &third}) EXPECT_EQ(unit->Uploads(), 1);
  EXPECT_EQ(ReadFile(first.Folder / "flash" / "8000.bin"), Pattern(9000, 31));
  EXPECT_EQ(ReadFile(third.Folder / "flash" / "8000.bin"), Pattern(9000, 31));

  const std::vector<std::string> records = station.Records();
  ASSERT_EQ(records.size(), 4u);
  std::vector<std::string> ports;
  std::string latestStart, earliestEnd = "~";
  for (const std::string& record : records) {
    ports.push_back(field(record, "port"));
    EXPECT_EQ(field(record, "run"), "1") << record;
    latestStart = std::max(latestStart, field(record, "start"));
    earliestEnd = std::min(earliestEnd, field(record, "end"));
  }
  std::sort(ports.begin(), ports.end());
  EXPECT_EQ(ports, (std::vector<std::string>{
                       (lines / "ttyUSB0").string(), (lines / "ttyUSB1").string(),
                       (lines / "ttyUSB2").string(), "sim:flood;pace;baud=115200;dir=flood"}));
  // All at once: every run had begun before any ended.
  EXPECT_LT(latestStart, earliestEnd);
}

// A glob over a folder of links: an adapter plugged in during another's
// upload is served; one pulled out during its upload fails and leaves, the
// others pass; plugged in again with a new unit, it counts its runs on.
TEST(StationPorts, AGlobGainsAnAdapterAndLosesOneMidUpload) {
  TScratch lines;
  TPortsStation station({(lines / "ttyACM*").string()}, 20000);
  auto a =
      std::make_unique<TUnitOnLine>(lines / "ttyACM0", std::vector<std::string>{"--flash-ms=200"});
  station.Run.Start();
  ASSERT_TRUE(station.Await("ttyACM0: upload: ")) << station.Said();
  TUnitOnLine b(lines / "ttyACM1", {"--flash-ms=200"});
  ASSERT_TRUE(station.Await("ttyACM1: upload: ")) << station.Said();
  {
    TUnitOnLine c(lines / "ttyACM2", {"--flash-ms=400"});
    ASSERT_TRUE(station.Await("ttyACM2: upload: " + (station.Run.Folder / "a.bin").string() +
                              ": 4000 of 20000"))
        << station.Said();
    c.TakeOff();
    ASSERT_TRUE(station.Await("ttyACM2: FAIL unit 1: ")) << station.Said();
    ASSERT_TRUE(station.Await("ttyACM2: its device has gone: no longer served")) << station.Said();
  }
  ASSERT_TRUE(station.Await("ttyACM0: PASS unit 1")) << station.Said();
  ASSERT_TRUE(station.Await("ttyACM1: PASS unit 1")) << station.Said();
  TUnitOnLine again(lines / "ttyACM2", {"--flash-ms=20"});
  ASSERT_TRUE(station.Await("ttyACM2: PASS unit 2")) << station.Said();
  station.Run.Signal(SIGINT);
  EXPECT_EQ(station.Run.Finish(), 1) << station.Run.Err();
  EXPECT_EQ(b.Uploads(), 1);
  EXPECT_EQ(a->Uploads(), 1);
  EXPECT_EQ(again.Uploads(), 1);
  std::vector<std::string> runs;
  for (const std::string& record : station.Records())
    runs.push_back(port_short(field(record, "port")) + " " + field(record, "run") + " " +
                   field(record, "exit_code"));
  std::sort(runs.begin(), runs.end());
  EXPECT_EQ(runs,
            (std::vector<std::string>{"ttyACM0 1 0", "ttyACM1 1 0", "ttyACM2 1 1", "ttyACM2 2 0"}));
  EXPECT_TRUE(station.Run.Said("station: all ports: 4 units, 3 passed, 1 failed"))
      << station.Run.Err();
}

// The process serving one port killed during its upload: that unit FAILs,
// its line is in the record, the port is served again and the unit still
// on it is not loaded twice. Ctrl+C then, with two ports in mid-upload,
// stops both at their next block: recorded interrupted, exit 130.
TEST(StationPorts, AKilledPortServerFailsItsUnitThenCtrlCDuringTwoUploads) {
  TPortsStation station(
      {"sim:dir=f1;flash-ms=200", "sim:dir=f2;flash-ms=300", "sim:dir=f3;flash-ms=300"}, 40000);
  station.Run.Start();
  const std::string upload = "upload: " + (station.Run.Folder / "a.bin").string();
  ASSERT_TRUE(station.Await("sim1: " + upload + ": 4000 of 40000")) << station.Said();
  const pid_t server = station.Server("sim1");
  ASSERT_GT(server, 0) << station.Said();
  ::kill(server, SIGKILL);
  ASSERT_TRUE(
      station.Await("sim1: FAIL unit 1: the process serving sim:dir=f1;flash-ms=200 "
                    "ended (SIGKILL)"))
      << station.Said();
  ASSERT_TRUE(station.Await("sim1: station: a unit is on the line from before")) << station.Said();
  EXPECT_NE(station.Server("sim1"), server);
  station.Run.Signal(SIGINT);
  EXPECT_EQ(station.Run.Finish(), 130) << station.Run.Err();
  EXPECT_TRUE(station.Run.Said("sim2: FAIL unit 1: ")) << station.Run.Err();
  EXPECT_TRUE(station.Run.Said("sim3: FAIL unit 1: ")) << station.Run.Err();
  EXPECT_FALSE(station.Run.Said("waiting for unit 2")) << station.Run.Err();
  EXPECT_TRUE(station.Run.Said("station: all ports: 3 units, 0 passed, 3 failed"))
      << station.Run.Err();

  const std::vector<std::string> records = station.Records();
  ASSERT_EQ(records.size(), 3u);
  for (const std::string& record : records) {
    SCOPED_TRACE(record);
    EXPECT_EQ(field(record, "run"), "1");
    if (field(record, "port") == "sim:dir=f1;flash-ms=200") {
      EXPECT_EQ(field(record, "outcome"), "stopped");
      EXPECT_EQ(field(record, "exit_code"), "1");
    } else {
      EXPECT_EQ(field(record, "outcome"), "interrupted");
      EXPECT_EQ(field(record, "exit_code"), "130");
      // The port closed by the stop is still the one the run was on.
      const std::string port = field(record, "port");
      EXPECT_TRUE(port == "sim:dir=f2;flash-ms=300" || port == "sim:dir=f3;flash-ms=300");
    }
  }
  for (const char* unit : {"f1", "f2", "f3"})
    EXPECT_FALSE(fs::exists(station.Run.Folder / unit / "8000.bin")) << unit;
}

}  // namespace
}  // namespace kestrel::e2e
