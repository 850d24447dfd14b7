// Unattended runs through a real serial device server (ser2net on the
// loopback) by rfc2217:// and tcp://: whole images arrive byte for byte,
// including the bytes Telnet escapes, also at a unit that writes flash
// slowly; a server that dies mid-upload, a refused connection and a name
// that does not resolve each end the run naming host and port.

#include <gtest/gtest.h>
#include <termios.h>

#include "E2eSupport.h"
#include "PtyPair.h"
#include "Ser2netServer.h"
#include "messages/AdErrorCodes.h"
#include "serialdevice/AwPortPath.h"

namespace kestrel::e2e {
namespace {

constexpr const char* kTwoFiles =
    "_TC \"LOADR^M\"\n_LP 1\n_LF a.bin\n_LA 8000\n_LV 1\n_LD\n"
    "_LF b.bin\n_LA 20000\n_LV 2\n_LD\n";

// An image full of what Telnet treats specially: IAC (0xFF), IAC IAC, CR NUL.
std::string TelnetHostile(size_t size) {
  std::string image = Pattern(size, 31);
  for (size_t i = 0; i + 6 < image.size(); i += 97) image.replace(i, 6, "\xFF\r\0\xFF\xFF\r", 6);
  image[image.size() - 1] = '\xFF';
  return image;
}

TEST(NetworkRun, TwoFilesThroughEachSchemeArriveWholeAlsoAtASlowFlashingUnit) {
  for (const char* flashMs : {"--flash-ms=2", "--flash-ms=300"}) {
    TSer2net server(std::vector<std::string>{flashMs});
    ASSERT_FALSE(server.Pty.empty());
    for (const std::string& device : {server.Rfc2217(), server.Tcp()}) {
      SCOPED_TRACE(device + " " + flashMs);
      const std::string a = TelnetHostile(9000), b = Pattern(4321, 32);
      TBatchRun run(kTwoFiles, device);
      WriteFile(run.Folder / "a.bin", a);
      WriteFile(run.Folder / "b.bin", b);
      EXPECT_EQ(run.Run(), 0) << run.Err();
      EXPECT_EQ(server.Image("8000"), a);
      EXPECT_EQ(server.Image("20000"), b);
      // ser2net cannot set DTR on a pseudo-terminal and does not confirm it;
      // the run carries on and says so. Raw TCP asks nothing.
      EXPECT_EQ(run.Said("COM 1: " + device + " did not confirm SET-MODEMSTATE-MASK"),
                device.rfind("rfc2217", 0) == 0)
          << run.Err();
    }
  }
}

TEST(NetworkRun, AServerKilledMidUploadEndsTheRunNamingHostAndPort) {
  for (bool rfc : {true, false}) {
    TSer2net server(std::vector<std::string>{"--flash-ms=400"});
    const std::string device = rfc ? server.Rfc2217() : server.Tcp();
    SCOPED_TRACE(device);
    TBatchRun run(kTwoFiles, device, {"--record", "runs.jsonl"});
    WriteFile(run.Folder / "a.bin", Pattern(30000, 33));
    WriteFile(run.Folder / "b.bin", Pattern(100, 34));
    run.Start();
    ASSERT_TRUE(run.AwaitSaid("/a.bin: 4000 of "));
    const auto killed = std::chrono::steady_clock::now();
    server.Kill();
    EXPECT_EQ(run.Finish(), 1) << run.Err();
    // The system's own limits, with room: keep-alive and the stall waits.
    EXPECT_LT(std::chrono::steady_clock::now() - killed, std::chrono::seconds(30));
    // Closed or reset, as the kernel ends a killed server's connections.
    EXPECT_TRUE(run.Said("message: Error! Device " + device + " was lost (connection "))
        << run.Err();
    EXPECT_FALSE(run.Said("unplugged")) << run.Err();
    const std::string record = ReadFile(run.Folder / "runs.jsonl");
    EXPECT_NE(record.find("\"failed\""), std::string::npos) << record;
    EXPECT_NE(record.find(device), std::string::npos) << record;
  }
}

TEST(NetworkRun, ARefusedConnectionAnUnknownNameASilentHostAndAHangUpSayWhyWithHostAndPort) {
  const int closed = FreeLoopbackPort();
  const std::string refused = "rfc2217://127.0.0.1:" + std::to_string(closed);
  const std::string unknown = "tcp://no-such-host.invalid:2217";
  TSilentHost silentHost;
  const std::string silent = "rfc2217://127.0.0.1:" + std::to_string(silentHost.Port);
  THangingUpHost hangingUpHost;
  const std::string hangingUp = "rfc2217://127.0.0.1:" + std::to_string(hangingUpHost.Port);
  for (const auto& [device, why] :
       {std::pair{refused, std::string("connection refused")}, std::pair{unknown, std::string("")},
        std::pair{silent, std::string("no answer within 5 seconds")},
        std::pair{hangingUp, std::string("connection closed by the server before")}}) {
    SCOPED_TRACE(device);
    TBatchRun run(kTwoFiles, device);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(run.Run(), 2) << run.Err();
    // The connect's own limit, with room.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
    EXPECT_TRUE(run.Said("COM 1: " + device + ": " + why)) << run.Err();
    // The resolver's own words, not a device text.
    EXPECT_FALSE(run.Said("COM 1: " + device + ": no such device")) << run.Err();
  }
}

// The rate the loader asks for reaches the server's serial device.
TEST(NetworkRun, ABaudRateChangeReachesTheServersLine) {
  test::PtyPair line;
  ASSERT_TRUE(line.ok());
  TSer2net server(TSer2net::TDevice{line.slavePath()});
  auto device = TPortMap().CreateSerialDevice(server.Rfc2217());
  ASSERT_EQ(device->Open(), ecOK) << device->LastOpenFailureReason();
  for (uint32_t baud : {57600u, 9600u}) {
    TDeviceSettings settings;
    settings.BaudRate = baud;
    ASSERT_EQ(device->SetState(settings), ecOK);
    struct termios tio {};
    // The master reads the terminal settings of its slave, which ser2net set.
    ASSERT_EQ(::tcgetattr(line.master(), &tio), 0);
    EXPECT_EQ(::cfgetospeed(&tio), baud == 57600 ? B57600 : B9600);
  }
  device->Close();
}

}  // namespace
}  // namespace kestrel::e2e
