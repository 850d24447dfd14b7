// Kestrel: loads firmware into an embedded unit over a serial line.
// The composition root: reads the command line, builds the application, its
// dialogs and windows, and runs the event loop. The windowed program ends
// with status 0 on every path once it has a display; an unattended run
// tells how it went.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "loader/AppWindows.h"
#include "loader/core/CommandLine.h"
#include "loader/core/RunObserver.h"
#include "loader/core/RunRecord.h"
#include "loader/core/ScriptCheck.h"
#include "loader/core/SettingsCheck.h"
#include "loader/form/MainUnit.h"
#include "loader/unattended/ConsoleOperatorDialog.h"
#include "loader/unattended/StationRun.h"
#include "loader/unattended/StationSupervisor.h"
#include "loader/unattended/UnattendedConsole.h"
#include "loader/unattended/UnattendedRun.h"
#include "loader/windows/KestrelApplication.h"
#include "loader/windows/QtOperatorDialog.h"
#include "messages/Adsrmgr.h"
#include "serial/qt/AdPortContext.h"
#include "serial/qt/AdWaitWaker.h"
#include "serial/qt/AdWindowClock.h"
#include "serial/qt/Adport.h"
#include "serialdevice/AwPortDiscovery.h"
#include "serialdevice/AwPortPath.h"
#include "unitsim/UnitSimScheme.h"

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
// other escaped exception; the ports' context, which shows them, does not
// outlive the dialog.
kestrel::TShowExceptionProc port_exception_display(kestrel::TOperatorDialog& dialog) {
  return [&dialog](const std::exception& e) { dialog.ShowMessage(e.what()); };
}

int run_windowed(int argc, char** argv, const kestrel::TCommandLine& line) {
  using namespace kestrel;

  TMessageResources messages;

  TQtOperatorDialog dialog;
  TKestrelApplication app(argc, argv);
  app.SetOperatorDialog(&dialog);

  // Runs leave their record when a record file is named; the recorder
  // outlives the windows that write into it.
  std::unique_ptr<TRunRecorder> recorder;
  if (!line.RecordFile.empty()) recorder = std::make_unique<TRunRecorder>(line.RecordFile);
  // What the program's ports share; it outlives them.
  TApdPortContext ports(port_exception_display(dialog));
  // KESTREL_COM<n>=sim:... puts the simulated unit on port n.
  RegisterSimulatedUnitScheme(ports.PortMap);
  TKestrelWindows windows;
  try {
    windows =
        create_windows(dialog, line.IniFile.empty() ? kSettingsFileName : line.IniFile, &ports);
  } catch (const std::exception& e) {
    dialog.ShowMessage(e.what());
    return 0;
  } catch (...) {
    dialog.ShowMessage("Unknown exception");
    return 0;
  }

  dialog.SetSplash(windows.SplashForm.get());
  // The window's work ends the process.
  struct TEndProcess : TRunObserver {
    void ProgramEnds(int status) override { end_process_now(status); }
  } endProcess;
  std::optional<TRecordObserver> recordObserver;
  if (recorder) windows.KestrelForm->add_observer(recordObserver.emplace(*recorder));
  windows.KestrelForm->add_observer(endProcess);
  windows.KestrelForm->show();
  app.exec();
  return 0;
}

int run_batch(int argc, char** argv, const kestrel::TCommandLine& line) {
  using namespace kestrel;

  select_unattended_platform();
  TMessageResources messages;

  TUnattendedConsole console(stderr, ::isatty(STDERR_FILENO) != 0);
  TConsoleOperatorDialog dialog(console);
  TKestrelApplication app(argc, argv);
  app.SetOperatorDialog(&dialog);
  TApdPortContext ports(port_exception_display(dialog));
  RegisterSimulatedUnitScheme(ports.PortMap);
  // Each run drives a window of its own, which the front ends know only as
  // a run.
  try {
    if (line.Mode == TCommandLine::TMode::Station) {
      TWindowClock clock(ports.Waker());
      // A port of a station over many ports gets its device, and where its
      // events go, from the station that started it.
      return run_station(line, dialog, console, clock, create_unattended_window, &ports,
                         TStationChildSetup::FromEnvironment());
    }
    TUnattendedRun run;
    run.Ports = &ports;
    return run_unattended(line, dialog, console, create_unattended_window, run);
  } catch (const std::exception& e) {
    dialog.ShowMessage(e.what());
  } catch (...) {
    dialog.ShowMessage("Unknown exception");
  }
  return kExitRunFailed;
}

// The settings as a check sees them: what a run would show about them is a
// problem of the check; port and terminal lines have nothing to act on.
class TCheckSettingsTarget : public kestrel::TQuietSettingsTarget {
 public:
  explicit TCheckSettingsTarget(const std::string& file) : Labels(file, std::cout) {}
  kestrel::TSettingsLabelCheck Labels;
  int Messages = 0;
  void ShowMessage(const std::string& text) override {
    std::cout << "settings: " << text << '\n';
    ++Messages;
  }
  void CountedLine(int number, int fileLine, const std::string& label,
                   const std::optional<std::string>& value) override {
    Labels.Line(number, fileLine, label, value);
  }
};

int run_check(const kestrel::TCommandLine& line) {
  using namespace kestrel;
  TLoaderSettings settings;
  settings.CommandLineBaud = line.Baud;
  const std::string ini = line.IniFile.empty() ? kSettingsFileName : line.IniFile;
  TCheckSettingsTarget target(ini);
  if (!read_settings_file(ini.c_str(), settings, target) && !line.IniFile.empty()) {
    std::cout << "settings: cannot open " << ini << '\n';
    ++target.Messages;
  }
  const int settingsProblems = target.Messages + target.Labels.Finish();
  const int problems = check_script(line.BatchScript, settings, std::cout, settingsProblems);
  std::cout.flush();
  return problems == 0 ? kExitCheckClean : kExitCheckProblems;
}

}  // namespace

int main(int argc, char** argv) {
  using kestrel::TCommandLine;
  TCommandLine line = kestrel::parse_command_line(argc, argv);
  // The environment names the record file when the command line does not.
  if (const char* record = std::getenv("KESTREL_RECORD");
      record && *record && line.RecordFile.empty() && line.Mode != TCommandLine::TMode::Check)
    line.RecordFile = record;
  switch (line.Mode) {
    case TCommandLine::TMode::Help:
      std::fputs(kestrel::command_line_help("kestrel").c_str(), stdout);
      return 0;
    case TCommandLine::TMode::Version:
      std::printf("kestrel %s\n", kestrel::kProgramVersion);
      return 0;
    case TCommandLine::TMode::ListPorts: {
      // Describes the serial devices; opens none.
      const kestrel::TPortMap map;
      kestrel::WritePortList(std::cout, kestrel::DiscoverPorts(map), map);
      return 0;
    }
    case TCommandLine::TMode::Check:
      return run_check(line);
    case TCommandLine::TMode::Usage:
      std::fprintf(stderr, "kestrel: %s\nTry 'kestrel --help' for more information.\n",
                   line.Error.c_str());
      return kestrel::kExitUsage;
    case TCommandLine::TMode::Station:
      // Many ports: each is served by this program in a process of its own;
      // this one only watches them, without the loader's windows.
      if (!line.Ports.empty()) {
        std::error_code ec;
        const std::string self = std::filesystem::read_symlink("/proc/self/exe", ec).string();
        return kestrel::run_station_supervisor(line, ec ? std::string(argv[0]) : self, stderr,
                                               ::isatty(STDERR_FILENO) != 0);
      }
      [[fallthrough]];
    case TCommandLine::TMode::Batch:
      try {
        return run_batch(argc, argv, line);
      } catch (...) {
        return kestrel::kExitRunFailed;
      }
    case TCommandLine::TMode::Window:
      break;
  }
  // Without a display the toolkit would abort; say what to do instead.
  if (!kestrel::window_display_available(std::getenv("QT_QPA_PLATFORM"), std::getenv("DISPLAY"),
                                         std::getenv("WAYLAND_DISPLAY"))) {
    std::fputs(kestrel::no_display_text("kestrel").c_str(), stderr);
    return kestrel::kExitUsage;
  }
  // Whatever happens, the windowed program ends with status 0.
  try {
    run_windowed(argc, argv, line);
  } catch (...) {
  }
  return 0;
}
