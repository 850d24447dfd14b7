// COM Port > Choose port...: the serial devices of a fake system, the console
// shown but not offered, and the chosen adapter mapped to the current port
// for this session only and probed, with the unit on a pseudo-terminal behind
// the adapter's by-id link.

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTimer>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>

#include "FakeSysfs.h"
#include "LoaderTestApp.h"
#include "RecordingOperatorDialog.h"
#include "loader/form/MainUnit.h"
#include "loader/windows/Progress.h"
#include "serial/qt/Adselcom.h"
#include "serialdevice/AwFd.h"
#include "serialdevice/AwPortDiscovery.h"
#include "serialdevice/AwPortPath.h"
#include "unitsim/UnitPty.h"

namespace kestrel {
namespace {

// What the dialog showed, before `answer` chose in it and clicked.
struct TChoice {
  QString Line1;
  QString Line2;
  QStringList Entries;
  QStringList Offered;
  QString Preselected;
  bool OkEnabled = false;
};

TChoice ChooseWith(TKestrelForm& form, const std::function<void(TComSelectForm&)>& answer) {
  TChoice seen;
  auto* poll = new QTimer(qApp);
  QObject::connect(poll, &QTimer::timeout, [&] {
    auto* choice = qobject_cast<TComSelectForm*>(QApplication::activeModalWidget());
    if (!choice) return;
    poll->stop();
    QComboBox* list = choice->PortsComboBox;
    auto* model = qobject_cast<QStandardItemModel*>(list->model());
    seen.Line1 = choice->Label1->text();
    seen.Line2 = choice->Label2->text();
    seen.Preselected = list->currentText();
    for (int i = 0; i < list->count(); ++i) {
      seen.Entries << list->itemText(i);
      if (model && model->item(i)->isEnabled()) seen.Offered << list->itemText(i);
    }
    seen.OkEnabled = choice->OkBtn->isEnabled();
    answer(*choice);
  });
  poll->start(20);
  form.ChoosePortMenu->trigger();
  delete poll;
  return seen;
}

TEST(ChoosePort, MapsThePickedDeviceToTheCurrentPortForTheSessionAndProbesIt) {
  test_application();
  TScratchFolder folder;
  test::FakeTree tree;

  TUnitPtyServer unit{TUnitOptions{}};
  ASSERT_EQ(unit.Open(), 0);
  TApdEventFd stop;
  std::thread serving([&] { unit.Serve(stop.get()); });
  tree.LinkDevice("ttyUSB0", unit.SlavePath());

  TRecordingOperatorDialog dialog;
  TProgressForm progress;
  auto form = std::make_unique<TKestrelForm>(dialog, nullptr, tree.Roots());
  form->SetCompanions(&progress, nullptr);

  const TChoice seen = ChooseWith(*form, [&](TComSelectForm& choice) {
    choice.PortsComboBox->setCurrentIndex(
        choice.PortsComboBox->findData(QString::fromStdString(tree.ById())));
    choice.OkBtn->click();
  });

  EXPECT_EQ(form->ChoosePortMenu->text(), QStringLiteral("Choose port..."));
  EXPECT_EQ(seen.Line1, QStringLiteral("Choose the device for COM 1."));
  // Every device of the fake system, by-id name and description; the
  // console marked and not to be had.
  const QString adapter =
      QString::fromStdString(tree.Dev("ttyUSB0") +
                             "  usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0  FTDI FT232R USB UART "
                             "(0403:6001, serial A1B2C3, ftdi_sio)");
  const QString console =
      QString::fromStdString(tree.Dev("ttyS0") + "  serial, console  (not offered)");
  // Besides, the ports the environment maps to nothing present.
  EXPECT_EQ(seen.Entries.size(), 7) << seen.Entries.join(QLatin1Char('\n')).toStdString();
  EXPECT_TRUE(seen.Entries.contains(QStringLiteral(
      "COM2 (KESTREL_COM2): /nonexistent/kestrel-test-com2  [not present]  (not offered)")));
  EXPECT_TRUE(seen.Entries.contains(adapter)) << seen.Entries.join(QLatin1Char('\n')).toStdString();
  EXPECT_TRUE(seen.Entries.contains(console)) << seen.Entries.join(QLatin1Char('\n')).toStdString();
  EXPECT_FALSE(seen.Offered.contains(console));
  EXPECT_EQ(seen.Offered.size(), 3);
  EXPECT_NE(seen.Preselected, console);

  // Port 1 now reaches the adapter through its stable name, and the unit
  // behind it answered.
  EXPECT_EQ(form->ApdComPort1->PortMap().ResolvePortPath(1), tree.ById());
  EXPECT_TRUE(form->ApdComPort1->Open());
  EXPECT_EQ(form->InfoStatusBar->SimpleText(),
            QStringLiteral("Established communication on COM 1"));
  EXPECT_TRUE(form->PickButton->isEnabled());
  EXPECT_TRUE(dialog.Messages.empty());
  // For this session only: neither the environment nor any file changed.
  EXPECT_STREQ(std::getenv("KESTREL_COM1"), "/nonexistent/kestrel-test-com1");
  EXPECT_TRUE(QDir(folder.Path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());

  form.reset();
  stop.Signal();
  serving.join();
  // The mapping ended with the session's ports.
  EXPECT_EQ(TPortMap().ResolvePortPath(1), "/nonexistent/kestrel-test-com1");
}

TEST(ChoosePort, OffersWhatThePortsAreMappedToAndSaysWhenThereIsNothing) {
  test_application();
  TScratchFolder folder;
  // A system without serial devices; the test ports point nowhere.
  const TPortRoots roots{folder.Path().toStdString() + "/sys",
                         folder.Path().toStdString() + "/dev"};
  TRecordingOperatorDialog dialog;
  TProgressForm progress;
  auto form = std::make_unique<TKestrelForm>(dialog, nullptr, roots);
  form->SetCompanions(&progress, nullptr);

  const auto cancel = [](TComSelectForm& choice) { choice.AbortBtn->click(); };
  TChoice seen = ChooseWith(*form, cancel);
  EXPECT_TRUE(seen.Offered.isEmpty()) << seen.Offered.join(QLatin1Char('\n')).toStdString();
  EXPECT_EQ(seen.Line2, QStringLiteral("There is no serial device to choose."));
  EXPECT_FALSE(seen.OkEnabled);

  // A pseudo-terminal mapped as COM3, the unit behind it.
  TUnitPtyServer unit{TUnitOptions{}};
  ASSERT_EQ(unit.Open(), 0);
  TApdEventFd stop;
  std::thread serving([&] { unit.Serve(stop.get()); });
  ::setenv("KESTREL_COM3", unit.SlavePath().c_str(), 1);
  seen = ChooseWith(*form, [](TComSelectForm& choice) { choice.OkBtn->click(); });
  EXPECT_EQ(seen.Offered,
            QStringList{QString::fromStdString("COM3 (KESTREL_COM3): " + unit.SlavePath())});
  EXPECT_TRUE(seen.OkEnabled);
  EXPECT_EQ(form->ApdComPort1->PortMap().ResolvePortPath(1), unit.SlavePath());
  EXPECT_EQ(form->InfoStatusBar->SimpleText(),
            QStringLiteral("Established communication on COM 1"));

  form.reset();
  ::setenv("KESTREL_COM3", "/nonexistent/kestrel-test-com3", 1);
  stop.Signal();
  serving.join();
}

}  // namespace
}  // namespace kestrel
