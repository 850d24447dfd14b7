#pragma once
// From port numbers to devices: the path of port n, the console guard, and
// the registry of device schemes ("sim:...") that the program's composition
// root fills.
//
// Thread contract: every function here may be called from any thread; the
// registry and the console-list setting take a lock of their own.

#include <memory>
#include <string>

#include "serialdevice/AwDevice.h"

namespace kestrel {

// The device path of port n: the session's mapping (MapPortForSession), else
// the environment variable KESTREL_COM<n> when set and not empty, else
// /dev/ttyS<n-1>.
std::string ResolvePortPath(int n);
// The same with the default ports under `devRoot` instead of /dev.
std::string ResolvePortPath(int n, const std::string& devRoot);
// True when the session or KESTREL_COM<n> names the port's device explicitly.
bool IsPortMappedExplicitly(int n);

// True for the kernel's console: any device listed in the console-list file
// (normally /sys/class/tty/console/active), /dev/console, /dev/tty and the
// virtual terminals /dev/tty0../dev/tty63. Compared by device number, so
// links such as /dev/serial/by-id/... are seen through.
bool IsConsoleDevice(const std::string& path);
bool IsConsoleDevice(const std::string& path, const std::string& consoleListFile);
// Replaces the console-list file (tests); an empty name restores the default.
void SetConsoleListFile(const std::string& file);

// Maps port n to `path` until the program ends, ahead of KESTREL_COM<n>
// (an empty path removes the mapping). Nothing is written anywhere.
void MapPortForSession(int n, const std::string& path);

// What an operator reads about a device that could not be opened, without
// the path: "no such device", "not a serial device", "no permission to open
// it ...", "in use by another program", ... A permission problem on a device
// of the dialout group says how to join the group.
std::string OpenFailureText(TOpenFailure failure, const std::string& path);

// Makes `factory` serve every path "scheme:...". A null factory removes it.
void RegisterDeviceScheme(const std::string& scheme, TDeviceFactory factory);

// An unopened device for `path`: the registered scheme's device, or else a
// termios device. A console device that no KESTREL_COM<n> names explicitly
// is never opened: its Open fails as "no such device" (-2). nullptr only
// when a scheme's factory cannot serve the path.
std::unique_ptr<TApdSerialDevice> CreateSerialDevice(const std::string& path);
// The device of port n (ResolvePortPath + CreateSerialDevice).
std::unique_ptr<TApdSerialDevice> CreatePortDevice(int n);

}  // namespace kestrel
