// Status lights: the lamp's painting and repaint rules, and the controller
// following a simulated line: modem lines, received and sent data, close and
// reopen, and the port's own avail handler still served.

#include "serial/qt/Adstatlt.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <string>
#include <vector>

#include "PortTestSupport.h"

namespace kestrel {
namespace {

using namespace std::chrono_literals;
using test::App;
using test::PumpUntil;

QImage Render(QWidget& w) {
  QImage image(w.size(), QImage::Format_RGB32);
  image.fill(Qt::black);
  w.render(&image);
  return image;
}

TEST(StatusLightTest, PaintsColourAndRaisedEdgeAndRepaintsOnlyWhenItsLookChanges) {
  App();
  QWidget host;
  TApdStatusLight lamp(&host);
  EXPECT_EQ(lamp.size(), QSize(13, 13));
  lamp.setGeometry(0, 0, 10, 10);
  host.show();

  QImage unlit = Render(lamp);
  EXPECT_EQ(unlit.pixelColor(5, 5), QColor(0, 128, 0));
  EXPECT_EQ(unlit.pixelColor(0, 0), QColor(Qt::white));
  EXPECT_EQ(unlit.pixelColor(0, 8), QColor(Qt::white));
  EXPECT_EQ(unlit.pixelColor(9, 5), QColor(128, 128, 128));
  EXPECT_EQ(unlit.pixelColor(5, 9), QColor(128, 128, 128));
  lamp.SetLit(true);
  EXPECT_EQ(Render(lamp).pixelColor(5, 5), QColor(255, 0, 0));

  // Lit: only the lit colour matters; a second SetLit(true) changes nothing.
  int before = lamp.RepaintRequests();
  lamp.SetLit(true);
  lamp.SetNotLitColor(0xFF0000);
  EXPECT_EQ(lamp.RepaintRequests(), before);
  lamp.SetLitColor(0x00FFFF);
  EXPECT_EQ(lamp.RepaintRequests(), before + 1);
  EXPECT_EQ(Render(lamp).pixelColor(5, 5), QColor(255, 255, 0));
  lamp.SetLit(false);
  EXPECT_EQ(Render(lamp).pixelColor(5, 5), QColor(0, 0, 255));
}

TEST(StatusLightTest, AGlyphSetsTheSizeShowsAHalfAndIgnoresColourChanges) {
  App();
  QWidget host;
  host.setAutoFillBackground(true);
  QPalette palette = host.palette();
  palette.setColor(QPalette::Window, QColor(10, 20, 30));
  host.setPalette(palette);
  TApdStatusLight lamp(&host);

  // Left half yellow (lit), right half blue (unlit); magenta corner is clear.
  QPixmap glyph(16, 7);
  glyph.fill(Qt::blue);
  {
    QPainter p(&glyph);
    p.fillRect(0, 0, 8, 7, Qt::yellow);
    p.fillRect(0, 0, 1, 1, Qt::magenta);
    p.fillRect(8, 0, 1, 1, Qt::magenta);
  }
  lamp.SetGlyph(glyph);
  lamp.setGeometry(0, 0, 40, 40);
  EXPECT_EQ(lamp.size(), QSize(8, 7));
  host.show();

  QImage unlit = Render(lamp);
  EXPECT_EQ(unlit.pixelColor(4, 4), QColor(Qt::blue));
  EXPECT_EQ(unlit.pixelColor(0, 0), QColor(10, 20, 30));
  lamp.SetLit(true);
  EXPECT_EQ(Render(lamp).pixelColor(4, 4), QColor(Qt::yellow));

  const int before = lamp.RepaintRequests();
  lamp.SetLitColor(0x123456);
  lamp.SetNotLitColor(0x654321);
  EXPECT_EQ(lamp.RepaintRequests(), before);

  lamp.SetGlyph(QPixmap());
  EXPECT_FALSE(lamp.HasGlyph());
  EXPECT_EQ(lamp.size(), QSize(13, 13));
}

// A controller with the four lamps of the main window on a simulated port,
// and an avail handler of the port's own user installed before monitoring.
class StatusLightControllerTest : public test::TSimPortTest {
 protected:
  void SetUp() override {
    test::TSimPortTest::SetUp();
    for (auto** lamp : {&cts, &dcd, &rxd, &txd}) *lamp = new TApdStatusLight(&host);
    TLightSet lights;
    lights.CTSLight = cts;
    lights.DCDLight = dcd;
    lights.RXDLight = rxd;
    lights.TXDLight = txd;
    controller.SetLights(lights);
    controller.SetComPort(&port);
    port.SetOnTriggerAvail([this](TApdCustomComPort* cp, uint16_t count) {
      counts.push_back(count);
      std::string bytes(count, '\0');
      cp->GetBlock(bytes.data(), count);
      received += bytes;
    });
  }

  void Send(const std::string& text) {
    ASSERT_EQ(far->SendFor(text, 5s), static_cast<int>(text.size()));
  }

  QWidget host;
  TApdStatusLight *cts = nullptr, *dcd = nullptr, *rxd = nullptr, *txd = nullptr;
  TApdSLController controller{nullptr};
  std::vector<uint16_t> counts;
  std::string received;
};

TEST_F(StatusLightControllerTest, ModemLinesDriveTheirOwnLampsOnly) {
  far->SetCts(false);
  controller.SetMonitoring(true);
  // Closed port: the request waits and nothing is hooked or lit.
  EXPECT_FALSE(controller.Monitoring());
  EXPECT_TRUE(controller.MonitoringPending());
  EXPECT_FALSE(cts->Lit() || dcd->Lit());

  port.SetOpen(true);
  EXPECT_TRUE(controller.Monitoring());
  EXPECT_FALSE(cts->Lit());
  EXPECT_TRUE(dcd->Lit());

  const int dcdPaints = dcd->RepaintRequests();
  far->SetCts(true);
  ASSERT_TRUE(PumpUntil([&] { return cts->Lit(); }));
  EXPECT_TRUE(dcd->Lit());
  EXPECT_EQ(dcd->RepaintRequests(), dcdPaints);

  far->SetDcd(false);
  ASSERT_TRUE(PumpUntil([&] { return !dcd->Lit(); }));
  EXPECT_TRUE(cts->Lit());
  // The trigger is armed again after every change.
  far->SetCts(false);
  ASSERT_TRUE(PumpUntil([&] { return !cts->Lit(); }));
  far->SetDcd(true);
  ASSERT_TRUE(PumpUntil([&] { return dcd->Lit(); }));
}

TEST_F(StatusLightControllerTest, DataLightsRxdAndTxdWhileTheAvailHandlerSeesEveryEvent) {
  port.SetOpen(true);
  controller.SetMonitoring(true);

  Send("abc");
  ASSERT_TRUE(PumpUntil([&] { return received == "abc"; }));
  EXPECT_TRUE(rxd->Lit());
  // Out on the first tick that finds the input buffer empty.
  ASSERT_TRUE(PumpUntil([&] { return !rxd->Lit(); }));
  Send("defg");
  ASSERT_TRUE(PumpUntil([&] { return received == "abcdefg"; }));
  EXPECT_EQ(counts, (std::vector<uint16_t>{3, 4}));
  ASSERT_TRUE(PumpUntil([&] { return !rxd->Lit(); }));

  const int paints = txd->RepaintRequests();
  port.PutString("hello");
  ASSERT_TRUE(PumpUntil([&] { return txd->Lit(); }));
  EXPECT_EQ(test::ToString(far->ReadExactly(5, 5s)), "hello");
  ASSERT_TRUE(PumpUntil([&] { return !txd->Lit(); }));
  // Sent again after it went out: the output-sent trigger was re-armed.
  port.PutString("x");
  ASSERT_TRUE(PumpUntil([&] { return txd->RepaintRequests() >= paints + 3; }));
  EXPECT_EQ(test::ToString(far->ReadExactly(1, 5s)), "x");
}

TEST_F(StatusLightControllerTest, CloseGivesBackTheHandlersAndReopenResumesMonitoring) {
  port.SetOpen(true);
  controller.SetMonitoring(true);
  ASSERT_TRUE(cts->Lit() && dcd->Lit());

  for (int round = 0; round < 3; ++round) {
    port.SetOpen(false);
    EXPECT_FALSE(controller.Monitoring());
    EXPECT_TRUE(controller.MonitoringPending());
    EXPECT_FALSE(cts->Lit() || dcd->Lit() || rxd->Lit() || txd->Lit());

    port.SetOpen(true);
    EXPECT_TRUE(controller.Monitoring());
    EXPECT_TRUE(cts->Lit() && dcd->Lit());
  }
  // One event per arrival, however often the port was reopened.
  Send("xy");
  ASSERT_TRUE(PumpUntil([&] { return received == "xy"; }));
  ASSERT_TRUE(test::PumpDispatchCycles(port));
  EXPECT_EQ(counts, (std::vector<uint16_t>{2}));

  controller.SetMonitoring(false);
  EXPECT_FALSE(cts->Lit() || dcd->Lit());
  Send("z");
  ASSERT_TRUE(PumpUntil([&] { return received == "xyz"; }));
  EXPECT_FALSE(rxd->Lit());
}

TEST_F(StatusLightControllerTest, WithoutAPortMonitoringIsRefused) {
  controller.SetComPort(nullptr);
  EXPECT_THROW(controller.SetMonitoring(true), EPortNotAssigned);

  // A port that goes away takes the controller's hold on it along.
  auto other = std::make_unique<TApdComPort>();
  test::TSimPorts::Offer(other->PortMap());
  other->SetComNumber(1);
  other->SetAutoOpen(false);
  controller.SetComPort(other.get());
  other->SetOpen(true);
  controller.SetMonitoring(true);
  EXPECT_TRUE(cts->Lit());
  other.reset();
  EXPECT_EQ(controller.ComPort(), nullptr);
  EXPECT_FALSE(controller.Monitoring());
  EXPECT_FALSE(cts->Lit());
}

}  // namespace
}  // namespace kestrel
