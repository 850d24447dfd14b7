// The window's side of the serial port: probing for the unit and the port
// and baud menus.

#include <QApplication>
#include <QCheckBox>
#include <QLabel>

#include "MainUnit.h"

namespace kestrel {

namespace {

// Shows the hourglass for as long as a probe runs.
class TBusyCursor {
 public:
  TBusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
  ~TBusyCursor() { QApplication::restoreOverrideCursor(); }
  TBusyCursor(const TBusyCursor&) = delete;
  TBusyCursor& operator=(const TBusyCursor&) = delete;
};

}  // namespace

// Until the window owns the serial port component no port opens, so a
// probe never finds the unit; the port number and line settings are kept
// in PortSettings for the component to take over.

bool TKestrelForm::try_open_port() {
  return false;
}

void TKestrelForm::close_port() {
  PortSettings.Open = false;
}

void TKestrelForm::set_port_baud(long baud) {
  PortSettings.Baud = baud;
  ComBaudLabel->setText(QString::number(PortSettings.Baud));
  ComBaudLabel->adjustSize();
}

bool TKestrelForm::check_com(int) {
  return false;
}

int TKestrelForm::process_com() {
  TBusyCursor busy;
  if (check_com(1) || check_com(2)) {
    ComCheckBox->setChecked(true);
    return 1;
  }
  return -1;
}

void TKestrelForm::NoneMenuClick() {
  if (LastGoodComPort == 0)
    set_status("Note: Last successful COM port used is: Never");
  else
    InfoStatusBar->SetSimpleText(QStringLiteral("Note: Last successful COM port used is: ") +
                                 QString::number(LastGoodComPort));
  close_port();
  PortSettings.ComNumber = 0;
  ComNumberLabel->setText(QStringLiteral("None"));
  ComNumberLabel->adjustSize();
  disable_btns();
}

void TKestrelForm::COM1MenuClick() {
  probe_from_menu(1);
}
void TKestrelForm::COM2MenuClick() {
  probe_from_menu(2);
}

void TKestrelForm::probe_from_menu(int port) {
  TBusyCursor busy;
  const QString number = QString::number(port);
  InfoStatusBar->SetSimpleText(QStringLiteral("Checking COM ") + number +
                               QStringLiteral(".... Please wait.... "));
  if (check_com(port)) {
    InfoStatusBar->SetSimpleText(QStringLiteral("Established communication on COM ") + number);
    ComCheckBox->setChecked(true);
  } else {
    set_status(
        "Unable to open Hardware thru COM ports. Select new COM port/check RS232 connection "
        "before proceeding");
    MessageText = "Error! Cannot establish communication using COM " + std::to_string(port) +
                  ". Please check RS232 connection";
    show_message(MessageText);
  }
  start_status_lights();
  enable_btns();
  ComNumberLabel->setText(PortSettings.ComNumber == 0 ? QStringLiteral("None")
                                                      : QString::number(PortSettings.ComNumber));
  ComNumberLabel->adjustSize();
}

void TKestrelForm::SearchAllMenuClick() {
  if (process_com() == -1) {
    com_not_found();
    return;
  }
  ComCheckBox->setEnabled(false);
  start_status_lights();
  enable_btns();
}

void TKestrelForm::N12001Click() {
  set_port_baud(1200);
}
void TKestrelForm::N24001Click() {
  set_port_baud(2400);
}
void TKestrelForm::N96001Click() {
  set_port_baud(9600);
}
void TKestrelForm::N192001Click() {
  set_port_baud(19200);
}
void TKestrelForm::N384001Click() {
  set_port_baud(38400);
}
void TKestrelForm::N576001Click() {
  set_port_baud(57600);
}

void TKestrelForm::ComCheckBoxClick() {
  if (!ComCheckBox->isChecked()) {
    if (port_open()) close_port();
    return;
  }
  if (!port_open() && process_com() == -1) {
    ComCheckBox->setChecked(false);
    show_message(
        "Unable to use Com Ports. Please make sure no one else is using the Hardware thru the Com "
        "Ports");
  }
}

}  // namespace kestrel
