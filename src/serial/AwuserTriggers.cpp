// Adding, arming and removing triggers; registering trigger handlers.

#include <algorithm>
#include <cctype>
#include <cstring>

#include "messages/AdErrorCodes.h"
#include "serial/Awuser.h"

namespace kestrel {

namespace {

// The counter yields handles counter * 8 up to this count; after that the
// smallest free multiple of 8 not above it is reused.
constexpr int kCounterLimit = 4096;

template <typename List>
auto FindHandle(List& list, uint16_t handle) {
  return std::find_if(list.begin(), list.end(), [&](const auto& t) { return t.Handle == handle; });
}

}  // namespace

// ---------------------------------------------------------------------------
// Handles

bool TApdBaseDispatcher::NumberInUse(uint16_t number) const {
  auto uses = [&](const auto& list) {
    return std::any_of(list.begin(), list.end(),
                       [&](const auto& t) { return (t.Handle & ~7) == number; });
  };
  return uses(TimerTriggers_) || uses(DataTriggers_) || uses(StatusTriggers_);
}

int TApdBaseDispatcher::NewTriggerHandle() {
  // Restored triggers keep their handles while the counter starts again, so
  // numbers still in use are passed over.
  while (TriggerCounter_ < kCounterLimit) {
    int number = (TriggerCounter_++) * 8;
    if (!NumberInUse(static_cast<uint16_t>(number))) return number;
  }
  for (int number = 8; number <= kCounterLimit; number += 8)
    if (!NumberInUse(static_cast<uint16_t>(number))) return number;
  return ecNoMoreTriggers;
}

// ---------------------------------------------------------------------------
// Adding

int TApdBaseDispatcher::ChangeLengthTrigger(uint16_t threshold) {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  AvailThreshold_ = threshold;
  LookAtTriggersSoon();  // bytes waiting may reach it now
  LogDispatch(9, 16, threshold, nullptr, 0);
  return 0;
}

uint16_t TApdBaseDispatcher::AvailThreshold() {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  return AvailThreshold_;
}

int TApdBaseDispatcher::AddDataTrigger(const char* text, bool ignoreCase) {
  return AddDataTriggerLen(text, ignoreCase, text ? static_cast<int>(std::strlen(text)) : 0);
}

int TApdBaseDispatcher::AddDataTriggerLen(const char* text, bool ignoreCase, int length) {
  if (length < 0) length = 0;
  if (length > MaxTriggerLen) return ecTriggerTooLong;
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  int handle = NewTriggerHandle();
  if (handle < 0) return handle;
  TDataTrigger t;
  t.Handle = static_cast<uint16_t>(handle);
  t.Length = static_cast<uint16_t>(length);
  t.IgnoreCase = ignoreCase;
  for (int i = 0; i < length; ++i) {
    auto c = static_cast<uint8_t>(text[i]);
    t.Text[i] = ignoreCase ? static_cast<uint8_t>(std::toupper(c)) : c;
  }
  DataTriggers_.push_back(t);
  LookAtTriggersSoon();  // bytes not yet scanned may match it
  LogDispatch(5, 13, handle, text, length);
  return handle;
}

int TApdBaseDispatcher::AddTimerTrigger() {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  int handle = NewTriggerHandle();
  if (handle < 0) return handle;
  TTimerTrigger t;
  t.Handle = static_cast<uint16_t>(handle);
  TimerTriggers_.push_back(t);
  LogDispatch(5, 14, handle, nullptr, 0);
  return handle;
}

int TApdBaseDispatcher::AddStatusTrigger(uint16_t statusType) {
  if (statusType > stOutSent) return ecBadArgument;
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  int handle = NewTriggerHandle();
  if (handle < 0) return handle;
  TStatusTrigger t;
  t.Handle = static_cast<uint16_t>(handle | statusType);
  t.Type = statusType;
  StatusTriggers_.push_back(t);
  uint8_t type = static_cast<uint8_t>(statusType);
  LogDispatch(5, 15, t.Handle, &type, 1);
  return t.Handle;
}

// ---------------------------------------------------------------------------
// Arming

int TApdBaseDispatcher::SetTimerTrigger(uint16_t handle, int32_t ticks, bool activate) {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  auto t = FindHandle(TimerTriggers_, handle);
  if (t == TimerTriggers_.end()) return ecBadTriggerHandle;
  if (activate) {
    if (ticks != 0) t->Ticks = ticks;
    NewTimer(t->Timer, t->Ticks);
  }
  t->Active = activate;
  if (activate) LookAtTriggersSoon();  // due before the thread means to wake, maybe
  if (activate)
    LogDispatch(9, 14, handle, &t->Ticks, 4);
  else
    LogDispatch(9, 14, handle, "Deactivated", 11);
  return 0;
}

int TApdBaseDispatcher::ExtendTimer(uint16_t handle, int32_t ticks) {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  auto t = FindHandle(TimerTriggers_, handle);
  if (t == TimerTriggers_.end()) return ecBadTriggerHandle;
  t->Timer.ExpireTicks += ticks;
  LookAtTriggersSoon();
  LogDispatch(9, 14, handle, &ticks, 4);
  return 0;
}

int TApdBaseDispatcher::TimerTicksRemaining(uint16_t handle, int32_t& ticksRemaining) {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  auto t = FindHandle(TimerTriggers_, handle);
  if (t == TimerTriggers_.end()) return ecBadTriggerHandle;
  ticksRemaining = RemainingTime(t->Timer);
  return 0;
}

int TApdBaseDispatcher::SetStatusTrigger(uint16_t handle, uint16_t value, bool activate) {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  auto t = FindHandle(StatusTriggers_, handle);
  if (t == StatusTriggers_.end()) return ecBadTriggerHandle;
  if (activate) {
    switch (t->Type) {
      case stModem: {
        uint8_t mask = static_cast<uint8_t>(value);
        uint8_t snapshot = mask & ReadModemStatus(0);
        t->Value = static_cast<uint16_t>((mask << 8) | snapshot);
        break;
      }
      case stLine:
        t->Value = static_cast<uint16_t>((value & 0x0F) << 1);
        break;
      default:
        t->Value = value;
        break;
    }
  }
  t->Enabled = activate;
  if (activate) LookAtTriggersSoon();  // it may hold already
  const uint32_t stored = t->Value;    // the log keeps it as four bytes
  LogDispatch(9, 15, handle, &stored, 4);
  return 0;
}

// ---------------------------------------------------------------------------
// Removing, saving, restoring

int TApdBaseDispatcher::RemoveTrigger(uint16_t handle) {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  if (handle == AvailTriggerHandle) {
    AvailThreshold_ = 0;
    return 0;
  }
  if (handle == 0) return ecBadTriggerHandle;
  if (auto t = FindHandle(TimerTriggers_, handle); t != TimerTriggers_.end()) {
    TimerTriggers_.erase(t);
    LogDispatch(6, 6, handle, nullptr, 0);
    return 0;
  }
  if (auto t = FindHandle(StatusTriggers_, handle); t != StatusTriggers_.end()) {
    uint8_t type = static_cast<uint8_t>(t->Type);
    StatusTriggers_.erase(t);
    LogDispatch(6, 15, handle, &type, 1);
    return 0;
  }
  if (auto t = FindHandle(DataTriggers_, handle); t != DataTriggers_.end()) {
    DataTriggers_.erase(t);
    LogDispatch(6, 7, handle, nullptr, 0);
    return 0;
  }
  return ecBadTriggerHandle;
}

void TApdBaseDispatcher::RemoveAllTriggers() {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  AvailThreshold_ = 0;
  TimerTriggers_.clear();
  DataTriggers_.clear();
  StatusTriggers_.clear();
  TriggerCounter_ = 1;
}

void TApdBaseDispatcher::SaveTriggers(TTriggerSave& save) {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  save.AvailThreshold = AvailThreshold_;
  save.Timers = TimerTriggers_;
  save.Datas = DataTriggers_;
  save.Statuses = StatusTriggers_;
}

void TApdBaseDispatcher::RestoreTriggers(const TTriggerSave& save) {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  AvailThreshold_ = save.AvailThreshold;
  TimerTriggers_ = save.Timers;
  DataTriggers_ = save.Datas;
  StatusTriggers_ = save.Statuses;
  // A record saved during its own delivery carries that checking loop's
  // hit flag, which nothing would clear any more.
  for (auto& t : StatusTriggers_) t.Hit = false;
  LookAtTriggersSoon();
}

void TApdBaseDispatcher::ResetDataTriggerMatches() {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  for (auto& t : DataTriggers_) {
    std::fill(std::begin(t.Counters), std::end(t.Counters), 0);
    t.Hit = false;
  }
}

// ---------------------------------------------------------------------------
// Handlers

void TApdBaseDispatcher::RegisterWndTriggerHandler(TApdWindowHandler* window) {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  WndHandlers_.push_back({window, false});
  HandlerService_ = true;
  LogDispatch(7, 17, 0, nullptr, 0);
}

void TApdBaseDispatcher::RegisterProcTriggerHandler(TApdNotifyProc proc) {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  ProcHandlers_.push_back({proc, false});
  HandlerService_ = true;
  LogDispatch(7, 18, 0, nullptr, 0);
}

void TApdBaseDispatcher::RegisterEventTriggerHandler(const void* owner, TApdNotifyEvent event) {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  EventHandlers_.push_back({owner, std::move(event), false, false});
  HandlerService_ = true;
  LogDispatch(7, 19, 0, nullptr, 0);
}

void TApdBaseDispatcher::RegisterSyncEventTriggerHandler(const void* owner, TApdNotifyEvent event) {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  EventHandlers_.push_back({owner, std::move(event), true, false});
  HandlerService_ = true;
  LogDispatch(7, 19, 1, nullptr, 0);
}

namespace {

// Removes the first live entry matching `match`; during a delivery it is
// only marked, and purged when the delivery ends.
template <typename List, typename Match>
bool RemoveHandler(List& list, bool delivering, bool& toPurge, Match match) {
  auto e = std::find_if(list.begin(), list.end(),
                        [&](const auto& entry) { return !entry.Deleted && match(entry); });
  if (e == list.end()) return false;
  if (delivering) {
    e->Deleted = true;
    toPurge = true;
  } else {
    list.erase(e);
  }
  return true;
}

}  // namespace

void TApdBaseDispatcher::DeregisterWndTriggerHandler(TApdWindowHandler* window) {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  if (RemoveHandler(WndHandlers_, Delivering_.load(), HandlersToPurge_,
                    [&](const TWndHandlerEntry& e) { return e.Window == window; }))
    LogDispatch(8, 17, 0, nullptr, 0);
  UpdateHandlerFlags(fuKeepPort);
}

void TApdBaseDispatcher::DeregisterProcTriggerHandler(TApdNotifyProc proc) {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  if (RemoveHandler(ProcHandlers_, Delivering_.load(), HandlersToPurge_,
                    [&](const TProcHandlerEntry& e) { return e.Proc == proc; }))
    LogDispatch(8, 18, 0, nullptr, 0);
  UpdateHandlerFlags(fuKeepPort);
}

void TApdBaseDispatcher::DeregisterEventTriggerHandler(const void* owner) {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  if (RemoveHandler(EventHandlers_, Delivering_.load(), HandlersToPurge_,
                    [&](const TEventHandlerEntry& e) { return e.Owner == owner; }))
    LogDispatch(8, 19, 0, nullptr, 0);
  UpdateHandlerFlags(fuKeepPort);
}

void TApdBaseDispatcher::PurgeHandlers() {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  auto purge = [](auto& list) {
    list.erase(std::remove_if(list.begin(), list.end(), [](const auto& e) { return e.Deleted; }),
               list.end());
  };
  purge(WndHandlers_);
  purge(ProcHandlers_);
  purge(EventHandlers_);
  HandlersToPurge_ = false;
  UpdateHandlerFlags(fuKeepPort);
}

void TApdBaseDispatcher::UpdateHandlerFlags(int kind) {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  auto live = [](const auto& list) {
    return std::count_if(list.begin(), list.end(), [](const auto& e) { return !e.Deleted; });
  };
  bool others = live(WndHandlers_) > 1 || live(ProcHandlers_) > 0 || live(EventHandlers_) > 0;
  switch (kind) {
    case fuEnablePort:
      ComponentHandler_ = true;
      HandlerService_ = true;
      break;
    case fuDisablePort:
      ComponentHandler_ = false;
      HandlerService_ = others;
      break;
    default:
      HandlerService_ = others || ComponentHandler_;
      break;
  }
}

}  // namespace kestrel
