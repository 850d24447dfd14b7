#pragma once
// What a station over many ports shows. On a terminal: one line per port,
// in the order the ports came, redrawn in place, PASS and FAIL in wide
// coloured cells that read from across the room, and the tally below.
// Otherwise one line per event, each beginning with the port's short name
// and written whole. Notes print above the board. One thread only.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "loader/unattended/StationEvents.h"

namespace kestrel {

class TStationTally;

class TStationBoard {
 public:
  TStationBoard(std::FILE* out, bool terminal);

  // A row for the port `name`; a name seen before gets its row back.
  int Row(const std::string& name);
  // What the port's station said about itself.
  void Event(int row, const TStationEvent& event);
  // A line the port's station wrote; shown only when not on a terminal.
  void Said(int row, const std::string& text);
  // Something about the port the supervisor saw: on the row, and as a line
  // of its own when not on a terminal.
  void Tell(int row, const std::string& text);
  // The port is no longer served.
  void Left(int row, const std::string& why);
  // A note that belongs to no port.
  void Note(const std::string& text);
  // Draws the board when it changed (at most ten times a second unless
  // `now`), with `tally` below.
  void Draw(const TStationTally& tally, bool now = false);

  // The board stays where it is; what follows is written below it.
  void Leave() { FDrawn = 0; }

 private:
  struct TRow {
    std::string Name;
    int Unit = 0;
    enum class TState { Starting, Waiting, Running, Loading, Verdict, TakeOff, Left } State;
    std::string File;
    uint64_t Sent = 0;
    uint64_t Total = 0;
    double Rate = 0;
    bool Pass = false;
    bool HasVerdict = false;
    std::string Verdict;  // the last verdict's text
    std::string Detail;   // a note on what the row shows
  };

  void Write(const std::string& text);
  // A row's line, and a second one for a cause too long for it.
  std::vector<std::string> RowText(const TRow& row, size_t width) const;
  void Erase();

  std::FILE* FOut;
  bool FTerminal;
  std::vector<TRow> FRows;
  bool FChanged = true;
  int FDrawn = 0;  // lines of the board now on the screen
  int64_t FDrawnAtMs = 0;
};

}  // namespace kestrel
