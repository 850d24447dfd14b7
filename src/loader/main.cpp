// Kestrel: loads firmware into an embedded unit over a serial line.
// The composition root: builds the application, its dialogs and windows,
// and runs the event loop. The process ends with status 0 on every path.

#include <exception>
#include <string>

#include "AppWindows.h"
#include "KestrelApplication.h"
#include "QtOperatorDialog.h"

int main(int argc, char** argv) {
  using namespace kestrel;

  // The message table and the string block are loaded here, before any
  // window exists, once the messages library provides their start-up call.

  TKestrelApplication app(argc, argv);
  TQtOperatorDialog dialog;
  app.SetOperatorDialog(&dialog);

  TKestrelWindows windows;
  try {
    windows = create_windows(dialog);
  } catch (const std::exception& e) {
    dialog.ShowMessage(e.what());
    return 0;
  } catch (...) {
    dialog.ShowMessage("Unknown exception");
    return 0;
  }

  windows.KestrelForm->show();
  app.exec();
  return 0;
}
