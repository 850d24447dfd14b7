// The program started from a shell: without a display it says what to do
// instead of aborting, it tells its version, and --check points at settings
// lines that sit out of their place.

#include <gtest/gtest.h>

#include "E2eSupport.h"

namespace kestrel::e2e {
namespace {

// Runs kestrel in `folder` without the variables `unset`; collects stdout.
int RunKestrel(const TScratch& folder, const std::vector<std::string>& unset,
               const std::map<std::string, std::string>& env, const std::vector<std::string>& args,
               std::string& out) {
  std::vector<std::string> all;
  for (const std::string& name : unset) all.insert(all.end(), {"-u", name});
  all.push_back(BinPath("kestrel").string());
  all.insert(all.end(), args.begin(), args.end());
  TChild child("/usr/bin/env", all, folder.Path(), env, folder / "stderr.txt", true);
  out.clear();
  for (std::string line; child.ReadStdoutLine(line);) out += line + "\n";
  return child.Wait(std::chrono::seconds(60));
}

TEST(CommandLine, WithoutADisplayTheWindowSaysWhatToDoAndVersionAnswers) {
  TScratch folder;
  std::string out;
  const std::vector<std::string> noDisplay = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};
  // No platform named, or one that itself needs a display.
  struct TCase {
    std::vector<std::string> Unset;
    std::map<std::string, std::string> Env;
  };
  for (const TCase& c : {TCase{noDisplay, {}},
                         TCase{{"DISPLAY", "WAYLAND_DISPLAY"}, {{"QT_QPA_PLATFORM", "xcb"}}}}) {
    EXPECT_EQ(RunKestrel(folder, c.Unset, c.Env, {}, out), 64);
    const std::string err = ReadFile(folder / "stderr.txt");
    EXPECT_NE(err.find("kestrel: no display found"), std::string::npos) << err;
    EXPECT_NE(err.find("'kestrel --batch SCRIPT' runs a script without one"), std::string::npos)
        << err;
  }

  EXPECT_EQ(RunKestrel(folder, noDisplay, {}, {"--version"}, out), 0);
  EXPECT_EQ(out, "kestrel 1.04\n");
}

// The settings file is positional: its words are free, but the example
// file's word for another line shows a line missing or added above it.
TEST(CommandLine, CheckTellsShiftedSettingsLinesFromWordsOfTheirOwn) {
  TScratch folder;
  WriteFile(folder / "run.sld", "_DY 1\n");
  const std::string example = ReadFile(std::string(KESTREL_SOURCE_DIR) + "/demo/LoaderDefault.ini");
  const auto check = [&](const std::string& settings, std::string& out) {
    WriteFile(folder / "settings.ini", settings);
    return RunKestrel(folder, {}, {}, {"--check", "run.sld", "--ini", "settings.ini"}, out);
  };
  const auto last_line = [](const std::string& out) {
    const size_t from = out.rfind('\n', out.size() - 2);
    return out.substr(from == std::string::npos ? 0 : from + 1);
  };
  const auto replaced = [&](const std::string& what, const std::string& with) {
    std::string text = example;
    text.replace(text.find(what), what.size(), with);
    return text;
  };
  std::string out;
  EXPECT_EQ(check(example, out), 0) << out;
  EXPECT_EQ(out.find("settings:"), std::string::npos) << out;
  EXPECT_EQ(last_line(out), "run.sld: would run clean\n") << out;

  // Words of a file from elsewhere: one note at most, and the check passes.
  std::string own = example;
  for (const char* word : {"ComPort=", "BaudRate=", "Parity=", "Mode=", "UploadCommand="})
    own.replace(own.find(word), std::string(word).size(), std::string("My") + word);
  EXPECT_EQ(check(own, out), 0) << out;
  size_t notes = 0;
  for (size_t at = out.find("settings:"); at != std::string::npos;
       at = out.find("settings:", at + 1))
    ++notes;
  EXPECT_LE(notes, 1u) << out;
  EXPECT_EQ(last_line(out), "run.sld: would run clean\n") << out;

  // A line added: told once, with what the run then takes.
  const std::string added = replaced("BaudRate=38400\n", "baudrate = 38400\nExtra=1\n");
  int fileLine = 1;
  for (size_t i = 0; i < added.find("DataBits="); ++i) fileLine += added[i] == '\n';
  EXPECT_EQ(check(added, out), 1) << out;
  EXPECT_NE(out.find("settings: settings.ini:" + std::to_string(fileLine) +
                     ": line 4 holds `DataBits`, the example file's word for line 3: a line "
                     "seems to be missing or added above it; the run takes its value `8` as the "
                     "parity\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("`Parity`"), std::string::npos) << out;
  EXPECT_EQ(last_line(out), "run.sld: the script is sound, but the settings have 1 problem\n")
      << out;

  // A line removed.
  EXPECT_EQ(check(replaced("ComPort=COM1\n", ""), out), 1) << out;
  EXPECT_NE(out.find(": line 1 holds `BaudRate`, the example file's word for line 2: a line seems "
                     "to be missing or added above it; the run takes its value `38400` as the "
                     "port to try first\n"),
            std::string::npos)
      << out;
  // Line 2 then holds the data bits: a baud rate of 8.
  EXPECT_NE(out.find("settings: Error! Baud Rate set in INI file is invalid!\n"), std::string::npos)
      << out;
  EXPECT_EQ(last_line(out), "run.sld: the script is sound, but the settings have 2 problems\n")
      << out;
}

}  // namespace
}  // namespace kestrel::e2e
