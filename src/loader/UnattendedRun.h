#pragma once
// An unattended run (kestrel --batch SCRIPT [--ini FILE]): the start-up of
// automatic mode with SCRIPT in place of the settings' automatic script, no
// window shown and no display needed, and an exit status that tells how the
// run went.

#include <functional>

#include "CommandLine.h"

namespace kestrel {

// Selects a window system that needs no display. Call before the
// application object exists.
void select_unattended_platform();

class TConsoleOperatorDialog;
class TKestrelForm;
class TUnattendedConsole;

// Runs the script as `line` says, reporting to `console`; returns the exit
// status. The application object must exist; its operator dialog should be
// `dialog`, so that every message is counted. `prepare`, when given, sees
// the window before its start-up work begins.
int run_unattended(const TCommandLine& line, TConsoleOperatorDialog& dialog,
                   TUnattendedConsole& console,
                   const std::function<void(TKestrelForm&)>& prepare = {});

}  // namespace kestrel
