// The stand-alone tool end to end: start it, open the pseudo-terminal it
// prints through the termios device, upload, find the image and its record.

#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <string>

#include "E2eSupport.h"
#include "TestPattern.h"
#include "UnitTestIo.h"
#include "serialdevice/AwPosix.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;

TEST(UnitSimTool, UploadThroughItsPseudoTerminal) {
  const fs::path program = e2e::BinPath("kestrel-unit-sim");
  ASSERT_TRUE(fs::exists(program)) << program;
  TScratch dir;
  const fs::path& tmp = dir.Path();
  const fs::path flash = tmp / "flash";

  e2e::TChild tool(program,
                   {"--dir=" + flash.string(), "--flash-ms=5",
                    "--transcript=" + (tmp / "transcript.txt").string()},
                   tmp, {}, tmp / "stderr.txt", true);
  const std::string path = tool.StdoutLine();
  ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;

  const std::string data = test::Pattern(4500, 13);

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
  tool.Signal(SIGTERM);
  EXPECT_EQ(tool.Wait(), 0);

  EXPECT_EQ(ReadFile(flash / "8000.bin"), data);
  const std::string record = ReadFile(flash / "uploads.jsonl");
  EXPECT_NE(record.find("\"address\":\"8000\",\"size\":4500,\"received\":4500"), std::string::npos)
      << record;
  EXPECT_NE(record.find("\"result\":\"ok\""), std::string::npos) << record;
  EXPECT_NE(ReadFile(tmp / "transcript.txt").find(" rx 4c 4f 41 44 52 0d"), std::string::npos);
}

}  // namespace
}  // namespace kestrel
