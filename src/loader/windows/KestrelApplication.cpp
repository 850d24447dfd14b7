#include "loader/windows/KestrelApplication.h"

#include <exception>

#include "loader/windows/OperatorDialog.h"

namespace kestrel {

TKestrelApplication::TKestrelApplication(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(QString::fromLatin1(kApplicationTitle));
  // Desktops match the window to its menu entry (and icon) by this name.
  setDesktopFileName(QStringLiteral("kestrel"));
}

bool TKestrelApplication::notify(QObject* receiver, QEvent* event) {
  std::string text;
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& e) {
    text = e.what();
  } catch (...) {
    text = "Unknown exception";
  }
  // Reported outside the handler: the message box runs an event loop of its
  // own, which must not start while the exception is still being handled.
  if (FDialog) FDialog->ShowMessage(text);
  return false;
}

}  // namespace kestrel
