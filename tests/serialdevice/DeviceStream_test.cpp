// Bulk traffic through both device kinds: MiBs each way at once, in random
// chunk sizes, through the device API exactly as the dispatcher's threads
// use it (one thread waits and reads, one writes).
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <thread>

#include "PtyPair.h"
#include "messages/AdErrorCodes.h"
#include "serialdevice/AwPosix.h"
#include "serialdevice/AwSim.h"

namespace kestrel {
namespace {

using namespace std::chrono_literals;

constexpr size_t kStreamBytes = 2 << 20;

std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

// The far side of one link, whatever it is.
struct Link {
  std::unique_ptr<TApdSerialDevice> port;
  std::function<bool(const uint8_t*, size_t)> farSend;     // sends a chunk whole
  std::function<std::vector<uint8_t>(size_t)> farReceive;  // up to n, or empty on silence
  std::shared_ptr<void> keep;                              // the far side's owner
};

Link PtyLink() {
  auto pty = std::make_shared<test::PtyPair>();
  Link link;
  link.port = std::make_unique<TApdPosixDevice>(pty->slavePath());
  link.farSend = [pty](const uint8_t* d, size_t n) { return pty->WriteAll(d, n); };
  link.farReceive = [pty](size_t n) { return pty->ReadSome(std::min<size_t>(n, 3000), 10000ms); };
  link.keep = pty;
  return link;
}

Link SimLink() {
  auto pair = CreateSimDevice();
  auto far = pair.far;
  Link link;
  link.port = std::move(pair.port);
  link.farSend = [far](const uint8_t* d, size_t n) {
    return far->SendFor(d, static_cast<int>(n), 10s) == static_cast<int>(n);
  };
  link.farReceive = [far](size_t n) {
    std::vector<uint8_t> buf(std::min<size_t>(n, 3000));
    const int got = far->ReadFor(buf.data(), static_cast<int>(buf.size()), 10s);
    buf.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return buf;
  };
  link.keep = far;
  return link;
}

class DeviceStreamTest : public ::testing::TestWithParam<Link (*)()> {};

TEST_P(DeviceStreamTest, MegabytesBothWaysAtOnceArriveIntactAndInOrder) {
  Link link = GetParam()();
  ASSERT_EQ(link.port->Open(), ecOK);
  TApdSerialDevice& port = *link.port;
  const auto toFar = RandomBytes(kStreamBytes, 1);
  const auto toPort = RandomBytes(kStreamBytes, 2);
  std::vector<uint8_t> gotFar, gotPort;
  gotFar.reserve(kStreamBytes);
  gotPort.reserve(kStreamBytes);

  std::thread portWriter([&] {
    std::mt19937 rng(3);
    size_t sent = 0;
    while (sent < toFar.size()) {
      const size_t chunk = std::min<size_t>(1 + rng() % 5000, toFar.size() - sent);
      const int put = port.Write(toFar.data() + sent, static_cast<int>(chunk));
      ASSERT_GE(put, 0);
      sent += static_cast<size_t>(put);
      if (put == 0) {
        ASSERT_EQ(port.WaitWritable(-1), kWaitReady);
      }
    }
  });
  std::thread portReader([&] {
    std::mt19937 rng(4);
    std::vector<uint8_t> buf(8192);
    while (gotPort.size() < toPort.size()) {
      const int got = port.Read(buf.data(), static_cast<int>(1 + rng() % buf.size()));
      if (got > 0) {
        gotPort.insert(gotPort.end(), buf.begin(), buf.begin() + got);
        continue;
      }
      uint32_t happened = 0;
      ASSERT_EQ(port.WaitEvent(ev_RxChar, happened), kWaitReady);
    }
  });
  std::thread farWriter([&] {
    std::mt19937 rng(5);
    size_t sent = 0;
    while (sent < toPort.size()) {
      const size_t chunk = std::min<size_t>(1 + rng() % 7000, toPort.size() - sent);
      ASSERT_TRUE(link.farSend(toPort.data() + sent, chunk));
      sent += chunk;
    }
  });
  while (gotFar.size() < toFar.size()) {
    const auto chunk = link.farReceive(toFar.size() - gotFar.size());
    if (chunk.empty()) break;
    gotFar.insert(gotFar.end(), chunk.begin(), chunk.end());
  }
  portWriter.join();
  farWriter.join();
  portReader.join();
  EXPECT_TRUE(gotFar == toFar) << gotFar.size() << " of " << toFar.size() << " bytes";
  EXPECT_TRUE(gotPort == toPort) << gotPort.size() << " of " << toPort.size() << " bytes";
}

INSTANTIATE_TEST_SUITE_P(Devices, DeviceStreamTest, ::testing::Values(&PtyLink, &SimLink),
                         [](const auto& info) { return info.index == 0 ? "Pty" : "Sim"; });

}  // namespace
}  // namespace kestrel
