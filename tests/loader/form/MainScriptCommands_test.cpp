// The script runner in the window, its port on a pseudo-terminal whose far
// end the test reads: what a script sends, how lines are read, the command
// line table's limits, the flags that chain an upload section, the compare
// commands, picking a script and a port that closes during a run.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QDir>
#include <QElapsedTimer>
#include <QPushButton>
#include <QRegularExpression>
#include <QTimer>
#include <fstream>
#include <thread>

#include "LoaderTestApp.h"
#include "PtyPair.h"
#include "RecordingOperatorDialog.h"
#include "loader/core/RunRecord.h"
#include "loader/form/MainUnit.h"
#include "loader/windows/Progress.h"

namespace kestrel {
namespace {

class ScriptRunner : public ::testing::Test {
 protected:
  void SetUp() override {
    test_application();
    ASSERT_TRUE(Pty.ok());
    ::setenv("KESTREL_COM4", Pty.slavePath().c_str(), 1);
    Form = std::make_unique<TKestrelForm>(Dialog);
    Form->SetCompanions(&Progress, nullptr);
    Form->ApdComPort1->SetComNumber(4);
    Form->ApdComPort1->SetOpen(true);
    Pty.DropHolder();
  }
  void TearDown() override { ::unsetenv("KESTREL_COM4"); }

  std::string write_file(const std::string& name, const std::string& content) {
    const std::string path =
        QDir(Folder.Path()).filePath(QString::fromStdString(name)).toStdString();
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }
  bool run(const std::string& script) {
    Form->begin_run(write_file("test.sld", script));
    return Form->read_ini();
  }
  std::string received() {
    const std::vector<uint8_t> bytes = Pty.ReadSome(1 << 16, std::chrono::milliseconds(300));
    return std::string(bytes.begin(), bytes.end());
  }
  std::string status() const { return Form->InfoStatusBar->SimpleText().toStdString(); }

  TScratchFolder Folder;
  test::PtyPair Pty;
  TRecordingOperatorDialog Dialog;
  TProgressForm Progress;
  std::unique_ptr<TKestrelForm> Form;
};

TEST_F(ScriptRunner, LinesAreReadAsCommandsOrComments) {
  const std::string script =
      "; a comment _SC \"no\"\n"
      "\n"
      "x;_SC \"comment too\"\r\n"
      "   _SC \"A^MB\"\r\n"
      "x_SC \"C\"\n"
      "_sc \"lower case is no command\"\n"
      "_XX \"unknown\"\n"
      "_SC no quote\n"
      "_SC \"\"\n"
      "\t_SC \"last line\"";  // no line feed at the end
  EXPECT_TRUE(run(script));
  EXPECT_EQ(received(), "A\rB\rC\r\rlast line\r");
  EXPECT_EQ(status(), "SUCCESS. Reading script file complete");
  EXPECT_TRUE(Form->PickButton->isEnabled());
  EXPECT_TRUE(Dialog.Messages.empty());
  EXPECT_EQ(Form->Session.CurrentSlot, 7);  // every command line run took a slot, known or not
}

TEST_F(ScriptRunner, OverlongLinesNeverRunCutAndManySlotsAllRun) {
  // More command lines than slots: all of them still run.
  std::string script;
  for (int i = 0; i < 350; ++i) script += "_PC \"" + std::string(1, char('a' + i % 26)) + "\"\n";
  // A command line holds 199 characters. A file name cut to them is another
  // file's: that file is not loaded, and the run goes on.
  script += "_LF " + std::string(500, 'f') + "\n";
  script += "_SC \"END\"\n";
  // Any other command cut would say something else to the unit: the run stops.
  script += "_SC \"" + std::string(400, 'L') + "\"\n_SC \"AFTER\"\n";
  EXPECT_FALSE(run(script));
  EXPECT_EQ(received(), "END\r");
  EXPECT_EQ(Form->Settings.LoaderPrompt, char('a' + 349 % 26));
  EXPECT_EQ(Form->Session.CurrentSlot, kScriptSlotCount - 1);
  // The file is named as far as the line goes, and reported not loaded.
  const std::string cutName = Folder.Path().toStdString() + "/" + std::string(199 - 4, 'f');
  ASSERT_EQ(Form->Session.Outcome.Files().size(), 1u);
  EXPECT_EQ(Form->Session.Outcome.Files()[0].File, cutName);
  EXPECT_EQ(Form->Session.Outcome.FilesLoaded(), 0);
  const std::string script_name = Form->Session.ScriptFileName;
  ASSERT_EQ(Dialog.Messages.size(), 2u);
  EXPECT_EQ(Dialog.Messages[0], "Error! Line 351 of " + script_name +
                                    ": the line is 504 characters long, more than the 199 a "
                                    "script line holds. Cannot upload file " +
                                    cutName + ".");
  EXPECT_EQ(Dialog.Messages[1], "Error! Line 353 of " + script_name +
                                    ": the line is 406 characters long, more than the 199 a "
                                    "script line holds, so it is not run. Exiting script.");
}

TEST_F(ScriptRunner, UploadSectionFlagsChainInOrder) {
  const std::string file = write_file("abc.bin", "abc");
  const std::string dir = Folder.Path().toStdString();
  // _LA, _LV and _LD without their predecessor do nothing and say nothing;
  // a folder is no file; the version is upper-cased.
  // An address longer than its field ends the section.
  EXPECT_TRUE(run("_LA 8000\n_LV 1.0\n_LD\n_LF " + dir + "\n_LF " + file + "\n_LV 2.0\n_LA " +
                  std::string(60, '8') + "\n_LV 1.0a\n_LF " + file + "\n_LA 8000\n_LV 1.0a\n"));
  ASSERT_EQ(Dialog.Messages.size(), 2u);
  EXPECT_EQ(Dialog.Messages[0], "Error! Unable to open file " + dir + ". Cannot upload file.");
  EXPECT_EQ(Dialog.Messages[1], "Error! Line 7 of " + Form->Session.ScriptFileName +
                                    ": the load address is 60 characters long, more than the "
                                    "49 its field holds. Cannot upload file " +
                                    file + ".");
  EXPECT_EQ(Form->Chain.Address, "8000");
  EXPECT_EQ(Form->Chain.Checksum, 0x126u);
  EXPECT_EQ(Form->Chain.Size, 3u);
  EXPECT_EQ(Form->Chain.Version, "1.0A");
  EXPECT_TRUE(Form->Chain.VersionSet());
  EXPECT_FALSE(Form->Chain.FileNamed());
  EXPECT_FALSE(Form->Chain.AddressSet());

  // "date" in any case becomes the file's date and time.
  EXPECT_TRUE(run("_LF " + file + "\n_LA 8000\n_LV Date\n"));
  EXPECT_TRUE(QString::fromStdString(Form->Chain.Version)
                  .contains(QRegularExpression(QStringLiteral(
                      "^([1-9]|1[0-2])/([1-9]|[12][0-9]|3[01])/20[0-9]{2}_([0-9]|1[0-9]|2[0-3])"
                      ":[0-5][0-9]:[0-5][02468]$"))))
      << Form->Chain.Version;
  EXPECT_EQ(received(), "");
}

TEST_F(ScriptRunner, ComparesRunTheCommandAfterThem) {
  // The unit answers the query that opens the script; the test takes the
  // query off the line, so what is read afterwards is what the compares sent.
  std::thread unit([this] {
    if (Pty.ReadSome(4, std::chrono::seconds(10)).size() == 4)
      Pty.WriteAll("KESTREL UNIT 1.0\r\n#");
  });
  Form->begin_run(write_file("test.sld",
                             "_QC \"VER\"\n"
                             "_CE \"KESTREL UNIT 1.0\" _SC \"equal\"\n"
                             "_CE \"KESTREL\" _SC \"not equal\"\n"
                             "_CS \"UNIT\"   _CE \"KESTREL UNIT 1.0\" _SC \"nested\"\n"
                             "_CS \"unit\" _SC \"case matters\"\n"
                             "_CS \"1.0\\r\" _SC \"a line end never matches\"\n"
                             "_CS \"UNIT\"\n"
                             "_CE \"KESTREL UNIT 1.0\"   \n"
                             "_CS \"UNIT\" ; not a command\n"
                             "_CS \"UNIT\" _SC \"after\"\n"));
  EXPECT_TRUE(Form->read_ini());
  unit.join();
  EXPECT_EQ(received(), "equal\rnested\rafter\r");
  EXPECT_EQ(Dialog.Messages,
            (std::vector<std::string>{"Error! No line found after successful _CS",
                                      "Error! No line found after successful _CR"}));
  // Ten lines, and one more slot for each of the four commands run behind a
  // compare (the nested compare and the one behind it); a comment there
  // takes none.
  EXPECT_EQ(Form->Session.CurrentSlot, 10 + 4);
}

TEST_F(ScriptRunner, PortClosedDuringARunStopsItAtTheNextExchange) {
  // The None menu, chosen while the script pauses, closes the port: the
  // _SC after it sends nothing, the _TC finds no port and stops the run.
  QTimer::singleShot(100, Form.get(), [this] { Form->NoneMenuClick(); });
  EXPECT_FALSE(run("_SC \"first\"\n_DY 50\n_SC \"second\"\n_TC \"LOADR^M\"\n_SC \"never\"\n"));
  EXPECT_EQ(received(), "first\r");
  ASSERT_EQ(Dialog.Messages.size(), 1u);
  EXPECT_NE(Dialog.Messages[0].find("not open"), std::string::npos) << Dialog.Messages[0];
  EXPECT_EQ(status(), "Unsuccessful. Upload terminated by user/error(s).");
  EXPECT_EQ(Form->Session.Outcome.End(), TRunEnd::Stopped);
}

TEST_F(ScriptRunner, PickingAScript) {
  Dialog.FileAnswer.reset();
  Form->PickButtonClick();
  ASSERT_EQ(Dialog.FileRequests.size(), 1u);
  EXPECT_EQ(Dialog.FileRequests[0].InitialDir, QDir::currentPath().toStdString());
  EXPECT_EQ(Dialog.FileRequests[0].Filter, "Script files (*.sld)|*.sld|All files (*.*)|*.*");
  EXPECT_EQ(Form->Session.Outcome.End(), TRunEnd::NotRun);

  // A run left behind a raised cancel flag and a filled table; picking
  // starts afresh.
  EXPECT_TRUE(run("_DY 0\n_DY 0\n_DY 0\n_DY 0\n_DY 0\n_DY 0\n_DY 0\n"));
  EXPECT_EQ(Form->Session.CurrentSlot, 7);
  Progress.CancelButtonClick();
  Dialog.FileAnswer = write_file("picked.sld", "_SC \"picked\"\n");
  Form->PickButtonClick();
  EXPECT_EQ(received(), "picked\r");
  EXPECT_EQ(status(), "SUCCESS. Reading script file complete");
  EXPECT_EQ(Form->Session.CurrentSlot, 1);
  EXPECT_EQ(Form->INIOpenDialog.InitialDir, "");

  Dialog.FileAnswer = Folder.Path().toStdString() + "/missing.sld";
  Form->PickButtonClick();
  EXPECT_EQ(Dialog.Messages.back(), "Error opening file " + *Dialog.FileAnswer + " for read.");
  EXPECT_EQ(status(), "Cannot read the script " + *Dialog.FileAnswer + ": no such file");
  EXPECT_EQ(Form->Session.Outcome.End(), TRunEnd::CannotOpen);
  EXPECT_TRUE(Form->PickButton->isEnabled());
  // A folder is no script either.
  Dialog.FileAnswer = Folder.Path().toStdString();
  Form->PickButtonClick();
  EXPECT_EQ(Dialog.Messages.back(), "Error opening file " + *Dialog.FileAnswer + " for read.");
}

}  // namespace
}  // namespace kestrel

namespace kestrel {
namespace {

// Each windowed run leaves a line of its own; a record that cannot be
// written is reported once however many runs follow.
TEST_F(ScriptRunner, EveryRunLeavesOneRecordLine) {
  const std::string path = Folder.Path().toStdString() + "/runs.jsonl";
  TRunRecorder recorder(path);
  TRecordObserver recording(recorder);
  Form->add_observer(recording);
  EXPECT_TRUE(run("_DM \"hello\"\n_SC \"A\"\n"));
  EXPECT_TRUE(run("_LF missing.bin\n"));
  Form->ApdComPort1->SetOpen(false);
  EXPECT_FALSE(run("_TC \"LOADR^M\"\n"));  // no port to test on
  EXPECT_NE(Dialog.Messages.back().find("No COM port is open"), std::string::npos);
  Form->begin_run(Folder.Path().toStdString() + "/none.sld");
  EXPECT_FALSE(Form->read_ini());
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_NE(lines[0].find("\"messages\":[{\"kind\":\"note\",\"text\":\"hello\"}]"),
            std::string::npos)
      << lines[0];
  EXPECT_NE(lines[0].find("\"outcome\":\"finished\",\"exit_code\":0}"), std::string::npos);
  EXPECT_NE(lines[0].find("\"port\":\"" + Pty.slavePath() + "\""), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("\"outcome\":\"finished\",\"exit_code\":1}"), std::string::npos);
  EXPECT_NE(lines[2].find("\"outcome\":\"stopped\",\"exit_code\":1}"), std::string::npos);
  EXPECT_NE(lines[3].find("\"outcome\":\"cannot open\",\"exit_code\":3}"), std::string::npos);

  Form->ApdComPort1->SetOpen(true);
  int reports = 0;
  TRunRecorder unwritable(Folder.Path().toStdString(), [&](const std::string&) { ++reports; });
  Form->remove_observer(recording);
  TRecordObserver unwritableRecording(unwritable);
  Form->add_observer(unwritableRecording);
  EXPECT_TRUE(run("_SC \"B\"\n"));
  EXPECT_TRUE(run("_SC \"C\"\n"));
  EXPECT_EQ(reports, 1);
  EXPECT_EQ(status(), "SUCCESS. Reading script file complete");
  Form->remove_observer(unwritableRecording);
}

}  // namespace
}  // namespace kestrel

namespace kestrel {
namespace {

// A close while the run waits for the unit stops the run there: the cut
// wait finds no prompt, so no upload line follows, and the port is let go.
TEST_F(ScriptRunner, ClosingDuringAWaitStopsTheRunAndReleasesThePort) {
  const std::string file = write_file("a.bin", "abc");
  QTimer::singleShot(500, Form.get(), [this] {
    bool canClose = true;
    Form->FormCloseQuery(canClose);
  });
  QElapsedTimer clock;
  clock.start();
  EXPECT_FALSE(run("_LF " + file + "\n_LA 8000\n_LV 1\n_LD\n_SC \"never\"\n"));
  // Two prompt waits of 3.6 s each would have followed.
  EXPECT_LT(clock.elapsed(), 3000);
  EXPECT_EQ(received(), "\r");
  EXPECT_FALSE(Form->ApdComPort1->Open());
  EXPECT_TRUE(Dialog.Messages.empty()) << Dialog.Messages.front();
  EXPECT_EQ(Form->Session.Outcome.End(), TRunEnd::Interrupted);
  ASSERT_EQ(Form->Session.Outcome.Files().size(), 1u);
  EXPECT_EQ(Form->Session.Outcome.Files()[0].Result, TFileResult::NotSent);
  EXPECT_EQ(Form->Session.Outcome.Files()[0].Message, "the window was closed during the run");
}

}  // namespace
}  // namespace kestrel
