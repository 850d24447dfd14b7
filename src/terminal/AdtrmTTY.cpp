// The teletype emulator: bytes to the buffer, keys to the port, and painting
// buffer rows in runs of equal colours and attributes.

#include <algorithm>
#include <bit>
#include <cstring>

#include "terminal/Adtrmemu.h"

namespace kestrel {

namespace {

uint32_t Brighten(uint32_t c) {
  uint32_t out = 0;
  for (int shift = 0; shift < 24; shift += 8)
    out |= std::min<uint32_t>(((c >> shift) & 0xFF) + 128, 255) << shift;
  return out;
}

// Bytes from `at` up to the first control character (below 32), at most n.
// Eight at a time: the lowest byte below 32 in a word shows as its high bit
// in (x - 0x20..) & ~x, so the length of a short run costs no branch per
// byte.
int PrintableRun(const uint8_t* at, int n) {
  constexpr uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
  int i = 0;
  // The borrow can only run towards later bytes, which a little-endian word
  // holds in its higher bits.
  if constexpr (std::endian::native == std::endian::little)
    for (; i + 8 <= n; i += 8) {
      uint64_t x;
      std::memcpy(&x, at + i, 8);
      const uint64_t low = (x - 32 * kOnes) & ~x & kHighs;
      if (low) return i + std::countr_zero(low) / 8;
    }
  while (i < n && at[i] >= 32) ++i;
  return i;
}

}  // namespace

TAdTTYEmulator::TAdTTYEmulator() : TAdTerminalEmulator(std::make_unique<TAdTerminalBuffer>(false)) {
  Buffer()->OnCursorMoved = [this](TAdTerminalBuffer* buffer, int row, int col) {
    if (Terminal()) Terminal()->CursorMoved(buffer, row, col);
  };
  Buffer()->OnScrollRows = [this](TAdTerminalBuffer* buffer, int count, int top, int bottom) {
    if (Terminal()) Terminal()->RowsScrolled(buffer, count, top, bottom);
  };
}

void TAdTTYEmulator::ProcessChar(uint8_t c) {
  TAdTerminalBuffer& b = *Buffer();
  if (c >= 32) {
    b.WriteChar(c);
    return;
  }
  switch (c) {
    case 7:
      teProcessCommand(ecBell, {});
      break;
    case 8:
      b.DoBackspace();
      break;
    case 9:
      b.DoHorzTab();
      break;
    case 10:
      b.DoLineFeed();
      break;
    case 13:
      b.DoCarriageReturn();
      break;
    default:
      break;
  }
}

void TAdTTYEmulator::ProcessBlock(const uint8_t* bytes, int count, TAdCharSource source) {
  if (!OnProcessChar) {
    // Nobody rewrites characters or adds commands: straight to the buffer,
    // printable runs in one go.
    int i = 0;
    while (i < count) {
      int run = i + PrintableRun(bytes + i, count - i);
      if (run == i + 1)
        Buffer()->WriteOneChar(bytes[i]);
      else if (run > i)
        Buffer()->WriteChars(bytes + i, run - i);
      if (run < count && bytes[run] == 10) {
        // A run of line feeds scrolls once.
        int end = run + 1;
        while (end < count && bytes[end] == 10) ++end;
        Buffer()->DoLineFeeds(end - run);
        run = end;
      } else if (run < count) {
        ProcessChar(bytes[run++]);
      }
      i = run;
    }
    return;
  }
  for (int i = 0; i < count; ++i) {
    ReplaceWith_.assign(1, char(bytes[i]));
    CommandList_.Clear();
    OnProcessChar(this, char(bytes[i]), ReplaceWith_, CommandList_, source);
    teProcessCommandList(CommandList_);
    for (char c : ReplaceWith_) ProcessChar(uint8_t(c));
  }
}

void TAdTTYEmulator::KeyPress(char& key) {
  if (key == 8) key = 127;
  teSendChar(key, true, csKeyboard);
}

void TAdTTYEmulator::GetCursorPos(int& row, int& col) {
  row = Buffer()->Row();
  col = Buffer()->Col();
}

void TAdTTYEmulator::SyncColors() {
  TAdTerminalHost* t = Terminal();
  if (!t) return;
  TAdTerminalBuffer& b = *Buffer();
  if (t->Color() == b.BackColor() && t->FontColor() == b.ForeColor()) return;
  // Text written in the old window colours takes the new ones.
  b.tbSetDefBackColor(t->Color());
  b.tbSetBackColor(t->Color());
  b.tbSetDefForeColor(t->FontColor());
  b.tbSetForeColor(t->FontColor());
  FullRepaint_ = true;
}

void TAdTTYEmulator::LazyPaint(TAdTerminalCanvas& canvas) {
  TAdTerminalHost* t = Terminal();
  if (!t) return;
  SyncColors();
  const TAdTerminalView view = t->View();
  TAdTerminalBuffer& b = *Buffer();
  TAdRect r;
  if (FullRepaint_) {
    FullRepaint_ = false;
    while (b.GetInvalidRect(r)) {
    }
    DrawRows(canvas, view, 1, b.RowCount(), 1, b.ColCount());
    return;
  }
  while (b.GetInvalidRect(r)) {
    if (!t->FreezeScrollBack()) {
      r.Top += view.VertScrollPos;
      r.Bottom += view.VertScrollPos + 1;
    }
    DrawRows(canvas, view, r.Top, r.Bottom, r.Left, r.Right);
  }
}

void TAdTTYEmulator::Paint(TAdTerminalCanvas& canvas, const TAdRect& clip) {
  TAdTerminalHost* t = Terminal();
  if (!t) return;
  SyncColors();
  const TAdTerminalView view = t->View();
  if (view.CellWidth <= 0 || view.CellHeight <= 0) return;
  const int firstCol = view.OriginCol + clip.Left / view.CellWidth;
  const int lastCol = view.OriginCol + (clip.Right - 1) / view.CellWidth;
  int firstRow = view.OriginRow + clip.Top / view.CellHeight;
  int lastRow = view.OriginRow + (clip.Bottom - 1) / view.CellHeight;
  if (!t->FreezeScrollBack()) {
    firstRow += view.VertScrollPos;
    lastRow += view.VertScrollPos + 1;
  }
  DrawRows(canvas, view, firstRow, lastRow, firstCol, lastCol);
}

void TAdTTYEmulator::DrawRows(TAdTerminalCanvas& canvas, const TAdTerminalView& view, int firstRow,
                              int lastRow, int firstCol, int lastCol) {
  // Rows outside the window are skipped before any work is done.
  firstRow = std::max(firstRow, view.OriginRow);
  lastRow = std::min(lastRow, view.OriginRow + view.VisibleRows - 1);
  for (int row = firstRow; row <= lastRow; ++row) DrawRow(canvas, view, row, firstCol, lastCol);
}

void TAdTTYEmulator::DrawRow(TAdTerminalCanvas& canvas, const TAdTerminalView& view, int row,
                             int firstCol, int lastCol) {
  TAdTerminalBuffer& b = *Buffer();
  firstCol = std::max(firstCol, view.OriginCol);
  lastCol = std::min({lastCol, view.OriginCol + view.VisibleCols - 1, b.ColCount(),
                      view.OriginCol + MaxPaintCols - 1});
  if (firstCol > lastCol) return;
  const auto* chars = static_cast<const uint8_t*>(b.GetLineCharPtr(row));
  const uint8_t* attrs = b.GetLineAttrPtr(row);
  const uint32_t* fores = b.GetLineForeColorPtr(row);
  const uint32_t* backs = b.GetLineBackColorPtr(row);
  if (!chars || !attrs || !fores || !backs) return;
  const int y = (row - view.OriginRow) * view.CellHeight;
  int col = firstCol - 1;  // internal column
  const int end = lastCol - 1;
  while (col <= end) {
    const uint8_t a = attrs[col];
    const uint32_t fg = fores[col], bg = backs[col];
    int runEnd = col + 1;
    while (runEnd <= end && attrs[runEnd] == a && fores[runEnd] == fg && backs[runEnd] == bg)
      ++runEnd;
    const int n = runEnd - col;
    uint32_t fore = fg, back = bg;
    if (bool(a & tcaReverse) != bool(a & tcaSelected)) std::swap(fore, back);
    if (a & tcaInvisible)
      fore = back;
    else if (a & tcaBold)
      fore = Brighten(fore);
    const int x = (col + 1 - view.OriginCol) * view.CellWidth;
    const int width = n * view.CellWidth;
    canvas.FillRect(x, y, width, view.CellHeight, back);
    std::copy(chars + col, chars + runEnd, Text_);
    canvas.DrawText(x, y, view.CellWidth, Text_, n, fore);
    if (a & tcaUnderline) canvas.DrawHorzLine(x, y + view.CellHeight - 2, width, fore);
    if (a & tcaStrikethrough) canvas.DrawHorzLine(x, y + view.CellHeight / 2, width, fore);
    col = runEnd;
  }
}

}  // namespace kestrel
