#pragma once
// An unattended run (kestrel --batch SCRIPT [--ini FILE]): the start-up of
// automatic mode with SCRIPT in place of the settings' automatic script, no
// window shown and no display needed, and an exit status that tells how the
// run went.

#include <cstdint>
#include <functional>
#include <string>

#include "loader/core/CommandLine.h"
#include "loader/form/LoaderRun.h"

namespace kestrel {

// Selects a window system that needs no display. Call before the
// application object exists.
void select_unattended_platform();

class TApdPortContext;
class TConsoleOperatorDialog;
class TStopSignals;
class TUnattendedConsole;

// One run as a caller that runs many (a station) sees it: what it brings
// beyond the command line, and what the run tells back.
struct TUnattendedRun {
  int Number = 0;                   // the run's number, for the record; 0: a lone run
  TStopSignals* Signals = nullptr;  // the caller's; null: the run handles the signals itself
  std::function<void(TLoaderRun&)> Prepare;  // sees the run before its start-up work
  TRunObserver* Observer = nullptr;          // the caller's; watches after the console
  TApdPortContext* Ports = nullptr;          // the program's; null: the port keeps its own

  int Status = 1;  // the exit status a lone run would have
  bool Interrupted = false;
  int FilesNamed = 0;
  int FilesLoaded = 0;
  uint64_t BytesLoaded = 0;
  double Seconds = 0;
  // Why it did not succeed: the first file not loaded and why, else the
  // first error message, else how the run ended.
  std::string Failure;
};

// Runs the script as `line` says, on a run `makeRun` makes, reporting to
// `console`; returns the exit status and tells `run` how it went. The
// application object must exist; its operator dialog should be `dialog`, so
// that every message is counted.
int run_unattended(const TCommandLine& line, TConsoleOperatorDialog& dialog,
                   TUnattendedConsole& console, const TLoaderRunFactory& makeRun,
                   TUnattendedRun& run);

// Why a file the command line names (the settings file, the record and, when
// `script` is set, the script) cannot be used; empty when every one can.
// Checked before any port is opened.
std::string unusable_named_file(const TCommandLine& line, bool script);

}  // namespace kestrel
