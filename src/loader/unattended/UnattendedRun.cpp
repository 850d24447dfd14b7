#include "loader/unattended/UnattendedRun.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "loader/core/RunRecord.h"
#include "loader/core/ScriptFiles.h"
#include "loader/core/ScriptReader.h"
#include "loader/form/LoaderRun.h"
#include "loader/unattended/ConsoleOperatorDialog.h"
#include "loader/unattended/UnattendedConsole.h"
#include "loader/unattended/UnattendedSignals.h"

namespace kestrel {

void select_unattended_platform() {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  // stderr belongs to the run's report: the toolkit's own notes about its
  // environment (no runtime folder, no fonts) stay out of it; its errors go in.
  qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
    if (type == QtCriticalMsg || type == QtFatalMsg)
      std::fprintf(stderr, "qt: %s\n", text.toLocal8Bit().constData());
  });
}

namespace {

// Why `run` did not succeed, in one line; `ports`: why each port failed,
// when no unit answered.
std::string failure_text(const TRunOutcome& run, const std::string& firstError,
                         const std::vector<std::string>& ports) {
  std::string text;
  for (const TNamedFile& file : run.Files()) {
    if (file.Result == TFileResult::Ok) continue;
    text = file.File + ": " + (file.Message.empty() ? file_result_text(file.Result) : file.Message);
    break;
  }
  if (text.empty()) text = firstError;
  if (run.End() == TRunEnd::NotRun)
    for (const std::string& port : ports) text += (text.empty() ? "" : "; ") + port;
  if (text.empty()) text = std::string("the run ended ") + run_end_text(run.End());
  // A message box's line breaks stay out of a one-line verdict; each still
  // ends a sentence.
  std::string line;
  for (char c : text) {
    if (c != '\r' && c != '\n') {
      line += c;
      continue;
    }
    if (!line.empty() && line.back() != '.' && line.back() != '!' && line.back() != ' ')
      line += '.';
    if (!line.empty() && line.back() != ' ') line += ' ';
  }
  return line;
}

// What the console shows of a run: the status texts, the unit's words, the
// prompt waits that missed and each upload's progress. The end of the
// window's work is handed to `ended`.
class TConsoleObserver : public TRunObserver {
 public:
  TConsoleObserver(TUnattendedConsole& console, std::function<void()> ended)
      : FConsole(console), FEnded(std::move(ended)) {}

  void Status(const std::string& text, TStatusSource) override { FConsole.Status(text); }
  void UnitBytes(const char* bytes, size_t count) override { FConsole.UnitBytes(bytes, count); }
  void PromptMissed(char prompt, int comNumber, int attempt, int attempts) override {
    FConsole.PromptMissed(prompt, comNumber, attempt, attempts);
  }
  void UploadBegins(const std::string&, uint64_t) override { FConsole.UploadBegins(); }
  void Progress(const std::string& file, uint64_t sent, uint64_t total, double) override {
    FConsole.Progress(file, sent, total);
  }
  void ProgramEnds(int) override { FEnded(); }

 private:
  TUnattendedConsole& FConsole;
  std::function<void()> FEnded;
};

}  // namespace

std::string unusable_named_file(const TCommandLine& line, bool script) {
  std::string why;
  if (script && !open_file_for_read(line.BatchScript, &why))
    return "cannot read the script " + line.BatchScript + ": " + why;
  if (!line.IniFile.empty() && !open_file_for_read(line.IniFile, &why))
    return "cannot read the settings file " + line.IniFile + ": " + why;
  if (!line.RecordFile.empty() && !TRunRecorder(line.RecordFile).CanAppend(why))
    return "cannot append to the run record " + line.RecordFile + ": " + why;
  return {};
}

int run_unattended(const TCommandLine& line, TConsoleOperatorDialog& dialog,
                   TUnattendedConsole& console, const TLoaderRunFactory& makeRun,
                   TUnattendedRun& result) {
  // Files named on the command line are checked before any port is opened:
  // a run must not go ahead on defaults, or without the record it was asked
  // to leave.
  auto refuse = [&](const std::string& why) {
    console.Fatal(why);
    result.Status = kExitNoScript;
    result.Failure = why;
    return kExitNoScript;
  };
  if (const std::string why = unusable_named_file(line, false); !why.empty()) return refuse(why);
  // The record outlives the windows that write into it.
  std::unique_ptr<TRunRecorder> recorder;
  if (!line.RecordFile.empty()) recorder = std::make_unique<TRunRecorder>(line.RecordFile);
  // A script that cannot be read is told before any port is probed, and
  // recorded as a run that could not open it.
  if (std::string why; !open_file_for_read(line.BatchScript, &why)) {
    dialog.ShowMessage("Error opening file " + line.BatchScript + " for read.");
    if (recorder) {
      TRunOutcome cannotOpen;
      cannotOpen.End(TRunEnd::CannotOpen);
      recorder->Start();
      recorder->Script(line.BatchScript);
      recorder->RunNumber(result.Number);
      recorder->Finish(cannotOpen, kExitNoScript);
    }
    return refuse("cannot read the script " + line.BatchScript + ": " + why);
  }

  // What the windows report into outlives them.
  int status = kExitRunFailed;
  const int errorsBefore = dialog.ErrorCount();
  dialog.BeginRun();
  console.RunBegins();
  const auto began = std::chrono::steady_clock::now();
  std::optional<TRecordObserver> recordObserver;

  // The run's window never reaches a screen; it reports through its observers.
  const std::unique_ptr<TLoaderRun> window = makeRun(dialog, result.Ports);
  TStartUp startUp;
  if (!line.IniFile.empty()) startUp.SettingsFile = line.IniFile;
  startUp.CommandLineBaud = line.Baud;
  startUp.Script = line.BatchScript;
  window->SetStartUp(startUp);
  if (recorder) {
    // The record covers the whole run, start-up and probing included.
    recorder->Start();
    recorder->Script(line.BatchScript);
    recorder->RunNumber(result.Number);
    window->add_observer(recordObserver.emplace(*recorder));
  }

  // A signal stops the run as a close stops the window's; a caller's signal
  // handling gets its own back when the run is over.
  std::string stopReason;  // the signal that stopped the run, in words
  auto stop = [&](int signal) {
    console.Fatal(std::string("run interrupted by ") + stop_signal_name(signal) +
                  ": stopping at the next block or wait");
    stopReason = std::string("interrupted by ") + stop_signal_name(signal);
    window->request_stop(stopReason, signal);
  };
  std::optional<TStopSignals> ownSignals;
  std::function<void(int)> callersStop;
  if (result.Signals)
    callersStop = result.Signals->SetStop(stop);
  else
    ownSignals.emplace(stop);
  struct TGiveBack {
    TStopSignals* Signals;
    std::function<void(int)>& Stop;
    ~TGiveBack() {
      if (Signals) Signals->SetStop(std::move(Stop));
    }
  } giveBack{result.Signals, callersStop};

  TConsoleObserver consoleObserver(console, [&] {
    const TRunOutcome& run = window->settle_outcome(line.BatchScript);
    if (window->run_stopping()) {
      status = window->exit_status_after_stop();
    } else {
      switch (run.End()) {
        case TRunEnd::NotRun:
          status = kExitNoUnit;
          break;
        case TRunEnd::CannotOpen:
          status = kExitNoScript;
          break;
        case TRunEnd::Finished:
          // Every message counts, the probe's included.
          status = run.Succeeded() && dialog.ErrorCount() == errorsBefore ? kExitSuccess
                                                                          : kExitRunFailed;
          break;
        default:
          status = kExitRunFailed;
      }
    }
    if (recorder) {
      TRunRecorder::TPort port = window->port_for_record();
      // A stop or a lost device closes the port before the run ends: the
      // record keeps the device the run was on.
      if (port.Path.empty() && port.ComNumber == recorder->Port().ComNumber)
        port.Path = recorder->Port().Path;
      recorder->Port(port);
      recorder->Finish(run, status);
    }
    // The cause, in the unit's words where it said any, right above the
    // verdict; a run stopped between files by the signal that stopped it.
    if (status != kExitSuccess) {
      const std::string firstError = dialog.FirstErrorOfRun();
      result.Failure =
          failure_text(run, firstError.empty() ? stopReason : firstError, window->port_failures());
      console.Cause(result.Failure);
    }
    console.Summary(run, status);
    result.Interrupted = run.Interrupted();
    result.FilesNamed = run.FilesNamed();
    result.FilesLoaded = run.FilesLoaded();
    result.BytesLoaded = run.BytesLoaded();
    QCoreApplication::exit(status);
  });
  window->add_observer(consoleObserver);
  if (result.Observer) window->add_observer(*result.Observer);

  if (result.Prepare) result.Prepare(*window);
  // The start-up work runs from the event loop, as it does for the window.
  QMetaObject::invokeMethod(
      QCoreApplication::instance(), [&window] { window->FormShow(); }, Qt::QueuedConnection);
  QCoreApplication::exec();
  result.Status = status;
  result.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  return status;
}

}  // namespace kestrel
