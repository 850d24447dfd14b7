#include "loader/core/LoaderSettings.h"

#include <climits>
#include <memory>
#include <optional>
#include <string_view>

#include "loader/core/ScriptFiles.h"

namespace kestrel {

namespace {

constexpr const char* kInvalidBaudText = "Error! Baud Rate set in INI file is invalid!";

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}
bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

std::string_view skip_blanks(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && is_blank(s[i])) ++i;
  return s.substr(i);
}

// The first digit 1..9 starts the number; everything before it (letters,
// blanks, zeros) is skipped, so "COM2", " 2" and "02" all give 2.
std::optional<int> read_com_number(std::string_view value) {
  size_t i = 0;
  while (i < value.size() && !(value[i] >= '1' && value[i] <= '9')) ++i;
  if (i == value.size()) return std::nullopt;
  long n = 0;
  for (; i < value.size() && is_digit(value[i]); ++i) {
    n = n * 10 + (value[i] - '0');
    if (n > INT_MAX) n = INT_MAX;
  }
  return int(n);
}

// The classic rates, and above them the ones Linux serial drivers name.
bool is_accepted_baud(long baud) {
  switch (baud) {
    case 1200:
    case 2400:
    case 4800:
    case 9600:
    case 19200:
    case 38400:
    case 57600:
    case 115200:
    case 230400:
    case 460800:
    case 500000:
    case 576000:
    case 921600:
    case 1000000:
    case 1500000:
    case 2000000:
    case 3000000:
    case 4000000:
      return true;
    default:
      return false;
  }
}

// Upper-cases letters and drops blanks anywhere, so "auto matic" matches.
std::string fold_mode_word(std::string_view value) {
  std::string out;
  for (char c : value) {
    if (is_blank(c)) continue;
    out.push_back(c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c);
  }
  return out;
}

char prompt_character(std::string_view value) {
  std::string_view rest = skip_blanks(value);
  return rest.empty() ? '\0' : rest.front();
}

// The fixed work area the short values are copied into.
std::string_view work_area(std::string_view value, size_t room = kMaxSettingsValue) {
  return value.substr(0, room);
}

struct TReaderState {
  TLoaderSettings& Settings;
  TSettingsTarget& Target;
  std::optional<char> NormalPrompt;
  std::optional<char> LoaderPrompt;
};

void apply_line(int number, std::string_view value, TReaderState& st) {
  TLoaderSettings& s = st.Settings;
  TSettingsTarget& t = st.Target;
  switch (number) {
    case 1:
      if (auto n = read_com_number(value)) s.ConfiguredComNumber = *n;
      break;
    case 2: {
      if (s.CommandLineBaud != 0) break;
      long baud = settings_atol(std::string(work_area(value)));
      if (is_accepted_baud(baud))
        t.SetBaud(baud);
      else
        t.ShowMessage(kInvalidBaudText);
      break;
    }
    case 3: {
      long bits = settings_atol(std::string(work_area(value)));
      if (bits >= 5 && bits <= 8) t.SetDataBits(int(bits));
      break;
    }
    case 4: {
      long parity = settings_atol(std::string(work_area(value)));
      if (parity >= 0 && parity <= 4) t.SetParity(int(parity));
      break;
    }
    case 5: {
      long bits = settings_atol(std::string(work_area(value)));
      if (bits == 1 || bits == 2) t.SetStopBits(int(bits));
      break;
    }
    case 6:
      s.AutoScriptName = std::string(skip_blanks(value).substr(0, kMaxAutoScriptName));
      break;
    case 8:
      if (fold_mode_word(work_area(value)) == "AUTOMATIC") s.AutomaticMode = true;
      break;
    case 14:
      st.NormalPrompt = prompt_character(value);
      break;
    case 15:
      st.LoaderPrompt = prompt_character(value);
      break;
    case 19: {
      // One place of the work area is kept for the carriage return.
      std::string_view command = skip_blanks(value).substr(0, kMaxSettingsValue - 1);
      if (!command.empty()) s.LoaderModeCommand = std::string(command) + '\r';
      break;
    }
    case 20: {
      long shown = settings_atol(std::string(value));
      if (shown == 0 || shown == 1) t.SetTerminalVisible(shown == 1);
      break;
    }
    case 21: {
      long choice = settings_atol(std::string(value));
      if (choice >= 0 && choice <= 5) t.SetTerminalBackground(int(choice));
      break;
    }
    case 22: {
      long choice = settings_atol(std::string(value));
      if (choice >= 0 && choice <= 5) t.SetTerminalTextColor(int(choice));
      break;
    }
    case 24: {
      std::string_view command = skip_blanks(value).substr(0, kMaxSettingsValue);
      if (!command.empty()) s.UploadCommand = std::string(command);
      break;
    }
    default:  // 7, 9 to 13, 16 to 18, 23 (read by the splash), 25 to 29
      break;
  }
}

// The reminder words of the example file demo/LoaderDefault.ini and what
// each line sets, by counted line.
struct TSettingsLine {
  const char* Label;
  const char* Meaning;
};
constexpr TSettingsLine kExampleLines[] = {
    {"ComPort", "the port to try first"},
    {"BaudRate", "the baud rate"},
    {"DataBits", "the data bits"},
    {"Parity", "the parity"},
    {"StopBits", "the stop bits"},
    {"AutoScript", "the automatic script"},
    {"ScriptFolder", "not used"},
    {"Mode", "the automatic mode"},
    {"Reserved9", "not used"},
    {"Reserved10", "not used"},
    {"Reserved11", "not used"},
    {"Reserved12", "not used"},
    {"Reserved13", "not used"},
    {"NormalPrompt", "the normal prompt"},
    {"LoaderPrompt", "the loader prompt"},
    {"Reserved16", "not used"},
    {"Reserved17", "not used"},
    {"Reserved18", "not used"},
    {"LoaderCommand", "the loader-mode command"},
    {"TerminalVisible", "terminal pane shown"},
    {"TerminalBackground", "the terminal background"},
    {"TerminalTextColor", "the terminal text colour"},
    {"Brand", "the brand"},
    {"UploadCommand", "the upload command word"},
};
constexpr int kExampleLineCount = int(sizeof kExampleLines / sizeof kExampleLines[0]);

std::string_view trim_blanks(std::string_view s) {
  s = skip_blanks(s);
  while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
  return s;
}

bool same_word(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

}  // namespace

const char* example_settings_label(int number) {
  return number >= 1 && number <= kExampleLineCount ? kExampleLines[number - 1].Label : nullptr;
}

const char* example_settings_meaning(int number) {
  return number >= 1 && number <= kExampleLineCount ? kExampleLines[number - 1].Meaning : nullptr;
}

int example_settings_line_of(const std::string& label) {
  const std::string_view word = trim_blanks(label);
  for (int n = 1; n <= kExampleLineCount; ++n)
    if (same_word(word, kExampleLines[n - 1].Label)) return n;
  return 0;
}

long settings_atol(const std::string& text) {
  size_t i = 0;
  auto space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  while (i < text.size() && space(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long n = 0;
  for (; i < text.size() && is_digit(text[i]); ++i) {
    int d = text[i] - '0';
    if (n > (LONG_MAX - d) / 10) return negative ? LONG_MIN : LONG_MAX;
    n = n * 10 + d;
  }
  return negative ? -n : n;
}

void read_settings_from(std::FILE* file, TLoaderSettings& settings, TSettingsTarget& target) {
  TReaderState st{settings, target, std::nullopt, std::nullopt};
  int counter = 1;
  int fileLine = 1;
  std::string line;
  line.reserve(kMaxSettingsLine + 1);
  bool clipped = false;  // characters were dropped from the current line

  // Returns false once the last line of interest has been handled.
  auto end_line = [&](bool at_line_feed) {
    if (at_line_feed && !clipped && !line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > kMaxSettingsLine) line.resize(kMaxSettingsLine);
    bool counted = !line.empty() && line.front() != ';' && line.front() != '[';
    if (counted) {
      size_t eq = line.find('=');
      target.CountedLine(
          counter, fileLine, line.substr(0, eq),
          eq == std::string::npos ? std::nullopt : std::optional<std::string>(line.substr(eq + 1)));
      if (eq != std::string::npos) apply_line(counter, std::string_view(line).substr(eq + 1), st);
      ++counter;
    }
    line.clear();
    clipped = false;
    return counter <= kLastSettingsLine;
  };

  bool cut_at_nul = false;
  for (;;) {
    int c = std::getc(file);
    if (c == EOF) {
      end_line(false);
      break;
    }
    if (c == '\n') {
      cut_at_nul = false;
      if (!end_line(true)) break;
      ++fileLine;
      continue;
    }
    // Lines are text: a zero byte ends the line's content.
    if (c == 0) cut_at_nul = true;
    if (cut_at_nul) {
      clipped = true;
      continue;
    }
    // One character beyond the limit is kept so that a carriage return
    // ending a full-length line can still be recognised and dropped.
    if (line.size() <= kMaxSettingsLine)
      line.push_back(char(c));
    else
      clipped = true;
  }

  if (st.NormalPrompt) settings.NormalPrompt = *st.NormalPrompt;
  if (st.LoaderPrompt) settings.LoaderPrompt = *st.LoaderPrompt;
}

bool read_settings_file(const char* path, TLoaderSettings& settings, TSettingsTarget& target) {
  // Only a regular file is read: a FIFO or a device under the settings name
  // would block start-up or never end.
  const TFilePtr file = open_file_for_read(path);
  if (!file) return false;
  read_settings_from(file.get(), settings, target);
  return true;
}

}  // namespace kestrel
