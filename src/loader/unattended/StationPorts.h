#pragma once
// The ports a station serves, from its --port values: device paths and
// names of other kinds (sim:..., rfc2217://...) as given, globs expanded
// each time the set is looked at again, so that adapters plugged in later
// join and adapters pulled out leave. One device reached by two names is
// served once.

#include <map>
#include <set>
#include <string>
#include <vector>

namespace kestrel {

struct TStationPort {
  std::string Device;     // as given, or as a glob matched it
  std::string ShortName;  // what the board calls it
  bool FromGlob = false;  // leaves when the glob no longer matches it
};

class TStationPortSet {
 public:
  explicit TStationPortSet(std::vector<std::string> values);

  // The ports now, fixed ones in the order given, then what each glob
  // matches. A device met again under another name is left out, and said
  // once in `notes`.
  std::vector<TStationPort> Scan(std::vector<std::string>& notes);

 private:
  std::vector<std::string> FValues;
  std::set<std::string> FNoted;
  std::map<std::string, std::string> FNames;  // short name -> the device first given it
};

// Whether `value` is a pattern to match against the file system.
bool is_port_glob(const std::string& value);
// What tells two devices apart: the device number of a character device
// (after following links), else the file; for a name that is no path, or
// that names nothing yet, the name itself.
std::string device_identity(const std::string& device);
// What the board calls `device`, the `ordinal`th --port value: the last
// part of a path, the host of a network line, else the scheme and ordinal
// ("sim2").
std::string port_short_name(const std::string& device, int ordinal);

}  // namespace kestrel
