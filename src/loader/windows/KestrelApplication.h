#pragma once
// The application object. An exception that escapes an event handler is
// shown to the operator in a message box and the program carries on.

#include <QApplication>

namespace kestrel {

class TOperatorDialog;

// Window thread only.
class TKestrelApplication : public QApplication {
  Q_OBJECT
 public:
  TKestrelApplication(int& argc, char** argv);

  // Where escaped exceptions are reported; nothing is shown while unset.
  void SetOperatorDialog(TOperatorDialog* dialog) { FDialog = dialog; }

  bool notify(QObject* receiver, QEvent* event) override;

 private:
  TOperatorDialog* FDialog = nullptr;
};

}  // namespace kestrel
