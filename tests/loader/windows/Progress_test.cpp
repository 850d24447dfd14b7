// The progress window as an operator watches it: the file's own name in
// view whatever its folders, the full path at hand, Cancel whole, the window
// over the main window, and the rate and time left in the status bar.

#include "loader/windows/Progress.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <QWindow>

#include "LoaderTestApp.h"
#include "RecordingOperatorDialog.h"
#include "loader/form/MainUnit.h"
#include "loader/form/MainWidgets.h"

namespace kestrel {
namespace {

TEST(ProgressWindow, ShowsTheNameAsWrittenWithTheFullPathAtHand) {
  test_application();
  TProgressForm progress;
  const QRect caption = progress.findChild<QLabel*>(QStringLiteral("Label6"))->geometry();
  struct Case {
    std::string written;
    QString starts, ends;
  };
  const Case cases[] = {
      {"firmware.bin", "firmware.bin", "firmware.bin"},
      {"/srv/line3/images/production/2026/firmware.bin", "/srv", "/firmware.bin"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.written);
    const std::string path = c.written.front() == '/' ? c.written : "/work/scripts/" + c.written;
    progress.ShowProgressForm(2, TUploadInfo{c.written, path, 0x2AD4, "0x1000", 4500, 2000});
    const QString shown = progress.BlockNameLabel->text();
    EXPECT_TRUE(shown.startsWith(c.starts)) << shown.toStdString();
    EXPECT_TRUE(shown.endsWith(c.ends)) << shown.toStdString();
    EXPECT_LT(progress.BlockNameLabel->geometry().right(), caption.left());
    EXPECT_EQ(progress.BlockNameLabel->toolTip().toStdString(), path);
  }
  // Cancel keeps to the window and has room for its caption.
  EXPECT_TRUE(progress.rect().contains(progress.CancelButton->geometry()));
  EXPECT_GE(progress.CancelButton->width(), progress.CancelButton->sizeHint().width());
  progress.HideProgressForm();
}

TEST(ProgressWindow, StandsOverTheMainWindowAndTellsTheRateInItsStatusBar) {
  test_application();
  TRecordingOperatorDialog dialog;
  TKestrelForm form(dialog);
  TProgressForm progress;
  form.SetCompanions(&progress, nullptr);

  QWidget main;
  main.setGeometry(400, 300, 527, 420);
  main.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&main));
  progress.PlaceOver(&main);
  progress.ShowProgressForm(2, TUploadInfo{"image.bin", "/tmp/image.bin", 1, "A0", 4500, 2000});
  EXPECT_TRUE(main.frameGeometry().contains(progress.frameGeometry().center()));
  EXPECT_NE(progress.pos(), QPoint(0, 0));
  // Kept above the main window, whichever of the two was raised last.
  ASSERT_NE(progress.windowHandle(), nullptr);
  EXPECT_EQ(progress.windowHandle()->transientParent(), main.windowHandle());

  progress.StepIt();
  progress.StepIt();
  EXPECT_TRUE(form.InfoStatusBar->currentMessage().startsWith(
      QStringLiteral("Uploading 4000 of 4500 bytes (88%)")))
      << form.InfoStatusBar->currentMessage().toStdString();
  progress.StepIt();
  EXPECT_EQ(form.InfoStatusBar->currentMessage(),
            QStringLiteral("Uploading 4500 of 4500 bytes (100%)"));
  // Once the window hides, the status text is what it was.
  progress.HideProgressForm();
  EXPECT_TRUE(form.InfoStatusBar->currentMessage().isEmpty());
  EXPECT_EQ(form.InfoStatusBar->SimpleText(), QStringLiteral("Info"));
}

}  // namespace
}  // namespace kestrel
