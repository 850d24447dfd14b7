// TApdCustomComPort: data, status and trigger operations. While the port
// shuts down they do nothing and give their neutral value; otherwise they go
// through ValidDispatcher (which may open the port, or raise ECommNotOpen).
// Status and count queries never open the port.

#include "serial/Awuser.h"
#include "serial/qt/Adport.h"

namespace kestrel {

void TApdCustomComPort::PutChar(char c) {
  if (InState(psShuttingDown)) return;
  if (auto* d = ValidDispatcher()) Check(d->PutChar(static_cast<uint8_t>(c)));
}

void TApdCustomComPort::PutString(std::string_view s) {
  if (InState(psShuttingDown)) return;
  if (auto* d = ValidDispatcher()) Check(d->PutString(s));
}

void TApdCustomComPort::PutBlock(const void* block, uint16_t length) {
  if (InState(psShuttingDown)) return;
  if (auto* d = ValidDispatcher()) Check(d->PutBlock(block, length));
}

char TApdCustomComPort::GetChar() {
  if (InState(psShuttingDown)) return 0;
  auto* d = ValidDispatcher();
  if (!d) return 0;
  const int c = Check(d->GetChar());
  return c < 0 ? 0 : static_cast<char>(c);
}

char TApdCustomComPort::PeekChar(uint16_t position) {
  if (InState(psShuttingDown)) return 0;
  auto* d = ValidDispatcher();
  if (!d) return 0;
  const int c = Check(d->PeekChar(position));
  return c < 0 ? 0 : static_cast<char>(c);
}

void TApdCustomComPort::GetBlock(void* block, uint16_t length) {
  if (InState(psShuttingDown)) return;
  if (auto* d = ValidDispatcher()) Check(d->GetBlock(block, length));
}

void TApdCustomComPort::PeekBlock(void* block, uint16_t length) {
  if (InState(psShuttingDown)) return;
  if (auto* d = ValidDispatcher()) Check(d->PeekBlock(block, length));
}

bool TApdCustomComPort::CharReady() {
  if (InState(psShuttingDown)) return false;
  auto* d = ValidDispatcher();
  return d && d->CharReady();
}

uint16_t TApdCustomComPort::InBuffUsed() {
  auto* d = OpenDispatcher();
  return d ? static_cast<uint16_t>(d->InBuffUsed()) : 0;
}

uint16_t TApdCustomComPort::InBuffFree() {
  auto* d = OpenDispatcher();
  return d ? static_cast<uint16_t>(d->InBuffFree()) : DispatchBufferSize;
}

uint16_t TApdCustomComPort::OutBuffUsed() {
  auto* d = OpenDispatcher();
  return d ? static_cast<uint16_t>(d->OutBuffUsed()) : 0;
}

uint16_t TApdCustomComPort::OutBuffFree() {
  auto* d = OpenDispatcher();
  return d ? static_cast<uint16_t>(d->OutBuffFree()) : OutSize_;
}

TApdCustomComPort::TMotion TApdCustomComPort::Motion() {
  TMotion motion;
  auto* d = OpenDispatcher();
  if (!d) return motion;
  motion.OutputLeaving =
      d->OutBuffUsed() > 0 && !(HWFlowOptions_.Contains(hwfRequireCTS) && !d->CheckCTS());
  motion.ReceivedWaiting = d->InBuffHeld();
  motion.DispatchCycles = d->DispatchCycles();
  return motion;
}

void TApdCustomComPort::FlushInBuffer() {
  if (InState(psShuttingDown)) return;
  if (auto* d = ValidDispatcher()) Check(d->FlushInBuffer());
}

void TApdCustomComPort::FlushOutBuffer() {
  if (InState(psShuttingDown)) return;
  if (auto* d = ValidDispatcher()) Check(d->FlushOutBuffer());
}

void TApdCustomComPort::SendBreak(uint16_t ticks, bool yield) {
  if (InState(psShuttingDown)) return;
  if (auto* d = ValidDispatcher()) d->SendBreak(ticks, yield);
}

void TApdCustomComPort::SetBreak(bool on) {
  if (InState(psShuttingDown)) return;
  if (auto* d = ValidDispatcher()) d->SetBreak(on);
}

// ---- line and modem status ----

bool TApdCustomComPort::CTS() {
  auto* d = OpenDispatcher();
  return d && d->CheckCTS();
}

bool TApdCustomComPort::DSR() {
  auto* d = OpenDispatcher();
  return d && d->CheckDSR();
}

bool TApdCustomComPort::RI() {
  auto* d = OpenDispatcher();
  return d && d->CheckRI();
}

bool TApdCustomComPort::DCD() {
  auto* d = OpenDispatcher();
  return d && d->CheckDCD();
}

bool TApdCustomComPort::DeltaCTS() {
  auto* d = OpenDispatcher();
  return d && d->CheckDeltaCTS();
}

bool TApdCustomComPort::DeltaDSR() {
  auto* d = OpenDispatcher();
  return d && d->CheckDeltaDSR();
}

bool TApdCustomComPort::DeltaRI() {
  auto* d = OpenDispatcher();
  return d && d->CheckDeltaRI();
}

bool TApdCustomComPort::DeltaDCD() {
  auto* d = OpenDispatcher();
  return d && d->CheckDeltaDCD();
}

uint8_t TApdCustomComPort::ModemStatus() {
  auto* d = OpenDispatcher();
  return d ? d->GetModemStatus() : 0;
}

uint16_t TApdCustomComPort::LineError() {
  auto* d = OpenDispatcher();
  return d ? static_cast<uint16_t>(d->GetLineError()) : 0;
}

bool TApdCustomComPort::LineBreak() {
  auto* d = OpenDispatcher();
  return d && d->CheckLineBreak();
}

TFlowControlState TApdCustomComPort::FlowState() {
  auto* d = OpenDispatcher();
  if (!d) return fcOff;
  int state = d->HWFlowState();
  if (state == fsOff) state = d->SWFlowState();
  if (state < fsOff || state > fsXBothHold) return fcOff;
  return static_cast<TFlowControlState>(state - 1);
}

// ---- triggers ----

uint16_t TApdCustomComPort::AddDataTrigger(std::string_view data, bool ignoreCase) {
  if (InState(psShuttingDown)) return 0;
  auto* d = ValidDispatcher();
  if (!d) return 0;
  const int rc =
      Check(d->AddDataTriggerLen(data.data(), ignoreCase, static_cast<int>(data.size())));
  return rc < 0 ? 0 : static_cast<uint16_t>(rc);
}

uint16_t TApdCustomComPort::AddTimerTrigger() {
  if (InState(psShuttingDown)) return 0;
  auto* d = ValidDispatcher();
  if (!d) return 0;
  const int rc = Check(d->AddTimerTrigger());
  return rc < 0 ? 0 : static_cast<uint16_t>(rc);
}

uint16_t TApdCustomComPort::AddStatusTrigger(uint16_t statusType) {
  if (InState(psShuttingDown)) return 0;
  auto* d = ValidDispatcher();
  if (!d) return 0;
  const int rc = Check(d->AddStatusTrigger(statusType));
  return rc < 0 ? 0 : static_cast<uint16_t>(rc);
}

void TApdCustomComPort::SetTimerTrigger(uint16_t handle, int32_t ticks, bool activate) {
  if (InState(psShuttingDown)) return;
  if (auto* d = ValidDispatcher()) Check(d->SetTimerTrigger(handle, ticks, activate));
}

void TApdCustomComPort::SetStatusTrigger(uint16_t handle, uint16_t value, bool activate) {
  if (InState(psShuttingDown)) return;
  if (auto* d = ValidDispatcher()) Check(d->SetStatusTrigger(handle, value, activate));
}

void TApdCustomComPort::RemoveTrigger(uint16_t handle) {
  if (auto* d = OpenDispatcher()) {
    Check(d->RemoveTrigger(handle));
    if (handle == AvailTriggerHandle) TriggerLength_ = 0;
  }
}

void TApdCustomComPort::RemoveAllTriggers() {
  if (auto* d = OpenDispatcher()) {
    d->RemoveAllTriggers();
    TriggerLength_ = 0;
  }
}

}  // namespace kestrel
