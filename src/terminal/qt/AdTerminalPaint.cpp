// The terminal window's drawing: cell metrics, extent and scroll bars, the
// view origin, the grid image, the caret and the 100 ms beat.

#include <QFontMetrics>
#include <QGlyphRun>
#include <QPaintEvent>
#include <QPainter>
#include <QRawFont>
#include <QScreen>
#include <QScrollBar>
#include <QTimer>
#include <algorithm>

#include "terminal/qt/AdTerminal.h"
#include "terminal/qt/AdTerminalEvents.h"

namespace kestrel {

namespace {

QColor ToQColor(uint32_t c) {
  return QColor(int(c & 0xFF), int((c >> 8) & 0xFF), int((c >> 16) & 0xFF));
}

}  // namespace

// Draws into the grid image and remembers the area it touched. Glyphs are
// placed at their cells' positions: a font's own advance may be a fraction
// of a pixel wider or narrower than the whole-pixel cell.
class TAdCustomTerminal::TGridCanvas : public TAdTerminalCanvas {
 public:
  TGridCanvas(QImage& image, const QFont& font, const QRawFont& raw)
      : Painter_(&image), Raw_(raw), Ascent_(QFontMetrics(font).ascent()) {
    Painter_.setFont(font);
  }

  void FillRect(int x, int y, int width, int height, uint32_t color) override {
    const QRect r(x, y, width, height);
    Painter_.fillRect(r, ToQColor(color));
    Damage |= r;
  }
  void DrawText(int x, int y, int cellWidth, const char* text, int count, uint32_t color) override {
    Painter_.setPen(ToQColor(color));
    const QString s = QString::fromLatin1(text, count);
    if (!Raw_.isValid()) {
      for (int i = 0; i < count; ++i)
        Painter_.drawText(x + i * cellWidth, y + Ascent_, QString(s[i]));
      return;
    }
    const QList<quint32> glyphs = Raw_.glyphIndexesForString(s);
    QList<QPointF> positions(glyphs.size());
    for (qsizetype i = 0; i < positions.size(); ++i)
      positions[i] = QPointF(qreal(i * cellWidth), qreal(Ascent_));
    QGlyphRun run;
    run.setRawFont(Raw_);
    run.setGlyphIndexes(glyphs);
    run.setPositions(positions);
    Painter_.drawGlyphRun(QPointF(x, y), run);
  }
  void DrawHorzLine(int x, int y, int width, uint32_t color) override {
    Painter_.fillRect(QRect(x, y, width, 1), ToQColor(color));
  }

  QRect Damage;

 private:
  QPainter Painter_;
  const QRawFont& Raw_;
  int Ascent_;
};

// ---------------------------------------------------------------------------
// Cells and extent

void TAdCustomTerminal::tmGetFontInfo() {
  const QFontMetrics fm(font());
  const int height = fm.height() + std::max(0, fm.leading());
  // The widest character this 8-bit terminal can show sets the cell.
  int width = 1;
  for (int c = 32; c < 256; ++c)
    if (c < 127 || c >= 160) width = std::max(width, fm.horizontalAdvance(QChar(c)));
  RawFont_ = QRawFont::fromFont(font());
  if (height == CellHeight_ && width == CellWidth_) return;
  CellHeight_ = std::max(1, height);
  CellWidth_ = width;
  GridStale_ = true;
  tmCalcExtent();
  KeepCursorRowInView();
  viewport()->update();
}

void TAdCustomTerminal::changeEvent(QEvent* e) {
  if (e->type() == QEvent::FontChange) {
    tmGetFontInfo();
    GridStale_ = true;
    viewport()->update();
  }
  QAbstractScrollArea::changeEvent(e);
}

void TAdCustomTerminal::tmCalcExtent() {
  const int cols = Columns(), rows = Rows();
  if (cols <= 0 || rows <= 0) return;
  const QSize client = viewport()->size();
  const int w = std::max(0, client.width()), h = std::max(0, client.height());
  VisibleCols_ = std::min((w + CellWidth_ - 1) / CellWidth_, cols - OriginCol_ + 1);
  FullCols_ = std::min(w / CellWidth_, cols - OriginCol_ + 1);
  VisibleRows_ = std::min((h + CellHeight_ - 1) / CellHeight_, rows - OriginRow_ + 1);
  FullRows_ = std::min(h / CellHeight_, rows - OriginRow_ + 1);
  VisibleCols_ = std::max(VisibleCols_, 0);
  VisibleRows_ = std::max(VisibleRows_, 0);

  const bool needHorz = FullCols_ < cols;
  const bool needVert = FullRows_ < rows;
  bool force = false;
  if (needHorz != NeedHorzBar_) force = true;
  if (needVert != NeedVertBar_ && (!needVert || ScrollbackRows() <= rows)) force = true;
  NeedHorzBar_ = needHorz;
  NeedVertBar_ = needVert;
  if (force && !ForceSizePosted_) {
    ForceSizePosted_ = true;
    PostMessage(ApwTermForceSize);
  }

  const QSize grid(std::max(1, VisibleCols_ * CellWidth_), std::max(1, VisibleRows_ * CellHeight_));
  if (Grid_.size() != grid) {
    Grid_ = QImage(grid, QImage::Format_RGB32);
    GridStale_ = true;
  }
  UpdateScrollBars();
}

void TAdCustomTerminal::tmForceSize() {
  UpdateScrollBars();
  tmCalcExtent();
}

void TAdCustomTerminal::resizeEvent(QResizeEvent* e) {
  QAbstractScrollArea::resizeEvent(e);
  tmCalcExtent();
  const QSize client = viewport()->size();
  // A view scrolled right or down follows a window that grew.
  if (OriginCol_ > 1 && VisibleCols_ * CellWidth_ < client.width())
    SetOriginCol(Columns() - client.width() / CellWidth_ + 1);
  if (OriginRow_ > 1 && VisibleRows_ * CellHeight_ < client.height())
    SetOriginRow(Rows() - client.height() / CellHeight_ + 1);
  KeepCursorRowInView();
  GridStale_ = true;
}

// ---------------------------------------------------------------------------
// View origin and scroll bars

int TAdCustomTerminal::LowestOriginRow() const {
  return !NeedVertBar_ || Scrollback_ ? Rows() - ScrollbackRows() + 1 : 1;
}

void TAdCustomTerminal::ClampOrigin() {
  OriginCol_ = std::clamp(OriginCol_, 1, std::max(1, Columns() - FullCols_ + 1));
  const int lowest = LowestOriginRow();
  OriginRow_ = std::clamp(OriginRow_, lowest, std::max(lowest, Rows() - FullRows_ + 1));
}

void TAdCustomTerminal::SetOriginCol(int col) {
  const int old = OriginCol_;
  OriginCol_ = col;
  ClampOrigin();
  if (OriginCol_ == old) return;
  GridStale_ = true;
  tmCalcExtent();
  viewport()->update();
}

void TAdCustomTerminal::SetOriginRow(int row) {
  const int old = OriginRow_;
  OriginRow_ = row;
  ClampOrigin();
  if (OriginRow_ == old) return;
  GridStale_ = true;
  tmCalcExtent();
  viewport()->update();
}

bool TAdCustomTerminal::HorzBarShown() const {
  return NeedHorzBar_ && (!HideScrollbars_ || HideHorz_);
}

bool TAdCustomTerminal::VertBarShown() const {
  return (NeedVertBar_ && (!HideScrollbars_ || HideVert_)) ||
         (ScrollbackRows() > Rows() && Scrollback_);
}

void TAdCustomTerminal::UpdateScrollBars() {
  if (SyncingBars_) return;
  SyncingBars_ = true;
  setHorizontalScrollBarPolicy(HorzBarShown() ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(VertBarShown() ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
  QScrollBar* h = horizontalScrollBar();
  h->setRange(0, std::max(0, Columns() - std::max(FullCols_, 1)));
  h->setPageStep(std::max(FullCols_, 1));
  h->setValue(OriginCol_ - 1);
  QScrollBar* v = verticalScrollBar();
  const int low = !NeedVertBar_ || Scrollback_ ? Rows() - ScrollbackRows() : 0;
  v->setRange(low, std::max(low, Rows() - std::max(FullRows_, 1)));
  v->setPageStep(std::max(FullRows_, 1));
  v->setValue(OriginRow_ - 1);
  SyncingBars_ = false;
}

void TAdCustomTerminal::scrollContentsBy(int, int) {
  if (SyncingBars_) return;
  SetOriginCol(horizontalScrollBar()->value() + 1);
  SetOriginRow(verticalScrollBar()->value() + 1);
}

// Scrolling up from the top screen row reaches into the scrollback; coming
// back down to the screen leaves it. A line up at the top of the screen
// changes no value (the bar ends there until the scrollback is on), so this
// follows what the operator did with the bar, not where it went.
void TAdCustomTerminal::VertBarAction(int action) {
  if (SyncingBars_ || !NeedVertBar_ || !AutoScrollback_) return;
  QScrollBar* v = verticalScrollBar();
  if (!Scrollback_ && action == QAbstractSlider::SliderSingleStepSub && OriginRow_ <= 1) {
    SetScrollback(true);
    v->setSliderPosition(OriginRow_ - 2);  // the line up itself
  } else if (Scrollback_ && OriginRow_ < 1 && action != QAbstractSlider::SliderNoAction) {
    const int wanted = v->sliderPosition();
    if (wanted + 1 >= 1) {
      SetScrollback(false);
      v->setSliderPosition(wanted);
    }
  }
}

int TAdCustomTerminal::OriginRowShowing(int row) const {
  // The row wholly in view, the view moved no further than that.
  const int full = std::max(FullRows_, 1);
  if (row < OriginRow_) return row;
  if (row >= OriginRow_ + full) return row - full + 1;
  return OriginRow_;
}

void TAdCustomTerminal::FollowCursorTo(int row, int col) {
  TAdTerminalBuffer* b = Buffer();
  if (b && !b->UseAbsAddress) row += b->OriginRow() - 1;
  int oc = OriginCol_;
  if (col < oc) oc = col;
  if (col > oc + FullCols_) oc = col - FullCols_;
  SetOriginCol(oc);
  SetOriginRow(OriginRowShowing(row));
}

void TAdCustomTerminal::KeepCursorRowInView() {
  // A view the operator scrolled into the scrollback stays where it is.
  TAdTerminalBuffer* b = Buffer();
  if (!b || !FollowCursor_ || Scrollback_) return;
  SetOriginRow(OriginRowShowing(b->UseAbsAddress ? b->Row() : b->Row() + b->OriginRow() - 1));
}

TAdTerminalView TAdCustomTerminal::View() const {
  TAdTerminalView v;
  v.OriginCol = OriginCol_;
  v.OriginRow = OriginRow_;
  v.VisibleCols = VisibleCols_;
  v.VisibleRows = VisibleRows_;
  v.CellWidth = CellWidth_;
  v.CellHeight = CellHeight_;
  v.VertScrollPos = OriginRow_ - 1;
  return v;
}

// ---------------------------------------------------------------------------
// Painting

void TAdCustomTerminal::RenderAll() {
  GridStale_ = false;
  if (!Emulator_ || Grid_.isNull()) return;
  Grid_.fill(ToQColor(Color_));
  TGridCanvas canvas(Grid_, font(), RawFont_);
  Emulator_->Paint(canvas, TAdRect{0, 0, Grid_.width(), Grid_.height()});
  // Everything is drawn: what was waiting is done.
  TAdRect r;
  while (Emulator_->Buffer()->GetInvalidRect(r)) {
  }
}

void TAdCustomTerminal::tmRepaintNow() {
  if (!Emulator_) return;
  if (GridStale_) {
    RenderAll();
    ShowDamage(Grid_.rect());
  } else {
    TGridCanvas canvas(Grid_, font(), RawFont_);
    Emulator_->LazyPaint(canvas);
    if (!canvas.Damage.isEmpty()) ShowDamage(canvas.Damage);
  }
  UpdateCaret();
}

void TAdCustomTerminal::Refresh() {
  GridStale_ = true;
  tmRepaintNow();
  FlushDamage();
}

int TAdCustomTerminal::FrameIntervalMs() const {
  const QScreen* s = screen();
  const qreal rate = s ? s->refreshRate() : 60.0;
  return std::clamp(int(1000.0 / (rate > 1.0 ? rate : 60.0)), 4, 50);
}

// The grid image is always up to date; only showing it waits. A burst of
// data therefore costs one window repaint per display interval, however
// many blocks it arrives in.
void TAdCustomTerminal::ShowDamage(const QRect& damage) {
  PendingDamage_ |= damage;
  if (FrameTimer_->isActive()) return;
  const qint64 since = LastFlush_.isValid() ? LastFlush_.elapsed() : qint64(1) << 30;
  const int interval = FrameIntervalMs();
  if (since >= interval)
    FlushDamage();
  else
    FrameTimer_->start(int(interval - since));
}

void TAdCustomTerminal::FlushDamage() {
  FrameTimer_->stop();
  LastFlush_.start();
  if (PendingDamage_.isEmpty()) return;
  viewport()->update(PendingDamage_);
  PendingDamage_ = QRect();
}

QRect TAdCustomTerminal::CaretRect() const {
  TAdTerminalBuffer* b = Buffer();
  if (!b || CursorType_ == ctNone) return {};
  int row = b->Row(), col = b->Col();
  if (!b->UseAbsAddress) row += b->OriginRow() - 1;
  const int x = (col - OriginCol_) * CellWidth_;
  const int y = (row - OriginRow_) * CellHeight_;
  if (CursorType_ == ctUnderline) return QRect(x, y + CellHeight_ - 2, CellWidth_, 2);
  return QRect(x, y, CellWidth_, CellHeight_);
}

void TAdCustomTerminal::UpdateCaret() {
  const QRect now = hasFocus() ? CaretRect() : QRect();
  if (now == CaretShownAt_) return;
  if (!CaretShownAt_.isEmpty()) ShowDamage(CaretShownAt_);
  if (!now.isEmpty()) ShowDamage(now);
  CaretShownAt_ = now;
}

void TAdCustomTerminal::paintEvent(QPaintEvent* e) {
  ++PaintCount_;
  if (GridStale_) RenderAll();
  QPainter p(viewport());
  const QRect area = e->rect();
  p.drawImage(area.topLeft(), Grid_, area.intersected(Grid_.rect()));
  // The margins right of and below the character grid.
  const QRect client = viewport()->rect();
  const QColor back = ToQColor(Color_);
  const QRect right(Grid_.width(), 0, client.width() - Grid_.width(), client.height());
  const QRect bottom(0, Grid_.height(), client.width(), client.height() - Grid_.height());
  if (right.isValid() && right.intersects(area)) p.fillRect(right & area, back);
  if (bottom.isValid() && bottom.intersects(area)) p.fillRect(bottom & area, back);
  CaretShownAt_ = hasFocus() ? CaretRect() : QRect();
  if (!CaretShownAt_.isEmpty() && client.intersects(CaretShownAt_)) {
    p.setCompositionMode(QPainter::CompositionMode_Difference);
    p.fillRect(CaretShownAt_, Qt::white);
  }
}

void TAdCustomTerminal::focusInEvent(QFocusEvent* e) {
  QAbstractScrollArea::focusInEvent(e);
  UpdateCaret();
}

void TAdCustomTerminal::focusOutEvent(QFocusEvent* e) {
  QAbstractScrollArea::focusOutEvent(e);
  UpdateCaret();
}

// ---------------------------------------------------------------------------
// The 100 ms beat: lazy display, blinking, and scrolling towards a mouse
// that selects outside the window.

void TAdCustomTerminal::tmBeat() {
  if (UseLazyDisplay_ && Emulator_) {
    LazyTime_ = std::min(LazyTime_ + 100, kLazyCeiling);
    if ((LazyTime_ > LazyTimeDelay_ || LazyBytes_ > LazyByteDelay_) && Emulator_->NeedsUpdate()) {
      tmRepaintNow();
      LazyTime_ = 0;
      LazyBytes_ = 0;
    }
  }
  BlinkAccum_ += 100;
  if (BlinkTime_ > 0 && BlinkAccum_ > BlinkTime_) {
    BlinkPhase_ = !BlinkPhase_;
    BlinkAccum_ = 0;
    if (Emulator_ && Emulator_->HasBlinkingText() && !Grid_.isNull()) {
      TGridCanvas canvas(Grid_, font(), RawFont_);
      Emulator_->BlinkPaint(canvas, BlinkPhase_);
      if (!canvas.Damage.isEmpty()) ShowDamage(canvas.Damage);
    }
  }
  if (MouseSelecting_) {
    const QRect client = viewport()->rect();
    int col = OriginCol_, row = OriginRow_;
    if (LastMouse_.x() < 0) --col;
    if (LastMouse_.x() >= client.width()) ++col;
    if (LastMouse_.y() < 0) --row;
    if (LastMouse_.y() >= client.height()) ++row;
    if (col != OriginCol_ || row != OriginRow_) {
      SetOriginCol(col);
      SetOriginRow(row);
      int c, r;
      CellAt(LastMouse_, c, r);
      SetSelectionEnd(c, r);
    }
  }
}

}  // namespace kestrel
