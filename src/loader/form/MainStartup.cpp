// Start-up, the button and port-menu state, and closing.

#include <QCheckBox>
#include <QCoreApplication>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QStringList>
#include <QTimer>

#include "loader/form/MainUnit.h"
#include "loader/windows/SplashUnit.h"

namespace kestrel {

namespace {

constexpr int kSettingsNoteMs = 10000;

}  // namespace

void TKestrelForm::FormShow() {
  VersionLabel->setText(QStringLiteral("Version : ") + QString::fromLatin1(kProgramVersion));
  VersionLabel->adjustSize();

  read_settings();
  // An unattended run is automatic mode with a script of its own.
  if (FStartUp.Script) Settings.AutomaticMode = true;

  // No script starts while the probe is still looking for the unit.
  disable_btns();
  bool found = probe_at_start_up();
  enable_btns();
  if (!found && !Settings.AutomaticMode)
    com_not_found();
  else
    ComCheckBox->setEnabled(false);

  start_status_lights();
  hide_splash();

  if (Settings.AutomaticMode) {
    if (run_stopping()) {
      // Stopped while probing: there is no run to start.
    } else if (port_open()) {
      set_status("Uploading file(s). Please wait....");
      QCoreApplication::processEvents();
      setEnabled(false);
      begin_run(FStartUp.Script ? *FStartUp.Script : Settings.AutoScriptName);
      read_ini();
      setEnabled(true);
      set_status(" ");
      QCoreApplication::processEvents();
    } else {
      // Why, port by port, was said as each port failed.
      show_message(
          "Error!! COM port communication failed. Please check RS232 connection/INI settings. "
          "Exiting application");
    }
    // The process ends on the timer's first tick, once the event loop runs.
    JustUploadTimer->start();
    return;
  }

  // Probing took the bar at once: the note on the settings comes back over
  // its outcome for a while, where the operator sees it.
  if (!FSettingsNote.isEmpty()) InfoStatusBar->showMessage(FSettingsNote, kSettingsNoteMs);
  AdTerminal1->Widget()->setFocus();
}

bool TKestrelForm::probe_at_start_up() {
  Link.PortFailures.clear();
  // One round: each port is probed once, the configured one first.
  const int configured = Settings.ConfiguredComNumber;
  if (configured != 0 && check_com(configured)) return true;
  return probe_ports(configured) == 1;
}

void TKestrelForm::start_status_lights() {
  // On a closed port the request waits for the next open.
  ApdSLController1->SetMonitoring(true);
}

void TKestrelForm::hide_splash() {
  if (FSplashForm) FSplashForm->hide();
}

void TKestrelForm::com_not_found() {
  // The status bar keeps its guidance; why each port failed is at hand on it.
  QStringList reasons;
  for (const std::string& text : Link.PortFailures) reasons << QString::fromStdString(text);
  InfoStatusBar->setToolTip(reasons.join(QLatin1Char('\n')));
  if (Settings.ConfiguredComNumber == 0) {
    set_status("Unable to open Hardware through COM ports. Select new COM port before proceeding");
    disable_btns();
    return;
  }
  set_status(
      "Error opening Hardware via COM ports. Select new COM port/check RS232 connection before "
      "proceeding");
  // A number no port can have is never truncated into another port's.
  if (Settings.ConfiguredComNumber > kMaxComNumber) return;
  try {
    ApdComPort1->SetComNumber(uint16_t(Settings.ConfiguredComNumber));
  } catch (const std::exception&) {
    return;
  }
  // The configured port is opened without asking the unit; a failure is
  // quietly undone.
  if (!port_open() && !try_open_port()) close_port();
  if (port_open()) show_port_number();
}

void TKestrelForm::disable_btns() {
  UploadButton->setEnabled(false);
  PickButton->setEnabled(false);
}

void TKestrelForm::enable_btns() {
  UploadButton->setEnabled(true);
  PickButton->setEnabled(true);
}

void TKestrelForm::ExitMenuClick() {
  close();
}

void TKestrelForm::FormCloseQuery(bool& CanClose) {
  if (!Session.UploadInProgress) {
    // Breaks a command exchange that is still waiting for the unit; a run
    // under way stops with it and lets the port go.
    Link.AwaitingResponse = false;
    if (FRunActive) request_stop("the window was closed during the run");
    return;
  }
  // The question does not hold the upload up: a unit cannot wait for the
  // operator, so the blocks keep going while the box is open.
  CanClose = false;
  if (FExitQuestionOpen) return;
  FExitQuestionOpen = true;
  Dialog.AskExit(
      this,
      "File upload in progress.\rAre you sure you want to cancel upload and exit the application?",
      [this](bool yes) {
        FExitQuestionOpen = false;
        if (!yes) return;
        if (!Settings.AutomaticMode) hide();
        // The upload stops at its next block or wait and the run leaves its
        // record; then the process ends.
        FExitAfterRun = true;
        request_stop("stopped by the operator");
        if (!Session.UploadInProgress && !FRunActive) end_program(0);
      });
}

void TKestrelForm::JustUploadTimerTimer() {
  JustUploadTimer->stop();
  hide();
  end_program(0);
}

}  // namespace kestrel
