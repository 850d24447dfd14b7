#pragma once
// Property types of the serial port component.

#include <cstdint>
#include <initializer_list>

namespace kestrel {

enum TPortState : uint8_t { psClosed, psShuttingDown, psOpen };

enum TDeviceLayer : uint8_t { dlWin32, dlWinsock };

enum TParity : uint8_t { pNone, pOdd, pEven, pMark, pSpace };

enum THWFlowOptions : uint8_t { hwfUseDTR, hwfUseRTS, hwfRequireDSR, hwfRequireCTS };

// A set of THWFlowOptions; its bit mask (1 << option) is the dispatcher's
// option mask. Thread contract: a plain value, any thread.
class THWFlowOptionSet {
 public:
  constexpr THWFlowOptionSet() = default;
  constexpr THWFlowOptionSet(std::initializer_list<THWFlowOptions> options) {
    for (auto o : options) Bits_ |= Bit(o);
  }
  static constexpr THWFlowOptionSet FromMask(uint8_t mask) {
    THWFlowOptionSet s;
    s.Bits_ = mask & 0x0F;
    return s;
  }
  constexpr bool Contains(THWFlowOptions o) const { return (Bits_ & Bit(o)) != 0; }
  constexpr bool Empty() const { return Bits_ == 0; }
  constexpr uint8_t Mask() const { return Bits_; }
  constexpr THWFlowOptionSet With(THWFlowOptions o) const { return FromMask(Bits_ | Bit(o)); }
  constexpr THWFlowOptionSet Without(THWFlowOptions o) const { return FromMask(Bits_ & ~Bit(o)); }
  friend constexpr bool operator==(THWFlowOptionSet, THWFlowOptionSet) = default;

 private:
  static constexpr uint8_t Bit(THWFlowOptions o) { return static_cast<uint8_t>(1u << o); }
  uint8_t Bits_ = 0;
};

enum TSWFlowOptions : uint8_t { swfNone, swfReceive, swfTransmit, swfBoth };

enum TTraceLogState : uint8_t { tlOff, tlOn, tlDump, tlAppend, tlClear, tlPause };

enum TTapiMode : uint8_t { tmNone, tmAuto, tmOn, tmOff };

enum TApThreadBoost : uint8_t { tbNone, tbPlusOne, tbPlusTwo };

enum TFlowControlState : uint8_t {
  fcOff,
  fcOn,
  fcDsrHold,
  fcCtsHold,
  fcDcdHold,
  fcXOutHold,
  fcXInHold,
  fcXBothHold
};

enum TApdCallbackType : uint8_t { ctOpen, ctClosing, ctClosed };

}  // namespace kestrel
