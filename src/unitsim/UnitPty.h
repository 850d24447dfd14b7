#pragma once
// The simulated unit on the master side of a new pseudo-terminal; a program
// opens the slave path like any serial port.
//
// A pseudo-terminal has no CTS line, so the unit says "not ready" the way a
// stalled receiver does: it reads no further than the end of the block it
// is about to write, stops reading the master while it writes flash, and
// the kernel's buffer fills up toward the sender. The server keeps a
// descriptor of the slave open itself, so the terminal stays raw and the
// master never hangs up between the programs that come and go on it.
//
// Thread contract: Open and SlavePath on any one thread; Serve on one thread
// at a time; stop it through the descriptor it watches.

#include <string>

#include "serialdevice/AwFd.h"
#include "unitsim/UnitOptions.h"
#include "unitsim/UnitSession.h"
#include "unitsim/UnitWire.h"

namespace kestrel {

class TUnitPtyServer {
 public:
  explicit TUnitPtyServer(TUnitOptions options);

  // Creates the pseudo-terminal; 0 or minus the error number.
  int Open();
  const std::string& SlavePath() const { return slavePath_; }

  // Serves until `stopFd` becomes readable; 0, or minus the error number of
  // a failure on the terminal.
  int Serve(int stopFd);

  TUnitSession& Session() { return session_; }

 private:
  TUnitOptions options_;
  TUnitSession session_;
  TApdFd master_;
  TApdFd slave_;
  std::string slavePath_;
  // With pace: the receiving wire, so that bytes are taken no faster than
  // the line's rate would bring them (a pseudo-terminal has no rate).
  TUnitWire inWire_;
};

}  // namespace kestrel
