#pragma once
// From port numbers to devices: TPortMap, which the program's composition
// root makes (through the ports' context) and fills with the device schemes
// ("sim:...") it offers; the console guard; and what an operator reads
// about a device that would not open.

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "serialdevice/AwDevice.h"

namespace kestrel {

// The console-list file of the kernel.
inline constexpr const char* kConsoleListFile = "/sys/class/tty/console/active";

// Where port numbers lead, and how paths become devices: the session's
// port mappings, the device schemes, and the console guard.
//
// Thread contract: every member may be called from any thread; the
// mappings and the schemes take a lock of their own.
class TPortMap {
 public:
  // The console guard reads the console list from `consoleListFile` (a
  // test's own list instead of the kernel's).
  explicit TPortMap(std::string consoleListFile = kConsoleListFile);
  TPortMap(const TPortMap&) = delete;
  TPortMap& operator=(const TPortMap&) = delete;

  // The device path of port n: the session's mapping (MapPortForSession),
  // else the environment variable KESTREL_COM<n> when set and not empty,
  // else /dev/ttyS<n-1>.
  std::string ResolvePortPath(int n) const;
  // The same with the default ports under `devRoot` instead of /dev.
  std::string ResolvePortPath(int n, const std::string& devRoot) const;
  // True when the session or KESTREL_COM<n> names the port's device
  // explicitly.
  bool IsPortMappedExplicitly(int n) const;

  // Maps port n to `path` for as long as this map lives, ahead of
  // KESTREL_COM<n> (an empty path removes the mapping). Nothing is written
  // anywhere.
  void MapPortForSession(int n, const std::string& path);

  // Makes `factory` serve every path "scheme:...". A null factory removes it.
  void RegisterDeviceScheme(const std::string& scheme, TDeviceFactory factory);

  // True for the kernel's console (see the free IsConsoleDevice), with this
  // map's console list.
  bool IsConsoleDevice(const std::string& path) const;

  // An unopened device for `path`: the registered scheme's device, or else a
  // termios device. A console device that neither the session nor any
  // KESTREL_COM<n> names explicitly is never opened: its Open fails as "no
  // such device" (-2). nullptr only when a scheme's factory cannot serve the
  // path.
  std::unique_ptr<TApdSerialDevice> CreateSerialDevice(const std::string& path) const;
  // The device of port n (ResolvePortPath + CreateSerialDevice).
  std::unique_ptr<TApdSerialDevice> CreatePortDevice(int n) const;

 private:
  std::string SessionPortPath(int n) const;
  TDeviceFactory SchemeFactory(const std::string& scheme) const;
  // True when the session or some KESTREL_COM<n> names exactly `path`.
  bool NamedExplicitly(const std::string& path) const;

  const std::string ConsoleListFile_;
  mutable std::mutex Lock_;
  std::map<std::string, TDeviceFactory> Schemes_;
  std::map<int, std::string> SessionPorts_;
};

// True for the kernel's console: any device listed in `consoleListFile`
// (normally /sys/class/tty/console/active), /dev/console, /dev/tty and the
// virtual terminals /dev/tty0../dev/tty63. Compared by device number, so
// links such as /dev/serial/by-id/... are seen through.
bool IsConsoleDevice(const std::string& path, const std::string& consoleListFile);

// What an operator reads about a device that could not be opened, without
// the path: "no such device", "not a serial device", "no permission to open
// it ...", "in use by another program", ... A permission problem on a device
// of the dialout group says how to join the group.
std::string OpenFailureText(TOpenFailure failure, const std::string& path);

}  // namespace kestrel
