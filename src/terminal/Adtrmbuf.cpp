#include "terminal/Adtrmbuf.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <memory>

#include "messages/Adexcept.h"

namespace kestrel {

// ---------------------------------------------------------------------------

TAdTerminalBuffer::TAdTerminalBuffer(bool UseWideChars)
    : UseWideChars_(UseWideChars),
      Chars_(UseWideChars ? 2 : 1),
      CharSets_(1),
      Attributes_(1),
      ForeColors_(4),
      BackColors_(4) {
  Chars_.SetDefaultItem(UseWideChars ? DefWideChar_ : DefAnsiChar_);
  CharSets_.SetDefaultItem(CharSet_);
  Attributes_.SetDefaultItem(Attrs_);
  ForeColors_.SetDefaultItem(ForeColor_);
  BackColors_.SetDefaultItem(BackColor_);
  tbReallocBuffers(200, 80);
  SVRowCount_ = 200;
  ColCount_ = 80;
  RowCount_ = 24;
  DisplayOriginRow_ = ScreenTop();
  DisplayRowCount_ = RowCount_;
  HorzTabStops_.assign(size_t(ColCount_), 0);
  VertTabStops_.assign(size_t(SVRowCount_), false);
  SetDefaultTabStops();
  CursorRow_ = ScreenTop();
  CursorCol_ = 0;
  InvalidateScreen();
}

TAdTerminalBuffer::~TAdTerminalBuffer() {
  ReleaseRects();
}

template <typename Op>
void TAdTerminalBuffer::EachPlane(Op op) {
  op(Chars_);
  op(CharSets_);
  op(Attributes_);
  op(ForeColors_);
  op(BackColors_);
}

void TAdTerminalBuffer::tbReallocBuffers(int rows, int cols) {
  // All five planes take the new shape or, when memory runs out, none.
  std::array<TadTerminalArray::Shape, 5> shapes;
  size_t i = 0;
  EachPlane([&](TadTerminalArray& a) { shapes[i++] = a.PrepareShape(rows, cols); });
  i = 0;
  EachPlane([&](TadTerminalArray& a) { a.CommitShape(std::move(shapes[i++])); });
}

void TAdTerminalBuffer::SetDefaultTabStops() {
  std::fill(HorzTabStops_.begin(), HorzTabStops_.end(), 0);
  std::fill(VertTabStops_.begin(), VertTabStops_.end(), false);
  for (int c = 0; c < ColCount_; c += 8) HorzTabStops_[size_t(c)] = 1;
}

void TAdTerminalBuffer::InvalidateScreen() {
  tbInvalidateRect(ScreenTop(), 0, SVRowCount_ - 1, ColCount_ - 1);
}

// ---------------------------------------------------------------------------
// Numbering

namespace {

// Rows and columns come from the line and from callers: far-out numbers
// end at the edge of the int range instead of wrapping.
int Saturated(int64_t v) {
  return int(
      std::clamp<int64_t>(v, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

}  // namespace

int TAdTerminalBuffer::tbCvtToInternalRow(int row, bool absolute) const {
  return Saturated(int64_t(row) + (absolute ? ScreenTop() : DisplayOriginRow_) - 1);
}

int TAdTerminalBuffer::tbCvtToExternalRow(int row, bool absolute) const {
  return Saturated(int64_t(row) - (absolute ? ScreenTop() : DisplayOriginRow_) + 1);
}

int TAdTerminalBuffer::tbCvtToInternalCol(int col, bool) const {
  return Saturated(int64_t(col) - 1);
}

int TAdTerminalBuffer::tbCvtToExternalCol(int col, bool) const {
  return Saturated(int64_t(col) + 1);
}

void TAdTerminalBuffer::tbSetCol(int c) {
  if (c == tbGetCol()) return;
  const int col = std::clamp(tbCvtToInternalCol(c, UseAbsAddress), 0, ColCount_ - 1);
  WrapPending_ = false;
  if (col != CursorCol_) CursorMoved_ = true;
  CursorCol_ = col;
  tbFireOnCursorMovedEvent();
}

void TAdTerminalBuffer::tbSetRow(int r) {
  if (r == tbGetRow()) return;
  const int row = std::clamp(tbCvtToInternalRow(r, UseAbsAddress), 0, SVRowCount_ - 1);
  WrapPending_ = false;
  if (row != CursorRow_) CursorMoved_ = true;
  CursorRow_ = row;
  tbFireOnCursorMovedEvent();
}

// ---------------------------------------------------------------------------
// Sizes

void TAdTerminalBuffer::tbSetColCount(int n) {
  if (n == ColCount_) return;
  if (n < 2) throw Exception("TAdTerminalBuffer.tbSetColCount: new count too small");
  if (n > kMaxColCount) throw Exception("TAdTerminalBuffer.tbSetColCount: new count too large");
  std::vector<uint8_t> stops = HorzTabStops_;
  stops.resize(size_t(n), 0);
  tbReallocBuffers(SVRowCount_, n);
  HorzTabStops_.swap(stops);
  ColCount_ = n;
  InvalidateScreen();
  tbSetUseScrollRegion(false);
  WrapPending_ = false;
  MoveCursorTo(ScreenTop(), 0);
}

void TAdTerminalBuffer::tbSetRowCount(int n) {
  if (n == RowCount_ || n > SVRowCount_) return;
  if (n < 2) throw Exception("TAdTerminalBuffer.tbSetRowCount: new count too small");
  tbSetUseScrollRegion(false);
  RowCount_ = n;
  DisplayOriginRow_ = ScreenTop();
  DisplayRowCount_ = n;
  if (CursorRow_ < ScreenTop()) MoveCursorTo(ScreenTop(), CursorCol_);
  InvalidateScreen();
}

void TAdTerminalBuffer::tbSetSVRowCount(int n) {
  if (n == SVRowCount_) return;
  if (n < 2) throw Exception("TAdTerminalBuffer.tbSetSVRowCount: new count too small");
  if (n > kMaxSVRowCount) throw Exception("TAdTerminalBuffer.tbSetSVRowCount: new count too large");
  // Vertical stops are kept by internal row: they stay with their rows,
  // which keep to the bottom as the planes' rows do.
  std::vector<bool> stops(size_t(n), false);
  const int kept = std::min(n, SVRowCount_);
  std::copy(VertTabStops_.end() - kept, VertTabStops_.end(), stops.end() - kept);
  tbReallocBuffers(n, ColCount_);
  // Nothing fails from here on.
  const int screenRow = CursorRow_ - ScreenTop();
  const int screenCol = CursorCol_;
  VertTabStops_.swap(stops);
  if (n < RowCount_) RowCount_ = n;
  SVRowCount_ = n;
  // A scroll region is kept in screen rows and stays in force; the cursor
  // keeps its place on the screen, whatever the scrollback becomes.
  SetDisplayRegion(UseScrollRegion_);
  WrapPending_ = false;
  MoveCursorTo(std::clamp(ScreenTop() + screenRow, ScreenTop(), n - 1), screenCol);
  InvalidateScreen();
}

// ---------------------------------------------------------------------------
// Colours, character set, attributes

void TAdTerminalBuffer::tbSetForeColor(uint32_t c) {
  ForeColor_ = c;
  ForeColors_.SetDefaultItem(c);
}

void TAdTerminalBuffer::tbSetBackColor(uint32_t c) {
  BackColor_ = c;
  BackColors_.SetDefaultItem(c);
}

void TAdTerminalBuffer::tbSetCharSet(uint8_t c) {
  CharSet_ = c;
  CharSets_.SetDefaultItem(c);
}

void TAdTerminalBuffer::SetCharAttrs(TAdTerminalCharAttrs attrs) {
  Attrs_ = attrs;
  Attributes_.SetDefaultItem(attrs);
}

void TAdTerminalBuffer::tbSetDefForeColor(uint32_t c) {
  if (c == DefForeColor_) return;
  ForeColors_.ReplaceItems(DefForeColor_, c);
  DefForeColor_ = c;
}

void TAdTerminalBuffer::tbSetDefBackColor(uint32_t c) {
  if (c == DefBackColor_) return;
  BackColors_.ReplaceItems(DefBackColor_, c);
  DefBackColor_ = c;
}

void TAdTerminalBuffer::tbSetDefAnsiChar(uint8_t c) {
  DefAnsiChar_ = c;
  if (!UseWideChars_) Chars_.SetDefaultItem(c);
}

// ---------------------------------------------------------------------------
// Cursor

bool TAdTerminalBuffer::HasCursorMoved() {
  const bool moved = CursorMoved_;
  CursorMoved_ = false;
  return moved;
}

void TAdTerminalBuffer::tbMoveCursorLeftRight(int aDirection, bool aWrap, bool aScroll) {
  const int L = 0, R = RegionRight(), T = RegionTop(), B = RegionBottom();
  int row = CursorRow_, col = CursorCol_;
  if (!aWrap) {
    if (aDirection < 0 && col > L) --col;
    if (aDirection > 0 && col < R) ++col;
  } else if (aDirection < 0) {
    if (col > L) {
      --col;
    } else if (row > T) {
      col = R;
      --row;
    } else if (aScroll) {
      tbScrollRows(-1, T, B);
      tbInvalidateRect(T, 0, B, ColCount_ - 1);
      col = R;
    }
  } else {
    if (col < R) {
      ++col;
    } else if (row < B) {
      col = L;
      ++row;
    } else if (aScroll) {
      tbScrollRows(1, UseScrollRegion_ ? T : 0, B);
      tbInvalidateRect(T, 0, B, ColCount_ - 1);
      col = L;
    }
  }
  MoveCursorTo(row, col);
}

void TAdTerminalBuffer::tbMoveCursorUpDown(int aDirection, bool aScroll) {
  const int T = RegionTop(), B = RegionBottom();
  int row = CursorRow_;
  if (aDirection < 0) {
    if (row > T) {
      --row;
    } else if (aScroll) {
      tbScrollRows(-1, T, B);
      tbInvalidateRect(T, 0, B, ColCount_ - 1);
    }
  } else {
    if (row < B) {
      ++row;
    } else if (aScroll) {
      tbScrollRows(1, UseScrollRegion_ ? T : 0, B);
      tbInvalidateRect(T, 0, B, ColCount_ - 1);
    }
  }
  MoveCursorTo(row, CursorCol_);
}

void TAdTerminalBuffer::MoveCursorUp(bool aScroll) {
  WrapPending_ = false;
  tbMoveCursorUpDown(-1, aScroll);
}

void TAdTerminalBuffer::MoveCursorDown(bool aScroll) {
  WrapPending_ = false;
  tbMoveCursorUpDown(1, aScroll);
}

void TAdTerminalBuffer::MoveCursorLeft(bool aWrap, bool aScroll) {
  WrapPending_ = false;
  tbMoveCursorLeftRight(-1, aWrap, aScroll);
}

void TAdTerminalBuffer::MoveCursorRight(bool aWrap, bool aScroll) {
  WrapPending_ = false;
  tbMoveCursorLeftRight(1, aWrap, aScroll);
}

void TAdTerminalBuffer::SetCursorPosition(int aRow, int aCol) {
  WrapPending_ = false;
  tbSetRow(aRow);
  tbSetCol(aCol);
}

// ---------------------------------------------------------------------------
// Writing and control characters

void TAdTerminalBuffer::WriteChar(uint16_t ch) {
  if (WrapPending_) {
    tbMoveCursorLeftRight(1, UseAutoWrap, true);
    WrapPending_ = false;
  }
  const int row = CursorRow_, col = CursorCol_;
  if (UseInsertMode) EachPlane([&](TadTerminalArray& a) { a.InsertItems(1, row, col); });
  if (void* at = Chars_.GetItemPtr(row, col)) {
    if (UseWideChars_)
      *static_cast<uint16_t*>(at) = ch;
    else
      *static_cast<uint8_t*>(at) = uint8_t(ch);
    *static_cast<uint8_t*>(CharSets_.GetItemPtr(row, col)) = CharSet_;
    *static_cast<uint8_t*>(Attributes_.GetItemPtr(row, col)) = Attrs_;
    *static_cast<uint32_t*>(ForeColors_.GetItemPtr(row, col)) = ForeColor_;
    *static_cast<uint32_t*>(BackColors_.GetItemPtr(row, col)) = BackColor_;
  }
  tbInvalidateRect(row, UseInsertMode ? 0 : col, row, UseInsertMode ? ColCount_ - 1 : col);
  if (UseAutoWrapDelay && tbAtLastColumn())
    WrapPending_ = true;
  else
    tbMoveCursorLeftRight(1, UseAutoWrap, true);
}

void TAdTerminalBuffer::WriteString(std::string_view s) {
  WriteChars(reinterpret_cast<const uint8_t*>(s.data()), int(s.size()));
}

void TAdTerminalBuffer::WriteOneChar(uint8_t ch) {
  // Short of the row's end without the run machinery.
  const int col = CursorCol_;
  const int at = Chars_.BlockRowOf(CursorRow_);
  if (WrapPending_ || UseInsertMode || UseWideChars_ || col >= RegionRight() || at < 0) {
    WriteChars(&ch, 1);
    return;
  }
  // All five rows first: a byte store may alias anything, so the planes'
  // bookkeeping would be read again after each one.
  uint8_t* text = Chars_.BlockRowForWrite(at, col, col + 1);
  uint8_t* sets = CharSets_.BlockRowForWrite(at, col, col + 1);
  uint8_t* attrs = Attributes_.BlockRowForWrite(at, col, col + 1);
  auto* fore = reinterpret_cast<uint32_t*>(ForeColors_.BlockRowForWrite(at, col, col + 1));
  auto* back = reinterpret_cast<uint32_t*>(BackColors_.BlockRowForWrite(at, col, col + 1));
  const uint8_t set = CharSet_, attr = Attrs_;
  const uint32_t fg = ForeColor_, bg = BackColor_;
  text[col] = ch;
  sets[col] = set;
  attrs[col] = attr;
  fore[col] = fg;
  back[col] = bg;
  tbInvalidateRect(CursorRow_, col, CursorRow_, col);
  MoveCursorTo(CursorRow_, col + 1);
}

void TAdTerminalBuffer::WriteChars(const uint8_t* chars, int count) {
  if (UseInsertMode || UseWideChars_) {
    for (int i = 0; i < count; ++i) WriteChar(chars[i]);
    return;
  }
  const int R = RegionRight();
  while (count > 0) {
    if (WrapPending_) {
      tbMoveCursorLeftRight(1, UseAutoWrap, true);
      WrapPending_ = false;
    }
    const int row = CursorRow_, col = CursorCol_;
    const int n = std::min(count, R - col + 1);
    if (n <= 0) {  // the cursor lies right of the region: one at a time
      WriteChar(*chars++);
      --count;
      continue;
    }
    // The five planes share their shape: one row check serves them all.
    const int end = col + n;
    if (const int at = Chars_.BlockRowOf(row); at >= 0) {
      uint8_t* text = Chars_.BlockRowForWrite(at, col, end);
      uint8_t* sets = CharSets_.BlockRowForWrite(at, col, end);
      uint8_t* attrs = Attributes_.BlockRowForWrite(at, col, end);
      auto* fore = reinterpret_cast<uint32_t*>(ForeColors_.BlockRowForWrite(at, col, end));
      auto* back = reinterpret_cast<uint32_t*>(BackColors_.BlockRowForWrite(at, col, end));
      CopyBytes(text + col, chars, n);
      FillBytes(sets + col, n, CharSet_);
      FillBytes(attrs + col, n, Attrs_);
      FillItems32(fore + col, n, ForeColor_);
      FillItems32(back + col, n, BackColor_);
    }
    tbInvalidateRect(row, col, row, col + n - 1);
    chars += n;
    count -= n;
    const int last = col + n - 1;
    if (last < R) {
      MoveCursorTo(row, last + 1);
    } else if (UseAutoWrapDelay) {
      // Written into the last column: the wrap waits for the next character.
      MoveCursorTo(row, R);
      WrapPending_ = true;
    } else {
      MoveCursorTo(row, R);
      tbMoveCursorLeftRight(1, UseAutoWrap, true);
    }
  }
}

void TAdTerminalBuffer::DoBackspace() {
  WrapPending_ = false;
  if (CursorCol_ > 0) MoveCursorTo(CursorRow_, CursorCol_ - 1);
}

void TAdTerminalBuffer::DoCarriageReturn() {
  WrapPending_ = false;
  MoveCursorTo(CursorRow_, 0);
}

void TAdTerminalBuffer::DoLineFeed() {
  if (UseNewLineMode) DoCarriageReturn();
  MoveCursorDown(true);
}

void TAdTerminalBuffer::DoLineFeeds(int count) {
  if (count <= 1) {
    if (count == 1) DoLineFeed();
    return;
  }
  if (UseNewLineMode) DoCarriageReturn();
  WrapPending_ = false;
  // Down to the bottom of the region, then one scroll for the rest.
  const int T = RegionTop(), B = RegionBottom();
  const int down = std::clamp(B - CursorRow_, 0, count);
  if (count > down) {
    tbScrollRows(count - down, UseScrollRegion_ ? T : 0, B);
    tbInvalidateRect(T, 0, B, ColCount_ - 1);
  }
  MoveCursorTo(CursorRow_ + down, CursorCol_);
}

void TAdTerminalBuffer::DoHorzTab() {
  WrapPending_ = false;
  if (ColCount_ <= 0) return;
  const int R = RegionRight();
  int col = CursorCol_ + 1;
  while (col < R && !HorzTabStops_[size_t(col)]) ++col;
  MoveCursorTo(CursorRow_, std::min(col, R));
}

void TAdTerminalBuffer::DoBackHorzTab() {
  int col = CursorCol_;
  while (col > 0) {
    --col;
    if (HorzTabStops_[size_t(col)]) break;
  }
  MoveCursorTo(CursorRow_, col);
}

void TAdTerminalBuffer::DoVertTab() {
  WrapPending_ = false;
  const int B = RegionBottom();
  int row = CursorRow_ + 1;
  while (row < B && !VertTabStops_[size_t(row)]) ++row;
  MoveCursorTo(std::min(row, B), CursorCol_);
}

void TAdTerminalBuffer::DoBackVertTab() {
  WrapPending_ = false;
  const int T = RegionTop();
  int row = CursorRow_;
  while (row > T) {
    --row;
    if (VertTabStops_[size_t(row)]) break;
  }
  MoveCursorTo(row, CursorCol_);
}

// ---------------------------------------------------------------------------
// Editing

void TAdTerminalBuffer::tbScrollRows(int aCount, int aTop, int aBottom) {
  if (aCount == 1 && aTop == 0 && aBottom == SVRowCount_ - 1)
    EachPlane([](TadTerminalArray& a) { a.ScrollAllUpOne(); });
  else
    EachPlane([&](TadTerminalArray& a) { a.ScrollRows(aCount, aTop, aBottom); });
  if (OnScrollRows)
    OnScrollRows(this, aCount, tbCvtToExternalRow(aTop, true), tbCvtToExternalRow(aBottom, true));
}

void TAdTerminalBuffer::ClearCells(int row, int fromCol, int toCol) {
  EachPlane([&](TadTerminalArray& a) { a.ClearItems(row, fromCol, toCol); });
  tbInvalidateRect(row, fromCol, row, toCol);
}

void TAdTerminalBuffer::InsertChars(int n) {
  n = std::min(n, RegionRight() + 1 - CursorCol_);
  if (n <= 0) return;
  EachPlane([&](TadTerminalArray& a) { a.InsertItems(n, CursorRow_, CursorCol_); });
  tbInvalidateRect(CursorRow_, CursorCol_, CursorRow_, RegionRight());
}

void TAdTerminalBuffer::DeleteChars(int n) {
  n = std::min(n, RegionRight() + 1 - CursorCol_);
  if (n <= 0) return;
  EachPlane([&](TadTerminalArray& a) { a.DeleteItems(n, CursorRow_, CursorCol_); });
  tbInvalidateRect(CursorRow_, CursorCol_, CursorRow_, RegionRight());
}

void TAdTerminalBuffer::InsertLines(int n) {
  if (n <= 0) return;
  tbScrollRows(-n, CursorRow_, RegionBottom());
  tbInvalidateRect(CursorRow_, 0, RegionBottom(), RegionRight());
}

void TAdTerminalBuffer::DeleteLines(int n) {
  if (n <= 0) return;
  tbScrollRows(n, CursorRow_, RegionBottom());
  tbInvalidateRect(CursorRow_, 0, RegionBottom(), RegionRight());
}

void TAdTerminalBuffer::EraseChars(int n) {
  int row = CursorRow_, col = CursorCol_;
  while (n > 0 && row <= RegionBottom()) {
    const int k = std::min(n, RegionRight() + 1 - col);
    ClearCells(row, col, col + k - 1);
    n -= k;
    ++row;
    col = 0;
  }
}

void TAdTerminalBuffer::EraseToEOL() {
  ClearCells(CursorRow_, CursorCol_, RegionRight());
}

void TAdTerminalBuffer::EraseFromBOL() {
  ClearCells(CursorRow_, 0, CursorCol_);
}

void TAdTerminalBuffer::EraseLine() {
  ClearCells(CursorRow_, 0, RegionRight());
}

void TAdTerminalBuffer::EraseToEOW() {
  ClearCells(CursorRow_, CursorCol_, ColCount_ - 1);
  const int first = CursorRow_ + 1, last = SVRowCount_ - 1;
  if (first > last) return;
  tbScrollRows(last - first + 1, first, last);
  tbInvalidateRect(first, 0, last, ColCount_ - 1);
}

void TAdTerminalBuffer::EraseFromBOW() {
  ClearCells(CursorRow_, 0, CursorCol_);
  const int first = ScreenTop(), last = CursorRow_ - 1;
  if (first > last) return;
  tbScrollRows(last - first + 1, first, last);
  tbInvalidateRect(first, 0, last, ColCount_ - 1);
}

void TAdTerminalBuffer::EraseScreen() {
  tbScrollRows(RowCount_, 0, SVRowCount_ - 1);
  InvalidateScreen();
}

void TAdTerminalBuffer::EraseAll() {
  EachPlane([](TadTerminalArray& a) { a.Clear(); });
  SetCursorPosition(1, 1);
  tbInvalidateRect(CursorRow_, 0, SVRowCount_ - 1, ColCount_ - 1);
}

// ---------------------------------------------------------------------------
// Tabs, regions, reset

void TAdTerminalBuffer::SetHorzTabStop() {
  HorzTabStops_[size_t(CursorCol_)] = 1;
}
void TAdTerminalBuffer::ClearHorzTabStop() {
  HorzTabStops_[size_t(CursorCol_)] = 0;
}
void TAdTerminalBuffer::ClearAllHorzTabStops() {
  std::fill(HorzTabStops_.begin(), HorzTabStops_.end(), 0);
}
void TAdTerminalBuffer::SetVertTabStop() {
  VertTabStops_[size_t(CursorRow_)] = true;
}
void TAdTerminalBuffer::ClearVertTabStop() {
  VertTabStops_[size_t(CursorRow_)] = false;
}
void TAdTerminalBuffer::ClearAllVertTabStops() {
  // Stops are kept by internal row, so all of them, not just RowCount.
  std::fill(VertTabStops_.begin(), VertTabStops_.end(), false);
}

void TAdTerminalBuffer::SetScrollRegion(int aTop, int aBottom) {
  WrapPending_ = false;
  if (aTop > aBottom) std::swap(aTop, aBottom);
  // Rows outside the screen would let the cursor leave the kept area.
  aTop = std::clamp(aTop, 1, RowCount_);
  aBottom = std::clamp(aBottom, 1, RowCount_);
  SRStartRow_ = aTop;
  SREndRow_ = aBottom;
  tbSetUseScrollRegion(false);
  if (!(aTop == 1 && aBottom == RowCount_)) tbSetUseScrollRegion(true);
}

void TAdTerminalBuffer::SetDisplayRegion(bool scrollRegion) {
  if (scrollRegion) {
    // The region is kept in screen rows: the screen may have changed shape
    // since it was set.
    const int top = std::clamp(SRStartRow_, 1, RowCount_);
    const int bottom = std::clamp(SREndRow_, top, RowCount_);
    DisplayOriginRow_ = ScreenTop() + top - 1;
    DisplayRowCount_ = bottom - top + 1;
  } else {
    DisplayOriginRow_ = ScreenTop();
    DisplayRowCount_ = RowCount_;
  }
}

void TAdTerminalBuffer::tbSetUseScrollRegion(bool v) {
  if (v == UseScrollRegion_) return;
  SetDisplayRegion(v);
  WrapPending_ = false;
  CursorMoved_ = true;
  CursorRow_ = DisplayOriginRow_;
  CursorCol_ = 0;
  UseScrollRegion_ = v;
  tbFireOnCursorMovedEvent();
}

void TAdTerminalBuffer::Reset() {
  Attrs_ = DefAttrs_;
  ForeColor_ = DefForeColor_;
  BackColor_ = DefBackColor_;
  CharSet_ = DefCharSet_;
  Chars_.SetDefaultItem(UseWideChars_ ? DefWideChar_ : DefAnsiChar_);
  CharSets_.SetDefaultItem(CharSet_);
  Attributes_.SetDefaultItem(Attrs_);
  ForeColors_.SetDefaultItem(ForeColor_);
  BackColors_.SetDefaultItem(BackColor_);
  EachPlane([](TadTerminalArray& a) { a.Clear(); });
  SetDefaultTabStops();
  UseAbsAddress = UseAutoWrap = UseAutoWrapDelay = true;
  UseInsertMode = UseNewLineMode = false;
  tbSetUseScrollRegion(false);
  WrapPending_ = false;
  SetCursorPosition(1, 1);
  InvalidateScreen();
}

// ---------------------------------------------------------------------------
// Rows for painting

void* TAdTerminalBuffer::GetLineCharPtr(int aRow) {
  return Chars_.GetItemPtr(tbCvtToInternalRow(aRow, true), 0);
}
uint8_t* TAdTerminalBuffer::GetLineCharSetPtr(int aRow) {
  return static_cast<uint8_t*>(CharSets_.GetItemPtr(tbCvtToInternalRow(aRow, true), 0));
}
uint8_t* TAdTerminalBuffer::GetLineAttrPtr(int aRow) {
  return static_cast<uint8_t*>(Attributes_.GetItemPtr(tbCvtToInternalRow(aRow, true), 0));
}
uint32_t* TAdTerminalBuffer::GetLineForeColorPtr(int aRow) {
  return static_cast<uint32_t*>(ForeColors_.GetItemPtr(tbCvtToInternalRow(aRow, true), 0));
}
uint32_t* TAdTerminalBuffer::GetLineBackColorPtr(int aRow) {
  return static_cast<uint32_t*>(BackColors_.GetItemPtr(tbCvtToInternalRow(aRow, true), 0));
}

// ---------------------------------------------------------------------------
// Invalid rectangles

void TAdTerminalBuffer::tbJoinInvalidRect(const TAdRect& r) {
  // The painter only ever asks for the bounding rectangle of the whole list,
  // so a rectangle that extends the newest one along its rows joins it
  // instead of taking a node: text written a cell at a time keeps the list
  // short. (One inside the newest never gets here.)
  TRectNode* head = InvalidRects_;
  if (head && r.Top == head->Rect.Top && r.Bottom == head->Rect.Bottom &&
      r.Left <= head->Rect.Right + 1 && r.Right >= head->Rect.Left - 1) {
    head->Rect.Left = std::min(head->Rect.Left, r.Left);
    head->Rect.Right = std::max(head->Rect.Right, r.Right);
    return;
  }
  TRectNode* node = TakeRectNode();
  node->Rect = r;
  node->Next = InvalidRects_;
  InvalidRects_ = node;
}

bool TAdTerminalBuffer::GetInvalidRect(TAdRect& rect) {
  TRectNode* first = InvalidRects_;
  if (!first) return false;
  for (TRectNode* node = first->Next; node;) {
    TRectNode* next = node->Next;
    first->Rect.Left = std::min(first->Rect.Left, node->Rect.Left);
    first->Rect.Top = std::min(first->Rect.Top, node->Rect.Top);
    first->Rect.Right = std::max(first->Rect.Right, node->Rect.Right);
    first->Rect.Bottom = std::max(first->Rect.Bottom, node->Rect.Bottom);
    GiveRectNode(node);
    node = next;
  }
  rect = first->Rect;
  InvalidRects_ = nullptr;
  GiveRectNode(first);
  return true;
}

TAdTerminalBuffer::TRectNode* TAdTerminalBuffer::TakeRectNode() {
  if (!FreeRects_) {
    RectBlocks_.push_back(std::make_unique<TRectNode[]>(kRectBlockNodes));
    TRectNode* block = RectBlocks_.back().get();
    for (int i = 0; i < kRectBlockNodes; ++i) GiveRectNode(&block[i]);
  }
  TRectNode* node = FreeRects_;
  FreeRects_ = node->Next;
  node->Next = nullptr;
  return node;
}

void TAdTerminalBuffer::GiveRectNode(TRectNode* node) {
  node->Next = FreeRects_;
  FreeRects_ = node;
}

void TAdTerminalBuffer::ReleaseRects() {
  while (InvalidRects_) {
    TRectNode* next = InvalidRects_->Next;
    GiveRectNode(InvalidRects_);
    InvalidRects_ = next;
  }
}

}  // namespace kestrel
