#include "loader/unattended/StationPorts.h"

#include <glob.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdlib>
#include <map>

namespace kestrel {

namespace {

// "sim:...", "rfc2217://host:port", "tcp://...": a scheme, not a path.
bool has_scheme(const std::string& value) {
  const size_t colon = value.find(':');
  if (colon == std::string::npos || colon == 0) return false;
  for (size_t i = 0; i < colon; ++i) {
    const char c = value[i];
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.')
      return false;
  }
  return true;
}

std::vector<std::string> glob_matches(const std::string& pattern) {
  std::vector<std::string> matches;
  glob_t found{};
  if (::glob(pattern.c_str(), 0, nullptr, &found) == 0)
    for (size_t i = 0; i < found.gl_pathc; ++i) matches.emplace_back(found.gl_pathv[i]);
  ::globfree(&found);
  return matches;
}

}  // namespace

bool is_port_glob(const std::string& value) {
  return !has_scheme(value) && value.find_first_of("*?[") != std::string::npos;
}

std::string device_identity(const std::string& device) {
  if (has_scheme(device)) return "name:" + device;
  char* real = ::realpath(device.c_str(), nullptr);
  struct stat info {};
  const bool found = real && ::stat(real, &info) == 0;
  std::free(real);
  if (!found) return "name:" + device;
  if (S_ISCHR(info.st_mode)) return "char:" + std::to_string(info.st_rdev);
  return "file:" + std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
}

std::string port_short_name(const std::string& device, int ordinal) {
  if (has_scheme(device)) {
    // "rfc2217://host:4001/..." is the host and its port; "sim:OPTIONS",
    // whose options say little at a glance, the scheme and the place the
    // port was given in.
    const size_t colon = device.find(':');
    if (device.compare(colon, 3, "://") == 0)
      return device.substr(colon + 3, device.find('/', colon + 3) - (colon + 3)).substr(0, 24);
    return device.substr(0, colon) + std::to_string(ordinal);
  }
  const size_t slash = device.find_last_of('/');
  return slash == std::string::npos || slash + 1 == device.size() ? device
                                                                  : device.substr(slash + 1);
}

TStationPortSet::TStationPortSet(std::vector<std::string> values) : FValues(std::move(values)) {}

std::vector<TStationPort> TStationPortSet::Scan(std::vector<std::string>& notes) {
  std::vector<TStationPort> ports;
  std::map<std::string, std::string> served;  // identity -> the device serving it
  auto add = [&](const std::string& device, int ordinal, bool fromGlob) {
    const std::string identity = device_identity(device);
    if (const auto it = served.find(identity); it != served.end()) {
      if (FNoted.insert(device + "\n" + it->second).second)
        notes.push_back(it->second == device
                            ? device + " is named twice: served once"
                            : device + " is the same device as " + it->second + ": served once");
      return;
    }
    served.emplace(identity, device);
    // Two devices of one short name (ttyUSB0 in two folders) are told
    // apart by their whole names.
    std::string name = port_short_name(device, ordinal);
    if (const auto known = FNames.emplace(name, device).first; known->second != device)
      name = device;
    ports.push_back({device, name, fromGlob});
  };
  for (size_t i = 0; i < FValues.size(); ++i)
    if (!is_port_glob(FValues[i])) add(FValues[i], int(i + 1), false);
  for (size_t i = 0; i < FValues.size(); ++i)
    if (is_port_glob(FValues[i]))
      for (const std::string& match : glob_matches(FValues[i])) add(match, int(i + 1), true);
  return ports;
}

}  // namespace kestrel
