#include "serialdevice/AwRfc2217.h"

#include <algorithm>

#include "messages/AdErrorCodes.h"

namespace kestrel {

namespace {

using namespace telnet;

// COM-PORT command codes (the server answers with code + 100).
constexpr uint8_t kSetBaud = 1, kSetDataSize = 2, kSetParity = 3, kSetStopSize = 4, kSetControl = 5,
                  kNotifyLineState = 6, kNotifyModemState = 7, kFlowSuspend = 8, kFlowResume = 9,
                  kSetLineStateMask = 10, kSetModemStateMask = 11, kPurgeData = 12;
constexpr uint8_t kServerOffset = 100;

// SET-CONTROL values.
constexpr uint8_t kFlowNone = 1, kFlowHardware = 3, kBreakOn = 5, kBreakOff = 6, kDtrOn = 8,
                  kDtrOff = 9, kRtsOn = 11, kRtsOff = 12;

// Line-state bits worth reporting: break, framing, parity, overrun.
constexpr uint8_t kLineBreak = 0x10, kLineFraming = 0x08, kLineParity = 0x04, kLineOverrun = 0x02;
// Modem-state bits of the handshake lines; they sit where the ms_* levels do.
constexpr uint8_t kModemLines = ms_CtsOn | ms_DsrOn | ms_RingOn | ms_RlsdOn;
constexpr uint8_t kLoopedBack = ms_CtsOn | ms_DsrOn | ms_RlsdOn;

// A far end that frames bytes within a few percent of the rate has taken it.
bool RateTaken(uint32_t asked, uint32_t got) {
  const uint64_t off = asked > got ? asked - got : got - asked;
  return off * 100 <= uint64_t{asked} * 3;
}

bool HardwareFlow(const TDeviceSettings& s) {
  return (s.Flags & dcb_OutxCtsFlow) || (s.Flags & dcb_RtsMask) == dcb_RtsHandshake;
}

uint8_t ParityCode(uint8_t parity) {
  return uint8_t(parity + 1);  // none, odd, even, mark, space
}

uint8_t StopCode(uint8_t stopBits) {
  return stopBits == ONESTOPBIT ? 1 : stopBits == TWOSTOPBITS ? 2 : 3;
}

std::vector<uint8_t> Be32(uint32_t v) {
  return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}

const char* ControlName(uint8_t value) {
  switch (value) {
    case kFlowNone:
      return "SET-CONTROL no flow control";
    case kFlowHardware:
      return "SET-CONTROL RTS/CTS flow control";
    case kBreakOn:
      return "SET-CONTROL BREAK on";
    case kBreakOff:
      return "SET-CONTROL BREAK off";
    case kDtrOn:
      return "SET-CONTROL DTR on";
    case kDtrOff:
      return "SET-CONTROL DTR off";
    case kRtsOn:
      return "SET-CONTROL RTS on";
    case kRtsOff:
      return "SET-CONTROL RTS off";
    default:
      return "SET-CONTROL";
  }
}

}  // namespace

std::unique_ptr<TApdSerialDevice> CreateNetDevice(const std::string& path) {
  const auto starts = [&](const char* prefix) { return path.rfind(prefix, 0) == 0; };
  if (starts(kRfc2217Prefix))
    return std::make_unique<TApdRfc2217Device>(path,
                                               path.substr(std::string(kRfc2217Prefix).size()));
  if (starts(kRawTcpPrefix))
    return std::make_unique<TApdTcpDevice>(path, path.substr(std::string(kRawTcpPrefix).size()));
  return nullptr;
}

TApdRfc2217Device::TApdRfc2217Device(std::string path, std::string address)
    : TApdNetDevice(std::move(path), std::move(address)),
      Codec_({BINARY, SGA, COM_PORT}, {BINARY, SGA}) {}

void TApdRfc2217Device::Command(uint8_t code, const std::vector<uint8_t>& value) {
  std::vector<uint8_t> payload{code};
  payload.insert(payload.end(), value.begin(), value.end());
  {
    std::lock_guard lock(Lock_);
    if (code < Answers_.size()) Answers_[code].reset();
    if (code == kSetControl) ControlsAsked_.push_back(value.at(0));
  }
  SendControl(TApdTelnetCodec::Subnegotiation(COM_PORT, payload));
}

void TApdRfc2217Device::Control(uint8_t value) {
  Command(kSetControl, {value});
}

int TApdRfc2217Device::StartLine(std::string& why) {
  std::vector<uint8_t> requests;
  {
    std::lock_guard lock(Lock_);
    requests = Codec_.Requests();
  }
  SendControl(requests);
  const bool answered = PumpUntil(
      [this] {
        std::lock_guard lock(Lock_);
        return Codec_.OwnAnswered(COM_PORT);
      },
      kOptionWaitMs);
  bool taken;
  {
    std::lock_guard lock(Lock_);
    taken = Codec_.OwnEnabled(COM_PORT);
  }
  if (!taken) {
    // A server that hung up did not fall silent: it says so.
    const std::string lost = LostReason();
    why = answered        ? "the server refuses RFC 2217 serial control (a raw port? try tcp://)"
          : !lost.empty() ? lost + " before it took RFC 2217 serial control"
                          : "no answer to RFC 2217 serial control within " +
                                std::to_string(kOptionWaitMs / 1000) + " seconds";
    return ecFileNotFound;
  }
  Command(kSetModemStateMask, {0xFF});
  Command(kSetLineStateMask, {kLineBreak | kLineFraming | kLineParity | kLineOverrun});
  return ecOK;
}

int TApdRfc2217Device::ApplyLine(const TDeviceSettings& wanted, TDeviceSettings& confirmed) {
  confirmed = wanted;
  std::vector<uint8_t> asked;
  bool haveLine;
  TDeviceSettings line;
  bool ctsLive;
  {
    std::lock_guard lock(Lock_);
    haveLine = HaveLine_;
    line = Line_;
    ctsLive = ModemLive_;
  }
  const auto ask = [&](uint8_t code, const std::vector<uint8_t>& value) {
    Command(code, value);
    asked.push_back(code);
  };
  if (!haveLine || line.BaudRate != wanted.BaudRate) ask(kSetBaud, Be32(wanted.BaudRate));
  if (!haveLine || line.ByteSize != wanted.ByteSize) ask(kSetDataSize, {wanted.ByteSize});
  if (!haveLine || line.Parity != wanted.Parity) ask(kSetParity, {ParityCode(wanted.Parity)});
  if (!haveLine || line.StopBits != wanted.StopBits) ask(kSetStopSize, {StopCode(wanted.StopBits)});
  // The server's UART holds output on CTS only where it has a CTS to show:
  // a server that reports none (ser2net on a line without modem control)
  // would otherwise stop for good. There TCP's back-pressure is the handshake.
  const bool serverFlow = HardwareFlow(wanted) && ctsLive;
  if (!haveLine || (HardwareFlow(line) && ctsLive) != serverFlow)
    ask(kSetControl, {serverFlow ? kFlowHardware : kFlowNone});
  PumpUntil(
      [&] {
        std::lock_guard lock(Lock_);
        return std::all_of(asked.begin(), asked.end(),
                           [&](uint8_t code) { return Answers_[code].has_value(); });
      },
      asked.empty() ? 0 : kAnswerWaitMs);

  int rc = ecOK;
  {
    std::lock_guard lock(Lock_);
    for (uint8_t code : asked) {
      const auto& answer = Answers_[code];
      if (code == kSetControl) continue;  // SET-CONTROL answers are listed by value
      if (!answer || answer->empty()) {
        NotConfirmed_.push_back(code == kSetBaud ? "SET-BAUDRATE " + std::to_string(wanted.BaudRate)
                                : code == kSetDataSize ? "SET-DATASIZE"
                                : code == kSetParity   ? "SET-PARITY"
                                                       : "SET-STOPSIZE");
        continue;
      }
      const std::vector<uint8_t>& v = *answer;
      if (code == kSetBaud && v.size() >= 4) {
        const uint32_t got =
            uint32_t(v[0]) << 24 | uint32_t(v[1]) << 16 | uint32_t(v[2]) << 8 | v[3];
        if (!RateTaken(wanted.BaudRate, got)) rc = ecBaudRate;
      } else if (code == kSetDataSize && v[0] != wanted.ByteSize) {
        rc = rc ? rc : ecByteSize;
      } else if ((code == kSetParity && v[0] != ParityCode(wanted.Parity)) ||
                 (code == kSetStopSize && v[0] != StopCode(wanted.StopBits))) {
        rc = rc ? rc : ecInvalidParameter;
      }
    }
    if (rc == ecOK) {
      Line_ = wanted;
      HaveLine_ = true;
    }
  }
  if (rc != ecOK) return rc;
  // The record's fixed DTR and RTS levels take effect with it.
  const uint32_t dtr = wanted.Flags & dcb_DtrMask;
  if (dtr == dcb_DtrEnable || dtr == dcb_DtrDisable)
    Control(dtr == dcb_DtrEnable ? kDtrOn : kDtrOff);
  const uint32_t rts = wanted.Flags & dcb_RtsMask;
  if (rts == dcb_RtsEnable || rts == dcb_RtsDisable)
    Control(rts == dcb_RtsEnable ? kRtsOn : kRtsOff);
  return ecOK;
}

void TApdRfc2217Device::Answer(uint8_t code, const std::vector<uint8_t>& value) {
  if (code < Answers_.size()) Answers_[code] = value;
  if (code == kSetControl && !value.empty()) ControlsAnswered_.push_back(value[0]);
}

void TApdRfc2217Device::Decode(const uint8_t* wire, int n, std::vector<uint8_t>& data,
                               std::vector<uint8_t>& replies) {
  uint32_t events = 0, errors = 0;
  bool resumed = false;
  {
    std::lock_guard lock(Lock_);
    std::vector<TTelnetSubnegotiation> received;
    Codec_.Decode(wire, n, data, replies, received);
    for (const auto& sb : received) {
      if (sb.Option != COM_PORT || sb.Payload.empty()) continue;
      uint8_t code = sb.Payload[0];
      const std::vector<uint8_t> value(sb.Payload.begin() + 1, sb.Payload.end());
      // Notifications come as code + 100; some servers send the bare code.
      if (code >= kServerOffset) code = uint8_t(code - kServerOffset);
      if (code == kNotifyModemState && !value.empty()) {
        const uint8_t before = ModemLive_ ? uint8_t(Modem_ & kModemLines) : kLoopedBack;
        Modem_ = value[0];
        // A server that has never shown a handshake line up has none to show
        // (a line without modem control): the lines stay as looped back.
        if (Modem_ & kLoopedBack) ModemLive_ = true;
        const uint8_t now = ModemLive_ ? uint8_t(Modem_ & kModemLines) : kLoopedBack;
        const uint8_t changed = before ^ now;
        if (changed & ms_CtsOn) events |= ev_Cts;
        if (changed & ms_DsrOn) events |= ev_Dsr;
        if (changed & ms_RlsdOn) events |= ev_Rlsd;
        if (changed & ms_RingOn) events |= (now & ms_RingOn) ? ev_Ring : ev_RingTe;
      } else if (code == kNotifyLineState && !value.empty()) {
        const uint8_t state = value[0];
        if (state & kLineOverrun) errors |= ce_Overrun;
        if (state & kLineParity) errors |= ce_RxParity;
        if (state & kLineFraming) errors |= ce_Frame;
        if (errors) events |= ev_Err;
        if (state & kLineBreak) {
          errors |= ce_Break;
          events |= ev_Break;
        }
      } else if (code == kFlowSuspend) {
        Suspended_ = true;
      } else if (code == kFlowResume) {
        resumed = Suspended_;
        Suspended_ = false;
      } else if (sb.Payload[0] >= kServerOffset) {
        Answer(code, value);
      }
    }
  }
  if (events || errors) Raise(events, errors);
  if (resumed) Nudge();
}

void TApdRfc2217Device::Encode(const uint8_t* data, int n, std::vector<uint8_t>& wire) {
  std::lock_guard lock(Lock_);
  Codec_.EncodeData(data, n, wire);
}

int TApdRfc2217Device::LineControl(int function) {
  switch (function) {
    case SETRTS:
      Control(kRtsOn);
      break;
    case CLRRTS:
      Control(kRtsOff);
      break;
    case SETDTR:
      Control(kDtrOn);
      break;
    case CLRDTR:
      Control(kDtrOff);
      break;
    case SETBREAK:
      Control(kBreakOn);
      break;
    case CLRBREAK:
      Control(kBreakOff);
      break;
    default:
      return ecInvalidParameter;
  }
  return ecOK;
}

// Received bytes the server still holds are dropped with ours. Its transmit
// buffer is left alone: what it holds has left this end (the drain counts it
// sent once acknowledged) and may be the tail of a block the unit is taking
// while it writes flash.
void TApdRfc2217Device::PurgeRemote(uint32_t flags) {
  if (flags & (PURGE_RXABORT | PURGE_RXCLEAR)) Command(kPurgeData, {1});
}

uint8_t TApdRfc2217Device::Levels() {
  std::lock_guard lock(Lock_);
  return ModemLive_ ? uint8_t(Modem_ & kModemLines) : kLoopedBack;
}

bool TApdRfc2217Device::OutputSuspended() {
  std::lock_guard lock(Lock_);
  return Suspended_;
}

std::vector<std::string> TApdRfc2217Device::Unconfirmed() {
  std::lock_guard lock(Lock_);
  std::vector<std::string> out = NotConfirmed_;
  if (!Answers_[kSetModemStateMask]) out.push_back("SET-MODEMSTATE-MASK");
  if (!Answers_[kSetLineStateMask]) out.push_back("SET-LINESTATE-MASK");
  std::vector<uint8_t> answered = ControlsAnswered_;
  for (uint8_t value : ControlsAsked_) {
    const auto it = std::find(answered.begin(), answered.end(), value);
    if (it != answered.end()) {
      answered.erase(it);
    } else if (std::find(out.begin(), out.end(), ControlName(value)) == out.end()) {
      out.push_back(ControlName(value));
    }
  }
  return out;
}

}  // namespace kestrel
