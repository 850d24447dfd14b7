// An adapter pulled out in the middle of an upload, with the window open:
// the upload stops with a message that names the lost device, the run ends
// unsuccessful without waiting for the unit any more, and once the adapter
// is back the COM menu finds the unit.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QFile>
#include <QPushButton>
#include <fstream>

#include "LoaderTestApp.h"
#include "RecordingOperatorDialog.h"
#include "VirtualClock.h"
#include "loader/form/MainUnit.h"
#include "loader/windows/Progress.h"
#include "unitsim/UnitSimScheme.h"

namespace kestrel {
namespace {

TEST(DeviceLost, TheUploadStopsAndTheComMenuFindsTheUnitOnceItIsBack) {
  test_application();
  TScratchFolder folder;
  const std::string dir = folder.Path().toStdString();
  // The adapter comes out once 5000 bytes have left: in the third block.
  const std::string device = "sim:flash-ms=2;unplug-after=5000;dir=" + dir + "/flash";
  ::setenv("KESTREL_COM1", device.c_str(), 1);
  std::ofstream(dir + "/a.bin", std::ios::binary) << std::string(9000, 'a');
  std::ofstream(dir + "/run.sld") << "_TC \"LOADR^M\"\n_LP 1\n_LF a.bin\n_LA 8000\n_LV 1\n_LD\n"
                                     "_SC \"AFTER\"\n";

  TRecordingOperatorDialog dialog;
  TProgressForm progress;
  std::unique_ptr<TVirtualTimeClock> clock;  // outlives the window
  {
    TKestrelForm form(dialog);
    RegisterSimulatedUnitScheme(form.ApdComPort1->PortMap());
    clock = use_virtual_clock(form);
    form.SetCompanions(&progress, nullptr);
    form.COM1MenuClick();
    ASSERT_TRUE(form.ApdComPort1->Open());

    form.begin_run(dir + "/run.sld");
    const int64_t began = clock->now();
    EXPECT_TRUE(form.read_ini());
    EXPECT_EQ(form.InfoStatusBar->SimpleText().toStdString(),
              "Unsuccessful. Upload terminated by user/error(s).");
    ASSERT_FALSE(dialog.Messages.empty());
    // What the unit said last goes with the message; the failed upload
    // sends nothing more, so no prompt check follows.
    EXPECT_EQ(dialog.Messages[0], "Error! Device " + device +
                                      " was lost (unplugged or switched off). Cancel upload.\n"
                                      "The unit said: \"LOADING 9000 BYTES AT 8000\".");
    EXPECT_EQ(dialog.Messages.back(), "Upload cancelled/incomplete!!! Upload for " + dir +
                                          "/a.bin section was incomplete.");
    EXPECT_TRUE(form.ApdComPort1->DeviceLost());
    EXPECT_FALSE(QFile::exists(folder.Path() + "/flash/8000.bin"));
    EXPECT_TRUE(form.PickButton->isEnabled());

    // A run on the lost port tries the loader mode and gives up at once.
    dialog.Messages.clear();
    std::ofstream(dir + "/again.sld") << "_TC \"LOADR^M\"\n_SC \"AFTER\"\n";
    form.begin_run(dir + "/again.sld");
    form.read_ini();
    EXPECT_EQ(dialog.Messages, std::vector<std::string>{
                                   "Error! Unable to get response from unit(_TC)! Exiting script\n"
                                   "The unit said nothing."});
    // Once the device is known lost no wait runs its course: the prompt
    // check after the upload alone would take 65 + 65 + 170 ticks of 55 ms,
    // and the loader-mode tries six waits of 65 ticks and their pauses.
    EXPECT_LT(clock->now() - began, (65 + 65 + 170) * 55 / 2);

    // The adapter is plugged in again by the next open: the menu finds the
    // unit.
    dialog.Messages.clear();
    form.COM1MenuClick();
    EXPECT_EQ(form.InfoStatusBar->SimpleText().toStdString(), "Established communication on COM 1");
    EXPECT_FALSE(form.ApdComPort1->DeviceLost());
    EXPECT_TRUE(dialog.Messages.empty()) << dialog.Messages[0];
  }
  ::setenv("KESTREL_COM1", "/nonexistent/kestrel-test-com1", 1);
}

}  // namespace
}  // namespace kestrel
