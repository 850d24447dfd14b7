// kestrel --check: what it prints for a good script is what a run then
// sends, it opens no port, and each kind of broken line is reported at its
// line number with exit status 1.

#include <gtest/gtest.h>

#include <regex>

#include "E2eSupport.h"

namespace kestrel::e2e {
namespace {

// Runs the check in the run's folder, COM1 on a simulated unit that leaves
// a transcript behind if anything opens it.
int check(const TBatchRun& run, std::string& out, const std::vector<std::string>& extra = {}) {
  std::vector<std::string> args = {"--check", "run.sld"};
  args.insert(args.end(), extra.begin(), extra.end());
  TChild child(BinPath("kestrel"), args, run.Folder.Path(),
               {{"KESTREL_COM1", "sim:transcript=opened.txt"},
                {"KESTREL_COM2", "/nonexistent/kestrel-e2e-com2"}},
               run.Folder / "check-stderr.txt", true);
  out.clear();
  for (std::string line; child.ReadStdoutLine(line);) out += line + "\n";
  return child.Wait();
}

// The texts between `sends "` and `"`, with the check's escapes undone.
std::vector<std::string> sent_lines(const std::string& out) {
  std::vector<std::string> lines;
  const std::regex sends(R"re(sends "((?:[^"\\]|\\.)*)")re");
  for (std::sregex_iterator it(out.begin(), out.end(), sends), end; it != end; ++it) {
    const std::string escaped = (*it)[1];
    std::string text;
    for (size_t i = 0; i < escaped.size(); ++i) {
      if (escaped[i] != '\\' || i + 1 == escaped.size()) {
        text += escaped[i];
        continue;
      }
      const char c = escaped[++i];
      text += c == 'r' ? '\r' : c == 'n' ? '\n' : c;
    }
    lines.push_back(text);
  }
  return lines;
}

TEST(ScriptCheck, PrintsWhatTheRunThenSendsAndOpensNoPort) {
  TBatchRun run(
      "; two files, one versioned by its date\n"
      "  _TC \"LOADR^M\"\r\n"
      "_LC \"LOAD\"\n"
      "_LF a.bin\n_LA 8000\n_LV 1.0a\n_LD\n"
      "_LF b.bin\n_LA 1F0000\n_LV date\n_LD",
      TBatchRun::Sim("upload-cmd=LOAD"));
  WriteFile(run.Folder / "a.bin", Pattern(4500, 7));
  WriteFile(run.Folder / "b.bin", Pattern(10, 8));

  std::string out;
  EXPECT_EQ(check(run, out), 0) << out;
  EXPECT_FALSE(fs::exists(run.Folder / "opened.txt"));
  EXPECT_NE(out.find("2: _TC \"LOADR^M\"\n"), std::string::npos) << out;
  EXPECT_NE(out.find("a.bin: 4500 bytes, checksum "), std::string::npos) << out;
  const std::vector<std::string> lines = sent_lines(out);
  ASSERT_EQ(lines.size(), 2u) << out;
  EXPECT_EQ(lines[0].rfind("LOAD 8000 4500 ", 0), 0u) << lines[0];
  EXPECT_EQ(lines[1].find("DATE"), std::string::npos) << lines[1];

  ASSERT_EQ(run.Run(), 0) << run.Err();
  const std::string received = run.ReceivedByUnit();
  for (const std::string& line : lines) EXPECT_NE(received.find(line), std::string::npos) << line;
}

TEST(ScriptCheck, ReportsEachBrokenLineByNumber) {
  const std::string longWord(320, 'x');
  TBatchRun run(
      "_LF missing.bin\n"          // 1: missing file
      "_LA 8000\n"                 // 2: does nothing, no file named
      "_LV 1\n"                    // 3: does nothing
      "_LD\n"                      // 4: does nothing
      "_XY \"what\"\n"             // 5: unknown command
      "_SC no quotes\n"            // 6: quoted command without quotes
      "_SC \"LOADR\" ; comment\n"  // 7: the last character is not a quote
      "_CE \"text command\n"       // 8: compare without its closing quote
      "_LF " +
          longWord +
          "\n"                                     // 9: over-long line (and file name)
          "_LF good.bin\n_LA 8000\n_LV 1\n_LD\n",  // 10-13 clean
      TBatchRun::Sim());
  WriteFile(run.Folder / "good.bin", "abc");
  std::string out;
  EXPECT_EQ(check(run, out), 1) << out;
  for (int line : {1, 2, 3, 4, 5, 6, 7, 8, 9})
    EXPECT_NE(out.find("run.sld:" + std::to_string(line) + ": "), std::string::npos)
        << "line " << line << "\n"
        << out;
  for (int line : {10, 11, 12, 13})
    EXPECT_EQ(out.find("run.sld:" + std::to_string(line) + ": "), std::string::npos) << out;
  EXPECT_NE(out.find("missing.bin (no such file)"), std::string::npos) << out;
  EXPECT_NE(out.find("run.sld:9: the line is 324 characters long, more than the 199 a script "
                     "line holds: the line is not run, and "),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("sends \"LF 8000 3 126 1\\r\""), std::string::npos) << out;

  // More command lines than the runner has slots.
  std::string many;
  for (int i = 0; i < 301; ++i) many += "_DY 0\n";
  WriteFile(run.Folder / "run.sld", many);
  EXPECT_EQ(check(run, out), 1);
  EXPECT_NE(out.find("run.sld:301: "), std::string::npos) << out.substr(out.size() - 300);
  EXPECT_EQ(out.find("run.sld:300: "), std::string::npos);

  // A script that is not there, and a settings file that is not there.
  WriteFile(run.Folder / "run.sld", "_DY 1\n");
  EXPECT_EQ(check(run, out), 0) << out;
  EXPECT_EQ(check(run, out, {"--ini", "nowhere.ini"}), 1) << out;
  // A rate no port takes is a problem of the settings, unless --baud stands
  // in for it.
  WriteFile(run.Folder / "LoaderDefault.ini", SettingsText({{2, "14400"}}));
  EXPECT_EQ(check(run, out), 1) << out;
  EXPECT_EQ(check(run, out, {"--baud", "460800"}), 0) << out;
  fs::remove(run.Folder / "run.sld");
  EXPECT_EQ(check(run, out), 1) << out;
}

}  // namespace
}  // namespace kestrel::e2e

namespace kestrel::e2e {
namespace {

// What the run would send or misread, and scripts that would do nothing.
TEST(ScriptCheck, WarnsAboutWhatTheRunWouldMisread) {
  TBatchRun run(std::string("_LF a.bin\n"      // 1
                            "_LA 8000 ; at\n"  // 2: a comment goes into the address
                            "_LV 1\n_LD\n"     // 3, 4: so the upload line is refused
                            "_DY abc\n"        // 5: not a number
                            "_LP 2x\n"         // 6: digits and more
                            "_LF a.bin\n_LA 9000\n_LF b.bin\n_LD\n"  // 7-10: chain broken by _LF
                            "_LF a.bin\n_LA 80") +
                    std::string(1, '\0') + "00\n_LV 1 0\n_LD\n",  // 11-14: NUL, version blank
                TBatchRun::Sim());
  WriteFile(run.Folder / "a.bin", "abc");
  WriteFile(run.Folder / "b.bin", "abcd");
  std::string out;
  EXPECT_EQ(check(run, out), 1) << out;
  const auto said = [&](int line, const std::string& text) {
    return out.find("run.sld:" + std::to_string(line) + ": " + text) != std::string::npos;
  };
  EXPECT_TRUE(said(2, "the load address is \"8000 ; at\"")) << out;
  EXPECT_TRUE(said(4, "the upload line for " + (run.Folder / "a.bin").string() +
                          " is not sent: the load address \"8000 ; at\" holds a blank"))
      << out;
  EXPECT_TRUE(said(5, "_DY reads \"abc\" as the number 0")) << out;
  EXPECT_TRUE(said(6, "_LP reads \"2x\" as the number 2")) << out;
  EXPECT_TRUE(said(10, "_LD does nothing")) << out;
  EXPECT_TRUE(said(12, "a NUL byte cuts this line")) << out;
  EXPECT_NE(out.find("12: _LA 80\n"), std::string::npos) << out;
  EXPECT_TRUE(said(13, "the version is \"1 0\"")) << out;
  EXPECT_NE(out.find("sends \"LF 80 3 126 1 0\\r\""), std::string::npos) << out;

  // An address cut to its field would be another address: the file is not
  // loaded.
  WriteFile(run.Folder / "run.sld", "_LF a.bin\n_LA 9" + std::string(51, '0') + "\n_LV 1\n_LD\n");
  EXPECT_EQ(check(run, out), 1);
  EXPECT_TRUE(said(2,
                   "the load address is 52 characters long, more than the 49 its field holds: "
                   "the line is not run, and " +
                       (run.Folder / "a.bin").string() + " is not loaded"))
      << out;
  EXPECT_EQ(out.find("sends"), std::string::npos) << out;

  // Lines that end in carriage returns alone read as one comment line.
  WriteFile(run.Folder / "run.sld", "; old editor\r_SC \"A\"\r_SC \"B\"\r");
  EXPECT_EQ(check(run, out), 1);
  EXPECT_NE(out.find("no command line: its lines end in carriage returns alone"), std::string::npos)
      << out;
}

}  // namespace
}  // namespace kestrel::e2e
