// The terminal window's input: keys, mouse selection, the clipboard and the
// capture file.

#include <QClipboard>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "messages/Adexcept.h"
#include "terminal/qt/AdTerminal.h"

namespace kestrel {

namespace {

// Virtual-key codes the emulators' key tables speak.
constexpr uint16_t vkClear = 12, vkPrior = 33, vkNext = 34, vkEnd = 35, vkHome = 36, vkLeft = 37,
                   vkUp = 38, vkRight = 39, vkDown = 40, vkInsert = 45, vkDelete = 46,
                   vkNumpad0 = 0x60, vkDecimal = 0x6E, vkF1 = 0x70;

uint16_t VirtualKey(const QKeyEvent* e) {
  const int k = e->key();
  if (k >= Qt::Key_A && k <= Qt::Key_Z) return uint16_t('A' + (k - Qt::Key_A));
  if (k >= Qt::Key_0 && k <= Qt::Key_9) return uint16_t('0' + (k - Qt::Key_0));
  if (k >= Qt::Key_F1 && k <= Qt::Key_F24) return uint16_t(vkF1 + (k - Qt::Key_F1));
  switch (k) {
    case Qt::Key_Backspace:
      return 8;
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
      return 9;
    case Qt::Key_Return:
    case Qt::Key_Enter:
      return 13;
    case Qt::Key_Escape:
      return 27;
    case Qt::Key_Space:
      return 32;
    case Qt::Key_Clear:
      return vkClear;
    case Qt::Key_PageUp:
      return vkPrior;
    case Qt::Key_PageDown:
      return vkNext;
    case Qt::Key_End:
      return vkEnd;
    case Qt::Key_Home:
      return vkHome;
    case Qt::Key_Left:
      return vkLeft;
    case Qt::Key_Up:
      return vkUp;
    case Qt::Key_Right:
      return vkRight;
    case Qt::Key_Down:
      return vkDown;
    case Qt::Key_Insert:
      return vkInsert;
    case Qt::Key_Delete:
      return vkDelete;
    default:
      return uint16_t(e->nativeVirtualKey() & 0xFFFF);
  }
}

// The keypad's own keys with Num Lock off arrive as navigation keys with the
// keypad flag: they become the numeric-keypad keys.
uint16_t KeypadKey(uint16_t vk) {
  switch (vk) {
    case vkClear:
      return vkNumpad0 + 5;
    case vkPrior:
      return vkNumpad0 + 9;
    case vkNext:
      return vkNumpad0 + 3;
    case vkEnd:
      return vkNumpad0 + 1;
    case vkHome:
      return vkNumpad0 + 7;
    case vkLeft:
      return vkNumpad0 + 4;
    case vkUp:
      return vkNumpad0 + 8;
    case vkRight:
      return vkNumpad0 + 6;
    case vkDown:
      return vkNumpad0 + 2;
    case vkInsert:
      return vkNumpad0;
    case vkDelete:
      return vkDecimal;
    default:
      return vk;
  }
}

TAdShiftState ShiftOf(Qt::KeyboardModifiers m) {
  TAdShiftState s = 0;
  if (m & Qt::ShiftModifier) s |= ssShift;
  if (m & Qt::AltModifier) s |= ssAlt;
  if (m & Qt::ControlModifier) s |= ssCtrl;
  return s;
}

// The character a key produces; keys whose event carries no text still
// type their control character.
std::string KeyText(const QKeyEvent* e) {
  const QString text = e->text();
  if (!text.isEmpty()) {
    std::string out;
    for (QChar c : text) out += c.unicode() < 256 ? char(c.unicode()) : '?';
    return out;
  }
  switch (e->key()) {
    case Qt::Key_Backspace:
      return "\b";
    case Qt::Key_Tab:
      return "\t";
    case Qt::Key_Return:
    case Qt::Key_Enter:
      return "\r";
    case Qt::Key_Escape:
      return "\x1b";
    default:
      return {};
  }
}

}  // namespace

bool TAdCustomTerminal::focusNextPrevChild(bool next) {
  // Tab belongs to the terminal when it wants all keys.
  if (WantAllKeys_) return false;
  return QAbstractScrollArea::focusNextPrevChild(next);
}

void TAdCustomTerminal::keyPressEvent(QKeyEvent* e) {
  const int k = e->key();
  const Qt::KeyboardModifiers mods = e->modifiers();
  if (MouseSelecting_ && k == Qt::Key_Escape) {
    MouseSelecting_ = false;
    HideSelection();
    return;
  }
  if (HaveSelection_ && (mods & Qt::ControlModifier) &&
      !(mods & (Qt::ShiftModifier | Qt::AltModifier)) && (k == Qt::Key_C || k == Qt::Key_Insert)) {
    CopyToClipboard();
    return;
  }
  if (k == Qt::Key_Shift || k == Qt::Key_Control || k == Qt::Key_Alt || k == Qt::Key_Meta ||
      k == Qt::Key_AltGr) {
    QAbstractScrollArea::keyPressEvent(e);
    return;
  }
  e->accept();
  const TAdShiftState shift = ShiftOf(mods);
  uint16_t key = VirtualKey(e);
  if (mods & Qt::KeypadModifier) key = k == Qt::Key_Enter ? 43 : KeypadKey(key);
  if (e->isAutoRepeat()) key |= 0x8000;
  if (Emulator_) Emulator_->KeyDown(key, shift);
  if (key == 0) return;
  if (OnKeyDown) OnKeyDown(key, shift);
  if (!WantAllKeys_ && key != 0 && Emulator_) Emulator_->KeyDown(key, shift);

  for (char c : KeyText(e)) {
    if (OnKeyPress) OnKeyPress(c);
    if (c != 0 && Emulator_) Emulator_->KeyPress(c);
  }
  if (!UseLazyDisplay_ && Emulator_ && Emulator_->NeedsUpdate()) tmRepaintNow();
}

// ---------------------------------------------------------------------------
// Mouse selection (buffer absolute rows, 1-based columns)

void TAdCustomTerminal::CellAt(const QPoint& p, int& col, int& row) const {
  const int x = std::clamp(p.x(), 0, std::max(0, VisibleCols_ * CellWidth_ - 1));
  const int y = std::clamp(p.y(), 0, std::max(0, VisibleRows_ * CellHeight_ - 1));
  col = std::clamp(OriginCol_ + x / CellWidth_, 1, std::max(1, Columns()));
  row = std::min(OriginRow_ + y / CellHeight_, Rows());
}

void TAdCustomTerminal::MarkSelection(bool on) {
  TAdTerminalBuffer* b = Buffer();
  if (!b) return;
  // Cells from the start to the end in reading order.
  int c1 = SelStartCol_, r1 = SelStartRow_, c2 = SelEndCol_, r2 = SelEndRow_;
  if (r2 < r1 || (r2 == r1 && c2 < c1)) {
    std::swap(c1, c2);
    std::swap(r1, r2);
  }
  // The columns are clamped: the buffer may have narrowed under the
  // selection without the window knowing.
  const int cols = b->ColCount();
  for (int row = r1; row <= r2; ++row) {
    uint8_t* attrs = b->GetLineAttrPtr(row);
    if (!attrs) continue;
    const int from = std::max(row == r1 ? c1 : 1, 1);
    const int to = std::min(row == r2 ? c2 : cols, cols);
    for (int col = from; col <= to; ++col) {
      if (on)
        attrs[col - 1] |= tcaSelected;
      else
        attrs[col - 1] &= uint8_t(~tcaSelected);
    }
  }
  GridStale_ = true;
  viewport()->update();
}

void TAdCustomTerminal::SetSelectionEnd(int col, int row) {
  if (HaveSelection_) MarkSelection(false);
  SelStartCol_ = AnchorCol_;
  SelStartRow_ = AnchorRow_;
  SelEndCol_ = col;
  SelEndRow_ = row;
  HaveSelection_ = true;
  MarkSelection(true);
}

void TAdCustomTerminal::HideSelection() {
  if (!HaveSelection_) return;
  MarkSelection(false);
  HaveSelection_ = false;
}

void TAdCustomTerminal::DropSelection() {
  MouseSelecting_ = false;
  HideSelection();
}

// The selection keeps to its text: a scroll of the whole kept area (a line
// feed on the bottom row) carries it along; any other scroll that touches
// it moves some of its cells and not others, so it ends, its marks cleared
// wherever they went.
void TAdCustomTerminal::RowsScrolled(TAdTerminalBuffer* buffer, int count, int top, int bottom) {
  if (!HaveSelection_ || buffer != Buffer()) return;
  const int oldest = Rows() - ScrollbackRows() + 1, newest = Rows();
  int r1 = SelStartRow_, r2 = SelEndRow_;
  if (r1 > r2) std::swap(r1, r2);
  if (top == oldest && bottom == newest) {
    SelStartRow_ -= count;
    SelEndRow_ -= count;
    AnchorRow_ -= count;
    r1 -= count;
    r2 -= count;
    if (r2 < oldest || r1 > newest) {  // all of it scrolled away, marks too
      HaveSelection_ = false;
      MouseSelecting_ = false;
      return;
    }
    // What went past an end is gone: the selection starts (or ends) there.
    auto clip = [&](int& col, int& row) {
      if (row < oldest) {
        row = oldest;
        col = 1;
      } else if (row > newest) {
        row = newest;
        col = Columns();
      }
    };
    clip(SelStartCol_, SelStartRow_);
    clip(SelEndCol_, SelEndRow_);
    clip(AnchorCol_, AnchorRow_);
    return;
  }
  if (bottom < r1 || top > r2) return;
  // Cells moved within top .. bottom only: clear the mark there and on the
  // selection's own rows.
  for (int row = std::min(r1, top); row <= std::max(r2, bottom); ++row)
    if (uint8_t* attrs = buffer->GetLineAttrPtr(row))
      for (int col = 0; col < buffer->ColCount(); ++col) attrs[col] &= uint8_t(~tcaSelected);
  HaveSelection_ = false;
  MouseSelecting_ = false;
  GridStale_ = true;
  viewport()->update();
}

void TAdCustomTerminal::mousePressEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton) {
    QAbstractScrollArea::mousePressEvent(e);
    return;
  }
  setFocus(Qt::MouseFocusReason);
  if (!MouseSelect_) return;
  HideSelection();
  LastMouse_ = e->position().toPoint();
  CellAt(LastMouse_, AnchorCol_, AnchorRow_);
  MouseSelecting_ = true;
}

void TAdCustomTerminal::mouseMoveEvent(QMouseEvent* e) {
  if (!MouseSelecting_) return;
  LastMouse_ = e->position().toPoint();
  int col, row;
  CellAt(LastMouse_, col, row);
  if (!HaveSelection_ || col != SelEndCol_ || row != SelEndRow_) SetSelectionEnd(col, row);
}

void TAdCustomTerminal::mouseReleaseEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton || !MouseSelecting_) return;
  MouseSelecting_ = false;
  if (MouseSelect_ && AutoCopy_ && HaveSelection_) CopyToClipboard();
}

void TAdCustomTerminal::CopyToClipboard() {
  TAdTerminalBuffer* b = Buffer();
  if (!b || !HaveSelection_) return;
  int c1 = SelStartCol_, r1 = SelStartRow_, c2 = SelEndCol_, r2 = SelEndRow_;
  if (r2 < r1 || (r2 == r1 && c2 < c1)) {
    std::swap(c1, c2);
    std::swap(r1, r2);
  }
  QString text;
  const int cols = b->ColCount();
  for (int row = r1; row <= r2; ++row) {
    const auto* chars = static_cast<const char*>(b->GetLineCharPtr(row));
    if (!chars) continue;
    const int from = std::max(row == r1 ? c1 : 1, 1);
    const int to = std::min(row == r2 ? c2 : cols, cols);
    text += QString::fromLatin1(chars + from - 1, std::max(0, to - from + 1));
    text += QStringLiteral("\r\n");
  }
  QGuiApplication::clipboard()->setText(text);
}

void TAdCustomTerminal::PasteFromClipboard() {
  const QString text = QGuiApplication::clipboard()->text();
  if (text.isEmpty()) return;
  const QByteArray bytes = text.toLatin1();
  const std::string_view s(bytes.constData(), size_t(bytes.size()));
  if (PasteToScreen_ && PasteToPort_ && ComPort_) {
    for (char c : s) {
      WriteChar(c);
      PortPutChar(c);
    }
    return;
  }
  if (PasteToScreen_) WriteString(s);
  if (PasteToPort_) PortPutString(s);
}

// ---------------------------------------------------------------------------
// Capture

void TAdCustomTerminal::CloseCapture() {
  if (CaptureStream_) std::fclose(CaptureStream_);
  CaptureStream_ = nullptr;
}

void TAdCustomTerminal::OpenCapture(bool append) {
  CloseCapture();
  if (CaptureFile_.empty()) CaptureFile_ = "KELPTERM.CAP";
  CaptureStream_ = std::fopen(CaptureFile_.c_str(), append ? "ab" : "wb");
  if (!CaptureStream_) {
    const int err = errno;
    throw EInOutError("Cannot " + std::string(append ? "open" : "create") + " file \"" +
                          CaptureFile_ + "\". " + std::strerror(err),
                      err);
  }
}

void TAdCustomTerminal::SetCapture(TAdCaptureMode mode) {
  if (mode == Capture_ || (mode == cmAppend && Capture_ == cmOn)) return;
  if (Capture_ == cmOn) CloseCapture();
  // An appending capture reads back as on.
  Capture_ = mode == cmOff ? cmOff : cmOn;
  if (mode != cmOff) OpenCapture(mode == cmAppend);
}

void TAdCustomTerminal::SetCaptureFile(const std::string& name) {
  const std::string next = name.empty() ? "KELPTERM.CAP" : name;
  if (next == CaptureFile_) return;
  CaptureFile_ = next;
  if (Capture_ == cmOn) OpenCapture(false);
}

}  // namespace kestrel
