// Bytes through the dispatcher: both directions on the simulated cable and on
// a pseudo-terminal, the full dispatch buffer, the wrap, the output ring's
// limits, flushes, closing and destruction.

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "AwuserTestUtil.h"
#include "messages/AdErrorCodes.h"

namespace kestrel {
namespace {

using namespace std::chrono_literals;
using test::PassDispatchCycles;
using test::PatternBytes;
using test::PtyPair;
using test::TSimPort;
using test::WaitUntil;

// Queues `data` with PutBlock in random chunks, retrying while the ring is full.
void PutAll(TApdBaseDispatcher& port, const std::vector<uint8_t>& data, uint32_t seed) {
  std::mt19937 rng(seed);
  size_t sent = 0;
  while (sent < data.size()) {
    size_t chunk = std::min<size_t>(data.size() - sent, 1 + rng() % 3000);
    int rc = port.PutBlock(data.data() + sent, static_cast<int>(chunk));
    if (rc == 0)
      sent += chunk;
    else if (rc == ecOutputBufferTooSmall)
      std::this_thread::sleep_for(1ms);
    else
      FAIL() << "PutBlock " << rc;
  }
}

// Takes `n` bytes with GetBlock in random chunks.
std::vector<uint8_t> GetAll(TApdBaseDispatcher& port, size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> got(n);
  size_t have = 0;
  auto deadline = std::chrono::steady_clock::now() + 60s;
  while (have < n && std::chrono::steady_clock::now() < deadline) {
    int used = port.InBuffUsed();
    if (used == 0) {
      std::this_thread::sleep_for(1ms);
      continue;
    }
    int want =
        std::min<int>({used, static_cast<int>(n - have), 1 + static_cast<int>(rng() % 5000)});
    EXPECT_EQ(port.GetBlock(got.data() + have, want), want);
    have += want;
  }
  got.resize(have);
  return got;
}

TEST(AwuserData, SimCarriesMegabytesBothWaysAtOnce) {
  TSimPort sim;
  ASSERT_EQ(sim.open, 0);
  const auto out = PatternBytes(3 << 20, 1);
  const auto in = PatternBytes(3 << 20, 2);

  std::thread writer([&] { PutAll(*sim.port, out, 11); });
  std::thread farSender([&] {
    std::mt19937 rng(12);
    size_t sent = 0;
    while (sent < in.size()) {
      int chunk = static_cast<int>(std::min<size_t>(in.size() - sent, 1 + rng() % 7000));
      sent += sim.far->SendFor(in.data() + sent, chunk, 10s);
    }
  });
  std::vector<uint8_t> farGot;
  std::thread farReader([&] { farGot = sim.far->ReadExactly(out.size(), 60s); });
  auto got = GetAll(*sim.port, in.size(), 13);
  writer.join();
  farSender.join();
  farReader.join();

  EXPECT_TRUE(got == in) << "received " << got.size() << " of " << in.size();
  EXPECT_TRUE(farGot == out) << "sent " << farGot.size() << " of " << out.size();
}

TEST(AwuserData, PseudoTerminalCarriesMegabytesBothWaysAtOnce) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  TApdPosixDispatcher port(nullptr);
  ASSERT_EQ(port.InitPort(pty.slavePath(), 115200, NOPARITY, 8, 1, 4096, 4096, 0), 0);
  const auto out = PatternBytes(2 << 20, 3);
  const auto in = PatternBytes(2 << 20, 4);

  std::thread writer([&] { PutAll(port, out, 21); });
  std::thread masterWriter([&] {
    std::mt19937 rng(22);
    for (size_t sent = 0; sent < in.size();) {
      size_t chunk = std::min<size_t>(in.size() - sent, 1 + rng() % 4000);
      pty.WriteAll(in.data() + sent, chunk);
      sent += chunk;
    }
  });
  std::vector<uint8_t> masterGot;
  std::thread masterReader([&] {
    auto deadline = std::chrono::steady_clock::now() + 60s;
    while (masterGot.size() < out.size() && std::chrono::steady_clock::now() < deadline) {
      const auto chunk = pty.ReadSome(out.size() - masterGot.size(), 100ms);
      masterGot.insert(masterGot.end(), chunk.begin(), chunk.end());
    }
  });
  auto got = GetAll(port, in.size(), 23);
  writer.join();
  masterWriter.join();
  masterReader.join();

  EXPECT_TRUE(got == in) << "received " << got.size() << " of " << in.size();
  EXPECT_TRUE(masterGot == out) << "sent " << masterGot.size() << " of " << out.size();
}

TEST(AwuserData, FullBufferHoldsFurtherBytesBackInTheDriver) {
  TSimPort sim;
  ASSERT_EQ(sim.open, 0);
  const auto in = PatternBytes(8192 + 3000, 5);
  std::thread farSender([&] { sim.far->SendFor(in.data(), static_cast<int>(in.size()), 30s); });

  ASSERT_TRUE(WaitUntil([&] { return sim.port->InBuffUsed() == 8192; }));
  EXPECT_EQ(sim.port->InBuffFree(), 0);
  EXPECT_TRUE(sim.port->CharReady());
  // Several dispatch cycles later the buffer still holds exactly 8192.
  ASSERT_TRUE(PassDispatchCycles(*sim.port));
  EXPECT_EQ(sim.port->InBuffUsed(), 8192);

  std::vector<uint8_t> got(in.size());
  ASSERT_EQ(sim.port->GetBlock(got.data(), 5000), 5000);
  // The rest comes in from the driver once there is room.
  ASSERT_TRUE(WaitUntil([&] { return sim.port->InBuffUsed() == 8192 + 3000 - 5000; }));
  ASSERT_EQ(sim.port->GetBlock(got.data() + 5000, 6192), 6192);
  farSender.join();
  EXPECT_TRUE(got == in);
}

TEST(AwuserData, ReadsAcrossTheBufferEnd) {
  TSimPort sim;
  ASSERT_EQ(sim.open, 0);
  uint8_t none[1];
  EXPECT_EQ(sim.port->GetBlock(none, 0), 0);  // asking for nothing is no error
  EXPECT_EQ(sim.port->PeekBlock(none, 0), 0);
  auto first = PatternBytes(6000, 6);
  ASSERT_EQ(sim.far->SendFor(first.data(), 6000, 10s), 6000);
  ASSERT_TRUE(WaitUntil([&] { return sim.port->InBuffUsed() == 6000; }));
  std::vector<uint8_t> sink(6000);
  ASSERT_EQ(sim.port->GetBlock(sink.data(), 6000), 6000);
  EXPECT_TRUE(sink == first);

  // These 4000 bytes are stored across the end of the 8192-byte buffer.
  auto second = PatternBytes(4000, 7);
  ASSERT_EQ(sim.far->SendFor(second.data(), 4000, 10s), 4000);
  ASSERT_TRUE(WaitUntil([&] { return sim.port->InBuffUsed() == 4000; }));
  EXPECT_EQ(sim.port->PeekChar(2192), second[2191]);  // last byte before the end
  EXPECT_EQ(sim.port->PeekChar(2193), second[2192]);  // first byte after it
  EXPECT_EQ(sim.port->PeekChar(4001), ecBufferIsEmpty);
  std::vector<uint8_t> peeked(4000), got(4000);
  ASSERT_EQ(sim.port->PeekBlock(peeked.data(), 4000), 4000);
  EXPECT_EQ(sim.port->GetBlock(got.data(), 4001), ecBufferIsEmpty);
  EXPECT_EQ(sim.port->InBuffUsed(), 4000);
  ASSERT_EQ(sim.port->GetBlock(got.data(), 4000), 4000);
  EXPECT_TRUE(peeked == second);
  EXPECT_TRUE(got == second);
  EXPECT_EQ(sim.port->GetChar(), ecBufferIsEmpty);
}

// With CTS low and CTS flow control on, the output thread holds the ring.
struct HeldOutput : ::testing::Test {
  TSimPort sim;
  const int fifo = int(kSimTxFifo);
  void SetUp() override {
    ASSERT_EQ(sim.open, 0);
    ASSERT_EQ(sim.port->HWFlowOptions(3000, 400, hfRequireCTS), 0);
    sim.far->SetCts(false);
    ASSERT_TRUE(WaitUntil([&] { return !sim.port->CheckCTS(); }));
    // The transmitter takes what fits in its FIFO while held; the rest waits
    // in the ring. Both count as output not yet sent.
    auto prime = PatternBytes(100, 8);
    ASSERT_EQ(sim.port->PutBlock(prime.data(), 100), 0);
    ASSERT_TRUE(WaitUntil(
        [&] { return sim.far->PortTxQueued() == kSimTxFifo && sim.port->OutBuffUsed() == 100; }));
  }
};

TEST_F(HeldOutput, PutBlockTakesExactlyTheRingsFreeSpaceAndRefusesOneMore) {
  EXPECT_EQ(sim.port->OutBuffFree(), 4096 - 100);
  const int room = 4096 - (100 - fifo);  // the ring's free space
  auto block = PatternBytes(room + 1, 9);
  EXPECT_EQ(sim.port->PutBlock(block.data(), room + 1), ecOutputBufferTooSmall);
  EXPECT_EQ(sim.port->OutBuffUsed(), 100);  // nothing queued
  EXPECT_EQ(sim.port->PutBlock(block.data(), room), 0);
  // The ring is full and the FIFO holds more: the counts stop at the size.
  EXPECT_EQ(sim.port->OutBuffFree(), 0);
  EXPECT_EQ(sim.port->OutBuffUsed(), 4096);
  EXPECT_EQ(sim.port->PutChar('x'), ecOutputBufferTooSmall);

  // Once CTS rises everything arrives, in order.
  sim.far->SetCts(true);
  auto prime = PatternBytes(100, 8);
  std::vector<uint8_t> expected(prime);
  expected.insert(expected.end(), block.begin(), block.begin() + room);
  EXPECT_TRUE(sim.far->ReadExactly(expected.size(), 20s) == expected);
  EXPECT_TRUE(WaitUntil([&] { return sim.port->OutBuffUsed() == 0; }));
}

TEST_F(HeldOutput, FlushOutBufferAbandonsTheHeldWriteAndEmptiesTheTransmitter) {
  EXPECT_EQ(sim.port->FlushOutBuffer(), 0);
  EXPECT_EQ(sim.far->PortTxQueued(), 0u);
  EXPECT_EQ(sim.port->OutBuffUsed(), 0);
  EXPECT_EQ(sim.port->OutBuffFree(), 4096);
  sim.far->SetCts(true);
  ASSERT_EQ(sim.port->PutString("AFTER"), 0);
  auto got = sim.far->ReadExactly(5, 20s);
  EXPECT_EQ(std::string(got.begin(), got.end()), "AFTER");
  // Output keeps its order: once a marker sent last has arrived, anything
  // the flush missed would have arrived before it.
  ASSERT_EQ(sim.port->PutString("."), 0);
  got = sim.far->ReadExactly(1, 20s);
  EXPECT_EQ(std::string(got.begin(), got.end()), ".");  // none of the flushed bytes followed
  EXPECT_EQ(sim.far->Available(), 0u);
}

// The loader's wait after each block: nothing counted as queued any more.
bool Drained(TApdBaseDispatcher& port) {
  for (int rounds = 0; rounds < 20000; ++rounds) {
    if (port.OutBuffUsed() == 0) return true;
    std::this_thread::sleep_for(1ms);
  }
  return false;
}

TEST(AwuserData, PacedOutputIsCountedUntilItHasCrossedTheWire) {
  TSimOptions paced;
  paced.pace = true;
  TSimPort sim(paced, 4096, ipAssertDTR | ipAssertRTS, 9600);
  ASSERT_EQ(sim.open, 0);
  const auto block = PatternBytes(200, 31);
  ASSERT_EQ(sim.port->PutBlock(block.data(), 200), 0);
  ASSERT_TRUE(Drained(*sim.port));
  EXPECT_EQ(sim.far->Available(), 200u) << "counted as sent before it had crossed";
  EXPECT_EQ(sim.port->FlushOutBuffer(), 0);
  EXPECT_TRUE(sim.far->ReadExactly(200, 10s) == block);
}

// A pseudo-terminal takes some KiB that its master has not read, and cannot
// say how many: what it has taken counts as sent, the rest of a larger block
// waits in the ring and stays counted. The loader's drain and flush after a
// block must lose nothing either way.
TEST(AwuserData, PseudoTerminalLosesNothingToTheDrainAndFlush) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  TApdPosixDispatcher port(nullptr);
  ASSERT_EQ(port.InitPort(pty.slavePath(), 115200, NOPARITY, 8, 1, 4096, 65535, 0), 0);
  auto readBack = [&](size_t n) { return pty.ReadSome(n, 500ms); };

  const auto large = PatternBytes(60000, 32);
  ASSERT_EQ(port.PutBlock(large.data(), static_cast<int>(large.size())), 0);
  for (int look = 0; look < 50; ++look) {
    ASSERT_GT(port.OutBuffUsed(), 0) << "nothing was read, yet all is counted as sent";
    std::this_thread::sleep_for(2ms);
  }
  EXPECT_TRUE(readBack(large.size()) == large);

  // More than the master's line buffer holds, less than the pty takes.
  const auto block = PatternBytes(6000, 33);
  ASSERT_EQ(port.PutBlock(block.data(), static_cast<int>(block.size())), 0);
  ASSERT_TRUE(Drained(port));
  ASSERT_TRUE(port.CheckCTS());
  EXPECT_EQ(port.FlushOutBuffer(), 0);
  const auto got = readBack(block.size());
  EXPECT_EQ(got.size(), block.size());
  EXPECT_TRUE(got == block);
}

TEST(AwuserData, TheArrivalHookRunsOnceTheBytesAreReadableAlsoWhileSuspended) {
  auto cable = CreateSimDevice();
  TApdPosixDispatcher port(nullptr);
  port.SetDevice(std::move(cable.port));
  std::atomic<int> calls{0}, readable{0};
  port.SetDataArrivalHook([&] {
    if (port.CharReady()) ++readable;
    ++calls;
  });
  ASSERT_EQ(port.InitPort("sim:", 115200, NOPARITY, 8, 1, 4096, 4096, 0), 0);
  bool was;
  port.SetEventBusy(was, true);
  ASSERT_EQ(cable.far->SendFor("abc", 10s), 3);
  ASSERT_TRUE(WaitUntil([&] { return port.InBuffUsed() == 3; }));
  EXPECT_GE(calls, 1);
  EXPECT_EQ(readable, calls);

  // Only arrivals call it: a cycle that moves nothing does not.
  char got[3];
  ASSERT_EQ(port.GetBlock(got, 3), 3);
  const int before = calls;
  ASSERT_TRUE(PassDispatchCycles(port));
  EXPECT_EQ(calls, before);
  ASSERT_EQ(cable.far->SendFor("d", 10s), 1);
  ASSERT_TRUE(WaitUntil([&] { return calls == before + 1; }));
  EXPECT_EQ(readable, calls);
}

TEST(AwuserData, TheOutputStatusHookRunsWhenTheRingEmptiesAndWhenCtsChanges) {
  auto cable = CreateSimDevice();
  TApdPosixDispatcher port(nullptr);
  port.SetDevice(std::move(cable.port));
  std::atomic<int> calls{0};
  port.SetOutputStatusHook([&] { ++calls; });
  ASSERT_EQ(port.InitPort("sim:", 115200, NOPARITY, 8, 1, 4096, 4096, 0), 0);
  ASSERT_EQ(port.PutString("hello"), 0);
  ASSERT_TRUE(WaitUntil([&] { return calls >= 1; }));
  EXPECT_EQ(cable.far->ReadExactly(5, 10s).size(), 5u);

  const int before = calls;
  cable.far->SetCts(false);
  ASSERT_TRUE(WaitUntil([&] { return calls > before; }));
  EXPECT_FALSE(port.CheckCTS());
  const int low = calls;
  cable.far->SetCts(true);
  ASSERT_TRUE(WaitUntil([&] { return calls > low; }));
  EXPECT_TRUE(port.CheckCTS());
}

// The loader's drain wait after a block sleeps until this hook: it must come
// once the wire has carried the block's last byte, with nothing counted then.
TEST(AwuserData, TheOutputStatusHookRunsWhenTheLastByteHasCrossedTheWire) {
  TSimOptions paced;
  paced.pace = true;
  auto cable = CreateSimDevice(paced);
  TApdPosixDispatcher port(nullptr);
  port.SetDevice(std::move(cable.port));
  std::atomic<int> calls{0}, drainedCalls{0};
  std::atomic<size_t> crossedWhenDrained{0};
  port.SetOutputStatusHook([&] {
    ++calls;
    if (port.OutBuffUsed() != 0) return;
    crossedWhenDrained = cable.far->Available();
    ++drainedCalls;
  });
  ASSERT_EQ(port.InitPort("sim:", 115200, NOPARITY, 8, 1, 4096, 4096, 0), 0);
  for (uint32_t block = 1; block <= 2; ++block) {
    SCOPED_TRACE(block);
    drainedCalls = 0;
    const auto data = PatternBytes(1000, block);  // 87 ms on the wire
    ASSERT_EQ(port.PutBlock(data.data(), 1000), 0);
    ASSERT_TRUE(WaitUntil([&] { return drainedCalls > 0; })) << "the drain went unreported";
    EXPECT_EQ(crossedWhenDrained, 1000u);
    // Reported once, not again and again for a queue that stays empty.
    const int after = calls;
    ASSERT_TRUE(PassDispatchCycles(port));
    EXPECT_EQ(calls, after);
    EXPECT_TRUE(cable.far->ReadExactly(1000, 10s) == data);
  }
}

TEST(AwuserData, FlushInBufferDiscardsBufferAndDriverQueue) {
  TSimPort sim;
  ASSERT_EQ(sim.open, 0);
  ASSERT_EQ(sim.far->SendFor("discard me", 10s), 10);
  ASSERT_TRUE(WaitUntil([&] { return sim.port->InBuffUsed() == 10; }));
  EXPECT_EQ(sim.port->FlushInBuffer(), 0);
  EXPECT_EQ(sim.port->InBuffUsed(), 0);
  EXPECT_FALSE(sim.port->CharReady());
  ASSERT_EQ(sim.far->SendFor("kept", 10s), 4);
  ASSERT_TRUE(WaitUntil([&] { return sim.port->InBuffUsed() == 4; }));
  char got[4];
  ASSERT_EQ(sim.port->GetBlock(got, 4), 4);
  EXPECT_EQ(std::string(got, 4), "kept");
}

TEST(AwuserData, ClosingWhileTheDeviceWaitThreadWaitsEndsEveryThread) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  TApdPosixDispatcher ptyPort(nullptr);
  ASSERT_EQ(ptyPort.InitPort(pty.slavePath(), 9600, NOPARITY, 8, 1, 4096, 4096, 0), 0);
  TSimPort sim;
  ASSERT_EQ(sim.open, 0);

  for (TApdBaseDispatcher* port : {static_cast<TApdBaseDispatcher*>(&ptyPort),
                                   static_cast<TApdBaseDispatcher*>(sim.port.get())}) {
    EXPECT_EQ(port->ActiveThreadCount(), 3);
    EXPECT_TRUE(port->ThreadsActive());
    EXPECT_EQ(port->DonePort(), 0);
    EXPECT_EQ(port->ActiveThreadCount(), 0);
    EXPECT_FALSE(port->ThreadsActive());
    EXPECT_FALSE(port->PortOpen());
    // A closed port answers with neutral values and refuses writes.
    EXPECT_EQ(port->InBuffUsed(), 0);
    EXPECT_EQ(port->InBuffFree(), 8192);
    EXPECT_EQ(port->PutChar('x'), ecPutBlockFail);
  }
  EXPECT_FALSE(sim.far->PortOpen());
}

TEST(AwuserData, OpenFailuresLeaveNothingOpen) {
  TApdPosixDispatcher missing(nullptr);
  EXPECT_EQ(missing.InitPort("/dev/kestrel-no-such-port", 9600, NOPARITY, 8, 1, 4096, 4096, 0),
            ecFileNotFound);
  EXPECT_EQ(missing.ActiveThreadCount(), 0);

  // The cable's port is already open by another dispatcher.
  TSimPort sim;
  ASSERT_EQ(sim.open, 0);
  TApdPosixDispatcher second(nullptr);
  second.SetDevice(sim.far->MakePortDevice());
  EXPECT_LT(second.InitPort("sim:", 9600, NOPARITY, 8, 1, 4096, 4096, 0), 0);
  EXPECT_FALSE(second.PortOpen());
  EXPECT_EQ(second.ActiveThreadCount(), 0);
}

TEST(AwuserData, DestructionWhileDataFlowsWaitsForEveryThread) {
  for (int round = 0; round < 5; ++round) {
    auto sim = std::make_unique<TSimPort>();
    ASSERT_EQ(sim->open, 0);
    std::atomic<int> calls{0};
    int dummy = 0;
    sim->port->RegisterEventTriggerHandler(&dummy, [&](uint32_t, uint32_t, uint32_t) { ++calls; });
    sim->port->ChangeLengthTrigger(1);
    std::atomic<bool> stop{false};
    auto far = sim->far;
    std::thread farSender([&] {
      auto data = PatternBytes(1000, round);
      while (!stop) far->SendFor(data.data(), 1000, 5ms);
    });
    auto block = PatternBytes(2000, round + 100);
    sim->port->PutBlock(block.data(), 2000);
    ASSERT_TRUE(WaitUntil([&] { return calls > 0; }));
    sim.reset();  // threads running, handler being called, data both ways
    stop = true;
    farSender.join();
    EXPECT_FALSE(far->PortOpen());
  }
}

}  // namespace
}  // namespace kestrel
