// Port availability and the port-selection dialog, on pseudo-terminals and
// paths that do not exist; and the port component's use of the dialog.

#include "serial/qt/Adselcom.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <memory>
#include <vector>

#include "FakeSysfs.h"
#include "PortTestSupport.h"
#include "PtyPair.h"
#include "serial/qt/Adport.h"
#include "serialdevice/AwPortPath.h"

namespace kestrel {
namespace {

using test::App;

class ComSelectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    test::MapAllPortsMissing();
  }
  void TearDown() override { test::MapAllPortsMissing(); }

  // Maps port n to a fresh pseudo-terminal.
  test::PtyPair& MapPty(int n) {
    ptys.push_back(std::make_unique<test::PtyPair>());
    EXPECT_TRUE(ptys.back()->ok());
    test::MapPath(n, ptys.back()->slavePath());
    return *ptys.back();
  }

  std::vector<std::unique_ptr<test::PtyPair>> ptys;
  const TPortMap map;
};

TEST_F(ComSelectTest, AvailabilityFollowsWhatTheTrialOpenFinds) {
  EXPECT_FALSE(IsPortAvailable(0, map));
  EXPECT_FALSE(IsPortAvailable(4, map)) << "a port whose device does not exist";

  MapPty(4);
  EXPECT_TRUE(IsPortAvailable(4, map));
  EXPECT_TRUE(IsPortAvailable(4, map)) << "the trial open closes again";

  // Held by someone else: still offered, the real open reports it.
  auto holder = map.CreatePortDevice(4);
  ASSERT_EQ(holder->Open(), 0);
  EXPECT_TRUE(IsPortAvailable(4, map));
  holder->Close();
}

TEST_F(ComSelectTest, TheListOffersAvailablePortsUpToFiftyAndSelectsTheFirst) {
  MapPty(1);
  MapPty(3);
  MapPty(12);
  MapPty(51);  // beyond the dialog's range

  TComSelectForm form(map);
  ASSERT_EQ(form.PortsComboBox->count(), 3);
  std::vector<int> numbers;
  for (int i = 0; i < form.PortsComboBox->count(); ++i) {
    numbers.push_back(form.PortsComboBox->itemData(i).toInt());
    const QString text = form.PortsComboBox->itemText(i);
    EXPECT_TRUE(text.startsWith(QStringLiteral("COM%1 ").arg(numbers.back())))
        << text.toStdString();
    EXPECT_TRUE(text.contains(QString::fromStdString(map.ResolvePortPath(numbers.back()))))
        << "the entry shows the device behind the port";
  }
  EXPECT_EQ(numbers, (std::vector<int>{1, 3, 12}));
  EXPECT_EQ(form.SelectedCom(), QStringLiteral("COM1"));
  EXPECT_EQ(form.SelectedComNum(), 1);

  form.PortsComboBox->setCurrentIndex(2);
  EXPECT_EQ(form.SelectedCom(), QStringLiteral("COM12"));
  EXPECT_EQ(form.SelectedComNum(), 12);
}

TEST_F(ComSelectTest, EachEntrySaysWhatTheDeviceIs) {
  test::FakeTree tree;
  tree.LinkDevice("ttyUSB0", MapPty(2).slavePath());
  test::MapPath(2, tree.Dev("ttyUSB0"));
  MapPty(3);  // a pseudo-terminal: nothing more to say about it

  TComSelectForm form(map, nullptr, tree.Roots());
  ASSERT_EQ(form.PortsComboBox->count(), 2);
  EXPECT_EQ(form.PortsComboBox->itemText(0),
            QString::fromStdString("COM2  " + tree.Dev("ttyUSB0") +
                                   "  FTDI FT232R USB UART (0403:6001, serial A1B2C3, ftdi_sio)"));
  EXPECT_EQ(form.PortsComboBox->itemText(1),
            QString::fromStdString("COM3  " + map.ResolvePortPath(3)));
  EXPECT_EQ(form.SelectedComNum(), 2);
}

TEST_F(ComSelectTest, TextsFitAndNothingIsSelectedWithoutPorts) {
  TComSelectForm form(map);
  EXPECT_EQ(form.windowTitle(), QStringLiteral("Select Port"));
  // The explanation lines are as wide as their text and stay inside the
  // frame, whatever face the machine has.
  for (QLabel* label : {form.Label1, form.Label2}) {
    EXPECT_GE(label->width(), label->fontMetrics().horizontalAdvance(label->text()));
    EXPECT_GE(label->height(), label->fontMetrics().height());
    EXPECT_TRUE(form.Bevel1->geometry().contains(label->geometry()))
        << label->objectName().toStdString();
  }
  EXPECT_EQ(form.Label1->text(), QStringLiteral("The configured serial port is not valid."));
  EXPECT_EQ(form.Label2->text(), QStringLiteral("Please choose another port."));
  EXPECT_EQ(form.OkBtn->text(), QStringLiteral("OK"));
  EXPECT_TRUE(form.OkBtn->isDefault());
  EXPECT_EQ(form.AbortBtn->text(), QStringLiteral("Cancel"));
  EXPECT_FALSE(form.PortsComboBox->isEditable());
  EXPECT_EQ(form.SelectedComNum(), 0) << "nothing available, nothing selected";
}

// Answers the next modal dialog: picks the entry for `port` (0: leaves the
// selection) and presses OK, or presses Cancel.
void AnswerDialog(int port, bool ok) {
  auto* poll = new QTimer(qApp);
  QObject::connect(poll, &QTimer::timeout, [poll, port, ok] {
    auto* form = qobject_cast<TComSelectForm*>(QApplication::activeModalWidget());
    if (!form) return;
    poll->stop();
    poll->deleteLater();
    if (port) form->PortsComboBox->setCurrentIndex(form->PortsComboBox->findData(port));
    (ok ? form->OkBtn : form->AbortBtn)->click();
  });
  poll->start(5);
}

TEST_F(ComSelectTest, OpeningWithoutAPortNumberAsksForOne) {
  MapPty(2);
  MapPty(7);
  TApdComPort port;
  port.SetAutoOpen(false);

  AnswerDialog(7, true);
  port.SetOpen(true);
  EXPECT_TRUE(port.Open());
  EXPECT_EQ(port.ComNumber(), 7);
  port.SetOpen(false);
}

TEST_F(ComSelectTest, CancellingTheDialogOrNotPromptingLeavesNoPortSelected) {
  MapPty(2);
  TApdComPort port;

  AnswerDialog(0, false);
  EXPECT_THROW(port.SetOpen(true), ENoPortSelected);
  EXPECT_FALSE(port.Open());
  EXPECT_EQ(port.ComNumber(), 0);

  port.SetPromptForPort(false);
  try {
    port.SetOpen(true);
    ADD_FAILURE() << "expected ENoPortSelected";
  } catch (const ENoPortSelected& e) {
    EXPECT_EQ(e.ErrorCode(), ecNoPortSelected);
  }
  EXPECT_FALSE(port.Open());
}

TEST_F(ComSelectTest, ConfirmingAnEmptyListSelectsNothing) {
  TApdComPort port;
  AnswerDialog(0, true);
  EXPECT_THROW(port.SetOpen(true), ENoPortSelected);
  EXPECT_FALSE(port.Open());
}

}  // namespace
}  // namespace kestrel
