#include "loader/unattended/StationSupervisor.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "loader/core/LoaderSettings.h"
#include "loader/core/RunRecord.h"
#include "loader/core/ScriptReader.h"
#include "loader/unattended/StationBoard.h"
#include "loader/unattended/StationChild.h"
#include "loader/unattended/StationEvents.h"
#include "loader/unattended/StationPorts.h"
#include "loader/unattended/StationSignals.h"
#include "loader/unattended/StationTally.h"
#include "loader/unattended/UnattendedRun.h"
#include "loader/unattended/UnattendedSignals.h"

namespace kestrel {

namespace {

using TClockPoint = std::chrono::steady_clock::time_point;
constexpr auto kScanEvery = std::chrono::seconds(1);
constexpr auto kServeAgainAfter = std::chrono::seconds(1);
constexpr int kPollMs = 100;

int configured_com_number(const TCommandLine& line) {
  TLoaderSettings settings;
  settings.CommandLineBaud = line.Baud;
  // The ports' stations read the settings themselves; here only which COM
  // port they use counts.
  TQuietSettingsTarget target;
  read_settings_file(line.IniFile.empty() ? kSettingsFileName : line.IniFile.c_str(), settings,
                     target);
  const int configured = settings.ConfiguredComNumber;
  return configured > 0 && configured <= kMaxComNumber ? configured : 1;
}

// A port and the process serving it.
struct TServed {
  TStationPort Port;
  int Row = 0;
  std::unique_ptr<TStationChild> Child;
  int Unit = 0;             // the unit its station last named
  bool InRun = false;       // between a unit's answer and its verdict
  bool UnitOnLine = false;  // a unit done and not yet gone
  int NextUnit = 1;
  bool Leaving = false;  // its glob no longer matches it
  bool Asked = false;    // told to end
  bool Served = true;    // false once it is no longer served
  bool GivenUp = false;  // its station found it can hold no unit: not served again
  std::optional<TClockPoint> ServeAgainAt;
  std::optional<TRunRecorder> Record;  // the run under way, should its process die
};

class TSupervisor {
 public:
  TSupervisor(const TCommandLine& line, std::string program, std::FILE* out, bool terminal)
      : FLine(line),
        FProgram(std::move(program)),
        FBoard(out, terminal),
        FPorts(line.Ports),
        FComNumber(configured_com_number(line)) {}

  int Run() {
    FBoard.Note("running " + FLine.BatchScript + " on every port; Ctrl+C stops");
    TClockPoint nextScan = std::chrono::steady_clock::now();
    for (;;) {
      const TClockPoint now = std::chrono::steady_clock::now();
      if (!FStopping && now >= nextScan) {
        Scan();
        nextScan = now + kScanEvery;
      }
      if (!FStopping) ServeAgain(now);
      Wait();
      Reap();
      FBoard.Draw(FTally);
      if (FEndNow) break;
      if (!AnyRunning() && (FStopping || (!FHasGlobs && !AnyServedAgain()))) break;
    }
    EndNow();
    FBoard.Draw(FTally, true);
    FBoard.Leave();
    for (const std::string& text : FTally.Lines()) FBoard.Note(text);
    return Status();
  }

 private:
  void Scan() {
    std::vector<std::string> notes;
    const std::vector<TStationPort> ports = FPorts.Scan(notes);
    for (const std::string& note : notes) FBoard.Note(note);
    for (TServed& served : FServed) {
      if (!served.Port.FromGlob || served.Leaving) continue;
      bool matched = false;
      for (const TStationPort& port : ports) matched = matched || port.Device == served.Port.Device;
      if (matched) continue;
      // Given up on, it is tried again should its name come back.
      served.GivenUp = false;
      if (!served.Served) continue;
      served.Leaving = true;
      served.ServeAgainAt.reset();
      FBoard.Tell(served.Row, "its device has gone");
      if (!served.InRun) Ask(served, SIGTERM);
      if (!served.Child || !served.Child->Running()) served.Served = false;
    }
    for (const TStationPort& port : ports) {
      TServed* known = Find(port.Device);
      if (known && (known->Served || known->GivenUp)) continue;
      if (!known) {
        FServed.push_back({});
        known = &FServed.back();
        known->Port = port;
        known->Row = FBoard.Row(port.ShortName);
        FTally.Serve(port.ShortName);
      } else {
        known->Row = FBoard.Row(port.ShortName);
        known->Served = true;
        known->Leaving = false;
        known->UnitOnLine = false;
      }
      Start(*known);
    }
    for (const std::string& value : FLine.Ports) FHasGlobs = FHasGlobs || is_port_glob(value);
  }

  TServed* Find(const std::string& device) {
    for (TServed& served : FServed)
      if (served.Port.Device == device) return &served;
    return nullptr;
  }

  void Start(TServed& served) {
    std::vector<std::string> args = {"--station", FLine.BatchScript};
    if (!FLine.IniFile.empty()) args.insert(args.end(), {"--ini", FLine.IniFile});
    if (!FLine.RecordFile.empty()) args.insert(args.end(), {"--record", FLine.RecordFile});
    if (FLine.Baud != 0) args.insert(args.end(), {"--baud", std::to_string(FLine.Baud)});
    TStationChildSetup setup;
    setup.EventFd = kStationChildEventFd;
    setup.FirstUnit = served.NextUnit;
    setup.UnitOnLine = served.UnitOnLine;
    std::vector<std::string> environment = setup.Environment();
    // A run that finds no unit on its port falls back to COM1 and COM2: here
    // they name the same device, so that no run ever reaches a neighbour's
    // unit or a serial port of the machine.
    for (const int com : std::set<int>{FComNumber, 1, 2})
      environment.push_back("KESTREL_COM" + std::to_string(com) + "=" + served.Port.Device);
    served.ServeAgainAt.reset();
    served.Asked = false;
    served.InRun = false;
    served.Child = std::make_unique<TStationChild>(FProgram, args, environment);
    if (!served.Child->Started()) {
      FBoard.Tell(served.Row,
                  "cannot serve " + served.Port.Device + ": " + served.Child->Failure());
      served.Child.reset();
      served.ServeAgainAt = std::chrono::steady_clock::now() + kServeAgainAfter;
      return;
    }
    FBoard.Said(served.Row,
                served.Port.Device + " served by process " + std::to_string(served.Child->Pid()));
  }

  void ServeAgain(TClockPoint now) {
    for (TServed& served : FServed)
      if (served.Served && served.ServeAgainAt && now >= *served.ServeAgainAt) Start(served);
  }

  void Ask(TServed& served, int signal) {
    if (!served.Child || !served.Child->Running()) return;
    served.Asked = true;
    served.Child->Signal(signal);
  }

  bool AnyRunning() const {
    for (const TServed& served : FServed)
      if (served.Child && served.Child->Running()) return true;
    return false;
  }
  bool AnyServedAgain() const {
    for (const TServed& served : FServed)
      if (served.Served && served.ServeAgainAt) return true;
    return false;
  }

  // Sleeps until a signal, a child's words or the next tick.
  void Wait() {
    std::vector<pollfd> fds;
    fds.push_back({FSignals.Fd(), POLLIN, 0});
    for (const TServed& served : FServed) {
      if (!served.Child) continue;
      if (served.Child->EventFd() >= 0) fds.push_back({served.Child->EventFd(), POLLIN, 0});
      if (served.Child->ErrorFd() >= 0) fds.push_back({served.Child->ErrorFd(), POLLIN, 0});
    }
    ::poll(fds.data(), fds.size(), kPollMs);
    for (int signal : FSignals.Take())
      if (signal != SIGCHLD) Signalled(signal);
    for (TServed& served : FServed) Listen(served);
  }

  void Signalled(int signal) {
    if (FStopping) {
      // The second one ends every port's process at once.
      FBoard.Note(std::string(stop_signal_name(signal)) + " again: ending at once");
      FEndNow = true;
      return;
    }
    FStopping = true;
    FStopSignal = signal;
    FBoard.Note(std::string("ended by ") + stop_signal_name(signal) +
                ": runs stop at their next block; again ends at once");
    for (TServed& served : FServed) {
      served.ServeAgainAt.reset();
      Ask(served, signal);
    }
  }

  void Listen(TServed& served) {
    if (!served.Child) return;
    std::vector<std::string> events;
    std::vector<std::string> said;
    served.Child->Drain(events, said);
    for (const std::string& text : said) FBoard.Said(served.Row, text);
    for (const std::string& text : events)
      if (const std::optional<TStationEvent> event = parse_station_event(text))
        Heard(served, *event);
  }

  void Heard(TServed& served, const TStationEvent& e) {
    FBoard.Event(served.Row, e);
    switch (e.Kind) {
      case TStationEvent::TKind::Waiting:
        served.Unit = e.Unit;
        served.InRun = false;
        served.UnitOnLine = false;
        // A port whose device went is let go once no unit is loading there.
        if (served.Leaving) Ask(served, SIGTERM);
        break;
      case TStationEvent::TKind::Begins:
        served.Unit = e.Unit;
        served.InRun = true;
        if (!FLine.RecordFile.empty()) {
          served.Record.emplace(FLine.RecordFile,
                                [this](const std::string& text) { FBoard.Note(text); });
          served.Record->Start();
          served.Record->Script(FLine.BatchScript);
          served.Record->RunNumber(e.Unit);
          TRunRecorder::TPort port;
          port.ComNumber = FComNumber;
          port.Path = served.Port.Device;
          port.Baud = FLine.Baud;
          served.Record->Port(port);
        }
        break;
      case TStationEvent::TKind::Verdict:
        served.InRun = false;
        served.UnitOnLine = true;
        served.Record.reset();
        FTally.Count(served.Port.ShortName, e.Pass);
        break;
      case TStationEvent::TKind::TakeOff:
        served.UnitOnLine = true;
        if (served.Leaving) Ask(served, SIGTERM);
        break;
      default:
        break;
    }
  }

  void Reap() {
    for (;;) {
      int status = 0;
      const pid_t pid = ::waitpid(-1, &status, WNOHANG);
      if (pid <= 0) return;
      for (TServed& served : FServed)
        if (served.Child && served.Child->Pid() == pid && served.Child->Running())
          Ended(served, status);
    }
  }

  void Ended(TServed& served, int status) {
    served.Child->Ended(status);
    // What it said before it went counts first.
    Listen(served);
    const bool exited = WIFEXITED(status);
    const int code = exited ? WEXITSTATUS(status) : -1;
    if (exited && code > kExitSignalBase) FInterruptedRun = true;
    if (exited && (code == kExitNoScript || code == kExitNoUnit)) {
      // A port that can never hold a unit: its station said why.
      FEndedWith = FEndedWith ? FEndedWith : code;
      served.Served = false;
      served.GivenUp = true;
      FBoard.Left(served.Row, "not served: " + child_end_text(status));
      served.Child.reset();
      return;
    }
    if (served.Asked) {
      if (served.InRun)
        LostRun(served, std::string("ended at once by a second ") + stop_signal_name(FStopSignal),
                true);
      // A port that comes back counts its runs on.
      served.NextUnit = next_unit(served);
      if (served.Leaving) {
        served.Served = false;
        FBoard.Left(served.Row, "its device has gone: no longer served");
      }
      served.Child.reset();
      return;
    }
    // Nobody asked it to end: the process serving the port failed.
    const std::string cause =
        "the process serving " + served.Port.Device + " ended (" + child_end_text(status) + ")";
    if (served.InRun) LostRun(served, cause, false);
    served.NextUnit = next_unit(served);
    served.UnitOnLine = served.UnitOnLine || served.InRun;
    served.InRun = false;
    served.Child.reset();
    if (served.Leaving) {
      served.Served = false;
      FBoard.Left(served.Row, cause);
      return;
    }
    FBoard.Tell(served.Row, cause + "; served again");
    served.ServeAgainAt = std::chrono::steady_clock::now() + kServeAgainAfter;
  }

  // The number of the unit after those the port's station has seen.
  static int next_unit(const TServed& served) {
    return served.UnitOnLine || served.InRun ? served.Unit + 1 : std::max(served.Unit, 1);
  }

  // A run whose process ended before its verdict: FAIL, and its line in
  // the record, which its process could no longer write.
  void LostRun(TServed& served, const std::string& cause, bool interrupted) {
    TStationEvent verdict;
    verdict.Kind = TStationEvent::TKind::Verdict;
    verdict.Unit = served.Unit;
    verdict.Text = cause;
    FBoard.Event(served.Row, verdict);
    FBoard.Said(served.Row, "FAIL unit " + std::to_string(served.Unit) + ": " + cause);
    FTally.Count(served.Port.ShortName, false);
    if (interrupted) FInterruptedRun = true;
    if (served.Record) {
      TRunOutcome outcome;
      outcome.ScriptNames(script_files_named(FLine.BatchScript));
      outcome.End(interrupted ? TRunEnd::Interrupted : TRunEnd::Stopped);
      served.Record->Message(cause);
      served.Record->Finish(outcome, interrupted ? kExitSignalBase + FStopSignal : kExitRunFailed);
      served.Record.reset();
    }
    served.InRun = false;
    served.UnitOnLine = true;
  }

  // Every port's process ends now; what each was loading is lost.
  void EndNow() {
    for (TServed& served : FServed) Ask(served, SIGKILL);
    for (TServed& served : FServed) {
      if (!served.Child || !served.Child->Running()) continue;
      int status = 0;
      if (::waitpid(served.Child->Pid(), &status, 0) == served.Child->Pid()) Ended(served, status);
    }
  }

  int Status() const {
    if (FStopping && FInterruptedRun) return kExitSignalBase + FStopSignal;
    if (FTally.Total().Failed() > 0) return kExitRunFailed;
    if (FEndedWith == kExitNoScript) return FEndedWith;
    // A port that can hold no unit beside ports whose every run passed
    // was said on the board; alone, it is what the station ends with.
    if (FEndedWith != 0 && FTally.Total().Runs == 0) return FEndedWith;
    return kExitSuccess;
  }

  const TCommandLine& FLine;
  const std::string FProgram;
  TStationSignals FSignals;
  TStationBoard FBoard;
  TStationTally FTally;
  TStationPortSet FPorts;
  const int FComNumber;
  std::vector<TServed> FServed;
  bool FHasGlobs = false;
  bool FStopping = false;
  bool FEndNow = false;
  int FStopSignal = SIGINT;
  bool FInterruptedRun = false;
  int FEndedWith = 0;
};

}  // namespace

int run_station_supervisor(const TCommandLine& line, const std::string& program, std::FILE* out,
                           bool terminal) {
  // What every port needs is checked once, before any port is served.
  if (const std::string why = unusable_named_file(line, true); !why.empty()) {
    std::fprintf(out, "kestrel: %s\n", why.c_str());
    return kExitNoScript;
  }
  TSupervisor supervisor(line, program, out, terminal);
  return supervisor.Run();
}

}  // namespace kestrel
