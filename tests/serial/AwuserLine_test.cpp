// Line settings, flow control, DTR/RTS, modem and line status, breaks and
// RS-485 direction control, seen from the far end of a simulated cable.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "AwuserTestUtil.h"
#include "messages/AdErrorCodes.h"

namespace kestrel {
namespace {

using namespace std::chrono_literals;
using test::WaitUntil;

// Passes every call to a simulated port and counts the settings applied.
class TCountingDevice final : public TApdSerialDevice {
 public:
  TCountingDevice(std::unique_ptr<TApdSerialDevice> inner, std::atomic<int>& setStates)
      : inner_(std::move(inner)), setStates_(setStates) {}
  std::string Path() const override { return inner_->Path(); }
  int Open() override { return inner_->Open(); }
  void Close() override { inner_->Close(); }
  bool IsOpen() const override { return inner_->IsOpen(); }
  int SetQueueSizes(int in, int out) override { return inner_->SetQueueSizes(in, out); }
  int ReceiveQueueSize() const override { return inner_->ReceiveQueueSize(); }
  int GetState(TDeviceSettings& s) override { return inner_->GetState(s); }
  int SetState(const TDeviceSettings& s) override {
    ++setStates_;
    return inner_->SetState(s);
  }
  int Read(uint8_t* b, int n) override { return inner_->Read(b, n); }
  int Write(const uint8_t* d, int n) override { return inner_->Write(d, n); }
  int WaitWritable(int fd) override { return inner_->WaitWritable(fd); }
  int WaitEvent(uint32_t m, uint32_t& h) override { return inner_->WaitEvent(m, h); }
  uint32_t GetError(TDeviceStatus& s) override { return inner_->GetError(s); }
  int GetModemLines(uint8_t& l) override { return inner_->GetModemLines(l); }
  int Escape(int f) override { return inner_->Escape(f); }
  int Purge(uint32_t f) override { return inner_->Purge(f); }

 private:
  std::unique_ptr<TApdSerialDevice> inner_;
  std::atomic<int>& setStates_;
};

struct Line : ::testing::Test {
  std::shared_ptr<TApdSimFarEnd> far;
  std::unique_ptr<TApdPosixDispatcher> port;
  std::atomic<int> setStates{0};

  void SetUp() override {
    auto pair = CreateSimDevice();
    far = pair.far;
    port = std::make_unique<TApdPosixDispatcher>(nullptr);
    port->SetDevice(std::make_unique<TCountingDevice>(std::move(pair.port), setStates));
    ASSERT_EQ(port->InitPort("sim:", 115200, NOPARITY, 8, 1, 4096, 4096, ipAssertDTR | ipAssertRTS),
              0);
  }
};

TEST_F(Line, SetLineNormalisesItsArguments) {
  struct Case {
    int32_t baud;
    uint8_t parity, dataBits, stopBits;
    uint32_t wantBaud;
    uint8_t wantParity, wantBits, wantStop;
  };
  const Case cases[] = {
      {9600, EVENPARITY, 7, 2, 9600, EVENPARITY, 7, TWOSTOPBITS},
      {0, 5, 9, 3, 9600, EVENPARITY, 7, TWOSTOPBITS},             // keep everything
      {0, ODDPARITY, 9, 0, 9600, ODDPARITY, 7, ONESTOPBIT},       // 0 stop bits: one
      {0, 5, 8, 7, 9600, ODDPARITY, 8, TWOSTOPBITS},              // above 3: two
      {19200, NOPARITY, 5, 1, 19200, NOPARITY, 5, ONE5STOPBITS},  // 5 bits: one and a half
      {0, 5, 5, 2, 19200, NOPARITY, 5, ONE5STOPBITS},
      {38400, NOPARITY, 8, 1, 38400, NOPARITY, 8, ONESTOPBIT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.baud << " " << int(c.parity) << " " << int(c.dataBits)
                                    << " " << int(c.stopBits));
    EXPECT_EQ(port->SetLine(c.baud, c.parity, c.dataBits, c.stopBits), 0);
    TDeviceSettings s = far->PortSettings();
    EXPECT_EQ(s.BaudRate, c.wantBaud);
    EXPECT_EQ(s.Parity, c.wantParity);
    EXPECT_EQ(s.ByteSize, c.wantBits);
    EXPECT_EQ(s.StopBits, c.wantStop);
  }
}

TEST_F(Line, SetLineWithTheValuesInForceTouchesNothing) {
  const int before = setStates;
  EXPECT_EQ(port->SetLine(115200, NOPARITY, 8, 1), 0);
  EXPECT_EQ(port->SetLine(0, 5, 9, 3), 0);
  EXPECT_EQ(setStates, before);
  EXPECT_EQ(port->SetLine(57600, NOPARITY, 8, 1), 0);
  EXPECT_EQ(setStates, before + 1);
}

TEST_F(Line, SetLineWaitsForQueuedOutputBeforeReprogramming) {
  ASSERT_EQ(port->HWFlowOptions(3000, 400, hfRequireCTS), 0);
  far->SetCts(false);
  ASSERT_EQ(port->PutString(std::string(200, 'q')), 0);
  ASSERT_TRUE(WaitUntil([&] { return far->PortTxQueued() == kSimTxFifo; }));
  // Ring and transmitter; for a moment after a device write the output
  // thread has not yet moved its send index, so bytes may count twice.
  ASSERT_TRUE(WaitUntil([&] { return port->OutBuffUsed() == 200; }));
  const int before = setStates;

  std::atomic<bool> done{false};
  std::thread changer([&] {
    EXPECT_EQ(port->SetLine(9600, NOPARITY, 8, 1), 0);
    done = true;
  });
  std::this_thread::sleep_for(200ms);
  EXPECT_FALSE(done);
  EXPECT_EQ(setStates, before);  // not while bytes wait in the ring
  far->SetCts(true);
  changer.join();
  EXPECT_EQ(port->OutBuffUsed(), 0);
  EXPECT_EQ(setStates, before + 1);
  EXPECT_EQ(far->PortSettings().BaudRate, 9600u);
  EXPECT_EQ(far->ReadExactly(200, 10s).size(), 200u);
}

TEST_F(Line, FlowControlLevelsAreChecked) {
  const int before = setStates;
  EXPECT_EQ(port->HWFlowOptions(5000, 409, hfUseRTS | hfRequireCTS), ecBadArgument);
  EXPECT_EQ(port->HWFlowOptions(300, 400, hfUseRTS), ecBadArgument);
  EXPECT_EQ(port->SWFlowEnable(5000, 409, sfReceiveFlow), ecBadArgument);
  EXPECT_EQ(port->SWFlowEnable(100, 409, sfReceiveFlow), ecBadArgument);
  EXPECT_EQ(setStates, before);  // the device was left alone
  EXPECT_EQ(port->HWFlowState(), fsOff);

  // The loader's values.
  ASSERT_EQ(port->HWFlowOptions(2000, 409, hfUseRTS | hfRequireCTS), 0);
  TDeviceSettings s = far->PortSettings();
  EXPECT_EQ(s.Flags & dcb_RtsMask, dcb_RtsHandshake);
  EXPECT_TRUE(s.Flags & dcb_OutxCtsFlow);
  EXPECT_FALSE(s.Flags & dcb_OutxDsrFlow);
  EXPECT_EQ(s.Flags & dcb_DtrMask, dcb_DtrEnable);
  EXPECT_EQ(s.XoffLim, 2096);
  EXPECT_EQ(s.XonLim, 409);
  EXPECT_EQ(port->HWFlowState(), fsOn);
  far->SetCts(false);
  EXPECT_EQ(port->HWFlowState(), fsCtsHold);
  far->SetCts(true);

  EXPECT_EQ(port->SWFlowState(), fsOff);
  ASSERT_EQ(port->SWFlowEnable(3072, 1024, sfReceiveFlow | sfTransmitFlow), 0);
  s = far->PortSettings();
  EXPECT_TRUE(s.Flags & dcb_InX);
  EXPECT_TRUE(s.Flags & dcb_OutX);
  EXPECT_EQ(s.XonChar, 17);
  EXPECT_EQ(s.XoffChar, 19);
  EXPECT_EQ(port->SWFlowState(), fsOn);
  ASSERT_EQ(port->SWFlowChars(1, 2), 0);
  EXPECT_EQ(far->PortSettings().XonChar, 1);
  EXPECT_EQ(far->PortSettings().XoffChar, 2);
  ASSERT_EQ(port->SWFlowDisable(), 0);
  EXPECT_EQ(port->SWFlowState(), fsOff);
}

TEST_F(Line, DtrAndRtsUnderHandshakeAreLeftToTheDriver) {
  EXPECT_TRUE(far->PortDtr());
  EXPECT_TRUE(far->PortRts());
  EXPECT_EQ(port->SetDtr(false), 0);
  EXPECT_FALSE(far->PortDtr());
  EXPECT_EQ(port->SetDtr(true), 0);
  EXPECT_TRUE(far->PortDtr());

  ASSERT_EQ(port->HWFlowOptions(3000, 400, hfUseDTR | hfUseRTS), 0);
  EXPECT_EQ(port->SetDtr(false), 1);
  EXPECT_EQ(port->SetRts(false), 1);
  EXPECT_TRUE(far->PortDtr());
  EXPECT_TRUE(far->PortRts());
  EXPECT_EQ(far->PortSettings().Flags & dcb_DtrMask, dcb_DtrHandshake);

  // Off handshake again, the stored levels come back.
  ASSERT_EQ(port->HWFlowOptions(3000, 400, 0), 0);
  EXPECT_EQ(port->SetRts(false), 0);
  EXPECT_FALSE(far->PortRts());
}

TEST_F(Line, ModemChangeBitsAreClearedOnlyByTheirOwnQueries) {
  EXPECT_TRUE(port->CheckCTS());
  EXPECT_EQ(port->GetModemStatus() & 0x0F, 0);
  far->SetCts(false);
  far->SetDsr(false);
  EXPECT_FALSE(port->CheckCTS());  // reads the change, clears DCTS only
  EXPECT_FALSE(port->CheckCTS());
  EXPECT_FALSE(port->CheckDeltaCTS());
  EXPECT_TRUE(port->CheckDeltaDSR());
  EXPECT_FALSE(port->CheckDeltaDSR());

  far->SetDcd(false);
  far->SetCts(true);
  uint8_t status = port->GetModemStatus();
  EXPECT_EQ(status & 0xF0, ms_CtsOn);
  EXPECT_EQ(status & 0x0F, msDeltaCTS | msDeltaDCD);
  EXPECT_EQ(port->GetModemStatus() & 0x0F, 0);  // the full query clears them all

  far->SetRing(true);
  ASSERT_TRUE(WaitUntil([&] { return port->CheckDeltaRI(); }));
  EXPECT_TRUE(port->CheckRI());
}

TEST_F(Line, LineErrorsAreReportedByPrecedenceAndBreakSeparately) {
  far->InjectErrors(ce_Frame | ce_RxParity);
  EXPECT_EQ(port->GetLineError(), leParity);
  EXPECT_EQ(port->GetLineError(), leNoError);

  far->InjectErrors(ce_Overrun);
  far->SendBreak();
  EXPECT_EQ(port->GetLineError(), leOverrun);
  EXPECT_EQ(port->GetLineError(), leBreak);  // the break stays until read
  EXPECT_TRUE(port->CheckLineBreak());
  EXPECT_FALSE(port->CheckLineBreak());
  EXPECT_EQ(port->GetLineError(), leNoError);
}

TEST_F(Line, BreaksAreSeenByTheFarEnd) {
  port->SetBreak(true);
  EXPECT_TRUE(far->PortBreak());
  port->SetBreak(false);
  EXPECT_FALSE(far->PortBreak());

  std::atomic<bool> done{false};
  std::thread sender([&] {
    port->SendBreak(4, false);
    done = true;
  });
  ASSERT_TRUE(WaitUntil([&] { return far->PortBreak() || done; }));
  sender.join();
  EXPECT_FALSE(far->PortBreak());
}

TEST_F(Line, Rs485RaisesRtsForOutputAndDropsItWhenSent) {
  ASSERT_EQ(port->HWFlowOptions(3000, 400, hfRequireCTS), 0);
  ASSERT_EQ(port->SetRts(false), 0);
  ASSERT_EQ(port->SetRS485Mode(true), 0);
  far->SetCts(false);
  ASSERT_EQ(port->PutString("to the bus"), 0);
  EXPECT_TRUE(far->PortRts());
  far->SetCts(true);
  auto got = far->ReadExactly(10, 10s);
  EXPECT_EQ(std::string(got.begin(), got.end()), "to the bus");
  EXPECT_TRUE(WaitUntil([&] { return !far->PortRts(); }));
}

TEST_F(Line, ThreadBoostNeverFails) {
  EXPECT_EQ(port->SetThreadBoost(2), 0);
  EXPECT_EQ(port->SetThreadBoost(0), 0);
  EXPECT_EQ(port->ActiveThreadCount(), 3);
}

}  // namespace
}  // namespace kestrel
