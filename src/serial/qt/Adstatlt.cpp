#include "serial/qt/Adstatlt.h"

#include <QChildEvent>
#include <QImage>
#include <QPainter>
#include <initializer_list>

#include "messages/AdErrorCodes.h"

namespace kestrel {

namespace {

QColor ToQColor(TLampColor c) {
  return QColor(int(c & 0xFF), int((c >> 8) & 0xFF), int((c >> 16) & 0xFF));
}

// Modem-status bits watched for each lamp.
constexpr uint16_t kModemCTS = 0x10;
constexpr uint16_t kModemDSR = 0x20;
constexpr uint16_t kModemDCD = 0x80;
constexpr uint16_t kModemRing = 0x04;
// Line-status masks: overrun, parity and framing errors; a break.
constexpr uint16_t kLineErrors = 7;
constexpr uint16_t kLineBreak = 8;

void SetLamp(TApdCustomStatusLight* lamp, bool lit) {
  if (lamp) lamp->SetLit(lit);
}

// Runs the lamp work, then hands the event on, also when the work failed:
// the port's other users must see every event.
template <typename Work, typename Chain>
void WorkThenChain(Work&& work, Chain&& chain) {
  try {
    work();
  } catch (...) {
    chain();
    throw;
  }
  chain();
}

}  // namespace

// ---------------------------------------------------------------------------
// The lamp.

TApdCustomStatusLight::TApdCustomStatusLight(QWidget* parent) : QWidget(parent) {
  resize(DefaultSize, DefaultSize);
}

void TApdCustomStatusLight::SetLit(bool lit) {
  if (lit == Lit_) return;
  Lit_ = lit;
  Invalidate();
}

void TApdCustomStatusLight::SetLitColor(TLampColor color) {
  if (color == LitColor_) return;
  LitColor_ = color;
  if (Lit_ && !UseGlyph_) Invalidate();
}

void TApdCustomStatusLight::SetNotLitColor(TLampColor color) {
  if (color == NotLitColor_) return;
  NotLitColor_ = color;
  if (!Lit_ && !UseGlyph_) Invalidate();
}

void TApdCustomStatusLight::SetGlyph(const QPixmap& glyph) {
  Glyph_ = glyph;
  ApplyGlyphSize();
  Invalidate();
}

void TApdCustomStatusLight::Loaded() {
  ApplyGlyphSize();
}

void TApdCustomStatusLight::ApplyGlyphSize() {
  UseGlyph_ = !Glyph_.isNull();
  if (UseGlyph_) {
    // The glyph decides the size, whatever bounds are asked for later.
    setFixedSize(Glyph_.width() / 2, Glyph_.height());
    return;
  }
  setMinimumSize(0, 0);
  setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
  resize(DefaultSize, DefaultSize);
}

void TApdCustomStatusLight::Invalidate() {
  ++RepaintRequests_;
  repaint();
}

void TApdCustomStatusLight::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const int w = width();
  const int h = height();
  if (UseGlyph_) {
    const int half = Glyph_.width() / 2;
    QImage image = Glyph_.toImage()
                       .copy(Lit_ ? 0 : half, 0, half, Glyph_.height())
                       .convertToFormat(QImage::Format_RGB32);
    // The glyph's top-left pixel names its transparent colour.
    const QRgb clear = Glyph_.toImage().convertToFormat(QImage::Format_RGB32).pixel(0, 0);
    const QWidget* parent = parentWidget();
    const QRgb background = (parent ? parent->palette() : palette()).color(QPalette::Window).rgb();
    for (int y = 0; y < image.height(); ++y) {
      auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
      for (int x = 0; x < image.width(); ++x)
        if (row[x] == clear) row[x] = background;
    }
    p.drawImage(0, 0, image);
    return;
  }
  p.fillRect(rect(), ToQColor(Lit_ ? LitColor_ : NotLitColor_));
  // A raised edge: light on the top and left, grey on the right and bottom.
  p.setPen(Qt::white);
  p.drawLine(0, 0, w, 0);
  p.drawLine(0, 0, 0, h);
  p.setPen(QColor(128, 128, 128));
  p.drawLine(w - 1, 1, w - 1, h);
  p.drawLine(1, h - 1, w, h - 1);
}

// ---------------------------------------------------------------------------
// The controller: life and the port.

bool TApdCustomSLController::THandles::Owns(uint16_t h) const {
  if (h == 0) return false;
  for (uint16_t mine :
       {Modem, Error, Break, OutSent, ErrorTimer, BreakTimer, RXDTimer, TXDTimer, RingTimer})
    if (mine == h) return true;
  return false;
}

TApdCustomSLController::TApdCustomSLController(QObject* owner) : QObject(owner) {
  setObjectName(QStringLiteral("ApdSLController"));
  if (owner) {
    AdoptPortFromOwner();
    // A port added to the owner later is taken while there is none.
    owner->installEventFilter(this);
  }
}

TApdCustomSLController::~TApdCustomSLController() {
  if (ComPort_) {
    try {
      if (Monitoring_) ApplyMonitoring(false);
    } catch (const std::exception& e) {
      ComPort_->ShowException(e);
    }
    ComPort_->DeregisterUserCallback(this);
  }
  disconnect(PortGone_);
}

void TApdCustomSLController::AdoptPortFromOwner() {
  if (ComPort_ || !parent()) return;
  for (QObject* child : parent()->children()) {
    if (auto* port = qobject_cast<TApdCustomComPort*>(child)) {
      SetComPort(port);
      return;
    }
  }
}

bool TApdCustomSLController::eventFilter(QObject* watched, QEvent* event) {
  if (watched == parent() && event->type() == QEvent::ChildAdded && !ComPort_) {
    // The child is not fully built yet; look once the event loop comes back.
    QMetaObject::invokeMethod(this, &TApdCustomSLController::AdoptPortFromOwner,
                              Qt::QueuedConnection);
  }
  return QObject::eventFilter(watched, event);
}

void TApdCustomSLController::SetComPort(TApdCustomComPort* port) {
  if (port == ComPort_) return;
  const bool wanted = Monitoring_ || MonitoringPending_;
  if (ComPort_) {
    if (Monitoring_) ApplyMonitoring(false);
    ComPort_->DeregisterUserCallback(this);
  }
  disconnect(PortGone_);
  MonitoringPending_ = false;
  StaleHandles_ = {};
  ComPort_ = port;
  if (!port) return;
  port->RegisterUserCallback(this,
                             [this](TApdCustomComPort*, bool opening) { PortOpenClose(opening); });
  PortGone_ = connect(port, &QObject::destroyed, this, &TApdCustomSLController::PortDestroyed);
  if (wanted) SetMonitoring(true);
}

void TApdCustomSLController::PortDestroyed() {
  // The port is gone: nothing of it may be touched any more.
  Monitoring_ = false;
  MonitoringPending_ = false;
  Handles_ = {};
  StaleHandles_ = {};
  ModemMask_ = 0;
  SavedAvail_ = nullptr;
  SavedStatus_ = nullptr;
  SavedTimer_ = nullptr;
  ComPort_ = nullptr;
  ResetLights();
}

void TApdCustomSLController::PortOpenClose(bool opening) {
  if (!opening) {
    if (Monitoring_) {
      MonitoringPending_ = true;
      ApplyMonitoring(false);
    }
    return;
  }
  ForgetStaleTriggers();
  if (MonitoringPending_) {
    MonitoringPending_ = false;
    SetMonitoring(true);
  }
}

// ---------------------------------------------------------------------------
// Monitoring.

void TApdCustomSLController::SetMonitoring(bool on) {
  if (Loading()) return;
  if (on == Monitoring_ && (on || !MonitoringPending_)) return;
  if (!ComPort_) {
    CheckException(this, ecPortNotAssigned);
    return;
  }
  if (!ComPort_->Open()) {
    MonitoringPending_ = on;
    if (on) return;
  }
  ApplyMonitoring(on);
}

void TApdCustomSLController::ApplyMonitoring(bool on) {
  TApdCustomComPort* port = ComPort_.data();
  if (on) {
    SavedAvail_ = port->OnTriggerAvail();
    SavedStatus_ = port->OnTriggerStatus();
    SavedTimer_ = port->OnTriggerTimer();
    port->SetOnTriggerAvail(
        [this](TApdCustomComPort* CP, uint16_t Count) { TriggerAvail(CP, Count); });
    port->SetOnTriggerStatus([this](TApdCustomComPort* CP, uint16_t h) { TriggerStatus(CP, h); });
    port->SetOnTriggerTimer([this](TApdCustomComPort* CP, uint16_t h) { TriggerTimer(CP, h); });
    try {
      AddTriggers();
    } catch (...) {
      port->SetOnTriggerAvail(std::move(SavedAvail_));
      port->SetOnTriggerStatus(std::move(SavedStatus_));
      port->SetOnTriggerTimer(std::move(SavedTimer_));
      throw;
    }
    Monitoring_ = true;
  } else if (Monitoring_) {
    Monitoring_ = false;
    port->SetOnTriggerAvail(std::move(SavedAvail_));
    port->SetOnTriggerStatus(std::move(SavedStatus_));
    port->SetOnTriggerTimer(std::move(SavedTimer_));
    SavedAvail_ = nullptr;
    SavedStatus_ = nullptr;
    SavedTimer_ = nullptr;
    RemoveTriggers();
  }
  ResetLights();
}

void TApdCustomSLController::AddTriggers() {
  TApdCustomComPort* port = ComPort_.data();
  Handles_ = {};
  ModemMask_ = 0;
  const TLightSet& l = Lights_;
  try {
    if (l.CTSLight || l.DSRLight || l.DCDLight || l.RINGLight)
      Handles_.Modem = port->AddStatusTrigger(stModem);
    if (l.RINGLight) Handles_.RingTimer = port->AddTimerTrigger();
    if (l.ERRORLight) {
      Handles_.Error = port->AddStatusTrigger(stLine);
      Handles_.ErrorTimer = port->AddTimerTrigger();
    }
    if (l.BREAKLight) {
      Handles_.Break = port->AddStatusTrigger(stLine);
      Handles_.BreakTimer = port->AddTimerTrigger();
    }
    if (l.RXDLight) Handles_.RXDTimer = port->AddTimerTrigger();
    if (l.TXDLight) {
      Handles_.OutSent = port->AddStatusTrigger(stOutSent);
      Handles_.TXDTimer = port->AddTimerTrigger();
    }
    if (l.CTSLight) ModemMask_ |= kModemCTS;
    if (l.DSRLight) ModemMask_ |= kModemDSR;
    if (l.DCDLight) ModemMask_ |= kModemDCD;
    if (l.RINGLight) ModemMask_ |= kModemRing;
    if (Handles_.Modem) port->SetStatusTrigger(Handles_.Modem, ModemMask_, true);
    if (Handles_.Error) port->SetStatusTrigger(Handles_.Error, kLineErrors, true);
    if (Handles_.Break) port->SetStatusTrigger(Handles_.Break, kLineBreak, true);
    if (Handles_.OutSent) port->SetStatusTrigger(Handles_.OutSent, 0, true);
  } catch (...) {
    ModemMask_ = 0;
    RemoveTriggers();
    throw;
  }
}

void TApdCustomSLController::RemoveTriggers() {
  // Each removal is tried; a port that has gone away cannot refuse the rest.
  if (TApdCustomComPort* port = ComPort_.data()) {
    for (uint16_t h :
         {Handles_.Modem, Handles_.Error, Handles_.Break, Handles_.OutSent, Handles_.ErrorTimer,
          Handles_.BreakTimer, Handles_.RXDTimer, Handles_.TXDTimer, Handles_.RingTimer}) {
      if (h == 0) continue;
      try {
        port->RemoveTrigger(h);
      } catch (const std::exception&) {
      }
    }
    // A closed port keeps its triggers and brings them back at the next
    // open; they are removed then.
    if (!port->Open()) StaleHandles_ = Handles_;
  }
  Handles_ = {};
}

void TApdCustomSLController::ForgetStaleTriggers() {
  const THandles stale = StaleHandles_;
  StaleHandles_ = {};
  TApdCustomComPort* port = ComPort_.data();
  if (!port || !port->Open()) return;
  for (uint16_t h : {stale.Modem, stale.Error, stale.Break, stale.OutSent, stale.ErrorTimer,
                     stale.BreakTimer, stale.RXDTimer, stale.TXDTimer, stale.RingTimer}) {
    if (h == 0) continue;
    try {
      port->RemoveTrigger(h);
    } catch (const std::exception&) {
      // Not brought back: nothing to remove.
    }
  }
}

void TApdCustomSLController::ResetLights() {
  const TLightSet& l = Lights_;
  for (TApdCustomStatusLight* lamp :
       {l.CTSLight.data(), l.DSRLight.data(), l.DCDLight.data(), l.RINGLight.data(),
        l.TXDLight.data(), l.RXDLight.data(), l.ERRORLight.data(), l.BREAKLight.data()})
    SetLamp(lamp, false);
  if (ComPort_ && Monitoring_) {
    SetLamp(l.CTSLight, ComPort_->CTS());
    SetLamp(l.DSRLight, ComPort_->DSR());
    SetLamp(l.DCDLight, ComPort_->DCD());
  }
}

// ---------------------------------------------------------------------------
// The port's events while monitoring.

void TApdCustomSLController::TriggerAvail(TApdCustomComPort* CP, uint16_t Count) {
  if (!ComPort_) return;
  const TTriggerAvailEvent saved = SavedAvail_;
  WorkThenChain(
      [&] {
        if (Lights_.RXDLight && !Lights_.RXDLight->Lit()) {
          Lights_.RXDLight->SetLit(true);
          if (Handles_.RXDTimer) CP->SetTimerTrigger(Handles_.RXDTimer, RXDOffTimeout, true);
        }
      },
      [&] {
        if (saved) saved(CP, Count);
      });
}

void TApdCustomSLController::TriggerStatus(TApdCustomComPort* CP, uint16_t TriggerHandle) {
  if (!ComPort_) return;
  const TTriggerStatusEvent saved = SavedStatus_;
  const uint16_t h = TriggerHandle;
  WorkThenChain(
      [&] {
        if (h == 0) return;
        const TLightSet& l = Lights_;
        if (h == Handles_.Modem) {
          if (l.DCDLight && l.DCDLight->Lit() != CP->DCD()) l.DCDLight->SetLit(CP->DCD());
          if (l.CTSLight && l.CTSLight->Lit() != CP->CTS()) l.CTSLight->SetLit(CP->CTS());
          if (l.DSRLight && l.DSRLight->Lit() != CP->DSR()) l.DSRLight->SetLit(CP->DSR());
          if (l.RINGLight && CP->DeltaRI() && !l.RINGLight->Lit()) {
            l.RINGLight->SetLit(true);
            CP->SetTimerTrigger(Handles_.RingTimer, RingOffTimeout, true);
          }
          CP->SetStatusTrigger(Handles_.Modem, ModemMask_, true);
        } else if (h == Handles_.Error) {
          SetLamp(l.ERRORLight, true);
          CP->SetTimerTrigger(Handles_.ErrorTimer, ErrorOffTimeout, true);
          CP->LineError();
        } else if (h == Handles_.Break) {
          SetLamp(l.BREAKLight, true);
          CP->SetTimerTrigger(Handles_.BreakTimer, BreakOffTimeout, true);
          CP->LineBreak();
        } else if (h == Handles_.OutSent) {
          SetLamp(l.TXDLight, true);
          CP->SetTimerTrigger(Handles_.TXDTimer, TXDOffTimeout, true);
        }
      },
      [&] {
        if (saved) saved(CP, TriggerHandle);
      });
}

void TApdCustomSLController::TriggerTimer(TApdCustomComPort* CP, uint16_t TriggerHandle) {
  if (!ComPort_) return;
  const TTriggerTimerEvent saved = SavedTimer_;
  const uint16_t h = TriggerHandle;
  WorkThenChain(
      [&] {
        if (h == 0) return;
        const TLightSet& l = Lights_;
        if (h == Handles_.ErrorTimer) {
          SetLamp(l.ERRORLight, false);
          CP->SetStatusTrigger(Handles_.Error, kLineErrors, true);
        } else if (h == Handles_.BreakTimer) {
          SetLamp(l.BREAKLight, false);
          CP->SetStatusTrigger(Handles_.Break, kLineBreak, true);
        } else if (h == Handles_.RXDTimer) {
          // Lit for as long as received data lies unread.
          if (CP->InBuffUsed() > 0)
            CP->SetTimerTrigger(Handles_.RXDTimer, RXDOffTimeout, true);
          else
            SetLamp(l.RXDLight, false);
        } else if (h == Handles_.TXDTimer) {
          if (CP->OutBuffUsed() > 0) {
            CP->SetTimerTrigger(Handles_.TXDTimer, TXDOffTimeout, true);
          } else {
            SetLamp(l.TXDLight, false);
            CP->SetStatusTrigger(Handles_.OutSent, 0, true);
          }
        } else if (h == Handles_.RingTimer) {
          SetLamp(l.RINGLight, false);
        }
      },
      [&] {
        if (saved) saved(CP, TriggerHandle);
      });
}

}  // namespace kestrel
