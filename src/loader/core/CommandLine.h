#pragma once
// The command line. Without arguments Kestrel is the windowed program; the
// options below add unattended runs for production lines and CI.

#include <string>
#include <vector>

namespace kestrel {

// Exit statuses of an unattended run.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitRunFailed = 1;  // run stopped, unsuccessful, or an error was shown
inline constexpr int kExitNoUnit = 2;     // no unit answered: the port was not open
// The script, or a file named with --ini or --record, cannot be used.
inline constexpr int kExitNoScript = 3;
inline constexpr int kExitUsage = 64;  // wrong command line
// A run ended by a signal: 128 and the signal's number (130 for SIGINT).
inline constexpr int kExitSignalBase = 128;
// Exit statuses of --check.
inline constexpr int kExitCheckClean = 0;
inline constexpr int kExitCheckProblems = 1;

struct TCommandLine {
  enum class TMode { Window, Batch, Station, Check, Help, Version, ListPorts, Usage };
  TMode Mode = TMode::Window;
  std::string BatchScript;  // --batch SCRIPT, --station SCRIPT or --check SCRIPT
  std::string IniFile;      // --ini FILE; empty: LoaderDefault.ini in the working folder
  std::string RecordFile;   // --record FILE; empty: KESTREL_RECORD, if set
  long Baud = 0;            // --baud N in place of the settings' line 2; 0: not given
  // --port DEVICE, once for each port of a station (a path, sim:..., or a
  // glob looked at again every second); none: the one port of the settings.
  std::vector<std::string> Ports;
  std::string Error;  // what was wrong, for TMode::Usage
};

// Reads the arguments after the program name. Options take their value as
// the next argument or after "=" (--batch=run.sld).
TCommandLine parse_command_line(const std::vector<std::string>& args);
TCommandLine parse_command_line(int argc, char** argv);

// The text of --help.
std::string command_line_help(const std::string& program);

// Whether the window has a display to go to: DISPLAY or WAYLAND_DISPLAY is
// set, or QT_QPA_PLATFORM (`platform`, null when unset) names a platform
// that needs neither (offscreen, vnc, eglfs, ...). Null or empty values
// count as unset.
bool window_display_available(const char* platform, const char* display,
                              const char* waylandDisplay);

// What the windowed program says when there is no display.
std::string no_display_text(const std::string& program);

}  // namespace kestrel
