#pragma once
// Trigger records, trigger messages and the handler types of the dispatcher.

#include <cstdint>
#include <functional>
#include <vector>

#include "serial/EventTimer.h"

namespace kestrel {

// Trigger messages. wParam and lParam as delivered to every handler; the high
// word of lParam always carries the dispatcher handle.
inline constexpr uint32_t apw_TriggerAvail = 0x7E01;   // wParam: bytes offered
inline constexpr uint32_t apw_TriggerData = 0x7E02;    // wParam: handle, lParam low: length
inline constexpr uint32_t apw_TriggerTimer = 0x7E03;   // wParam: handle
inline constexpr uint32_t apw_TriggerStatus = 0x7E04;  // wParam: handle, lParam low: count
// Open and close notifications of the component's users.
inline constexpr uint32_t apw_PortOpen = 0x7E08;
inline constexpr uint32_t apw_PortClose = 0x7E09;
inline constexpr uint32_t apw_ClosePending = 0x7E0A;

// Status trigger types (the low three bits of a status trigger's handle).
inline constexpr uint16_t stNotActive = 0;
inline constexpr uint16_t stModem = 1;
inline constexpr uint16_t stLine = 2;
inline constexpr uint16_t stOutBuffFree = 3;
inline constexpr uint16_t stOutBuffUsed = 4;
inline constexpr uint16_t stOutSent = 5;

// Line-error masks given to SetStatusTrigger for a stLine trigger.
inline constexpr uint16_t lsOverrun = 0x01;
inline constexpr uint16_t lsParity = 0x02;
inline constexpr uint16_t lsFraming = 0x04;
inline constexpr uint16_t lsBreak = 0x08;

// The avail trigger's handle.
inline constexpr uint16_t AvailTriggerHandle = 1;
inline constexpr int MaxTriggerLen = 21;

struct TTimerTrigger {
  uint16_t Handle = 0;
  EventTimer Timer;
  int32_t Ticks = 0;  // tick count last set
  bool Active = false;
};

struct TDataTrigger {
  uint16_t Handle = 0;
  uint16_t Length = 0;                       // 1..21
  int32_t Counters[MaxTriggerLen + 1] = {};  // one per candidate start
  bool Hit = false;
  bool IgnoreCase = false;
  uint8_t Text[MaxTriggerLen] = {};  // upper-cased when case is ignored
};

struct TStatusTrigger {
  uint16_t Handle = 0;
  uint16_t Type = stNotActive;  // 1..5
  uint16_t Value = 0;  // modem: high byte mask, low byte snapshot; line: error mask; 3/4: count
  bool Enabled = false;
  bool Hit = false;
};

// Feeds one received byte to a data trigger's match counters; true when the
// trigger's string has just been completed.
bool MatchDataTrigger(TDataTrigger& trigger, uint8_t byte);

// What a component keeps of a dispatcher's triggers across a close and reopen.
struct TTriggerSave {
  uint16_t AvailThreshold = 0;
  std::vector<TTimerTrigger> Timers;
  std::vector<TDataTrigger> Datas;
  std::vector<TStatusTrigger> Statuses;
};

// A "window" handler: the component's window-thread side implements it.
// DeliverTriggerMessage is called on the dispatch thread; it hands the message
// to the window thread and returns once the window thread has handled it, or
// after at most 3000 ms. A message not started within the limit is dropped.
// The window thread marks itself with a TApdHandlerScope while it runs the
// message, so that its reads count as this handler's.
class TApdWindowHandler {
 public:
  virtual void DeliverTriggerMessage(uint32_t Msg, uint32_t wParam, uint32_t lParam) = 0;

 protected:
  ~TApdWindowHandler() = default;
};

// A procedure handler, called on the dispatch thread.
using TApdNotifyProc = void (*)(uint32_t Msg, uint32_t wParam, uint32_t lParam);

// An event handler: called on the dispatch thread, or, when registered as
// synchronised, on the window thread through the synchronise hook while the
// dispatch thread waits. Identified by its owner for deregistration.
using TApdNotifyEvent = std::function<void(uint32_t Msg, uint32_t wParam, uint32_t lParam)>;

// Runs a call on the window thread and waits for it to finish: what a
// dispatcher's SetSynchronizeHook takes. Any thread.
using TApdSynchronizeHook = std::function<void(const std::function<void()>& call)>;

}  // namespace kestrel
