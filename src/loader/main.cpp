// Kestrel: loads firmware into an embedded unit over a serial line.
// The composition root: builds the application, its dialogs and windows,
// and runs the event loop. The process ends with status 0 on every path.

#include <exception>
#include <iostream>
#include <string>
#include <string_view>

#include "Adport.h"
#include "Adsrmgr.h"
#include "AppWindows.h"
#include "AwPortDiscovery.h"
#include "KestrelApplication.h"
#include "QtOperatorDialog.h"
#include "UnitSimScheme.h"

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

// Exceptions the port component reports itself reach the operator like any
// other escaped exception, for as long as the dialogs exist.
class TPortExceptionDisplay {
 public:
  explicit TPortExceptionDisplay(kestrel::TOperatorDialog& dialog) {
    kestrel::SetPortExceptionDisplay(
        [&dialog](const std::exception& e) { dialog.ShowMessage(e.what()); });
  }
  ~TPortExceptionDisplay() { kestrel::SetPortExceptionDisplay(nullptr); }
  TPortExceptionDisplay(const TPortExceptionDisplay&) = delete;
  TPortExceptionDisplay& operator=(const TPortExceptionDisplay&) = delete;
};

int run(int argc, char** argv) {
  using namespace kestrel;

  TMessageResources messages;
  // KESTREL_COM<n>=sim:... puts the simulated unit on port n.
  RegisterSimulatedUnitScheme();

  TQtOperatorDialog dialog;
  TKestrelApplication app(argc, argv);
  app.SetOperatorDialog(&dialog);
  TPortExceptionDisplay portExceptions(dialog);

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
  // --list-ports describes the serial devices and ends; it opens none.
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--list-ports") {
      kestrel::WritePortList(std::cout, kestrel::DiscoverPorts());
      return 0;
    }
  }
  // Whatever happens, the program ends with status 0.
  try {
    run(argc, argv);
  } catch (...) {
  }
  return 0;
}
