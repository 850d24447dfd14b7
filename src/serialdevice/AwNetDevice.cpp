#include "serialdevice/AwNetDevice.h"

#include <poll.h>

#include <algorithm>
#include <chrono>

#include "messages/AdErrorCodes.h"

namespace kestrel {

namespace {

// The receive queue: reading stops when it is full, so a reader that falls
// behind holds the far end back through TCP instead of losing bytes.
constexpr size_t kReceiveQueue = 65536;
// Output taken per Write; with the bytes not yet sent it bounds what the
// device holds beyond the socket.
constexpr int kWriteChunk = 4096;
// Bounds on the time between looks at a draining send queue.
constexpr int kLongestTxLookMs = 50;

}  // namespace

TApdNetDevice::TApdNetDevice(std::string path, std::string address)
    : Path_(std::move(path)), Address_(std::move(address)) {}

TApdNetDevice::~TApdNetDevice() {
  Close();
}

int64_t TApdNetDevice::NowMs() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

TApdSocket* TApdNetDevice::Socket() const {
  std::lock_guard lock(OpenLock_);
  return Socket_.get();
}

int TApdNetDevice::Open() {
  {
    std::lock_guard lock(OpenLock_);
    if (Open_) return ecAccessDenied;
    Failure_ = TOpenFailure::ofNone;
    Why_.clear();
    if (Socket_) Retired_.push_back(std::move(Socket_));
  }
  const auto failed = [this](int rc, TOpenFailure failure, std::string why) {
    std::lock_guard lock(OpenLock_);
    Failure_ = failure;
    Why_ = std::move(why);
    if (Socket_) {
      Socket_->Close();
      Retired_.push_back(std::move(Socket_));
    }
    return rc;
  };
  TNetAddress address;
  std::string why;
  if (!ParseNetAddress(Address_, address, why))
    return failed(ecBadId, TOpenFailure::ofNoDevice, why);
  if (!LookAgain_.valid()) return failed(ecOutOfMemory, TOpenFailure::ofOther, "no event");
  auto socket = std::make_unique<TApdSocket>();
  // Resolving and connecting block; the dispatcher opens off the window thread.
  if (int rc = socket->Connect(address, why)) return failed(rc, TOpenFailure::ofNoDevice, why);
  {
    std::scoped_lock lock(OpenLock_, InputLock_, OutputLock_, StateLock_);
    Socket_ = std::move(socket);
    Received_.clear();
    Arrivals_ = 0;
    Pending_.clear();
    PendingSize_ = 0;
    Record_ = TDeviceSettings{};
    Events_ = Errors_ = 0;
  }
  TxEmptyDue_ = false;
  Reported_ = 0;
  SeenPurges_ = Purges_.load();
  LookAgain_.Drain();
  if (int rc = StartLine(why)) return failed(rc, TOpenFailure::ofOther, why);
  std::lock_guard lock(OpenLock_);
  Open_ = true;
  return ecOK;
}

TOpenFailure TApdNetDevice::LastOpenFailure() const {
  std::lock_guard lock(OpenLock_);
  return Failure_;
}

std::string TApdNetDevice::LastOpenFailureReason() const {
  std::lock_guard lock(OpenLock_);
  return Why_;
}

std::string TApdNetDevice::LostReason() const {
  TApdSocket* socket = Socket();
  return socket ? socket->Failure() : std::string();
}

void TApdNetDevice::Close() {
  std::lock_guard lock(OpenLock_);
  Open_ = false;
  if (Socket_) Socket_->Close();  // wakes every wait on it
}

bool TApdNetDevice::IsOpen() const {
  std::lock_guard lock(OpenLock_);
  return Open_ && Socket_ && !Socket_->Closed();
}

int TApdNetDevice::SetQueueSizes(int, int) {
  return IsOpen() ? ecOK : ecCommNotOpen;
}

int TApdNetDevice::ReceiveQueueSize() const {
  return int(kReceiveQueue);
}

int TApdNetDevice::GetState(TDeviceSettings& settings) {
  if (!Socket()) return ecCommNotOpen;
  std::lock_guard lock(StateLock_);
  settings = Record_;
  return ecOK;
}

int TApdNetDevice::SetState(const TDeviceSettings& settings) {
  if (!IsSupportedLineSettings(settings)) return ecInvalidParameter;
  if (!Socket()) return ecCommNotOpen;
  TDeviceSettings confirmed = settings;
  const int rc = ApplyLine(settings, confirmed);
  if (rc != ecOK) return rc;  // a refused setting leaves the line as it was
  std::lock_guard lock(StateLock_);
  Record_ = confirmed;
  return rc;
}

bool TApdNetDevice::PumpInput() {
  TApdSocket* socket = Socket();
  if (!socket) return false;
  std::vector<uint8_t> replies;
  bool alive = true;
  bool arrived = false;
  {
    std::lock_guard lock(InputLock_);
    uint8_t wire[4096];
    std::vector<uint8_t> data;
    while (Received_.size() < kReceiveQueue) {
      const int room = int(std::min<size_t>(sizeof wire, kReceiveQueue - Received_.size()));
      const int got = socket->Receive(wire, room);
      if (got < 0) alive = false;
      if (got <= 0) break;
      data.clear();
      Decode(wire, got, data, replies);
      Received_.insert(Received_.end(), data.begin(), data.end());
      Arrivals_ += data.size();
      arrived = arrived || !data.empty();
    }
  }
  if (!replies.empty()) SendControl(replies);
  if (arrived) LookAgain_.Signal();
  return alive;
}

int TApdNetDevice::Read(uint8_t* buffer, int n) {
  if (n <= 0) return 0;
  bool wasFull;
  int taken;
  {
    std::lock_guard lock(InputLock_);
    wasFull = Received_.size() >= kReceiveQueue;
    taken = int(std::min<size_t>(size_t(n), Received_.size()));
    std::copy_n(Received_.begin(), taken, buffer);
    Received_.erase(Received_.begin(), Received_.begin() + taken);
  }
  if (wasFull && taken > 0) LookAgain_.Signal();  // the socket may be read again
  return taken;
}

bool TApdNetDevice::FlushLocked() {
  TApdSocket* socket = Socket();
  if (!socket) return false;
  size_t sent = 0;
  while (sent < Pending_.size()) {
    const int put = socket->Send(Pending_.data() + sent, int(Pending_.size() - sent));
    if (put <= 0) break;
    sent += size_t(put);
  }
  Pending_.erase(Pending_.begin(), Pending_.begin() + sent);
  PendingSize_ = int(Pending_.size());
  return Pending_.empty();
}

void TApdNetDevice::SendControl(const std::vector<uint8_t>& bytes) {
  std::lock_guard lock(OutputLock_);
  Pending_.insert(Pending_.end(), bytes.begin(), bytes.end());
  FlushLocked();
}

int TApdNetDevice::Write(const uint8_t* data, int n) {
  if (n <= 0) return 0;
  TApdSocket* socket = Socket();
  if (!socket || socket->Closed()) return ecCommNotOpen;
  std::lock_guard lock(OutputLock_);
  const bool flushed = FlushLocked();
  if (!socket->Failure().empty()) return ecFileNotFound;  // the connection has ended
  if (!flushed || OutputSuspended()) return 0;
  const int take = std::min(n, kWriteChunk);
  Encode(data, take, Pending_);
  FlushLocked();
  if (!TxEmptyDue_.exchange(true)) LookAgain_.Signal();  // time the drain
  return take;
}

int TApdNetDevice::WaitWritable(int cancelFd) {
  for (;;) {
    TApdSocket* socket = Socket();
    // Closed here, or ended by the far end.
    if (!socket || !socket->Failure().empty()) return kDeviceClosed;
    bool ready;
    bool suspended;
    {
      std::lock_guard lock(OutputLock_);
      ready = FlushLocked();
      suspended = OutputSuspended();
    }
    if (ready && !suspended) return kWaitReady;
    // Held by the far end: look again now and then for its resume.
    const int rc =
        suspended && ready ? socket->Wait(0, cancelFd, 10) : socket->WaitWritable(cancelFd);
    if (rc < 0) return kDeviceClosed;
    if (rc == 1) return kWaitCancelled;
  }
}

void TApdNetDevice::Raise(uint32_t events, uint32_t errors) {
  {
    std::lock_guard lock(StateLock_);
    Events_ |= events;
    Errors_ |= errors;
  }
  LookAgain_.Signal();
}

int TApdNetDevice::WaitEvent(uint32_t mask, uint32_t& happened) {
  happened = 0;
  if (mask == 0) return ecInvalidParameter;
  for (;;) {
    TApdSocket* socket = Socket();
    if (!socket || socket->Closed()) return kDeviceClosed;
    const bool alive = PumpInput();
    uint32_t events = 0;
    {
      std::lock_guard lock(StateLock_);
      events = Events_ & mask;
      Events_ &= ~mask;
    }
    bool roomToRead;
    {
      std::lock_guard lock(InputLock_);
      const uint32_t purges = Purges_.load();
      if (purges != SeenPurges_) {
        SeenPurges_ = purges;
        Reported_ = Arrivals_;
      }
      if ((mask & ev_RxChar) && Arrivals_ > Reported_) events |= ev_RxChar;
      if (mask & ev_RxChar) Reported_ = Arrivals_;
      roomToRead = Received_.size() < kReceiveQueue;
    }
    int txLook = -1;
    if ((mask & ev_TxEmpty) && TxEmptyDue_) {
      const int queued = PendingSize_ + socket->OutQueue();
      if (queued == 0) {
        TxEmptyDue_ = false;
        events |= ev_TxEmpty;
      } else {
        // Moving: look again soon; held (the far end reads nothing): less often.
        TxLookMs_ = queued != LastTxQueue_ ? 1 : std::min(TxLookMs_ * 2, kLongestTxLookMs);
        txLook = TxLookMs_;
      }
      LastTxQueue_ = queued;
    }
    if (events) {
      happened = events;
      return kWaitReady;
    }
    // The far end is gone, and everything it sent has been reported.
    if (!alive) return kDeviceClosed;
    const int rc = socket->Wait(roomToRead ? POLLIN : 0, LookAgain_.get(), txLook);
    // A failed connection is looked at once more: what it delivered before
    // the end is reported first.
    if (rc < 0 && socket->Closed()) return kDeviceClosed;
    if (rc == 1) LookAgain_.Drain();
  }
}

uint32_t TApdNetDevice::GetError(TDeviceStatus& status) {
  status = TDeviceStatus{};
  TApdSocket* socket = Socket();
  if (!socket) return 0;
  uint32_t errors;
  bool ctsFlow;
  {
    std::lock_guard lock(StateLock_);
    errors = Errors_;
    Errors_ = 0;
    ctsFlow =
        (Record_.Flags & dcb_OutxCtsFlow) || (Record_.Flags & dcb_RtsMask) == dcb_RtsHandshake;
  }
  if (ctsFlow && !(Levels() & ms_CtsOn)) status.HoldFlags |= hold_Cts;
  {
    std::lock_guard lock(InputLock_);
    status.InQue = uint32_t(Received_.size());
  }
  status.OutQue = uint32_t(PendingSize_.load() + socket->OutQueue());
  return errors;
}

int TApdNetDevice::GetModemLines(uint8_t& levels) {
  levels = 0;
  if (!Socket()) return ecCommNotOpen;
  levels = Levels();
  return ecOK;
}

int TApdNetDevice::Escape(int function) {
  if (function == GETBASEADDRESS) return 0;
  if (!Socket()) return ecCommNotOpen;
  if (function < SETRTS || function > CLRBREAK || function == 7) return ecInvalidParameter;
  return LineControl(function);
}

int TApdNetDevice::Purge(uint32_t flags) {
  if (!Socket()) return ecCommNotOpen;
  if (flags & (PURGE_RXABORT | PURGE_RXCLEAR)) {
    std::lock_guard lock(InputLock_);
    Received_.clear();
    Purges_.fetch_add(1);
  }
  if (flags & (PURGE_TXABORT | PURGE_TXCLEAR)) {
    // Whole escapes only: a control message may sit behind the data.
    TxEmptyDue_ = false;
  }
  PurgeRemote(flags);
  LookAgain_.Signal();
  return ecOK;
}

}  // namespace kestrel
