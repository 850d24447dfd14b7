#pragma once
// The signals that end an unattended run from outside: SIGINT, SIGTERM and
// SIGHUP reach the window thread as one call, so that the run stops at its
// next block or wait, lets the port go and leaves its record. A second
// signal of the kind ends the process at once. SIGPIPE is ignored: a reader
// of stderr that goes away must not end the run.

#include <QObject>
#include <functional>
#include <optional>

#include "loader/unattended/HeldSignals.h"

class QSocketNotifier;

namespace kestrel {

// One at a time; window thread only (the handlers only write to a pipe).
class TStopSignals : public QObject {
 public:
  explicit TStopSignals(std::function<void(int signal)> stop);
  ~TStopSignals() override;
  TStopSignals(const TStopSignals&) = delete;
  TStopSignals& operator=(const TStopSignals&) = delete;

  // Hands the signals to `stop` from now on; returns the one it replaces.
  std::function<void(int signal)> SetStop(std::function<void(int signal)> stop);

 private:
  void Arrived();

  std::function<void(int signal)> FStop;
  int FPipe[2] = {-1, -1};
  QSocketNotifier* FNotifier = nullptr;
  std::optional<THeldSignals> FHeld;
};

// "SIGINT", "SIGTERM", "SIGHUP", or "signal N".
const char* stop_signal_name(int signal);

}  // namespace kestrel
