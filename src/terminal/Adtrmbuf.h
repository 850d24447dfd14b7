#pragma once
// TAdTerminalBuffer: everything a terminal screen shows (character, character
// set, attributes and two colours per cell), the cursor, the display and
// scroll regions, tab stops, a scrollback area above the screen and the
// rectangles that need repainting. It knows nothing of fonts, windows or ports.
//
// External numbering is 1-based: column 1 is the first column; in absolute
// numbering row 1 is the top screen row, row 0 the newest scrollback row.
//
// Thread contract: single thread (the terminal window's); no locks, and the
// pool of invalid-rectangle nodes shared by all buffers is unlocked too.

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "terminal/AdtrmArray.h"

namespace kestrel {

// TAdTerminalCharAttrs: a set of these bits.
using TAdTerminalCharAttrs = uint8_t;
inline constexpr TAdTerminalCharAttrs tcaBold = 0x01;
inline constexpr TAdTerminalCharAttrs tcaUnderline = 0x02;
inline constexpr TAdTerminalCharAttrs tcaStrikethrough = 0x04;
inline constexpr TAdTerminalCharAttrs tcaBlink = 0x08;
inline constexpr TAdTerminalCharAttrs tcaReverse = 0x10;
inline constexpr TAdTerminalCharAttrs tcaInvisible = 0x20;
inline constexpr TAdTerminalCharAttrs tcaSelected = 0x40;

// Colours are 0x00BBGGRR values.
inline constexpr uint32_t adBlack = 0x000000;
inline constexpr uint32_t adSilver = 0xC0C0C0;

struct TAdRect {
  int32_t Left = 0, Top = 0, Right = 0, Bottom = 0;
};

class TAdTerminalBuffer;
using TAdScrollRowsNotifyEvent =
    std::function<void(TAdTerminalBuffer* aSender, int aCount, int aTop, int aBottom)>;
using TAdOnCursorMovedEvent = std::function<void(TAdTerminalBuffer* ASender, int Row, int Col)>;

// The window a buffer tells about new invalid rectangles (the terminal
// window's needs-update notification, both parameters 0).
class TAdTerminalNotifyTarget {
 public:
  virtual void TermNeedsUpdate(uint32_t wParam, uint32_t lParam) = 0;

 protected:
  ~TAdTerminalNotifyTarget() = default;
};

class TAdTerminalBuffer {
 public:
  // Far beyond what a screen shows, and small enough that every plane of
  // the largest buffer fits in memory; larger counts are refused.
  static constexpr int kMaxColCount = 2000;
  static constexpr int kMaxSVRowCount = 10000;

  explicit TAdTerminalBuffer(bool UseWideChars);
  ~TAdTerminalBuffer();
  TAdTerminalBuffer(const TAdTerminalBuffer&) = delete;
  TAdTerminalBuffer& operator=(const TAdTerminalBuffer&) = delete;

  // ---- properties ----
  int Col() const { return tbGetCol(); }
  void SetCol(int c) { tbSetCol(c); }
  int Row() const { return tbGetRow(); }
  void SetRow(int r) { tbSetRow(r); }
  int ColCount() const { return ColCount_; }
  void SetColCount(int n) { tbSetColCount(n); }
  int RowCount() const { return RowCount_; }
  void SetRowCount(int n) { tbSetRowCount(n); }
  int SVRowCount() const { return SVRowCount_; }
  void SetSVRowCount(int n) { tbSetSVRowCount(n); }
  int OriginCol() const { return tbGetOriginCol(); }
  int OriginRow() const { return tbGetOriginRow(); }
  uint32_t ForeColor() const { return ForeColor_; }
  uint32_t BackColor() const { return BackColor_; }
  uint8_t CharSet() const { return CharSet_; }
  uint32_t DefForeColor() const { return DefForeColor_; }
  uint32_t DefBackColor() const { return DefBackColor_; }
  uint8_t DefAnsiChar() const { return DefAnsiChar_; }
  bool UseScrollRegion() const { return UseScrollRegion_; }
  bool UseWideChars() const { return UseWideChars_; }

  bool UseAbsAddress = true;
  bool UseAutoWrap = true;
  bool UseAutoWrapDelay = true;
  bool UseInsertMode = false;
  bool UseNewLineMode = false;
  TAdOnCursorMovedEvent OnCursorMoved;
  TAdScrollRowsNotifyEvent OnScrollRows;

  // The cursor always lies in the kept area, so these need no care.
  int tbGetCol() const { return CursorCol_ + 1; }
  void tbSetCol(int c);
  int tbGetRow() const {
    return CursorRow_ - (UseAbsAddress ? ScreenTop() : DisplayOriginRow_) + 1;
  }
  void tbSetRow(int r);
  void tbSetColCount(int n);
  void tbSetRowCount(int n);
  void tbSetSVRowCount(int n);
  int tbGetOriginCol() const { return 1; }
  int tbGetOriginRow() const { return tbCvtToExternalRow(DisplayOriginRow_, true); }
  void tbSetForeColor(uint32_t c);
  void tbSetBackColor(uint32_t c);
  void tbSetCharSet(uint8_t c);
  void tbSetDefForeColor(uint32_t c);
  void tbSetDefBackColor(uint32_t c);
  void tbSetDefAnsiChar(uint8_t c);
  void tbSetUseScrollRegion(bool v);

  // ---- writing ----
  void WriteChar(uint16_t ch);
  void WriteString(std::string_view s);
  // The same as WriteChar for each byte in turn, a row's worth at a time.
  void WriteChars(const uint8_t* chars, int count);
  // WriteChars of one character: echoed keys, a character and a backspace.
  void WriteOneChar(uint8_t ch);

  // ---- control characters ----
  void DoBackspace();
  void DoCarriageReturn();
  void DoLineFeed();
  // The same as DoLineFeed count times, scrolling once by what is left at
  // the bottom.
  void DoLineFeeds(int count);
  void DoHorzTab();
  void DoBackHorzTab();
  void DoVertTab();
  void DoBackVertTab();

  // ---- cursor ----
  void MoveCursorUp(bool aScroll);
  void MoveCursorDown(bool aScroll);
  void MoveCursorLeft(bool aWrap, bool aScroll);
  void MoveCursorRight(bool aWrap, bool aScroll);
  void SetCursorPosition(int aRow, int aCol);

  // ---- editing ----
  void InsertChars(int n);
  void DeleteChars(int n);
  void InsertLines(int n);
  void DeleteLines(int n);
  void EraseChars(int n);
  void EraseToEOL();
  void EraseFromBOL();
  void EraseLine();
  void EraseToEOW();
  void EraseFromBOW();
  void EraseScreen();
  void EraseAll();

  // ---- tabs (at the cursor) ----
  void SetHorzTabStop();
  void ClearHorzTabStop();
  void ClearAllHorzTabStops();
  void SetVertTabStop();
  void ClearVertTabStop();
  void ClearAllVertTabStops();

  void SetScrollRegion(int aTop, int aBottom);

  // ---- attributes ----
  void GetCharAttrs(TAdTerminalCharAttrs& attrs) const { attrs = Attrs_; }
  void GetDefCharAttrs(TAdTerminalCharAttrs& attrs) const { attrs = DefAttrs_; }
  void SetCharAttrs(TAdTerminalCharAttrs attrs);
  // Takes effect at the next Reset.
  void SetDefCharAttrs(TAdTerminalCharAttrs attrs) { DefAttrs_ = attrs; }

  void Reset();

  // ---- rows for painting; aRow in absolute numbering, nullptr when out of range ----
  void* GetLineCharPtr(int aRow);
  uint8_t* GetLineCharSetPtr(int aRow);
  uint8_t* GetLineAttrPtr(int aRow);
  uint32_t* GetLineForeColorPtr(int aRow);
  uint32_t* GetLineBackColorPtr(int aRow);

  // ---- change tracking ----
  bool HasCursorMoved();
  bool HasDisplayChanged() const { return InvalidRects_ != nullptr; }
  // Drains every invalid rectangle into one bounding rectangle.
  bool GetInvalidRect(TAdRect& rect);

  void RegisterTerminalHandle(TAdTerminalNotifyTarget* handle) { Handle_ = handle; }
  void DeregisterTerminalHandle() { Handle_ = nullptr; }

  // ---- conversions (flag: absolute or region-relative numbering) ----
  int tbCvtToInternalRow(int row, bool absolute) const;
  int tbCvtToExternalRow(int row, bool absolute) const;
  int tbCvtToInternalCol(int col, bool absolute) const;
  int tbCvtToExternalCol(int col, bool absolute) const;

  // A node of the invalid-rectangle list (pooled per buffer).
  struct TRectNode {
    TRectNode* Next;
    TAdRect Rect;
  };

 private:
  // Display region edges, internal.
  int RegionTop() const { return DisplayOriginRow_; }
  int RegionBottom() const { return DisplayOriginRow_ + DisplayRowCount_ - 1; }
  int RegionRight() const { return ColCount_ - 1; }
  int ScreenTop() const { return SVRowCount_ - RowCount_; }

  bool tbAtLastColumn() const { return CursorCol_ == RegionRight(); }
  void tbFireOnCursorMovedEvent() {
    if (CursorMoved_ && OnCursorMoved) OnCursorMoved(this, tbGetRow(), tbGetCol());
  }
  void tbInvalidateRect(int aFromRow, int aFromCol, int aToRow, int aToCol) {
    const int shift = RowCount_ - SVRowCount_ + 1;
    const TAdRect r{aFromCol + 1, aFromRow + shift, aToCol + 1, aToRow + shift};
    // Most land inside the newest rectangle (a line feed invalidated the
    // whole screen, the text follows).
    const TRectNode* head = InvalidRects_;
    if (!head || r.Top < head->Rect.Top || r.Bottom > head->Rect.Bottom ||
        r.Left < head->Rect.Left || r.Right > head->Rect.Right)
      tbJoinInvalidRect(r);
    if (Handle_) Handle_->TermNeedsUpdate(0, 0);
  }
  void tbJoinInvalidRect(const TAdRect& r);
  void tbMoveCursorLeftRight(int aDirection, bool aWrap, bool aScroll);
  void tbMoveCursorUpDown(int aDirection, bool aScroll);
  void tbReallocBuffers(int rows, int cols);
  void tbScrollRows(int aCount, int aTop, int aBottom);
  void MoveCursorTo(int row, int col) {
    if (row != CursorRow_ || col != CursorCol_) CursorMoved_ = true;
    CursorRow_ = row;
    CursorCol_ = col;
    tbFireOnCursorMovedEvent();
  }
  void ClearCells(int row, int fromCol, int toCol);
  // The display region: the scroll region, or the whole screen.
  void SetDisplayRegion(bool scrollRegion);
  void SetDefaultTabStops();
  void InvalidateScreen();
  void ReleaseRects();
  template <typename Op>
  void EachPlane(Op op);

  TAdTerminalCharAttrs Attrs_ = 0;
  uint32_t BackColor_ = adBlack;
  bool WrapPending_ = false;
  uint8_t CharSet_ = 0;
  int ColCount_ = 80;
  int CursorCol_ = 0;
  bool CursorMoved_ = false;
  int CursorRow_ = 0;
  uint8_t DefAnsiChar_ = 32;
  TAdTerminalCharAttrs DefAttrs_ = 0;
  uint8_t DefCharSet_ = 0;
  uint32_t DefBackColor_ = adBlack;
  uint32_t DefForeColor_ = adSilver;
  uint16_t DefWideChar_ = 32;
  int DisplayOriginRow_ = 0;
  int DisplayRowCount_ = 0;
  uint32_t ForeColor_ = adSilver;
  std::vector<uint8_t> HorzTabStops_;
  TRectNode* InvalidRects_ = nullptr;
  // The nodes of InvalidRects_ come from blocks of kRectBlockNodes that the
  // buffer keeps until it goes, so that invalidating a cell per written
  // character costs no allocation in the steady state.
  static constexpr int kRectBlockNodes = 200;
  TRectNode* TakeRectNode();
  void GiveRectNode(TRectNode* node);
  TRectNode* FreeRects_ = nullptr;
  std::vector<std::unique_ptr<TRectNode[]>> RectBlocks_;
  int RowCount_ = 24;
  int SRStartRow_ = 1;  // scroll region, screen rows (1 = top screen row)
  int SREndRow_ = 24;
  int SVRowCount_ = 200;
  bool UseScrollRegion_ = false;
  bool UseWideChars_;
  std::vector<bool> VertTabStops_;  // by internal row: covers the whole kept area
  TadTerminalArray Chars_;
  TadTerminalArray CharSets_;
  TadTerminalArray Attributes_;
  TadTerminalArray ForeColors_;
  TadTerminalArray BackColors_;
  TAdTerminalNotifyTarget* Handle_ = nullptr;
};

}  // namespace kestrel
