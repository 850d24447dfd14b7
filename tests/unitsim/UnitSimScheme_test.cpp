// The simulated unit behind the "sim:" device, driven as the dispatcher
// drives a port: through the device interface only.

#include "unitsim/UnitSimScheme.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "UnitTestIo.h"
#include "serialdevice/AwPortPath.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;

// The device for `path` as a program that offers the simulated unit makes it.
std::unique_ptr<TApdSerialDevice> CreateSerialDevice(const std::string& path) {
  TPortMap ports;
  RegisterSimulatedUnitScheme(ports);
  return ports.CreateSerialDevice(path);
}

std::unique_ptr<TApdSerialDevice> OpenSim(const std::string& path, uint32_t extraFlags = 0) {
  std::unique_ptr<TApdSerialDevice> device = CreateSerialDevice(path);
  if (!device || device->Open() != 0) return nullptr;
  TDeviceSettings settings;
  device->GetState(settings);
  settings.BaudRate = 115200;
  settings.Flags |= extraFlags;
  device->SetState(settings);
  return device;
}

TEST(UnitSimScheme, UploadUnderCtsHandshake) {
  TScratch dir;
  const fs::path& tmp = dir.Path();
  auto device = OpenSim("sim:flash-ms=30;dir=" + (tmp / "flash").string(),
                        dcb_OutxCtsFlow | dcb_RtsHandshake);
  ASSERT_TRUE(device);

  WriteAll(*device, "\r");
  EXPECT_EQ(ReadUntil(*device, "#"), "\r\n#");
  WriteAll(*device, "LOADR\r");
  EXPECT_EQ(ReadUntil(*device, ">"), "LOADR\r\n>");

  std::string data(5000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i % 253);
  WriteAll(*device, UploadLineFor("0x1000", data));
  EXPECT_EQ(ReadUntil(*device, "AT 0x1000\r\n"),
            UploadLineFor("0x1000", data) + "\nLOADING 5000 BYTES AT 0x1000\r\n");
  // All at once: the cable holds the port back while CTS is low.
  ASSERT_EQ(WriteAll(*device, data), data.size());
  const std::string result = ReadUntil(*device, "\r\n>");
  EXPECT_EQ(result.rfind("UPLOAD OK 5000 BYTES", 0), 0u) << result;
  // CTS went down and up while the blocks were written.
  uint32_t happened = 0;
  EXPECT_EQ(device->WaitEvent(ev_Cts, happened), kWaitReady);
  EXPECT_TRUE(happened & ev_Cts);
  uint8_t lines = 0;
  device->GetModemLines(lines);
  EXPECT_TRUE(lines & ms_CtsOn);

  device->Close();
  EXPECT_EQ(ReadFile(tmp / "flash" / "0x1000.bin"), data);
  EXPECT_NE(ReadFile(tmp / "flash" / "uploads.jsonl").find("\"result\":\"ok\""), std::string::npos);
}

// A folder the unit cannot write is said at power-up, and each image it
// then cannot keep: a load that stores nothing is never silent.
TEST(UnitSimScheme, AFolderItCannotWriteIsSaid) {
  testing::internal::CaptureStderr();
  auto device = OpenSim("sim:flash-ms=1;dir=/proc/nonexist", dcb_OutxCtsFlow | dcb_RtsHandshake);
  ASSERT_TRUE(device);
  const std::string data(100, 'd');
  WriteAll(*device, "LOADR\r");
  ReadUntil(*device, ">");
  WriteAll(*device, UploadLineFor("0x1000", data));
  ReadUntil(*device, "AT 0x1000\r\n");
  WriteAll(*device, data);
  const std::string result = ReadUntil(*device, "\r\n>");
  EXPECT_EQ(result.rfind("UPLOAD OK", 0), 0u) << result;
  device->Close();
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("kestrel: the simulated unit: /proc/nonexist/uploads.jsonl: "),
            std::string::npos)
      << said;
  EXPECT_NE(said.find("/proc/nonexist/0x1000.bin: cannot write the image\n"), std::string::npos)
      << said;
}

TEST(UnitSimScheme, TheUnitKeepsItsStateAcrossCloseAndOpen) {
  auto device = OpenSim("sim:");
  ASSERT_TRUE(device);
  WriteAll(*device, "LOADR\r");
  EXPECT_EQ(ReadUntil(*device, ">"), "LOADR\r\n>");
  for (int round = 0; round < 3; ++round) {
    device->Close();
    EXPECT_FALSE(device->IsOpen());
    ASSERT_EQ(device->Open(), 0);
    WriteAll(*device, "\r");
    EXPECT_EQ(ReadUntil(*device, ">"), "\r\n>");
  }
}

TEST(UnitSimScheme, StopsCleanlyWhateverItIsDoing) {
  // Flooding a port nobody reads, flashing with input held, stuck: the
  // device still closes, or goes away without a close, at once.
  for (const char* path :
       {"sim:flood;baud=1000000", "sim:cts-stuck;flash-ms=100000", "sim:pace;flood"}) {
    SCOPED_TRACE(path);
    auto device = OpenSim(path);
    ASSERT_TRUE(device);
    WriteAll(*device, "LOADR\rLF 0 2000 0 1\r" + std::string(2000, '\0') + "\r\r\r");
    ReadUntil(*device, "LOADING");
    if (std::string(path).find("stuck") != std::string::npos) {
      device->Close();
    }
    device.reset();
  }
}

TEST(UnitSimScheme, UnplugAfterPullsThePortOutAndAnOpenPlugsItIn) {
  auto device = OpenSim("sim:unplug-after=8");
  ASSERT_TRUE(device);
  WriteAll(*device, "LOADR\r");
  EXPECT_EQ(ReadUntil(*device, ">"), "LOADR\r\n>");
  const auto* returns = reinterpret_cast<const uint8_t*>("\r\r\r\r");
  EXPECT_EQ(device->Write(returns, 4), 2);  // bytes 7 and 8, then it is gone
  EXPECT_LT(device->Write(returns, 1), 0);
  uint32_t happened = 0;
  EXPECT_EQ(device->WaitEvent(ev_RxChar, happened), kDeviceClosed);
  EXPECT_EQ(device->WaitWritable(-1), kDeviceClosed);
  device->Close();
  ASSERT_EQ(device->Open(), 0);
  WriteAll(*device, "\r");
  EXPECT_NE(ReadUntil(*device, ">").find('>'), std::string::npos);
}

TEST(UnitSimScheme, BadOptionsMakeNoDevice) {
  std::string error;
  EXPECT_EQ(CreateSimulatedUnitDevice("sim:flash-ms=soon", error), nullptr);
  EXPECT_NE(error.find("flash-ms"), std::string::npos) << error;
  EXPECT_EQ(CreateSerialDevice("sim:no-such-switch"), nullptr);
  // A device that is made but never opened writes nothing.
  TScratch dir;
  const fs::path flash = dir.Path() / "flash";
  EXPECT_NE(
      CreateSerialDevice("sim:dir=" + flash.string() + ";transcript=" + (flash / "t.txt").string()),
      nullptr);
  EXPECT_FALSE(fs::exists(flash));
}

}  // namespace
}  // namespace kestrel
