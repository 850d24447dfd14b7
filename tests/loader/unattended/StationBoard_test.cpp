// The board of a station over many ports, as a terminal and as a log see
// it: redrawn in place over exactly what it drew before, verdicts in their
// cells, a cause's end (the unit's words) never cut; whole lines after the
// port's name otherwise.

#include "loader/unattended/StationBoard.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "loader/unattended/StationTally.h"

namespace kestrel {
namespace {

// What a board writes, as text.
struct TScreen {
  char* Text = nullptr;
  size_t Size = 0;
  std::FILE* File = open_memstream(&Text, &Size);
  ~TScreen() {
    std::fclose(File);
    std::free(Text);
  }
  std::string Now() {
    std::fflush(File);
    return std::string(Text, Size);
  }
};

TStationEvent event(TStationEvent::TKind kind, int unit) {
  TStationEvent e;
  e.Kind = kind;
  e.Unit = unit;
  return e;
}

TEST(StationBoard, OnATerminalRedrawsOverItselfAndKeepsTheUnitsWords) {
  TScreen screen;
  TStationBoard board(screen.File, true);
  TStationTally tally;
  const int usb0 = board.Row("ttyUSB0");
  const int usb1 = board.Row("ttyUSB1");
  TStationEvent loading = event(TStationEvent::TKind::Loading, 1);
  loading.File = "/home/line/firmware.bin";
  loading.Sent = 50000;
  loading.Total = 100000;
  loading.Rate = 10000;
  board.Event(usb0, event(TStationEvent::TKind::Begins, 1));
  board.Event(usb0, loading);
  TStationEvent fail = event(TStationEvent::TKind::Verdict, 7);
  const std::string cause =
      "/home/line/firmware.bin: Error! Unable to receive prompt after "
      "upload. Upload unsuccessful. Exiting script. The unit said: "
      "\"CHECKSUM MISMATCH AT 0x8000\".";
  fail.Text = cause;
  board.Event(usb1, fail);
  tally.Count("ttyUSB1", false);
  board.Draw(tally, true);
  const std::string first = screen.Now();
  // Two ports, the cause's second line, the tally.
  EXPECT_EQ(first.find("\x1b["), first.find("\x1b[K")) << "nothing to move over yet";
  const size_t lines = std::count(first.begin(), first.end(), '\n');
  EXPECT_EQ(lines, 4u) << first;
  EXPECT_LT(first.find("ttyUSB0"), first.find("ttyUSB1"));
  EXPECT_NE(first.find("ttyUSB0   unit 1    loading firmware.bin  50 %  10.0 kB/s  5 s left"),
            std::string::npos)
      << first;
  EXPECT_NE(first.find("ttyUSB1   unit 7    \x1b[1;97;41m   F A I L   \x1b[0m /home/line/"),
            std::string::npos)
      << first;
  EXPECT_NE(first.find("The unit said: \"CHECKSUM MISMATCH AT 0x8000\".\x1b[K\n"),
            std::string::npos)
      << first;
  EXPECT_NE(first.find("1 unit, 0 passed, 1 failed"), std::string::npos) << first;

  // The next frame goes up over all four lines; a note goes above the
  // board, which is drawn again below it.
  board.Event(usb0, event(TStationEvent::TKind::Verdict, 1));
  board.Note("ttyUSB2 is the same device as ttyUSB0: served once");
  board.Draw(tally, true);
  const std::string second = screen.Now().substr(first.size());
  EXPECT_EQ(second.rfind("\x1b[4A\r\x1b[Jstation: ttyUSB2 is the same device", 0), 0u) << second;
  EXPECT_NE(second.find("ttyUSB0   unit 1    \x1b[1;97;41m   F A I L"), std::string::npos)
      << second;
}

TEST(StationBoard, NotOnATerminalWritesWholeLinesAfterThePortsName) {
  TScreen screen;
  TStationBoard board(screen.File, false);
  TStationTally tally;
  const int row = board.Row("sim1");
  board.Said(row, "PASS unit 1: 1 file, 9000 bytes, 0.4 s");
  board.Said(row, "");
  board.Event(row, event(TStationEvent::TKind::TakeOff, 1));
  board.Left(row, "its device has gone: no longer served");
  board.Draw(tally, true);
  EXPECT_EQ(screen.Now(),
            "sim1: PASS unit 1: 1 file, 9000 bytes, 0.4 s\n"
            "sim1: its device has gone: no longer served\n");
}

}  // namespace
}  // namespace kestrel
