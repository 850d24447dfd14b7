// Picking and reading a script, line by line, and the command line table.

#include <QDir>
#include <algorithm>
#include <cstdio>
#include <exception>

#include "loader/core/CommandLine.h"
#include "loader/core/RunRecord.h"
#include "loader/core/ScriptArguments.h"
#include "loader/core/ScriptFiles.h"
#include "loader/core/ScriptReader.h"
#include "loader/form/MainUnit.h"
#include "loader/form/WindowWaits.h"
#include "loader/windows/BusyCursor.h"
#include "loader/windows/Progress.h"

namespace kestrel {

void TKestrelForm::PickButtonClick() {
  INIOpenDialog.InitialDir = QDir::currentPath().toStdString();
  const std::optional<std::string> chosen = Dialog.OpenFile(this, INIOpenDialog);
  if (!chosen) return;
  {
    TBusyCursor busy;
    clear_script_lines();
    ScriptFileName = *chosen;
    INIOpenDialog.InitialDir.clear();
    if (FProgressForm) FProgressForm->CancelFlag = 0;
    read_ini();
    AdTerminal1->Widget()->setFocus();
  }
}

bool TKestrelForm::read_ini() {
  // A run nobody else has started on the record is this one's to finish.
  const bool ownRecord = Recorder && !Recorder->Running();
  if (ownRecord) Recorder->Start();
  if (Recorder) {
    Recorder->Script(ScriptFileName);
    record_port();
  }
  Outcome.Begin();
  FRunActive = true;
  const bool finished = read_script_file();
  FRunActive = false;
  FUploadFile.reset();
  Outcome.SetCancelled(upload_cancelled());
  if (run_stopping()) Outcome.End(TRunEnd::Interrupted);
  if (ownRecord) {
    const TRunEnd end = Outcome.End();
    Recorder->Finish(Outcome, Outcome.Succeeded()           ? kExitSuccess
                              : end == TRunEnd::CannotOpen  ? kExitNoScript
                              : end == TRunEnd::Interrupted ? exit_status_after_stop()
                                                            : kExitRunFailed);
  }
  if (FExitAfterRun) EndProcess(0);
  return finished;
}

const char* TKestrelForm::verdict_text() const {
  return Outcome.Succeeded() ? "SUCCESS. Reading script file complete"
                             : "Unsuccessful. Upload terminated by user/error(s).";
}

bool TKestrelForm::read_script_file() {
  disable_btns();
  set_status("Reading script file. Please wait....");
  process_pending_events();

  TScriptReader script(ScriptFileName);
  if (!script.IsOpen()) {
    MessageText = "Error opening file " + ScriptFileName + " for read.";
    show_message(MessageText);
    set_status(" ");
    set_status_text("Cannot read the script " + ScriptFileName + ": " + script.OpenError());
    enable_btns();
    ScriptOutcome = TScriptOutcome::CannotOpen;
    Outcome.End(TRunEnd::CannotOpen);
    return false;
  }
  // Without a port every exchange would fail one by one: the run does not
  // start, and says why.
  if (!port_open()) {
    const int com = ApdComPort1->ComNumber();
    MessageText =
        "Error! No COM port is open, so the script " + ScriptFileName + " was not run. " +
        (com == 0 ? std::string("No port is selected")
                  : "COM " + std::to_string(com) + " did not answer or could not be opened") +
        ": choose one under RS232 Config, COM Port.";
    show_message(MessageText);
    stop_script_run_cleanly();
    return false;
  }

  const auto cancelled = [this] { return FProgressForm && FProgressForm->CancelFlag != 0; };
  const auto run_line = [this] {
    try {
      return run_script_line();
    } catch (const std::exception& e) {
      // A port that is not open (or vanished) ends the run at this line; the
      // error is reported as any escaped one is.
      show_message(e.what());
      return false;
    }
  };

  while (!cancelled() && !run_stopping()) {
    const std::optional<TScriptCommandLine> line = script.Next();
    if (!line) break;
    auto& slot = ScriptLines[CurrentSlot];
    std::copy(line->Text.begin(), line->Text.end(), slot.begin());
    LineFill = int(line->Text.size());
    if (!run_line()) {
      stop_script_run_cleanly();
      return false;
    }
  }

  Outcome.End(TRunEnd::Finished);
  Outcome.SetCancelled(cancelled());
  set_status(" ");
  set_status(verdict_text());
  enable_btns();
  ScriptOutcome = TScriptOutcome::Finished;
  return true;
}

void TKestrelForm::stop_script_run_cleanly() {
  Outcome.End(TRunEnd::Stopped);
  set_status(" ");
  // A run that stopped loaded less than it was meant to.
  set_status(verdict_text());
  enable_btns();
  ScriptOutcome = TScriptOutcome::Stopped;
}

bool TKestrelForm::run_script_line() {
  auto& slot = ScriptLines[CurrentSlot];
  if (slot[0] != '_') return true;
  slot[LineFill] = '\0';
  if (!run_script_command(std::string(slot.data()))) return false;
  advance_script_slot();
  return true;
}

void TKestrelForm::advance_script_slot() {
  if (CurrentSlot < kScriptSlots - 1) ++CurrentSlot;
  LineFill = 0;
}

void TKestrelForm::clear_script_lines() {
  for (auto& slot : ScriptLines) slot.fill('\0');
  CurrentSlot = 0;
  LineFill = 0;
}

bool TKestrelForm::get_date() {
  if (Chain.TakeFileDate()) return true;
  date_not_taken();
  return false;
}

void TKestrelForm::date_not_taken() {
  MessageText = "Error opening file " + Chain.FileName;
  show_message(MessageText);
}

}  // namespace kestrel
