// A script picked with the button runs end to end in the window against
// the simulated unit, with the buttons and menus as a run has them.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QAction>
#include <QDir>
#include <QMenu>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <fstream>
#include <sstream>

#include "LoaderTestApp.h"
#include "RecordingOperatorDialog.h"
#include "VirtualClock.h"
#include "loader/form/MainUnit.h"
#include "loader/windows/Progress.h"
#include "unitsim/UnitSimScheme.h"

namespace kestrel {
namespace {

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(PickedScript, RunsEndToEndWithButtonsAndMenusAsARunHasThem) {
  test_application();
  TScratchFolder folder;
  const std::string dir = folder.Path().toStdString();
  ::setenv("KESTREL_COM1", ("sim:dir=" + dir + "/flash;flash-ms=2;pace").c_str(), 1);

  std::string image(5000, '\0');
  for (size_t i = 0; i < image.size(); ++i) image[i] = char(i * 31 + i / 7);
  std::ofstream(dir + "/image.bin", std::ios::binary) << image;
  std::ofstream(dir + "/picked.sld") << "_TC \"LOADR^M\"\n_LP 1\n_LF image.bin\n_LA 4000\n"
                                        "_LV 2.1\n_LD\n_QC \"LAST\"\n_CS \"4000\" _DM \"done\"\n";

  TRecordingOperatorDialog dialog;
  TProgressForm progress;
  TKestrelForm form(dialog);
  RegisterSimulatedUnitScheme(form.ApdComPort1->PortMap());
  const auto clock = use_virtual_clock(form);
  form.SetCompanions(&progress, nullptr);
  form.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  ASSERT_TRUE(form.check_com(1));

  // Looked at while the blocks go out.
  struct {
    bool pickEnabled = true, configShown = true, terminalShown = false, progressShown = false;
  } during;
  QTimer look;
  look.setInterval(20);
  QObject::connect(&look, &QTimer::timeout, [&] {
    if (!progress.isVisible()) return;
    during.progressShown = true;
    during.pickEnabled = form.PickButton->isEnabled();
    during.configShown = form.ConfigMenu->menuAction()->isVisible();
    during.terminalShown = form.Terminal1->menuAction()->isVisible();
  });
  look.start();

  dialog.FileAnswer = dir + "/picked.sld";
  QTest::mouseClick(form.PickButton, Qt::LeftButton);
  look.stop();

  EXPECT_EQ(read_file(dir + "/flash/4000.bin"), image);
  EXPECT_TRUE(during.progressShown);
  EXPECT_FALSE(during.pickEnabled);
  EXPECT_FALSE(during.configShown);
  EXPECT_TRUE(during.terminalShown);
  EXPECT_EQ(dialog.Messages, std::vector<std::string>{"done"});
  EXPECT_EQ(form.InfoStatusBar->SimpleText().toStdString(),
            "SUCCESS. Reading script file complete");
  EXPECT_TRUE(form.PickButton->isEnabled());
  EXPECT_TRUE(form.ConfigMenu->menuAction()->isVisible());
  EXPECT_FALSE(progress.isVisible());
  ::setenv("KESTREL_COM1", "/nonexistent/kestrel-test-com1", 1);
}

}  // namespace
}  // namespace kestrel
