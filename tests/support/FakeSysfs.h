#pragma once
// A sysfs and /dev tree for port-discovery tests: a USB adapter with a by-id
// link, a CDC-ACM device with control characters in its product name, an
// on-board UART, the console UART, an empty UART slot, a virtual terminal
// and a by-id link whose adapter has gone, in a scratch folder.

#include <filesystem>
#include <fstream>
#include <string>

#include "ScratchFolder.h"
#include "serialdevice/AwPortDiscovery.h"

namespace kestrel::test {

namespace fs = std::filesystem;

class FakeTree {
 public:
  FakeTree() {
    sys_ = root_ / "sys";
    dev_ = root_ / "dev";
    const fs::path usb = sys_ / "devices/pci0000:00/0000:00:14.0/usb1/1-2";
    File(usb / "idVendor", "0403");
    File(usb / "idProduct", "6001");
    File(usb / "manufacturer", "FTDI");
    File(usb / "product", "FT232R USB UART");
    File(usb / "serial", "A1B2C3");
    const fs::path usbPort = usb / "1-2:1.0/ttyUSB0";
    Driver(usbPort, "usb-serial", "ftdi_sio");
    Tty("ttyUSB0", usbPort);

    // A CDC-ACM device: the interface itself carries the tty.
    const fs::path acm = sys_ / "devices/pci0000:00/0000:00:14.0/usb1/1-3";
    File(acm / "idVendor", "2e8a");
    File(acm / "idProduct", "000a");
    File(acm / "product", "Pico\x1b]0;owned\x07");
    Driver(acm / "1-3:1.0", "usb", "cdc_acm");
    Tty("ttyACM0", acm / "1-3:1.0");

    // On-board UARTs behind the kernel's generic serial port layer.
    for (const char* name : {"ttyS0", "ttyS1"}) {
      const std::string n = name + 4;
      const fs::path pnp = sys_ / ("devices/pnp0/00:0" + n);
      Driver(pnp, "pnp", "serial");
      Driver(pnp / ("00:0" + n + ":0"), "serial-base", "ctrl");
      Driver(pnp / ("00:0" + n + ":0/00:0" + n + ":0.0"), "serial-base", "port");
      File(Tty(name, pnp / ("00:0" + n + ":0/00:0" + n + ":0.0")) / "type", "4");
    }
    // A slot the 8250 driver keeps without a chip.
    const fs::path platform = sys_ / "devices/platform/serial8250";
    Driver(platform, "platform", "serial8250");
    File(Tty("ttyS2", platform) / "type", "0");
    fs::create_directories(sys_ / "class/tty/tty0");
    File(sys_ / "class/tty/console/active", "tty0 ttyS0");

    fs::create_directories(dev_ / "serial/by-id");
    for (const char* name : {"ttyS0", "ttyS1", "ttyS2", "ttyUSB0", "ttyACM0", "tty0"}) {
      File(dev_ / name, "");
    }
    fs::create_symlink("../../ttyUSB0", ById());
    fs::create_symlink("../../ttyUSB1", dev_ / "serial/by-id/usb-Gone_Adapter_X9-if00-port0");
  }
  // Makes the device node a link to `target` (a pseudo-terminal, so the
  // port really opens).
  void LinkDevice(const std::string& name, const std::string& target) {
    fs::remove(dev_ / name);
    fs::create_symlink(target, dev_ / name);
  }

  TPortRoots Roots() const { return {sys_.string(), dev_.string()}; }
  std::string Dev(const std::string& name) const { return (dev_ / name).string(); }
  std::string ById() const {
    return (dev_ / "serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0").string();
  }
  std::string Gone() const {
    return (dev_ / "serial/by-id/usb-Gone_Adapter_X9-if00-port0").string();
  }

 private:
  static void File(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text << "\n";
  }
  void Driver(const fs::path& device, const std::string& bus, const std::string& driver) {
    const fs::path driverDir = sys_ / "bus" / bus / "drivers" / driver;
    fs::create_directories(driverDir);
    fs::create_directories(device);
    fs::create_symlink(driverDir, device / "driver");
    fs::create_symlink(sys_ / "bus" / bus, device / "subsystem");
  }
  // The tty's class directory below its device, linked from class/tty.
  fs::path Tty(const std::string& name, const fs::path& device) {
    const fs::path dir = device / "tty" / name;
    fs::create_directories(dir);
    fs::create_symlink(device, dir / "device");
    fs::create_directories(sys_ / "class/tty");
    fs::create_symlink(dir, sys_ / "class/tty" / name);
    return dir;
  }

  TScratch root_;
  fs::path sys_, dev_;
};

}  // namespace kestrel::test
