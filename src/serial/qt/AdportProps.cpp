// TApdCustomComPort: property setters. Each compares with the stored value
// first and does nothing when it is equal and the force flag is clear; on an
// open port it acts at once.

#include <algorithm>

#include "serial/Awuser.h"
#include "serial/qt/Adport.h"

namespace kestrel {

namespace {

// Runs `apply` with the force flag set and restores it afterwards.
template <typename F>
void Forced(bool& force, F&& apply) {
  const bool was = force;
  force = true;
  try {
    apply();
  } catch (...) {
    force = was;
    throw;
  }
  force = was;
}

}  // namespace

void TApdCustomComPort::SetDeviceLayer(TDeviceLayer layer) {
  if (layer == DeviceLayer_ || !InState(psClosed)) return;
  DeviceLayer_ = layer;
  DeviceLayerChanged();
}

void TApdCustomComPort::SetComNumber(uint16_t number) {
  if (number == ComNumber_ && !Force_) return;
  if (Loading() || !InState(psOpen)) {
    ComNumber_ = number;
    return;
  }
  // Move the open port: the close saves the triggers and the open restores
  // them; tracing and logging carry over.
  const TTraceLogState tracing = Tracing_;
  const TTraceLogState logging = Logging_;
  SetOpen(false);
  ComNumber_ = number;
  SetTracing(tracing);
  SetLogging(logging);
  SetOpen(true);
}

// The dispatcher waits for queued output to drain before it reprograms.
void TApdCustomComPort::ApplyLine() {
  if (auto* d = OpenDispatcher()) {
    Check(d->SetLine(Baud_, Parity_, static_cast<uint8_t>(DataBits_),
                     static_cast<uint8_t>(StopBits_)));
  }
}

void TApdCustomComPort::SetBaud(int32_t baud) {
  if (baud == Baud_ && !Force_) return;
  Baud_ = baud;
  ApplyLine();
}

void TApdCustomComPort::SetParity(TParity parity) {
  if (parity == Parity_ && !Force_) return;
  Parity_ = parity;
  ApplyLine();
}

void TApdCustomComPort::SetDataBits(uint16_t bits) {
  if (bits == DataBits_ && !Force_) return;
  DataBits_ = bits;
  ApplyLine();
}

void TApdCustomComPort::SetStopBits(uint16_t bits) {
  if (bits == StopBits_ && !Force_) return;
  StopBits_ = bits;
  ApplyLine();
}

void TApdCustomComPort::SetInSize(uint16_t size) {
  if (size == InSize_ && !Force_) return;
  InSize_ = size;
  if (auto* d = OpenDispatcher()) Check(d->SetCommBuffers(InSize_, OutSize_));
}

void TApdCustomComPort::SetOutSize(uint16_t size) {
  if (size == OutSize_ && !Force_) return;
  OutSize_ = size;
  if (auto* d = OpenDispatcher()) Check(d->SetCommBuffers(InSize_, OutSize_));
}

void TApdCustomComPort::ApplyFlowDefaults(int fullPercent, int resumePercent) {
  if (BufferFull_ == 0 || BufferFull_ > InSize_) {
    BufferFull_ = static_cast<uint16_t>(InSize_ * fullPercent / 100);
  }
  if (BufferResume_ == 0 || BufferResume_ > BufferFull_) {
    BufferResume_ = static_cast<uint16_t>(InSize_ * resumePercent / 100);
  }
}

void TApdCustomComPort::SetHWFlowOptions(THWFlowOptionSet options) {
  if (options == HWFlowOptions_ && !Force_) return;
  if (!options.Empty()) ApplyFlowDefaults(90, 10);
  if (auto* d = OpenDispatcher()) {
    Check(d->HWFlowOptions(BufferFull_, BufferResume_, options.Mask()));
  }
  HWFlowOptions_ = options;
  if (options.Contains(hwfUseRTS) || options.Contains(hwfRequireCTS)) SetRS485Mode(false);
}

void TApdCustomComPort::SetSWFlowOptions(TSWFlowOptions options) {
  if (options == SWFlowOptions_ && !Force_) return;
  if (options != swfNone) ApplyFlowDefaults(75, 25);
  if (auto* d = OpenDispatcher()) {
    if (options == swfNone) {
      Check(d->SWFlowDisable());
    } else {
      uint16_t mask = 0;
      if (options == swfReceive || options == swfBoth) mask |= sfReceiveFlow;
      if (options == swfTransmit || options == swfBoth) mask |= sfTransmitFlow;
      Check(d->SWFlowEnable(BufferFull_, BufferResume_, mask));
      // Enabling puts the standard characters in; ours go back at once.
      Check(d->SWFlowChars(static_cast<uint8_t>(XOnChar_), static_cast<uint8_t>(XOffChar_)));
    }
  }
  SWFlowOptions_ = options;
}

void TApdCustomComPort::SetXOnChar(char c) {
  if (c == XOnChar_ && !Force_) return;
  XOnChar_ = c;
  if (auto* d = OpenDispatcher()) {
    Check(d->SWFlowChars(static_cast<uint8_t>(XOnChar_), static_cast<uint8_t>(XOffChar_)));
  }
}

void TApdCustomComPort::SetXOffChar(char c) {
  if (c == XOffChar_ && !Force_) return;
  XOffChar_ = c;
  if (auto* d = OpenDispatcher()) {
    Check(d->SWFlowChars(static_cast<uint8_t>(XOnChar_), static_cast<uint8_t>(XOffChar_)));
  }
}

void TApdCustomComPort::SetBufferFull(uint16_t level) {
  if (level == BufferFull_ && !Force_) return;
  BufferFull_ = level > InSize_ ? static_cast<uint16_t>(level * 9 / 10) : level;
  Forced(Force_, [this] {
    SetHWFlowOptions(HWFlowOptions_);
    SetSWFlowOptions(SWFlowOptions_);
  });
}

void TApdCustomComPort::SetBufferResume(uint16_t level) {
  if (level == BufferResume_ && !Force_) return;
  BufferResume_ = level > BufferFull_ ? static_cast<uint16_t>(BufferFull_ / 10) : level;
  Forced(Force_, [this] {
    SetHWFlowOptions(HWFlowOptions_);
    SetSWFlowOptions(SWFlowOptions_);
  });
}

void TApdCustomComPort::SetDTR(bool on) {
  if (on == DTR_ && !Force_) return;
  if (auto* d = OpenDispatcher()) {
    // Under handshake control the dispatcher leaves the line alone (1).
    if (Check(d->SetDtr(on)) == 0) DTR_ = on;
  } else {
    DTR_ = on;
  }
}

void TApdCustomComPort::SetRTS(bool on) {
  if (on == RTS_ && !Force_) return;
  if (auto* d = OpenDispatcher()) {
    if (Check(d->SetRts(on)) == 0) RTS_ = on;
  } else {
    RTS_ = on;
  }
}

void TApdCustomComPort::SetTriggerLength(uint16_t length) {
  if (length == TriggerLength_ && !Force_) return;
  TriggerLength_ = length;
  if (auto* d = OpenDispatcher()) Check(d->ChangeLengthTrigger(length));
}

void TApdCustomComPort::SetRS485Mode(bool on) {
  if (on == RS485Mode_ && !Force_) return;
  RS485Mode_ = on;
  if (auto* d = OpenDispatcher()) Check(d->SetRS485Mode(on));
  if (on) {
    // The driver now owns RTS for the direction; handshaking on it must go.
    Forced(Force_,
           [this] { SetHWFlowOptions(HWFlowOptions_.Without(hwfUseRTS).Without(hwfRequireCTS)); });
    SetRTS(false);
  }
}

void TApdCustomComPort::SetThreadBoost(TApThreadBoost boost) {
  if (boost == ThreadBoost_ && !Force_) return;
  ThreadBoost_ = boost;
  if (auto* d = OpenDispatcher()) Check(d->SetThreadBoost(static_cast<uint8_t>(boost)));
}

void TApdCustomComPort::SetUseEventWord(bool use) {
  if (use == UseEventWord_ && !Force_) return;
  UseEventWord_ = use;
  if (auto* d = OpenDispatcher()) {
    if (use) {
      d->OptionsOn(poUseEventWord);
    } else {
      d->OptionsOff(poUseEventWord);
    }
  }
}

void TApdCustomComPort::SetTraceName(std::string name) {
  if (name.size() > 255) name.resize(255);
  TraceName_ = std::move(name);
}

void TApdCustomComPort::SetLogName(std::string name) {
  if (name.size() > 255) name.resize(255);
  LogName_ = std::move(name);
}

}  // namespace kestrel
