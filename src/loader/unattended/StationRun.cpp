#include "loader/unattended/StationRun.h"

#include <cstdio>
#include <string>

#include "loader/core/RunRecord.h"
#include "loader/core/ScriptFiles.h"
#include "loader/unattended/ConsoleOperatorDialog.h"
#include "loader/unattended/UnattendedConsole.h"
#include "loader/unattended/UnattendedRun.h"
#include "loader/unattended/UnattendedSignals.h"
#include "loader/unattended/UnitPresence.h"
#include "serial/Clock.h"

namespace kestrel {

namespace {

constexpr int kProbeIntervalMs = 1000;

// The loop's state between runs: where a signal lands while nothing runs.
class TStation {
 public:
  TStation(const TCommandLine& line, TConsoleOperatorDialog& dialog, TUnattendedConsole& console,
           TClock& clock, const TLoaderRunFactory& makeRun, TApdPortContext* ports,
           const TStationChildSetup& setup)
      : FLine(line),
        FDialog(dialog),
        FConsole(console),
        FClock(clock),
        FMakeRun(makeRun),
        FPorts(ports),
        FPresence(line.IniFile, line.Baud, ports),
        FSignals([this](int signal) { Stop(signal); }),
        FEvents(setup.EventFd),
        FSetup(setup) {}

  int Run() {
    const std::string port =
        "COM " + std::to_string(FPresence.ComNumber()) + " (" + FPresence.DevicePath() + ")";
    int stoppedRun = 0;
    // A unit left on the line by a station that ended meanwhile is not
    // loaded again.
    if (FSetup.UnitOnLine) {
      FConsole.Station("a unit is on the line from before: take it off the line");
      Tell(TStationEvent::TKind::TakeOff, FSetup.FirstUnit - 1);
      if (!AwaitGone()) FStopped = true;
    }
    for (int unit = FSetup.FirstUnit; !FStopped; ++unit) {
      FConsole.Station("waiting for unit " + std::to_string(unit) + " on " + port);
      Tell(TStationEvent::TKind::Waiting, unit);
      if (!AwaitUnit()) break;
      Tell(TStationEvent::TKind::Begins, unit);
      TUnattendedRun run;
      run.Number = unit;
      run.Signals = &FSignals;
      run.Ports = FPorts;
      run.Observer = &FEvents;
      run_unattended(FLine, FDialog, FConsole, FMakeRun, run);
      Count(unit, run);
      if (run.Interrupted) {
        stoppedRun = run.Status;
        break;
      }
      FConsole.Station("unit " + std::to_string(unit) + " done: take it off the line");
      Tell(TStationEvent::TKind::TakeOff, unit);
      if (!AwaitGone()) break;
    }
    char tally[128];
    std::snprintf(tally, sizeof tally, "%d run%s, %d passed, %d failed", FRuns,
                  FRuns == 1 ? "" : "s", FPassed, FRuns - FPassed);
    if (FRuns > 0 || !FNoSerialDevice) FConsole.Station(tally);
    if (FNoSerialDevice) return kExitNoUnit;
    // A run stopped by a signal ends the station as it ends --batch.
    if (stoppedRun > kExitSignalBase) return stoppedRun;
    return FRuns == FPassed ? kExitSuccess : kExitRunFailed;
  }

 private:
  void Stop(int signal) {
    if (FStopped) return;
    FStopped = true;
    FConsole.Station(std::string("ended by ") + stop_signal_name(signal) + " between runs");
  }

  void Tell(TStationEvent::TKind kind, int unit, const std::string& text = {}, bool pass = false) {
    TStationEvent event;
    event.Kind = kind;
    event.Unit = unit;
    event.Text = text;
    event.Pass = pass;
    FEvents.Send(event);
  }

  // Waits `ms` unless a signal comes first; false when one did.
  bool Pause(int ms) {
    if (FStopped) return false;
    FClock.sleep(ms, [this] { return FStopped; });
    return !FStopped;
  }

  // A probe once a second until a unit answers; false when a signal came.
  // A device that will not open is told once, not every second.
  bool AwaitUnit() {
    std::string told;
    for (;;) {
      if (FPresence.Probe(FClock) == TUnitPresence::TState::Answers) return !FStopped;
      const std::string& why = FPresence.OpenFailure();
      // Waiting would never end: the station ends as a run would.
      if (FPresence.NeverAUnit()) {
        const std::string fatal = "COM " + std::to_string(FPresence.ComNumber()) + ": " +
                                  FPresence.DevicePath() + ": " + why;
        FConsole.Fatal(fatal);
        Tell(TStationEvent::TKind::Note, 0, fatal);
        FNoSerialDevice = true;
        return false;
      }
      if (!why.empty() && why != told) {
        const std::string note =
            "cannot open " + FPresence.DevicePath() + ": " + why + "; still waiting";
        FConsole.Station(note);
        Tell(TStationEvent::TKind::Note, 0, note);
      }
      told = why;
      if (!Pause(kProbeIntervalMs)) return false;
    }
  }

  // Until the device is gone, or two probes in a row get no answer; false
  // when a signal came.
  bool AwaitGone() {
    int silent = 0;
    for (;;) {
      if (!Pause(kProbeIntervalMs)) return false;
      switch (FPresence.Probe(FClock)) {
        case TUnitPresence::TState::NoDevice:
          return !FStopped;
        case TUnitPresence::TState::Silent:
          if (++silent == 2) return !FStopped;
          break;
        case TUnitPresence::TState::Answers:
          silent = 0;
          break;
      }
    }
  }

  void Count(int unit, const TUnattendedRun& run) {
    ++FRuns;
    const bool pass = run.Status == kExitSuccess;
    if (pass) ++FPassed;
    char text[160];
    std::snprintf(text, sizeof text, "%d file%s, %llu bytes, %.1f s", run.FilesLoaded,
                  run.FilesLoaded == 1 ? "" : "s", static_cast<unsigned long long>(run.BytesLoaded),
                  run.Seconds);
    FConsole.Verdict(pass, unit, pass ? text : run.Failure);
    Tell(TStationEvent::TKind::Verdict, unit, pass ? text : run.Failure, pass);
  }

  const TCommandLine& FLine;
  TConsoleOperatorDialog& FDialog;
  TUnattendedConsole& FConsole;
  TClock& FClock;
  const TLoaderRunFactory& FMakeRun;
  TApdPortContext* const FPorts;
  TUnitPresence FPresence;
  TStopSignals FSignals;
  TStationEventWriter FEvents;
  const TStationChildSetup FSetup;
  bool FStopped = false;
  bool FNoSerialDevice = false;
  int FRuns = 0;
  int FPassed = 0;
};

}  // namespace

int run_station(const TCommandLine& line, TConsoleOperatorDialog& dialog,
                TUnattendedConsole& console, TClock& clock, const TLoaderRunFactory& makeRun,
                TApdPortContext* ports, const TStationChildSetup& setup) {
  // What every run needs is checked once, before the first unit is waited
  // for: a station that would fail every unit must not start.
  if (const std::string why = unusable_named_file(line, true); !why.empty()) {
    console.Fatal(why);
    return kExitNoScript;
  }
  TStation station(line, dialog, console, clock, makeRun, ports, setup);
  return station.Run();
}

}  // namespace kestrel
