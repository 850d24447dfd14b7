#include "loader/core/CommandLine.h"

#include <algorithm>
#include <cstdint>
#include <optional>

namespace kestrel {

namespace {

TCommandLine usage(std::string error) {
  TCommandLine line;
  line.Mode = TCommandLine::TMode::Usage;
  line.Error = std::move(error);
  return line;
}

// The value of option `name` at args[i], taken from "--name=value" or from
// the next argument; advances i past what it used.
std::optional<std::string> option_value(const std::vector<std::string>& args, size_t& i,
                                        const std::string& name, std::string& error,
                                        const char* what = "a file name") {
  const std::string& arg = args[i];
  if (arg.size() > name.size() && arg.compare(0, name.size(), name) == 0 &&
      arg[name.size()] == '=') {
    std::string value = arg.substr(name.size() + 1);
    if (value.empty()) error = name + " needs " + what;
    return value.empty() ? std::nullopt : std::optional(value);
  }
  if (arg != name) return std::nullopt;
  if (i + 1 >= args.size() || args[i + 1].empty()) {
    error = name + " needs " + what;
    return std::nullopt;
  }
  return args[++i];
}

// A line rate: digits only, from 50 (the slowest rate Linux names) to the
// largest the port takes; 0 for anything else. Whether the adapter can run
// it is for its driver to say when the port opens.
long line_rate(const std::string& text) {
  if (text.empty() || text.size() > 10) return 0;
  long long rate = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    rate = rate * 10 + (c - '0');
  }
  return rate >= 50 && rate <= INT32_MAX ? long(rate) : 0;
}

}  // namespace

TCommandLine parse_command_line(const std::vector<std::string>& args) {
  TCommandLine line;
  bool batch = false;
  bool station = false;
  bool check = false;
  bool ini = false;
  bool record = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      line.Mode = TCommandLine::TMode::Help;
      return line;
    }
    if (arg == "--version") {
      line.Mode = TCommandLine::TMode::Version;
      return line;
    }
    if (arg == "--list-ports") {
      line.Mode = TCommandLine::TMode::ListPorts;
      return line;
    }
    std::string error;
    if (auto script = option_value(args, i, "--batch", error)) {
      if (batch) return usage("--batch given twice");
      batch = true;
      line.BatchScript = *script;
    } else if (auto stationScript = option_value(args, i, "--station", error)) {
      if (station) return usage("--station given twice");
      station = true;
      line.BatchScript = *stationScript;
    } else if (auto checked = option_value(args, i, "--check", error)) {
      if (check) return usage("--check given twice");
      check = true;
      line.BatchScript = *checked;
    } else if (auto recordFile = option_value(args, i, "--record", error)) {
      if (record) return usage("--record given twice");
      record = true;
      line.RecordFile = *recordFile;
    } else if (auto rate = option_value(args, i, "--baud", error, "a rate")) {
      if (line.Baud != 0) return usage("--baud given twice");
      line.Baud = line_rate(*rate);
      if (line.Baud == 0)
        return usage("--baud needs a rate in bits per second, not '" + *rate + "'");
    } else if (auto port = option_value(args, i, "--port", error, "a device")) {
      line.Ports.push_back(*port);
    } else if (auto file = option_value(args, i, "--ini", error)) {
      if (ini) return usage("--ini given twice");
      ini = true;
      line.IniFile = *file;
    } else if (!error.empty()) {
      return usage(error);
    } else {
      return usage("unknown argument '" + arg + "'");
    }
  }
  if (int(batch) + int(station) + int(check) > 1)
    return usage("--batch, --station and --check exclude each other");
  if (record && check) return usage("--check runs nothing to record");
  if (line.Baud != 0 && !batch && !station && !check)
    return usage("--baud works only together with --batch, --station or --check");
  if (!line.Ports.empty() && !station) return usage("--port works only together with --station");
  if (batch) line.Mode = TCommandLine::TMode::Batch;
  if (station) line.Mode = TCommandLine::TMode::Station;
  if (check) line.Mode = TCommandLine::TMode::Check;
  return line;
}

TCommandLine parse_command_line(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  return parse_command_line(args);
}

std::string command_line_help(const std::string& program) {
  return "Usage: " + program + R"( [--ini FILE] [--record FILE]
           the windowed loader
       )" +
         program + R"( --batch SCRIPT [--ini FILE] [--baud N] [--record FILE]
           runs SCRIPT unattended and ends
       )" +
         program + R"( --station SCRIPT [--port DEVICE ...] [--ini FILE] [--baud N] [--record FILE]
           runs SCRIPT on unit after unit, on every port at once
       )" +
         program + R"( --check SCRIPT [--ini FILE] [--baud N]
           checks SCRIPT without a unit
       )" +
         program + R"( --list-ports
           the serial ports, and how KESTREL_COM<n> maps them
       )" +
         program + R"( --version
           the program's version
       )" +
         program + R"( --help
           this text

Without arguments Kestrel opens its window, reads LoaderDefault.ini from the
working folder and probes for the unit; the operator picks a script.

--batch SCRIPT  starts up as automatic mode does (settings, then probing the
                configured port, COM1 and COM2), runs SCRIPT once in place of
                the settings' automatic script and ends. No window is shown and
                no display is needed. Every status-bar text and every message
                goes to stderr as it happens; messages are acknowledged at once.
                Upload progress is a bar on a terminal, one line per tenth of
                the file otherwise.
--station SCRIPT
                loads unit after unit: waits for a unit to answer on the
                configured port (COM1 when none is), probing it once a second
                and waiting for an adapter not plugged in yet; runs SCRIPT as
                --batch does; prints "PASS unit N: F files, B bytes, S s" or
                "FAIL unit N: why"; then waits until the unit has gone (the
                device is removed, or two probes in a row get no answer)
                before waiting for the next one. Ctrl+C ends the loop between
                runs, or stops a run as it stops --batch and then ends the
                loop; the last line is the tally. Exit 0 when every run
                passed, 1 when one failed, 2 at once when the port is no
                serial device (a file, a folder, /dev/null), 130 when Ctrl+C
                stopped a run.
--port DEVICE   with --station, once for every port: a device path (a link
                such as /dev/serial/by-id/... too), sim:..., or a quoted glob
                ('/dev/serial/by-id/usb-FTDI_*') looked at again every second,
                so that adapters plugged in later are served and adapters
                pulled out leave. Every port is a station of its own, served
                by a process of its own, all at once; one device named twice
                is served once. A board shows every port (redrawn in place on
                a terminal, one line per event otherwise); each run is a line
                of the record, with "port" naming its device and "run"
                counting per port. The first Ctrl+C stops runs at their next
                block, the second ends at once; the tally per port is last.
--check SCRIPT  reads SCRIPT as a run would, opening no port: prints each
                command line, the size and checksum of each file and each
                upload line as it would be sent, and reports with line numbers
                missing files, _LA/_LV/_LD lines that would do nothing, unknown
                commands, quoted commands without their quotes, over-long lines
                and arguments, and lines past the 300th; and settings lines
                that hold the example settings file's word for another line
                (a line missing or added above them). The last line tells the
                outcome. Exit 0 when the script would run clean, 1 otherwise.
--ini FILE      reads FILE in place of LoaderDefault.ini.
--baud N        sets the line to N baud in place of line 2 of the settings,
                which is then not read (with --batch, --station or --check). Rates above
                115200 need an adapter whose driver takes them; a rate the
                driver refuses is reported before anything is sent.
--record FILE   appends one JSON line per run (window, --batch or --station,
                whose lines carry the run's number) to FILE:
                start and end, script, port and line settings, every upload
                (file, size, checksum, address, version, result, seconds,
                bytes per second), every message, the final status and the
                exit code. The environment variable KESTREL_RECORD names the
                file when --record is not given.

Ports: COM<n> is the device named by the environment variable KESTREL_COM<n>
(a path, or sim: for the built-in simulated unit), else /dev/ttyS<n-1>. In
the window, COM Port > Choose port... maps one to a device until it ends.

Exit status of --batch:
  0   the run ended with "SUCCESS. Reading script file complete" and no
      message other than a _DM text was shown
  1   the run stopped or ended unsuccessful, or an error message was shown
      (a missing upload file lets the run go on, but it does not end in 0)
  2   no unit answered, so the port was not open when the script should start
  3   the script cannot be opened
  64  wrong command line
)";
}

bool window_display_available(const char* platform, const char* display,
                              const char* waylandDisplay) {
  auto set = [](const char* value) { return value && *value; };
  if (set(display) || set(waylandDisplay)) return true;
  if (!set(platform)) return false;
  // "wayland;xcb" tries each in turn; a name may carry options after ':'.
  const std::string list = platform;
  size_t start = 0;
  while (start <= list.size()) {
    const size_t end = std::min(list.find(';', start), list.size());
    const std::string entry = list.substr(start, end - start);
    const std::string name = entry.substr(0, entry.find(':'));
    if (!name.empty() && name != "xcb" && name.rfind("wayland", 0) != 0) return true;
    start = end + 1;
  }
  return false;
}

std::string no_display_text(const std::string& program) {
  return program +
         ": no display found (DISPLAY and WAYLAND_DISPLAY are not set), so the window cannot "
         "open.\n" +
         std::string(program.size() + 2, ' ') + "'" + program +
         " --batch SCRIPT' runs a script without one; '" + program + " --help' tells more.\n";
}

}  // namespace kestrel
