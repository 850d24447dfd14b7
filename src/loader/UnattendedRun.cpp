#include "UnattendedRun.h"

#include <QCoreApplication>
#include <QEvent>
#include <QMetaObject>
#include <QTimer>
#include <cstdio>
#include <functional>
#include <memory>

#include "ConsoleOperatorDialog.h"
#include "MainUnit.h"
#include "Progress.h"
#include "RunRecord.h"
#include "UnattendedConsole.h"

namespace kestrel {

namespace {

constexpr const char* kSuccessStatus = "SUCCESS. Reading script file complete";

int blocks_sent_for(uint32_t fileSize) {
  const uint32_t whole = fileSize / 2000;
  return int(whole + (fileSize % 2000 != 0 ? 1 : 0) + (fileSize == 0 ? 1 : 0));
}

// Calls back whenever the watched widget is shown.
class TShowWatcher : public QObject {
 public:
  explicit TShowWatcher(std::function<void()> shown) : FShown(std::move(shown)) {}
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Show) FShown();
    return QObject::eventFilter(watched, event);
  }

 private:
  std::function<void()> FShown;
};

}  // namespace

void select_unattended_platform() {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  // stderr belongs to the run's report: the toolkit's own notes about its
  // environment (no runtime folder, no fonts) stay out of it; its errors go in.
  qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
    if (type == QtCriticalMsg || type == QtFatalMsg)
      std::fprintf(stderr, "qt: %s\n", text.toLocal8Bit().constData());
  });
}

int run_unattended(const TCommandLine& line, TConsoleOperatorDialog& dialog,
                   TUnattendedConsole& console, const std::function<void(TKestrelForm&)>& prepare) {
  // What the windows report into outlives them.
  QString lastStatus;
  int blocksSent = 0;
  int status = kExitRunFailed;
  const int errorsBefore = dialog.ErrorCount();
  TShowWatcher shown([&] { blocksSent = 0; });

  // The record outlives the windows that write into it.
  std::unique_ptr<TRunRecorder> recorder;
  if (!line.RecordFile.empty()) recorder = std::make_unique<TRunRecorder>(line.RecordFile);

  // Neither window ever reaches a screen; they exist for the state they hold.
  // The progress window outlives the main window, which points to it.
  TProgressForm progress;
  progress.setAttribute(Qt::WA_DontShowOnScreen);
  TKestrelForm form(dialog);
  form.setAttribute(Qt::WA_DontShowOnScreen);
  form.SetCompanions(&progress, nullptr);
  if (!line.IniFile.empty()) form.SettingsFileName = line.IniFile;
  form.Settings.CommandLineBaud = line.Baud;
  form.UnattendedScript = line.BatchScript;
  if (recorder) {
    // The record covers the whole run, start-up and probing included.
    recorder->Start();
    recorder->Script(line.BatchScript);
    form.Recorder = recorder.get();
  }

  QObject::connect(form.InfoStatusBar, &TInfoStatusBar::SimpleTextChanged,
                   [&](const QString& text) {
                     console.Status(text.toStdString());
                     if (!text.trimmed().isEmpty()) lastStatus = text;
                   });

  // Blocks handed to the port: each upload's count starts when its progress
  // window is shown.
  progress.installEventFilter(&shown);
  QObject::connect(&progress, &TProgressForm::Stepped, &form, [&] {
    console.Progress(form.UploadFileName, ++blocksSent, blocks_sent_for(form.FileSize));
  });

  form.EndProcess = [&](int) {
    switch (form.ScriptOutcome) {
      case TKestrelForm::TScriptOutcome::NotRun:
        status = kExitNoUnit;
        break;
      case TKestrelForm::TScriptOutcome::CannotOpen:
        status = kExitNoScript;
        break;
      case TKestrelForm::TScriptOutcome::Stopped:
        status = kExitRunFailed;
        break;
      case TKestrelForm::TScriptOutcome::Finished:
        status = lastStatus == QLatin1String(kSuccessStatus) && dialog.ErrorCount() == errorsBefore
                     ? kExitSuccess
                     : kExitRunFailed;
        break;
    }
    if (recorder) {
      static const char* const kOutcome[] = {"no unit", "cannot open", "stopped", "finished"};
      form.record_port();
      recorder->Finish(kOutcome[int(form.ScriptOutcome)], status);
    }
    QCoreApplication::exit(status);
  };

  if (prepare) prepare(form);
  // The start-up work runs from the event loop, as it does for the window.
  QMetaObject::invokeMethod(&form, &TKestrelForm::FormShow, Qt::QueuedConnection);
  QCoreApplication::exec();
  return status;
}

}  // namespace kestrel
