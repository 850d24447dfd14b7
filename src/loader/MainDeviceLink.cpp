// The window's side of the serial port: sending commands, waiting for the
// unit's prompt, probing for the unit, and the port and baud menus.

#include <unistd.h>

#include <QCheckBox>
#include <QLabel>
#include <cerrno>

#include "Adexcept.h"
#include "Adselcom.h"
#include "AwPortPath.h"
#include "BusyCursor.h"
#include "MainUnit.h"

namespace kestrel {

namespace {

// The port reports a device held by another program (its exclusive lock)
// and one the user may not open by the same code; the device's permissions
// tell them apart.
std::string access_denied_text(int port) {
  const std::string path = ResolvePortPath(port);
  const std::string com = "COM " + std::to_string(port) + ": ";
  if (::access(path.c_str(), R_OK | W_OK) != 0 && errno == EACCES)
    return com + "no permission to open " + path + " (join the dialout group)";
  return com + path + " is in use by another program";
}

std::string refused_rate_text(int port, int32_t baud) {
  return "Error! " + ResolvePortPath(port) + " (COM " + std::to_string(port) + ") refuses " +
         std::to_string(baud) + " baud";
}

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

void TKestrelForm::SendString(const std::string& text) {
  if (ApdComPort1->OutBuffFree() > text.size()) {
    try {
      ApdComPort1->PutString(text);
    } catch (const EDeviceLost&) {
      // The device went away: the wait that follows ends as for a silent unit.
    }
    return;
  }
  // The caller is not told: the exchange that follows fails on its own.
  show_message("Error! Communications Port Output Buffer Overflow");
}

bool TKestrelForm::SendCOMCmd_GetPrompt(const std::string& text) {
  // Delivery stops before the text goes out: a quick answer must reach the
  // wait, not a handler (the terminal pane's) that would take it first.
  ApdComPort1->PrepareWait();
  try {
    ApdComPort1->FlushInBuffer();
    SendString(text);
  } catch (...) {
    ApdComPort1->AbandonPreparedWait();
    throw;
  }
  const int timeout = Probing ? kPromptWaitProbing : PromptWait;
  const bool found =
      ApdComPort1->WaitForString(std::string(1, AwaitedPrompt), timeout, true, false);
  ApdComPort1->FlushInBuffer();
  ApdComPort1->FlushOutBuffer();
  return found;
}

void TKestrelForm::send_command_buffer() {
  if (port_open()) SendString(CommandBuffer);
}

bool TKestrelForm::check_com(int port) {
  // A port whose device went away is closed first: the device may be back.
  if (port_open() && ApdComPort1->DeviceLost()) close_port();
  if (port < 1 || port > kMaxComNumber || !IsPortAvailable(port)) return false;
  const std::string number = std::to_string(port);

  bool openFailed = false;
  bool rateRefused = false;
  try {
    // An open port moves to the new number.
    ApdComPort1->SetComNumber(uint16_t(port));
    if (!port_open()) ApdComPort1->SetOpen(true);
  } catch (const EAPDException& e) {
    openFailed = true;
    // Why, on the status bar, before the note that covers every case.
    if (e.ErrorCode() == ecAlreadyOpen)
      InfoStatusBar->SetSimpleText(QString::fromStdString(access_denied_text(port)));
    // The driver cannot run the line at the rate asked for: the note would
    // send the operator looking for another program.
    rateRefused = e.ErrorCode() == ecBaudRate;
  } catch (const std::exception&) {
    openFailed = true;
  }
  if (openFailed) {
    MessageText = rateRefused ? refused_rate_text(port, ApdComPort1->Baud())
                              : "Note: COM Port #" + number +
                                    " is not responding/being used by other applications.";
    show_message(MessageText);
    close_port();
  }

  Probing = true;
  bool answered = false;
  if (!openFailed) {
    try {
      // A unit answers a carriage return with "#", or with ">" in loader mode.
      AwaitedPrompt = Settings.NormalPrompt;
      answered = SendCOMCmd_GetPrompt("\r");
      if (!answered) {
        AwaitedPrompt = Settings.LoaderPrompt;
        answered = SendCOMCmd_GetPrompt("\r");
      }
      if (!answered) close_port();
    } catch (const std::exception&) {
      MessageText = "Note: COM Port #" + number + " is not responding.";
      show_message(MessageText);
      answered = false;
      close_port();
    }
  }
  Probing = false;
  if (!answered) return false;

  InfoStatusBar->SetSimpleText(QStringLiteral("Established communication on COM ") +
                               QString::fromStdString(number));
  show_port_number();
  LastGoodComPort = ApdComPort1->ComNumber();
  ComBaudLabel->setText(QString::number(ApdComPort1->Baud()));
  ComBaudLabel->adjustSize();
  return true;
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
