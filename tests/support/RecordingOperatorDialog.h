#pragma once
// An operator who answers as told and remembers every question.

#include <QEventLoop>
#include <QTimer>
#include <QWidget>
#include <optional>
#include <string>
#include <vector>

#include "loader/windows/OperatorDialog.h"

namespace kestrel {

class TRecordingOperatorDialog : public TOperatorDialog {
 public:
  // What was asked.
  std::vector<std::string> Messages;
  std::vector<std::string> Confirmations;
  std::vector<QWidget*> ConfirmOwners;
  std::vector<TOpenFileRequest> FileRequests;
  std::vector<TTerminalFont> FontRequests;

  // How to answer.
  bool ConfirmAnswer = false;
  // Takes this long to answer the exit question when it is put without
  // waiting for the answer; below 0, answers at once.
  int ExitAnswerDelayMs = -1;
  std::optional<std::string> FileAnswer;
  std::optional<TTerminalFont> FontAnswer;

  void ShowMessage(const std::string& text) override { Messages.push_back(text); }
  bool ConfirmExit(QWidget* owner, const std::string& text) override {
    Confirmations.push_back(text);
    ConfirmOwners.push_back(owner);
    if (ExitAnswerDelayMs >= 0) {
      // A modal box: its own event loop runs until the operator answers.
      QEventLoop loop;
      QTimer::singleShot(ExitAnswerDelayMs, &loop, &QEventLoop::quit);
      loop.exec();
    }
    return ConfirmAnswer;
  }
  void AskExit(QWidget* owner, const std::string& text,
               std::function<void(bool yes)> answer) override {
    if (ExitAnswerDelayMs < 0) return TOperatorDialog::AskExit(owner, text, std::move(answer));
    Confirmations.push_back(text);
    ConfirmOwners.push_back(owner);
    QTimer::singleShot(ExitAnswerDelayMs, [answer, yes = ConfirmAnswer] { answer(yes); });
  }
  std::optional<std::string> OpenFile(QWidget*, const TOpenFileRequest& request) override {
    FileRequests.push_back(request);
    return FileAnswer;
  }
  std::optional<TTerminalFont> ChooseFont(QWidget*, const TTerminalFont& current) override {
    FontRequests.push_back(current);
    return FontAnswer;
  }
};

}  // namespace kestrel
