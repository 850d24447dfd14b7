// What the loader relies on from the port component, exercised the way the
// loader uses it: the main window's form values, a probe exchange, the
// query capture, and the block upload under RTS/CTS handshaking.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "PortTestSupport.h"
#include "TestPattern.h"
#include "serial/qt/Adport.h"

namespace kestrel {
namespace {

using namespace std::chrono_literals;
using test::App;
using test::PumpUntil;

// The main window's form values on top of the simulated port.
class LoaderRelianceTest : public test::TSimPortTest {
 protected:
  void SetUp() override {
    TSimPortTest::SetUp();
    port.SetBaud(38400);
    port.SetHWFlowOptions({hwfUseRTS, hwfRequireCTS});
    port.SetBufferFull(2000);
    port.SetBufferResume(409);
  }
};

TEST_F(LoaderRelianceTest, AProbeExchangeFindsThePromptAndASilentPortTimesOut) {
  port.SetOpen(true);
  // The unit answers a carriage return with its prompt.
  std::thread unit([&] {
    auto cr = far->ReadExactly(1, 5s);
    if (cr == std::vector<uint8_t>{'\r'}) far->SendFor("\r\n#", 1s);
  });
  port.FlushInBuffer();
  port.PutString("\r");
  EXPECT_TRUE(port.WaitForString("#", 65, true, false));
  unit.join();
  port.FlushInBuffer();
  port.FlushOutBuffer();

  // A silent unit: false once the timeout has passed (a short one here).
  port.PutString("\r");
  EXPECT_FALSE(port.WaitForString(">", 3, true, false));
}

TEST_F(LoaderRelianceTest, GetBlockCopiesExactlyTheBytesAskedFor) {
  port.SetOpen(true);
  ASSERT_EQ(far->SendFor("123456789", 5s), 9);
  ASSERT_TRUE(test::WaitUntilPlain([&] { return port.InBuffUsed() == 9; }));

  char block[16] = {};
  EXPECT_THROW(port.GetBlock(block, 10), EBufferIsEmpty);
  EXPECT_EQ(port.InBuffUsed(), 9) << "nothing is taken when too few bytes wait";
  port.GetBlock(block, 4);
  EXPECT_EQ(std::string(block, 4), "1234");
  EXPECT_EQ(port.InBuffUsed(), 5);
  EXPECT_EQ(port.PeekChar(1), '5');
  EXPECT_EQ(port.GetChar(), '5');
  EXPECT_TRUE(port.CharReady());
}

TEST_F(LoaderRelianceTest, TheCaptureHandlerSeesEachAnswerOnce) {
  port.SetOpen(true);
  std::string captured;
  port.SetOnTriggerAvail([&](TApdCustomComPort* cp, uint16_t count) {
    std::string bytes(count, '\0');
    cp->GetBlock(bytes.data(), count);
    captured += bytes;
  });
  far->SendFor("V1.04 ", 1s);
  ASSERT_TRUE(PumpUntil([&] { return captured.size() == 6; }));
  far->SendFor("build 7\r\n>", 1s);
  ASSERT_TRUE(PumpUntil([&] { return captured.size() == 16; }));
  ASSERT_TRUE(test::PumpDispatchCycles(port));
  EXPECT_EQ(captured, "V1.04 build 7\r\n>");
}

TEST_F(LoaderRelianceTest, BlocksGoIntoTheOutputBufferWholeAndDrainUnderCts) {
  port.SetOpen(true);
  const std::vector<uint8_t> file = test::PatternBytes(5000, 3);

  far->SetCts(false);  // the unit is writing flash
  ASSERT_TRUE(PumpUntil([&] { return !port.CTS(); }));
  std::vector<uint8_t> received;
  for (size_t sent = 0; sent < file.size(); sent += 2000) {
    const uint16_t n = static_cast<uint16_t>(std::min<size_t>(2000, file.size() - sent));
    ASSERT_GT(port.OutBuffFree(), n);
    port.PutBlock(file.data() + sent, n);  // all of it, at once
    if (sent == 0) {
      EXPECT_GT(port.OutBuffUsed(), 0) << "held while CTS is low";
      far->SetCts(true);
    }
    // The loader's drain wait: the buffer empties, CTS is up.
    ASSERT_TRUE(PumpUntil([&] { return port.OutBuffUsed() == 0 && port.CTS(); }));
    auto got = far->ReadExactly(n, 5s);
    received.insert(received.end(), got.begin(), got.end());
  }
  EXPECT_EQ(received, file);

  // More than fits is refused whole.
  std::vector<uint8_t> big(port.OutSize() + 1, 'x');
  EXPECT_THROW(port.PutBlock(big.data(), static_cast<uint16_t>(big.size())), EOutputBufferTooSmall);
  EXPECT_EQ(port.OutBuffUsed(), 0);
}

TEST_F(LoaderRelianceTest, AClosedPortRaisesWhereTheLoaderExpectsIt) {
  EXPECT_THROW(port.FlushInBuffer(), ECommNotOpen);
  EXPECT_THROW(port.WaitForString("#", 65, true, false), ECommNotOpen);
  port.SetComNumber(2);  // mapped to nothing
  EXPECT_THROW(port.SetOpen(true), EAPDException);
  EXPECT_FALSE(port.Open());
}

}  // namespace
}  // namespace kestrel
