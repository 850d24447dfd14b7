#pragma once
// The settings file "LoaderDefault.ini": a positional file read once at
// start-up. What a line sets depends on its number among the counted lines,
// not on the label before its "=".

#include <cstdio>
#include <optional>
#include <string>

namespace kestrel {

inline constexpr const char* kSettingsFileName = "LoaderDefault.ini";
// The highest port number a port can be given.
inline constexpr int kMaxComNumber = 65535;

// Program-wide values the settings file may change; they keep these
// defaults when the file is missing or silent about them.
struct TLoaderSettings {
  int ConfiguredComNumber = 0;  // 0: none configured
  std::string AutoScriptName;   // at most kMaxAutoScriptName characters
  bool AutomaticMode = false;
  char NormalPrompt = '#';
  char LoaderPrompt = '>';
  std::string LoaderModeCommand = "LOADR\r";
  std::string UploadCommand = "LF";
  // A rate from the command line (--baud) stands in for line 2, which is
  // then not read; 0 when none was given.
  long CommandLineBaud = 0;
};

// Limits of the reader's buffers. Longer input is truncated, never overrun.
inline constexpr size_t kMaxSettingsLine = 299;
inline constexpr size_t kMaxSettingsValue = 19;
inline constexpr size_t kMaxAutoScriptName = 199;
inline constexpr int kLastSettingsLine = 29;

// Where lines that act on the port, the message box and the terminal pane
// deliver their effect, in file order while reading goes on.
class TSettingsTarget {
 public:
  virtual ~TSettingsTarget() = default;
  virtual void ShowMessage(const std::string& text) = 0;
  virtual void SetBaud(long baud) = 0;  // one of the accepted rates, or --baud's
  virtual void SetDataBits(int bits) = 0;
  virtual void SetParity(int parity) = 0;  // 0 none, 1 odd, 2 even, 3 mark, 4 space
  virtual void SetStopBits(int bits) = 0;
  virtual void SetTerminalVisible(bool visible) = 0;
  virtual void SetTerminalBackground(int choice) = 0;  // 0 default, 1 black .. 5 white
  virtual void SetTerminalTextColor(int choice) = 0;   // same indices
  // Every counted line as it is read: its number among the counted lines,
  // its line number in the file (from 1), its reminder word, the text
  // before the first "=" (the whole line when it has none), and its value
  // (nothing without an "=").
  virtual void CountedLine(int /*number*/, int /*fileLine*/, const std::string& /*label*/,
                           const std::optional<std::string>& /*value*/) {}
};

// A target that acts on no line: a reader that wants only the settings
// themselves uses it as it is, one that acts on some lines overrides them.
class TQuietSettingsTarget : public TSettingsTarget {
 public:
  void ShowMessage(const std::string&) override {}
  void SetBaud(long) override {}
  void SetDataBits(int) override {}
  void SetParity(int) override {}
  void SetStopBits(int) override {}
  void SetTerminalVisible(bool) override {}
  void SetTerminalBackground(int) override {}
  void SetTerminalTextColor(int) override {}
};

// Reads settings from an open stream. Binary or malformed content is read
// by the same rules and never overruns anything.
void read_settings_from(std::FILE* file, TLoaderSettings& settings, TSettingsTarget& target);

// Opens `path` and reads it; returns false, changing nothing, when the file
// cannot be opened.
bool read_settings_file(const char* path, TLoaderSettings& settings, TSettingsTarget& target);

// The reminder word the example settings file writes before the "=" of
// counted line `number`, or nullptr for a line it does not have.
const char* example_settings_label(int number);

// What counted line `number` sets, in words ("the baud rate"), or nullptr
// for a line the example file does not have.
const char* example_settings_meaning(int number);

// The counted line whose reminder word in the example file is `label`
// (blanks around it and letter case aside); 0 when no line has it.
int example_settings_line_of(const std::string& label);

// Reads a decimal number the way the C library's atol does (leading white
// space, optional sign, digits up to the first non-digit; 0 when there is no
// number), saturating instead of overflowing.
long settings_atol(const std::string& text);

}  // namespace kestrel
