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

TEST(CommandLine, CheckWarnsAboutSettingsLinesOutOfPlace) {
  TScratch folder;
  WriteFile(folder / "run.sld", "_DY 1\n");
  std::string out;
  // The example file itself is in order.
  const std::string example = std::string(KESTREL_SOURCE_DIR) + "/demo/LoaderDefault.ini";
  EXPECT_EQ(RunKestrel(folder, {}, {}, {"--check", "run.sld", "--ini", example}, out), 0) << out;
  EXPECT_EQ(out.find("settings:"), std::string::npos) << out;

  // One line too many after the baud rate shifts every later value; a word
  // in other letter case is the same word.
  std::string shifted = ReadFile(example);
  const std::string baud = "BaudRate=38400\n";
  shifted.replace(shifted.find(baud), baud.size(), "baudrate = 38400\nExtra=1\n");
  WriteFile(folder / "shifted.ini", shifted);
  int extraLine = 1;
  for (size_t i = 0; i < shifted.find("Extra="); ++i) extraLine += shifted[i] == '\n';
  EXPECT_EQ(RunKestrel(folder, {}, {}, {"--check", "run.sld", "--ini", "shifted.ini"}, out), 1);
  EXPECT_EQ(out.find("\"baudrate\""), std::string::npos) << out;
  EXPECT_NE(out.find("settings: shifted.ini:" + std::to_string(extraLine) +
                     ": \"Extra\" where the example file has \"DataBits\": by its place it is "
                     "setting 3 (the data bits)\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find(": \"LoaderCommand\" where the example file has \"TerminalVisible\": by its "
                     "place it is setting 20 (terminal pane shown)\n"),
            std::string::npos)
      << out;
}

}  // namespace
}  // namespace kestrel::e2e
