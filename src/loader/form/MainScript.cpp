// Picking and reading a script, line by line, and the command line table.

#include <QDir>
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
    begin_run(*chosen);
    INIOpenDialog.InitialDir.clear();
    read_ini();
    AdTerminal1->Widget()->setFocus();
  }
}

void TKestrelForm::begin_run(const std::string& script) {
  Session = TScriptSession();
  Session.ScriptFileName = script;
  Chain.Drop();
  Link.AwaitingResponse = false;
  Link.Capture.Clear();
  FCancel = {};
}

bool TKestrelForm::read_ini() {
  const TRunRecorder::TPort port = port_for_record();
  tell_observers([&](TRunObserver& o) { o.RunBegins(Session.ScriptFileName, port); });
  Session.Outcome.Begin();
  FRunActive = true;
  const bool finished = read_script_file();
  FRunActive = false;
  Session.Outcome.SetCancelled(run_cancelled());
  if (run_stopping()) Session.Outcome.End(TRunEnd::Interrupted);
  const TRunEnd end = Session.Outcome.End();
  const int status = Session.Outcome.Succeeded()   ? kExitSuccess
                     : end == TRunEnd::CannotOpen  ? kExitNoScript
                     : end == TRunEnd::Interrupted ? exit_status_after_stop()
                                                   : kExitRunFailed;
  tell_observers([&](TRunObserver& o) { o.RunEnded(Session.Outcome, status); });
  if (FExitAfterRun) end_program(0);
  return finished;
}

const char* TKestrelForm::verdict_text() const {
  return Session.Outcome.Succeeded() ? "SUCCESS. Reading script file complete"
                                     : "Unsuccessful. Upload terminated by user/error(s).";
}

bool TKestrelForm::read_script_file() {
  disable_btns();
  set_status("Reading script file. Please wait....");
  Waits().process_pending_events();

  TScriptReader script(Session.ScriptFileName);
  if (!script.IsOpen()) {
    show_message("Error opening file " + Session.ScriptFileName + " for read.");
    set_status(" ");
    set_status_text("Cannot read the script " + Session.ScriptFileName + ": " + script.OpenError());
    enable_btns();
    Session.Outcome.End(TRunEnd::CannotOpen);
    return false;
  }
  // Without a port every exchange would fail one by one: the run does not
  // start, and says why.
  if (!port_open()) {
    const int com = ApdComPort1->ComNumber();
    show_message(
        "Error! No COM port is open, so the script " + Session.ScriptFileName + " was not run. " +
        (com == 0 ? std::string("No port is selected")
                  : "COM " + std::to_string(com) + " did not answer or could not be opened") +
        ": choose one under RS232 Config, COM Port.");
    stop_script_run_cleanly();
    return false;
  }

  // The verdict counts every file the script names, reached or not.
  Session.Outcome.ScriptNames(script_files_named(Session.ScriptFileName));

  const auto cancelled = [this] { return run_cancelled(); };
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
    Session.Store(*line);
    if (!run_line()) {
      stop_script_run_cleanly();
      return false;
    }
  }

  Session.Outcome.End(TRunEnd::Finished);
  Session.Outcome.SetCancelled(cancelled());
  set_status(" ");
  set_status(verdict_text());
  enable_btns();
  return true;
}

void TKestrelForm::stop_script_run_cleanly() {
  Session.Outcome.End(TRunEnd::Stopped);
  set_status(" ");
  // A run that stopped loaded less than it was meant to.
  set_status(verdict_text());
  enable_btns();
}

bool TKestrelForm::run_script_line() {
  const std::optional<std::string> line = Session.CurrentLine();
  if (!line) return true;
  if (!run_script_command(*line)) return false;
  Session.Advance();
  return true;
}

void TKestrelForm::clear_script_lines() {
  Session.ClearLines();
}

bool TKestrelForm::get_date() {
  if (Chain.TakeFileDate()) return true;
  date_not_taken();
  return false;
}

void TKestrelForm::date_not_taken() {
  show_message("Error opening file " + Chain.FileName);
}

const TRunOutcome& TKestrelForm::settle_outcome(const std::string& script) {
  // A script that never started still names its files.
  if (Session.Outcome.End() == TRunEnd::NotRun)
    Session.Outcome.ScriptNames(script_files_named(script));
  if (run_stopping()) Session.Outcome.End(TRunEnd::Interrupted);
  return Session.Outcome;
}

}  // namespace kestrel
