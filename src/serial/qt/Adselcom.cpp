#include "serial/qt/Adselcom.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QFont>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QStandardItemModel>
#include <QVariant>
#include <algorithm>

#include "serialdevice/AwPortDiscovery.h"
#include "serialdevice/AwPortPath.h"

namespace kestrel {

TComSelectForm::TComSelectForm(const TPortMap& ports, QWidget* owner, const TPortRoots& roots)
    : QDialog(owner), Ports_(ports), Roots_(roots) {
  BuildForm(QStringLiteral("The configured serial port is not valid."),
            QStringLiteral("Please choose another port."));
  FormCreate();
  WidenForTexts(0);
  Center();
}

TComSelectForm::TComSelectForm(const TPortMap& ports, int comNumber, QWidget* owner,
                               const TPortRoots& roots)
    : QDialog(owner), Ports_(ports), Roots_(roots) {
  BuildForm(QStringLiteral("Choose the device for COM %1.").arg(comNumber),
            QStringLiteral("It stays mapped until Kestrel ends."));
  ListDevices();
  // The entries are long: the closed list shows as much of them as fits on
  // the screen.
  int entryWidth = 0;
  for (int i = 0; i < PortsComboBox->count(); ++i)
    entryWidth = std::max(
        entryWidth, PortsComboBox->fontMetrics().horizontalAdvance(PortsComboBox->itemText(i)));
  if (QScreen* screen = this->screen())
    entryWidth = std::min(entryWidth, screen->availableGeometry().width() - 120);
  WidenForTexts(entryWidth);
  Center();
}

void TComSelectForm::Center() {
  if (QScreen* screen = this->screen()) {
    const QRect area = screen->availableGeometry();
    move(area.center() - rect().center());
  }
}

void TComSelectForm::BuildForm(const QString& line1, const QString& line2) {
  setWindowTitle(QStringLiteral("Select Port"));
  setModal(true);
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  // Where the layout's face is missing, a face of similar width stands in
  // rather than whatever wide default the system would pick.
  QFont font;
  font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Arial"),
                    QStringLiteral("Liberation Sans"), QStringLiteral("Nimbus Sans"),
                    QStringLiteral("Helvetica")});
  font.setPixelSize(11);
  setFont(font);
  setFixedSize(220, 131);

  Bevel1 = new QFrame(this);
  Bevel1->setObjectName(QStringLiteral("Bevel1"));
  Bevel1->setFrameStyle(QFrame::Box | QFrame::Sunken);
  Bevel1->setGeometry(8, 8, 201, 42);

  // The explanation lines take the size of their text in whatever face
  // stands in, as the main window's labels do.
  Label1 = new QLabel(line1, this);
  Label1->setObjectName(QStringLiteral("Label1"));
  Label1->move(18, 14);
  Label1->adjustSize();

  Label2 = new QLabel(line2, this);
  Label2->setObjectName(QStringLiteral("Label2"));
  Label2->move(18, 30);
  Label2->adjustSize();

  PortsComboBox = new QComboBox(this);
  PortsComboBox->setObjectName(QStringLiteral("PortsComboBox"));
  PortsComboBox->setEditable(false);
  PortsComboBox->setGeometry(8, 64, 201, 21);

  OkBtn = new QPushButton(QStringLiteral("OK"), this);
  OkBtn->setObjectName(QStringLiteral("OkBtn"));
  OkBtn->setGeometry(8, 95, 85, 27);
  OkBtn->setDefault(true);
  connect(OkBtn, &QPushButton::clicked, this, [this] { done(mrOk); });

  AbortBtn = new QPushButton(QStringLiteral("Cancel"), this);
  AbortBtn->setObjectName(QStringLiteral("AbortBtn"));
  AbortBtn->setGeometry(124, 95, 85, 27);
  connect(AbortBtn, &QPushButton::clicked, this, [this] { done(mrAbort); });
}

void TComSelectForm::WidenForTexts(int entryWidth) {
  // A face wider than the layout's would push the first line past the frame:
  // the frame, the list and the dialog grow by as much, Cancel stays right.
  // Long entries widen them the same way.
  const int needed = std::max({Label1->geometry().right() + 10, Label2->geometry().right() + 10,
                               entryWidth > 0 ? PortsComboBox->x() + entryWidth + 40 : 0});
  const int extra = needed - Bevel1->geometry().right();
  if (extra <= 0) return;
  setFixedSize(width() + extra, height());
  Bevel1->resize(Bevel1->width() + extra, Bevel1->height());
  PortsComboBox->resize(PortsComboBox->width() + extra, PortsComboBox->height());
  AbortBtn->move(AbortBtn->x() + extra, AbortBtn->y());
}

void TComSelectForm::FormCreate() {
  const auto devices = DiscoverPorts(Ports_, Roots_);
  for (int n = 1; n <= MaxComSelectPort; ++n) {
    if (!IsPortAvailable(n, Ports_)) continue;
    // The entry names the port and, so the operator knows what it is, its
    // device and what the system says the device is.
    const std::string path = Ports_.ResolvePortPath(n);
    QString text = QStringLiteral("COM%1  %2").arg(n).arg(QString::fromStdString(path));
    if (const TPortInfo* device = FindPort(devices, path)) {
      text += QStringLiteral("  ") + QString::fromStdString(DescribePort(*device));
    }
    PortsComboBox->addItem(text, QVariant(n));
    PortsComboBox->setItemData(PortsComboBox->count() - 1, text, Qt::ToolTipRole);
  }
  // The open list is as wide as its longest entry needs.
  PortsComboBox->view()->setMinimumWidth(PortsComboBox->view()->sizeHintForColumn(0));
  if (PortsComboBox->count() > 0) PortsComboBox->setCurrentIndex(0);
}

void TComSelectForm::ListDevices() {
  auto* model = qobject_cast<QStandardItemModel*>(PortsComboBox->model());
  int first = -1;
  // `offered` false: there to be seen, not to be taken.
  auto add = [&](QString text, const std::string& target, bool offered) {
    if (!offered) text += QStringLiteral("  (not offered)");
    PortsComboBox->addItem(text, QString::fromStdString(target));
    const int index = PortsComboBox->count() - 1;
    PortsComboBox->setItemData(index, text, Qt::ToolTipRole);
    if (!offered) {
      if (model) model->item(index)->setEnabled(false);
    } else if (first < 0) {
      first = index;
    }
  };
  const std::vector<TPortInfo> devices = DiscoverPorts(Ports_, Roots_);
  // The console is not to be taken over.
  for (const TPortInfo& device : devices)
    add(QString::fromStdString(DeviceChoiceText(device)),
        device.ById.empty() ? device.Path : device.ById, !device.Console);
  // What the ports are mapped to besides: the simulated unit, a
  // pseudo-terminal, an adapter that is not plugged in now.
  for (const TMappedPort& port : PortsMappedElsewhere(devices, Ports_))
    add(QString::fromStdString(MappedPortText(port)), port.Path, port.Present);
  PortsComboBox->view()->setMinimumWidth(PortsComboBox->view()->sizeHintForColumn(0));
  PortsComboBox->setCurrentIndex(first);
  if (first < 0) {
    // Say so, rather than let OK do nothing.
    Label2->setText(QStringLiteral("There is no serial device to choose."));
    Label2->adjustSize();
    OkBtn->setEnabled(false);
    AbortBtn->setDefault(true);
  }
}

std::string TComSelectForm::SelectedDevice() const {
  const int index = PortsComboBox->currentIndex();
  if (index < 0) return {};
  // A console entry can be reached by keyboard in some styles: it still is
  // no choice.
  if (auto* model = qobject_cast<QStandardItemModel*>(PortsComboBox->model());
      model && !model->item(index)->isEnabled())
    return {};
  return PortsComboBox->itemData(index).toString().toStdString();
}

QString TComSelectForm::SelectedCom() const {
  const int n = SelectedComNum();
  return n > 0 ? QStringLiteral("COM%1").arg(n) : QString();
}

int TComSelectForm::SelectedComNum() const {
  if (PortsComboBox->currentIndex() < 0) return 0;
  return PortsComboBox->currentData().toInt();
}

}  // namespace kestrel
