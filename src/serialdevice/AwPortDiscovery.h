#pragma once
// Which serial devices the system has, read from sysfs without opening any:
// their paths, stable /dev/serial/by-id names, drivers, USB identities, the
// console, and the port numbers that resolve to each of them now.
//
// Thread contract: every function may be called from any thread; the
// default roots take a lock of their own.

#include <iosfwd>
#include <string>
#include <vector>

namespace kestrel {

class TPortMap;

// Where sysfs and the device nodes live: the system's, unless whoever
// looks (a test) hands in a tree of its own.
struct TPortRoots {
  std::string Sysfs = "/sys";
  std::string Dev = "/dev";
};

// Port numbers looked at for the mapping: the port dialog's range.
inline constexpr int kHighestMappedPort = 50;

// A port number that resolves to a device, and how.
struct TPortMapping {
  int ComNumber = 0;
  bool Explicit = false;  // by KESTREL_COM<n>, not by the /dev/ttyS<n-1> default
};

struct TPortInfo {
  std::string Name;    // the kernel's name: "ttyUSB0"
  std::string Path;    // the device node: "/dev/ttyUSB0"
  std::string ById;    // its /dev/serial/by-id link, empty when there is none
  std::string Driver;  // "ftdi_sio", "cdc_acm", "serial8250", ...
  bool Usb = false;
  std::string VendorId, ProductId;  // hexadecimal, as the device reports them
  std::string Manufacturer, Product, SerialNumber;
  bool Console = false;                // the kernel's console runs on it
  std::vector<TPortMapping> Mappings;  // in port-number order
};

// Every serial device under the roots, in natural name order (ttyS2 before
// ttyS10), with the port numbers `map` leads to it. UART slots the driver
// reserves without hardware are left out.
std::vector<TPortInfo> DiscoverPorts(const TPortMap& map, const TPortRoots& roots = {});

// The device `path` names (directly, through a link such as by-id, or as
// the same device node), or nullptr.
const TPortInfo* FindPort(const std::vector<TPortInfo>& ports, const std::string& path);

// One line saying what the device is: "FTDI FT232R USB UART (0403:6001,
// serial A1B2C3)", "serial8250", with ", console" when it is the console.
// Control characters from the device are shown as '?'.
std::string DescribePort(const TPortInfo& port);

// One line naming the device for a choice among devices: its path, the
// file name of its by-id link when it has one, and DescribePort.
std::string DeviceChoiceText(const TPortInfo& port);

// A port that KESTREL_COM<n> (or the session) maps to none of the devices
// found: the simulated unit, a pseudo-terminal, an adapter not plugged in.
struct TMappedPort {
  int ComNumber = 0;
  std::string Path;
  bool Present = true;  // false for a device path with nothing behind it
};
std::vector<TMappedPort> PortsMappedElsewhere(const std::vector<TPortInfo>& ports,
                                              const TPortMap& map);
// "COM3 (KESTREL_COM3): /dev/pts/7", with "  [not present]" when it is not.
std::string MappedPortText(const TMappedPort& port);

// The listing `kestrel --list-ports` prints: each device, then each port
// that KESTREL_COM<n> maps to something else (a scheme such as "sim:", a
// pseudo-terminal, or a path with nothing behind it now).
void WritePortList(std::ostream& out, const std::vector<TPortInfo>& ports, const TPortMap& map);

}  // namespace kestrel
