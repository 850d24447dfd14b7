// The trace and the dispatch log: their files compared with the expected
// text (sections, wrapping at 78, the hex options, the ring keeping the
// newest entries), and a dispatcher recording a small exchange.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "AwuserTestUtil.h"
#include "ScratchFolder.h"
#include "messages/AdErrorCodes.h"
#include "messages/Adsrmgr.h"
#include "serial/AwuserLog.h"
#include "serial/AwuserTrace.h"
#include "serial/EventTimer.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class RecorderFiles : public ::testing::Test {
 protected:
  void SetUp() override { InitAdResourceManager(); }
  void TearDown() override { DoneAdResourceManager(); }
  std::string path(const char* name) const { return (dir / name).string(); }
  static std::string read(const std::string& file) { return test::ReadFile(file); }
  // The log's entry lines: everything after the seven header lines.
  static std::vector<std::string> rows(const std::string& text) {
    std::vector<std::string> lines;
    std::stringstream s(text);
    for (std::string line; std::getline(s, line);) lines.push_back(line);
    return lines.size() > 7 ? std::vector<std::string>(lines.begin() + 7, lines.end())
                            : std::vector<std::string>{};
  }

  test::TScratch dir;
};

std::string trace_text(TApdTraceRecorder& trace, bool hex, bool allHex, const std::string& file) {
  EXPECT_EQ(trace.Write(file, hex, allHex, false), 0);
  std::ifstream in(file, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST_F(RecorderFiles, TraceWritesSectionsByKindAndWrapsAt78) {
  TApdTraceRecorder trace(1000);
  for (char c : std::string("abc")) trace.Add('T', uint8_t(c));
  for (char c : std::string("de")) trace.Add('R', uint8_t(c));
  trace.Add('X', 0x01);
  trace.Add('T', 'z');
  EXPECT_EQ(trace_text(trace, true, false, path("a.trc")),
            "Transmit: \nabc\n\nReceive: \nde\n\nSpecial-X: \n[01]\n\nTransmit: \nz");

  TApdTraceRecorder wide(1000);
  for (int i = 0; i < 100; ++i) wide.Add('R', 'a');
  for (int i = 0; i < 25; ++i) wide.Add('T', 0);
  const std::string expected =
      "Receive: \n" + std::string(78, 'a') + "\n" + std::string(22, 'a') + "\n\nTransmit: \n" + [] {
        std::string s;
        for (int i = 0; i < 25; ++i) s += (i == 19 ? "\n[00]" : "[00]");
        return s;
      }();
  EXPECT_EQ(trace_text(wide, true, false, path("b.trc")), expected);

  // Without hex, decimal items of widths 3 to 5 count their own widths.
  TApdTraceRecorder dec(1000);
  for (int i = 0; i < 20; ++i) dec.Add('R', 200);
  EXPECT_EQ(
      trace_text(dec, false, false, path("c.trc")), "Receive: \n" + [] {
        std::string s;
        for (int i = 0; i < 20; ++i) s += (i == 15 ? "\n[200]" : "[200]");
        return s;
      }());
}

TEST_F(RecorderFiles, TraceHexOptions) {
  struct Case {
    uint8_t byte;
    bool hex, allHex;
    const char* text;
  };
  const Case cases[] = {
      {' ', false, false, " "},    {' ', true, false, "[20]"}, {7, false, false, "[7]"},
      {7, true, false, "[07]"},    {99, false, false, "c"},    {127, false, false, "[127]"},
      {0xC8, true, false, "[C8]"}, {'A', false, true, "[41]"}, {'~', true, false, "~"},
  };
  for (const Case& c : cases) {
    TApdTraceRecorder trace(4);
    trace.Add('R', c.byte);
    EXPECT_EQ(trace_text(trace, c.hex, c.allHex, path("h.trc")),
              std::string("Receive: \n") + c.text)
        << int(c.byte) << " hex " << c.hex << " all " << c.allHex;
  }
}

TEST_F(RecorderFiles, TraceRingKeepsTheNewestEntriesOldestFirst) {
  TApdTraceRecorder trace(10);
  for (int i = 0; i < 25; ++i) trace.Add(i < 18 ? 'T' : 'R', uint8_t('A' + i));
  EXPECT_EQ(trace_text(trace, true, false, path("r.trc")), "Transmit: \nPQR\n\nReceive: \nSTUVWXY");
}

TEST_F(RecorderFiles, LogRowsTheirFieldsAndAttachedBytes) {
  TApdDispatchLog log(100000);
  log.Push(dtDispatch, dstReadCom, 1234, 3, "a b", 3);
  log.Push(dtDispatch, dstWriteCom, 12345678, 1, "\x07", 1);
  uint8_t modem = 1;
  log.Push(dtTriggerAlloc, dstStatusTrigger, 5, 0x21, &modem, 1);
  log.Push(dtTriggerDispose, dstTimer, 6, 0x40, nullptr, 0);
  log.Push(dtTriggerDataChange, dstTimerTrigger, 7, 0x40, "Deactivated", 11);
  log.Push(dtUser, dstNone, 8, 0, "note [1]", 8);
  log.Push(dtDispatch, dstModemStatus, 9, 0x91, nullptr, 0);
  std::string text;
  ASSERT_EQ(log.Write(path("a.log"), true, false, false, "COM3"), 0);
  text = read(path("a.log"));
  EXPECT_EQ(text.substr(0, text.find("Device:")).find("Operating System : "),
            text.find("Operating System : "));
  EXPECT_NE(text.find("\nDevice: COM3\nDate/time: "), std::string::npos);
  EXPECT_NE(text.find("\nTime      Type      SubType       Data      OtherData\n"
                      "--------  --------  ------------  --------  ---------\n"),
            std::string::npos);
  EXPECT_EQ(rows(text), (std::vector<std::string>{
                            "0001.234  Dispatch  ReadCom       00000003  a[20]b",
                            "12345.678  Dispatch  WriteCom      00000001  [07]",
                            "0000.005  TrigAllc  Status        00000021  (Modem status)",
                            "0000.006  TrigDisp  Timer         00000040  ",
                            "0000.007  TrDatChg  Timer         00000040  Deactivated",
                            "0000.008  User                    00000000  note[20][1]",
                            "0000.009  Dispatch  Modem status  00000091  (DCTS CTS DCD )",
                        }));

  // All-hex shows notes as text and everything else bracketed; without hex
  // a blank is itself and other bytes are decimal.
  TApdDispatchLog hexes(1000);
  hexes.Push(dtUser, dstNone, 0, 0, "a b", 3);
  hexes.Push(dtDispatch, dstReadCom, 0, 2, "a\x07", 2);
  ASSERT_EQ(hexes.Write(path("b.log"), false, true, false, "COM1"), 0);
  EXPECT_EQ(rows(read(path("b.log"))), (std::vector<std::string>{
                                           "0000.000  User                    00000000  a b",
                                           "0000.000  Dispatch  ReadCom       00000002  [61][07]",
                                       }));
  TApdDispatchLog plain(1000);
  plain.Push(dtDispatch, dstReadCom, 0, 2, "a \x07", 3);
  ASSERT_EQ(plain.Write(path("c.log"), false, false, false, "COM1"), 0);
  EXPECT_EQ(rows(read(path("c.log"))).at(0), "0000.000  Dispatch  ReadCom       00000002  a [7]");
}

TEST_F(RecorderFiles, LogWrapsAttachedBytesUnderTheirColumn) {
  TApdDispatchLog log(10000);
  const std::string bytes(40, 'x');
  log.Push(dtDispatch, dstReadCom, 0, 40, bytes.data(), 40);
  ASSERT_EQ(log.Write(path("w.log"), true, false, false, "COM1"), 0);
  EXPECT_EQ(rows(read(path("w.log"))),
            (std::vector<std::string>{
                "0000.000  Dispatch  ReadCom       00000028  " + std::string(33, 'x'),
                std::string(44, ' ') + std::string(7, 'x')}));
}

TEST_F(RecorderFiles, LogRingDropsWholeOldEntriesAndOversizedAttachments) {
  // Room for ten entries of 16 + 4 bytes.
  TApdDispatchLog log(200);
  for (uint32_t i = 0; i < 25; ++i) log.Push(dtDispatch, dstWriteCom, i, i, "abcd", 4);
  // Too big for the whole store: kept without its bytes.
  const std::string big(300, 'q');
  log.Push(dtUser, dstNone, 99, 0, big.data(), uint32_t(big.size()));
  ASSERT_EQ(log.Write(path("r.log"), true, false, false, "COM1"), 0);
  const std::vector<std::string> lines = rows(read(path("r.log")));
  ASSERT_EQ(lines.size(), 10u);
  for (size_t i = 0; i < 9; ++i) {
    char expected[80];
    std::snprintf(expected, sizeof expected, "0000.%03zu  Dispatch  WriteCom      %08zx  abcd",
                  i + 16, i + 16);
    EXPECT_EQ(lines[i], expected);
  }
  EXPECT_EQ(lines[9], "0000.099  User                    00000000  ");
}

TEST_F(RecorderFiles, DispatcherRecordsAnExchangeAndFreesItsRecordersAfterWriting) {
  test::TSimPort sim;
  ASSERT_EQ(sim.open, 0);
  TApdBaseDispatcher& d = *sim.port;
  EXPECT_EQ(d.InitTracing(4000001), ecBadArgument);
  ASSERT_EQ(d.InitTracing(100), 0);
  ASSERT_EQ(d.InitDispatchLogging(10000), 0);
  d.SetDeviceName("COM7");

  ASSERT_EQ(d.PutString("abc"), 0);
  ASSERT_EQ(sim.far->SendFor("de", 5s), 2);
  ASSERT_TRUE(test::WaitUntil([&] { return d.InBuffUsed() == 2; }));
  char two[2];
  ASSERT_EQ(d.GetBlock(two, 2), 2);
  d.StopDispatchLogging();
  d.AddStringToLog("not recorded while stopped");
  d.StartDispatchLogging();
  d.AddStringToLog("hello");

  ASSERT_EQ(d.DumpTrace(path("KELP.TRC"), true, false), 0);
  EXPECT_EQ(read(path("KELP.TRC")), "Transmit: \nabc\n\nReceive: \nde");
  ASSERT_EQ(d.DumpDispatchLog(path("KELP.LOG"), true, false), 0);
  const std::string log = read(path("KELP.LOG"));
  EXPECT_NE(log.find("Device: COM7\n"), std::string::npos);
  std::vector<std::string> mine;
  std::string readBytes;
  for (const std::string& row : rows(log)) {
    mine.push_back(row.substr(10));
    if (row.find("  ReadCom  ") != std::string::npos)
      readBytes += row.substr(std::min<size_t>(44, row.size()));
  }
  EXPECT_EQ(readBytes, "de");
  for (const char* row :
       {"Dispatch  WriteCom      00000003  abc", "User                    00000000  hello"})
    EXPECT_NE(std::find(mine.begin(), mine.end(), row), mine.end()) << row << "\n" << log;
  EXPECT_EQ(log.find("not recorded"), std::string::npos);

  // Both are gone: another dump writes nothing.
  fs::remove(path("KELP.TRC"));
  EXPECT_EQ(d.DumpTrace(path("KELP.TRC"), true, false), 0);
  EXPECT_FALSE(fs::exists(path("KELP.TRC")));
  // Empty recorders write no file; a folder that is missing is reported.
  ASSERT_EQ(d.InitTracing(10), 0);
  EXPECT_EQ(d.DumpTrace(path("empty.trc"), true, false), 0);
  EXPECT_FALSE(fs::exists(path("empty.trc")));
  ASSERT_EQ(d.InitTracing(10), 0);
  ASSERT_EQ(d.AddTraceEntry('T', 'x'), 0);
  EXPECT_EQ(d.DumpTrace(path("missing/x.trc"), true, false), ecPathNotFound);
}

}  // namespace
}  // namespace kestrel
