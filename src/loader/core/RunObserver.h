#pragma once
// What a run tells those who watch it: the window's status bar, the
// unattended console, the record, a station, a test. Each watcher overrides
// what it shows; every method does nothing unless overridden. The run calls
// its watchers in the order they were added, on the window thread.

#include <cstddef>
#include <cstdint>
#include <string>

#include "loader/core/RunOutcome.h"
#include "loader/core/RunRecord.h"

namespace kestrel {

// Whose text the status bar shows: the run's (kept in the record) or the
// window's own, from probing, the port menus and the settings.
enum class TStatusSource { Run, Window };

class TRunObserver {
 public:
  virtual ~TRunObserver() = default;

  // A text the status bar shows.
  virtual void Status(const std::string& /*text*/, TStatusSource /*source*/) {}
  // A message box's text; `note`: a script's note rather than an error.
  virtual void Message(const std::string& /*text*/, bool /*note*/) {}
  // Bytes the unit sent, in the order it sent them, whoever took them.
  virtual void UnitBytes(const char* /*bytes*/, size_t /*count*/) {}
  // A wait for `prompt` on `comNumber` ended without it: try `attempt` of
  // `attempts` (0 of 0: not told).
  virtual void PromptMissed(char /*prompt*/, int /*comNumber*/, int /*attempt*/, int /*attempts*/) {
  }
  // An upload of `total` bytes of `file` is about to send its first block.
  virtual void UploadBegins(const std::string& /*file*/, uint64_t /*total*/) {}
  // `sent` of its `total` bytes have been handed to the port, at
  // `bytesPerSecond` since its first block.
  virtual void Progress(const std::string& /*file*/, uint64_t /*sent*/, uint64_t /*total*/,
                        double /*bytesPerSecond*/) {}
  // What became of the file an upload sent.
  virtual void FileResult(const TNamedFile& /*file*/) {}
  // A script run begins on `port`.
  virtual void RunBegins(const std::string& /*script*/, const TRunRecorder::TPort& /*port*/) {}
  // A script run ended as `run` says; `exitStatus` is the status it has.
  virtual void RunEnded(const TRunOutcome& /*run*/, int /*exitStatus*/) {}
  // The window's work is over: the program ends with `status`.
  virtual void ProgramEnds(int /*status*/) {}
};

// Keeps the record of the runs it watches: their status texts, messages
// and port, and the line of each run it saw begin on a record nobody else
// had started. A run started on it from outside (an unattended run, which
// records its start-up too) is left for that caller to finish.
class TRecordObserver : public TRunObserver {
 public:
  explicit TRecordObserver(TRunRecorder& recorder) : FRecorder(recorder) {}

  void Status(const std::string& text, TStatusSource source) override {
    if (source == TStatusSource::Run) FRecorder.Status(text);
  }
  void Message(const std::string& text, bool note) override { FRecorder.Message(text, note); }
  void RunBegins(const std::string& script, const TRunRecorder::TPort& port) override {
    FOwnRun = !FRecorder.Running();
    if (FOwnRun) FRecorder.Start();
    FRecorder.Script(script);
    FRecorder.Port(port);
  }
  void RunEnded(const TRunOutcome& run, int exitStatus) override {
    if (FOwnRun) FRecorder.Finish(run, exitStatus);
    FOwnRun = false;
  }

 private:
  TRunRecorder& FRecorder;
  bool FOwnRun = false;
};

}  // namespace kestrel
