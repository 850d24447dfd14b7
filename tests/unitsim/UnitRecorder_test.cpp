// Option strings, and what the simulated unit leaves on disk.

#include "unitsim/UnitRecorder.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "UnitTestIo.h"
#include "unitsim/UnitEngine.h"
#include "unitsim/UnitOptions.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;

TEST(UnitOptionsParse, DeviceStringSetsEveryKind) {
  TUnitOptions o;
  std::string error;
  ASSERT_TRUE(ParseUnitOptions(
      "loader=>;flash-ms=5;dir=unit-flash;loader-cmd=GO\\r;query=PING:PONG\\; PONG PONG;"
      "flood;no-loader=off;dropout=100;;pace=on",
      o, error))
      << error;
  EXPECT_EQ(o.LoaderPrompt, ">");
  EXPECT_EQ(o.FlashMs, 5);
  EXPECT_EQ(o.Dir, "unit-flash");
  EXPECT_EQ(o.LoaderCommand, "GO\r");
  EXPECT_EQ(o.Queries.at("PING"), "PONG; PONG PONG");
  EXPECT_EQ(o.Queries.count("VER"), 1u);  // built-ins stay
  EXPECT_TRUE(o.Flood);
  EXPECT_FALSE(o.NoLoaderMode);
  EXPECT_EQ(o.DropoutAfter, 100);
  EXPECT_TRUE(o.Pace);
  EXPECT_EQ(UnescapeUnitValue("a\\x41\\x4g\\q\\"), "aA\\x4g\\q\\");
}

TEST(UnitOptionsParse, RejectsWhatItCannotUse) {
  for (const char* text : {"bogus=1", "flash-ms=-1", "flash-ms=5ms", "baud=0", "flood=maybe",
                           "query=noanswer", "query=:x", "prompt=", "dir", "block=0"}) {
    TUnitOptions o;
    std::string error;
    EXPECT_FALSE(ParseUnitOptions(text, o, error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
}

TEST(UnitRecorderFiles, ImageNamesNeverLeaveTheFolder) {
  struct Case {
    const char* address;
    const char* name;
  };
  const Case cases[] = {
      {"8000", "8000.bin"},    {"0x1F000", "0x1F000.bin"},
      {"../x", ".._x.bin"},    {"/etc/passwd", "_etc_passwd.bin"},
      {"..", "...bin"},        {".", "..bin"},
      {"a b\\c", "a_b_c.bin"}, {"", ".bin"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TUnitRecorder::ImageFileName(c.address), c.name) << c.address;
  }
  EXPECT_LE(TUnitRecorder::ImageFileName(std::string(5000, 'a')).size(), 130u);
}

TEST(UnitRecorderFiles, StoresGoodImagesAndRecordsEveryUpload) {
  TScratch tmp;
  TUnitOptions options;
  options.Dir = (tmp.Path() / "flash").string();
  options.Transcript = (tmp.Path() / "log" / "transcript.txt").string();
  {
    TUnitRecorder recorder(options);
    EXPECT_EQ(recorder.Error(), "");
    recorder.Received("LF 8000\r", 12);
    recorder.Sent(std::string("\r\n#\x01", 4), 13);

    TUnitUpload good;
    good.EndedMs = 40;
    good.Command = "LF";
    good.Address = "../8000";
    good.Version = "1.0 \"rc\"";
    good.Size = good.Received = 3;
    good.ChecksumText = "126";
    good.ChecksumAnnounced = good.ChecksumComputed = 0x126;
    good.Image = {'a', 'b', 'c'};
    recorder.Uploaded(good);

    TUnitUpload bad = good;
    bad.Address = "9000";
    bad.Result = TUploadResult::urChecksumMismatch;
    bad.ChecksumComputed = 0x127;
    bad.Image.clear();
    recorder.Uploaded(bad);
    EXPECT_EQ(recorder.Error(), "");
  }
  const fs::path flash = tmp.Path() / "flash";
  EXPECT_EQ(ReadFile(flash / ".._8000.bin"), "abc");
  EXPECT_FALSE(fs::exists(tmp.Path() / "8000.bin"));
  EXPECT_FALSE(fs::exists(flash / "9000.bin"));
  // Nothing but the image and the record is left in the folder.
  int entries = 0;
  for ([[maybe_unused]] auto& e : fs::directory_iterator(flash)) ++entries;
  EXPECT_EQ(entries, 2);

  const std::string image = (flash / ".._8000.bin").string();
  EXPECT_EQ(ReadFile(flash / "uploads.jsonl"),
            "{\"ms\":40,\"command\":\"LF\",\"address\":\"../8000\",\"size\":3,\"received\":3,"
            "\"checksum_announced\":\"126\",\"checksum_computed\":\"126\","
            "\"version\":\"1.0 \\\"rc\\\"\",\"result\":\"ok\",\"image\":\"" +
                image +
                "\"}\n"
                "{\"ms\":40,\"command\":\"LF\",\"address\":\"9000\",\"size\":3,\"received\":3,"
                "\"checksum_announced\":\"126\",\"checksum_computed\":\"127\","
                "\"version\":\"1.0 \\\"rc\\\"\",\"result\":\"checksum mismatch\"}\n");

  std::string transcript = ReadFile(tmp.Path() / "log" / "transcript.txt");
  EXPECT_NE(transcript.find("       12 rx 4c 46 20 38 30 30 30 0d"), std::string::npos)
      << transcript;
  EXPECT_NE(transcript.find("       13 tx 0d 0a 23 01"), std::string::npos) << transcript;
  EXPECT_NE(transcript.find("|..#.|"), std::string::npos);
}

TEST(UnitRecorderFiles, RecordEscapesControlAndHighBytes) {
  TUnitUpload up;
  up.Address = std::string("\x01\xe9", 2);
  std::string json = TUnitRecorder::RecordJson(up, "");
  EXPECT_NE(json.find("\"address\":\"\\u0001\\u00e9\""), std::string::npos) << json;
  EXPECT_EQ(json.find("image"), std::string::npos);
}

}  // namespace
}  // namespace kestrel
