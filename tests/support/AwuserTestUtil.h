#pragma once
// Helpers for the dispatcher tests: a simulated cable with an open
// dispatcher on it, and waiting for the dispatch thread to move on.

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "PtyPair.h"
#include "TestPattern.h"
#include "WaitUntil.h"
#include "serial/AwuserPosix.h"
#include "serialdevice/AwSim.h"

namespace kestrel::test {

// A dispatcher opened on a simulated cable whose far end the test holds.
struct TSimPort {
  std::shared_ptr<TApdSimFarEnd> far;
  std::unique_ptr<TApdPosixDispatcher> port;
  int open = -1;  // InitPort's result

  explicit TSimPort(const TSimOptions& options = {}, uint16_t outSize = 4096,
                    uint32_t initOptions = ipAssertDTR | ipAssertRTS, int32_t baud = 115200) {
    auto pair = CreateSimDevice(options);
    far = pair.far;
    port = std::make_unique<TApdPosixDispatcher>(nullptr);
    port->SetDevice(std::move(pair.port));
    open = port->InitPort("sim:", baud, NOPARITY, 8, 1, 4096, outSize, initOptions);
  }
};

// Waits until the dispatch thread has run `cycles` whole cycles after this
// call: what the test did before has been taken in and delivered if due, and
// an event that must not come has had as many chances. `wait` is WaitUntil
// for a thread's view, PumpUntil where window events must be handled.
inline bool PassDispatchCycles(TApdBaseDispatcher& port, int cycles = 3,
                               bool (*wait)(const std::function<bool()>&,
                                            std::chrono::milliseconds) = WaitUntil) {
  const uint64_t start = port.DispatchCycles();
  return wait([&] { return port.DispatchCycles() >= start + 1 + uint64_t(cycles); },
              std::chrono::seconds(20));
}

}  // namespace kestrel::test
