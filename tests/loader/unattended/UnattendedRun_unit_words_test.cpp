// Units that did not take an image, each saying so in words of its own:
// the run fails, none of the image reaches a unit that reads it as
// commands, and the unit's words are the cause on stderr's last lines and
// in the record. Run in process on the virtual clock, so that a unit that
// hangs costs no time.

#include <gtest/gtest.h>
#include <signal.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "InProcessBatch.h"

namespace kestrel::e2e {
namespace {

QJsonObject last_record(const fs::path& file) {
  std::string text = ReadFile(file);
  while (!text.empty() && text.back() == '\n') text.pop_back();
  const size_t start = text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1;
  return QJsonDocument::fromJson(QByteArray::fromStdString(text.substr(start))).object();
}

// The line of `err` right before its summary line.
std::string line_before_summary(const std::string& err) {
  const size_t summary = err.rfind("\nsummary: ");
  if (summary == std::string::npos) return "(no summary)";
  const size_t start = err.rfind('\n', summary - 1);
  return err.substr(start == std::string::npos ? 0 : start + 1,
                    summary - (start == std::string::npos ? 0 : start + 1));
}

TEST(UnitWords, AUnitThatDidNotTakeTheImageFailsTheRunInItsOwnWords) {
  struct TCase {
    const char* Name;
    const char* Unit;
    const char* Words;  // what the cause quotes
    bool ImageSent;     // whether the data went out before the unit said no
  };
  const TCase cases[] = {
      {"refuses the upload line, stays in loader mode", "refuse-upload=ERROR: ADDRESS OUT OF RANGE",
       "\"ERROR: ADDRESS OUT OF RANGE\"", false},
      {"refuses the upload line, leaves loader mode",
       "refuse-upload=LOADER TIMED OUT;refuse-leaves", "\"LOADER TIMED OUT\"", false},
      {"refuses the image after the data", "corrupt=5", "\"UPLOAD FAILED: CHECKSUM ", true},
      {"a \">\" inside its failure, then its normal prompt",
       "reject=UPLOAD FAILED: CRC 1234 -> REJECTED", "\"UPLOAD FAILED: CRC 1234 -> REJECTED\"",
       true},
      {"hangs after the data", "dropout=3000", "The unit said nothing since the data", true},
  };
  const std::string a = Pattern(3000, 61);
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    // Two files named: the second is never reached, and still counted.
    TBatchRun run(
        "_TC \"LOADR^M\"\n_LP 1\n_LF a.bin\n_LA 8000\n_LV 1\n_LD\n"
        "_LF b.bin\n_LA 9000\n_LV 1\n_LD\n",
        TBatchRun::Sim(c.Unit), {"--record", "runs.jsonl"});
    WriteFile(run.Folder / "a.bin", a);
    WriteFile(run.Folder / "b.bin", Pattern(100, 62));
    EXPECT_EQ(run_in_process(run), 1) << run.Err();
    EXPECT_FALSE(run.Said("SUCCESS")) << run.Err();
    EXPECT_TRUE(run.Said("summary: FAILED: 0 of 2 files loaded")) << run.Err();
    EXPECT_NE(line_before_summary(run.Err()).find(c.Words), std::string::npos) << run.Err();
    EXPECT_FALSE(run.HasImage("8000"));
    // A unit reading the image as commands gets not a byte of it.
    const bool imageSent = run.ReceivedByUnit().find(a.substr(0, 16)) != std::string::npos;
    EXPECT_EQ(imageSent, c.ImageSent);
    EXPECT_EQ(run.ReceivedByUnit().find("LF 9000"), std::string::npos);

    const QJsonObject record = last_record(run.Folder / "runs.jsonl");
    EXPECT_EQ(record["exit_code"].toInt(), 1);
    EXPECT_EQ(record["files_named"].toInt(), 2) << "every file the script names counts";
    const QJsonObject upload = record["uploads"].toArray()[0].toObject();
    EXPECT_NE(upload["result"].toString(), "ok");
    EXPECT_NE(upload["message"].toString().toStdString().find(c.Words), std::string::npos)
        << upload["message"].toString().toStdString();
  }
}

// A stop (Ctrl+C) that lands once the unit has shown its prompt after the
// last file: that file is loaded, and the record says so.
TEST(UnitWords, AStopAfterTheUnitConfirmedTheLastFileLeavesItLoaded) {
  TBatchRun run("_TC \"LOADR^M\"\n_LP 1\n_LF a.bin\n_LA 8000\n_LV 1\n_LD\n", TBatchRun::Sim(),
                {"--record", "runs.jsonl"});
  WriteFile(run.Folder / "a.bin", Pattern(2500, 63));
  struct TStopOnConfirmation : TRunObserver {
    TLoaderRun* Run = nullptr;
    std::string Said;
    void UnitBytes(const char* bytes, size_t count) override {
      Said.append(bytes, count);
      if (Said.find("UPLOAD OK") != std::string::npos && Said.back() == '>')
        Run->request_stop("interrupted by SIGINT", SIGINT);
    }
  } stopper;
  const auto stopOnConfirmation = [&stopper](TLoaderRun& run) {
    stopper.Run = &run;
    run.add_observer(stopper);
  };
  EXPECT_EQ(run_in_process(run, false, stopOnConfirmation), 128 + SIGINT) << run.Err();
  EXPECT_TRUE(run.Said("summary: INTERRUPTED: 1 of 1 files loaded")) << run.Err();
  const QJsonObject record = last_record(run.Folder / "runs.jsonl");
  EXPECT_EQ(record["outcome"].toString(), "interrupted");
  const QJsonObject upload = record["uploads"].toArray()[0].toObject();
  EXPECT_EQ(upload["result"].toString(), "ok");
  EXPECT_EQ(upload["message"].toString(), "");
}

}  // namespace
}  // namespace kestrel::e2e
