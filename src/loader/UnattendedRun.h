#pragma once
// An unattended run (kestrel --batch SCRIPT [--ini FILE]): the start-up of
// automatic mode with SCRIPT in place of the settings' automatic script, no
// window shown and no display needed, and an exit status that tells how the
// run went.

#include "CommandLine.h"

namespace kestrel {

// Selects a window system that needs no display. Call before the
// application object exists.
void select_unattended_platform();

// Runs the script as `line` says, reporting on stderr; returns the exit
// status. The application object must exist; its operator dialog should be
// `dialog`, so that every message is counted.
class TConsoleOperatorDialog;
class TUnattendedConsole;
int run_unattended(const TCommandLine& line, TConsoleOperatorDialog& dialog,
                   TUnattendedConsole& console);

}  // namespace kestrel
