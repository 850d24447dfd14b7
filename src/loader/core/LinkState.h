#pragma once
// What the window's exchanges with the unit share: with each other (the
// prompt the last exchange waited for, the port that last answered) and with
// the handlers that run in the middle of a wait (the capture of an answer
// line, the watchdog, the close query), which end that wait only through
// these flags.

#include <string>
#include <vector>

#include "loader/core/CaptureLine.h"
#include "loader/core/UnitWords.h"

namespace kestrel {

// Window thread only.
struct TLinkState {
  // The prompt the last exchange waited for: the mode the unit was last
  // asked to be in. The check before an upload line waits for it again.
  char LastPrompt = 0;
  // The capture of one answer line is armed.
  bool AwaitingResponse = false;
  bool WatchdogExpired = false;
  TCaptureLine Capture;
  // What the unit said since the step under way began, for its failure.
  TUnitWords Words;
  // A prompt character ends a captured line only after this many bytes.
  int MinLineLength = 0;
  // The port the unit last answered on (0: never).
  int LastGoodComPort = 0;
  // Why each port of the latest probing round could not be used, one text a
  // port ("COM 1: /dev/ttyUSB0: no such device ...").
  std::vector<std::string> PortFailures;
};

}  // namespace kestrel
