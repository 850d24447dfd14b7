#include "serial/qt/AdPortTrial.h"

#include "messages/AdErrorCodes.h"
#include "serial/AwuserPosix.h"

namespace kestrel {

TPortTrial TryPort(int n, const TPortMap& ports) {
  TPortTrial trial;
  if (n <= 0) return trial;
  trial.Path = ports.ResolvePortPath(n);
  auto device = ports.CreateSerialDevice(trial.Path);
  if (!device) {
    trial.Failure = TOpenFailure::ofNoDevice;
    return trial;
  }
  const int rc = OpenDevice(*device);
  if (rc >= 0) {
    device->Close();
    trial.Available = true;
    return trial;
  }
  trial.Failure = device->LastOpenFailure();
  trial.Reason = device->LastOpenFailureReason();
  // Held by another program (or not ours to open): the port exists.
  trial.Available = ShowPortsInUse && rc == ecAccessDenied;
  return trial;
}

bool IsPortAvailable(int n, const TPortMap& ports) {
  return TryPort(n, ports).Available;
}

}  // namespace kestrel
