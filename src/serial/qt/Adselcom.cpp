#include "Adselcom.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QFont>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QVariant>
#include <algorithm>

#include "AdErrorCodes.h"
#include "AwPortDiscovery.h"
#include "AwPortPath.h"

namespace kestrel {

bool IsPortAvailable(int n) {
  if (n <= 0) return false;
  auto device = CreatePortDevice(n);
  if (!device) return false;
  const int rc = device->Open();
  if (rc >= 0) {
    device->Close();
    return true;
  }
  // Held by another program (or not ours to open): the port exists.
  return ShowPortsInUse && rc == ecAccessDenied;
}

TComSelectForm::TComSelectForm(QWidget* owner) : QDialog(owner) {
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
  Label1 = new QLabel(QStringLiteral("The configured serial port is not valid."), this);
  Label1->setObjectName(QStringLiteral("Label1"));
  Label1->move(18, 14);
  Label1->adjustSize();

  Label2 = new QLabel(QStringLiteral("Please choose another port."), this);
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

  WidenForTexts();
  FormCreate();

  if (QScreen* screen = this->screen()) {
    const QRect area = screen->availableGeometry();
    move(area.center() - rect().center());
  }
}

void TComSelectForm::WidenForTexts() {
  // A face wider than the layout's would push the first line past the frame:
  // the frame, the list and the dialog grow by as much, Cancel stays right.
  const int needed = std::max(Label1->geometry().right(), Label2->geometry().right()) + 10;
  const int extra = needed - Bevel1->geometry().right();
  if (extra <= 0) return;
  setFixedSize(width() + extra, height());
  Bevel1->resize(Bevel1->width() + extra, Bevel1->height());
  PortsComboBox->resize(PortsComboBox->width() + extra, PortsComboBox->height());
  AbortBtn->move(AbortBtn->x() + extra, AbortBtn->y());
}

void TComSelectForm::FormCreate() {
  const auto devices = DiscoverPorts();
  for (int n = 1; n <= MaxComSelectPort; ++n) {
    if (!IsPortAvailable(n)) continue;
    // The entry names the port and, so the operator knows what it is, its
    // device and what the system says the device is.
    const std::string path = ResolvePortPath(n);
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

QString TComSelectForm::SelectedCom() const {
  const int n = SelectedComNum();
  return n > 0 ? QStringLiteral("COM%1").arg(n) : QString();
}

int TComSelectForm::SelectedComNum() const {
  if (PortsComboBox->currentIndex() < 0) return 0;
  return PortsComboBox->currentData().toInt();
}

}  // namespace kestrel
