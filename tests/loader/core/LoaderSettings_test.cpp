// The settings reader: counted-line numbering, every line's rule, and input
// that is malformed, binary or far too large.

#include "loader/core/LoaderSettings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "ScratchFolder.h"

namespace kestrel {
namespace {

class TRecordingTarget : public TSettingsTarget {
 public:
  std::vector<std::string> Calls;
  void ShowMessage(const std::string& text) override { Calls.push_back("message " + text); }
  void SetBaud(long baud) override { Calls.push_back("baud " + std::to_string(baud)); }
  void SetDataBits(int bits) override { Calls.push_back("databits " + std::to_string(bits)); }
  void SetParity(int parity) override { Calls.push_back("parity " + std::to_string(parity)); }
  void SetStopBits(int bits) override { Calls.push_back("stopbits " + std::to_string(bits)); }
  void SetTerminalVisible(bool v) override { Calls.push_back(v ? "visible 1" : "visible 0"); }
  void SetTerminalBackground(int c) override { Calls.push_back("back " + std::to_string(c)); }
  void SetTerminalTextColor(int c) override { Calls.push_back("text " + std::to_string(c)); }
};

struct TReadResult {
  TLoaderSettings Settings;
  std::vector<std::string> Calls;
};

TReadResult read_text(const std::string& text, long commandLineBaud = 0) {
  TReadResult r;
  r.Settings.CommandLineBaud = commandLineBaud;
  TRecordingTarget target;
  std::string copy = text;
  std::FILE* f = copy.empty() ? std::tmpfile() : ::fmemopen(copy.data(), copy.size(), "r");
  read_settings_from(f, r.Settings, target);
  std::fclose(f);
  r.Calls = target.Calls;
  return r;
}

// A file whose counted line `n` is `line`; the lines before it are fillers.
std::string with_line(int n, const std::string& line) {
  std::string text;
  for (int i = 1; i < n; ++i) text += "Filler" + std::to_string(i) + "\n";
  return text + line + "\n";
}

const std::string kBadBaud = "message Error! Baud Rate set in INI file is invalid!";

TEST(SettingsReader, CountsOnlyLinesThatAreNeitherEmptyNorComments) {
  auto r = read_text(";comment\n[Section]\n\nPort=COM10\r\n\r\n   \nBaud=4800\n");
  EXPECT_EQ(r.Settings.ConfiguredComNumber, 10);
  // The blank-only line took number 2, so the baud rate is line 3 (data bits).
  EXPECT_EQ(r.Calls, std::vector<std::string>{});

  r = read_text("Port=2\nNoEqualsHere\n=7\n");
  EXPECT_EQ(r.Calls, std::vector<std::string>{"databits 7"});
}

TEST(SettingsReader, ComNumberStartsAtFirstNonZeroDigit) {
  struct Case {
    const char* line;
    int expected;
  } cases[] = {{"Port=COM2", 2},
               {"Port= 2", 2},
               {"Port=02", 2},
               {"Port=0", 0},
               {"Port=", 0},
               {"Port=COM 10x3", 10},
               {"Port=COM99999999999999999999999", INT_MAX}};
  for (const Case& c : cases)
    EXPECT_EQ(read_text(with_line(1, c.line)).Settings.ConfiguredComNumber, c.expected) << c.line;
}

TEST(SettingsReader, NumericLinesAcceptOnlyTheirValues) {
  struct Case {
    int line;
    const char* value;
    std::vector<std::string> calls;
  } cases[] = {
      {2, "4800", {"baud 4800"}},
      {2, " 115200 baud", {"baud 115200"}},
      {2, "14400", {kBadBaud}},
      {2, "", {kBadBaud}},
      {2, "-38400", {kBadBaud}},
      {2, "99999999999999999999999999", {kBadBaud}},
      {3, "5", {"databits 5"}},
      {3, "9", {}},
      {4, "4", {"parity 4"}},
      {4, "5", {}},
      {5, "2", {"stopbits 2"}},
      {5, "0", {}},
      {20, " 1", {"visible 1"}},
      {20, "abc", {"visible 0"}},
      {20, "2", {}},
      {21, "5", {"back 5"}},
      {21, "-1", {}},
      {22, "0", {"text 0"}},
      {22, "6", {}},
      {23, "100", {}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(read_text(with_line(c.line, std::string("X=") + c.value)).Calls, c.calls)
        << "line " << c.line << " value '" << c.value << "'";
}

TEST(SettingsReader, FastRatesAreThoseLinuxDriversName) {
  for (const char* rate : {"230400", "460800", "500000", "576000", "921600", "1000000", "1500000",
                           "2000000", "3000000", "4000000"})
    EXPECT_EQ(read_text(with_line(2, std::string("Baud=") + rate)).Calls,
              std::vector<std::string>{std::string("baud ") + rate});
  for (const char* rate : {"250000", "3500000", "115201", "4000001", "8000000"})
    EXPECT_EQ(read_text(with_line(2, std::string("Baud=") + rate)).Calls,
              std::vector<std::string>{kBadBaud})
        << rate;
}

TEST(SettingsReader, ARateFromTheCommandLineLeavesLineTwoUnread) {
  for (const char* value : {"9600", "14400"})
    EXPECT_EQ(read_text(with_line(2, std::string("Baud=") + value) + "Bits=7\n", 3000000).Calls,
              std::vector<std::string>{"databits 7"})
        << value;
}

TEST(SettingsReader, InvalidBaudIsReportedAndReadingGoesOn) {
  auto r = read_text("Port=1\nBaud=14400\nBits=7\nParity=2\nStop=2\n");
  EXPECT_EQ(r.Calls, (std::vector<std::string>{kBadBaud, "databits 7", "parity 2", "stopbits 2"}));
}

TEST(SettingsReader, TextLines) {
  auto r = read_text(with_line(6, "Script=  auto load.sld  "));
  EXPECT_EQ(r.Settings.AutoScriptName, "auto load.sld  ");

  for (const char* mode : {"Mode=AUTOMATIC", "Mode = automatic", "Mode=Auto Matic"})
    EXPECT_TRUE(read_text(with_line(8, mode)).Settings.AutomaticMode) << mode;
  for (const char* mode : {"Mode=MANUAL", "Mode=AUTOMATIC2", "Mode AUTOMATIC"})
    EXPECT_FALSE(read_text(with_line(8, mode)).Settings.AutomaticMode) << mode;

  EXPECT_EQ(read_text(with_line(19, "Cmd=BOOT")).Settings.LoaderModeCommand, "BOOT\r");
  EXPECT_EQ(read_text(with_line(19, "Cmd=  ")).Settings.LoaderModeCommand, "LOADR\r");
  EXPECT_EQ(read_text(with_line(24, "Up= UP X")).Settings.UploadCommand, "UP X");
  EXPECT_EQ(read_text(with_line(24, "Up=")).Settings.UploadCommand, "LF");
}

TEST(SettingsReader, PromptCharacters) {
  auto r = read_text(with_line(14, "Normal= $") + "Loader=\n");
  EXPECT_EQ(r.Settings.NormalPrompt, '$');
  EXPECT_EQ(r.Settings.LoaderPrompt, '\0');
  // A file too short to reach them keeps the defaults.
  r = read_text(with_line(13, "X=1"));
  EXPECT_EQ(r.Settings.NormalPrompt, '#');
  EXPECT_EQ(r.Settings.LoaderPrompt, '>');
}

TEST(SettingsReader, LineEndingsAndTheLastLine) {
  std::string text;
  for (int i = 1; i <= 23; ++i) text += "L" + std::to_string(i).append("=\r\n");
  text.replace(text.find("L6=\r\n"), 5, "L6=go.sld\r\n");
  auto r = read_text(text + "Up=LX");  // no line feed at the end
  EXPECT_EQ(r.Settings.AutoScriptName, "go.sld");
  EXPECT_EQ(r.Settings.UploadCommand, "LX");
}

TEST(SettingsReader, StopsAfterTwentyNineCountedLines) {
  // Lines 30 and beyond would repeat the line-1 rules if counting wrapped.
  std::string text;
  for (int i = 1; i <= 40; ++i) text += i == 31 ? "Port=COM7\n" : "X=\n";
  EXPECT_EQ(read_text(text).Settings.ConfiguredComNumber, 0);
}

TEST(SettingsReader, OverlongLinesAndValuesAreTruncated) {
  const std::string huge(5000, 'v');
  EXPECT_EQ(read_text(with_line(6, "S=" + huge)).Settings.AutoScriptName, huge.substr(0, 199));
  EXPECT_EQ(read_text(with_line(24, "U=" + huge)).Settings.UploadCommand, huge.substr(0, 19));
  EXPECT_EQ(read_text(with_line(19, "C=" + huge)).Settings.LoaderModeCommand,
            huge.substr(0, 18) + "\r");
  // An "=" past the 299th character is not part of the line.
  EXPECT_EQ(read_text(with_line(24, std::string(299, 'k') + "=NEW")).Settings.UploadCommand, "LF");
  // The next line is still counted as line 25 and changes nothing.
  auto r = read_text(with_line(1, std::string(100000, 'p') + "Port=3") + "Baud=9600\n");
  EXPECT_EQ(r.Settings.ConfiguredComNumber, 0);
  EXPECT_EQ(r.Calls, std::vector<std::string>{"baud 9600"});
}

TEST(SettingsReader, BinaryContentStaysWithinLimits) {
  // A zero byte ends a line's text.
  EXPECT_EQ(read_text(std::string("Port=\0COM5\n", 11)).Settings.ConfiguredComNumber, 0);
  std::mt19937 random(1234);
  for (int round = 0; round < 300; ++round) {
    std::string text(random() % 6000, '\0');
    for (char& c : text) {
      unsigned v = random() % 256;
      c = char(v < 40 ? '\n' : v < 70 ? '=' : v);
    }
    auto r = read_text(text);
    EXPECT_LE(r.Settings.AutoScriptName.size(), kMaxAutoScriptName);
    EXPECT_LE(r.Settings.UploadCommand.size(), kMaxSettingsValue);
    ASSERT_LE(r.Settings.LoaderModeCommand.size(), kMaxSettingsValue);
    EXPECT_EQ(r.Settings.LoaderModeCommand.back(), '\r');
  }
}

TEST(SettingsReader, FilesThatCannotBeReadChangeNothing) {
  namespace fs = std::filesystem;
  const test::TScratch dir;
  TRecordingTarget target;
  TLoaderSettings settings;
  settings.UploadCommand = "KEEP";

  EXPECT_FALSE(read_settings_file((dir / "missing.ini").c_str(), settings, target));
  EXPECT_FALSE(read_settings_file(dir.Path().c_str(), settings, target));
  // A FIFO would block start-up until someone writes to it.
  ASSERT_EQ(::mkfifo((dir / "fifo.ini").c_str(), 0600), 0);
  EXPECT_FALSE(read_settings_file((dir / "fifo.ini").c_str(), settings, target));
  EXPECT_EQ(settings.UploadCommand, "KEEP");
  EXPECT_TRUE(target.Calls.empty());

  {
    std::ofstream big(dir / "big.ini", std::ios::binary);
    big << "Port=4\n" << std::string(8 * 1024 * 1024, 'x') << "\nBits=7\n";
  }
  EXPECT_TRUE(read_settings_file((dir / "big.ini").c_str(), settings, target));
  EXPECT_EQ(settings.ConfiguredComNumber, 4);
  EXPECT_EQ(target.Calls, std::vector<std::string>{"databits 7"});
}

TEST(SettingsReader, DemoFileReadsAsItsCommentsSay) {
  const auto demo = std::filesystem::path(KESTREL_SOURCE_DIR) / "demo" / "LoaderDefault.ini";
  TRecordingTarget target;
  TLoaderSettings s;
  ASSERT_TRUE(read_settings_file(demo.c_str(), s, target));
  EXPECT_EQ(s.ConfiguredComNumber, 1);
  EXPECT_EQ(s.AutoScriptName, "demo.sld");
  EXPECT_FALSE(s.AutomaticMode);
  EXPECT_EQ(s.NormalPrompt, '#');
  EXPECT_EQ(s.LoaderPrompt, '>');
  EXPECT_EQ(s.LoaderModeCommand, "LOADR\r");
  EXPECT_EQ(s.UploadCommand, "LF");
  EXPECT_EQ(target.Calls,
            (std::vector<std::string>{"baud 38400", "databits 8", "parity 0", "stopbits 1",
                                      "visible 1", "back 0", "text 0"}));
}

TEST(SettingsReader, AtolReadsLikeTheCLibraryWithoutOverflow) {
  EXPECT_EQ(settings_atol("  -12abc"), -12);
  EXPECT_EQ(settings_atol("\t+7"), 7);
  EXPECT_EQ(settings_atol("abc"), 0);
  EXPECT_EQ(settings_atol("99999999999999999999999"), LONG_MAX);
  EXPECT_EQ(settings_atol("-99999999999999999999999"), LONG_MIN);
}

}  // namespace
}  // namespace kestrel
