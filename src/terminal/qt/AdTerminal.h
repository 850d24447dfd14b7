#pragma once
// TAdCustomTerminal (published as TAdTerminal): the window control that shows
// a terminal screen and takes keyboard input for it. Bytes from its port go
// through a guarded queue to the emulator, the emulator changes its buffer,
// and the window paints what the buffer says is invalid. Typed characters go
// through the owner's key-press handler, then to the emulator, which sends
// them to the port.
//
// The screen is drawn into an image of the character grid as changes arrive;
// the window shows the image, so the system's repaints (at most one per
// display interval) cost a copy, not a redraw.
//
// Thread contract: window thread only, except the trigger handler it
// registers with the port's dispatcher, which runs on the dispatch thread and
// touches only the shared receive state.

#include <QAbstractScrollArea>
#include <QElapsedTimer>
#include <QFont>
#include <QImage>
#include <QPointer>
#include <QRawFont>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "serial/qt/Adport.h"
#include "terminal/Adtrmemu.h"

class QTimer;

namespace kestrel {

enum TAdCaptureMode { cmOff, cmOn, cmAppend };
enum TAdCursorType { ctNone, ctUnderline, ctBlock };
enum TBorderStyle { bsNone, bsSingle };

// Message numbers of the control's own notifications.
inline constexpr uint32_t ApwTermStuff = 0x7E47;
inline constexpr uint32_t ApwTermForceSize = 0x7E4D;
inline constexpr uint32_t AwpWaitForPort = 0x7E89;
inline constexpr uint32_t ApwTermNeedsUpdate = 0x7E8A;

using TAdTerminalCursorMovedEvent =
    std::function<void(TAdTerminalBuffer* aSender, int aRow, int aCol)>;
using TAdKeyPressEvent = std::function<void(char& Key)>;
using TAdKeyDownEvent = std::function<void(uint16_t& Key, TAdShiftState Shift)>;

class TAdCustomTerminal : public QAbstractScrollArea,
                          public TAdTerminalHost,
                          public TAdTerminalNotifyTarget {
  Q_OBJECT

 public:
  explicit TAdCustomTerminal(QWidget* parent = nullptr);
  ~TAdCustomTerminal() override;

  // ---- published properties ----
  bool Active() const { return Active_; }
  void SetActive(bool v);
  bool AutoCopy() const { return AutoCopy_; }
  void SetAutoCopy(bool v) { AutoCopy_ = v; }
  bool AutoScrollback() const { return AutoScrollback_; }
  void SetAutoScrollback(bool v) { AutoScrollback_ = v; }
  // Values <= 0 store 0 (no blinking), 1..249 store 250.
  int BlinkTime() const { return BlinkTime_; }
  void SetBlinkTime(int ms);
  TBorderStyle BorderStyle() const { return BorderStyle_; }
  void SetBorderStyle(TBorderStyle style);
  TAdCaptureMode Capture() const { return Capture_; }
  void SetCapture(TAdCaptureMode mode);
  const std::string& CaptureFile() const { return CaptureFile_; }
  void SetCaptureFile(const std::string& name);
  int Columns() const;
  void SetColumns(int n);  // <= 0 or above the buffer's limit ignored
  TApdCustomComPort* ComPort() const { return ComPort_.data(); }
  void SetComPort(TApdCustomComPort* port);
  TAdCursorType CursorType() const { return CursorType_; }
  void SetCursorType(TAdCursorType type);
  // An emulator attached from outside; nullptr means the built-in one.
  TAdTerminalEmulator* Emulator() const {
    return Emulator_ == Default_.get() ? nullptr : Emulator_;
  }
  void SetEmulator(TAdTerminalEmulator* emulator);
  bool FollowCursor() const { return FollowCursor_; }
  void SetFollowCursor(bool v) { FollowCursor_ = v; }
  bool HalfDuplex() const override { return HalfDuplex_; }
  void SetHalfDuplex(bool v) { HalfDuplex_ = v; }
  bool HideScrollbars() const { return HideScrollbars_; }
  void SetHideScrollbars(bool v);
  int LazyByteDelay() const { return LazyByteDelay_; }
  void SetLazyByteDelay(int n);  // 1..1024, others ignored
  int LazyTimeDelay() const { return LazyTimeDelay_; }
  void SetLazyTimeDelay(int ms);  // 1..1000, others ignored
  bool MouseSelect() const { return MouseSelect_; }
  void SetMouseSelect(bool v);
  bool PasteToPort() const { return PasteToPort_; }
  void SetPasteToPort(bool v) { PasteToPort_ = v; }
  bool PasteToScreen() const { return PasteToScreen_; }
  void SetPasteToScreen(bool v) { PasteToScreen_ = v; }
  int Rows() const;
  void SetRows(int n);  // <= 0 or above the buffer's limit ignored
  int ScrollbackRows() const;
  void SetScrollbackRows(int n);  // <= 0 or above the buffer's limit ignored
  bool Scrollback() const { return Scrollback_; }
  void SetScrollback(bool v);
  bool UseLazyDisplay() const { return UseLazyDisplay_; }
  void SetUseLazyDisplay(bool v) { UseLazyDisplay_ = v; }
  bool WantAllKeys() const { return WantAllKeys_; }
  void SetWantAllKeys(bool v) { WantAllKeys_ = v; }
  bool FreezeScrollBack() const override { return FreezeScrollBack_; }
  void SetFreezeScrollBack(bool v) { FreezeScrollBack_ = v; }

  // Background colour and font colour (0x00BBGGRR); the font is the widget's.
  uint32_t Color() const override { return Color_; }
  void SetColor(uint32_t color) override;
  uint32_t FontColor() const override { return FontColor_; }
  void SetFontColor(uint32_t color) override;

  TAdTerminalCursorMovedEvent OnCursorMoved;
  TAdKeyPressEvent OnKeyPress;
  TAdKeyDownEvent OnKeyDown;

  // ---- operations ----
  // Shown as if received.
  void WriteChar(char c);
  void WriteString(std::string_view s);
  void Clear();
  void ClearAll();
  void CopyToClipboard();
  void PasteFromClipboard();
  void HideSelection();
  bool HasSelection() const { return HaveSelection_; }
  bool HasFocus() const { return hasFocus(); }

  // Screen contents by absolute buffer row and 1-based column.
  std::string tmGetLine(int row) const;
  void tmSetLine(int row, std::string_view text);
  TAdTerminalCharAttrs tmGetAttributes(int row, int col) const;
  void tmSetAttributes(int row, int col, TAdTerminalCharAttrs attrs);
  uint8_t tmGetCharSet(int row, int col) const;
  void tmSetCharSet(int row, int col, uint8_t charSet);
  uint32_t tmGetForeColor(int row, int col) const;
  void tmSetForeColor(int row, int col, uint32_t color);
  uint32_t tmGetBackColor(int row, int col) const;
  void tmSetBackColor(int row, int col, uint32_t color);

  // ---- what tests and benchmarks look at ----
  TAdTerminalEmulator* ActiveEmulator() const { return Emulator_; }
  TAdTerminalBuffer* Buffer() const { return Emulator_ ? Emulator_->Buffer() : nullptr; }
  bool TriggerHandlerRegistered() const { return HandlerRegistered_; }
  bool AttachPending() const { return AttachPending_; }
  int CellWidth() const { return CellWidth_; }
  int CellHeight() const { return CellHeight_; }
  int OriginCol() const { return OriginCol_; }
  int OriginRow() const { return OriginRow_; }
  // Window paints done (each a copy of the grid image).
  uint64_t PaintCount() const { return PaintCount_; }
  // System beeps given.
  uint64_t BeepCount() const { return BeepCount_; }
  // Shortest time between two repaints asked of the window system: one
  // display interval.
  int FrameIntervalMs() const;
  // Draws the whole grid again at once and has it shown.
  void Refresh();
  // The grid image as last drawn.
  const QImage& GridImage() const { return Grid_; }

  // ---- TAdTerminalHost ----
  TAdTerminalView View() const override;
  bool PortIsOpen() const override;
  void PortPutChar(char c) override;
  void PortPutString(std::string_view s) override;
  bool AttachedToPort() const override;
  void Beep() override;
  void RepaintNow() override { tmRepaintNow(); }
  void CursorMoved(TAdTerminalBuffer* buffer, int row, int col) override;
  void RowsScrolled(TAdTerminalBuffer* buffer, int count, int top, int bottom) override;
  void EmulatorLinked(TAdTerminalEmulator* emulator) override;
  void EmulatorUnlinked(TAdTerminalEmulator* emulator) override;

  // ---- TAdTerminalNotifyTarget ----
  void TermNeedsUpdate(uint32_t wParam, uint32_t lParam) override;

 protected:
  bool event(QEvent* e) override;
  void paintEvent(QPaintEvent* e) override;
  void resizeEvent(QResizeEvent* e) override;
  void changeEvent(QEvent* e) override;
  void focusInEvent(QFocusEvent* e) override;
  void focusOutEvent(QFocusEvent* e) override;
  bool focusNextPrevChild(bool next) override;
  void keyPressEvent(QKeyEvent* e) override;
  void mousePressEvent(QMouseEvent* e) override;
  void mouseMoveEvent(QMouseEvent* e) override;
  void mouseReleaseEvent(QMouseEvent* e) override;
  void scrollContentsBy(int dx, int dy) override;

 private:
  struct TReceiveShared;
  class TGridCanvas;

  // Binding to the port.
  void tmAttachToComPort();
  void tmDetachFromComPort();
  void tmWaitForPort();
  void tmTriggerHandler(uint32_t Msg, uint32_t wParam, uint32_t lParam);
  void RegisterWithPort(TApdCustomComPort* port);
  void DeregisterFromPort(TApdCustomComPort* port);
  void PostMessage(uint32_t Msg, uint32_t wParam = 0, uint32_t lParam = 0);

  // Receiving and repainting.
  void tmTermStuff(TAdCharSource source);
  void tmRepaintNow();
  void tmBeat();
  void RenderAll();
  // Shows changed grid pixels, at most once per display interval.
  void ShowDamage(const QRect& damage);
  void FlushDamage();
  void UpdateCaret();
  QRect CaretRect() const;

  // Cells, extent and view.
  void tmGetFontInfo();
  void tmCalcExtent();
  void tmForceSize();
  void SetOriginCol(int col);
  void SetOriginRow(int row);
  void ClampOrigin();
  void UpdateScrollBars();
  void VertBarAction(int action);
  bool VertBarShown() const;
  bool HorzBarShown() const;
  int LowestOriginRow() const;
  void FollowCursorTo(int row, int col);
  // The first row to show so that `row` (absolute) is wholly in view.
  int OriginRowShowing(int row) const;
  // With FollowCursor on and the view not in the scrollback, shows the
  // cursor's row.
  void KeepCursorRowInView();
  void ApplyEmulator(TAdTerminalEmulator* next);
  bool ScreenIsBlank() const;

  // Selection.
  void CellAt(const QPoint& p, int& col, int& row) const;
  void MarkSelection(bool on);
  void SetSelectionEnd(int col, int row);
  // Ends a selection and any drag making one: the screen changes shape.
  void DropSelection();

  // Capture.
  void OpenCapture(bool append);
  void CloseCapture();

  // Properties.
  bool Active_ = true;
  bool AutoCopy_ = true;
  bool AutoScrollback_ = true;
  int BlinkTime_ = 500;
  TBorderStyle BorderStyle_ = bsSingle;
  TAdCaptureMode Capture_ = cmOff;
  std::string CaptureFile_ = "KELPTERM.CAP";
  QPointer<TApdCustomComPort> ComPort_;
  TAdCursorType CursorType_ = ctBlock;
  bool FollowCursor_ = true;
  bool HalfDuplex_ = false;
  bool HideScrollbars_ = false;
  int LazyByteDelay_ = 200;
  int LazyTimeDelay_ = 100;
  bool MouseSelect_ = true;
  bool PasteToPort_ = false;
  bool PasteToScreen_ = false;
  bool Scrollback_ = false;
  bool UseLazyDisplay_ = true;
  bool WantAllKeys_ = true;
  bool FreezeScrollBack_ = true;
  uint32_t Color_ = adBlack;
  uint32_t FontColor_ = adSilver;

  // Internal state.
  int BlinkAccum_ = 0;
  bool BlinkPhase_ = false;
  std::shared_ptr<TReceiveShared> Receive_;
  std::vector<uint8_t> Taken_;  // the block being handed to the emulator
  std::FILE* CaptureStream_ = nullptr;
  QImage Grid_;
  bool GridStale_ = true;
  int CellHeight_ = 1;
  int CellWidth_ = 1;
  QRawFont RawFont_;
  int VisibleCols_ = 0, FullCols_ = 0, VisibleRows_ = 0, FullRows_ = 0;
  std::unique_ptr<TAdTTYEmulator> Default_;
  TAdTerminalEmulator* Emulator_ = nullptr;
  bool HaveSelection_ = false;
  QTimer* Timer_ = nullptr;
  // Both stop at a ceiling far above any delay they are compared with:
  // without lazy display, or without changes, nothing resets them.
  static constexpr int kLazyCeiling = 1 << 30;
  int LazyBytes_ = 0;
  int LazyTime_ = 0;
  int AnchorCol_ = 0, AnchorRow_ = 0;
  bool MouseSelecting_ = false;
  int SelStartCol_ = 0, SelStartRow_ = 0, SelEndCol_ = 0, SelEndRow_ = 0;
  QPoint LastMouse_;
  int OriginCol_ = 1;
  int OriginRow_ = 1;
  bool HandlerRegistered_ = false;
  bool NeedHorzBar_ = false, NeedVertBar_ = false;
  bool AttachPending_ = false;
  bool InWaitForPort_ = false;
  bool HideHorz_ = false, HideVert_ = false;  // cursor beyond the fully visible area
  bool NeedsUpdatePosted_ = false;
  bool ForceSizePosted_ = false;
  bool SyncingBars_ = false;
  QRect CaretShownAt_;
  QRect PendingDamage_;
  QTimer* FrameTimer_ = nullptr;
  QElapsedTimer LastFlush_;
  uint64_t PaintCount_ = 0;
  bool BeepedThisBlock_ = false;
  QElapsedTimer LastBeep_;
  uint64_t BeepCount_ = 0;
};

// The published form of the control.
class TAdTerminal : public TAdCustomTerminal {
  Q_OBJECT

 public:
  using TAdCustomTerminal::TAdCustomTerminal;
};

}  // namespace kestrel
