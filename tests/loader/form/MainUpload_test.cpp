// The file upload on the offscreen platform against the simulated unit: the
// checksum, the blocks and the progress window, the close query during and
// after an upload, and a line slower than the rounds of the drain wait.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QAction>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>
#include <memory>
#include <string>

#include "LoaderTestApp.h"
#include "ProgramEnds.h"
#include "RecordingOperatorDialog.h"
#include "TestPattern.h"
#include "VirtualClock.h"
#include "loader/core/RunRecord.h"
#include "loader/form/MainUnit.h"
#include "loader/windows/Progress.h"
#include "unitsim/UnitSimScheme.h"

namespace kestrel {
namespace {

std::string pattern(size_t size) {
  return test::Pattern(size, 1);
}

class Upload : public ::testing::Test {
 protected:
  void SetUp() override {
    test_application();
    Form = std::make_unique<TKestrelForm>(Dialog);
    RegisterSimulatedUnitScheme(Form->ApdComPort1->PortMap());
    Form->add_observer(Ends);
    Form->SetCompanions(&Progress, nullptr);
    Clock = use_virtual_clock(*Form);
  }
  void TearDown() override {
    Form.reset();
    ::setenv("KESTREL_COM1", "/nonexistent/kestrel-test-com1", 1);
  }

  // Opens COM1 on the simulated unit (storing its images in our folder) and
  // brings it into loader mode.
  void connect_unit(const std::string& options = "") {
    const std::string path = "sim:dir=" + Dir.path().toStdString() + options;
    ::setenv("KESTREL_COM1", path.c_str(), 1);
    Form->ApdComPort1->SetComNumber(1);
    Form->ApdComPort1->SetOpen(true);
    ASSERT_TRUE(Form->SendCOMCmd_GetPrompt("LOADR\r", '>'));
  }
  std::string write_file(const std::string& name, const std::string& bytes) {
    const std::string path = Dir.filePath(QString::fromStdString(name)).toStdString();
    std::FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    return path;
  }
  // Names `file` to a run as a script does, with its load address when
  // one is given (which takes the file's checksum).
  void name_file(const std::string& file, const std::string& address = "") {
    std::string script = "_LF " + file + "\n";
    if (!address.empty()) script += "_LA " + address + "\n";
    Form->begin_run(write_file("name.sld", script));
    ASSERT_TRUE(Form->read_ini());
  }
  // What the upload line does before the upload: name, address, checksum,
  // then the announcement to the unit.
  void announce(const std::string& file, const std::string& address) {
    name_file(file, address);
    ASSERT_TRUE(Form->get_file_checksum());
    char line[512];
    std::snprintf(line, sizeof line, "LF %s %u %x V1\r", address.c_str(), Form->Chain.Size,
                  Form->Chain.Checksum);
    ASSERT_TRUE(Form->SendCOMCmd_GetPrompt("\r", '>'));
    Form->SendString(line);
    Form->Waits().sleep_processing_events(300);
  }
  std::string stored(const std::string& address) {
    QFile f(Dir.filePath(QString::fromStdString(address + ".bin")));
    if (!f.open(QIODevice::ReadOnly)) return "<no image>";
    return f.readAll().toStdString();
  }

  QTemporaryDir Dir;
  TRecordingOperatorDialog Dialog;
  TProgressForm Progress;
  std::unique_ptr<TVirtualTimeClock> Clock;
  std::unique_ptr<TKestrelForm> Form;
  TProgramEnds Ends;
};

TEST_F(Upload, TheChecksumIsTheSixteenBitSumOfTheBytes) {
  struct Case {
    std::string bytes;
    uint32_t checksum;
  };
  const Case cases[] = {{"abc", 0x126}, {std::string(300, '\xFF'), 0x2AD4}, {"", 0}};
  connect_unit();
  for (const Case& c : cases) {
    name_file(write_file("sum.bin", c.bytes));
    EXPECT_TRUE(Form->get_file_checksum());
    EXPECT_EQ(Form->Chain.Checksum, c.checksum);
    EXPECT_EQ(Form->Chain.Size, c.bytes.size());
  }
  // A file gone since the script named it.
  name_file(write_file("missing.bin", "abc"));
  ASSERT_TRUE(QFile::remove(Dir.filePath(QStringLiteral("missing.bin"))));
  EXPECT_FALSE(Form->get_file_checksum());
  EXPECT_EQ(Dialog.Messages, std::vector<std::string>{"Error opening file " + Form->Chain.FileName +
                                                      ". Unable to get file checksum"});
}

TEST_F(Upload, BlocksArriveWholeAndTheProgressWindowFollowsThem) {
  EXPECT_EQ(Progress.size(), QSize(430, 123));
  EXPECT_EQ(Progress.FileProgressBar->geometry(), QRect(8, 40, 417, 25));
  EXPECT_EQ(Progress.CancelButton->geometry().bottomRight(), QPoint(424, 120));
  connect_unit();
  struct Case {
    std::string bytes;
    int maximum;
    std::vector<int> positions;  // as the bar shows them, block by block
    std::string checksum;
  };
  const Case cases[] = {{pattern(4000), 2, {1, 2}, ""},
                        {pattern(4500), 2, {1, 2}, ""},
                        {std::string(300, '\xFF'), 1, {1}, "2AD4"},
                        {"", 1, {1}, "0"},
                        {pattern(10001), 5, {1, 2, 3, 4, 5}, ""}};
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes.size());
    const std::string address = "A" + std::to_string(++n);
    const std::string& bytes = c.bytes;
    announce(write_file("image" + std::to_string(n) + ".bin", bytes), address);

    std::vector<int> positions;
    std::vector<std::string> labels;
    bool menuHidden = false, shown = false, running = false;
    auto conn = QObject::connect(Progress.FileProgressBar, &QProgressBar::valueChanged, [&](int v) {
      if (v == 0) return;
      positions.push_back(v);
      shown = Progress.isVisible();
      running = Form->Session.UploadInProgress;
      menuHidden = !Form->ConfigMenu->menuAction()->isVisible();
      labels = {Progress.BlockNameLabel->toolTip().toStdString(),
                Progress.ChecksumLabel->text().toStdString(),
                Progress.LoadAddressLabel->text().toStdString(),
                Progress.FileSizeLabel->text().toStdString()};
    });
    Progress.CancelButtonClick();  // an earlier cancel: each upload starts uncancelled
    Form->UploadButtonClick();
    QObject::disconnect(conn);

    EXPECT_EQ(Progress.FileProgressBar->maximum(), c.maximum);
    EXPECT_EQ(positions, c.positions);
    EXPECT_TRUE(shown && running && menuHidden);
    EXPECT_EQ(labels, (std::vector<std::string>{
                          Form->Chain.FileName,
                          QString::number(Form->Chain.Checksum, 16).toUpper().toStdString(),
                          address, std::to_string(bytes.size())}));
    if (!c.checksum.empty()) {
      EXPECT_EQ(labels[1], c.checksum);
    }
    EXPECT_FALSE(Progress.isVisible());
    EXPECT_EQ(Progress.FileProgressBar->value(), 0);
    EXPECT_FALSE(Progress.CancelButton->isEnabled());
    EXPECT_TRUE(Form->ConfigMenu->menuAction()->isVisible());
    EXPECT_FALSE(Form->Session.UploadInProgress);
    EXPECT_FALSE(Form->run_cancelled());
    EXPECT_TRUE(Dialog.Messages.empty()) << Dialog.Messages.front();
    EXPECT_EQ(stored(address), bytes);
  }
}

TEST_F(Upload, ClosingAsksOnlyWhileTheUploadRuns) {
  connect_unit();
  announce(write_file("close.bin", pattern(6000)), "C0");
  Dialog.ConfirmAnswer = false;
  std::vector<bool> canClose;
  auto conn = QObject::connect(Progress.FileProgressBar, &QProgressBar::valueChanged, [&](int v) {
    if (v != 1) return;
    bool can = true;
    Form->FormCloseQuery(can);
    canClose.push_back(can);
  });
  Form->UploadButtonClick();
  QObject::disconnect(conn);
  // "No" lets the upload go on to its end.
  EXPECT_EQ(canClose, std::vector<bool>{false});
  ASSERT_EQ(Dialog.Confirmations.size(), 1u);
  EXPECT_EQ(Dialog.Confirmations[0],
            "File upload in progress.\rAre you sure you want to cancel upload and exit the "
            "application?");
  EXPECT_EQ(Dialog.ConfirmOwners[0], Form.get());
  EXPECT_TRUE(Ends.Statuses.empty());
  EXPECT_EQ(stored("C0"), pattern(6000));

  bool can = true;
  Form->FormCloseQuery(can);
  EXPECT_TRUE(can);
  EXPECT_EQ(Dialog.Confirmations.size(), 1u) << "no question once the upload is over";
}

// At 1200 baud a block needs far longer on the wire than 900 rounds of 1 ms.
TEST_F(Upload, ASlowLineStillDrainsEveryBlock) {
  Form->ApdComPort1->SetBaud(1200);
  connect_unit(";pace;flash-ms=50");
  const std::string bytes = pattern(900);  // 7.5 s on the wire
  announce(write_file("slow.bin", bytes), "S0");
  Form->UploadButtonClick();
  EXPECT_TRUE(Dialog.Messages.empty()) << Dialog.Messages.front();
  EXPECT_FALSE(Form->run_cancelled());
  EXPECT_EQ(stored("S0"), bytes);
}

}  // namespace
}  // namespace kestrel

namespace kestrel {
namespace {

// The exit question does not hold the blocks up: a unit that gives up after
// a second of silence still gets the whole file while the operator takes
// longer to answer "No".
TEST_F(Upload, TheExitQuestionDoesNotStallTheTransfer) {
  connect_unit(";pace;flash-ms=5;data-timeout-ms=1000");
  const std::string bytes = pattern(16000);  // about 4 s at 38400 baud
  announce(write_file("asked.bin", bytes), "A0");
  Dialog.ConfirmAnswer = false;
  Dialog.ExitAnswerDelayMs = 2500;
  auto conn = QObject::connect(Progress.FileProgressBar, &QProgressBar::valueChanged, [&](int v) {
    if (v == 1) Form->close();
  });
  Form->UploadButtonClick();
  QObject::disconnect(conn);
  EXPECT_EQ(Dialog.Confirmations.size(), 1u);
  EXPECT_FALSE(Form->run_cancelled());
  EXPECT_EQ(stored("A0"), bytes);
  EXPECT_TRUE(Ends.Statuses.empty());
}

// Keys typed into the terminal pane while blocks go out never reach the
// unit among the file's bytes.
TEST_F(Upload, KeysTypedDuringAnUploadStayOutOfIt) {
  connect_unit(";pace;flash-ms=5");
  const std::string bytes = pattern(6000);
  announce(write_file("typed.bin", bytes), "B0");
  auto conn = QObject::connect(Progress.FileProgressBar, &QProgressBar::valueChanged, [&](int v) {
    if (v == 1) QTest::keyClicks(Form->AdTerminal1->Widget(), "typed\r");
  });
  Form->UploadButtonClick();
  QObject::disconnect(conn);
  EXPECT_FALSE(Form->run_cancelled());
  EXPECT_TRUE(Dialog.Messages.empty()) << Dialog.Messages.front();
  EXPECT_EQ(stored("B0"), bytes);
}

// "Yes" during an upload stops it at the next block, lets the port go and
// only then ends the process.
TEST_F(Upload, ExitDuringAnUploadStopsItAtTheNextBlock) {
  connect_unit(";pace;flash-ms=5");
  announce(write_file("exit.bin", pattern(20000)), "C0");
  Dialog.ConfirmAnswer = true;
  int stepsAfterYes = -1;
  auto conn = QObject::connect(Progress.FileProgressBar, &QProgressBar::valueChanged, [&](int v) {
    if (v == 2) Form->close();
    if (v > 2) ++stepsAfterYes;
  });
  Form->UploadButtonClick();
  QObject::disconnect(conn);
  EXPECT_LE(stepsAfterYes, 0);
  EXPECT_FALSE(Form->ApdComPort1->Open());
  EXPECT_EQ(Ends.Statuses, std::vector<int>{0});
  EXPECT_EQ(stored("C0"), "<no image>");
  EXPECT_TRUE(Dialog.Messages.empty()) << Dialog.Messages.front();
}

// After "Yes" the record tells what the operator did, not the failures the
// stop itself caused and nobody saw; the process ends as soon as the run
// has let the port go.
TEST_F(Upload, TheRecordAfterYesSaysTheOperatorStoppedTheRun) {
  connect_unit(";pace;flash-ms=5");
  write_file("exit.bin", pattern(20000));
  const std::string script = write_file("exit.sld", "_LF exit.bin\n_LA C0\n_LV 1\n_LD\n");
  TRunRecorder recorder(Dir.filePath(QStringLiteral("runs.jsonl")).toStdString());
  TRecordObserver recording(recorder);
  Form->add_observer(recording);
  Dialog.ConfirmAnswer = true;
  auto conn = QObject::connect(Progress.FileProgressBar, &QProgressBar::valueChanged, [&](int v) {
    if (v == 2) Form->close();
  });
  Form->begin_run(script);
  Form->read_ini();
  QObject::disconnect(conn);
  Form->remove_observer(recording);
  EXPECT_EQ(Ends.Statuses, std::vector<int>{0});
  QFile file(Dir.filePath(QStringLiteral("runs.jsonl")));
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const std::string record = file.readAll().toStdString();
  EXPECT_NE(record.find("\"result\":\"interrupted\",\"message\":\"stopped by the operator\""),
            std::string::npos)
      << record;
  EXPECT_NE(record.find("\"messages\":[]"), std::string::npos) << record;
  EXPECT_NE(record.find("\"outcome\":\"interrupted\""), std::string::npos) << record;
}

// A query the watchdog ended leaves nothing armed: the next query does not
// take its own echo for the unit's answer.
TEST_F(Upload, AQueryAfterTheWatchdogIgnoresItsOwnEcho) {
  connect_unit(";no-answer;query=VERSION:KESTREL");
  for (int i = 0; i < 2; ++i) {
    Form->query_unit("VERSION");
    EXPECT_EQ(Form->captured_text().find("VERSION"), std::string::npos) << Form->captured_text();
  }
  Form->ApdComPort1->SetOpen(false);
  Form->query_unit("VERSION");
  EXPECT_EQ(Form->captured_text(), "");
}

}  // namespace
}  // namespace kestrel
