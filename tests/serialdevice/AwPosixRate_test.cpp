// The termios device asks the driver for a rate and reads back what it got,
// through a stand-in driver behind the rate seam: drivers fall back to
// another rate instead of failing.
#include <gtest/gtest.h>

#include <cerrno>

#include "PtyPair.h"
#include "messages/AdErrorCodes.h"
#include "serialdevice/AwPosix.h"
#include "serialdevice/AwPosixBaud.h"

namespace kestrel {
namespace {

// A driver's line rate; the device is the only caller while a test runs.
struct FakeDriver {
  uint32_t rate = 38400;
  uint32_t fastest = 115200;  // above it: `refusal`
  enum { FallBack, Fail, Gone } refusal = FallBack;
  uint32_t clock = 0;  // nonzero: rates are the clock over a whole divisor
  int sets = 0;
};
FakeDriver driver;

int FakeSet(int, uint32_t baud) {
  ++driver.sets;
  if (baud > driver.fastest) {
    if (driver.refusal == FakeDriver::Fail) return EINVAL;
    if (driver.refusal == FakeDriver::Gone) return EIO;
    driver.rate = 9600;  // what a UART driver falls back to
    return 0;
  }
  driver.rate = driver.clock ? driver.clock / ((driver.clock + baud / 2) / baud) : baud;
  return 0;
}
int FakeGet(int, uint32_t& baud) {
  baud = driver.rate;
  return 0;
}
const posix_kernel::TBaudCalls kFakeCalls = {FakeSet, FakeGet};

class RateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.ok());
    driver = FakeDriver{};
    posix_kernel::SetBaudCalls(&kFakeCalls);
  }
  void TearDown() override { posix_kernel::SetBaudCalls(nullptr); }
  test::PtyPair pty;
};

TEST_F(RateTest, ARateTheDriverDoesNotRunIsRefusedAndTheLineKeepsItsRate) {
  struct Case {
    const char* what;
    uint32_t fastest;
    decltype(FakeDriver::refusal) refusal;
    uint32_t clock;
    uint32_t asked;
    int result;
    uint32_t rateAfter;
  };
  const Case cases[] = {
      {"taken as asked", 4000000, FakeDriver::FallBack, 0, 3000000, ecOK, 3000000},
      // 48 MHz / 52, 0.2 % off: the far end still reads it.
      {"rounded to the adapter's divisor", 4000000, FakeDriver::FallBack, 48000000, 921600, ecOK,
       923076},
      // 3 MHz / 3 is 8.5 % off; the line goes back to 3 MHz / 26, what the
      // driver made of 115200.
      {"rounded too far", 4000000, FakeDriver::FallBack, 3000000, 921600, ecBaudRate, 115384},
      {"a UART falls back to 9600", 115200, FakeDriver::FallBack, 0, 3000000, ecBaudRate, 115200},
      {"the driver fails the call", 115200, FakeDriver::Fail, 0, 460800, ecBaudRate, 115200},
      // A device that went away is no rate problem.
      {"the device is gone", 115200, FakeDriver::Gone, 0, 460800, ecFileNotFound, 115200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    driver = FakeDriver{};
    TApdPosixDevice dev(pty.slavePath());
    ASSERT_EQ(dev.Open(), ecOK);
    TDeviceSettings s;
    ASSERT_EQ(dev.GetState(s), ecOK);
    s.BaudRate = 115200;
    ASSERT_EQ(dev.SetState(s), ecOK);
    driver.fastest = c.fastest;
    driver.refusal = c.refusal;
    driver.clock = c.clock;
    s.BaudRate = c.asked;
    EXPECT_EQ(dev.SetState(s), c.result);
    EXPECT_EQ(driver.rate, c.rateAfter);
    TDeviceSettings back;
    ASSERT_EQ(dev.GetState(back), ecOK);
    EXPECT_EQ(back.BaudRate, c.rateAfter);
    dev.Close();
  }
}

}  // namespace
}  // namespace kestrel
