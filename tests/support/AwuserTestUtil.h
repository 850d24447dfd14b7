#pragma once
// Helpers for the dispatcher tests: a simulated cable with an open
// dispatcher on it.

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

}  // namespace kestrel::test
