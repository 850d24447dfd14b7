// Unattended runs that end once the loader's own timeouts have run out,
// run in process with those waits on the virtual clock: the prompt waits of
// a silent unit, of one that stays out of loader mode or never shows the
// loader prompt, the CTS wait of a unit that holds CTS low for good, and
// the prompt check after an upload the unit dropped out of or rejected.

#include <gtest/gtest.h>

#include "InProcessBatch.h"

namespace kestrel::e2e {
namespace {

constexpr const char* kLoader = "_TC \"LOADR^M\"\n_LP 1\n";
constexpr const char* kNoUnit =
    "message: Error!! COM port communication failed. Please check RS232 connection/INI settings. "
    "Exiting application\n";
constexpr const char* kUnsuccessful = "status: Unsuccessful. Upload terminated by user/error(s).\n";
constexpr const char* kNoPromptAfter =
    "message: Error! Unable to receive prompt after upload. Upload unsuccessful. Exiting script.\n";

TEST(BatchTimeouts, EachEndsWithItsMessageAndStatus) {
  const std::string section = "_LF a.bin\n_LA 8000\n_LV 1\n_LD\n_SC \"AFTER\"\n";
  const std::string data = Pattern(4500, 7);

  // The unit stays out of loader mode; it answers with its normal prompt.
  TBatchRun noLoader("_TC \"LOADR^M\"\n_SC \"AFTER\"\n", TBatchRun::Sim("no-loader"));
  EXPECT_EQ(run_in_process(noLoader), 1);
  EXPECT_TRUE(noLoader.Said("message: Error! Unit not in Loader Mode! Exiting script\n"))
      << noLoader.Err();
  EXPECT_EQ(noLoader.ReceivedByUnit().find("AFTER"), std::string::npos);
  // The text, then the loader-mode command and three carriage returns, then
  // one more for the normal prompt.
  EXPECT_NE(noLoader.ReceivedByUnit().find("LOADR\rLOADR\r\r\r\r\r"), std::string::npos);

  // The unit answers, but never with the loader prompt the script asks for.
  TBatchRun wrongPrompt("_PC \"]\"\n_TC \"LOADR^M\"\n_SC \"AFTER\"\n", TBatchRun::Sim());
  EXPECT_EQ(run_in_process(wrongPrompt), 1);
  EXPECT_TRUE(
      wrongPrompt.Said("message: Error! Unable to get response from unit(_TC)! Exiting script\n"))
      << wrongPrompt.Err();

  // The unit holds CTS low for good once the first block has arrived.
  // Paced, so that the unit has lowered CTS long before a second block could
  // have crossed the line, however slowly its thread is scheduled. When the
  // loader looks before CTS falls, it queues the next block, which CTS holds
  // back (or, when the line takes it before CTS falls, the wait for CTS
  // fails after it). Either way the upload ends there and the third block
  // never goes out.
  TBatchRun ctsStuck("_TC \"LOADR^M\"\n" + section, TBatchRun::Sim("cts-stuck;pace"));
  WriteFile(ctsStuck.Folder / "a.bin", data);
  EXPECT_EQ(run_in_process(ctsStuck), 1);
  const bool noCts =
      ctsStuck.Said("message: Error! CTS line not set. Check RS232 connection. Cancel upload.\n");
  const bool heldBack = ctsStuck.Said(
      "message: Error! Output Buffer never empties. Check RS232 connection. Cancel upload.\n");
  EXPECT_TRUE(noCts != heldBack) << ctsStuck.Err();
  EXPECT_TRUE(ctsStuck.Said("message: Upload cancelled/incomplete!!! Upload for " +
                            (ctsStuck.Folder / "a.bin").string() + " section was incomplete.\n"));
  // The failure ends the upload at once: no progress line after its
  // message, and no prompt check sends the unit anything more.
  const std::string err = ctsStuck.Err();
  EXPECT_EQ(err.find("upload: ", err.find("message: Error! ")), std::string::npos) << err;
  EXPECT_FALSE(ctsStuck.Said(kNoPromptAfter));
  EXPECT_TRUE(ctsStuck.Said(kUnsuccessful));
  EXPECT_FALSE(ctsStuck.Said(" bytes (100%)\n"));
  EXPECT_FALSE(ctsStuck.HasImage("8000"));
  EXPECT_EQ(ctsStuck.ReceivedByUnit().find("AFTER"), std::string::npos);

  // The unit falls silent in the middle of the second block.
  TBatchRun dropout("_TC \"LOADR^M\"\n" + section, TBatchRun::Sim("dropout=3000"));
  WriteFile(dropout.Folder / "a.bin", data);
  EXPECT_EQ(run_in_process(dropout), 1);
  EXPECT_TRUE(dropout.Said(kNoPromptAfter)) << dropout.Err();
  EXPECT_TRUE(dropout.Said(kUnsuccessful));
  EXPECT_FALSE(dropout.HasImage("8000"));
  EXPECT_EQ(dropout.ReceivedByUnit().find("AFTER"), std::string::npos);
}

// What the operator reads on stderr when the unit says why it failed, and
// while Kestrel waits for a unit that does not answer.
TEST(BatchTimeouts, TheUnitsWordsAndEachFruitlessWaitAreShown) {
  TBatchRun corrupt(std::string(kLoader).append("_LF a.bin\n_LA 8000\n_LV 1\n_LD\n"),
                    TBatchRun::Sim("corrupt=5"));
  WriteFile(corrupt.Folder / "a.bin", Pattern(3000, 37));
  // On the real clock: the unit's answer must be there before the prompt
  // waits are over, however loaded the machine.
  EXPECT_EQ(run_in_process(corrupt, true), 1) << corrupt.Err();
  EXPECT_TRUE(corrupt.Said("unit: LOADING 3000 BYTES AT 8000\n")) << corrupt.Err();
  EXPECT_TRUE(corrupt.Said("unit: UPLOAD FAILED: CHECKSUM ")) << corrupt.Err();
  EXPECT_TRUE(corrupt.Said("summary: FAILED: 0 of 1 files loaded")) << corrupt.Err();

  TBatchRun silent("_SC \"X\"\n", TBatchRun::Sim("silent"));
  // COM 1 is the port to try first, and then among the ports every start
  // probes: it is probed once all the same.
  WriteFile(silent.Folder / "LoaderDefault.ini", SettingsText({{1, "COM1"}}));
  EXPECT_EQ(run_in_process(silent), 2) << silent.Err();
  EXPECT_TRUE(silent.Said("wait: no \"#\" from COM 1 yet (try 1 of 2)\n")) << silent.Err();
  EXPECT_TRUE(silent.Said("wait: no \">\" from COM 1 yet (try 2 of 2)\n")) << silent.Err();
  EXPECT_EQ(silent.Err().find("unit: "), std::string::npos) << silent.Err();
  // Opened, but nobody answered either prompt: probed once, said once, and
  // named again as the cause right above the verdict.
  const std::string why = "COM 1: " + TBatchRun::Sim("silent") +
                          " opened, but no prompt (\"#\" or \">\") came within 3.6 s; check the "
                          "cable, the unit's power and the baud rate (38400)";
  const auto count = [&](const std::string& text) {
    size_t n = 0;
    for (size_t at = silent.Err().find(text); at != std::string::npos;
         at = silent.Err().find(text, at + 1))
      ++n;
    return n;
  };
  EXPECT_EQ(count("status: " + why + "\n"), 1u) << silent.Err();
  EXPECT_EQ(count("wait: no \"#\" from COM 1"), 1u) << silent.Err();
  EXPECT_TRUE(silent.Said(kNoUnit)) << silent.Err();
  EXPECT_TRUE(silent.Said("; " + why + "; COM 2: ")) << silent.Err();
}

}  // namespace
}  // namespace kestrel::e2e
