#pragma once
// Which serial ports can be used: the trial open of IsPortAvailable.

#include <string>

#include "serialdevice/AwDevice.h"
#include "serialdevice/AwPortPath.h"

namespace kestrel {

// The trial open goes through a fresh device object of the port layer.
inline constexpr bool UseDispatcherForAvail = true;
// A port that another program holds counts as available.
inline constexpr bool ShowPortsInUse = true;

// What the trial open of port n found: whether the port counts as
// available, and why its device did not open (a port held by another
// program, or one the user may not open, is available all the same).
struct TPortTrial {
  bool Available = false;
  std::string Path;  // the device the port resolves to
  TOpenFailure Failure = TOpenFailure::ofNone;
  std::string Reason;  // the device's own words for the failure, if any
};
// Opens and closes the device that `ports` makes for port n once.
// Thread contract: any thread.
TPortTrial TryPort(int n, const TPortMap& ports);

// True when port n exists and can be opened (or is held by another
// program), port n leading where `ports` says. Port 0 never is. Opens and
// closes the device once. Thread contract: any thread.
bool IsPortAvailable(int n, const TPortMap& ports);

}  // namespace kestrel
