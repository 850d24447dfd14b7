// Failures that only show once the loader's own timeouts have run out, on
// the real clock in the built program (the others run in process on the
// virtual clock: UnattendedRun_timeouts_test). Both runs start together, so
// the test lasts as long as the slower of them.

#include <gtest/gtest.h>

#include "E2eSupport.h"

namespace kestrel::e2e {
namespace {

TEST(BatchFailures, EachEndsWithItsMessageAndStatus) {
  const std::string section = "_LF a.bin\n_LA 8000\n_LV 1\n_LD\n_SC \"AFTER\"\n";
  const std::string data = Pattern(4500, 7);

  // Nobody answers the probe: the script never starts.
  TBatchRun silent("_SC \"X\"\n", TBatchRun::Sim("silent"));
  // The stand-alone unit goes away while the script pauses before an upload.
  TScratch toolFolder;
  TChild tool(BinPath("kestrel-unit-sim"), {"--transcript=unit.txt"}, toolFolder.Path(), {},
              toolFolder / "unit-stderr.txt", true);
  const std::string pty = tool.StdoutLine();
  ASSERT_EQ(pty.rfind("/dev/pts/", 0), 0u) << pty;
  TBatchRun gone("_TC \"LOADR^M\"\n_DY 1000\n" + section, pty);

  std::vector<TBatchRun*> all = {&silent, &gone};
  for (TBatchRun* run : all) {
    WriteFile(run->Folder / "a.bin", data);
    run->Start();
  }
  // The unit is unplugged once it has answered the loader-mode command with
  // its loader prompt, while the script pauses.
  auto answeredLoaderMode = [&] {
    const std::string transcript = ReadFile(toolFolder / "unit.txt");
    const size_t command = transcript.find("rx 4c 4f 41 44 52 0d");
    if (command == std::string::npos) return false;
    for (size_t line = transcript.find(" tx ", command); line != std::string::npos;
         line = transcript.find(" tx ", line + 1)) {
      const size_t bytes = line + 4;
      const std::string hex = transcript.substr(bytes, transcript.find('|', bytes) - bytes);
      if ((" " + hex).find(" 3e") != std::string::npos) return true;
    }
    return false;
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!answeredLoaderMode() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  tool.Signal(SIGKILL);
  for (TBatchRun* run : all) run->Finish();

  EXPECT_EQ(silent.Finish(), 2);
  EXPECT_TRUE(
      silent.Said("message: Error!! COM port communication failed. Please check RS232 "
                  "connection/INI settings. Exiting application\n"))
      << silent.Err();
  EXPECT_FALSE(silent.Said("Reading script file"));

  EXPECT_EQ(gone.Finish(), 1);
  EXPECT_TRUE(
      gone.Said("message: Error! Unable to receive prompt before upload.... Exiting script.\n"))
      << gone.Err();
  EXPECT_FALSE(gone.Said("upload: a.bin"));
}

}  // namespace
}  // namespace kestrel::e2e
