// Four stations at once: four unattended runs on four pseudo-terminals, each
// with a stand-alone simulated unit and a record of its own, disturb nothing
// of each other; a fifth run aimed at a port in use is kept off it and says
// why.

#include <gtest/gtest.h>

#include "E2eSupport.h"

namespace kestrel::e2e {
namespace {

struct TStation {
  TScratch UnitFolder;
  std::unique_ptr<TChild> Unit;
  std::string Pty;
  std::unique_ptr<TBatchRun> Run;
  std::string Image;
};

TEST(ParallelStations, FourRunsOnFourPortsEachDeliverTheirImage) {
  constexpr int kStations = 4;
  std::vector<TStation> stations(kStations);
  for (int i = 0; i < kStations; ++i) {
    TStation& s = stations[size_t(i)];
    // The first unit writes flash slowly, so that its port is held long
    // enough for a second run to try it.
    s.Unit = std::make_unique<TChild>(
        BinPath("kestrel-unit-sim"),
        std::vector<std::string>{"--dir=flash", i == 0 ? "--flash-ms=600" : "--flash-ms=5"},
        s.UnitFolder.Path(), std::map<std::string, std::string>{}, s.UnitFolder / "unit.txt", true);
    s.Pty = s.Unit->StdoutLine();
    ASSERT_EQ(s.Pty.rfind("/dev/pts/", 0), 0u) << s.Pty;
    s.Image = Pattern(size_t(9000 + 1000 * i), unsigned(10 + i));
    s.Run = std::make_unique<TBatchRun>(
        "_TC \"LOADR^M\"\n_LP 1\n_LF image.bin\n_LA 8000\n_LV " + std::to_string(i) + "\n_LD\n",
        s.Pty, std::vector<std::string>{"--record", "runs.jsonl"});
    WriteFile(s.Run->Folder / "image.bin", s.Image);
  }
  for (TStation& s : stations) s.Run->Start();

  // Once the first station uploads, another run on its port is turned away.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (ReadFile(stations[0].Run->Folder / "stderr.txt").find("/image.bin: 2000 of ") ==
             std::string::npos &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  TBatchRun intruder("_TC \"LOADR^M\"\n", stations[0].Pty);
  EXPECT_EQ(intruder.Run(), 2) << intruder.Err();
  EXPECT_TRUE(
      intruder.Said("status: COM 1: " + stations[0].Pty + " is in use by another program\n"))
      << intruder.Err();

  for (TStation& s : stations) {
    EXPECT_EQ(s.Run->Finish(), 0) << s.Run->Err();
    EXPECT_EQ(ReadFile(s.UnitFolder / "flash" / "8000.bin"), s.Image) << s.Pty;
    const std::string record = ReadFile(s.Run->Folder / "runs.jsonl");
    EXPECT_EQ(std::count(record.begin(), record.end(), '\n'), 1) << record;
    EXPECT_NE(record.find("\"port\":\"" + s.Pty + "\""), std::string::npos) << record;
    EXPECT_NE(record.find("\"size\":" + std::to_string(s.Image.size())), std::string::npos);
  }
}

}  // namespace
}  // namespace kestrel::e2e
