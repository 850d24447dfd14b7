// The termios device asks the driver for low latency while the port is open,
// through a stand-in driver behind the serial-flags seam.
#include <gtest/gtest.h>

#include <cerrno>

#include "PtyPair.h"
#include "messages/AdErrorCodes.h"
#include "serialdevice/AwPosix.h"
#include "serialdevice/AwPosixBaud.h"

namespace kestrel {
namespace {

using posix_kernel::kLowLatencyFlag;

// A driver's serial flags word; the device is the only caller while a test runs.
struct FakeDriver {
  int flags = 0;
  int getError = 0;  // errno for TIOCGSERIAL, 0 to answer
  int setError = 0;  // errno for TIOCSSERIAL, 0 to accept
  int sets = 0;      // accepted TIOCSSERIAL calls
};
FakeDriver driver;

int FakeGet(int, int& flags) {
  if (driver.getError) return driver.getError;
  flags = driver.flags;
  return 0;
}
int FakeSet(int, int flags) {
  if (driver.setError) return driver.setError;
  driver.flags = flags;
  ++driver.sets;
  return 0;
}
const posix_kernel::TSerialFlagsCalls kFakeCalls = {FakeGet, FakeSet};

class LowLatencyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.ok());
    driver = FakeDriver{};
    posix_kernel::SetSerialFlagsCalls(&kFakeCalls);
  }
  void TearDown() override { posix_kernel::SetSerialFlagsCalls(nullptr); }
  test::PtyPair pty;
};

TEST_F(LowLatencyTest, AskedForWhileOpenAndPutBackAtClose) {
  struct Case {
    const char* what;
    int flags;           // the driver's flags before open
    int whileOpen;       // while the port is open
    int setsAtOpen;      // flag changes the open makes
    int setsAfterClose;  // flag changes in all
  };
  const Case cases[] = {
      // Other flags stay as the driver had them.
      {"latency timer on", 0x0041, 0x0041 | kLowLatencyFlag, 1, 2},
      // Someone set it before us: it stays set after we close.
      {"already low", 0x0041 | kLowLatencyFlag, 0x0041 | kLowLatencyFlag, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    driver = FakeDriver{};
    driver.flags = c.flags;
    TApdPosixDevice dev(pty.slavePath());
    ASSERT_EQ(dev.Open(), ecOK);
    EXPECT_EQ(driver.flags, c.whileOpen);
    EXPECT_EQ(driver.sets, c.setsAtOpen);
    dev.Close();
    EXPECT_EQ(driver.flags, c.flags);
    EXPECT_EQ(driver.sets, c.setsAfterClose);
    dev.Close();  // a second close changes nothing
    EXPECT_EQ(driver.sets, c.setsAfterClose);
  }
}

TEST_F(LowLatencyTest, ADriverThatRefusesIsNoError) {
  struct Case {
    const char* what;
    int getError, setError;
  };
  const Case cases[] = {
      {"no serial flags (a pseudo-terminal)", ENOTTY, 0},
      {"flags unreadable", EINVAL, 0},
      {"change refused", 0, EINVAL},
      {"change not permitted", 0, EPERM},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    driver = FakeDriver{};
    driver.flags = 0x0041;
    driver.getError = c.getError;
    driver.setError = c.setError;
    TApdPosixDevice dev(pty.slavePath());
    ASSERT_EQ(dev.Open(), ecOK);
    EXPECT_TRUE(dev.IsOpen());
    // Nothing was changed, so nothing is put back either.
    driver.setError = 0;
    dev.Close();
    EXPECT_EQ(driver.sets, 0);
    EXPECT_EQ(driver.flags, 0x0041);
  }
}

}  // namespace
}  // namespace kestrel
