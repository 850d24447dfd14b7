// A device that goes away while open (an adapter pulled out, a pseudo-
// terminal whose other side closed): the dispatcher notices, its threads
// end, and writes fail from then on instead of vanishing.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "AwuserTestUtil.h"
#include "messages/AdErrorCodes.h"

namespace kestrel {
namespace {

using namespace std::chrono_literals;
using test::PatternBytes;
using test::PtyPair;
using test::TSimPort;
using test::WaitUntil;

// Queues blocks until PutBlock fails for good; returns that result and
// counts the blocks taken after `lost` became true.
int UploadUntilRefused(TApdBaseDispatcher& port, int& takenAfterLoss) {
  const auto block = PatternBytes(2000, 5);
  takenAfterLoss = 0;
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (std::chrono::steady_clock::now() < deadline) {
    const bool lost = port.DeviceLost();
    const int rc = port.PutBlock(block.data(), static_cast<int>(block.size()));
    if (rc == 0) {
      if (lost) ++takenAfterLoss;
    } else if (rc == ecOutputBufferTooSmall) {
      std::this_thread::sleep_for(1ms);
    } else {
      return rc;
    }
  }
  return 0;
}

TEST(DeviceLost, PseudoTerminalClosedMidUploadEndsEveryThreadAndRefusesWrites) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  TApdPosixDispatcher port(nullptr);
  ASSERT_EQ(port.InitPort(pty.slavePath(), 115200, NOPARITY, 8, 1, 4096, 8192, 0), 0);
  pty.DropHolder();
  ASSERT_TRUE(pty.WriteAll("before"));
  ASSERT_TRUE(WaitUntil([&] { return port.InBuffUsed() == 6; }));

  std::thread unit([&] {
    pty.ReadSome(50000, 2s);  // takes part of the upload, then goes away
    pty.CloseMaster();
  });
  int takenAfterLoss = 0;
  EXPECT_EQ(UploadUntilRefused(port, takenAfterLoss), ecDeviceLost);
  unit.join();
  EXPECT_TRUE(port.DeviceLost());
  EXPECT_EQ(takenAfterLoss, 0);
  ASSERT_TRUE(WaitUntil([&] { return port.ActiveThreadCount() == 0; }));
  EXPECT_FALSE(port.ThreadsActive());
  EXPECT_EQ(port.PutString("x"), ecDeviceLost);
  // What came in before the loss can still be read.
  char before[6];
  EXPECT_EQ(port.GetBlock(before, 6), 6);
  EXPECT_EQ(std::string(before, 6), "before");
  EXPECT_EQ(port.DonePort(), 0);
}

TEST(DeviceLost, SimCableUnpluggedAfterNBytesAndPluggedInAgain) {
  TSimOptions options;
  options.unplugAfter = 30000;
  TSimPort sim(options);
  ASSERT_EQ(sim.open, 0);
  std::vector<uint8_t> far;
  std::thread unit([&] { far = sim.far->ReadExactly(30000, 10s); });
  int takenAfterLoss = 0;
  EXPECT_EQ(UploadUntilRefused(*sim.port, takenAfterLoss), ecDeviceLost);
  unit.join();
  EXPECT_EQ(far.size(), 30000u);
  EXPECT_EQ(sim.far->Available(), 0u);
  EXPECT_EQ(takenAfterLoss, 0);
  ASSERT_TRUE(WaitUntil([&] { return sim.port->ActiveThreadCount() == 0; }));
  // Flushing a lost device's buffers fails nothing: nothing can leave.
  EXPECT_EQ(sim.port->FlushOutBuffer(), 0);
  EXPECT_EQ(sim.port->OutBuffUsed(), 0);
  EXPECT_EQ(sim.port->FlushInBuffer(), 0);
  EXPECT_EQ(sim.port->DonePort(), 0);

  // Back in: a fresh open works and remembers nothing of the loss. Our own
  // close is no loss either.
  sim.port->SetDevice(sim.far->MakePortDevice());
  ASSERT_EQ(sim.port->InitPort("sim:", 115200, NOPARITY, 8, 1, 4096, 4096, 0), 0);
  EXPECT_FALSE(sim.port->DeviceLost());
  EXPECT_EQ(sim.port->PutString("again"), 0);
  const auto again = sim.far->ReadExactly(5, 3s);
  EXPECT_EQ(std::string(again.begin(), again.end()), "again");
  EXPECT_EQ(sim.port->DonePort(), 0);
  EXPECT_FALSE(sim.port->DeviceLost());
}

}  // namespace
}  // namespace kestrel
