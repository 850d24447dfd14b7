#include "loader/unattended/StationBoard.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "loader/unattended/StationTally.h"

namespace kestrel {

namespace {

constexpr int64_t kRedrawMs = 100;
constexpr const char* kReset = "\x1b[0m";

int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Bold white on green or red, letters spaced: the verdict as the widest,
// brightest thing on the line.
std::string verdict_cells(bool pass) {
  return std::string(pass ? "\x1b[1;97;42m" : "\x1b[1;97;41m") +
         (pass ? "   P A S S   " : "   F A I L   ") + kReset;
}
constexpr size_t kVerdictCells = 13;

// A port's name too long for its column keeps its start and its end, where
// names of adapters of one kind differ (a serial number, an interface).
std::string cut_middle(const std::string& name, size_t width) {
  if (name.size() <= width) return name;
  const size_t head = (width - 3) / 3;
  return name.substr(0, head) + "..." + name.substr(name.size() - (width - 3 - head));
}

// "loading firmware.bin  45 %  87.0 kB/s  3 s left": the file without its
// folder, which the log and the record name.
std::string loading_text(const std::string& file, uint64_t sent, uint64_t total, double rate) {
  const size_t slash = file.find_last_of('/');
  const int percent = total == 0 ? 100 : int(std::min(sent, total) * 100 / total);
  char progress[96];
  if (sent >= total)
    std::snprintf(progress, sizeof progress, "  %d %%  sent: waiting for the unit", percent);
  else if (rate > 0)
    std::snprintf(progress, sizeof progress, "  %d %%  %.1f kB/s  %.0f s left", percent,
                  rate / 1000, double(total - sent) / rate);
  else
    std::snprintf(progress, sizeof progress, "  %d %%", percent);
  return "loading " + (slash == std::string::npos ? file : file.substr(slash + 1)) + progress;
}

std::string cut(const std::string& text, size_t width) {
  return text.size() <= width ? text : text.substr(0, width > 3 ? width - 3 : 0) + "...";
}

}  // namespace

TStationBoard::TStationBoard(std::FILE* out, bool terminal) : FOut(out), FTerminal(terminal) {}

int TStationBoard::Row(const std::string& name) {
  for (size_t i = 0; i < FRows.size(); ++i)
    if (FRows[i].Name == name) {
      FRows[i].State = TRow::TState::Starting;
      FRows[i].Detail.clear();
      FChanged = true;
      return int(i);
    }
  TRow row;
  row.Name = name;
  row.State = TRow::TState::Starting;
  FRows.push_back(row);
  FChanged = true;
  return int(FRows.size() - 1);
}

void TStationBoard::Event(int index, const TStationEvent& e) {
  TRow& row = FRows[size_t(index)];
  FChanged = true;
  switch (e.Kind) {
    case TStationEvent::TKind::Waiting:
      row.State = TRow::TState::Waiting;
      row.Unit = e.Unit;
      row.Detail.clear();
      break;
    case TStationEvent::TKind::Begins:
      row.State = TRow::TState::Running;
      row.Unit = e.Unit;
      row.Detail.clear();
      break;
    case TStationEvent::TKind::Loading:
      row.State = TRow::TState::Loading;
      row.File = e.File;
      row.Sent = e.Sent;
      row.Total = e.Total;
      row.Rate = e.Rate;
      break;
    case TStationEvent::TKind::Verdict:
      row.State = TRow::TState::Verdict;
      row.Unit = e.Unit;
      row.Pass = e.Pass;
      row.HasVerdict = true;
      row.Verdict = e.Text;
      break;
    case TStationEvent::TKind::TakeOff:
      row.State = TRow::TState::TakeOff;
      break;
    case TStationEvent::TKind::Note:
      row.Detail = e.Text;
      break;
  }
}

void TStationBoard::Said(int index, const std::string& text) {
  if (!FTerminal && !text.empty()) Write(FRows[size_t(index)].Name + ": " + text);
}

void TStationBoard::Tell(int index, const std::string& text) {
  FRows[size_t(index)].Detail = text;
  FChanged = true;
  if (!FTerminal) Write(FRows[size_t(index)].Name + ": " + text);
}

void TStationBoard::Left(int index, const std::string& why) {
  TRow& row = FRows[size_t(index)];
  row.State = TRow::TState::Left;
  row.Detail = why;
  FChanged = true;
  if (!FTerminal) Write(row.Name + ": " + why);
}

void TStationBoard::Note(const std::string& text) {
  if (!FTerminal) {
    Write("station: " + text);
    return;
  }
  // Above the board, which is drawn again below it.
  Erase();
  Write("station: " + text);
  FChanged = true;
}

void TStationBoard::Write(const std::string& text) {
  // One call a line: a line is never split by another's.
  const std::string line = text + "\n";
  std::fwrite(line.data(), 1, line.size(), FOut);
  std::fflush(FOut);
}

void TStationBoard::Erase() {
  if (FDrawn == 0) return;
  std::fprintf(FOut, "\x1b[%dA\r\x1b[J", FDrawn);
  FDrawn = 0;
}

std::vector<std::string> TStationBoard::RowText(const TRow& row, size_t width) const {
  size_t nameWidth = 8;
  for (const TRow& other : FRows)
    nameWidth = std::max(nameWidth, std::min<size_t>(other.Name.size(), 32));
  char unit[32];
  if (row.Unit > 0)
    std::snprintf(unit, sizeof unit, "  unit %-4d ", row.Unit);
  else
    std::snprintf(unit, sizeof unit, "  %9s ", "");
  std::string head = cut_middle(row.Name, nameWidth);
  head.resize(nameWidth, ' ');
  head += unit;
  const size_t room = width > head.size() ? width - head.size() : 0;
  std::string badge;
  std::string text;
  switch (row.State) {
    case TRow::TState::Starting:
      text = "starting";
      break;
    case TRow::TState::Waiting:
      text = "waiting";
      if (row.HasVerdict) text += std::string(" (last: ") + (row.Pass ? "PASS" : "FAIL") + ")";
      break;
    case TRow::TState::Running:
      text = "unit answered, running the script";
      break;
    case TRow::TState::Loading:
      text = loading_text(row.File, row.Sent, row.Total, row.Rate);
      break;
    case TRow::TState::Verdict:
    case TRow::TState::TakeOff:
      badge = verdict_cells(row.Pass);
      text = (row.State == TRow::TState::TakeOff ? " take it off: " : " ") + row.Verdict;
      break;
    case TRow::TState::Left:
      text = "not served";
      break;
  }
  if (!row.Detail.empty()) text += " (" + row.Detail + ")";
  if (badge.empty()) return {head + cut(text, room)};
  // A cause ends in the unit's own words: what does not fit goes on a
  // second line, whose end is never cut.
  const size_t first = room > kVerdictCells ? room - kVerdictCells : 0;
  if (text.size() <= first) return {head + badge + text};
  const std::string indent(head.size(), ' ');
  const size_t second = room > 3 ? room - 3 : 0;
  std::string rest = text.substr(first);
  if (rest.size() > second) rest = "..." + rest.substr(rest.size() - second + 3);
  return {head + badge + text.substr(0, first), indent + rest};
}

void TStationBoard::Draw(const TStationTally& tally, bool now) {
  if (!FTerminal || (!FChanged && !now)) return;
  const int64_t at = now_ms();
  if (!now && at - FDrawnAtMs < kRedrawMs) return;
  FDrawnAtMs = at;
  FChanged = false;
  size_t width = 100;
  winsize size{};
  if (::ioctl(::fileno(FOut), TIOCGWINSZ, &size) == 0 && size.ws_col > 10) width = size.ws_col - 1;
  std::string screen;
  if (FDrawn > 0) screen += "\x1b[" + std::to_string(FDrawn) + "A\r";
  int lines = 1;
  for (const TRow& row : FRows)
    for (const std::string& line : RowText(row, width)) {
      screen += line + "\x1b[K\n";
      ++lines;
    }
  screen += "\x1b[1m" + cut(tally.Line(), width) + kReset + "\x1b[K\n\x1b[J";
  std::fwrite(screen.data(), 1, screen.size(), FOut);
  std::fflush(FOut);
  FDrawn = lines;
}

}  // namespace kestrel
