// The in-memory null-modem device, driven from its far end.
#include "serialdevice/AwSim.h"

#include <gtest/gtest.h>
#include <sys/eventfd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <numeric>
#include <thread>

#include "messages/AdErrorCodes.h"
#include "serialdevice/AwFd.h"

namespace kestrel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::vector<uint8_t> Bytes(size_t n, uint8_t first = 0) {
  std::vector<uint8_t> v(n);
  std::iota(v.begin(), v.end(), first);
  return v;
}

std::vector<uint8_t> PortReadAll(TApdSerialDevice& port) {
  std::vector<uint8_t> out;
  uint8_t buf[512];
  for (int got; (got = port.Read(buf, sizeof buf)) > 0;) out.insert(out.end(), buf, buf + got);
  return out;
}

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(port->Open(), ecOK); }

  // Applies `change` to the port's current settings.
  template <class Change>
  void Configure(Change change) {
    TDeviceSettings s;
    ASSERT_EQ(port->GetState(s), ecOK);
    change(s);
    ASSERT_EQ(port->SetState(s), ecOK);
  }

  TSimPair pair = CreateSimDevice();
  std::unique_ptr<TApdSimDevice>& port = pair.port;
  std::shared_ptr<TApdSimFarEnd>& far = pair.far;
};

TEST_F(SimTest, CtsLowHoldsOutputAtTheFifoUntilCtsRises) {
  Configure([](TDeviceSettings& s) { s.Flags |= dcb_OutxCtsFlow; });
  far->SetCts(false);
  const auto data = Bytes(1000);
  EXPECT_EQ(port->Write(data.data(), 1000), static_cast<int>(kSimTxFifo));
  EXPECT_EQ(port->Write(data.data() + kSimTxFifo, 1000), 0);
  EXPECT_EQ(far->Available(), 0u);
  TDeviceStatus status;
  port->GetError(status);
  EXPECT_EQ(status.HoldFlags, hold_Cts);
  EXPECT_EQ(status.OutQue, kSimTxFifo);

  auto writable = std::async(std::launch::async, [&] { return port->WaitWritable(-1); });
  EXPECT_EQ(writable.wait_for(100ms), std::future_status::timeout);
  EXPECT_EQ(far->Available(), 0u);
  far->SetCts(true);
  EXPECT_EQ(writable.get(), kWaitReady);
  EXPECT_EQ(far->ReadExactly(16, 5s), std::vector<uint8_t>(data.begin(), data.begin() + 16));
  EXPECT_EQ(far->Available(), 0u);
  port->GetError(status);
  EXPECT_EQ(status.HoldFlags, 0u);
}

TEST_F(SimTest, CtsLowDoesNotHoldOutputWithoutCtsFlow) {
  far->SetCts(false);
  const auto data = Bytes(1000);
  EXPECT_EQ(port->Write(data.data(), 1000), 1000);
  EXPECT_EQ(far->ReadExactly(1000, 5s), data);
  TDeviceStatus status;
  port->GetError(status);
  EXPECT_EQ(status.HoldFlags, 0u);
}

TEST_F(SimTest, ModemChangesAreReportedOnceEach) {
  const uint32_t all = ev_Cts | ev_Dsr | ev_Rlsd | ev_Ring | ev_RingTe | ev_Break | ev_Err;
  uint32_t happened = 0;
  struct Step {
    void (TApdSimFarEnd::*set)(bool);
    bool on;
    uint32_t event;
    uint8_t levels;
  };
  const Step steps[] = {
      {&TApdSimFarEnd::SetCts, false, ev_Cts, ms_DsrOn | ms_RlsdOn},
      {&TApdSimFarEnd::SetDsr, false, ev_Dsr, ms_RlsdOn},
      {&TApdSimFarEnd::SetDcd, false, ev_Rlsd, 0},
      {&TApdSimFarEnd::SetRing, true, ev_Ring, ms_RingOn},
      {&TApdSimFarEnd::SetRing, false, ev_RingTe, 0},
      {&TApdSimFarEnd::SetCts, true, ev_Cts, ms_CtsOn},
  };
  for (const auto& step : steps) {
    ((*far).*step.set)(step.on);
    ((*far).*step.set)(step.on);  // the same level again is no change
    ASSERT_EQ(port->WaitEvent(all, happened), kWaitReady);
    EXPECT_EQ(happened, step.event);
    uint8_t levels = 0;
    EXPECT_EQ(port->GetModemLines(levels), ecOK);
    EXPECT_EQ(levels, step.levels);
  }
}

TEST_F(SimTest, LineErrorsAndBreaksAppearOnceAndGetErrorClearsThem) {
  far->InjectErrors(ce_Overrun | ce_Frame);
  uint32_t happened = 0;
  ASSERT_EQ(port->WaitEvent(ev_Err | ev_Break | ev_RxChar, happened), kWaitReady);
  EXPECT_EQ(happened, ev_Err);
  far->SendBreak();
  ASSERT_EQ(port->WaitEvent(ev_Err | ev_Break | ev_RxChar, happened), kWaitReady);
  EXPECT_EQ(happened, ev_Break);
  TDeviceStatus status;
  EXPECT_EQ(port->GetError(status), ce_Overrun | ce_Frame | ce_Break);
  EXPECT_EQ(port->GetError(status), 0u);
}

TEST_F(SimTest, PortLinesAndBreakReachTheFarEnd) {
  EXPECT_TRUE(far->PortOpen());
  EXPECT_TRUE(far->PortDtr());
  EXPECT_TRUE(far->PortRts());
  EXPECT_EQ(port->Escape(CLRDTR), ecOK);
  EXPECT_EQ(port->Escape(CLRRTS), ecOK);
  EXPECT_FALSE(far->PortDtr());
  EXPECT_FALSE(far->PortRts());

  // A break holds the transmitter; what was written goes out after it.
  EXPECT_EQ(port->Escape(SETBREAK), ecOK);
  EXPECT_TRUE(far->PortBreak());
  const uint8_t byte = 0x55;
  EXPECT_EQ(port->Write(&byte, 1), 1);
  EXPECT_EQ(far->Available(), 0u);
  EXPECT_EQ(port->Escape(CLRBREAK), ecOK);
  EXPECT_FALSE(far->PortBreak());
  EXPECT_EQ(far->ReadExactly(1, 5s), std::vector<uint8_t>{byte});

  EXPECT_EQ(port->Escape(12345), ecInvalidParameter);
  port->Close();
  EXPECT_FALSE(far->PortOpen());
  EXPECT_FALSE(far->PortDtr());
}

TEST_F(SimTest, PurgeDiscardsBothWays) {
  const auto data = Bytes(100);
  ASSERT_EQ(far->Send(data.data(), 100), 100);
  EXPECT_EQ(port->Purge(PURGE_RXABORT | PURGE_RXCLEAR), ecOK);
  uint8_t buf[200];
  EXPECT_EQ(port->Read(buf, sizeof buf), 0);
  // Bytes after the purge are news again.
  ASSERT_EQ(far->Send(data.data(), 3), 3);
  uint32_t happened = 0;
  ASSERT_EQ(port->WaitEvent(ev_RxChar, happened), kWaitReady);
  EXPECT_EQ(PortReadAll(*port), std::vector<uint8_t>(data.begin(), data.begin() + 3));

  Configure([](TDeviceSettings& s) { s.Flags |= dcb_OutxCtsFlow; });
  far->SetCts(false);
  ASSERT_EQ(port->Write(data.data(), 100), static_cast<int>(kSimTxFifo));
  EXPECT_EQ(port->Purge(PURGE_TXABORT | PURGE_TXCLEAR), ecOK);
  TDeviceStatus status;
  port->GetError(status);
  EXPECT_EQ(status.OutQue, 0u);
  far->SetCts(true);
  EXPECT_EQ(far->Available(), 0u);
}

TEST_F(SimTest, ReceivedByteEventsAreEdges) {
  const auto data = Bytes(10);
  ASSERT_EQ(far->Send(data.data(), 10), 10);
  uint32_t happened = 0;
  ASSERT_EQ(port->WaitEvent(ev_RxChar, happened), kWaitReady);
  // The bytes stay unread: the next wait must block until more arrive.
  auto next = std::async(std::launch::async, [&] {
    uint32_t h = 0;
    return port->WaitEvent(ev_RxChar, h) == kWaitReady ? h : 0u;
  });
  EXPECT_EQ(next.wait_for(100ms), std::future_status::timeout);
  ASSERT_EQ(far->Send(data.data(), 1), 1);
  EXPECT_EQ(next.get(), ev_RxChar);
  EXPECT_EQ(PortReadAll(*port).size(), 11u);
}

// A wait for transmit-empty gets it once per run of output, when the last
// byte has left the wire; an idle, held or purged transmitter never reports it.
TEST_F(SimTest, TransmitEmptyComesOnceWhenTheLastByteHasLeft) {
  Configure([](TDeviceSettings& s) {
    s.BaudRate = 115200;
    s.Flags |= dcb_OutxCtsFlow;
  });
  far->SetPacing(true);
  const uint32_t mask = ev_TxEmpty | ev_RxChar | ev_Cts;
  // A missing report would block the wait for good: closing ends it.
  auto waitEvent = [&] {
    auto event = std::async(std::launch::async, [&] {
      uint32_t h = 0;
      return port->WaitEvent(mask, h) == kWaitReady ? h : 0u;
    });
    if (event.wait_for(10s) == std::future_status::timeout) port->Close();
    return event.get();
  };
  const auto data = Bytes(300);  // 26 ms on the wire
  ASSERT_EQ(port->Write(data.data(), 300), 300);
  ASSERT_EQ(waitEvent(), ev_TxEmpty);
  EXPECT_EQ(far->PortTxQueued(), 0u);
  EXPECT_EQ(far->Available(), 300u);

  far->SetCts(false);
  ASSERT_EQ(waitEvent(), ev_Cts);
  ASSERT_EQ(port->Write(data.data(), 300), static_cast<int>(kSimTxFifo));
  ASSERT_EQ(port->Purge(PURGE_TXABORT | PURGE_TXCLEAR), ecOK);
  far->SetCts(true);
  EXPECT_EQ(waitEvent(), ev_Cts);

  ASSERT_EQ(far->SendFor("x", 5s), 1);
  EXPECT_EQ(waitEvent(), ev_RxChar);
}

TEST_F(SimTest, CloseEndsBlockedWaits) {
  Configure([](TDeviceSettings& s) { s.Flags |= dcb_OutxCtsFlow; });
  far->SetCts(false);
  const auto data = Bytes(100);
  ASSERT_EQ(port->Write(data.data(), 100), static_cast<int>(kSimTxFifo));
  auto event = std::async(std::launch::async, [&] {
    uint32_t h = 0;
    return port->WaitEvent(ev_RxChar, h);
  });
  auto writable = std::async(std::launch::async, [&] { return port->WaitWritable(-1); });
  EXPECT_EQ(event.wait_for(50ms), std::future_status::timeout);
  port->Close();
  EXPECT_EQ(event.get(), kDeviceClosed);
  EXPECT_EQ(writable.get(), kDeviceClosed);
  uint32_t h = 0;
  EXPECT_EQ(port->WaitEvent(ev_RxChar, h), kDeviceClosed);
}

TEST_F(SimTest, WaitWritableEndsOnTheCancelDescriptor) {
  Configure([](TDeviceSettings& s) { s.Flags |= dcb_OutxCtsFlow; });
  far->SetCts(false);
  const auto data = Bytes(100);
  ASSERT_EQ(port->Write(data.data(), 100), static_cast<int>(kSimTxFifo));
  TApdEventFd cancel;
  auto writable = std::async(std::launch::async, [&] { return port->WaitWritable(cancel.get()); });
  cancel.Signal();
  EXPECT_EQ(writable.get(), kWaitCancelled);
}

TEST_F(SimTest, OnlyOnePortObjectHasTheCableOpen) {
  auto second = far->MakePortDevice();
  EXPECT_EQ(second->Open(), ecAccessDenied);
  EXPECT_FALSE(second->IsOpen());
  port->Close();
  EXPECT_EQ(second->Open(), ecOK);
  EXPECT_FALSE(port->IsOpen());
}

TEST_F(SimTest, FarSendBeyondTheQueueIsHeldBackNotLost) {
  ASSERT_EQ(port->SetQueueSizes(256, 256), ecOK);
  EXPECT_EQ(port->ReceiveQueueSize(), 256);
  const auto data = Bytes(1000);
  const int taken = far->Send(data.data(), 1000);
  EXPECT_EQ(taken, 256 + 16);  // the queue plus the far end's FIFO
  TDeviceStatus status;
  port->GetError(status);
  EXPECT_EQ(status.InQue, 256u);

  // A blocking send finishes as the port reads; every byte arrives in order.
  auto rest = std::async(std::launch::async,
                         [&] { return far->SendFor(data.data() + taken, 1000 - taken, 10s); });
  std::vector<uint8_t> got;
  uint32_t happened = 0;
  while (got.size() < 1000) {
    auto chunk = PortReadAll(*port);
    got.insert(got.end(), chunk.begin(), chunk.end());
    if (got.size() < 1000) {
      ASSERT_EQ(port->WaitEvent(ev_RxChar, happened), kWaitReady);
    }
  }
  EXPECT_EQ(rest.get(), 1000 - taken);
  EXPECT_EQ(got, data);
  EXPECT_EQ(port->GetError(status), 0u);  // no overrun was reported
}

TEST_F(SimTest, RtsHandshakeStopsAndReleasesTheFarEnd) {
  // The loader's values: 4096-byte queue, stop above 2000, resume at 409.
  ASSERT_EQ(port->SetQueueSizes(4096, 4096), ecOK);
  Configure([](TDeviceSettings& s) {
    s.Flags = (s.Flags & ~dcb_RtsMask) | dcb_RtsHandshake | dcb_OutxCtsFlow;
    s.XoffLim = 4096 - 2000;
    s.XonLim = 409;
  });
  const auto data = Bytes(3000);
  ASSERT_EQ(far->Send(data.data(), 2000), 2000);
  EXPECT_TRUE(far->PortRts());
  ASSERT_EQ(far->Send(data.data(), 1), 1);
  EXPECT_FALSE(far->PortRts());

  uint8_t buf[4096];
  ASSERT_EQ(port->Read(buf, 2001 - 410), 2001 - 410);
  EXPECT_FALSE(far->PortRts());  // 410 still queued
  ASSERT_EQ(port->Read(buf, 1), 1);
  EXPECT_TRUE(far->PortRts());
  PortReadAll(*port);

  // A far end that obeys RTS stops sending right there.
  far->SetFollowPortRts(true);
  EXPECT_EQ(far->Send(data.data(), 3000), 2001 + 16);
  TDeviceStatus status;
  port->GetError(status);
  EXPECT_EQ(status.InQue, 2001u);
}

TEST_F(SimTest, XonXoffOnInputAndOutput) {
  ASSERT_EQ(port->SetQueueSizes(100, 100), ecOK);
  Configure([](TDeviceSettings& s) {
    s.Flags |= dcb_InX | dcb_OutX;
    s.XoffLim = 20;  // XOFF above 80 queued
    s.XonLim = 10;
  });
  const auto data = Bytes(81, 0x20);
  ASSERT_EQ(far->Send(data.data(), 81), 81);
  EXPECT_EQ(far->ReadExactly(1, 5s), std::vector<uint8_t>{0x13});
  uint8_t buf[100];
  ASSERT_EQ(port->Read(buf, 71), 71);
  EXPECT_EQ(far->ReadExactly(1, 5s), std::vector<uint8_t>{0x11});
  PortReadAll(*port);

  // XOFF from the far end holds the port's output; XON releases it. The
  // two characters are flow control, not data.
  const uint8_t xoff = 0x13, xon = 0x11, byte = 'A';
  ASSERT_EQ(far->Send(&xoff, 1), 1);
  ASSERT_EQ(port->Write(&byte, 1), 1);
  TDeviceStatus status;
  port->GetError(status);
  EXPECT_EQ(status.HoldFlags, hold_XoffReceived);
  EXPECT_EQ(far->Available(), 0u);
  ASSERT_EQ(far->Send(&xon, 1), 1);
  EXPECT_EQ(far->ReadExactly(1, 5s), std::vector<uint8_t>{byte});
  EXPECT_EQ(PortReadAll(*port).size(), 0u);
}

TEST_F(SimTest, PacingTakesAtLeastTheWireTime) {
  struct Case {
    uint32_t baud;
    uint8_t size, parity, stop;
    double bits;
  };
  for (const Case c :
       {Case{115200, 8, NOPARITY, ONESTOPBIT, 10}, Case{57600, 7, EVENPARITY, TWOSTOPBITS, 11},
        Case{38400, 5, NOPARITY, ONE5STOPBITS, 7.5}}) {
    SCOPED_TRACE(c.baud);
    Configure([&](TDeviceSettings& s) {
      s.BaudRate = c.baud;
      s.ByteSize = c.size;
      s.Parity = c.parity;
      s.StopBits = c.stop;
    });
    far->SetPacing(true);
    const size_t n = 600;
    const auto data = Bytes(n);
    const auto start = Clock::now();
    std::thread writer([&] {
      size_t sent = 0;
      while (sent < n) {
        const int put = port->Write(data.data() + sent, static_cast<int>(n - sent));
        ASSERT_GE(put, 0);
        sent += static_cast<size_t>(put);
        if (sent < n) {
          ASSERT_EQ(port->WaitWritable(-1), kWaitReady);
        }
      }
    });
    EXPECT_EQ(far->ReadExactly(n, 20s), data);
    const auto elapsed = Clock::now() - start;
    writer.join();
    EXPECT_GE(std::chrono::duration<double>(elapsed).count(), n * c.bits / c.baud);

    // The other way too.
    const auto back = Clock::now();
    ASSERT_EQ(far->SendFor(data.data(), static_cast<int>(n), 20s), static_cast<int>(n));
    std::vector<uint8_t> got;
    uint32_t happened;
    while (got.size() < n) {
      ASSERT_EQ(port->WaitEvent(ev_RxChar, happened), kWaitReady);
      auto chunk = PortReadAll(*port);
      got.insert(got.end(), chunk.begin(), chunk.end());
    }
    EXPECT_EQ(got, data);
    EXPECT_GE(std::chrono::duration<double>(Clock::now() - back).count(), n * c.bits / c.baud);
    far->SetPacing(false);
  }
}

TEST_F(SimTest, LineSettingsRoundTripAndBadOnesAreRefused) {
  TDeviceSettings s;
  ASSERT_EQ(port->GetState(s), ecOK);
  s.BaudRate = 250000;
  s.ByteSize = 5;
  s.Parity = MARKPARITY;
  s.StopBits = ONE5STOPBITS;
  ASSERT_EQ(port->SetState(s), ecOK);
  TDeviceSettings back;
  ASSERT_EQ(port->GetState(back), ecOK);
  EXPECT_EQ(back.BaudRate, 250000u);
  EXPECT_EQ(back.ByteSize, 5);
  EXPECT_EQ(back.Parity, MARKPARITY);
  EXPECT_EQ(back.StopBits, ONE5STOPBITS);
  EXPECT_EQ(far->PortSettings().BaudRate, 250000u);

  using Edit = void (*)(TDeviceSettings&);
  const Edit bad[] = {[](TDeviceSettings& t) { t.BaudRate = 0; },
                      [](TDeviceSettings& t) { t.ByteSize = 9; },
                      [](TDeviceSettings& t) { t.Parity = 5; },
                      [](TDeviceSettings& t) { t.ByteSize = 8, t.StopBits = ONE5STOPBITS; }};
  for (Edit edit : bad) {
    TDeviceSettings t = back;
    edit(t);
    EXPECT_EQ(port->SetState(t), ecInvalidParameter);
  }
}

TEST(SimFarEnd, PortOutlivesItsFarEnd) {
  auto [port, far] = CreateSimDevice();
  ASSERT_EQ(port->Open(), ecOK);
  far.reset();  // the unit is unplugged
  uint32_t happened = 0;
  ASSERT_EQ(port->WaitEvent(ev_Cts | ev_Dsr | ev_Rlsd, happened), kWaitReady);
  EXPECT_EQ(happened, ev_Cts | ev_Dsr | ev_Rlsd);
  uint8_t levels = 0xFF;
  EXPECT_EQ(port->GetModemLines(levels), ecOK);
  EXPECT_EQ(levels, 0);
  const auto data = Bytes(10000);
  EXPECT_EQ(port->Write(data.data(), 10000), 10000);  // into nothing, but never stuck
}

TEST(SimFarEnd, FarEndOutlivesItsPort) {
  auto [port, far] = CreateSimDevice();
  ASSERT_EQ(port->Open(), ecOK);
  const uint8_t byte = 7;
  ASSERT_EQ(port->Write(&byte, 1), 1);
  port.reset();
  EXPECT_FALSE(far->PortOpen());
  EXPECT_EQ(far->ReadExactly(1, 1s), std::vector<uint8_t>{byte});
  // Sending to a closed port goes nowhere and does not block.
  EXPECT_EQ(far->SendFor("hello", 1s), 5);
}

}  // namespace
}  // namespace kestrel
