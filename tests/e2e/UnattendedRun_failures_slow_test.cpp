// Failures that only show once the loader's own timeouts have run out (up
// to about 24 s each). All runs start together, so the test lasts as long as
// the slowest of them.

#include <gtest/gtest.h>

#include "E2eSupport.h"

namespace kestrel::e2e {
namespace {

constexpr const char* kUnsuccessful = "status: Unsuccessful. Upload terminated by user/error(s).\n";
constexpr const char* kNoPromptAfter =
    "message: Error! Unable to receive prompt after upload. Upload unsuccessful. Exiting script.\n";

TEST(BatchFailures, EachEndsWithItsMessageAndStatus) {
  const std::string section = "_LF a.bin\n_LA 8000\n_LV 1\n_LD\n_SC \"AFTER\"\n";
  const std::string data = Pattern(4500, 7);

  // Nobody answers the probe: the script never starts.
  TBatchRun silent("_SC \"X\"\n", TBatchRun::Sim("silent"));
  // The unit stays out of loader mode; it answers with its normal prompt.
  TBatchRun noLoader("_TC \"LOADR^M\"\n_SC \"AFTER\"\n", TBatchRun::Sim("no-loader"));
  // The unit answers, but never with the loader prompt the script asks for.
  TBatchRun wrongPrompt("_PC \"]\"\n_TC \"LOADR^M\"\n_SC \"AFTER\"\n", TBatchRun::Sim());
  // The unit holds CTS low for good once the first block has arrived.
  // Paced, so that the unit has lowered CTS long before a second block could
  // have crossed the line, however slowly its thread is scheduled.
  TBatchRun ctsStuck("_TC \"LOADR^M\"\n" + section, TBatchRun::Sim("cts-stuck;pace"));
  // The unit falls silent in the middle of the second block.
  TBatchRun dropout("_TC \"LOADR^M\"\n" + section, TBatchRun::Sim("dropout=3000"));
  // The stand-alone unit goes away while the script pauses before an upload.
  TScratch toolFolder;
  TChild tool(BinPath("kestrel-unit-sim"), {"--transcript=unit.txt"}, toolFolder.Path(), {},
              toolFolder / "unit-stderr.txt", true);
  const std::string pty = tool.StdoutLine();
  ASSERT_EQ(pty.rfind("/dev/pts/", 0), 0u) << pty;
  TBatchRun gone("_TC \"LOADR^M\"\n_DY 1000\n" + section, pty);

  std::vector<TBatchRun*> all = {&silent, &noLoader, &wrongPrompt, &ctsStuck, &dropout, &gone};
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

  EXPECT_EQ(noLoader.Finish(), 1);
  EXPECT_TRUE(noLoader.Said("message: Error! Unit not in Loader Mode! Exiting script\n"))
      << noLoader.Err();
  EXPECT_EQ(noLoader.ReceivedByUnit().find("AFTER"), std::string::npos);
  // The text, then the loader-mode command and three carriage returns, then
  // one more for the normal prompt.
  EXPECT_NE(noLoader.ReceivedByUnit().find("LOADR\rLOADR\r\r\r\r\r"), std::string::npos);

  EXPECT_EQ(wrongPrompt.Finish(), 1);
  EXPECT_TRUE(
      wrongPrompt.Said("message: Error! Unable to get response from unit(_TC)! Exiting script\n"))
      << wrongPrompt.Err();

  // The unit drops CTS once the block's last byte is in: when the loader
  // looks before that, it queues the next block, which CTS holds back (or,
  // when the line takes it before CTS falls, the wait for CTS fails after it).
  // Either way the upload ends there and the third block never goes out.
  EXPECT_EQ(ctsStuck.Finish(), 1);
  const bool noCts =
      ctsStuck.Said("message: Error! CTS line not set. Check RS232 connection. Cancel upload.\n");
  const bool heldBack = ctsStuck.Said(
      "message: Error! Output Buffer never empties. Check RS232 connection. Cancel upload.\n");
  EXPECT_TRUE(noCts != heldBack) << ctsStuck.Err();
  EXPECT_TRUE(ctsStuck.Said("message: Upload cancelled/incomplete!!! Upload for " +
                            (ctsStuck.Folder / "a.bin").string() + " section was incomplete.\n"));
  EXPECT_TRUE(ctsStuck.Said(kNoPromptAfter));
  EXPECT_TRUE(ctsStuck.Said(kUnsuccessful));
  EXPECT_FALSE(ctsStuck.Said(" bytes (100%)\n"));
  EXPECT_FALSE(ctsStuck.HasImage("8000"));
  EXPECT_EQ(ctsStuck.ReceivedByUnit().find("AFTER"), std::string::npos);

  EXPECT_EQ(dropout.Finish(), 1);
  EXPECT_TRUE(dropout.Said(kNoPromptAfter)) << dropout.Err();
  EXPECT_TRUE(dropout.Said(kUnsuccessful));
  EXPECT_FALSE(dropout.HasImage("8000"));
  EXPECT_EQ(dropout.ReceivedByUnit().find("AFTER"), std::string::npos);

  EXPECT_EQ(gone.Finish(), 1);
  EXPECT_TRUE(
      gone.Said("message: Error! Unable to receive prompt before upload.... Exiting script.\n"))
      << gone.Err();
  EXPECT_FALSE(gone.Said("upload: a.bin"));
}

}  // namespace
}  // namespace kestrel::e2e
