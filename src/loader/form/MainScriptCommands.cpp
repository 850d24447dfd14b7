// The script commands, from _SC to _CS.

#include <cstdio>

#include "loader/core/FileChain.h"
#include "loader/core/RunOutcome.h"
#include "loader/core/RunRecord.h"
#include "loader/core/ScriptArguments.h"
#include "loader/core/ScriptFiles.h"
#include "loader/form/MainUnit.h"
#include "loader/form/WindowWaits.h"

namespace kestrel {

namespace {

constexpr char kCarriageReturn[] = "\r";

}  // namespace

bool TKestrelForm::run_script_command(const std::string& line) {
  const std::string command = line.substr(0, 3);
  if (Session.LineCut()) return script_line_cut(line);
  if (command == "_SC") {
    script_send_command(line);
  } else if (command == "_TC") {
    return script_test_loader_mode(line);
  } else if (command == "_DM") {
    script_display_message(line);
  } else if (command == "_DY") {
    script_delay(line);
  } else if (command == "_LP") {
    script_load_pause(line);
  } else if (command == "_LC") {
    script_load_command(line);
  } else if (command == "_LF") {
    script_load_file(line);
  } else if (command == "_LA") {
    script_load_address(line);
  } else if (command == "_LV") {
    script_load_version(line);
  } else if (command == "_LD") {
    return script_load_do();
  } else if (command == "_PC") {
    script_prompt_character(line);
  } else if (command == "_QC") {
    script_query(line);
  } else if (command == "_CE") {
    return script_compare(line, false);
  } else if (command == "_CS") {
    return script_compare(line, true);
  }
  return true;
}

bool TKestrelForm::script_line_cut(const std::string& line) {
  // A cut line is another line: it never runs. In an upload section only
  // that section's file is lost; any other command leaves the run unable
  // to go on as written.
  const std::string command = line.substr(0, 3);
  if (!is_upload_section_command(command)) {
    show_message(script_line_text() + script_line_too_long(Session.LineLength) +
                 ", so it is not run. Exiting script.");
    return false;
  }
  const TChainStep step = Chain.CutLine(Session.ScriptFileName, line, Session.LineLength);
  if (command == "_LF" && !step.Argument.empty()) Session.Outcome.Named(Chain.FileName);
  section_line_refused(step.Why);
  return true;
}

std::string TKestrelForm::script_line_text() const {
  return "Error! Line " + std::to_string(Session.LineNumber) + " of " + Session.ScriptFileName +
         ": ";
}

void TKestrelForm::section_line_refused(const std::string& why) {
  const TNamedFile* pending = Session.Outcome.Pending();
  const std::string message =
      script_line_text() + why +
      (pending ? ". Cannot upload file " + pending->File + "." : ", so the line is not run.");
  show_message(message);
  if (pending) Session.Outcome.Explain(message);
  set_status_text("Line " + std::to_string(Session.LineNumber) + ": " + why);
}

void TKestrelForm::script_send_command(const std::string& line) {
  const std::optional<std::string> text = script_quoted_text(line);
  if (!text) return;
  send_command_buffer(
      script_field(script_caret_escapes(*text, '\r') + '\r', kCommandBufferSize - 1));
  Waits().sleep_processing_events(200);
}

bool TKestrelForm::script_test_loader_mode(const std::string& line) {
  const std::optional<std::string> quoted = script_quoted_text(line);
  if (!quoted) return true;
  const std::string text = script_caret_escapes(*quoted, '\r');
  // A device that went away cannot answer: the pauses end at once, as do
  // the prompt waits.
  const auto pause = [this](int ms) {
    Waits().sleep_unless(ms, [this] { return ApdComPort1->DeviceLost(); });
  };
  pause(100);
  const char loader = Settings.LoaderPrompt;
  mark_unit_words();

  constexpr int kTries = 4;
  bool inLoaderMode = SendCOMCmd_GetPrompt(text, loader, {kPromptWaitProbing, 1, kTries});
  if (!inLoaderMode && !run_stopping()) {
    SendString(Settings.LoaderModeCommand);
    pause(1000);
    inLoaderMode = SendCOMCmd_GetPrompt(kCarriageReturn, loader, {kPromptWaitProbing, 2, kTries});
  }
  for (int retry = 0; retry < 2 && !inLoaderMode && !run_stopping(); ++retry) {
    pause(2500);
    Waits().process_pending_events();
    inLoaderMode =
        SendCOMCmd_GetPrompt(kCarriageReturn, loader, {kPromptWaitProbing, 3 + retry, kTries});
  }
  if (!inLoaderMode && run_stopping()) return false;
  if (!inLoaderMode) {
    const bool answered =
        SendCOMCmd_GetPrompt(kCarriageReturn, Settings.NormalPrompt, {kPromptWaitProbing});
    show_message(with_cause(answered
                                ? "Error! Unit not in Loader Mode! Exiting script"
                                : "Error! Unable to get response from unit(_TC)! Exiting script",
                            Link.Words.Cause()));
    return false;
  }
  return true;
}

void TKestrelForm::script_display_message(const std::string& line) {
  const std::optional<std::string> text = script_quoted_text(line);
  if (!text) return;
  const std::string note = script_caret_escapes(*text, '\r');
  tell_observers([&](TRunObserver& o) { o.Message(note, true); });
  Dialog.ShowNote(note);
}

void TKestrelForm::script_delay(const std::string& line) {
  const std::optional<std::string> word = script_word(line);
  if (!word) return;
  Waits().sleep_processing_events(script_milliseconds(settings_atol(*word), 10));
}

void TKestrelForm::script_load_pause(const std::string& line) {
  const std::optional<std::string> word = script_word(line);
  if (!word) return;
  Session.LoadPause(settings_atol(*word));
}

void TKestrelForm::script_load_command(const std::string& line) {
  if (const std::optional<std::string> text = script_quoted_text(line))
    Settings.UploadCommand = *text;
}

void TKestrelForm::script_load_file(const std::string& line) {
  const TChainStep step = Chain.NameFile(Session.ScriptFileName, line);
  if (step.Result == TChainResult::NoArgument) return;
  Session.Outcome.Named(Chain.FileName);
  if (step.Result == TChainResult::TooLong) return section_line_refused(step.Why);
  if (step.Result != TChainResult::Failed) return;
  file_not_loaded("Error! Unable to open file " + Chain.FileName + ". Cannot upload file.",
                  "Cannot open " + Chain.FileName, step.Why);
}

void TKestrelForm::script_load_address(const std::string& line) {
  const TChainStep step = Chain.SetAddress(line);
  if (step.Result == TChainResult::TooLong) section_line_refused(step.Why);
  if (step.Result == TChainResult::Failed) checksum_not_taken(step.Why);
}

void TKestrelForm::script_load_version(const std::string& line) {
  const TChainStep step = Chain.SetVersion(line);
  if (step.Result == TChainResult::TooLong) section_line_refused(step.Why);
  if (step.Result == TChainResult::Failed) date_not_taken();
}

void TKestrelForm::file_not_loaded(const std::string& message, const std::string& status,
                                   const std::string& why) {
  show_message(message);
  Session.Outcome.Explain(message + " (" + why + ")");
  set_status_text(status + ": " + why);
}

bool TKestrelForm::script_load_do() {
  // Everything is checked before a byte goes out: a line the unit would
  // misread, or a file that has gone or changed since its checksum, is
  // never announced.
  const TChainStep step = Chain.Announce(Settings.UploadCommand);
  if (step.Result == TChainResult::NotReady) {
    // A file named and waiting, whose chain _LA, _LV did not complete: say
    // so here, where its upload would have been.
    if (TNamedFile* pending = Session.Outcome.Pending(); pending && pending->Message.empty()) {
      const std::string message =
          "Error! " + pending->File +
          " was not uploaded: _LD needs an _LA and an _LV after the file's _LF.";
      show_message(message);
      Session.Outcome.Explain(message);
    }
    return true;
  }
  if (step.Result == TChainResult::Failed) {
    const std::string message = "Error! The upload line for " + Chain.FileName +
                                " was not sent: " + step.Why +
                                ", so the unit would misread it. Cannot upload file.";
    show_message(message);
    Session.Outcome.Explain(message);
    return true;
  }
  TFilePtr file = hold_upload_file();
  if (!file) return true;

  // The unit is asked to be where the last exchange left it.
  const auto exchange = [this, prompt = Link.LastPrompt](int attempt) {
    return exchange_prompt(kCarriageReturn, prompt, {kPromptWaitProbing, attempt, 2});
  };
  mark_unit_words();
  TExchange before = exchange(1);
  if (!before.Ok) before = exchange(2);
  if (!before.Ok) {
    const std::string message =
        with_cause("Error! Unable to receive prompt before upload.... Exiting script.", before.Why);
    show_message(message);
    Session.Outcome.Explain(message);
    return false;
  }

  const std::string uploadLine = Chain.UploadLine(Settings.UploadCommand, kCommandBufferSize - 1);
  Session.Outcome.UploadStarted(Chain.FileName, Chain.Size, Chain.Checksum, Chain.Address,
                                Chain.Version);
  // What the unit answers to the line is read: one that did not take it
  // gets none of the image.
  mark_unit_words();
  FUploadRefusal.clear();
  FUploadWatch.emplace(uploadLine, Settings.NormalPrompt, Settings.LoaderPrompt);
  // An empty file is through with its line: the unit's prompt answers it.
  if (Chain.Size == 0) FUploadWatch->LastBytesHandedOver();
  send_command_buffer(uploadLine);
  listen_for_refusal(500);

  upload_file(std::move(file));
  return true;
}

TFilePtr TKestrelForm::hold_upload_file() {
  std::string why;
  TFilePtr file = Chain.HoldFile(&why);
  if (file) return file;
  show_message("Error opening " + Chain.FileName + ".\r");
  Session.Outcome.Explain("Error opening " + Chain.FileName + ": " + why + ". Cannot upload file.");
  set_status_text("Cannot upload " + Chain.FileName + ": " + why);
  return nullptr;
}

void TKestrelForm::script_prompt_character(const std::string& line) {
  if (const std::optional<char> prompt = script_quoted_char(line)) Settings.LoaderPrompt = *prompt;
}

void TKestrelForm::script_query(const std::string& line) {
  const std::optional<std::string> text = script_quoted_text(line);
  if (!text) return;
  query_unit(script_field(script_caret_escapes(*text, ' '), kCommandBufferSize - 1));
  Waits().sleep_processing_events(100);

  // What a watchdog cut short is the bytes gathered so far.
  Session.TakeResponse(captured_text());
  if (Session.LastResponse.empty())
    show_message(with_cause("Error! No response detected with _QC command", Link.Words.Cause()));
}

bool TKestrelForm::script_compare(const std::string& line, bool substring) {
  const std::optional<TScriptCompare> compare = script_compare_argument(line);
  if (!compare) return true;
  const std::string text = script_backslash_escapes(compare->Text);
  const bool match = substring ? Session.LastResponse.find(text) != std::string::npos
                               : Session.LastResponse == text;
  if (!match) return true;
  if (compare->Command.empty()) {
    show_message(substring ? "Error! No line found after successful _CS"
                           : "Error! No line found after successful _CR");
    return true;
  }
  // The command runs from the current slot, as if the script held it there.
  Session.Store(compare->Command);
  return run_script_line();
}

}  // namespace kestrel
