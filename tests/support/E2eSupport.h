#pragma once
// Running the built programs for end-to-end tests: Kestrel unattended in a
// scratch folder of its own, and the stand-alone simulated unit on a
// pseudo-terminal. Children write stderr into a file of the folder, so that
// many can run at once without anyone draining pipes.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ScratchFolder.h"
#include "SettingsText.h"
#include "TestPattern.h"

extern char** environ;

namespace kestrel::e2e {

namespace fs = std::filesystem;

inline fs::path BinPath(const std::string& program) {
  if (const char* dir = std::getenv("KESTREL_TEST_BIN"); dir && *dir)
    return fs::path(dir) / program;
  return fs::read_symlink("/proc/self/exe").parent_path() / program;
}

using test::Pattern;
using test::ReadFile;
using test::SettingsText;
using test::TScratch;
using test::WriteFile;

// A child process started in `folder` with `args` and extra environment;
// stdout may be read through a pipe, stderr goes to `stderrFile`.
class TChild {
 public:
  TChild(const fs::path& program, const std::vector<std::string>& args, const fs::path& folder,
         const std::map<std::string, std::string>& env, const fs::path& stderrFile,
         bool pipeStdout = false) {
    std::vector<std::string> envText;
    for (char** e = environ; *e; ++e) {
      const std::string entry = *e;
      if (!env.count(entry.substr(0, entry.find('=')))) envText.push_back(entry);
    }
    for (const auto& [key, value] : env) envText.push_back(key + "=" + value);
    std::vector<char*> envp;
    for (std::string& e : envText) envp.push_back(e.data());
    envp.push_back(nullptr);

    std::vector<std::string> all = {program.string()};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);

    int out[2] = {-1, -1};
    if (pipeStdout && ::pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (pipeStdout)
      posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    else
      posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, stderrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    if (posix_spawn(&FPid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) FPid = -1;
    posix_spawn_file_actions_destroy(&actions);
    if (pipeStdout) {
      ::close(out[1]);
      FStdout = ::fdopen(out[0], "r");
    }
  }
  ~TChild() {
    if (FPid > 0) {
      ::kill(FPid, SIGKILL);
      ::waitpid(FPid, nullptr, 0);
    }
    if (FStdout) std::fclose(FStdout);
  }
  TChild(const TChild&) = delete;
  TChild& operator=(const TChild&) = delete;

  bool Started() const { return FPid > 0; }

  // The next line of stdout without its line feed; false at the end.
  bool ReadStdoutLine(std::string& line) {
    line.clear();
    if (!FStdout) return false;
    for (int c; (c = std::fgetc(FStdout)) != EOF;) {
      if (c == '\n') return true;
      line += char(c);
    }
    return !line.empty();
  }

  std::string StdoutLine() {
    char line[512] = {};
    if (!FStdout || !std::fgets(line, sizeof line, FStdout)) return {};
    std::string s = line;
    if (!s.empty() && s.back() == '\n') s.pop_back();
    return s;
  }

  // The exit status; -1 when it had to be killed after `limit` (a safety
  // net, never a measurement) or died of a signal.
  int Wait(std::chrono::seconds limit = std::chrono::seconds(240)) {
    if (FPid <= 0) return -1;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    for (;;) {
      const pid_t done = ::waitpid(FPid, &status, WNOHANG);
      if (done == FPid) break;
      if (std::chrono::steady_clock::now() >= deadline) {
        ::kill(FPid, SIGKILL);
        ::waitpid(FPid, &status, 0);
        FPid = -1;
        return -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    FPid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  void Signal(int sig) {
    if (FPid > 0) ::kill(FPid, sig);
  }

 private:
  pid_t FPid = -1;
  std::FILE* FStdout = nullptr;
};

// One unattended Kestrel run in a scratch folder that holds its script,
// settings and files; the unit's images land in <folder>/flash.
class TBatchRun {
 public:
  // `com1`: the device of COM1 ("sim:..." or a path). COM2 never exists.
  TBatchRun(const std::string& script, const std::string& com1,
            const std::vector<std::string>& extraArgs = {}) {
    WriteFile(Folder / "run.sld", script);
    WriteFile(Folder / "LoaderDefault.ini", SettingsText());
    FCom1 = com1;
    FArgs = {"--batch", "run.sld"};
    FArgs.insert(FArgs.end(), extraArgs.begin(), extraArgs.end());
  }
  // The simulated unit in process, storing images in <folder>/flash.
  static std::string Sim(const std::string& options = "") {
    std::string text = "sim:dir=flash;flash-ms=2;transcript=unit.txt";
    if (!options.empty()) text += ";" + options;
    return text;
  }

  void Start() {
    std::map<std::string, std::string> env = Env;
    env["KESTREL_COM1"] = FCom1;
    env["KESTREL_COM2"] = "/nonexistent/kestrel-e2e-com2";
    FChild = std::make_unique<TChild>(BinPath("kestrel"), FArgs, Folder.Path(), env,
                                      Folder / "stderr.txt");
  }
  int Finish() {
    if (!FChild) return FStatus;
    FStatus = FChild->Wait();
    FChild.reset();
    FErr = ReadFile(Folder / "stderr.txt");
    return FStatus;
  }
  int Run() {
    Start();
    return Finish();
  }
  void Signal(int sig) {
    if (FChild) FChild->Signal(sig);
  }
  // Runs as another mode than --batch ("--station").
  void ModeArgument(const std::string& option) { FArgs[0] = option; }
  // Runs another script than run.sld, named as the command line names it.
  void ScriptArgument(const std::string& name) { FArgs[1] = name; }
  // Waits until stderr holds `text`; false after `seconds`.
  bool AwaitSaid(const std::string& text, int seconds = 60) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (ReadFile(Folder / "stderr.txt").find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }

  // Waits until stderr holds `text` `times` times; false after a minute.
  bool AwaitSaidTimes(const std::string& text, int times) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
      const std::string said = ReadFile(Folder / "stderr.txt");
      int count = 0;
      for (size_t at = said.find(text); at != std::string::npos; at = said.find(text, at + 1))
        ++count;
      if (count >= times) return true;
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  // The lines of the record `name` in the folder.
  std::vector<std::string> RecordLines(const std::string& name) const {
    std::istringstream in(ReadFile(Folder / name));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  const std::string& Err() const { return FErr; }
  bool Said(const std::string& text) const { return FErr.find(text) != std::string::npos; }
  // The images the unit stored, by load address.
  std::string Image(const std::string& address) const {
    return ReadFile(Folder / "flash" / (address + ".bin"));
  }
  // Every byte the simulated unit received, from its transcript.
  std::string ReceivedByUnit() const {
    std::istringstream lines(ReadFile(Folder / "unit.txt"));
    std::string line, bytes;
    while (std::getline(lines, line)) {
      std::istringstream fields(line.substr(0, line.find('|')));
      std::string ms, direction, hex;
      if (!(fields >> ms >> direction) || direction != "rx") continue;
      while (fields >> hex) bytes += char(std::stoi(hex, nullptr, 16));
    }
    return bytes;
  }
  bool HasImage(const std::string& address) const {
    return fs::exists(Folder / "flash" / (address + ".bin"));
  }

  TScratch Folder;
  // More environment for the run.
  std::map<std::string, std::string> Env;

  // For a run of the same command line inside the test process.
  const std::string& Com1() const { return FCom1; }
  const std::vector<std::string>& Args() const { return FArgs; }
  void Finished(int status, std::string err) {
    FStatus = status;
    FErr = std::move(err);
  }

 private:
  std::string FCom1;
  std::vector<std::string> FArgs;
  std::unique_ptr<TChild> FChild;
  int FStatus = -1;
  std::string FErr;
};

// One unit of the stand-alone simulated unit tool on a line: a link that
// names its pseudo-terminal, as a device link names whatever adapter is
// plugged in, from plugging in to taking off.
class TUnitOnLine {
 public:
  TUnitOnLine(const fs::path& line, std::vector<std::string> options) : FLine(line) {
    options.push_back("--dir=flash");
    FTool =
        std::make_unique<TChild>(BinPath("kestrel-unit-sim"), options, Folder.Path(),
                                 std::map<std::string, std::string>{}, Folder / "unit.txt", true);
    const std::string pty = FTool->StdoutLine();
    EXPECT_EQ(pty.rfind("/dev/pts/", 0), 0u) << pty;
    Pty = pty;
    fs::create_symlink(pty, Folder / "link");
    fs::rename(Folder / "link", FLine);
  }
  ~TUnitOnLine() { TakeOff(); }

  // The tool stops, its terminal goes and the line names nothing.
  void TakeOff() {
    if (!FTool) return;
    FTool.reset();
    std::error_code ec;
    fs::remove(FLine, ec);
  }
  // How many uploads the unit took.
  int Uploads() const {
    const std::string said = ReadFile(Folder / "unit.txt");
    int count = 0;
    for (size_t at = said.find("upload to "); at != std::string::npos;
         at = said.find("upload to ", at + 1))
      ++count;
    return count;
  }

  TScratch Folder;
  std::string Pty;  // the terminal the link names

 private:
  fs::path FLine;
  std::unique_ptr<TChild> FTool;
};

}  // namespace kestrel::e2e
