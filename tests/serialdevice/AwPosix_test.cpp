// The termios device on pseudo-terminals.
#include "AwPosix.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include "AdErrorCodes.h"
#include "PtyPair.h"

namespace kestrel {
namespace {

using namespace std::chrono_literals;
using test::PtyPair;

// Reads from the device until n bytes came, waiting through WaitEvent.
std::vector<uint8_t> DeviceRead(TApdSerialDevice& dev, size_t n) {
  std::vector<uint8_t> out;
  uint8_t buf[1500];
  while (out.size() < n) {
    const int got = dev.Read(buf, static_cast<int>(std::min(sizeof buf, n - out.size())));
    if (got > 0) {
      out.insert(out.end(), buf, buf + got);
      continue;
    }
    uint32_t happened = 0;
    if (dev.WaitEvent(ev_RxChar, happened) != kWaitReady) break;
  }
  return out;
}

bool DeviceWriteAll(TApdSerialDevice& dev, const uint8_t* data, size_t n) {
  while (n > 0) {
    const int put = dev.Write(data, static_cast<int>(n));
    if (put < 0) return false;
    data += put;
    n -= static_cast<size_t>(put);
    if (n > 0 && dev.WaitWritable(-1) != kWaitReady) return false;
  }
  return true;
}

class PosixDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.ok());
    ASSERT_EQ(dev.Open(), ecOK);
  }
  PtyPair pty;
  TApdPosixDevice dev{pty.slavePath()};
};

TEST_F(PosixDeviceTest, BytesPassBothWaysUnchanged) {
  // Every byte value, including CR, LF, XON/XOFF and the interrupt
  // characters a cooked terminal would act on.
  std::vector<uint8_t> all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
  ASSERT_TRUE(DeviceWriteAll(dev, all.data(), all.size()));
  EXPECT_EQ(pty.ReadSome(all.size(), 5000ms), all);

  ASSERT_TRUE(pty.WriteAll(all.data(), all.size()));
  EXPECT_EQ(DeviceRead(dev, all.size()), all);
}

TEST_F(PosixDeviceTest, ReadWithNothingReceivedReturnsZeroAtOnce) {
  uint8_t buf[8192];
  EXPECT_EQ(dev.Read(buf, sizeof buf), 0);
}

TEST_F(PosixDeviceTest, SecondOpenOfTheSamePortIsInUse) {
  TApdPosixDevice second(pty.slavePath());
  EXPECT_EQ(second.Open(), ecAccessDenied);
  EXPECT_FALSE(second.IsOpen());
  dev.Close();
  EXPECT_EQ(second.Open(), ecOK);
}

TEST(PosixDeviceOpen, FailuresAreToldApart) {
  TApdPosixDevice missing("/dev/kestrel-no-such-port");
  EXPECT_EQ(missing.Open(), ecFileNotFound);
  EXPECT_FALSE(missing.IsOpen());
  TApdPosixDevice badPath("/dev/null/ttyS0");
  EXPECT_EQ(badPath.Open(), ecPathNotFound);
}

}  // namespace
}  // namespace kestrel
