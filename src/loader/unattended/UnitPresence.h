#pragma once
// Whether a unit is on the line: the quiet probe a station repeats between
// runs. It opens the port only when its device exists, sends one carriage
// return, waits briefly for either prompt and closes the port again, so that
// an adapter pulled out in between is seen and nothing else is disturbed.

#include <memory>
#include <string>

#include "loader/core/LoaderSettings.h"

namespace kestrel {

class TApdComPort;
class TApdPortContext;
class TClock;

// Window thread only.
class TUnitPresence {
 public:
  // Reads the settings file `iniFile` (LoaderDefault.ini when empty) for the
  // port and its line, as a run would; `baud`, when not 0, stands in for
  // the settings' rate. Nothing is reported: a run reports the settings.
  // The port shares `ports` (none: it keeps its own).
  TUnitPresence(const std::string& iniFile, long baud, TApdPortContext* ports = nullptr);
  ~TUnitPresence();
  TUnitPresence(const TUnitPresence&) = delete;
  TUnitPresence& operator=(const TUnitPresence&) = delete;

  enum class TState { NoDevice, Silent, Answers };
  // The prompt waits take their time from `clock`.
  TState Probe(TClock& clock);
  // Why the last probe could not open the device; empty when it could, or
  // when there was none to open.
  const std::string& OpenFailure() const { return FOpenFailure; }
  // Whether the last probe found something that is no serial device at
  // all (a file, a folder, /dev/null): no unit can ever answer there.
  bool NeverAUnit() const { return FNeverAUnit; }

  // The port watched: the configured one, else COM1, and its device.
  int ComNumber() const { return FComNumber; }
  std::string DevicePath() const;

 private:
  bool exchange(TClock& clock);

  TLoaderSettings FSettings;
  int FComNumber = 1;
  std::string FOpenFailure;
  bool FNeverAUnit = false;
  std::unique_ptr<TApdComPort> FPort;
};

}  // namespace kestrel
