#pragma once
// A run of the loader as a front end without a window sees it: what its
// start-up reads and runs, who watches it, how it is started and stopped,
// and what it came to. The main window is one; the front ends that drive it
// know it only through this header, which pulls in no widget.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "loader/core/LoaderSettings.h"
#include "loader/core/RunObserver.h"
#include "loader/core/RunOutcome.h"
#include "loader/core/RunRecord.h"

namespace kestrel {

class TApdPortContext;
class TOperatorDialog;

// What start-up reads and runs: the settings file, a line rate from the
// command line over the settings' one (0: none), and for an unattended run
// the script run once in place of the settings' automatic script (automatic
// mode is then on).
struct TStartUp {
  std::string SettingsFile = kSettingsFileName;
  long CommandLineBaud = 0;
  std::optional<std::string> Script;
};

// Window thread only.
class TLoaderRun {
 public:
  virtual ~TLoaderRun() = default;

  // Before the start-up work: what it reads and runs.
  virtual void SetStartUp(const TStartUp& startUp) = 0;
  // Those who watch the run, told in the order they were added; each
  // outlives the run. The program ends only through an observer's
  // ProgramEnds.
  virtual void add_observer(TRunObserver& observer) = 0;
  // The start-up work: settings, the probe for the unit and, in automatic
  // mode, the script.
  virtual void FormShow() = 0;

  // Stops the run from outside it (a signal, a close): every wait ends and
  // every exchange cut short counts as failed. `why` goes into the record;
  // `signal` is the signal's number, 0 for a close.
  virtual void request_stop(const std::string& why, int signal = 0) = 0;
  virtual bool run_stopping() const = 0;
  // 128 and the signal's number, or 1 for a close.
  virtual int exit_status_after_stop() const = 0;

  // What the run came to, once its work is over, for a front end that asked
  // it to run `script`: a run stopped from outside ended interrupted, and
  // one whose script never started still names the files of `script`.
  virtual const TRunOutcome& settle_outcome(const std::string& script) = 0;
  // Why each port probed failed, when no unit answered.
  virtual const std::vector<std::string>& port_failures() const = 0;
  // The port and its line settings, as the record keeps them.
  virtual TRunRecorder::TPort port_for_record() const = 0;
};

// Makes the run a front end drives: a window that never reaches a screen,
// whose port shares `ports` (none: it keeps its own) and whose messages go
// to `dialog`.
using TLoaderRunFactory =
    std::function<std::unique_ptr<TLoaderRun>(TOperatorDialog& dialog, TApdPortContext* ports)>;

}  // namespace kestrel
