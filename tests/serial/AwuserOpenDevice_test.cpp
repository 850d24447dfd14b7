// A network line's open waits for a host that does not answer; meanwhile the
// opening thread keeps handling its window events through the yield hook.

#include <gtest/gtest.h>

#include <atomic>

#include "Ser2netServer.h"
#include "messages/AdErrorCodes.h"
#include "serial/AwuserPosix.h"
#include "serial/EventTimer.h"
#include "serialdevice/AwPortPath.h"

namespace kestrel {
namespace {

std::atomic<int> yields{0};

TYieldResult CountingYield() {
  ++yields;
  return TYieldResult::Idle;
}

TEST(OpenDevice, ASilentHostFailsInBoundedTimeWhileTheCallerKeepsYielding) {
  e2e::TSilentHost host;
  auto device = TPortMap().CreateSerialDevice("tcp://127.0.0.1:" + std::to_string(host.Port));
  SetYieldHook(&CountingYield);
  const auto started = std::chrono::steady_clock::now();
  const int rc = OpenDevice(*device);
  const auto took = std::chrono::steady_clock::now() - started;
  SetYieldHook(nullptr);
  EXPECT_LT(rc, 0);
  EXPECT_EQ(device->LastOpenFailureReason(), "no answer within 5 seconds");
  EXPECT_LT(took, std::chrono::seconds(30));
  // Steps of a few milliseconds all along the wait, not one at the end.
  EXPECT_GT(yields.load(), 100);
}

}  // namespace
}  // namespace kestrel
