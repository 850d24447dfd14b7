// Port discovery on a sysfs and /dev tree of the test's own: a USB adapter
// with a by-id link, a second one without a port number, an on-board UART,
// the console UART, an empty UART slot, a virtual terminal and a by-id link
// whose adapter has gone.
#include "serialdevice/AwPortDiscovery.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <sstream>

#include "FakeSysfs.h"
#include "serialdevice/AwPortPath.h"

namespace kestrel {
namespace {

using test::FakeTree;

class PortDiscoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearPortVariables();
    ::setenv("KESTREL_COM3", tree.ById().c_str(), 1);
    ::setenv("KESTREL_COM4", "sim:", 1);
    ::setenv("KESTREL_COM7", tree.Gone().c_str(), 1);
  }
  void TearDown() override { ClearPortVariables(); }
  static void ClearPortVariables() {
    for (int n = 1; n <= kHighestMappedPort; ++n) {
      ::unsetenv(("KESTREL_COM" + std::to_string(n)).c_str());
    }
  }
  FakeTree tree;
  const TPortMap map;
};

TEST_F(PortDiscoveryTest, FindsEverySerialDeviceWithWhatItIs) {
  const auto ports = DiscoverPorts(map, tree.Roots());
  std::vector<std::string> names;
  for (const auto& p : ports) names.push_back(p.Name);
  // Not the empty slot ttyS2, not the virtual terminal, not the gone adapter.
  ASSERT_EQ(names, (std::vector<std::string>{"ttyACM0", "ttyS0", "ttyS1", "ttyUSB0"}));
  const auto& acm = ports[0];
  const auto& console = ports[1];
  const auto& onboard = ports[2];
  const auto& usb = ports[3];

  EXPECT_EQ(usb.Path, tree.Dev("ttyUSB0"));
  EXPECT_EQ(usb.ById, tree.ById());
  EXPECT_EQ(usb.Driver, "ftdi_sio");
  EXPECT_TRUE(usb.Usb);
  EXPECT_EQ(DescribePort(usb), "FTDI FT232R USB UART (0403:6001, serial A1B2C3, ftdi_sio)");
  EXPECT_EQ(acm.Driver, "cdc_acm");
  EXPECT_EQ(DescribePort(acm), "Pico?]0;owned? (2e8a:000a, cdc_acm)")
      << "control characters from the device never reach the terminal";

  // The UART's driver, not the generic port layer in between.
  EXPECT_EQ(onboard.Driver, "serial");
  EXPECT_FALSE(onboard.Usb);
  EXPECT_TRUE(onboard.ById.empty());
  EXPECT_TRUE(console.Console);
  EXPECT_FALSE(onboard.Console);
  EXPECT_EQ(DescribePort(console), "serial, console");

  // COM1 and COM2 by default, COM3 through the by-id link; COM4 (sim:) and
  // COM7 (the gone adapter) name none of these.
  ASSERT_EQ(console.Mappings.size(), 1u);
  EXPECT_EQ(console.Mappings[0].ComNumber, 1);
  EXPECT_FALSE(console.Mappings[0].Explicit);
  ASSERT_EQ(onboard.Mappings.size(), 1u);
  EXPECT_EQ(onboard.Mappings[0].ComNumber, 2);
  ASSERT_EQ(usb.Mappings.size(), 1u);
  EXPECT_EQ(usb.Mappings[0].ComNumber, 3);
  EXPECT_TRUE(usb.Mappings[0].Explicit);
  EXPECT_TRUE(acm.Mappings.empty());

  EXPECT_EQ(FindPort(ports, tree.ById()), &usb);
  EXPECT_EQ(FindPort(ports, tree.Dev("ttyS1")), &onboard);
  EXPECT_EQ(FindPort(ports, tree.Gone()), nullptr);
  EXPECT_EQ(FindPort(ports, "sim:"), nullptr);
}

TEST_F(PortDiscoveryTest, TheListingNamesEachDeviceAndItsPort) {
  std::ostringstream out;
  WritePortList(out, DiscoverPorts(map, tree.Roots()), map);
  const std::string expected =
      tree.Dev("ttyACM0") + "\n" + "    port:         none (KESTREL_COM<n>=" + tree.Dev("ttyACM0") +
      " makes it port n)\n" +
      "    driver:       cdc_acm\n"
      "    USB:          2e8a:000a\n"
      "    product:      Pico?]0;owned?\n" +
      tree.Dev("ttyS0") + "  [console]\n" +
      "    port:         COM1 by default, never opened as the console\n"
      "    driver:       serial\n" +
      tree.Dev("ttyS1") + "\n" +
      "    port:         COM2 by default\n"
      "    driver:       serial\n" +
      tree.Dev("ttyUSB0") + "\n" + "    by-id:        " + tree.ById() + "\n" +
      "    port:         COM3 (KESTREL_COM3)\n"
      "    driver:       ftdi_sio\n"
      "    USB:          0403:6001\n"
      "    manufacturer: FTDI\n"
      "    product:      FT232R USB UART\n"
      "    serial:       A1B2C3\n"
      "COM4 (KESTREL_COM4): sim:\n"
      "COM7 (KESTREL_COM7): " +
      tree.Gone() + "  [not present]\n";
  EXPECT_EQ(out.str(), expected);

  ::unsetenv("KESTREL_COM4");
  ::unsetenv("KESTREL_COM7");
  std::ostringstream none;
  WritePortList(none, DiscoverPorts(map, {tree.Dev("no-such-sysfs"), tree.Dev("")}), map);
  EXPECT_EQ(none.str(), "No serial devices found.\nCOM3 (KESTREL_COM3): " + tree.ById() + "\n");
}

}  // namespace
}  // namespace kestrel
