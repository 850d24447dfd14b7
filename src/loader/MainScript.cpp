// Picking and reading a script, line by line, and the command line table.

#include <QDir>
#include <algorithm>
#include <cstdio>
#include <exception>

#include "BusyCursor.h"
#include "CommandLine.h"
#include "MainUnit.h"
#include "Progress.h"
#include "RunRecord.h"
#include "ScriptArguments.h"
#include "ScriptFiles.h"
#include "ScriptReader.h"
#include "WindowWaits.h"

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
  const bool finished = read_script_file();
  if (ownRecord) {
    switch (ScriptOutcome) {
      case TScriptOutcome::CannotOpen:
        Recorder->Finish("cannot open", kExitNoScript);
        break;
      case TScriptOutcome::Finished:
        Recorder->Finish("finished", !upload_cancelled() && Recorder->ErrorCount() == 0
                                         ? kExitSuccess
                                         : kExitRunFailed);
        break;
      default:
        Recorder->Finish("stopped", kExitRunFailed);
    }
  }
  return finished;
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
    enable_btns();
    ScriptOutcome = TScriptOutcome::CannotOpen;
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

  while (!cancelled()) {
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

  set_status(" ");
  set_status(cancelled() ? "Unsuccessful. Upload terminated by user/error(s)."
                         : "SUCCESS. Reading script file complete");
  enable_btns();
  ScriptOutcome = TScriptOutcome::Finished;
  return true;
}

void TKestrelForm::stop_script_run_cleanly() {
  set_status(" ");
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
  const TFilePtr file = open_file_for_read(UploadFileName);
  if (!file) {
    MessageText = "Error opening file " + UploadFileName;
    show_message(MessageText);
    return false;
  }
  if (const std::optional<std::tm> stamp = file_local_modification_time(file.get()))
    VersionText = script_field(script_date_text(*stamp), kVersionTextSize - 1);
  return true;
}

}  // namespace kestrel
