#pragma once
// Every question the program puts to the operator goes through this one
// seam: simple message boxes, the exit confirmation, the script picker and
// the font chooser. The window system answers in the GUI; tests and
// unattended runs plug in their own answers.

#include <functional>
#include <optional>
#include <string>

#include "loader/windows/TerminalPane.h"

class QWidget;

namespace kestrel {

// Caption of every simple message box: the application title.
inline constexpr const char* kApplicationTitle = "Kestrel";
// Caption of the Yes/No box asked while a file upload runs.
inline constexpr const char* kConfirmExitCaption = "Loader GUI : Confirm Exit";

struct TOpenFileRequest {
  // Filter pairs in "description|pattern|description|pattern" form.
  std::string Filter;
  std::string InitialDir;
};

class TOperatorDialog {
 public:
  virtual ~TOperatorDialog() = default;

  // A modal box with one OK button, caption "Kestrel". A carriage return in
  // the text separates lines.
  virtual void ShowMessage(const std::string& text) = 0;

  // A message a script shows for the operator's information (_DM): the same
  // box, but it reports no error.
  virtual void ShowNote(const std::string& text) { ShowMessage(text); }

  // The Yes/No box captioned "Loader GUI : Confirm Exit", owned by `owner`.
  // True means Yes.
  virtual bool ConfirmExit(QWidget* owner, const std::string& text) = 0;

  // The same question, put without holding up the caller: `answer` hears
  // Yes (true) or No once the operator has chosen, and the work that keeps
  // the window alive (an upload's blocks) goes on while the box is open.
  virtual void AskExit(QWidget* owner, const std::string& text,
                       std::function<void(bool yes)> answer) {
    answer(ConfirmExit(owner, text));
  }

  // The chosen file's path, or nothing when the operator cancels.
  virtual std::optional<std::string> OpenFile(QWidget* owner, const TOpenFileRequest& request) = 0;

  // Starts from `current`; nothing when the operator cancels.
  virtual std::optional<TTerminalFont> ChooseFont(QWidget* owner, const TTerminalFont& current) = 0;
};

}  // namespace kestrel
