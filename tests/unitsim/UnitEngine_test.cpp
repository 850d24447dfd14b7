// The simulated unit's exchanges, driven byte by byte on a made-up clock.

#include "unitsim/UnitEngine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "TestPattern.h"
#include "unitsim/UnitOptions.h"

namespace kestrel {
namespace {

struct TestUnit {
  explicit TestUnit(TUnitOptions options = {}) : engine(std::move(options), 0) {}

  // Sends bytes and returns everything the unit has to say by now.
  std::string Say(std::string_view bytes) {
    engine.Receive(bytes, now);
    return Drain();
  }
  std::string Drain() {
    engine.Advance(now);
    return engine.TakeOutput(now);
  }
  std::string Wait(int64_t ms) {
    now += ms;
    return Drain();
  }
  void EnterLoaderMode() { ASSERT_EQ(Say("LOADR\r"), "LOADR\r\n>"); }

  TUnitEngine engine;
  int64_t now = 0;
};

std::string Pattern(size_t size) {
  return test::Pattern(size, 7);
}

uint16_t ByteSum(std::string_view data) {
  uint32_t sum = 0;
  for (unsigned char c : data) sum += c;
  return static_cast<uint16_t>(sum);
}

std::string HexOf(unsigned value) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%x", value);
  return buffer;
}

std::string UploadLine(std::string_view address, std::string_view data, std::string_view version,
                       int checksumDelta = 0) {
  char line[128];
  std::snprintf(line, sizeof line, "LF %.*s %zu %x %.*s\r", static_cast<int>(address.size()),
                address.data(), data.size(), static_cast<unsigned>(ByteSum(data) + checksumDelta),
                static_cast<int>(version.size()), version.data());
  return line;
}

// What the loader does with a query answer: capture from after the CR until
// a prompt character at position ten or later; the line ends before it.
std::string CaptureAnswer(std::string_view received, bool& complete) {
  std::string line;
  complete = false;
  for (char c : received) {
    if ((c == '#' || c == '>') && line.size() >= 10) {
      complete = true;
      break;
    }
    line += c;
  }
  return line;
}

TEST(UnitEngineConsole, AnswersEachLineWithEchoAndThePromptOfItsMode) {
  TestUnit unit;
  EXPECT_EQ(unit.Say("\r"), "\r\n#");
  EXPECT_EQ(unit.Say("HELLO\r"), "HELLO\r\nERROR: UNKNOWN COMMAND\r\n#");
  EXPECT_FALSE(unit.engine.InLoaderMode());
  EXPECT_EQ(unit.Say("LOADR\r"), "LOADR\r\n>");
  EXPECT_TRUE(unit.engine.InLoaderMode());
  EXPECT_EQ(unit.Say("\r"), "\r\n>");
  EXPECT_EQ(unit.Say("LOADR\r"), "LOADR\r\n>");  // again: stays
  EXPECT_EQ(unit.Say("BOGUS\r"), "BOGUS\r\nERROR: UNKNOWN COMMAND\r\n>");
}

TEST(UnitEngineConsole, LineEditingAndLineEnds) {
  TestUnit unit;
  // A terminal's CR LF is one line end; a typing mistake is rubbed out.
  EXPECT_EQ(unit.Say("\r\n"), "\r\n#");
  EXPECT_EQ(unit.Say("LOADX\bR\r"), "LOADX\b \bR\r\n>");
  // Backspace on an empty line sends nothing.
  EXPECT_EQ(unit.Say("\b"), "");
  // Input split anywhere is the same input.
  std::string out = unit.Say("V");
  out += unit.Say("E");
  out += unit.Say("R\r");
  EXPECT_EQ(out, "VER\r\nKESTREL SIMULATED UNIT 1.0\r\n>");
  // An overlong line is refused as a whole, not cut into a command.
  std::string longLine(300, 'A');
  std::string answer = unit.Say(longLine + "\r");
  EXPECT_NE(answer.find("ERROR: LINE TOO LONG\r\n>"), std::string::npos);
}

TEST(UnitEngineConsole, PromptsAndCommandsFollowTheOptions) {
  TUnitOptions options;
  std::string error;
  ASSERT_TRUE(
      ParseUnitOptions("prompt=$;loader=%;loader-cmd=BOOT\\r;upload-cmd=PUT", options, error))
      << error;
  TestUnit unit(options);
  EXPECT_EQ(unit.Say("\r"), "\r\n$");
  EXPECT_EQ(unit.Say("LOADR\r"), "LOADR\r\nERROR: UNKNOWN COMMAND\r\n$");
  EXPECT_EQ(unit.Say("BOOT\r"), "BOOT\r\n%");
  EXPECT_EQ(unit.Say("PUT 10 3 126 v\rabc"), "PUT 10 3 126 v\r\nLOADING 3 BYTES AT 10\r\n");
  EXPECT_EQ(unit.Wait(20), "UPLOAD OK 3 BYTES CHECKSUM 126\r\n%");
}

TEST(UnitEngineQuery, AnswersFitTheLoadersCapture) {
  TUnitOptions options;
  options.Queries["STAT"] = "ALL SYSTEMS NOMINAL";
  TestUnit unit(options);
  for (const char* query : {"VER", "ID", "STAT", "LAST"}) {
    // The loader drops the echo of the query text, then sends CR and
    // captures from there.
    unit.Say(query);
    std::string received = unit.Say("\r");
    bool complete = false;
    std::string line = CaptureAnswer(received, complete);
    EXPECT_TRUE(complete) << query << ": " << received;
    EXPECT_GE(line.size(), 10u) << query;
  }
  unit.Say("STAT");
  EXPECT_EQ(unit.Say("\r"), "\r\nALL SYSTEMS NOMINAL\r\n#");
  // The loader turns "^M" in a query into blanks: they do not matter.
  EXPECT_EQ(unit.Say(" VER  \r"), " VER  \r\nKESTREL SIMULATED UNIT 1.0\r\n#");
}

TEST(UnitEngineUpload, StoresExactlyTheAnnouncedBytesAndReportsThem) {
  TestUnit unit;
  unit.EnterLoaderMode();
  const std::string data = Pattern(4500);
  const std::string line = UploadLine("8000", data, "1.0 BETA");
  EXPECT_EQ(unit.Say(line), line + "\nLOADING 4500 BYTES AT 8000\r\n");
  std::string out;
  // The loader's blocks: 2000, 2000, 500, each sent once CTS is back up.
  int ctsDrops = 0;
  for (size_t at = 0; at < data.size(); at += 2000) {
    ASSERT_TRUE(unit.engine.Cts());
    // A binding reads no further than the block it is about to write.
    EXPECT_EQ(unit.engine.InputRoom(), std::min<size_t>(2000, data.size() - at));
    out += unit.Say(std::string_view(data).substr(at, 2000));
    EXPECT_EQ(unit.engine.InputRoom(), 0u);
    while (!unit.engine.Cts()) {
      ++ctsDrops;
      out += unit.Wait(unit.engine.NextEventMs() - unit.now);
    }
  }
  EXPECT_EQ(ctsDrops, 3);
  // Data bytes are not echoed: only the result and the prompt.
  EXPECT_EQ(out, "UPLOAD OK 4500 BYTES CHECKSUM " + HexOf(ByteSum(data)) + "\r\n>");
  // After the loader's pause, a carriage return finds the loader prompt.
  EXPECT_EQ(unit.Wait(3600), "");
  EXPECT_EQ(unit.Say("\r"), "\r\n>");

  std::vector<TUnitUpload> uploads = unit.engine.TakeUploads();
  ASSERT_EQ(uploads.size(), 1u);
  const TUnitUpload& up = uploads[0];
  EXPECT_EQ(up.Result, TUploadResult::urOk);
  EXPECT_EQ(up.Command, "LF");
  EXPECT_EQ(up.Address, "8000");
  EXPECT_EQ(up.Version, "1.0 BETA");
  EXPECT_EQ(up.Size, 4500);
  EXPECT_EQ(up.Received, 4500);
  EXPECT_EQ(up.ChecksumComputed, ByteSum(data));
  EXPECT_EQ(up.ChecksumAnnounced, ByteSum(data));
  EXPECT_EQ(std::string(up.Image.begin(), up.Image.end()), data);
  EXPECT_TRUE(unit.engine.TakeUploads().empty());
}

TEST(UnitEngineUpload, InputDuringAFlashWriteWaitsAndExcessIsCommandInput) {
  TUnitOptions options;
  options.FlashMs = 50;
  TestUnit unit(options);
  unit.EnterLoaderMode();
  const std::string data = Pattern(4000);
  unit.Say(UploadLine("A000", data, "2"));
  // Everything at once, ignoring CTS, followed by a query and a CR.
  EXPECT_EQ(unit.Say(data + "VER\r"), "");
  EXPECT_FALSE(unit.engine.Cts());
  EXPECT_FALSE(unit.engine.AcceptsInput());
  EXPECT_EQ(unit.Wait(49), "");
  EXPECT_EQ(unit.Wait(1), "");  // first block written, second one starts
  EXPECT_FALSE(unit.engine.Cts());
  std::string out = unit.Wait(50);
  EXPECT_TRUE(unit.engine.Cts());
  EXPECT_EQ(out.substr(0, 10), "UPLOAD OK ");
  EXPECT_EQ(out.substr(out.find("\r\n>") + 3), "VER\r\nKESTREL SIMULATED UNIT 1.0\r\n>");
  std::vector<TUnitUpload> uploads = unit.engine.TakeUploads();
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_EQ(std::string(uploads[0].Image.begin(), uploads[0].Image.end()), data);
}

TEST(UnitEngineUpload, EmptyFileIsAGoodUpload) {
  TestUnit unit;
  unit.EnterLoaderMode();
  EXPECT_EQ(unit.Say("LF 0 0 0 DATE\r"),
            "LF 0 0 0 DATE\r\nLOADING 0 BYTES AT 0\r\nUPLOAD OK 0 BYTES CHECKSUM 0\r\n>");
  ASSERT_EQ(unit.engine.TakeUploads().size(), 1u);
}

TEST(UnitEngineUpload, FailedUploadsLeaveLoaderModeSoTheLoaderSeesThem) {
  struct Case {
    const char* name;
    int checksumDelta;
    size_t sent;  // of 3000 bytes
    TUploadResult result;
    const char* line;
  };
  const Case cases[] = {
      {"wrong checksum", 1, 3000, TUploadResult::urChecksumMismatch, "UPLOAD FAILED: CHECKSUM "},
      {"short data", 0, 2999, TUploadResult::urShortData,
       "UPLOAD FAILED: SHORT DATA, 2999 OF 3000 BYTES\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TUnitOptions options;
    options.FlashMs = 0;
    TestUnit unit(options);
    unit.EnterLoaderMode();
    const std::string data = Pattern(3000);
    unit.Say(UploadLine("8000", data, "1", c.checksumDelta));
    std::string out = unit.Say(std::string_view(data).substr(0, c.sent));
    // A short upload waits for the data timeout, not less.
    out += unit.Wait(2999);
    if (c.result == TUploadResult::urShortData) {
      EXPECT_EQ(out, "");
    }
    out += unit.Wait(1);
    EXPECT_NE(out.find(c.line), std::string::npos) << out;
    EXPECT_EQ(out.back(), '#');
    EXPECT_FALSE(unit.engine.ReceivingData());
    EXPECT_EQ(unit.Say("\r"), "\r\n#");
    std::vector<TUnitUpload> uploads = unit.engine.TakeUploads();
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_EQ(uploads[0].Result, c.result);
    EXPECT_EQ(uploads[0].Received, static_cast<int64_t>(c.sent));
    EXPECT_TRUE(uploads[0].Image.empty());
    EXPECT_EQ(unit.Say("LAST\r").find(
                  std::string("LAST UPLOAD 8000 ") +
                  (c.result == TUploadResult::urShortData ? "SHORT DATA" : "CHECKSUM")),
              6u);
  }
}

TEST(UnitEngineUpload, RefusesBadUploadLinesWithoutTakingData) {
  TestUnit unit;
  EXPECT_EQ(unit.Say("LF 8000 3 126 1.0\r"), "LF 8000 3 126 1.0\r\nERROR: NOT IN LOADER MODE\r\n#");
  unit.EnterLoaderMode();
  for (const char* line : {"LF 8000 three 126 1.0\r", "LF 8000 3 12g 1.0\r", "LF 8000 -3 126 1\r",
                           "LF 8000\r", "LF\r", "LF 8000 99999999999999999999 1 1\r"}) {
    std::string out = unit.Say(line);
    EXPECT_TRUE(out.ends_with("\r\nERROR: BAD UPLOAD LINE\r\n>")) << line;
    EXPECT_FALSE(unit.engine.ReceivingData()) << line;
  }
  // Without a version the line is still an upload.
  unit.Say("LF 8000 3 126\r");
  EXPECT_TRUE(unit.engine.ReceivingData());
}

TEST(UnitEngineUpload, AnImageTooLargeForFlashIsSwallowedNotExecuted) {
  TUnitOptions options;
  options.FlashSize = 10;
  options.FlashMs = 0;
  TestUnit unit(options);
  unit.EnterLoaderMode();
  const std::string data = "LOADR\rLOADR\rLOADR\r";  // would be commands if not taken as data
  unit.Say(UploadLine("0", data, "1"));
  EXPECT_EQ(unit.Say(data),
            "UPLOAD FAILED: " + std::to_string(data.size()) + " BYTES DO NOT FIT\r\n#");
  std::vector<TUnitUpload> uploads = unit.engine.TakeUploads();
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_EQ(uploads[0].Result, TUploadResult::urTooLarge);
  EXPECT_EQ(uploads[0].Received, static_cast<int64_t>(data.size()));
}

// The loader's whole conversation: probe, loader mode, announcement, blocks
// with their CTS waits, the pause and the final prompt check.
TEST(UnitEngineUpload, ALoadersRunSucceeds) {
  TestUnit unit;
  EXPECT_NE(unit.Say("\r").find('#'), std::string::npos);
  EXPECT_NE(unit.Say("LOADR\r").find('>'), std::string::npos);
  EXPECT_NE(unit.Say("\r").find('>'), std::string::npos);
  const std::string data = Pattern(6000);
  unit.Say(UploadLine("1000", data, "7/5/2004_9:07:04"));
  unit.Wait(500);
  for (size_t at = 0; at < data.size(); at += 2000) {
    unit.Say(std::string_view(data).substr(at, 2000));
    int rounds = 0;
    while (!unit.engine.Cts() && rounds < 900) {
      unit.Wait(1);
      ++rounds;
    }
    ASSERT_LT(rounds, 900);
  }
  unit.Wait(3600);
  EXPECT_EQ(unit.Say("\r"), "\r\n>");
  ASSERT_EQ(unit.engine.TakeUploads().at(0).Result, TUploadResult::urOk);
}

TEST(UnitEngineFaults, SilentUnitSaysNothingAndStoresNothing) {
  TUnitOptions options;
  options.Silent = true;
  TestUnit unit(options);
  EXPECT_EQ(unit.Say("\rLOADR\r\rLF 0 3 126 1\rabc\r"), "");
  EXPECT_EQ(unit.Wait(10000), "");
  EXPECT_TRUE(unit.engine.TakeUploads().empty());
}

TEST(UnitEngineFaults, NoLoaderModeKeepsTheNormalPrompt) {
  TUnitOptions options;
  options.NoLoaderMode = true;
  TestUnit unit(options);
  EXPECT_EQ(unit.Say("LOADR\r"), "LOADR\r\n#");
  EXPECT_EQ(unit.Say("\r"), "\r\n#");
  EXPECT_NE(unit.Say("LF 0 3 126 1\r").find("NOT IN LOADER MODE"), std::string::npos);
}

TEST(UnitEngineFaults, CtsStuckLowAfterTheFirstBlock) {
  TestUnit unit([] {
    TUnitOptions o;
    o.CtsStuck = true;
    return o;
  }());
  unit.EnterLoaderMode();
  EXPECT_TRUE(unit.engine.Cts());
  const std::string data = Pattern(4000);
  unit.Say(UploadLine("0", data, "1"));
  unit.Say(data.substr(0, 2000));
  EXPECT_FALSE(unit.engine.Cts());
  unit.Say(data.substr(2000) + "\r");
  EXPECT_EQ(unit.Wait(60000), "");
  EXPECT_FALSE(unit.engine.Cts());
  EXPECT_FALSE(unit.engine.AcceptsInput());
  EXPECT_TRUE(unit.engine.TakeUploads().empty());
}

TEST(UnitEngineFaults, FloodSendsGarbageAtTheWireRateButStillAnswers) {
  TUnitOptions options;
  options.Flood = true;
  options.Baud = 9600;  // 960 bytes a second at 10 bits a byte
  TestUnit unit(options);
  std::string garbage = unit.Wait(1000);
  EXPECT_GE(garbage.size(), 955u);
  EXPECT_LE(garbage.size(), 961u);
  EXPECT_EQ(garbage.find_first_of("#>\r\n"), std::string::npos);
  // Without a reader the garbage does not pile up without bound.
  unit.engine.Advance(unit.now + 3600000);
  EXPECT_LE(unit.engine.TakeOutput(unit.now + 3600000).size(), 4096u);
  unit.now += 3600000;
  EXPECT_NE(unit.Say("\r").find("\r\n#"), std::string::npos);

  // Prompts that take every printable character leave nothing to flood
  // with: the unit stays quiet instead of searching for a character forever.
  std::string printable;
  for (char c = 0x20; c < 0x7F; ++c) printable += c;
  options.NormalPrompt = printable.substr(0, 50);
  options.LoaderPrompt = printable.substr(50);
  TestUnit full(options);
  EXPECT_EQ(full.Wait(1000), "");
}

TEST(UnitEngineFaults, DropoutGoesSilentAfterThatManyDataBytes) {
  TUnitOptions options;
  options.DropoutAfter = 2500;
  TestUnit unit(options);
  unit.EnterLoaderMode();
  const std::string data = Pattern(4000);
  unit.Say(UploadLine("8000", data, "1"));
  std::string out = unit.Say(data.substr(0, 2000));
  out += unit.Wait(100);
  out += unit.Say(data.substr(2000));
  out += unit.Wait(10000);
  out += unit.Say("\rLOADR\r\r");
  EXPECT_EQ(out, "");
  std::vector<TUnitUpload> uploads = unit.engine.TakeUploads();
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_EQ(uploads[0].Result, TUploadResult::urDroppedOut);
  EXPECT_EQ(uploads[0].Received, 2500);
  EXPECT_TRUE(unit.engine.DroppedOut());
}

TEST(UnitEngineFaults, CorruptByteFailsTheChecksum) {
  TUnitOptions options;
  options.CorruptAt = 2;
  options.FlashMs = 0;
  TestUnit unit(options);
  unit.EnterLoaderMode();
  unit.Say("LF 8000 3 126 1.0\r");
  std::string out = unit.Say("abc");
  // 'b' (0x62) arrives as 0x9d: 0x61 + 0x9d + 0x63 = 0x161.
  EXPECT_EQ(out, "UPLOAD FAILED: CHECKSUM 161, EXPECTED 126\r\n#");
  EXPECT_EQ(unit.engine.TakeUploads().at(0).ChecksumComputed, 0x161);
}

TEST(UnitEngineFaults, NoAnswerGivesQueriesOnlyThePrompt) {
  TUnitOptions options;
  options.NoAnswer = true;
  TestUnit unit(options);
  unit.Say("VER");
  std::string received = unit.Say("\r");
  EXPECT_EQ(received, "\r\n#");
  bool complete = true;
  CaptureAnswer(received, complete);
  EXPECT_FALSE(complete);
}

TEST(UnitEngineFaults, PaceReleasesBytesAtTheWireRate) {
  TUnitOptions options;
  options.Pace = true;
  options.Baud = 1000;  // 10 ms a byte
  TestUnit unit(options);
  EXPECT_EQ(unit.Say("\r"), "");
  EXPECT_EQ(unit.engine.NextEventMs(), 10);
  EXPECT_EQ(unit.Wait(9), "");
  EXPECT_EQ(unit.Wait(1), "\r");
  EXPECT_EQ(unit.Wait(15), "\n");
  EXPECT_EQ(unit.Wait(5), "#");
  EXPECT_EQ(unit.engine.NextEventMs(), INT64_MAX);
  // An idle wire starts again when there is something to send.
  unit.Wait(1000);
  std::string out = unit.Say("\r");
  out += unit.Wait(29);
  EXPECT_EQ(out, "\r\n");
}

// At fast rates a byte takes a fraction of a microsecond more or less than a
// whole number of them; the pace must still hold over thousands of bytes.
TEST(UnitEngineFaults, PaceAndFloodKeepFastRatesExactly) {
  struct Case {
    int baud;
    size_t in7ms;  // bytes of 10 bits that cross in 7 ms
  };
  for (const Case& c : {Case{115200, 80}, Case{921600, 645}, Case{3000000, 2100},
                        Case{4000000, 2800}, Case{1000000, 700}}) {
    SCOPED_TRACE(c.baud);
    TUnitOptions options;
    options.Pace = true;
    options.Baud = c.baud;
    TestUnit paced(options);
    // The echo of a long line without its carriage return.
    std::string out = paced.Say(std::string(4000, 'a'));
    for (int ms = 0; ms < 7; ++ms) out += paced.Wait(1);
    EXPECT_EQ(out.size(), c.in7ms);

    options.Pace = false;
    options.Flood = true;
    TestUnit flooding(options);
    std::string garbage;
    for (int ms = 0; ms < 7; ++ms) garbage += flooding.Wait(1);
    EXPECT_EQ(garbage.size(), c.in7ms);
  }
}

}  // namespace
}  // namespace kestrel
