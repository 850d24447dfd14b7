// The window's side of the serial port: sending commands, waiting for the
// unit's prompt, probing for the unit, and the port and baud menus.

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <algorithm>
#include <climits>
#include <cstdio>
#include <string>

#include "loader/form/MainUnit.h"
#include "loader/windows/BusyCursor.h"
#include "messages/Adexcept.h"
#include "serial/qt/Adselcom.h"
#include "serialdevice/AwPortPath.h"

namespace kestrel {

namespace {

// A printable form of a prompt character for the operator's texts.
std::string shown_prompt(char c) {
  const auto u = static_cast<unsigned char>(c);
  if (u >= 0x20 && u != 0x7F) return std::string(1, c);
  char hex[8];
  std::snprintf(hex, sizeof hex, "\\x%02X", u);
  return hex;
}

// Where the operator can look next when a port leads nowhere useful.
std::string mapping_hint(int port) {
  const std::string n = std::to_string(port);
  return " (kestrel --list-ports shows the serial devices; KESTREL_COM" + n +
         "=DEVICE maps one to COM " + n + ")";
}

std::string port_failure_text(int port, const std::string& path, TOpenFailure failure,
                              const std::string& reason = {}) {
  const std::string com = "COM " + std::to_string(port) + ": ";
  // A network line says what went wrong in its own words: refused, no such host.
  if (!reason.empty()) return com + path + ": " + reason;
  switch (failure) {
    case TOpenFailure::ofInUse:
      return com + path + " is in use by another program";
    case TOpenFailure::ofPermission:
    case TOpenFailure::ofOther:
      return com + path + ": " + OpenFailureText(failure, path);
    default:
      return com + path + ": " + OpenFailureText(failure, path) + mapping_hint(port);
  }
}

std::string refused_rate_text(int port, const std::string& path, int32_t baud) {
  return "Error! " + path + " (COM " + std::to_string(port) + ") refuses " + std::to_string(baud) +
         " baud";
}

}  // namespace

void TKestrelForm::note_port_failure(const std::string& text) {
  Link.PortFailures.push_back(text);
  report_status(text, TStatusSource::Window);
}

void TKestrelForm::show_port_failure() {
  if (Link.PortFailures.empty()) return;
  report_status(Link.PortFailures.back(), TStatusSource::Window);
}

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
  if (run_stopping()) return;  // the port has been let go
  if (ApdComPort1->OutBuffFree() > text.size()) {
    Link.Words.Sent(text);
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

bool TKestrelForm::SendCOMCmd_GetPrompt(const std::string& text, char prompt,
                                        const TPromptExchange& exchange) {
  return exchange_prompt(text, prompt, exchange).Ok;
}

TExchange TKestrelForm::exchange_prompt(const std::string& text, char prompt,
                                        const TPromptExchange& exchange) {
  TExchange result;
  Link.LastPrompt = prompt;
  // A stopped run exchanges nothing more; a wait it cut short found nothing.
  if (run_stopping()) return result;
  // Delivery stops before the text goes out: a quick answer must reach the
  // wait, not a handler (the terminal pane's) that would take it first.
  ApdComPort1->PrepareWait();
  TPromptVerdict verdict = TPromptVerdict::Pending;
  try {
    // What the unit sent before is no answer to this text, but it may be
    // why the step fails: it is read, not thrown away unseen.
    take_waiting_bytes();
    SendString(text);
    verdict = await_prompt(prompt, exchange.Wait);
  } catch (...) {
    ApdComPort1->AbandonPreparedWait();
    throw;
  }
  ApdComPort1->AbandonPreparedWait();
  result.Ok = verdict == TPromptVerdict::Awaited;
  // A prompt the unit showed counts even when a stop came meanwhile.
  if (run_stopping()) return result;
  ApdComPort1->FlushInBuffer();
  ApdComPort1->FlushOutBuffer();
  if (!result.Ok) {
    result.Why = Link.Words.Cause();
    tell_observers([&, com = int(ApdComPort1->ComNumber())](TRunObserver& o) {
      o.PromptMissed(prompt, com, exchange.Attempt, exchange.Attempts);
    });
  }
  return result;
}

std::string TKestrelForm::take_waiting_bytes(size_t most) {
  const size_t waiting = std::min<size_t>(ApdComPort1->InBuffUsed(), most);
  if (waiting == 0) return {};
  std::string bytes(waiting, '\0');
  ApdComPort1->GetBlock(bytes.data(), uint16_t(waiting));
  unit_said(bytes.data(), bytes.size());
  return bytes;
}

TPromptVerdict TKestrelForm::await_prompt(char awaited, int ticks) {
  // The other prompt of the unit, which tells it answered in the other mode.
  char other = awaited == Settings.LoaderPrompt   ? Settings.NormalPrompt
               : awaited == Settings.NormalPrompt ? Settings.LoaderPrompt
                                                  : 0;
  if (other == awaited) other = 0;
  TPromptJudge judge(awaited, other);
  constexpr int64_t kTickMs = 55;
  const int64_t due = Waits().now_ms() + (int64_t(std::max(ticks, 0)) + 1) * kTickMs;
  // A prompt that came just before the time was up may still settle; a
  // unit that keeps talking after it cannot hold the wait for long.
  const int64_t latest = due + 10 * TPromptJudge::kSettleMs;
  constexpr size_t kTakenAtOnce = 64;
  for (;;) {
    // The port may be closed or moved by an event handled while we wait.
    if (!port_open()) return TPromptVerdict::Pending;
    // A few bytes at a time: a unit that never stops talking cannot keep
    // the wait from its time limit.
    if (!run_stopping()) {
      const int64_t arrived = Waits().now_ms();
      for (const char c : take_waiting_bytes(kTakenAtOnce)) judge.Feed(c, arrived);
    }
    const int64_t now = Waits().now_ms();
    const TPromptVerdict verdict = judge.Verdict(now);
    if (verdict != TPromptVerdict::Pending) return verdict;
    // A stop, or a device that went away, ends the wait; a prompt the unit
    // sent last before that was its answer.
    if (run_stopping() || ApdComPort1->DeviceLost()) return judge.Verdict(INT64_MAX);
    const int64_t until = judge.DueMs() != INT64_MAX ? std::min(judge.DueMs(), latest) : due;
    if (now >= until) return verdict;
    Waits().wait_for_events(
        [this] {
          return run_stopping() || !port_open() || ApdComPort1->CharReady() ||
                 ApdComPort1->DeviceLost();
        },
        until);
  }
}

void TKestrelForm::send_command_buffer(const std::string& command) {
  if (port_open()) SendString(command);
}

bool TKestrelForm::check_com(int port) {
  // A port whose device went away is closed first: the device may be back.
  if (port_open() && ApdComPort1->DeviceLost()) close_port();
  if (port < 1 || port > kMaxComNumber) return false;
  // The trial open also tells why a port cannot be used.
  const TPortTrial trial = TryPort(port, ApdComPort1->PortMap());
  if (!trial.Available) {
    note_port_failure(port_failure_text(port, trial.Path, trial.Failure, trial.Reason));
    return false;
  }
  const std::string number = std::to_string(port);

  bool openFailed = false;
  std::string openError;
  bool rateRefused = false;
  try {
    // An open port moves to the new number.
    ApdComPort1->SetComNumber(uint16_t(port));
    if (!port_open()) ApdComPort1->SetOpen(true);
  } catch (const EAPDException& e) {
    openFailed = true;
    openError = e.what();
    // The driver cannot run the line at the rate asked for: the note would
    // send the operator looking for another program.
    rateRefused = e.ErrorCode() == ecBaudRate;
  } catch (const std::exception& e) {
    openFailed = true;
    openError = e.what();
  }
  if (openFailed) {
    show_message(rateRefused ? refused_rate_text(port, trial.Path, ApdComPort1->Baud())
                             : "Note: COM Port #" + number +
                                   " is not responding/being used by other applications.");
    close_port();
    // The port reports a device held by another program and one the user may
    // not open alike; the trial open told which, or a new one tells now.
    TOpenFailure failure = trial.Failure;
    if (failure == TOpenFailure::ofNone) failure = TryPort(port, ApdComPort1->PortMap()).Failure;
    note_port_failure(failure == TOpenFailure::ofNone
                          ? "COM " + number + ": " + trial.Path + ": " + openError
                          : port_failure_text(port, trial.Path, failure));
  }

  bool answered = false;
  if (!openFailed) {
    try {
      // A unit answers a carriage return with "#", or with ">" in loader mode.
      answered = SendCOMCmd_GetPrompt("\r", Settings.NormalPrompt, {kPromptWaitProbing, 1, 2});
      if (!answered)
        answered = SendCOMCmd_GetPrompt("\r", Settings.LoaderPrompt, {kPromptWaitProbing, 2, 2});
      if (!answered) {
        close_port();
        note_port_failure("COM " + number + ": " + trial.Path + " opened, but no prompt (\"" +
                          shown_prompt(Settings.NormalPrompt) + "\" or \"" +
                          shown_prompt(Settings.LoaderPrompt) +
                          "\") came within 3.6 s; check the cable, the unit's power and the baud "
                          "rate (" +
                          std::to_string(ApdComPort1->Baud()) + ")");
      }
    } catch (const std::exception& e) {
      show_message("Note: COM Port #" + number + " is not responding.");
      answered = false;
      close_port();
      note_port_failure("COM " + number + ": " + trial.Path + ": " + e.what());
    }
  }
  if (!answered) return false;

  // A serial device server that ignored some of what it was asked (a line
  // without modem control cannot set DTR or RTS) has been carried on
  // without; the operator learns what.
  if (const auto unconfirmed = ApdComPort1->DeviceUnconfirmed(); !unconfirmed.empty()) {
    std::string list;
    for (const std::string& item : unconfirmed) list += (list.empty() ? "" : ", ") + item;
    report_status("COM " + number + ": " + trial.Path + " did not confirm " + list,
                  TStatusSource::Window);
  }
  report_status("Established communication on COM " + number, TStatusSource::Window);
  InfoStatusBar->setToolTip(QString());  // earlier reasons no longer apply
  show_port_number();
  Link.LastGoodComPort = ApdComPort1->ComNumber();
  ComBaudLabel->setText(QString::number(ApdComPort1->Baud()));
  ComBaudLabel->adjustSize();
  return true;
}

int TKestrelForm::process_com() {
  return probe_ports(0);
}

int TKestrelForm::probe_ports(int probed) {
  TBusyCursor busy;
  for (const int port : {1, 2}) {
    if (port != probed && check_com(port)) {
      ComCheckBox->setChecked(true);
      return 1;
    }
  }
  return -1;
}

void TKestrelForm::NoneMenuClick() {
  if (Link.LastGoodComPort == 0)
    set_status("Note: Last successful COM port used is: Never");
  else
    report_status("Note: Last successful COM port used is: " + std::to_string(Link.LastGoodComPort),
                  TStatusSource::Window);
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
  disable_btns();  // no script starts in the middle of the probe
  Link.PortFailures.clear();
  const std::string number = std::to_string(port);
  report_status("Checking COM " + number + ".... Please wait.... ", TStatusSource::Window);
  if (check_com(port)) {
    report_status("Established communication on COM " + number, TStatusSource::Window);
    ComCheckBox->setChecked(true);
  } else {
    set_status(
        "Unable to open Hardware thru COM ports. Select new COM port/check RS232 connection "
        "before proceeding");
    show_message("Error! Cannot establish communication using COM " + std::to_string(port) +
                 ". Please check RS232 connection");
    // Why, where it stays in view.
    show_port_failure();
  }
  start_status_lights();
  enable_btns();
  show_port_number();
}

void TKestrelForm::SearchAllMenuClick() {
  // No script starts in the middle of the probe.
  Link.PortFailures.clear();
  const bool enabled = PickButton->isEnabled();
  disable_btns();
  const int found = process_com();
  if (enabled) enable_btns();
  if (found == -1) {
    com_not_found();
    return;
  }
  ComCheckBox->setEnabled(false);
  start_status_lights();
  enable_btns();
}

int TKestrelForm::current_com_number() const {
  // The number the window shows for the port ("None" reads as 0), else the
  // configured one, else COM1.
  if (const int shown = ComNumberLabel->text().toInt(); shown > 0) return shown;
  const int configured = Settings.ConfiguredComNumber;
  return configured > 0 && configured <= kMaxComNumber ? configured : 1;
}

void TKestrelForm::ChoosePortMenuClick() {
  const int port = current_com_number();
  TComSelectForm form(ApdComPort1->PortMap(), port, this, FPortRoots);
  if (form.exec() != TComSelectForm::mrOk) return;
  const std::string device = form.SelectedDevice();
  if (device.empty()) return;
  // For this session only: the settings and the environment stay as they are.
  ApdComPort1->PortMap().MapPortForSession(port, device);
  // An open port keeps the device it has until it is opened again.
  close_port();
  probe_from_menu(port);
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
  Link.PortFailures.clear();
  if (!port_open() && process_com() == -1) {
    ComCheckBox->setChecked(false);
    show_message(
        "Unable to use Com Ports. Please make sure no one else is using the Hardware thru the Com "
        "Ports");
    show_port_failure();
  }
}

}  // namespace kestrel
