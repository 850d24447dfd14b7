#pragma once
// Status lights: TApdStatusLight, a small lamp that is lit or not, and
// TApdSLController, which watches a serial port component through status and
// timer triggers and lights the lamps assigned to it (CTS, DSR, DCD, RING,
// TXD, RXD, ERROR, BREAK).

#include <QObject>
#include <QPixmap>
#include <QPointer>
#include <QWidget>
#include <cstdint>

#include "messages/Adexcept.h"
#include "serial/qt/Adport.h"

namespace kestrel {

// A colour as 0x00BBGGRR.
using TLampColor = uint32_t;
inline constexpr TLampColor clLampRed = 0x0000FF;
inline constexpr TLampColor clLampGreen = 0x008000;

// A lamp: filled with LitColor or NotLitColor under a raised edge, or, with
// a glyph, the glyph's left half when lit and its right half when not.
// Thread contract: window thread only.
class TApdCustomStatusLight : public QWidget {
  Q_OBJECT
 public:
  static constexpr int DefaultSize = 13;

  explicit TApdCustomStatusLight(QWidget* parent = nullptr);

  bool Lit() const { return Lit_; }
  void SetLit(bool lit);
  TLampColor LitColor() const { return LitColor_; }
  void SetLitColor(TLampColor color);
  TLampColor NotLitColor() const { return NotLitColor_; }
  void SetNotLitColor(TLampColor color);
  const QPixmap& Glyph() const { return Glyph_; }
  // Two images side by side; the lamp takes half the glyph's width and its
  // height. A null pixmap clears it and the lamp is 13 x 13 again.
  void SetGlyph(const QPixmap& glyph);
  bool HasGlyph() const { return UseGlyph_; }
  // Ends building from a layout: decides again whether the glyph is used.
  void Loaded();

  // How often the lamp asked to be repainted; every change repaints at once.
  int RepaintRequests() const { return RepaintRequests_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void Invalidate();
  void ApplyGlyphSize();

  bool Lit_ = false;
  TLampColor LitColor_ = clLampRed;
  TLampColor NotLitColor_ = clLampGreen;
  QPixmap Glyph_;
  bool UseGlyph_ = false;
  int RepaintRequests_ = 0;
};

// Thread contract: window thread only.
class TApdStatusLight : public TApdCustomStatusLight {
  Q_OBJECT
 public:
  using TApdCustomStatusLight::TApdCustomStatusLight;
};

// The controller's lamps; a slot empties itself when its lamp is destroyed.
struct TLightSet {
  QPointer<TApdCustomStatusLight> CTSLight;
  QPointer<TApdCustomStatusLight> DSRLight;
  QPointer<TApdCustomStatusLight> DCDLight;
  QPointer<TApdCustomStatusLight> RINGLight;
  QPointer<TApdCustomStatusLight> TXDLight;
  QPointer<TApdCustomStatusLight> RXDLight;
  QPointer<TApdCustomStatusLight> ERRORLight;
  QPointer<TApdCustomStatusLight> BREAKLight;
};

// Hooks the port's avail, status and timer events while monitoring, does its
// lamp work and hands every event on to the handler that was there before.
// Thread contract: window thread only (the port delivers its trigger events
// there).
class TApdCustomSLController : public QObject, public TAdComponentState {
  Q_OBJECT
 public:
  // Watches the first serial port component among the owner's children.
  explicit TApdCustomSLController(QObject* owner = nullptr);
  ~TApdCustomSLController() override;
  TApdCustomSLController(const TApdCustomSLController&) = delete;
  TApdCustomSLController& operator=(const TApdCustomSLController&) = delete;

  TApdCustomComPort* ComPort() const { return ComPort_.data(); }
  void SetComPort(TApdCustomComPort* port);
  const TLightSet& Lights() const { return Lights_; }
  TLightSet& Lights() { return Lights_; }
  void SetLights(const TLightSet& lights) { Lights_ = lights; }

  bool Monitoring() const { return Monitoring_; }
  // Raises EPortNotAssigned without a port. On a closed port the request
  // waits for the next open.
  void SetMonitoring(bool on);
  bool MonitoringPending() const { return MonitoringPending_; }

  // How long lamps stay lit, in 55 ms ticks.
  int32_t ErrorOffTimeout = 36;
  int32_t BreakOffTimeout = 36;
  int32_t RXDOffTimeout = 1;
  int32_t TXDOffTimeout = 1;
  int32_t RingOffTimeout = 8;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  struct THandles {
    uint16_t Modem = 0, Error = 0, Break = 0, OutSent = 0;
    uint16_t ErrorTimer = 0, BreakTimer = 0, RXDTimer = 0, TXDTimer = 0, RingTimer = 0;
    bool Owns(uint16_t h) const;
  };

  void ApplyMonitoring(bool on);
  void AddTriggers();
  void RemoveTriggers();
  void ForgetStaleTriggers();
  void ResetLights();
  void PortOpenClose(bool opening);
  void PortDestroyed();
  void AdoptPortFromOwner();

  void TriggerAvail(TApdCustomComPort* CP, uint16_t Count);
  void TriggerStatus(TApdCustomComPort* CP, uint16_t TriggerHandle);
  void TriggerTimer(TApdCustomComPort* CP, uint16_t TriggerHandle);

  QPointer<TApdCustomComPort> ComPort_;
  QMetaObject::Connection PortGone_;
  TLightSet Lights_;
  bool Monitoring_ = false;
  bool MonitoringPending_ = false;
  THandles Handles_;
  // Triggers of a closed session: the port brings them back when it
  // reopens, and they are removed then.
  THandles StaleHandles_;
  uint16_t ModemMask_ = 0;
  TTriggerAvailEvent SavedAvail_;
  TTriggerStatusEvent SavedStatus_;
  TTriggerTimerEvent SavedTimer_;
};

// Thread contract: window thread only.
class TApdSLController : public TApdCustomSLController {
  Q_OBJECT
 public:
  using TApdCustomSLController::TApdCustomSLController;
};

}  // namespace kestrel
