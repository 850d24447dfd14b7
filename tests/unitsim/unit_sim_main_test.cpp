// The stand-alone tool end to end: start it, open the pseudo-terminal it
// prints through the termios device, upload, find the image and its record.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "UnitTestIo.h"
#include "serialdevice/AwPosix.h"

extern char** environ;

namespace kestrel {
namespace {

namespace fs = std::filesystem;

fs::path ToolPath() {
  if (const char* dir = std::getenv("KESTREL_TEST_BIN"); dir && *dir) {
    return fs::path(dir) / "kestrel-unit-sim";
  }
  return fs::read_symlink("/proc/self/exe").parent_path() / "kestrel-unit-sim";
}

// The tool as a child process; stopped (and reaped) when this goes away.
class Tool {
 public:
  explicit Tool(const std::vector<std::string>& args) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<std::string> all = {ToolPath().string()};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    stdout_ = ::fdopen(out[0], "r");
  }
  ~Tool() {
    Stop();
    if (stdout_) std::fclose(stdout_);
  }
  std::string FirstLine() {
    char line[256] = {};
    if (!stdout_ || !std::fgets(line, sizeof line, stdout_)) return {};
    std::string s = line;
    if (!s.empty() && s.back() == '\n') s.pop_back();
    return s;
  }
  // The exit status after SIGTERM, or -1.
  int Stop() {
    if (pid_ <= 0) return -1;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  std::FILE* stdout_ = nullptr;
};

TEST(UnitSimTool, UploadThroughItsPseudoTerminal) {
  ASSERT_TRUE(fs::exists(ToolPath())) << ToolPath();
  TScratch dir;
  const fs::path& tmp = dir.Path();
  const fs::path flash = tmp / "flash";

  Tool tool({"--dir=" + flash.string(), "--flash-ms=5",
             "--transcript=" + (tmp / "transcript.txt").string()});
  const std::string path = tool.FirstLine();
  ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;

  std::string data(4500, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 13 + 5);

  {
    TApdPosixDevice device(path);
    ASSERT_EQ(device.Open(), 0);
    WriteAll(device, "\r");
    EXPECT_EQ(ReadUntil(device, "#"), "\r\n#");
    WriteAll(device, "LOADR\r");
    EXPECT_EQ(ReadUntil(device, ">"), "LOADR\r\n>");
    WriteAll(device, UploadLineFor("8000", data));
    ASSERT_EQ(WriteAll(device, data), data.size());
    // The echo of the line, then (no echo of the data) the result and the prompt.
    const std::string result = ReadUntil(device, "\r\n>");
    EXPECT_NE(result.find("UPLOAD OK 4500 BYTES"), std::string::npos) << result;
    WriteAll(device, "\r");
    EXPECT_EQ(ReadUntil(device, ">"), "\r\n>");
    device.Close();
  }
  EXPECT_EQ(tool.Stop(), 0);

  EXPECT_EQ(ReadFile(flash / "8000.bin"), data);
  const std::string record = ReadFile(flash / "uploads.jsonl");
  EXPECT_NE(record.find("\"address\":\"8000\",\"size\":4500,\"received\":4500"), std::string::npos)
      << record;
  EXPECT_NE(record.find("\"result\":\"ok\""), std::string::npos) << record;
  EXPECT_NE(ReadFile(tmp / "transcript.txt").find(" rx 4c 4f 41 44 52 0d"), std::string::npos);
}

}  // namespace
}  // namespace kestrel
