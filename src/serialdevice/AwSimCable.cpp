#include "serialdevice/AwSimCable.h"

#include <poll.h>

#include <algorithm>

#include "messages/AdErrorCodes.h"

namespace kestrel {

namespace {

// Waiting writers and readers wake about once a millisecond at most, each
// time taking the bytes that crossed meanwhile.
constexpr std::chrono::nanoseconds kWakeBatch = std::chrono::milliseconds(1);

// Moves bytes from the lane's transmitter across the wire while `blocked`
// allows, at most as fast as the wire when `byteTime` is not zero.
template <class Blocked, class Deliver>
bool Cross(TSimLane& lane, TSimClock::time_point now, std::chrono::nanoseconds byteTime,
           Blocked blocked, Deliver deliver) {
  bool moved = false;
  for (;;) {
    if (lane.sending.empty() || blocked()) {
      lane.onWire = false;
      return moved;
    }
    if (byteTime.count() > 0) {
      if (!lane.onWire) {
        lane.onWire = true;
        lane.headDone = now + byteTime;
      }
      if (lane.headDone > now) return moved;
      lane.headDone += byteTime;  // the next byte follows without a gap
    }
    const uint8_t byte = lane.sending.front();
    lane.sending.pop_front();
    deliver(byte);
    moved = true;
  }
}

int CeilMilliseconds(std::chrono::nanoseconds d) {
  if (d.count() <= 0) return 0;
  return static_cast<int>((d.count() + 999'999) / 1'000'000);
}

}  // namespace

TApdSimCable::TApdSimCable(bool pace, uint8_t farLines, size_t farReceiveSize,
                           size_t farTransmitFifo, int64_t unplugAfter)
    : farTransmitFifo_(std::max<size_t>(farTransmitFifo, 1)),
      pace_(pace),
      unplugAfter_(unplugAfter),
      farLines_(farLines) {
  toFar_.recvCap = std::max<size_t>(farReceiveSize, 1);
  toPort_.recvCap = kSimDefaultQueue;
  SetByteTime();
}

void TApdSimCable::SetByteTime() {
  byteTime_ = CharacterTime(settings_);
}

void TApdSimCable::Changed() {
  ++changes_;
  changed_.notify_all();
  if (txWaiting_) txWake_.Signal();
}

bool TApdSimCable::PortTxHeld() const {
  const uint32_t f = settings_.Flags;
  return ((f & dcb_OutxCtsFlow) && !(farLines_ & ms_CtsOn)) ||
         ((f & dcb_OutxDsrFlow) && !(farLines_ & ms_DsrOn)) || ((f & dcb_OutX) && xoffReceived_) ||
         break_;
}

size_t TApdSimCable::PortWriteRoom() const {
  // Held output stops at the transmitter FIFO, as on a UART.
  const size_t cap = PortTxHeld() ? kSimTxFifo : txSize_;
  return toFar_.sending.size() >= cap ? 0 : cap - toFar_.sending.size();
}

void TApdSimCable::Advance(TSimClock::time_point now) {
  const auto byteTime = pace_ ? byteTime_ : std::chrono::nanoseconds(0);
  const bool crossed = Cross(
      toFar_, now, byteTime,
      [&] { return PortTxHeld() || (farAttached_ && toFar_.arrived.size() >= toFar_.recvCap); },
      [&](uint8_t byte) {
        if (!farAttached_) return;  // the cable leads nowhere
        toFar_.arrived.push_back(byte);
        ++toFar_.arrivedTotal;
      });
  bool moved = false;
  if (txEmptyDue_ && toFar_.sending.empty()) {
    // The last byte's stop bit has just left: the transmitter is empty.
    txEmptyDue_ = false;
    events_ |= ev_TxEmpty;
    moved = true;
  }
  moved |= Cross(
      toPort_, now, byteTime,
      [&] {
        return (followPortRts_ && !rts_) ||
               (openedBy_ && !unplugged_ && toPort_.arrived.size() >= toPort_.recvCap);
      },
      [&](uint8_t byte) {
        // A closed or unplugged port hears nothing.
        if (openedBy_ && !unplugged_) DeliverToPort(byte);
      });
  if (moved || (crossed && !pace_)) {
    Changed();
  } else if (crossed) {
    // Paced bytes towards the far end are counted but not announced: every
    // wait for them sleeps until the next batch has crossed, and waking the
    // waiters for each byte of a fast stream would only have the threads
    // take turns at the lock.
    ++changes_;
  }
}

void TApdSimCable::DeliverToPort(uint8_t byte) {
  if (settings_.Flags & dcb_OutX) {
    if (byte == settings_.XoffChar) {
      xoffReceived_ = true;
      return;
    }
    if (byte == settings_.XonChar) {
      xoffReceived_ = false;
      return;
    }
  }
  toPort_.arrived.push_back(byte);
  ++toPort_.arrivedTotal;
  UpdateHandshake();
}

void TApdSimCable::UpdateHandshake() {
  if (!openedBy_) return;
  // Stop the far end when fewer than XoffLim bytes are free; release it
  // when the queue has fallen to XonLim.
  const long used = static_cast<long>(toPort_.arrived.size());
  const long stopAbove = static_cast<long>(toPort_.recvCap) - settings_.XoffLim;
  const long resumeAt = settings_.XonLim;
  auto handshake = [&](bool& line) {
    if (line && used > stopAbove) {
      line = false;
    } else if (!line && used <= resumeAt) {
      line = true;
    }
  };
  if ((settings_.Flags & dcb_RtsMask) == dcb_RtsHandshake) handshake(rts_);
  if ((settings_.Flags & dcb_DtrMask) == dcb_DtrHandshake) handshake(dtr_);
  if (settings_.Flags & dcb_InX) {
    if (!xoffSent_ && used > stopAbove) {
      SendControl(settings_.XoffChar);
      xoffSent_ = true;
    } else if (xoffSent_ && used <= resumeAt) {
      SendControl(settings_.XonChar);
      xoffSent_ = false;
    }
  }
}

void TApdSimCable::SendControl(uint8_t byte) {
  // Ahead of queued data, behind a byte already on the wire.
  auto at = toFar_.sending.begin();
  if (toFar_.onWire && at != toFar_.sending.end()) ++at;
  toFar_.sending.insert(at, byte);
}

std::optional<TSimClock::time_point> TApdSimCable::NextCrossing(const TSimLane& lane) const {
  if (!pace_ || !lane.onWire || lane.sending.empty()) return std::nullopt;
  const auto batch =
      std::max<int64_t>(1, kWakeBatch / std::max(byteTime_, std::chrono::nanoseconds(1)));
  const auto count = std::min<int64_t>(static_cast<int64_t>(lane.sending.size()), batch);
  return lane.headDone + byteTime_ * (count - 1);
}

std::optional<TSimClock::time_point> TApdSimCable::TxDrained() const {
  if (!txEmptyDue_ || !pace_ || !toFar_.onWire || toFar_.sending.empty()) return std::nullopt;
  return toFar_.headDone + byteTime_ * static_cast<int64_t>(toFar_.sending.size() - 1);
}

void TApdSimCable::Unplug() {
  Advance(TSimClock::now());  // what has crossed already arrives
  unplugged_ = true;
  toFar_.sending.clear();  // the rest dies with the adapter
  toFar_.onWire = false;
  txEmptyDue_ = false;
  toPort_.arrived.clear();
  Changed();
}

bool TApdSimCable::PortUsable(const void* owner, int& result) const {
  result = ecOK;
  if (openedBy_ != owner)
    result = ecCommNotOpen;
  else if (unplugged_)
    result = ecFileNotFound;  // as a vanished device reports itself
  return result == ecOK;
}

// ---- port side ----

int TApdSimCable::PortOpen(const void* owner) {
  Lock lock(lock_);
  if (openedBy_) return ecAccessDenied;
  openedBy_ = owner;
  dtr_ = rts_ = true;  // raised at open, as a tty does
  break_ = xoffReceived_ = xoffSent_ = false;
  errors_ = events_ = 0;
  txEmptyDue_ = false;
  unplugged_ = false;
  portWritten_ = 0;
  toPort_.arrived.clear();
  reportedArrivals_ = toPort_.arrivedTotal;
  UpdateHandshake();
  Advance(TSimClock::now());
  Changed();
  return ecOK;
}

void TApdSimCable::PortClose(const void* owner) {
  Lock lock(lock_);
  if (openedBy_ != owner) return;
  openedBy_ = nullptr;
  dtr_ = rts_ = break_ = false;
  xoffReceived_ = xoffSent_ = false;
  // What the port had not yet sent, and what it had not read, is gone.
  toPort_.arrived.clear();
  toFar_.sending.clear();
  toFar_.onWire = false;
  txEmptyDue_ = false;
  Changed();
}

bool TApdSimCable::PortIsOpenBy(const void* owner) {
  Lock lock(lock_);
  return openedBy_ == owner;
}

int TApdSimCable::PortSetQueueSizes(const void* owner, int inSize, int outSize) {
  if (inSize <= 0 || outSize <= 0) return ecInvalidParameter;
  Lock lock(lock_);
  if (openedBy_ != owner) return ecCommNotOpen;
  toPort_.recvCap = static_cast<size_t>(inSize);
  txSize_ = static_cast<size_t>(outSize);
  UpdateHandshake();
  Advance(TSimClock::now());
  Changed();
  return ecOK;
}

int TApdSimCable::PortReceiveQueueSize() {
  Lock lock(lock_);
  return static_cast<int>(toPort_.recvCap);
}

int TApdSimCable::PortGetState(const void* owner, TDeviceSettings& settings) {
  Lock lock(lock_);
  if (int rc; !PortUsable(owner, rc)) return rc;
  settings = settings_;
  return ecOK;
}

int TApdSimCable::PortSetState(const void* owner, const TDeviceSettings& settings) {
  Lock lock(lock_);
  if (int rc; !PortUsable(owner, rc)) return rc;
  const auto now = TSimClock::now();
  Advance(now);  // bytes already sent crossed at the old speed
  settings_ = settings;
  settings_.Flags |= dcb_Binary;
  SetByteTime();
  const uint32_t dtr = settings_.Flags & dcb_DtrMask, rts = settings_.Flags & dcb_RtsMask;
  if (dtr != dcb_DtrHandshake) dtr_ = dtr == dcb_DtrEnable;
  if (rts == dcb_RtsEnable || rts == dcb_RtsDisable) rts_ = rts == dcb_RtsEnable;
  if (!(settings_.Flags & dcb_OutX)) xoffReceived_ = false;
  UpdateHandshake();
  Advance(now);
  Changed();
  return ecOK;
}

int TApdSimCable::PortRead(const void* owner, uint8_t* buffer, int n) {
  Lock lock(lock_);
  if (int rc; !PortUsable(owner, rc) || n <= 0) return 0;
  const auto now = TSimClock::now();
  Advance(now);
  auto& queue = toPort_.arrived;
  const size_t k = std::min(static_cast<size_t>(n), queue.size());
  if (k == 0) return 0;
  std::copy_n(queue.begin(), k, buffer);
  queue.erase(queue.begin(), queue.begin() + static_cast<std::ptrdiff_t>(k));
  UpdateHandshake();
  Advance(now);  // room in the queue lets the far end's transmitter go on
  Changed();
  return static_cast<int>(k);
}

int TApdSimCable::PortWrite(const void* owner, const uint8_t* data, int n) {
  Lock lock(lock_);
  if (int rc; !PortUsable(owner, rc)) return rc;
  const auto now = TSimClock::now();
  Advance(now);
  int limit = n;
  if (unplugAfter_ >= 0) {
    const uint64_t left =
        static_cast<uint64_t>(unplugAfter_) - std::min<uint64_t>(portWritten_, unplugAfter_);
    limit = static_cast<int>(std::min<uint64_t>(left, static_cast<uint64_t>(n)));
  }
  int taken = 0;
  while (taken < limit) {
    const size_t room = std::min(PortWriteRoom(), static_cast<size_t>(limit - taken));
    if (room == 0) break;
    toFar_.sending.insert(toFar_.sending.end(), data + taken, data + taken + room);
    taken += static_cast<int>(room);
    txEmptyDue_ = true;
    Advance(now);
  }
  portWritten_ += static_cast<uint64_t>(taken);
  if (taken > 0) Changed();
  if (unplugAfter_ >= 0 && portWritten_ >= static_cast<uint64_t>(unplugAfter_)) {
    Unplug();
    if (taken == 0) return ecFileNotFound;
  }
  return taken;
}

int TApdSimCable::PortWaitWritable(const void* owner, int cancelFd) {
  for (;;) {
    int timeoutMs = -1;
    {
      Lock lock(lock_);
      txWaiting_ = false;
      if (int rc; !PortUsable(owner, rc)) return kDeviceClosed;
      const auto now = TSimClock::now();
      Advance(now);
      if (PortWriteRoom() > 0) return kWaitReady;
      if (auto next = NextCrossing(toFar_)) timeoutMs = CeilMilliseconds(*next - now);
      txWaiting_ = true;
    }
    struct pollfd fds[2] = {{txWake_.get(), POLLIN, 0}, {cancelFd, POLLIN, 0}};
    const int rc = ::poll(fds, cancelFd >= 0 ? 2 : 1, timeoutMs);
    if (rc < 0 && errno != EINTR) return kDeviceClosed;
    if (cancelFd >= 0 && fds[1].revents) {
      Lock lock(lock_);
      txWaiting_ = false;
      return kWaitCancelled;
    }
    if (fds[0].revents) txWake_.Drain();
  }
}

int TApdSimCable::PortWaitEvent(const void* owner, uint32_t mask, uint32_t& happened) {
  happened = 0;
  Lock lock(lock_);
  if (mask == 0) return ecInvalidParameter;
  for (;;) {
    if (int rc; !PortUsable(owner, rc)) return kDeviceClosed;
    Advance(TSimClock::now());
    uint32_t events = events_ & mask;
    if ((mask & ev_RxChar) && toPort_.arrivedTotal > reportedArrivals_) {
      reportedArrivals_ = toPort_.arrivedTotal;
      events |= ev_RxChar;
    }
    if (events) {
      events_ = 0;  // like a new event mask: what was not asked for is forgotten
      happened = events;
      return kWaitReady;
    }
    auto next = NextCrossing(toPort_);
    if (auto drained = (mask & ev_TxEmpty) ? TxDrained() : std::nullopt) {
      next = next ? std::min(*next, *drained) : *drained;
    }
    if (next) {
      changed_.wait_until(lock, *next);
    } else {
      changed_.wait(lock);
    }
  }
}

uint32_t TApdSimCable::PortGetError(const void* owner, TDeviceStatus& status) {
  Lock lock(lock_);
  status = TDeviceStatus{};
  if (int rc; !PortUsable(owner, rc)) return 0;
  Advance(TSimClock::now());
  const uint32_t f = settings_.Flags;
  if ((f & dcb_OutxCtsFlow) && !(farLines_ & ms_CtsOn)) status.HoldFlags |= hold_Cts;
  if ((f & dcb_OutxDsrFlow) && !(farLines_ & ms_DsrOn)) status.HoldFlags |= hold_Dsr;
  if ((f & dcb_OutX) && xoffReceived_) status.HoldFlags |= hold_XoffReceived;
  if (xoffSent_) status.HoldFlags |= hold_XoffSent;
  status.InQue = static_cast<uint32_t>(toPort_.arrived.size());
  status.OutQue = static_cast<uint32_t>(toFar_.sending.size());
  const uint32_t errors = errors_;
  errors_ = 0;
  return errors;
}

int TApdSimCable::PortModemLines(const void* owner, uint8_t& levels) {
  Lock lock(lock_);
  levels = 0;
  if (int rc; !PortUsable(owner, rc)) return rc;
  levels = farLines_;
  return ecOK;
}

int TApdSimCable::PortEscape(const void* owner, int function) {
  Lock lock(lock_);
  if (int rc; !PortUsable(owner, rc)) return rc;
  switch (function) {
    case SETRTS:
    case CLRRTS:
      rts_ = function == SETRTS;
      break;
    case SETDTR:
    case CLRDTR:
      dtr_ = function == SETDTR;
      break;
    case SETBREAK:
    case CLRBREAK:
      break_ = function == SETBREAK;
      break;
    case GETBASEADDRESS:
      return 0;
    default:
      return ecInvalidParameter;
  }
  Advance(TSimClock::now());
  Changed();
  return ecOK;
}

int TApdSimCable::PortPurge(const void* owner, uint32_t flags) {
  Lock lock(lock_);
  if (int rc; !PortUsable(owner, rc)) return rc;
  Advance(TSimClock::now());
  // A purge of queues that are empty changes nothing anyone waits for, and
  // an upload purges after every block: waking the threads on the cable
  // for it would only have them compete with the next block.
  bool dropped = false;
  if (flags & (PURGE_RXABORT | PURGE_RXCLEAR)) {
    dropped |= !toPort_.arrived.empty() || reportedArrivals_ != toPort_.arrivedTotal;
    toPort_.arrived.clear();
    reportedArrivals_ = toPort_.arrivedTotal;
    UpdateHandshake();
  }
  if (flags & (PURGE_TXABORT | PURGE_TXCLEAR)) {
    dropped |= !toFar_.sending.empty() || txEmptyDue_;
    toFar_.sending.clear();
    toFar_.onWire = false;
    txEmptyDue_ = false;
  }
  Advance(TSimClock::now());
  if (dropped) Changed();
  return ecOK;
}

// ---- far end ----

int TApdSimCable::FarRead(uint8_t* buffer, int n, std::optional<TSimClock::time_point> deadline) {
  Lock lock(lock_);
  if (n <= 0) return 0;
  for (;;) {
    const auto now = TSimClock::now();
    Advance(now);
    auto& queue = toFar_.arrived;
    const size_t k = std::min(static_cast<size_t>(n), queue.size());
    if (k > 0) {
      // Only a full queue, which held up the wire, makes a read news for
      // anyone else; telling every read would wake the port's threads for
      // each few bytes of a fast paced stream.
      const bool wasFull = queue.size() >= toFar_.recvCap;
      std::copy_n(queue.begin(), k, buffer);
      queue.erase(queue.begin(), queue.begin() + static_cast<std::ptrdiff_t>(k));
      Advance(now);
      if (wasFull) Changed();
      return static_cast<int>(k);
    }
    if (!deadline || now >= *deadline) return 0;
    auto until = *deadline;
    if (auto next = NextCrossing(toFar_)) until = std::min(until, *next);
    changed_.wait_until(lock, until);
  }
}

size_t TApdSimCable::FarAvailable() {
  Lock lock(lock_);
  Advance(TSimClock::now());
  return toFar_.arrived.size();
}

int TApdSimCable::FarSend(const uint8_t* data, int n,
                          std::optional<TSimClock::time_point> deadline) {
  Lock lock(lock_);
  int taken = 0;
  for (;;) {
    const auto now = TSimClock::now();
    Advance(now);
    bool pushed = false;
    while (taken < n) {
      const size_t used = toPort_.sending.size();
      const size_t room = used >= farTransmitFifo_ ? 0 : farTransmitFifo_ - used;
      const size_t k = std::min(room, static_cast<size_t>(n - taken));
      if (k == 0) break;
      toPort_.sending.insert(toPort_.sending.end(), data + taken, data + taken + k);
      taken += static_cast<int>(k);
      pushed = true;
      Advance(now);
    }
    if (pushed) Changed();
    if (taken >= n || !deadline || now >= *deadline) return taken;
    auto until = *deadline;
    if (auto next = NextCrossing(toPort_)) until = std::min(until, *next);
    changed_.wait_until(lock, until);
  }
}

void TApdSimCable::SetFarLines(uint8_t levels) {
  const uint8_t changed = levels ^ farLines_;
  farLines_ = levels;
  if (!openedBy_) return;
  if (changed & ms_CtsOn) events_ |= ev_Cts;
  if (changed & ms_DsrOn) events_ |= ev_Dsr;
  if (changed & ms_RlsdOn) events_ |= ev_Rlsd;
  if (changed & ms_RingOn) events_ |= (levels & ms_RingOn) ? ev_Ring : ev_RingTe;
}

void TApdSimCable::FarSetLine(uint8_t msBit, bool on) {
  Lock lock(lock_);
  if (!farAttached_) return;
  const uint8_t levels = on ? (farLines_ | msBit) : (farLines_ & ~msBit);
  if (levels == farLines_) return;
  SetFarLines(levels);
  Advance(TSimClock::now());  // CTS or DSR may release held output
  Changed();
}

uint8_t TApdSimCable::FarLines() {
  Lock lock(lock_);
  return farLines_;
}

void TApdSimCable::FarInject(uint32_t errorBits) {
  Lock lock(lock_);
  errorBits &= ce_RxOver | ce_Overrun | ce_RxParity | ce_Frame | ce_Break;
  if (!openedBy_ || !errorBits) return;
  errors_ |= errorBits;
  if (errorBits & ~ce_Break) events_ |= ev_Err;
  if (errorBits & ce_Break) events_ |= ev_Break;
  Changed();
}

void TApdSimCable::FarDetach() {
  Lock lock(lock_);
  if (!farAttached_) return;
  farAttached_ = false;
  SetFarLines(0);
  toFar_.arrived.clear();
  toPort_.sending.clear();
  toPort_.onWire = false;
  Advance(TSimClock::now());
  Changed();
}

void TApdSimCable::SetPacing(bool on) {
  Lock lock(lock_);
  Advance(TSimClock::now());
  pace_ = on;
  toFar_.onWire = toPort_.onWire = false;
  Advance(TSimClock::now());
  Changed();
}

void TApdSimCable::SetFollowPortRts(bool on) {
  Lock lock(lock_);
  followPortRts_ = on;
  Advance(TSimClock::now());
  Changed();
}

TSimPortView TApdSimCable::PortView() {
  Lock lock(lock_);
  Advance(TSimClock::now());
  return {openedBy_ != nullptr,
          dtr_,
          rts_,
          break_,
          settings_,
          toFar_.sending.size(),
          toPort_.sending.size() + toPort_.arrived.size(),
          PortTxHeld()};
}

uint64_t TApdSimCable::ChangeCount() {
  Lock lock(lock_);
  return changes_;
}

bool TApdSimCable::WaitForChange(uint64_t seen, TSimClock::time_point deadline) {
  Lock lock(lock_);
  for (;;) {
    const auto now = TSimClock::now();
    Advance(now);
    if (changes_ != seen) return true;
    if (now >= deadline) return false;
    auto until = deadline;
    for (const TSimLane* lane : {&toFar_, &toPort_}) {
      if (auto next = NextCrossing(*lane)) until = std::min(until, *next);
    }
    changed_.wait_until(lock, until);
  }
}

}  // namespace kestrel
