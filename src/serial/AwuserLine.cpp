// Line settings, flow control, the modem and line status, breaks, RS-485
// direction control and thread priorities.

#include <chrono>
#include <thread>

#include "messages/AdErrorCodes.h"
#include "serial/Awuser.h"
#include "serial/EventTimer.h"

namespace kestrel {

namespace {

void SleepMs(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace

// ---------------------------------------------------------------------------
// Line settings

int TApdBaseDispatcher::SetCommBuffers(int inSize, int outSize) {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  return SetupCom(inSize, outSize);
}

int TApdBaseDispatcher::SetLine(int32_t baud, uint8_t parity, uint8_t dataBits, uint8_t stopBits) {
  uint8_t stopRecord;
  {
    std::lock_guard<std::recursive_mutex> lock(MainLock_);
    TDeviceSettings s;
    int rc = GetComState(s);
    if (rc < 0) return rc;
    if (baud == 0) baud = static_cast<int32_t>(s.BaudRate);
    if (parity == 5) parity = s.Parity;
    if (dataBits == 9) dataBits = s.ByteSize;
    if (stopBits == 0) stopBits = 1;
    if (stopBits > 3) stopBits = 2;
    if (stopBits == 3)
      stopRecord = s.StopBits;
    else
      stopRecord = stopBits == 1 ? ONESTOPBIT : TWOSTOPBITS;
    if (dataBits == 5) stopRecord = ONE5STOPBITS;
    if (static_cast<uint32_t>(baud) == s.BaudRate && parity == s.Parity && dataBits == s.ByteSize &&
        stopRecord == s.StopBits)
      return 0;
  }
  // Bytes already queued go out with the old settings; the lock is not held
  // meanwhile.
  WaitTxSent();
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  TDeviceSettings s;
  int rc = GetComState(s);
  if (rc < 0) return rc;
  s.BaudRate = static_cast<uint32_t>(baud);
  s.Parity = parity;
  s.ByteSize = dataBits;
  s.StopBits = stopRecord;
  return SetCommStateFix(s);
}

void TApdBaseDispatcher::WaitTxSent() {
  for (int polls = 0; polls < 5000 && OutBuffUsed() != 0; ++polls) SleepMs(2);
  int64_t d;
  {
    std::lock_guard<std::recursive_mutex> lock(MainLock_);
    TDeviceSettings s;
    if (GetComState(s) < 0) s = Settings_;
    int bits = s.ByteSize + 2 + (s.Parity != NOPARITY ? 1 : 0) + (s.StopBits != ONESTOPBIT ? 1 : 0);
    int64_t baud = LastBaud_ > 0 ? LastBaud_ : 115200;
    // 18 character times in units of 0.1 us.
    d = (10000000 / baud) * bits * 18;
  }
  if (d < 10000) d *= 2;
  SleepMs(static_cast<int>(d / 10000 + (d % 10000 ? 1 : 0)));
}

int TApdBaseDispatcher::SetCommStateFix(TDeviceSettings& settings) {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  if (!DtrAuto_)
    settings.Flags = (settings.Flags & ~dcb_DtrMask) | (DtrState_ ? dcb_DtrEnable : dcb_DtrDisable);
  if (!RtsAuto_)
    settings.Flags = (settings.Flags & ~dcb_RtsMask) | (RtsState_ ? dcb_RtsEnable : dcb_RtsDisable);
  int rc = SetComState(settings);
  if (rc < 0) return rc;
  Settings_ = settings;
  LastBaud_ = static_cast<int32_t>(settings.BaudRate);
  SetDtr(DtrState_);
  if (!RS485Mode_) SetRts(RtsState_);
  return 0;
}

// ---------------------------------------------------------------------------
// Flow control

int TApdBaseDispatcher::HWFlowOptions(uint16_t bufferFull, uint16_t bufferResume,
                                      uint16_t options) {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  if (bufferFull < bufferResume || bufferFull > InSize_) return ecBadArgument;
  TDeviceSettings s;
  int rc = GetComState(s);
  if (rc < 0) return rc;
  s.Flags &= ~(dcb_OutxCtsFlow | dcb_OutxDsrFlow | dcb_DtrMask | dcb_RtsMask);
  DtrAuto_ = RtsAuto_ = false;
  if (options & hfUseDTR) {
    s.Flags |= dcb_DtrHandshake;
    DtrAuto_ = true;
  } else if (DtrState_) {
    s.Flags |= dcb_DtrEnable;
  }
  if (options & hfUseRTS) {
    s.Flags |= dcb_RtsHandshake;
    RtsAuto_ = true;
  } else if (RtsState_) {
    s.Flags |= dcb_RtsEnable;
  }
  s.XoffLim = static_cast<uint16_t>(InSize_ - bufferFull);
  s.XonLim = bufferResume;
  if (options & hfRequireDSR) s.Flags |= dcb_OutxDsrFlow;
  if (options & hfRequireCTS) s.Flags |= dcb_OutxCtsFlow;
  return SetCommStateFix(s);
}

int TApdBaseDispatcher::HWFlowState() {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  TDeviceSettings s;
  if (GetComState(s) < 0) s = Settings_;
  bool dtrHs = (s.Flags & dcb_DtrMask) == dcb_DtrHandshake;
  bool rtsHs = (s.Flags & dcb_RtsMask) == dcb_RtsHandshake;
  if (!(s.Flags & (dcb_OutxCtsFlow | dcb_OutxDsrFlow)) && !dtrHs && !rtsHs) return fsOff;
  if (!DtrAuto_ && !RtsAuto_) return fsOn;
  RefreshStatus();
  uint32_t hold;
  {
    std::lock_guard<std::mutex> st(StatusLock_);
    hold = ComStatus_.HoldFlags;
  }
  if ((s.Flags & dcb_OutxDsrFlow) && (hold & hold_Dsr)) return fsDsrHold;
  if ((s.Flags & dcb_OutxCtsFlow) && (hold & hold_Cts)) return fsCtsHold;
  return fsOn;
}

int TApdBaseDispatcher::SWFlowEnable(uint16_t bufferFull, uint16_t bufferResume, uint16_t options) {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  if (bufferFull < bufferResume || bufferFull > InSize_) return ecBadArgument;
  TDeviceSettings s;
  int rc = GetComState(s);
  if (rc < 0) return rc;
  if (options & sfReceiveFlow) {
    s.Flags |= dcb_InX;
    s.XoffLim = static_cast<uint16_t>(InSize_ - bufferFull);
    s.XonLim = bufferResume;
  }
  if (options & sfTransmitFlow) s.Flags |= dcb_OutX;
  s.XonChar = 17;
  s.XoffChar = 19;
  return SetCommStateFix(s);
}

int TApdBaseDispatcher::SWFlowDisable() {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  TDeviceSettings s;
  int rc = GetComState(s);
  if (rc < 0) return rc;
  s.Flags &= ~(dcb_InX | dcb_OutX);
  return SetCommStateFix(s);
}

int TApdBaseDispatcher::SWFlowChars(uint8_t on, uint8_t off) {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  TDeviceSettings s;
  int rc = GetComState(s);
  if (rc < 0) return rc;
  s.XonChar = on;
  s.XoffChar = off;
  return SetCommStateFix(s);
}

int TApdBaseDispatcher::SWFlowState() {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  TDeviceSettings s;
  if (GetComState(s) < 0) s = Settings_;
  if (!(s.Flags & (dcb_InX | dcb_OutX))) return fsOff;
  RefreshStatus();
  uint32_t hold;
  {
    std::lock_guard<std::mutex> st(StatusLock_);
    hold = ComStatus_.HoldFlags;
  }
  bool sent = hold & hold_XoffSent;
  bool held = hold & hold_XoffReceived;
  if (sent && held) return fsXBothHold;
  if (sent) return fsXInHold;
  if (held) return fsXOutHold;
  return fsOn;
}

// ---------------------------------------------------------------------------
// DTR and RTS

int TApdBaseDispatcher::SetDtr(bool on) {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  if (DtrAuto_) return 1;
  if (EscapeComFunction(on ? SETDTR : CLRDTR) < 0) return ecBadArgument;
  DtrState_ = on;
  return 0;
}

int TApdBaseDispatcher::SetRts(bool on) {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  if (RtsAuto_) return 1;
  if (EscapeComFunction(on ? SETRTS : CLRRTS) < 0) return ecBadArgument;
  RtsState_ = on;
  return 0;
}

// ---------------------------------------------------------------------------
// Modem and line status

uint8_t TApdBaseDispatcher::ReadModemStatus(uint8_t clear) {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  uint8_t levels = 0;
  if (DeviceOpen_.load() && ComModemLines(levels) >= 0) {
    uint8_t old = ModemStatus_;
    // A change seen by any read counts, whoever looked first.
    uint8_t changed = static_cast<uint8_t>(((old ^ levels) >> 4) & 0x0F);
    ModemStatus_ = static_cast<uint8_t>((levels & 0xF0) | (old & 0x0F) | changed);
  }
  if (RingFlag_.exchange(false)) ModemStatus_ |= msTrailingRI;
  uint8_t result = ModemStatus_;
  ModemStatus_ &= static_cast<uint8_t>(~clear);
  return result;
}

uint8_t TApdBaseDispatcher::GetModemStatus() {
  return ReadModemStatus(0x0F);
}
bool TApdBaseDispatcher::CheckCTS() {
  return ReadModemStatus(msDeltaCTS) & ms_CtsOn;
}
bool TApdBaseDispatcher::CheckDSR() {
  return ReadModemStatus(msDeltaDSR) & ms_DsrOn;
}
bool TApdBaseDispatcher::CheckRI() {
  return ReadModemStatus(msTrailingRI) & ms_RingOn;
}
bool TApdBaseDispatcher::CheckDCD() {
  return ReadModemStatus(msDeltaDCD) & ms_RlsdOn;
}
bool TApdBaseDispatcher::CheckDeltaCTS() {
  return ReadModemStatus(msDeltaCTS) & msDeltaCTS;
}
bool TApdBaseDispatcher::CheckDeltaDSR() {
  return ReadModemStatus(msDeltaDSR) & msDeltaDSR;
}
bool TApdBaseDispatcher::CheckDeltaRI() {
  return ReadModemStatus(msTrailingRI) & msTrailingRI;
}
bool TApdBaseDispatcher::CheckDeltaDCD() {
  return ReadModemStatus(msDeltaDCD) & msDeltaDCD;
}

int TApdBaseDispatcher::GetLineError() {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  RefreshStatus();
  uint32_t e = ErrorFlags_.load();
  int result = leNoError;
  if (e & ce_RxOver)
    result = leBuffer;
  else if (e & ce_Overrun)
    result = leOverrun;
  else if (e & ce_RxParity)
    result = leParity;
  else if (e & ce_Frame)
    result = leFraming;
  else if (e & ce_Break)
    result = leBreak;
  if (result != leNoError) ErrorFlags_.fetch_and(~uint32_t{0x0F});
  return result;
}

bool TApdBaseDispatcher::CheckLineBreak() {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  RefreshStatus();
  return ErrorFlags_.fetch_and(~ce_Break) & ce_Break;
}

// ---------------------------------------------------------------------------
// Breaks

void TApdBaseDispatcher::SendBreak(uint32_t ticks, bool yield) {
  SetBreak(true);
  DelayTicks(static_cast<int32_t>(std::min<uint32_t>(ticks, MaxTicks)), yield);
  SetBreak(false);
}

void TApdBaseDispatcher::SetBreak(bool on) {
  bool rs485;
  {
    std::lock_guard<std::recursive_mutex> lock(MainLock_);
    rs485 = RS485Mode_;
    if (on && rs485) SetRts(true);
    EscapeComFunction(on ? SETBREAK : CLRBREAK);
  }
  if (!on && rs485 && OutBuffUsed() == 0) SetRts(false);
}

// ---------------------------------------------------------------------------
// RS-485 and thread priorities

int TApdBaseDispatcher::SetRS485Mode(bool on) {
  {
    std::lock_guard<std::recursive_mutex> lock(MainLock_);
    RS485Mode_ = on;
  }
  ApplyThreadPriorities();
  return 0;
}

void TApdBaseDispatcher::SetBaseAddress(uint16_t address) {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  BaseAddress_ = address;
}

uint16_t TApdBaseDispatcher::GetBaseAddress() {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  return BaseAddress_;
}

int TApdBaseDispatcher::SetThreadBoost(uint8_t boost) {
  if (boost > 2) boost = 2;
  {
    std::lock_guard<std::recursive_mutex> lock(MainLock_);
    if (boost == ThreadBoost_) return 0;
    ThreadBoost_ = boost;
  }
  ApplyThreadPriorities();
  return 0;
}

}  // namespace kestrel
