// The RFC 2217 device against a real ser2net serving a pseudo-terminal the
// test holds, driven from the threads the dispatcher uses: bytes Telnet
// escapes cross whole both ways while events are awaited, a rate the server
// cannot set fails, and a close from another thread ends blocked waits.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "PtyPair.h"
#include "Ser2netServer.h"
#include "messages/AdErrorCodes.h"
#include "serialdevice/AwPortPath.h"

namespace kestrel {
namespace {

std::vector<uint8_t> Hostile(size_t n) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = uint8_t(i * 7 + i / 251);
  for (size_t i = 0; i + 3 < n; i += 61) {
    bytes[i] = 0xFF;
    bytes[i + 1] = '\r';
    bytes[i + 2] = 0;
  }
  return bytes;
}

TEST(Rfc2217Device, CarriesEscapedBytesBothWaysWhileOtherThreadsWaitAndCloseEndsTheWaits) {
  test::PtyPair line;
  ASSERT_TRUE(line.ok());
  e2e::TSer2net server(e2e::TSer2net::TDevice{line.slavePath()});
  auto device = TPortMap().CreateSerialDevice(server.Rfc2217());
  ASSERT_TRUE(device->OpenMayWait());
  ASSERT_EQ(device->Open(), ecOK) << device->LastOpenFailureReason();
  TDeviceSettings settings;
  settings.BaudRate = 115200;
  ASSERT_EQ(device->SetState(settings), ecOK);

  // The device-wait thread, and the dispatch thread reading what it reports.
  std::atomic<bool> stop{false};
  std::vector<uint8_t> received;
  std::atomic<int> txEmpty{0};
  std::thread waiter([&] {
    while (!stop) {
      uint32_t happened = 0;
      if (device->WaitEvent(ev_RxChar | ev_TxEmpty | ev_Cts, happened) != kWaitReady) return;
      if (happened & ev_TxEmpty) ++txEmpty;
      uint8_t buffer[512];
      for (int n; (n = device->Read(buffer, sizeof buffer)) > 0;)
        received.insert(received.end(), buffer, buffer + n);
    }
  });

  // Out: the output thread's writes, waiting for room.
  const std::vector<uint8_t> out = Hostile(200000);
  std::thread writer([&] {
    for (size_t sent = 0; sent < out.size();) {
      const int n =
          device->Write(out.data() + sent, int(std::min<size_t>(out.size() - sent, 3000)));
      ASSERT_GE(n, 0);
      sent += size_t(n);
      if (n == 0) ASSERT_EQ(device->WaitWritable(-1), kWaitReady);
    }
  });
  const std::vector<uint8_t> atLine = line.ReadSome(out.size(), std::chrono::seconds(5));
  writer.join();
  EXPECT_TRUE(atLine == out) << atLine.size() << " of " << out.size();

  // In: what the unit's side sends, read on the dispatch side.
  const std::vector<uint8_t> in = Hostile(50000);
  ASSERT_TRUE(line.WriteAll(in.data(), in.size()));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    TDeviceStatus status;
    device->GetError(status);
    uint8_t levels = 0;
    device->GetModemLines(levels);
    // ser2net on a pseudo-terminal reports no modem lines: they read as looped back.
    EXPECT_EQ(levels & ms_CtsOn, ms_CtsOn);
    if (status.OutQue == 0 && txEmpty > 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_GT(txEmpty.load(), 0);

  // A close from another thread ends the blocked wait at once.
  std::thread closer([&] { device->Close(); });
  closer.join();
  waiter.join();
  stop = true;
  EXPECT_TRUE(received == in) << received.size() << " of " << in.size();
  EXPECT_EQ(device->WaitWritable(-1), kDeviceClosed);
}

}  // namespace
}  // namespace kestrel
