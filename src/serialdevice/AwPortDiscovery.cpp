#include "serialdevice/AwPortDiscovery.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <sstream>

#include "serialdevice/AwPortPath.h"

namespace kestrel {

namespace {

namespace fs = std::filesystem;

// Attributes are short; a longer one is not what we are looking for.
constexpr size_t kMaxAttribute = 256;

// The first line of a sysfs attribute without its line end; empty when
// there is none.
std::string ReadAttribute(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  if (!in || !std::getline(in, line)) return {};
  if (line.size() > kMaxAttribute) line.resize(kMaxAttribute);
  while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
  return line;
}

fs::path Canonical(const fs::path& path) {
  std::error_code ec;
  fs::path result = fs::canonical(path, ec);
  return ec ? fs::path() : result;
}

// True when `path` lies inside `root` (both canonical).
bool Within(const fs::path& path, const fs::path& root) {
  const std::string p = path.string(), r = root.string();
  return p.size() > r.size() && p.compare(0, r.size(), r) == 0 && p[r.size()] == '/';
}

// The driver that owns the device: the nearest one up the device tree,
// passing over the kernel's generic serial port and controller layer.
std::string DriverOf(const fs::path& device, const fs::path& devicesRoot) {
  for (fs::path dir = device; Within(dir, devicesRoot); dir = dir.parent_path()) {
    std::error_code ec;
    const fs::path driver = fs::read_symlink(dir / "driver", ec);
    if (ec) continue;
    const fs::path subsystem = fs::read_symlink(dir / "subsystem", ec);
    if (!ec && subsystem.filename() == "serial-base") continue;
    return driver.filename().string();
  }
  return {};
}

// Fills the USB identity from the nearest USB device up the tree.
void ReadUsbIdentity(const fs::path& device, const fs::path& devicesRoot, TPortInfo& port) {
  for (fs::path dir = device; Within(dir, devicesRoot); dir = dir.parent_path()) {
    std::error_code ec;
    if (!fs::is_regular_file(dir / "idVendor", ec)) continue;
    port.Usb = true;
    port.VendorId = ReadAttribute(dir / "idVendor");
    port.ProductId = ReadAttribute(dir / "idProduct");
    port.Manufacturer = ReadAttribute(dir / "manufacturer");
    port.Product = ReadAttribute(dir / "product");
    port.SerialNumber = ReadAttribute(dir / "serial");
    return;
  }
}

std::vector<std::string> ConsoleNames(const fs::path& sysfs) {
  std::ifstream in(sysfs / "class/tty/console/active");
  std::vector<std::string> names;
  std::string name;
  while (in >> name) names.push_back(name);
  return names;
}

// "ttyUSB10" -> ("ttyUSB", 10), so numbers sort as numbers.
std::pair<std::string, unsigned long> NaturalKey(const std::string& name) {
  size_t digits = name.size();
  while (digits > 0 && std::isdigit(static_cast<unsigned char>(name[digits - 1]))) --digits;
  const std::string number = name.substr(digits, 9);
  return {name.substr(0, digits), number.empty() ? 0 : std::stoul(number)};
}

// Each /dev/serial/by-id link whose device exists, by the device's real path.
// Links whose device has gone (the adapter was pulled) are passed over.
std::vector<std::pair<fs::path, std::string>> ByIdLinks(const fs::path& dev) {
  std::vector<std::pair<fs::path, std::string>> links;
  std::error_code ec;
  for (fs::directory_iterator it(dev / "serial/by-id", ec), end; !ec && it != end;
       it.increment(ec)) {
    const fs::path target = Canonical(it->path());
    if (!target.empty()) links.emplace_back(target, it->path().string());
  }
  std::sort(links.begin(), links.end(),
            [](const auto& a, const auto& b) { return a.second < b.second; });
  return links;
}

bool SameDevice(const std::string& a, const std::string& b) {
  struct stat sa {
  }, sb{};
  if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
  if (S_ISCHR(sa.st_mode) && S_ISCHR(sb.st_mode)) return sa.st_rdev == sb.st_rdev;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// Device texts come from the device itself: nothing in them may steer the
// terminal that shows them.
std::string Printable(std::string text) {
  for (char& c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) c = '?';
  }
  return text;
}

std::string JoinWords(const std::string& a, const std::string& b) {
  if (a.empty()) return b;
  if (b.empty()) return a;
  return a + " " + b;
}

// The index of the device `path` names; ports.size() when none.
size_t IndexOfPort(const std::vector<TPortInfo>& ports, const std::string& path) {
  for (size_t i = 0; i < ports.size(); ++i) {
    const auto& port = ports[i];
    if (path == port.Path || (!port.ById.empty() && path == port.ById)) return i;
  }
  for (size_t i = 0; i < ports.size(); ++i) {
    if (SameDevice(path, ports[i].Path)) return i;
  }
  return ports.size();
}

std::string MappingText(const TPortInfo& port) {
  if (port.Mappings.empty()) {
    return "none (KESTREL_COM<n>=" + Printable(port.Path) + " makes it port n)";
  }
  std::string text;
  for (const auto& m : port.Mappings) {
    if (!text.empty()) text += ", ";
    text += "COM" + std::to_string(m.ComNumber);
    if (m.Explicit) {
      text += " (KESTREL_COM" + std::to_string(m.ComNumber) + ")";
    } else if (port.Console) {
      text += " by default, never opened as the console";
    } else {
      text += " by default";
    }
  }
  return text;
}

}  // namespace

std::vector<TPortInfo> DiscoverPorts(const TPortMap& map, const TPortRoots& roots) {
  std::vector<TPortInfo> ports;
  const fs::path devicesRoot = Canonical(fs::path(roots.Sysfs) / "devices");
  if (devicesRoot.empty()) return ports;
  const fs::path classDir = fs::path(roots.Sysfs) / "class/tty";
  const auto consoles = ConsoleNames(roots.Sysfs);
  std::error_code ec;
  for (fs::directory_iterator it(classDir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    // Only ttys with hardware behind them; virtual terminals have none.
    const fs::path device = Canonical(it->path() / "device");
    if (device.empty()) continue;
    // A UART slot the driver keeps without a chip in it reads as type 0.
    if (ReadAttribute(it->path() / "type") == "0") continue;
    TPortInfo port;
    port.Name = name;
    port.Path = roots.Dev + "/" + name;
    port.Driver = DriverOf(device, devicesRoot);
    ReadUsbIdentity(device, devicesRoot, port);
    port.Console = std::find(consoles.begin(), consoles.end(), name) != consoles.end();
    ports.push_back(std::move(port));
  }
  std::sort(ports.begin(), ports.end(), [](const TPortInfo& a, const TPortInfo& b) {
    return NaturalKey(a.Name) < NaturalKey(b.Name);
  });

  const auto links = ByIdLinks(roots.Dev);
  for (auto& port : ports) {
    const fs::path real = Canonical(port.Path);
    if (real.empty()) continue;
    for (const auto& [target, link] : links) {
      if (target == real) {
        port.ById = link;
        break;
      }
    }
  }

  for (int n = 1; n <= kHighestMappedPort; ++n) {
    const std::string path = map.ResolvePortPath(n, roots.Dev);
    const size_t i = IndexOfPort(ports, path);
    if (i < ports.size()) ports[i].Mappings.push_back({n, map.IsPortMappedExplicitly(n)});
  }
  return ports;
}

const TPortInfo* FindPort(const std::vector<TPortInfo>& ports, const std::string& path) {
  const size_t i = IndexOfPort(ports, path);
  return i < ports.size() ? &ports[i] : nullptr;
}

std::string DescribePort(const TPortInfo& port) {
  std::string text;
  if (port.Usb) {
    text = JoinWords(port.Manufacturer, port.Product);
    if (text.empty()) text = "USB device";
    text += " (" + port.VendorId + ":" + port.ProductId;
    if (!port.SerialNumber.empty()) text += ", serial " + port.SerialNumber;
    if (!port.Driver.empty()) text += ", " + port.Driver;
    text += ")";
  } else {
    text = port.Driver.empty() ? "serial device" : port.Driver;
  }
  if (port.Console) text += ", console";
  return Printable(text);
}

std::string DeviceChoiceText(const TPortInfo& port) {
  std::string text = Printable(port.Path);
  if (!port.ById.empty()) text += "  " + Printable(fs::path(port.ById).filename().string());
  return text + "  " + DescribePort(port);
}

void WritePortList(std::ostream& out, const std::vector<TPortInfo>& ports, const TPortMap& map) {
  std::ostringstream text;
  if (ports.empty()) text << "No serial devices found.\n";
  for (const auto& port : ports) {
    text << Printable(port.Path) << (port.Console ? "  [console]" : "") << "\n";
    if (!port.ById.empty()) text << "    by-id:        " << Printable(port.ById) << "\n";
    text << "    port:         " << MappingText(port) << "\n";
    if (!port.Driver.empty()) text << "    driver:       " << Printable(port.Driver) << "\n";
    if (port.Usb) {
      text << "    USB:          " << Printable(port.VendorId + ":" + port.ProductId) << "\n";
      if (!port.Manufacturer.empty()) {
        text << "    manufacturer: " << Printable(port.Manufacturer) << "\n";
      }
      if (!port.Product.empty()) text << "    product:      " << Printable(port.Product) << "\n";
      if (!port.SerialNumber.empty()) {
        text << "    serial:       " << Printable(port.SerialNumber) << "\n";
      }
    }
  }
  for (const TMappedPort& port : PortsMappedElsewhere(ports, map))
    text << MappedPortText(port) << "\n";
  out << text.str();
}

std::vector<TMappedPort> PortsMappedElsewhere(const std::vector<TPortInfo>& ports,
                                              const TPortMap& map) {
  std::vector<TMappedPort> mapped;
  for (int n = 1; n <= kHighestMappedPort; ++n) {
    if (!map.IsPortMappedExplicitly(n)) continue;
    const std::string path = map.ResolvePortPath(n);
    if (IndexOfPort(ports, path) < ports.size()) continue;
    struct stat st {};
    mapped.push_back({n, path, !(path.front() == '/' && ::stat(path.c_str(), &st) != 0)});
  }
  return mapped;
}

std::string MappedPortText(const TMappedPort& port) {
  const std::string n = std::to_string(port.ComNumber);
  return "COM" + n + " (KESTREL_COM" + n + "): " + Printable(port.Path) +
         (port.Present ? "" : "  [not present]");
}

}  // namespace kestrel
