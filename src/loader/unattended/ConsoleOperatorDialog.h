#pragma once
// The operator of an unattended run: every message is written to the console
// and acknowledged at once; nothing is ever asked. It counts the messages
// that report errors (all but a script's notes).

#include "loader/unattended/UnattendedConsole.h"
#include "loader/windows/OperatorDialog.h"

namespace kestrel {

// Window thread only.
class TConsoleOperatorDialog : public TOperatorDialog {
 public:
  explicit TConsoleOperatorDialog(TUnattendedConsole& console) : FConsole(console) {}

  void ShowMessage(const std::string& text) override {
    ++FErrors;
    if (FFirstOfRun.empty()) FFirstOfRun = text;
    FConsole.Message(text);
  }
  void ShowNote(const std::string& text) override { FConsole.Note(text); }
  // Nobody is there to be asked: a close goes ahead.
  bool ConfirmExit(QWidget*, const std::string&) override { return true; }
  std::optional<std::string> OpenFile(QWidget*, const TOpenFileRequest&) override {
    return std::nullopt;
  }
  std::optional<TTerminalFont> ChooseFont(QWidget*, const TTerminalFont&) override {
    return std::nullopt;
  }

  int ErrorCount() const { return FErrors; }
  // The first error message since the last BeginRun; empty when none came.
  void BeginRun() { FFirstOfRun.clear(); }
  const std::string& FirstErrorOfRun() const { return FFirstOfRun; }

 private:
  TUnattendedConsole& FConsole;
  int FErrors = 0;
  std::string FFirstOfRun;
};

}  // namespace kestrel
