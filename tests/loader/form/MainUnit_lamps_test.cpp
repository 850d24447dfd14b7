// The main window's four lamps: wired to the controller, switched on at the
// end of start-up, and following a pseudo-terminal's line (whose modem lines
// read as up).

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QCoreApplication>
#include <chrono>
#include <thread>

#include "LoaderTestApp.h"
#include "PtyPair.h"
#include "RecordingOperatorDialog.h"
#include "VirtualClock.h"
#include "loader/form/MainUnit.h"

namespace kestrel {
namespace {

bool pump_until(const std::function<bool()>& cond) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    QCoreApplication::processEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

TEST(MainWindowLamps, FollowTheConfiguredPortFromTheEndOfStartUp) {
  test_application();
  test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  ::setenv("KESTREL_COM4", pty.slavePath().c_str(), 1);
  const std::string settings = "Port=COM4\n";
  TScratchFolder folder(&settings);
  TRecordingOperatorDialog dialog;
  TKestrelForm form(dialog);
  // Nothing answers the start-up probe: its prompt waits run out.
  const auto clock = use_virtual_clock(form);

  const TLightSet& lights = form.ApdSLController1->Lights();
  EXPECT_EQ(lights.CTSLight, form.ApdStatusLight1);
  EXPECT_EQ(lights.DCDLight, form.ApdStatusLight2);
  EXPECT_EQ(lights.RXDLight, form.ApdStatusLight3);
  EXPECT_EQ(lights.TXDLight, form.ApdStatusLight4);
  EXPECT_FALSE(lights.DSRLight || lights.RINGLight || lights.ERRORLight || lights.BREAKLight);
  for (TApdStatusLight* lamp :
       {form.ApdStatusLight1, form.ApdStatusLight2, form.ApdStatusLight3, form.ApdStatusLight4}) {
    EXPECT_EQ(lamp->size(), QSize(10, 10));
    EXPECT_FALSE(lamp->Lit());
  }
  EXPECT_EQ(form.ApdSLController1->ComPort(), form.ApdComPort1);
  EXPECT_FALSE(form.ApdSLController1->Monitoring());

  form.FormShow();
  ASSERT_TRUE(form.ApdComPort1->Open());
  EXPECT_TRUE(form.ApdSLController1->Monitoring());
  EXPECT_TRUE(form.ApdStatusLight1->Lit());
  EXPECT_TRUE(form.ApdStatusLight2->Lit());

  ASSERT_TRUE(pty.WriteAll("#"));
  EXPECT_TRUE(pump_until([&] { return form.ApdStatusLight3->Lit(); }));
  form.ApdComPort1->PutString("x");
  EXPECT_TRUE(pump_until([&] { return form.ApdStatusLight4->Lit(); }));
  EXPECT_TRUE(pump_until([&] { return !form.ApdStatusLight4->Lit(); }));

  form.ApdComPort1->SetOpen(false);
  for (TApdStatusLight* lamp :
       {form.ApdStatusLight1, form.ApdStatusLight2, form.ApdStatusLight3, form.ApdStatusLight4})
    EXPECT_FALSE(lamp->Lit());
  ::unsetenv("KESTREL_COM4");
}

}  // namespace
}  // namespace kestrel
