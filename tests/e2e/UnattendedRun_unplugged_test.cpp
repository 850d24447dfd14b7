// Unattended runs whose adapter goes away mid-upload, on the simulated cable
// and on a pseudo-terminal whose far end closes: each ends with status 1,
// the message names the lost device, and the unit keeps no image.

#include <gtest/gtest.h>

#include "E2eSupport.h"

namespace kestrel::e2e {
namespace {

constexpr const char* kScript =
    "_TC \"LOADR^M\"\n_LP 1\n_LF a.bin\n_LA 8000\n_LV 1\n_LD\n_SC \"AFTER\"\n";

TEST(UnpluggedRun, EndsWithStatusOneAndNamesTheLostDevice) {
  const std::string simDevice = TBatchRun::Sim("unplug-after=5000");
  TBatchRun sim(kScript, simDevice);
  WriteFile(sim.Folder / "a.bin", Pattern(9000, 21));

  // The stand-alone unit writes flash slowly, so the upload is still going
  // when it is killed and its end of the pseudo-terminal closes.
  TScratch toolFolder;
  auto tool = std::make_unique<TChild>(
      BinPath("kestrel-unit-sim"), std::vector<std::string>{"--dir=flash", "--flash-ms=400"},
      toolFolder.Path(), std::map<std::string, std::string>{}, toolFolder / "unit.txt", true);
  const std::string pty = tool->StdoutLine();
  ASSERT_EQ(pty.rfind("/dev/pts/", 0), 0u) << pty;
  TBatchRun onPty(kScript, pty);
  WriteFile(onPty.Folder / "a.bin", Pattern(20000, 22));

  sim.Start();
  onPty.Start();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (ReadFile(onPty.Folder / "stderr.txt").find("/a.bin: 4000 of ") ==
             std::string::npos &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  tool.reset();  // killed: the pseudo-terminal's master closes

  for (auto [run, device] : {std::pair{&sim, simDevice}, std::pair{&onPty, pty}}) {
    SCOPED_TRACE(device);
    EXPECT_EQ(run->Finish(), 1) << run->Err();
    EXPECT_TRUE(run->Said("message: Error! Device " + device +
                          " was lost (unplugged or switched off). Cancel upload.\n"))
        << run->Err();
    EXPECT_TRUE(run->Said("status: Unsuccessful. Upload terminated by user/error(s).\n"));
  }
  EXPECT_FALSE(sim.HasImage("8000"));
  EXPECT_EQ(sim.ReceivedByUnit().find("AFTER"), std::string::npos);
  EXPECT_FALSE(fs::exists(toolFolder / "flash" / "8000.bin"));
}

// A unit that hangs up once it has the whole image (one that restarts into
// its new firmware, say) is told as a lost device as soon as the loader
// looks for its prompt, instead of after the three prompt waits.
TEST(UnpluggedRun, AUnitThatHangsUpAfterTheDataIsToldAsLostAtOnce) {
  TScratch toolFolder;
  auto tool = std::make_unique<TChild>(
      BinPath("kestrel-unit-sim"), std::vector<std::string>{"--dir=flash"}, toolFolder.Path(),
      std::map<std::string, std::string>{}, toolFolder / "unit.txt", true);
  const std::string pty = tool->StdoutLine();
  ASSERT_EQ(pty.rfind("/dev/pts/", 0), 0u) << pty;
  // The post-upload pause stays at its 3600 ms: the unit is gone long
  // before the loader looks for the prompt.
  TBatchRun run("_TC \"LOADR^M\"\n_LF a.bin\n_LA 8000\n_LV 1\n_LD\n_SC \"AFTER\"\n", pty);
  WriteFile(run.Folder / "a.bin", Pattern(5000, 23));
  run.Start();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (ReadFile(toolFolder / "unit.txt").find("upload to 8000, 5000 of 5000 bytes: ok") ==
             std::string::npos &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  tool.reset();  // killed: the pseudo-terminal's master closes
  const auto hungUp = std::chrono::steady_clock::now();

  EXPECT_EQ(run.Finish(), 1) << run.Err();
  // The pause, then no wait at all; the three prompt waits alone would take
  // 65 + 65 + 170 ticks of 55 ms.
  EXPECT_LT(std::chrono::steady_clock::now() - hungUp,
            std::chrono::milliseconds(3600 + (65 + 65 + 170) * 55 / 2));
  EXPECT_TRUE(run.Said("message: Error! Device " + pty +
                       " was lost (unplugged or switched off). Cancel upload.\n"))
      << run.Err();
  EXPECT_TRUE(run.Said("status: Unsuccessful. Upload terminated by user/error(s).\n"));
  EXPECT_TRUE(fs::exists(toolFolder / "flash" / "8000.bin"));
}

}  // namespace
}  // namespace kestrel::e2e
