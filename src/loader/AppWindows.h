#pragma once
// The program's three windows, created in their fixed order and alive until
// the program ends; and the lone window of an unattended run.

#include <memory>
#include <string>

#include "loader/form/MainUnit.h"
#include "loader/windows/Progress.h"
#include "loader/windows/SplashUnit.h"

namespace kestrel {

struct TKestrelWindows {
  // Declared in creation order; destroyed in reverse.
  std::unique_ptr<TKestrelForm> KestrelForm;
  std::unique_ptr<TProgressForm> ProgressForm;
  std::unique_ptr<TSplashForm> SplashForm;
};

// Main window first (it becomes the application's main window), then the
// progress window, then the splash, which sets the other two captions. All
// of them read `settingsFile`. The main window's port shares `ports`.
TKestrelWindows create_windows(TOperatorDialog& dialog,
                               const std::string& settingsFile = kSettingsFileName,
                               TApdPortContext* ports = nullptr);

// The window an unattended run drives: it never reaches a screen, and the
// run reports through its observers. Its port shares `ports` (none: it
// keeps its own).
std::unique_ptr<TKestrelForm> create_unattended_window(TOperatorDialog& dialog,
                                                       TApdPortContext* ports = nullptr);

}  // namespace kestrel
