// Bytes stay in order when other threads act during deliveries: output
// flushed from a handler on the dispatch thread, and input read by a thread
// that suspends delivery while a handler reads the same offer.

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <random>
#include <set>
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

// ---------------------------------------------------------------------------
// Flushing output from a handler

// A numbered stream: byte n carries n / 1024, so a forward gap (a flush drops
// at most the ring and the device queue) moves the value on by a little,
// while an older byte sent again or one never queued moves it back.
uint8_t StreamByte(size_t n) {
  return static_cast<uint8_t>(n >> 10);
}
// 200 KiB: dozens of flushes in a row while the output thread gets no CPU.
constexpr int kLargestForwardStep = 200;

// The first place where `got` is not the stream with forward gaps only, or -1.
long FirstBackwardStep(const std::vector<uint8_t>& got) {
  uint8_t last = 0;
  for (size_t i = 0; i < got.size(); ++i) {
    if (static_cast<uint8_t>(got[i] - last) > kLargestForwardStep) return static_cast<long>(i);
    last = got[i];
  }
  return -1;
}

// Queues `total` stream bytes, and on until the handler has flushed often
// enough, while a handler on the dispatch thread, woken by bytes the far end
// keeps sending, flushes the output again and again.
// `farRead` takes what reached the far end (up to n bytes, 0 when nothing
// came for a while); `farTick` sends the far end's next byte.
void FlushFromAHandlerWhileSending(TApdBaseDispatcher& port, size_t total,
                                   const std::function<int(uint8_t*, int)>& farRead,
                                   const std::function<void()>& farTick) {
  std::atomic<int> flushes{0};
  int avails = 0;  // dispatch thread only
  int owner = 0;
  port.RegisterEventTriggerHandler(&owner, [&](uint32_t msg, uint32_t w, uint32_t) {
    if (msg != apw_TriggerAvail) return;
    std::vector<uint8_t> sink(w);
    port.GetBlock(sink.data(), static_cast<int>(w));
    if (++avails % 4 == 0) {
      port.FlushOutBuffer();
      ++flushes;
    }
  });
  ASSERT_EQ(port.ChangeLengthTrigger(1), 0);

  constexpr int kFlushes = 20;
  std::atomic<bool> queued{false};
  std::atomic<size_t> queuedBytes{0};
  std::thread writer([&] {
    std::mt19937 rng(7);
    std::vector<uint8_t> block(4096);
    // A fast device takes the bytes in fewer flushes than a slow one.
    for (size_t n = 0; n < total || (flushes <= kFlushes && n < 16 * total); queuedBytes = n) {
      const size_t k = 256 + rng() % 3840;
      for (size_t i = 0; i < k; ++i) block[i] = StreamByte(n + i);
      const int rc = port.PutBlock(block.data(), static_cast<int>(k));
      if (rc == 0)
        n += k;
      else if (rc == ecOutputBufferTooSmall)
        std::this_thread::sleep_for(100us);
      else
        break;
    }
    queued = true;
  });
  std::thread ticker([&] {
    while (!queued) {
      farTick();
      std::this_thread::sleep_for(300us);
    }
  });
  std::vector<uint8_t> got;
  uint8_t buf[4096];
  for (;;) {
    const int k = farRead(buf, sizeof buf);
    if (k > 0) {
      got.insert(got.end(), buf, buf + k);
    } else if (queued && port.OutBuffUsed() == 0) {
      break;
    }
  }
  writer.join();
  ticker.join();
  port.DeregisterEventTriggerHandler(&owner);

  EXPECT_GT(flushes.load(), kFlushes);
  EXPECT_LE(got.size(), queuedBytes.load()) << "bytes that were never queued reached the far end";
  EXPECT_EQ(FirstBackwardStep(got), -1) << "of " << got.size() << " bytes received";
  EXPECT_GT(got.size(), queuedBytes.load() / 8);
}

TEST(FlushFromAHandler, SimFarEndSeesTheStreamWithForwardGapsOnly) {
  TSimPort sim;
  ASSERT_EQ(sim.open, 0);
  FlushFromAHandlerWhileSending(
      *sim.port, 3 << 20,
      [&](uint8_t* b, int n) { return std::max(sim.far->ReadFor(b, n, 200ms), 0); },
      [&] { sim.far->Send(reinterpret_cast<const uint8_t*>("t"), 1); });
}

TEST(FlushFromAHandler, PseudoTerminalFarEndSeesTheStreamWithForwardGapsOnly) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  TApdPosixDispatcher port(nullptr);
  ASSERT_EQ(port.InitPort(pty.slavePath(), 115200, NOPARITY, 8, 1, 4096, 4096, 0), 0);
  FlushFromAHandlerWhileSending(
      port, 3 << 20,
      [&](uint8_t* b, int n) {
        struct pollfd p = {pty.master(), POLLIN, 0};
        if (::poll(&p, 1, 200) <= 0) return 0;
        return static_cast<int>(std::max<ssize_t>(::read(pty.master(), b, n), 0));
      },
      [&] { [[maybe_unused]] const ssize_t sent = ::write(pty.master(), "t", 1); });
}

// Two flushes at once: each must get its own answer from the output thread
// rather than sit out the five seconds it is waited for at most.
TEST(FlushFromAHandler, FlushesFromTwoThreadsAtOnceNeverWaitOutTheLimit) {
  TSimPort sim;
  ASSERT_EQ(sim.open, 0);
  std::atomic<bool> stop{false};
  std::thread farReader([&] {
    uint8_t buf[4096];
    while (!stop) sim.far->ReadFor(buf, sizeof buf, 10ms);
  });
  std::atomic<int> slow{0};
  auto flusher = [&](uint32_t seed) {
    std::mt19937 rng(seed);
    const auto data = PatternBytes(3000, seed);
    for (int i = 0; i < 40; ++i) {
      sim.port->PutBlock(data.data(), 1 + static_cast<int>(rng() % 3000));
      const auto start = std::chrono::steady_clock::now();
      sim.port->FlushOutBuffer();
      if (std::chrono::steady_clock::now() - start > 4s) ++slow;
    }
  };
  std::thread a(flusher, 1), b(flusher, 2);
  a.join();
  b.join();
  stop = true;
  farReader.join();
  EXPECT_EQ(slow.load(), 0) << "flushes that waited out the output thread's answer";
}

// ---------------------------------------------------------------------------
// Reading from another thread during deliveries

// True when `a` and `b` interleave to exactly `stream`: every byte was read
// once, by one of the two readers, and each reader saw its bytes in order.
bool InterleaveToStream(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b,
                        const std::vector<uint8_t>& stream) {
  if (a.size() + b.size() != stream.size()) return false;
  std::set<size_t> taken{0};  // bytes of `a` used, for every reading still possible
  for (size_t n = 0; n < stream.size() && !taken.empty(); ++n) {
    std::set<size_t> next;
    for (size_t i : taken) {
      const size_t j = n - i;
      if (i < a.size() && a[i] == stream[n]) next.insert(i + 1);
      if (j < b.size() && b[j] == stream[n]) next.insert(i);
    }
    if (next.size() > 1000) return false;  // far too ambiguous to mean anything
    taken = std::move(next);
  }
  return taken.count(a.size()) == 1;
}

// A handler on the dispatch thread takes every byte offered (as a terminal
// does), a second takes none, and another thread suspends delivery again and
// again and reads with GetChar (as a wait for a prompt does).
TEST(ReaderDuringADelivery, EveryByteIsReadOnceAndInOrder) {
  TSimPort sim;
  ASSERT_EQ(sim.open, 0);
  auto& port = *sim.port;
  ASSERT_EQ(port.ChangeLengthTrigger(1), 0);
  const auto stream = PatternBytes(128 << 10, 31);

  std::mutex handlerMutex;
  std::vector<uint8_t> byHandler;
  std::atomic<size_t> handlerCount{0};
  int terminal = 0, idle = 0;
  port.RegisterEventTriggerHandler(&terminal, [&](uint32_t msg, uint32_t w, uint32_t) {
    if (msg != apw_TriggerAvail) return;
    // Slowly, a byte at a time, so that the other reader meets it mid-way.
    for (uint32_t i = 0; i < w; ++i) {
      const int c = port.GetChar();
      if (c < 0) break;
      {
        std::lock_guard<std::mutex> lock(handlerMutex);
        byHandler.push_back(static_cast<uint8_t>(c));
      }
      ++handlerCount;
      if (i % 64 == 63) std::this_thread::yield();
    }
  });
  port.RegisterEventTriggerHandler(
      &idle, [](uint32_t, uint32_t, uint32_t) { std::this_thread::sleep_for(100us); });

  std::atomic<bool> sent{false};
  std::thread sender([&] {
    std::mt19937 rng(32);
    for (size_t n = 0; n < stream.size();) {
      const int k = static_cast<int>(std::min<size_t>(stream.size() - n, 1 + rng() % 700));
      n += sim.far->SendFor(stream.data() + n, k, 10s);
      if (rng() % 4 == 0) std::this_thread::sleep_for(50us);
    }
    sent = true;
  });
  std::vector<uint8_t> byReader;
  std::mt19937 rng(33);
  // Until every byte has been read (or more), or nothing moved for a second.
  size_t seen = 0;
  auto lastChange = std::chrono::steady_clock::now();
  while (handlerCount + byReader.size() < stream.size() &&
         std::chrono::steady_clock::now() - lastChange < 1s) {
    bool was;
    port.SetEventBusy(was, true);
    for (int i = static_cast<int>(rng() % 40); i > 0; --i) {
      const int c = port.GetChar();
      if (c < 0) break;
      byReader.push_back(static_cast<uint8_t>(c));
    }
    port.SetEventBusy(was, false);
    std::this_thread::sleep_for(100us);  // room for deliveries to start
    if (handlerCount + byReader.size() != seen || !sent) {
      seen = handlerCount + byReader.size();
      lastChange = std::chrono::steady_clock::now();
    }
  }
  sender.join();
  port.DeregisterEventTriggerHandler(&terminal);
  port.DeregisterEventTriggerHandler(&idle);
  ASSERT_TRUE(WaitUntil([&] { return !port.EventBusy(); }));
  std::lock_guard<std::mutex> lock(handlerMutex);

  EXPECT_GT(byReader.size(), 0u);
  EXPECT_GT(byHandler.size(), 0u);
  EXPECT_TRUE(InterleaveToStream(byHandler, byReader, stream))
      << "handler " << byHandler.size() << " + reader " << byReader.size() << " bytes of "
      << stream.size();
}

}  // namespace
}  // namespace kestrel
