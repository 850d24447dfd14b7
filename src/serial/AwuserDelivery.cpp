// Evaluating triggers on the dispatch thread and delivering trigger messages
// to the registered handlers.

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <exception>
#include <utility>
#include <vector>

#include "serial/Awuser.h"

namespace kestrel {

namespace {

constexpr int kBufSize = TApdBaseDispatcher::DispatchBufferSize;

// A handler that throws must not take the dispatch thread down with it:
// report and go on with the next handler.
template <typename Call>
void CallHandler(Call call) {
  try {
    call();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kestrel: trigger handler: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "kestrel: trigger handler: unknown exception\n");
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Delivery

bool TApdBaseDispatcher::SendNotify(uint32_t msg, uint32_t wParam, uint16_t param) {
  if (!HandlerService_.load()) return true;
  {
    std::lock_guard<std::recursive_mutex> lock(MainLock_);
    Delivering_ = true;
  }
  const bool reading = msg == apw_TriggerAvail || msg == apw_TriggerData;
  {
    std::lock_guard<std::recursive_mutex> lock(InputLock_);
    BeginDeliveryLocked(reading);
  }
  const uint32_t lParam = (static_cast<uint32_t>(Handle_) << 16) | param;
  bool aborted = false;

  auto before = [this] {
    std::lock_guard<std::recursive_mutex> lock(InputLock_);
    BeginHandlerCallLocked();
  };
  // False when a close was requested meanwhile: the delivery stops there.
  auto after = [this, &aborted] {
    {
      std::lock_guard<std::recursive_mutex> lock(InputLock_);
      EndHandlerCallLocked();
    }
    if (ClosePending_.load()) {
      aborted = true;
      return false;
    }
    return true;
  };

  // Event handlers. Entries are only marked while a delivery runs, so the
  // indices stay valid; each entry is copied out before the call so that
  // the handler may register or deregister freely.
  for (size_t i = 0; !aborted; ++i) {
    TApdNotifyEvent event;
    bool sync;
    {
      std::lock_guard<std::recursive_mutex> lock(MainLock_);
      if (i >= EventHandlers_.size()) break;
      if (EventHandlers_[i].Deleted) continue;
      event = EventHandlers_[i].Event;
      sync = EventHandlers_[i].Sync;
    }
    before();
    const TApdSynchronizeHook& hook = SynchronizeHook_;
    auto call = [&] {
      TApdHandlerScope scope(*this);
      event(msg, wParam, lParam);
    };
    CallHandler([&] {
      if (sync && hook)
        hook(call);
      else
        call();
    });
    if (!after()) break;
  }

  for (size_t i = 0; !aborted; ++i) {
    TApdNotifyProc proc;
    {
      std::lock_guard<std::recursive_mutex> lock(MainLock_);
      if (i >= ProcHandlers_.size()) break;
      if (ProcHandlers_[i].Deleted) continue;
      proc = ProcHandlers_[i].Proc;
    }
    before();
    CallHandler([&] {
      TApdHandlerScope scope(*this);
      proc(msg, wParam, lParam);
    });
    if (!after()) break;
  }

  // The component's own window is always the first window handler; alone
  // it counts only when the component wants events.
  bool windows;
  {
    std::lock_guard<std::recursive_mutex> lock(MainLock_);
    auto live = std::count_if(WndHandlers_.begin(), WndHandlers_.end(),
                              [](const TWndHandlerEntry& e) { return !e.Deleted; });
    windows = live > 1 || ComponentHandler_;
  }
  for (size_t i = 0; windows && !aborted; ++i) {
    TApdWindowHandler* window;
    {
      std::lock_guard<std::recursive_mutex> lock(MainLock_);
      if (i >= WndHandlers_.size()) break;
      if (WndHandlers_[i].Deleted) continue;
      window = WndHandlers_[i].Window;
    }
    before();
    CallHandler([&] { window->DeliverTriggerMessage(msg, wParam, lParam); });
    if (!after()) break;
  }

  bool result = !aborted;
  {
    std::lock_guard<std::recursive_mutex> lock(InputLock_);
    const bool offered = InAvailDelivery_;
    const uint64_t read = EndDeliveryLocked(!aborted);
    if (offered && !aborted && msg == apw_TriggerAvail && read != wParam) result = false;
  }
  {
    // Only the delivery's own flag: a suspension made meanwhile stays.
    std::lock_guard<std::recursive_mutex> lock(MainLock_);
    Delivering_ = false;
    if (HandlersToPurge_) PurgeHandlers();
  }
  return result;
}

// ---------------------------------------------------------------------------
// Data triggers

// Feeds one byte to a trigger's counters; true when the trigger matched.
// Every counter follows one candidate start, so overlapping partial matches
// are all tracked (aab is found in aaab). At most one new candidate starts
// per byte, and the byte that completes a match may start the next one.
bool MatchDataTrigger(TDataTrigger& t, uint8_t byte) {
  if (t.IgnoreCase) byte = static_cast<uint8_t>(std::toupper(byte));
  const int n = t.Length;
  const uint8_t first = t.Text[0];
  bool matched = false;
  bool oneBefore = false;  // an earlier counter holds 1 after this byte
  for (int k = 0; k < n; ++k) {
    int32_t& c = t.Counters[k];
    if (k != 0 && c == 0 && (oneBefore || byte != first)) continue;
    if (t.Text[c] == byte) {
      ++c;
      if (c == n) {
        matched = true;
        std::fill(t.Counters, t.Counters + n, 0);
        oneBefore = false;
        continue;
      }
    } else {
      c = byte == first ? 1 : 0;
    }
    if (c == 1) oneBefore = true;
  }
  return matched;
}

bool TApdBaseDispatcher::CheckReceiveTriggers() {
  uint64_t matchSerial = 0;
  bool matched = false;
  int availCount = -1;
  {
    std::scoped_lock lock(InputLock_, MainLock_);
    if (!DBuffer_) return false;
    const int used = UsedLocked();
    const uint64_t tailSerial = HeadSerial_ - used;
    // Bytes already taken are never scanned again, and a partial match
    // must not be completed across them.
    if (ScanSerial_ < tailSerial) {
      ScanSerial_ = tailSerial;
      ResetDataTriggerMatches();
    }
    int longest = 0;
    for (; ScanSerial_ < HeadSerial_ && !matched; ++ScanSerial_) {
      uint8_t byte = DBuffer_[ScanSerial_ % kBufSize];
      for (auto& t : DataTriggers_) {
        if (t.Length == 0) continue;
        t.Hit = t.Hit || MatchDataTrigger(t, byte);
        if (t.Hit) {
          matched = true;
          longest = std::max<int>(longest, t.Length);
        }
      }
      if (matched) matchSerial = ScanSerial_;
    }
    if (matched) {
      ScanSerial_ = matchSerial;
      if (AvailThreshold_ != 0 && LastAvailSerial_ != matchSerial) {
        int offset = static_cast<int>(matchSerial - tailSerial);
        int before = std::max(0, offset - (longest - 1));
        if (before >= AvailThreshold_) {
          availCount = before;
          LastAvailSerial_ = matchSerial;
        }
      }
    } else {
      ScanSerial_ = HeadSerial_;
      if (AvailThreshold_ != 0 && LastAvailSerial_ != HeadSerial_ && used >= AvailThreshold_) {
        availCount = used;
        LastAvailSerial_ = HeadSerial_;
      }
    }
  }

  bool result = true;
  if (availCount >= 0) {
    LogDispatch(2, 5, availCount, nullptr, 0);
    result = SendNotify(apw_TriggerAvail, static_cast<uint32_t>(availCount), 0);
  }
  if (!matched) return availCount >= 0 && result;
  if (ClosePending_.load()) return false;

  std::vector<std::pair<uint16_t, uint16_t>> hits;  // handle, length; last added first
  {
    std::lock_guard<std::recursive_mutex> lock(MainLock_);
    for (auto t = DataTriggers_.rbegin(); t != DataTriggers_.rend(); ++t) {
      if (!t->Hit) continue;
      t->Hit = false;
      hits.emplace_back(t->Handle, t->Length);
    }
  }
  for (auto [handle, length] : hits) {
    LogDispatch(2, 7, handle, nullptr, 0);
    result = SendNotify(apw_TriggerData, handle, length);
    if (ClosePending_.load()) return false;
  }
  {
    std::lock_guard<std::recursive_mutex> lock(InputLock_);
    ScanSerial_ = matchSerial + 1;
  }
  return result;
}

void TApdBaseDispatcher::ReceiveTriggerLoop() {
  while (!ClosePending_.load() && !EventBusy() && CheckReceiveTriggers()) {
  }
}

// ---------------------------------------------------------------------------
// Status and timer triggers

bool TApdBaseDispatcher::StatusMetLocked(TStatusTrigger& t, uint16_t& param, bool take) {
  switch (t.Type) {
    case stModem:
      return ((t.Value & 0xFF) ^ ModemStatus_) & (t.Value >> 8);
    case stLine: {
      const uint32_t errors = ErrorFlags_.load();
      if (!(t.Value & errors)) return false;
      if (take) t.Value = static_cast<uint16_t>(errors);
      return true;
    }
    case stOutBuffFree: {
      const int free = OutBuffFree();
      param = static_cast<uint16_t>(free);
      return free >= t.Value;
    }
    case stOutBuffUsed: {
      const int used = OutBuffUsed();
      param = static_cast<uint16_t>(used);
      return used <= t.Value;
    }
    case stOutSent: {
      std::lock_guard<std::recursive_mutex> out(OutputLock_);
      const bool written = OutputWritten_;
      if (take) OutputWritten_ = false;
      return written;
    }
    default:
      return false;
  }
}

bool TApdBaseDispatcher::CheckStatusTriggers() {
  uint16_t handle = 0;
  uint16_t param = 0;
  {
    std::lock_guard<std::recursive_mutex> lock(MainLock_);
    for (auto& t : StatusTriggers_) {
      if (!t.Enabled || t.Hit) continue;
      uint16_t count = 0;
      if (!StatusMetLocked(t, count, true)) continue;
      param = count;
      t.Enabled = false;
      t.Hit = true;
      StatusHit_ = true;
      handle = t.Handle;
      break;
    }
  }
  if (handle == 0) return false;
  LogDispatch(2, 8, handle, nullptr, 0);
  return SendNotify(apw_TriggerStatus, handle, param);
}

void TApdBaseDispatcher::ClearStatusHits() {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  if (!StatusHit_) return;
  for (auto& t : StatusTriggers_) t.Hit = false;
  StatusHit_ = false;
}

void TApdBaseDispatcher::StatusTriggerLoop() {
  while (!ClosePending_.load() && !EventBusy() && CheckStatusTriggers()) {
  }
  ClearStatusHits();
}

namespace {

// Milliseconds until TimerExpired(timer) holds. Never late: the clock is read
// before the timer, so a tick passing in between makes the answer early; and
// never past the wrap of the tick count, after which the ticks start anew.
int64_t MsUntilDue(const EventTimer& timer) {
  const int64_t ms = AdTimeGetTime() & 0x7FFFFFFFu;
  if (TimerExpired(timer)) return 0;
  const int64_t due = (ms / TickMs + RemainingTime(timer) + 1) * TickMs;
  return std::max<int64_t>(std::min<int64_t>(due, int64_t{1} << 31) - ms, 0);
}

}  // namespace

int TApdBaseDispatcher::DispatchWaitMs() {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  int64_t wait = -1;
  for (auto& t : StatusTriggers_) {
    if (!t.Enabled) continue;
    uint16_t count = 0;
    // Output levels move without a device event; a condition that holds
    // already (its handler armed it again) fires once a cycle, as ever.
    const bool levels = t.Type == stOutBuffFree || t.Type == stOutBuffUsed;
    if (levels || StatusMetLocked(t, count, false)) {
      wait = kPollCycleMs;
      break;
    }
  }
  // A suspension holds timers back; its end wakes the thread.
  if (!Suspended_.load()) {
    for (const auto& t : TimerTriggers_) {
      if (!t.Active) continue;
      const int64_t due = MsUntilDue(t.Timer);
      if (wait < 0 || due < wait) wait = due;
    }
  }
  return static_cast<int>(wait);
}

void TApdBaseDispatcher::LookAtTriggersSoon() {
  ComEvent_.LookBy(TApdDispatchAlarm::Clock::now() + std::chrono::milliseconds(kPollCycleMs));
}

bool TApdBaseDispatcher::CheckTimerTriggers() {
  uint16_t handle = 0;
  {
    std::lock_guard<std::recursive_mutex> lock(MainLock_);
    for (auto& t : TimerTriggers_) {
      if (t.Active && TimerExpired(t.Timer)) {
        t.Active = false;
        handle = t.Handle;
        break;
      }
    }
  }
  if (handle == 0) return false;
  LogDispatch(2, 6, handle, nullptr, 0);
  return SendNotify(apw_TriggerTimer, handle, 0);
}

}  // namespace kestrel
