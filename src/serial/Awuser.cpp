// The dispatcher's identity, open and close, the dispatch buffer and the
// output ring.

#include "serial/Awuser.h"

#include <algorithm>
#include <cstring>

#include "messages/AdErrorCodes.h"
#include "serial/AwuserThreads.h"

namespace kestrel {

namespace {

constexpr int kBufSize = TApdBaseDispatcher::DispatchBufferSize;

}  // namespace

// ---------------------------------------------------------------------------
// Identity and the port list

TApdBaseDispatcher::TApdBaseDispatcher(void* owner, TApdPortList* ports)
    : Owner_(owner), Ports_(ports) {
  if (Ports_) Handle_ = Ports_->Add(this);
}

TApdBaseDispatcher::~TApdBaseDispatcher() {
  // A platform dispatcher has shut down already; this only covers one that
  // never opened a device.
  if (!ShutDown_) {
    ShutDown_ = true;
    WaitAllThreadsGone();
    JoinThreads();
    LeavePortList();
  }
}

void TApdBaseDispatcher::LeavePortList() {
  if (Ports_) Ports_->Remove(Handle_);
}

void TApdBaseDispatcher::ShutdownDispatcher() {
  if (ShutDown_) return;
  ShutDown_ = true;
  if (ClosePending_.load()) {
    // The dispatch thread finishes a close begun inside a delivery.
    WaitAllThreadsGone();
    DonePortPrim();
  } else {
    DonePort();
  }
  WaitAllThreadsGone();
  JoinThreads();
  LeavePortList();
}

std::string TApdBaseDispatcher::DeviceName() const {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  return DeviceName_;
}

std::string TApdBaseDispatcher::DevicePath() const {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  return DevicePath_;
}

void TApdBaseDispatcher::SetDeviceName(std::string name) {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  DeviceName_ = std::move(name);
}

// ---------------------------------------------------------------------------
// Open and close

int TApdBaseDispatcher::InitPort(const std::string& path, int32_t baud, uint8_t parity,
                                 uint8_t dataBits, uint8_t stopBits, uint16_t inSize,
                                 uint16_t outSize, uint32_t options) {
  // One device per dispatcher at a time.
  if (DeviceOpen_.load() || ThreadsActive_.load()) return ecAlreadyOpen;
  RingFlag_ = false;
  LastEventMask_ = 0;
  DeviceLost_ = false;
  Delivering_ = false;
  Suspended_ = false;
  {
    std::lock_guard<std::recursive_mutex> lock(MainLock_);
    HandlersToPurge_ = false;
    DevicePath_ = path;
  }
  ClosePending_ = false;

  int result = 0;
  if (!OutputEvent_.valid() || !FlushEvent_.valid()) {
    result = ecOutOfMemory;
  } else {
    int rc = OpenCom(path, inSize, outSize);
    if (rc < 0) result = rc == ecOutOfMemory ? ecOutOfMemory : rc;
  }
  if (result == 0) {
    DeviceOpen_ = true;
    result = SetCommBuffers(inSize, outSize);
  }
  if (result == 0) {
    {
      std::scoped_lock lock(InputLock_, MainLock_, OutputLock_);
      DBuffer_ = std::make_unique<uint8_t[]>(kBufSize);
      OBuffer_ = std::make_unique<uint8_t[]>(std::max<int>(outSize, 1));
      OScratch_ = std::make_unique<uint8_t[]>(std::max<int>(outSize, 1));
      DBufHead_ = DBufTail_ = 0;
      DBufFull_ = false;
      OBufHead_ = OBufTail_ = 0;
      OBufFull_ = false;
      InSize_ = inSize;
      OutSize_ = std::max<int>(outSize, 1);
      ErrorFlags_ = 0;
      OutputWritten_ = false;
      FlushInProgress_ = false;
      InAvailDelivery_ = false;
      HandlerCall_ = 0;
      HeadSerial_ = ScanSerial_ = LastAvailSerial_ = 0;
      RS485Mode_ = false;
      BaseAddress_ = 0;
      ModemStatus_ = 0;
    }
    std::lock_guard<std::recursive_mutex> lock(MainLock_);
    GetComState(Settings_);
    DtrAuto_ = (options & ipAutoDTR) != 0;
    if (!DtrAuto_) SetDtr((options & ipAssertDTR) != 0);
    RtsAuto_ = (options & ipAutoRTS) != 0;
    if (!RtsAuto_) SetRts((options & ipAssertRTS) != 0);
    RemoveAllTriggers();
    StatusHit_ = false;
    uint8_t levels = 0;
    if (ComModemLines(levels) >= 0) ModemStatus_ = levels & 0xF0;
    LastBaud_ = 115200;
  }
  if (result == 0) result = SetLine(baud, parity, dataBits, stopBits);
  if (result == 0) {
    RefreshStatus();
    result = StartDispatcher();
  }
  if (result != 0) DonePort();
  return result;
}

int TApdBaseDispatcher::DonePort() {
  if (DeviceOpen_.load()) {
    FlushOutBuffer();
    FlushInBuffer();
    CloseCom();
    DeviceOpen_ = false;
  }
  if (Delivering_.load() && ThreadsActive_.load()) {
    // Inside a delivery: the dispatch thread finishes the close when the
    // handler has returned.
    ClosePending_ = true;
    return 0;
  }
  DonePortPrim();
  return 0;
}

void TApdBaseDispatcher::DonePortPrim() {
  DispEndedByClose_ = false;
  if (ThreadsActive_.load()) StopDispatcher();
  FreeBuffers();
}

void TApdBaseDispatcher::FreeBuffers() {
  std::scoped_lock lock(InputLock_, MainLock_, OutputLock_);
  OBuffer_.reset();
  OScratch_.reset();
  DBuffer_.reset();
  DBufHead_ = DBufTail_ = 0;
  DBufFull_ = false;
  OBufHead_ = OBufTail_ = 0;
  OBufFull_ = false;
  InAvailDelivery_ = false;
  HandlerCall_ = 0;
}

// ---------------------------------------------------------------------------
// The dispatch buffer

// Room was made while the driver holds bytes back: the dispatch thread need
// not wait for its next cycle to fetch them.
void TApdBaseDispatcher::WakeIfHeldBack() {
  if (!HeldBack_) return;
  HeldBack_ = false;
  ComEvent_.Set();
}

int TApdBaseDispatcher::UsedLocked() const {
  if (DBufFull_) return kBufSize;
  return (DBufHead_ - DBufTail_ + kBufSize) % kBufSize;
}

int TApdBaseDispatcher::ExtractData() {
  std::lock_guard<std::recursive_mutex> lock(InputLock_);
  if (!DBuffer_) return 0;
  if (DBufFull_) {
    HeldBack_ = true;
    return 0;
  }
  TDeviceStatus status;
  RefreshStatus(status);
  // Read even when the driver reports nothing waiting: a tty moves received
  // bytes into its read buffer in deferred work, which a busy machine may put
  // off for seconds while the sender stays blocked, and a read pushes that
  // work along. A read of nothing costs one call per cycle.
  const int waiting = static_cast<int>(status.InQue);

  int contiguous = kBufSize - DBufHead_;
  int free = kBufSize;
  if (DBufTail_ != DBufHead_) {
    free = (DBufTail_ - DBufHead_ + kBufSize) % kBufSize;
    if (DBufTail_ > DBufHead_) contiguous = free;
  }
  HeldBack_ = waiting > free;

  int got = std::max(ReadCom(DBuffer_.get() + DBufHead_, contiguous), 0);
  LogDispatch(1, 1, got, DBuffer_.get() + DBufHead_, got);
  DBufHead_ += got;
  HeadSerial_ += got;
  int moved = got;
  // The rest of the room past the wrap, when the driver filled the first part.
  const int second = got == contiguous ? free - contiguous : 0;
  if (DBufHead_ == kBufSize) DBufHead_ = 0;
  if (got > 0) DBufFull_ = DBufHead_ == DBufTail_;

  if (second > 0) {
    got = std::max(ReadCom(DBuffer_.get() + DBufHead_, second), 0);
    LogDispatch(1, 1, got, DBuffer_.get() + DBufHead_, got);
    DBufHead_ += got;
    HeadSerial_ += got;
    moved += got;
    if (got > 0) DBufFull_ = DBufHead_ == DBufTail_;
  }
  return moved;
}

// The handler call the calling thread runs (see TApdHandlerScope).
namespace {
struct THandlerMark {
  const TApdBaseDispatcher* dispatcher = nullptr;
  uint64_t call = 0;
};
thread_local THandlerMark tHandlerMark;
}  // namespace

TApdHandlerScope::TApdHandlerScope(TApdBaseDispatcher& dispatcher)
    : SavedDispatcher_(tHandlerMark.dispatcher), SavedCall_(tHandlerMark.call) {
  std::lock_guard<std::recursive_mutex> lock(dispatcher.InputLock_);
  tHandlerMark = {&dispatcher, dispatcher.HandlerCall_};
}

TApdHandlerScope::~TApdHandlerScope() {
  tHandlerMark = {SavedDispatcher_, SavedCall_};
}

bool TApdBaseDispatcher::HandlerReaderLocked() const {
  return InAvailDelivery_ && HandlerCall_ != 0 && tHandlerMark.dispatcher == this &&
         tHandlerMark.call == HandlerCall_;
}

uint64_t TApdBaseDispatcher::ReadSerialLocked() const {
  const uint64_t tail = TailSerialLocked();
  // A handler never reads behind the mark: what lies there was taken. Any
  // other reader starts past what the delivery's handlers have read.
  if (HandlerReaderLocked()) return std::max(HandlerSerial_, tail);
  return InAvailDelivery_ ? std::max(DeliveryEnd_, tail) : tail;
}

void TApdBaseDispatcher::CopyAtLocked(uint64_t serial, uint8_t* dest, int length) const {
  int start = static_cast<int>(serial % kBufSize);
  int first = std::min(length, kBufSize - start);
  std::memcpy(dest, DBuffer_.get() + start, first);
  if (length > first) std::memcpy(dest + first, DBuffer_.get(), length - first);
}

void TApdBaseDispatcher::BeginDeliveryLocked(bool reading) {
  InAvailDelivery_ = reading && DBuffer_;
  DeliveryBase_ = DeliveryEnd_ = HandlerSerial_ = TailSerialLocked();
  HandlerCall_ = 0;
}

void TApdBaseDispatcher::BeginHandlerCallLocked() {
  HandlerSerial_ = DeliveryBase_;
  HandlerCall_ = ++HandlerCalls_;
}

void TApdBaseDispatcher::EndHandlerCallLocked() {
  // Late reads of a handler whose caller has gone on are ordinary reads.
  HandlerCall_ = 0;
}

uint64_t TApdBaseDispatcher::EndDeliveryLocked(bool advance) {
  const uint64_t read = DeliveryEnd_ - DeliveryBase_;
  if (InAvailDelivery_ && advance && DBuffer_) {
    const uint64_t tail = TailSerialLocked();
    if (DeliveryEnd_ > tail) {
      DBufTail_ = (DBufTail_ + static_cast<int>(DeliveryEnd_ - tail)) % kBufSize;
      DBufFull_ = false;
      WakeIfHeldBack();
    }
  }
  InAvailDelivery_ = false;
  HandlerCall_ = 0;
  return read;
}

// Reads `length` bytes at `offset` past the calling thread's read position.
int TApdBaseDispatcher::RelativeRead(int offset, int length, uint8_t* dest, bool take) {
  if (length == 0) return 0;
  std::lock_guard<std::recursive_mutex> lock(InputLock_);
  if (!DBuffer_ || length < 0) return ecBufferIsEmpty;
  const uint64_t from = ReadSerialLocked() + static_cast<uint64_t>(offset);
  if (from + static_cast<uint64_t>(length) > HeadSerial_) return ecBufferIsEmpty;
  if (dest) CopyAtLocked(from, dest, length);
  if (take) {
    const uint64_t to = from + static_cast<uint64_t>(length);
    if (HandlerReaderLocked()) {
      HandlerSerial_ = to;
      DeliveryEnd_ = std::max(DeliveryEnd_, to);
    } else {
      DBufTail_ = static_cast<int>(to % kBufSize);
      DBufFull_ = false;
      WakeIfHeldBack();
    }
    if (dest) {
      std::lock_guard<std::recursive_mutex> main(MainLock_);
      TraceBytes('R', dest, length);
    }
  }
  return length;
}

bool TApdBaseDispatcher::CharReady() {
  return InBuffUsed() > 0;
}

int TApdBaseDispatcher::PeekChar(uint16_t position) {
  if (position == 0) return ecBufferIsEmpty;
  uint8_t c;
  int rc = RelativeRead(position - 1, 1, &c, false);
  return rc < 0 ? rc : c;
}

int TApdBaseDispatcher::GetChar() {
  uint8_t c;
  int rc = RelativeRead(0, 1, &c, true);
  return rc < 0 ? rc : c;
}

int TApdBaseDispatcher::PeekBlock(void* dest, int length) {
  return RelativeRead(0, length, static_cast<uint8_t*>(dest), false);
}

int TApdBaseDispatcher::GetBlock(void* dest, int length) {
  return RelativeRead(0, length, static_cast<uint8_t*>(dest), true);
}

int TApdBaseDispatcher::InBuffUsed() {
  std::lock_guard<std::recursive_mutex> lock(InputLock_);
  if (!DBuffer_) return 0;
  return static_cast<int>(HeadSerial_ - ReadSerialLocked());
}

int TApdBaseDispatcher::InBuffHeld() {
  std::lock_guard<std::recursive_mutex> lock(InputLock_);
  return DBuffer_ ? UsedLocked() : 0;
}

int TApdBaseDispatcher::InBuffFree() {
  return kBufSize - InBuffUsed();
}

int TApdBaseDispatcher::FlushInBuffer() {
  std::lock_guard<std::recursive_mutex> lock(InputLock_);
  if (DeviceOpen_.load()) FlushCom(1);
  if (!DBuffer_) return 0;
  // Nothing present stays readable; a delivery's end keeps the mark here.
  DBufTail_ = DBufHead_;
  DBufFull_ = false;
  if (InAvailDelivery_) DeliveryEnd_ = HandlerSerial_ = HeadSerial_;
  // Nothing flushed may match a data trigger later.
  ScanSerial_ = HeadSerial_;
  ResetDataTriggerMatches();
  return 0;
}

// ---------------------------------------------------------------------------
// The output ring

int TApdBaseDispatcher::PutChar(uint8_t c) {
  return PutBlock(&c, 1);
}

int TApdBaseDispatcher::PutString(std::string_view s) {
  return PutBlock(s.data(), static_cast<int>(s.size()));
}

int TApdBaseDispatcher::PutBlock(const void* data, int length) {
  if (length <= 0) return 0;
  // Nothing queued now could ever leave.
  if (DeviceLost_.load()) return ecDeviceLost;
  bool rs485;
  {
    std::lock_guard<std::recursive_mutex> main(MainLock_);
    rs485 = RS485Mode_;
  }
  if (rs485) SetRts(true);  // dropped by the output thread once all is sent
  const auto* bytes = static_cast<const uint8_t*>(data);
  bool handedOver = false;
  bool wroteFirst = false;
  {
    std::lock_guard<std::recursive_mutex> lock(OutputLock_);
    if (!OBuffer_ || !DeviceOpen_.load()) return ecPutBlockFail;
    RefreshStatus();
    // The room is the ring's: the device's own queue has its own limit, and
    // the output thread waits for it. Counting it here would refuse blocks
    // the ring can hold whenever the line is busy, while OutBuffFree, which
    // does count it, never promises more than this.
    const int free = OutSize_ - RingQueuedLocked();
    if (length > free) return ecOutputBufferTooSmall;
    const int direct = rs485 ? 0 : WriteAtOnceLocked(bytes, length);
    const int rest = length - direct;
    if (rest == free) OBufFull_ = true;
    if (rest > 0 && WriteCom(bytes + direct, rest) <= 0) {
      RefreshStatus();
      return ecPutBlockFail;
    }
    handedOver = rest == 0;
    // The first output since an output-sent trigger looked makes it due.
    wroteFirst = !OutputWritten_;
    OutputWritten_ = true;
  }
  if (wroteFirst) LookAtTriggersSoon();
  if (handedOver && OutputStatusHook_) OutputStatusHook_();
  LogDispatch(1, 2, length, data, length);
  {
    std::lock_guard<std::recursive_mutex> main(MainLock_);
    TraceBytes('T', static_cast<const uint8_t*>(data), length);
  }
  return 0;
}

// With nothing queued no write is under way (the output thread takes bytes
// off the ring only once the device has them), so the caller may hand the
// bytes to the device itself, under the output lock: the output thread
// would only be woken to do the same a scheduling delay later, a delay
// every block of an upload waits for. What the device does not take at
// once goes to the ring; a device that fails the write is left to the
// output thread, which finds the failure again and reports it.
int TApdBaseDispatcher::WriteAtOnceLocked(const uint8_t* data, int length) {
  if (RingQueuedLocked() != 0 || FlushInProgress_ || KillThreads_.load() || ClosePending_.load() ||
      !ThreadsActive_.load())
    return 0;
  return std::clamp(ComWrite(data, length), 0, length);
}

uint64_t TApdBaseDispatcher::DispatchCycles() {
  ComEvent_.Set();
  return DispatchCycles_.load();
}

int TApdBaseDispatcher::RingQueuedLocked() const {
  if (!OBuffer_) return 0;
  if (OBufFull_) return OutSize_;
  return (OBufHead_ - OBufTail_ + OutSize_) % OutSize_;
}

int TApdBaseDispatcher::QueuedOutput(int& size) {
  int ring;
  {
    std::lock_guard<std::recursive_mutex> lock(OutputLock_);
    size = OutSize_;
    if (!OBuffer_) return 0;
    ring = RingQueuedLocked();
  }
  // The ring first, the device second: the output thread hands bytes to the
  // device before it takes them off the ring, so a byte on its way between
  // the two is counted once or twice, never missed.
  TDeviceStatus status;
  RefreshStatus(status);
  return std::min(ring + static_cast<int>(status.OutQue), size);
}

int TApdBaseDispatcher::OutBuffUsed() {
  int size;
  return QueuedOutput(size);
}

int TApdBaseDispatcher::OutBuffFree() {
  int size;
  const int queued = QueuedOutput(size);
  return size - queued;
}

int TApdBaseDispatcher::FlushOutBuffer() {
  // One flush at a time: the output thread answers every flush request that
  // is pending with one acknowledgement, so a second flusher would miss it
  // and wait out the limit.
  std::lock_guard<std::mutex> flushing(FlushLock_);
  bool ringEmpty;
  {
    std::lock_guard<std::recursive_mutex> lock(OutputLock_);
    FlushInProgress_ = true;
    // Bytes leave the ring only once their write is done, so an empty ring
    // means no write is under way: there is nothing to ask the output thread
    // to abandon (an upload flushes after every block, at full line speed).
    ringEmpty = !OBufFull_ && OBufHead_ == OBufTail_;
  }
  if (!ringEmpty && OutThread_ && OutThread_->Alive() && !IsOutputThread()) {
    // The output thread abandons a pending write and acknowledges; until it
    // has, the ring must stay as it is, for a write may be under way from it.
    // An output thread that ends meanwhile (the device was lost) answers no more.
    FlushAckEvent_.Reset();
    FlushEvent_.Signal();
    for (int waited = 0; waited < 5000 && !FlushAckEvent_.WaitFor(50); waited += 50) {
      if (!OutThread_->Alive()) break;
    }
  }
  {
    std::lock_guard<std::recursive_mutex> lock(OutputLock_);
    OBufFull_ = false;
    OBufHead_ = OBufTail_ = 0;
    FlushInProgress_ = false;
  }
  // A device that went away holds nothing that could still leave: the flush
  // has done its part, whatever the device says to a purge now.
  if (DeviceOpen_.load() && !DeviceLost_.load()) return FlushCom(0);
  return 0;
}

// ---------------------------------------------------------------------------
// Status and options

void TApdBaseDispatcher::RefreshStatus() {
  TDeviceStatus status;
  RefreshStatus(status);
}

void TApdBaseDispatcher::RefreshStatus(TDeviceStatus& status) {
  status = TDeviceStatus{};
  if (!DeviceOpen_.load()) return;
  ErrorFlags_.fetch_or(GetComError(status) & 0x1F);
  std::lock_guard<std::mutex> lock(StatusLock_);
  ComStatus_ = status;
}

uint32_t TApdBaseDispatcher::ErrorFlags() {
  return ErrorFlags_.load();
}

void TApdBaseDispatcher::SetEventBusy(bool& wasBusy, bool busy) {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  wasBusy = Suspended_.load();
  Suspended_ = busy;
  // What arrived or fell due meanwhile is delivered now.
  if (wasBusy && !busy) LookAtTriggersSoon();
}

void TApdBaseDispatcher::OptionsOn(uint16_t bits) {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  Options_ |= bits;
}

void TApdBaseDispatcher::OptionsOff(uint16_t bits) {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  Options_ &= ~bits;
}

bool TApdBaseDispatcher::OptionsAreOn(uint16_t bits) {
  std::lock_guard<std::recursive_mutex> lock(MainLock_);
  return (Options_ & bits) == bits;
}

}  // namespace kestrel
