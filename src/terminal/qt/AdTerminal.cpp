// The terminal window: construction, properties, binding to the port and
// receiving.

#include "terminal/qt/AdTerminal.h"

#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QScrollBar>
#include <QTimer>
#include <algorithm>
#include <mutex>

#include "serial/Awuser.h"
#include "terminal/AdByteQueue.h"
#include "terminal/qt/AdTerminalEvents.h"

namespace kestrel {

// What the dispatch thread and the window thread share: the byte queue and
// the window to notify. The window forgets itself here before it goes, so a
// handler still running on the dispatch thread never posts to a dead window.
struct TAdCustomTerminal::TReceiveShared {
  std::mutex Lock;
  TaaByteQueue Queue;
  QObject* Target = nullptr;
  bool StuffPosted = false;
};

TAdCustomTerminal::TAdCustomTerminal(QWidget* parent)
    : QAbstractScrollArea(parent),
      Receive_(std::make_shared<TReceiveShared>()),
      Default_(std::make_unique<TAdTTYEmulator>()) {
  Receive_->Target = this;
  setFocusPolicy(Qt::StrongFocus);
  setAttribute(Qt::WA_InputMethodEnabled, false);
  viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
  viewport()->setAutoFillBackground(false);
  viewport()->setCursor(Qt::IBeamCursor);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setFrameStyle(QFrame::Box | QFrame::Plain);
  resize(300, 200);
  QFont font(QStringLiteral("Terminal"));
  font.setStyleHint(QFont::TypeWriter);
  font.setPointSize(9);
  setFont(font);

  Default_->SetIsDefault(true);
  ApplyEmulator(Default_.get());

  // A port component of the owning form is taken up when none is set.
  if (parent)
    if (auto* port = parent->window()->findChild<TApdCustomComPort*>()) SetComPort(port);

  tmGetFontInfo();
  Timer_ = new QTimer(this);
  Timer_->setInterval(100);
  connect(Timer_, &QTimer::timeout, this, &TAdCustomTerminal::tmBeat);
  Timer_->start();
  connect(verticalScrollBar(), &QAbstractSlider::actionTriggered, this,
          &TAdCustomTerminal::VertBarAction);
  FrameTimer_ = new QTimer(this);
  FrameTimer_->setSingleShot(true);
  connect(FrameTimer_, &QTimer::timeout, this, &TAdCustomTerminal::FlushDamage);
}

TAdCustomTerminal::~TAdCustomTerminal() {
  {
    std::lock_guard guard(Receive_->Lock);
    Receive_->Target = nullptr;
  }
  if (TApdCustomComPort* port = ComPort_.data()) DeregisterFromPort(port);
  Timer_->stop();
  CloseCapture();
  if (Emulator_ && Emulator_ != Default_.get()) UnlinkTerminal(this);
  if (Emulator_) {
    Emulator_->Buffer()->DeregisterTerminalHandle();
    Emulator_->ForgetTerminal(this);
  }
}

void TAdCustomTerminal::PostMessage(uint32_t Msg, uint32_t wParam, uint32_t lParam) {
  QCoreApplication::postEvent(this, new TAdTerminalMessage(Msg, wParam, lParam));
}

// ---------------------------------------------------------------------------
// Properties

void TAdCustomTerminal::SetActive(bool v) {
  if (v == Active_) return;
  Active_ = v;
  if (!ComPort_) return;
  if (v)
    tmAttachToComPort();
  else
    tmDetachFromComPort();
  if (!v) AttachPending_ = false;
}

void TAdCustomTerminal::SetBlinkTime(int ms) {
  BlinkTime_ = ms <= 0 ? 0 : std::max(ms, 250);
}

void TAdCustomTerminal::SetBorderStyle(TBorderStyle style) {
  if (style == BorderStyle_) return;
  BorderStyle_ = style;
  setFrameStyle(style == bsSingle ? QFrame::Box | QFrame::Plain : QFrame::NoFrame);
  tmCalcExtent();
}

int TAdCustomTerminal::Columns() const {
  return Buffer() ? Buffer()->ColCount() : 0;
}

void TAdCustomTerminal::SetColumns(int n) {
  if (n <= 0 || n > TAdTerminalBuffer::kMaxColCount || !Buffer() || n == Buffer()->ColCount())
    return;
  DropSelection();
  Buffer()->SetColCount(n);
  OriginCol_ = 1;
  OriginRow_ = 1;
  tmCalcExtent();
  GridStale_ = true;
  viewport()->update();
}

int TAdCustomTerminal::Rows() const {
  return Buffer() ? Buffer()->RowCount() : 0;
}

void TAdCustomTerminal::SetRows(int n) {
  if (n <= 0 || n > TAdTerminalBuffer::kMaxSVRowCount || !Buffer() || n == Buffer()->RowCount())
    return;
  DropSelection();
  Buffer()->SetRowCount(n);
  OriginCol_ = 1;
  OriginRow_ = 1;
  tmCalcExtent();
  GridStale_ = true;
  viewport()->update();
}

int TAdCustomTerminal::ScrollbackRows() const {
  return Buffer() ? Buffer()->SVRowCount() : 0;
}

void TAdCustomTerminal::SetScrollbackRows(int n) {
  if (n <= 0 || n > TAdTerminalBuffer::kMaxSVRowCount || !Buffer() || n == Buffer()->SVRowCount())
    return;
  DropSelection();
  Buffer()->SetSVRowCount(n);
  ClampOrigin();
  tmCalcExtent();
  GridStale_ = true;
  viewport()->update();
}

void TAdCustomTerminal::SetScrollback(bool v) {
  if (v == Scrollback_) return;
  Scrollback_ = v;
  if (!v) SetOriginRow(OriginRow_);  // a view in the scrollback comes down to the screen
  UpdateScrollBars();
}

void TAdCustomTerminal::SetLazyByteDelay(int n) {
  if (n >= 1 && n <= 1024) LazyByteDelay_ = n;
}

void TAdCustomTerminal::SetLazyTimeDelay(int ms) {
  if (ms >= 1 && ms <= 1000) LazyTimeDelay_ = ms;
}

void TAdCustomTerminal::SetHideScrollbars(bool v) {
  if (v == HideScrollbars_) return;
  HideScrollbars_ = v;
  UpdateScrollBars();
}

void TAdCustomTerminal::SetMouseSelect(bool v) {
  if (v == MouseSelect_) return;
  MouseSelect_ = v;
  if (!v) HideSelection();
}

void TAdCustomTerminal::SetCursorType(TAdCursorType type) {
  if (type == CursorType_) return;
  CursorType_ = type;
  UpdateCaret();
}

void TAdCustomTerminal::SetColor(uint32_t color) {
  if (color == Color_) return;
  Color_ = color;
  GridStale_ = true;
  viewport()->update();
}

void TAdCustomTerminal::SetFontColor(uint32_t color) {
  if (color == FontColor_) return;
  FontColor_ = color;
  GridStale_ = true;
  viewport()->update();
}

void TAdCustomTerminal::SetEmulator(TAdTerminalEmulator* emulator) {
  if (emulator == Emulator()) return;
  if (emulator)
    LinkTerminalEmulator(this, emulator);  // calls EmulatorLinked
  else
    UnlinkTerminal(this);  // calls EmulatorUnlinked
}

void TAdCustomTerminal::EmulatorLinked(TAdTerminalEmulator* emulator) {
  ApplyEmulator(emulator);
}

void TAdCustomTerminal::EmulatorUnlinked(TAdTerminalEmulator* emulator) {
  if (Emulator_ == emulator) ApplyEmulator(Default_.get());
}

void TAdCustomTerminal::ApplyEmulator(TAdTerminalEmulator* next) {
  if (next == Emulator_) return;
  const bool timing = Timer_ && Timer_->isActive();
  if (timing) Timer_->stop();
  DropSelection();
  TAdTerminalBuffer* old = Buffer();
  if (old) old->DeregisterTerminalHandle();
  if (Emulator_ == Default_.get()) Default_->ForgetTerminal(this);
  Emulator_ = next;
  if (next->IsDefault()) next->SetTerminal(this);
  TAdTerminalBuffer* buffer = next->Buffer();
  if (old && old != buffer) {
    // The new screen takes the old one's shape.
    buffer->SetSVRowCount(old->SVRowCount());
    buffer->SetRowCount(old->RowCount());
    buffer->SetColCount(old->ColCount());
  }
  buffer->RegisterTerminalHandle(this);
  GridStale_ = true;
  if (timing) Timer_->start();
  tmCalcExtent();
  viewport()->update();
}

// ---------------------------------------------------------------------------
// Binding to the port

void TAdCustomTerminal::SetComPort(TApdCustomComPort* port) {
  if (port == ComPort_.data()) return;
  if (TApdCustomComPort* old = ComPort_.data()) {
    tmDetachFromComPort();
    DeregisterFromPort(old);
    disconnect(old, &QObject::destroyed, this, nullptr);
  }
  ComPort_ = port;
  AttachPending_ = false;
  if (!port) return;
  // A port component that goes away takes the terminal's activity with it.
  connect(port, &QObject::destroyed, this, [this, port] {
    if (ComPort_ && ComPort_.data() != port) return;
    Active_ = false;
    AttachPending_ = false;
    HandlerRegistered_ = false;
  });
  RegisterWithPort(port);
  if (Active_) tmAttachToComPort();
}

void TAdCustomTerminal::RegisterWithPort(TApdCustomComPort* port) {
  port->RegisterUserEx(this);
  if (!port->MasterTerminal()) port->SetMasterTerminal(this);
}

void TAdCustomTerminal::DeregisterFromPort(TApdCustomComPort* port) {
  if (HandlerRegistered_) {
    if (TApdBaseDispatcher* d = port->Open() ? port->GetDispatcher() : nullptr)
      d->DeregisterEventTriggerHandler(this);
    HandlerRegistered_ = false;
  }
  port->DeregisterUser(this);
  if (port->MasterTerminal() == this) port->SetMasterTerminal(nullptr);
}

void TAdCustomTerminal::tmAttachToComPort() {
  AttachPending_ = true;
  PostMessage(AwpWaitForPort);
}

void TAdCustomTerminal::tmWaitForPort() {
  if (InWaitForPort_) return;
  TApdCustomComPort* port = ComPort_.data();
  if (!port) return;
  InWaitForPort_ = true;
  struct TLeave {
    bool& flag;
    ~TLeave() { flag = false; }
  } leave{InWaitForPort_};
  if (port->Loading()) {
    PostMessage(AwpWaitForPort);
    return;
  }
  if (HandlerRegistered_ || (!port->Open() && !port->AutoOpen())) {
    // The port's open notification attaches later.
    AttachPending_ = Active_;
    return;
  }
  AttachPending_ = false;
  if (!port->Open()) port->SetOpen(true);
  if (Active_ && port->Open()) {
    if (TApdBaseDispatcher* d = port->GetDispatcher()) {
      std::weak_ptr<TReceiveShared> weak = Receive_;
      d->RegisterEventTriggerHandler(
          this, [d, weak](uint32_t Msg, uint32_t wParam, uint32_t lParam) {
            // Runs on the dispatch thread; the window may be gone by now.
            if (Msg != apw_TriggerAvail || wParam == 0) return;
            auto shared = weak.lock();
            if (!shared) return;
            std::lock_guard guard(shared->Lock);
            if (!shared->Target) return;
            uint8_t* at = shared->Queue.Reserve(wParam);
            if (d->GetBlock(at, int(wParam)) != int(wParam)) return;
            shared->Queue.Commit(wParam);
            if (!shared->StuffPosted) {
              shared->StuffPosted = true;
              QCoreApplication::postEvent(shared->Target,
                                          new TAdTerminalMessage(ApwTermStuff, csPort, 0));
            }
          });
      HandlerRegistered_ = true;
    }
  }
  // The control's loaded step: measure the font, cursor to row 1 - but
  // only on an empty screen. The port is opened again on every change of
  // port, search or probe; output after that belongs below what is shown,
  // not over its first lines.
  tmGetFontInfo();
  if (Buffer() && ScreenIsBlank()) Buffer()->SetRow(1);
}

bool TAdCustomTerminal::ScreenIsBlank() const {
  TAdTerminalBuffer* b = Buffer();
  const int cols = b->ColCount();
  const uint8_t blank = b->DefAnsiChar();
  for (int row = 1; row <= b->RowCount(); ++row) {
    const auto* chars = static_cast<const uint8_t*>(b->GetLineCharPtr(row));
    if (chars && std::any_of(chars, chars + cols, [&](uint8_t c) { return c != blank; }))
      return false;
  }
  return true;
}

void TAdCustomTerminal::tmDetachFromComPort() {
  if (HandlerRegistered_) {
    TApdCustomComPort* port = ComPort_.data();
    if (port && port->Open())
      if (TApdBaseDispatcher* d = port->GetDispatcher()) d->DeregisterEventTriggerHandler(this);
    HandlerRegistered_ = false;
  }
  if (Active_) AttachPending_ = true;
}

bool TAdCustomTerminal::PortIsOpen() const {
  return ComPort_ && ComPort_->Open();
}

void TAdCustomTerminal::PortPutChar(char c) {
  if (PortIsOpen()) ComPort_->PutChar(c);
}

void TAdCustomTerminal::PortPutString(std::string_view s) {
  if (PortIsOpen()) ComPort_->PutString(s);
}

bool TAdCustomTerminal::AttachedToPort() const {
  return ComPort_ && ComPort_->MasterTerminal() == this;
}

void TAdCustomTerminal::Beep() {
  // A noisy line rings at most once a block and once in 100 ms, instead of
  // keeping the window thread busy beeping.
  if (BeepedThisBlock_ || (LastBeep_.isValid() && LastBeep_.elapsed() < 100)) return;
  BeepedThisBlock_ = true;
  LastBeep_.start();
  ++BeepCount_;
  QApplication::beep();
}

// ---------------------------------------------------------------------------
// Notifications

bool TAdCustomTerminal::event(QEvent* e) {
  if (e->type() == TApdPortMessageEvent::EventType()) {
    const auto* m = static_cast<TApdPortMessageEvent*>(e);
    if (m->Msg == apw_PortOpen) {
      if (AttachPending_) tmAttachToComPort();
    } else if (m->Msg == apw_PortClose || m->Msg == apw_ClosePending) {
      tmDetachFromComPort();
    }
    return true;
  }
  if (e->type() == TAdTerminalMessage::EventType()) {
    const auto* m = static_cast<TAdTerminalMessage*>(e);
    switch (m->Msg) {
      case ApwTermStuff:
        tmTermStuff(TAdCharSource(m->wParam));
        break;
      case AwpWaitForPort:
        tmWaitForPort();
        break;
      case ApwTermNeedsUpdate:
        NeedsUpdatePosted_ = false;
        if (!UseLazyDisplay_ && Emulator_ && Emulator_->NeedsUpdate()) tmRepaintNow();
        break;
      case ApwTermForceSize:
        ForceSizePosted_ = false;
        tmForceSize();
        break;
      default:
        break;
    }
    return true;
  }
  return QAbstractScrollArea::event(e);
}

void TAdCustomTerminal::TermNeedsUpdate(uint32_t, uint32_t) {
  // Invalidations come a cell at a time; one notification waiting is enough.
  if (UseLazyDisplay_ || NeedsUpdatePosted_) return;
  NeedsUpdatePosted_ = true;
  PostMessage(ApwTermNeedsUpdate);
}

void TAdCustomTerminal::CursorMoved(TAdTerminalBuffer* buffer, int row, int col) {
  if (!UseLazyDisplay_ && !NeedsUpdatePosted_) {
    NeedsUpdatePosted_ = true;
    PostMessage(ApwTermNeedsUpdate, 0, 1);
  }
  // Any terminal scrolls with its cursor when its rows do not fit; the
  // built-in emulator leaves the columns to the scroll bar.
  if (FollowCursor_ && Emulator())
    FollowCursorTo(row, col);
  else
    KeepCursorRowInView();
  if (HideScrollbars_) {
    const bool beyondCols = col >= OriginCol_ + FullCols_ || col < OriginCol_;
    const bool beyondRows = row >= OriginRow_ + FullRows_ || row < OriginRow_;
    if (beyondCols != HideHorz_ || beyondRows != HideVert_) {
      HideHorz_ = beyondCols;
      HideVert_ = beyondRows;
      UpdateScrollBars();
    }
  }
  if (OnCursorMoved) OnCursorMoved(buffer, row, col);
}

// ---------------------------------------------------------------------------
// Receiving

void TAdCustomTerminal::WriteChar(char c) {
  WriteString(std::string_view(&c, 1));
}

void TAdCustomTerminal::WriteString(std::string_view s) {
  {
    std::lock_guard guard(Receive_->Lock);
    Receive_->Queue.Append(s.data(), s.size());
  }
  PostMessage(ApwTermStuff, csWriteChar);
}

void TAdCustomTerminal::tmTermStuff(TAdCharSource source) {
  size_t n;
  {
    // The block is copied out under the lock, so the dispatch thread may
    // grow the queue while the emulator works.
    std::lock_guard guard(Receive_->Lock);
    if (source == csPort) Receive_->StuffPosted = false;
    n = Receive_->Queue.Count();
    if (n == 0) return;
    const uint8_t* head = Receive_->Queue.Peek(n);
    Taken_.assign(head, head + n);
    Receive_->Queue.Remove(n);
  }
  if (Capture_ == cmOn && CaptureStream_) {
    std::fwrite(Taken_.data(), 1, n, CaptureStream_);
    std::fflush(CaptureStream_);
  }
  BeepedThisBlock_ = false;
  if (Emulator_) Emulator_->ProcessBlock(Taken_.data(), int(n), source);
  BeepedThisBlock_ = false;
  if (!UseLazyDisplay_ && Emulator_ && Emulator_->NeedsUpdate()) tmRepaintNow();
  LazyBytes_ = int(std::min<size_t>(size_t(LazyBytes_) + n, kLazyCeiling));
}

void TAdCustomTerminal::Clear() {
  if (Emulator_) Emulator_->teClear();
}

void TAdCustomTerminal::ClearAll() {
  if (Emulator_) Emulator_->teClearAll();
}

// ---------------------------------------------------------------------------
// Screen contents

std::string TAdCustomTerminal::tmGetLine(int row) const {
  TAdTerminalBuffer* b = Buffer();
  const auto* chars = b ? static_cast<const char*>(b->GetLineCharPtr(row)) : nullptr;
  return chars ? std::string(chars, size_t(b->ColCount())) : std::string();
}

void TAdCustomTerminal::tmSetLine(int row, std::string_view text) {
  TAdTerminalBuffer* b = Buffer();
  auto* chars = b ? static_cast<char*>(b->GetLineCharPtr(row)) : nullptr;
  if (!chars) return;
  const size_t cols = size_t(b->ColCount());
  for (size_t i = 0; i < cols; ++i) chars[i] = i < text.size() ? text[i] : ' ';
  GridStale_ = true;
  viewport()->update();
}

namespace {

template <typename T>
bool CellOf(T* line, int col, int cols, T*& at) {
  if (!line || col < 1 || col > cols) return false;
  at = line + (col - 1);
  return true;
}

}  // namespace

TAdTerminalCharAttrs TAdCustomTerminal::tmGetAttributes(int row, int col) const {
  uint8_t* at;
  return Buffer() && CellOf(Buffer()->GetLineAttrPtr(row), col, Columns(), at) ? *at : 0;
}
void TAdCustomTerminal::tmSetAttributes(int row, int col, TAdTerminalCharAttrs attrs) {
  uint8_t* at;
  if (Buffer() && CellOf(Buffer()->GetLineAttrPtr(row), col, Columns(), at)) *at = attrs;
  GridStale_ = true;
  viewport()->update();
}
uint8_t TAdCustomTerminal::tmGetCharSet(int row, int col) const {
  uint8_t* at;
  return Buffer() && CellOf(Buffer()->GetLineCharSetPtr(row), col, Columns(), at) ? *at : 0;
}
void TAdCustomTerminal::tmSetCharSet(int row, int col, uint8_t charSet) {
  uint8_t* at;
  if (Buffer() && CellOf(Buffer()->GetLineCharSetPtr(row), col, Columns(), at)) *at = charSet;
}
uint32_t TAdCustomTerminal::tmGetForeColor(int row, int col) const {
  uint32_t* at;
  return Buffer() && CellOf(Buffer()->GetLineForeColorPtr(row), col, Columns(), at) ? *at
                                                                                    : 0xFFFFFF;
}
void TAdCustomTerminal::tmSetForeColor(int row, int col, uint32_t color) {
  uint32_t* at;
  if (Buffer() && CellOf(Buffer()->GetLineForeColorPtr(row), col, Columns(), at)) *at = color;
  GridStale_ = true;
  viewport()->update();
}
uint32_t TAdCustomTerminal::tmGetBackColor(int row, int col) const {
  uint32_t* at;
  return Buffer() && CellOf(Buffer()->GetLineBackColorPtr(row), col, Columns(), at) ? *at : 0;
}
void TAdCustomTerminal::tmSetBackColor(int row, int col, uint32_t color) {
  uint32_t* at;
  if (Buffer() && CellOf(Buffer()->GetLineBackColorPtr(row), col, Columns(), at)) *at = color;
  GridStale_ = true;
  viewport()->update();
}

}  // namespace kestrel
