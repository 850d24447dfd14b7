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

bool TKestrelForm::try_open_port() {
  try {
    ApdComPort1->SetOpen(true);
  } catch (const std::exception&) {
    return false;
  }
  return ApdComPort1->Open();
}

void TKestrelForm::close_port() {
  try {
    ApdComPort1->SetOpen(false);
  } catch (const std::exception&) {
    // A port that vanished is closed as far as the window is concerned.
  }
}

void TKestrelForm::set_port_baud(long baud) {
  ApdComPort1->SetBaud(int32_t(baud));
  ComBaudLabel->setText(QString::number(ApdComPort1->Baud()));
  ComBaudLabel->adjustSize();
}

void TKestrelForm::show_port_number() {
  const uint16_t number = ApdComPort1->ComNumber();
  ComNumberLabel->setText(number == 0 ? QStringLiteral("None") : QString::number(number));
  ComNumberLabel->adjustSize();
}

// Probing asks the unit for its prompt; that exchange is not wired yet, so
// no port answers.
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
  ApdComPort1->SetComNumber(0);
  show_port_number();
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
  show_port_number();
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
