#pragma once
// The signals a station over many ports acts on, without an event loop of
// a toolkit: SIGINT, SIGTERM, SIGHUP and SIGCHLD are written to a pipe the
// station polls beside its ports' pipes. SIGPIPE is ignored: a reader of
// stderr that goes away must not end the station. One at a time; the
// dispositions it replaced come back when it goes.

#include <optional>
#include <vector>

#include "loader/unattended/HeldSignals.h"

namespace kestrel {

// One thread only (the handler only writes to the pipe).
class TStationSignals {
 public:
  TStationSignals();
  ~TStationSignals();
  TStationSignals(const TStationSignals&) = delete;
  TStationSignals& operator=(const TStationSignals&) = delete;

  // What to poll: readable when a signal came.
  int Fd() const;
  // The signals that came since the last call, in order.
  std::vector<int> Take();

 private:
  std::optional<THeldSignals> FHeld;
};

}  // namespace kestrel
