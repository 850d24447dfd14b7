// Kestrel: loads firmware into an embedded unit over a serial line.
// The composition root: builds the application, its dialogs and windows,
// and runs the event loop. The process ends with status 0 on every path.

#include <exception>
#include <string>

#include "Adsrmgr.h"
#include "AppWindows.h"
#include "KestrelApplication.h"
#include "QtOperatorDialog.h"

namespace {

// The message texts are loaded before any window exists and released when
// the program leaves main.
class TMessageResources {
 public:
  TMessageResources() { kestrel::InitAdResourceManager(); }
  ~TMessageResources() { kestrel::DoneAdResourceManager(); }
  TMessageResources(const TMessageResources&) = delete;
  TMessageResources& operator=(const TMessageResources&) = delete;
};

int run(int argc, char** argv) {
  using namespace kestrel;

  TMessageResources messages;
  // The simulated unit's "sim:" device scheme is registered here once the
  // simulated device exists.

  TQtOperatorDialog dialog;
  TKestrelApplication app(argc, argv);
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

}  // namespace

int main(int argc, char** argv) {
  // Whatever happens, the program ends with status 0.
  try {
    run(argc, argv);
  } catch (...) {
  }
  return 0;
}
