#include "serial/qt/AdPortTrial.h"

#include "messages/AdErrorCodes.h"
#include "serial/AwuserPosix.h"
#include "serialdevice/AwPortPath.h"

namespace kestrel {

TPortTrial TryPort(int n) {
  TPortTrial trial;
  if (n <= 0) return trial;
  trial.Path = ResolvePortPath(n);
  auto device = CreateSerialDevice(trial.Path);
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

bool IsPortAvailable(int n) {
  return TryPort(n).Available;
}

}  // namespace kestrel
