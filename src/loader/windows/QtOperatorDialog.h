#pragma once
// The operator dialogs of the windowed program: Qt message boxes, the file
// picker and a font chooser that also offers the text colour.

#include <QPointer>
#include <QString>
#include <QWidget>

#include "loader/windows/OperatorDialog.h"

namespace kestrel {

// Window thread only.
class TQtOperatorDialog : public TOperatorDialog {
 public:
  // The splash stays on top of every other window: it is hidden before any
  // box is shown, so that no box waits unseen behind it.
  void SetSplash(QWidget* splash) { FSplash = splash; }

  void ShowMessage(const std::string& text) override;
  bool ConfirmExit(QWidget* owner, const std::string& text) override;
  void AskExit(QWidget* owner, const std::string& text,
               std::function<void(bool yes)> answer) override;
  std::optional<std::string> OpenFile(QWidget* owner, const TOpenFileRequest& request) override;
  std::optional<TTerminalFont> ChooseFont(QWidget* owner, const TTerminalFont& current) override;

 private:
  void hide_splash();

  QPointer<QWidget> FSplash;
};

// A carriage return separates the lines of a message; the window system
// wants line feeds.
QString message_box_text(const std::string& text);

// "Script files (*.sld)|*.sld|All files (*.*)|*.*" as a Qt name filter.
QString qt_name_filter(const std::string& filter);

}  // namespace kestrel
