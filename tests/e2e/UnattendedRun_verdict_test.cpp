// What an unattended run says when it did not load every file it named
// whole: never SUCCESS, never status 0, and the unit gets no upload line for
// a file that cannot be sent as announced, or only cut to its fields. Signals, settings named on
// the command line and names relative to the script.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <functional>

#include "E2eSupport.h"

namespace kestrel::e2e {
namespace {

constexpr const char* kLoader = "_TC \"LOADR^M\"\n_LP 1\n";
constexpr const char* kSuccess = "status: SUCCESS. Reading script file complete\n";
constexpr const char* kUnsuccessful = "status: Unsuccessful. Upload terminated by user/error(s).\n";

QJsonObject last_record(const fs::path& file) {
  std::string text = ReadFile(file);
  while (!text.empty() && text.back() == '\n') text.pop_back();
  const std::string line =
      text.substr(text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1);
  return QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
}

std::string text(const QJsonObject& o, const char* key) {
  return o[key].toString().toStdString();
}

TEST(BatchVerdict, ARunThatLoadsLessThanEveryNamedFileFails) {
  struct TCase {
    const char* Name;
    std::string Script;
    std::function<void(const TScratch&)> Prepare;
    const char* Said;  // what explains it on stderr
  };
  const std::string a = Pattern(5000, 31);
  const std::vector<TCase> cases = {
      {"a file of 4 GiB and more", "_LF big.bin\n_LA 9000\n_LV 1\n_LD\n",
       [](const TScratch& f) {
         WriteFile(f / "big.bin", "");
         fs::resize_file(f / "big.bin", 4294967299ull);  // sparse
       },
       "more than an upload can announce"},
      {"a FIFO", "_LF pipe\n_LA 9000\n_LV 1\n_LD\n",
       [](const TScratch& f) { ::mkfifo((f / "pipe").c_str(), 0600); }, "pipe (FIFO)"},
      {"a device", "_LF /dev/zero\n_LA 9000\n_LV 1\n_LD\n", nullptr, "/dev/zero: a device"},
      {"a read error", "_LF /proc/self/mem\n_LA 9000\n_LV 1\n_LD\n", nullptr, "read error"},
      {"a second _LF before _LD", "_LF a.bin\n_LA 9000\n_LV 1\n_LF b.bin\n_LD\n",
       [&](const TScratch& f) {
         WriteFile(f / "a.bin", a);
         WriteFile(f / "b.bin", a + Pattern(3000, 32));
       },
       "_LD needs an _LA and an _LV after the file's _LF"},
      {"upload lines the unit would misread",
       "_LC \"\"\n_LF a.bin\n_LA 9000\n_LV 1\n_LD\n"
       "_LC \"LF\"\n_LF a.bin\n_LA 9000 0 0\n_LV 1\n_LD\n"
       "_LF a.bin\n_LA 9000\n_LV 1\r2\n_LD\n",
       [&](const TScratch& f) { WriteFile(f / "a.bin", a); }, "holds a blank"},
      // Cut to its field, the name is another file's, the address another
      // place in the unit's flash.
      {"an _LF line longer than a script line",
       "_LF " + std::string(199, 'n') + "\n_LA 9000\n_LV 1\n_LD\n",
       [&](const TScratch& f) {
         WriteFile(f / std::string(195, 'n'), a);
         WriteFile(f / std::string(199, 'n'), a);
       },
       "Line 3 of run.sld: the line is 203 characters long, more than the 199 a script line "
       "holds. Cannot upload file "},
      {"an _LA address longer than its field",
       "_LF a.bin\n_LA 9" + std::string(51, '0') + "\n_LV 1\n_LD\n",
       [&](const TScratch& f) { WriteFile(f / "a.bin", a); },
       "Line 4 of run.sld: the load address is 52 characters long, more than the 49 its field "
       "holds. Cannot upload file "},
  };

  std::vector<std::unique_ptr<TBatchRun>> runs;
  for (const TCase& c : cases) {
    runs.push_back(std::make_unique<TBatchRun>(kLoader + c.Script, TBatchRun::Sim(),
                                               std::vector<std::string>{"--record", "runs.jsonl"}));
    if (c.Prepare) c.Prepare(runs.back()->Folder);
    runs.back()->Start();
  }
  for (size_t i = 0; i < cases.size(); ++i) {
    TBatchRun& run = *runs[i];
    SCOPED_TRACE(cases[i].Name);
    EXPECT_EQ(run.Finish(), 1) << run.Err();
    EXPECT_FALSE(run.Said(kSuccess)) << run.Err();
    EXPECT_TRUE(run.Said(kUnsuccessful)) << run.Err();
    EXPECT_TRUE(run.Said(cases[i].Said)) << run.Err();
    EXPECT_TRUE(run.Said("summary: FAILED: 0 of ")) << run.Err();
    // Nothing was announced, so nothing was stored.
    EXPECT_EQ(run.ReceivedByUnit().find("9000"), std::string::npos) << run.ReceivedByUnit();
    EXPECT_FALSE(run.HasImage("9000"));
    // One entry per file named, none of them loaded, each saying why.
    const QJsonObject record = last_record(run.Folder / "runs.jsonl");
    EXPECT_EQ(record["exit_code"].toInt(), 1);
    const QJsonArray files = record["uploads"].toArray();
    ASSERT_FALSE(files.isEmpty());
    EXPECT_EQ(record["files_named"].toInt(), files.size());
    for (const auto& file : files) {
      EXPECT_EQ(text(file.toObject(), "result"), "not sent");
      EXPECT_FALSE(text(file.toObject(), "message").empty());
    }
  }
}

// An upload file that goes away between its checksum and its upload.
TEST(BatchVerdict, AFileDeletedBeforeItsUploadIsNotAnnounced) {
  TBatchRun run(std::string(kLoader) + "_LF a.bin\n_LA 9000\n_LV 1\n_DM \"now\"\n_DY 100\n_LD\n",
                TBatchRun::Sim());
  WriteFile(run.Folder / "a.bin", Pattern(3000, 33));
  run.Start();
  ASSERT_TRUE(run.AwaitSaid("note: now"));
  fs::remove(run.Folder / "a.bin");
  EXPECT_EQ(run.Finish(), 1) << run.Err();
  EXPECT_TRUE(run.Said("message: Error opening " + (run.Folder / "a.bin").string()));
  EXPECT_TRUE(run.Said(kUnsuccessful));
  EXPECT_EQ(run.ReceivedByUnit().find("9000"), std::string::npos);
}

// SIGINT, SIGTERM and SIGHUP stop an upload at its next block: the port is
// let go, the record says "interrupted", and the status tells the signal.
TEST(BatchVerdict, SignalsStopTheRunAndLeaveTheRecord) {
  const std::vector<int> stopSignals = {SIGINT, SIGTERM, SIGHUP};
  std::vector<std::unique_ptr<TBatchRun>> runs;
  for (size_t i = 0; i < stopSignals.size(); ++i) {
    runs.push_back(std::make_unique<TBatchRun>(
        std::string(kLoader) + "_LF a.bin\n_LA 9000\n_LV 1\n_LD\n_SC \"AFTER\"\n",
        TBatchRun::Sim("pace"), std::vector<std::string>{"--record", "runs.jsonl"}));
    WriteFile(runs.back()->Folder / "a.bin", Pattern(40000, 34));  // about 10 s on the wire
    runs.back()->Start();
  }
  for (size_t i = 0; i < stopSignals.size(); ++i) {
    ASSERT_TRUE(runs[i]->AwaitSaid("/a.bin: 2000 of 40000 bytes"));
    runs[i]->Signal(stopSignals[i]);
  }
  for (size_t i = 0; i < stopSignals.size(); ++i) {
    TBatchRun& run = *runs[i];
    SCOPED_TRACE(stopSignals[i]);
    EXPECT_EQ(run.Finish(), 128 + stopSignals[i]) << run.Err();
    EXPECT_TRUE(run.Said("kestrel: run interrupted by SIG")) << run.Err();
    EXPECT_TRUE(run.Said("summary: INTERRUPTED: 0 of 1 files loaded")) << run.Err();
    EXPECT_FALSE(run.HasImage("9000"));
    EXPECT_EQ(run.ReceivedByUnit().find("AFTER"), std::string::npos);
    const QJsonObject record = last_record(run.Folder / "runs.jsonl");
    EXPECT_EQ(text(record, "outcome"), "interrupted");
    EXPECT_EQ(record["exit_code"].toInt(), 128 + stopSignals[i]);
    EXPECT_EQ(text(record["uploads"].toArray()[0].toObject(), "result"), "interrupted");
  }
}

TEST(BatchVerdict, FilesNamedOnTheCommandLineMustBeUsable) {
  // A settings file named explicitly and missing: no port is opened.
  TBatchRun noIni("_SC \"X\"\n", TBatchRun::Sim(), {"--ini", "missing.ini"});
  EXPECT_EQ(noIni.Run(), 3) << noIni.Err();
  EXPECT_TRUE(noIni.Said("kestrel: cannot read the settings file missing.ini: no such file"))
      << noIni.Err();
  EXPECT_EQ(noIni.ReceivedByUnit(), "");

  // A script that cannot be read: said before any port is probed, even
  // with a unit that would keep the probe waiting.
  TBatchRun noScript("", TBatchRun::Sim("silent"));
  noScript.ScriptArgument("nothere.sld");
  EXPECT_EQ(noScript.Run(), 3) << noScript.Err();
  EXPECT_TRUE(noScript.Said("kestrel: cannot read the script nothere.sld: no such file"))
      << noScript.Err();
  EXPECT_FALSE(noScript.Said("wait: ")) << noScript.Err();
  EXPECT_EQ(noScript.ReceivedByUnit(), "");

  // A script elsewhere loads the file beside it, not one of the same name in
  // the folder the run started in.
  TBatchRun other("", TBatchRun::Sim());
  fs::create_directory(other.Folder / "other");
  WriteFile(other.Folder / "other" / "line.sld",
            std::string(kLoader) + "_LF fw.bin\n_LA 8000\n_LV 1\n_LD\n");
  WriteFile(other.Folder / "other" / "fw.bin", Pattern(2500, 35));
  WriteFile(other.Folder / "fw.bin", Pattern(2500, 36));
  other.ScriptArgument("other/line.sld");
  EXPECT_EQ(other.Run(), 0) << other.Err();
  EXPECT_EQ(other.Image("8000"), Pattern(2500, 35));
}

}  // namespace
}  // namespace kestrel::e2e
