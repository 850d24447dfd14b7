#include "serialdevice/AwPosix.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "messages/AdErrorCodes.h"
#include "messages/Adexcept.h"

namespace kestrel {

namespace {

// How often a wait looks at modem lines and driver counters when the
// driver has them; they change without waking poll().
constexpr std::chrono::milliseconds kLinePoll{50};
// Bounds on the time between looks at a draining transmit queue.
constexpr std::chrono::microseconds kShortestTxLook{50};
constexpr std::chrono::nanoseconds kLongestTxLook = kLinePoll;
// The N_TTY line discipline's receive buffer.
constexpr int kDriverReceiveQueue = 4096;
// Unix98 pseudo-terminal slaves use majors 136..143.
constexpr unsigned kPtySlaveMajor = 136;
// A pseudo-terminal wakes a writer blocked in poll() only once its other
// side has read everything queued, though room opens as soon as that side
// reads anything: a writer looks again this often, so that output follows
// a slow reader block by block instead of stalling for the whole queue.
constexpr int kPtyWritableLookMs = 10;

int RetryIoctl(int fd, unsigned long request, void* arg) {
  int rc;
  do {
    rc = ::ioctl(fd, request, arg);
  } while (rc < 0 && errno == EINTR);
  return rc;
}

uint8_t LevelsFromModemBits(int bits) {
  uint8_t levels = 0;
  if (bits & TIOCM_CTS) levels |= ms_CtsOn;
  if (bits & TIOCM_DSR) levels |= ms_DsrOn;
  if (bits & TIOCM_RNG) levels |= ms_RingOn;
  if (bits & TIOCM_CAR) levels |= ms_RlsdOn;
  return levels;
}

constexpr uint8_t kLoopedBackLevels = ms_CtsOn | ms_DsrOn | ms_RlsdOn;

// A UART still frames bytes a few percent off the far end's rate, so a driver
// that rounds to its nearest divisor has taken the rate.
bool RateTaken(uint32_t asked, uint32_t got) {
  const uint64_t off = asked > got ? asked - got : got - asked;
  return off * 100 <= uint64_t{asked} * 3;
}

// Sets the rate and checks what the driver made of it. Drivers fall back to
// another rate rather than fail (a UART above its clock's reach, a USB
// adapter above its own), so the rate is read back. A refused rate leaves
// the one the line had.
int ApplyBaud(int fd, uint32_t baud) {
  uint32_t before = 0;
  if (posix_kernel::GetAnyBaud(fd, before) == 0 && before == baud) return ecOK;
  int err = posix_kernel::SetAnyBaud(fd, baud);
  uint32_t got = 0;
  if (err == 0) err = posix_kernel::GetAnyBaud(fd, got);
  if (err == 0 && RateTaken(baud, got)) return ecOK;
  if (err != 0 && err != EINVAL && err != ENOTTY && err != EOPNOTSUPP)
    return ApdResultFromErrno(err);
  if (before != 0) posix_kernel::SetAnyBaud(fd, before);
  return ecBaudRate;
}

}  // namespace

TErrnoMeaning ErrnoMeaning(int err, bool atOpen) {
  using F = TOpenFailure;
  switch (err) {
    case 0:
      return {ecOK, F::ofNone};
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case EIO:  // at open: a node without hardware; later: the device went away
      return {ecFileNotFound, F::ofNoDevice};
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      return {ecPathNotFound, F::ofNoDevice};
    case EMFILE:
    case ENFILE:
      return {ecTooManyFiles, F::ofOther};
    case EBUSY:  // another opener's exclusive mode
      return {ecAccessDenied, F::ofInUse};
    case EACCES:
    case EPERM:
      return {ecAccessDenied, F::ofPermission};
    case EWOULDBLOCK:  // at open: another program holds the lock
      return {atOpen ? ecAccessDenied : -err, atOpen ? F::ofInUse : F::ofOther};
    case EBADF:
      return {ecInvalidHandle, F::ofOther};
    case ENOMEM:
    case ENOBUFS:
      return {ecOutOfMemory, F::ofOther};
    case EINVAL:
      return {ecInvalidParameter, F::ofOther};
    default:
      break;
  }
  // Something that opens but is no terminal, or a folder.
  const F failure = err == ENOTTY || err == EISDIR ? F::ofNotSerial
                    : err == EROFS                 ? F::ofPermission
                                                   : F::ofOther;
  // Any other number travels as itself and shows the platform's text, unless
  // that number has a text of its own here (EINTR would read "Too many open
  // files", EUSERS "Invalid argument"), lies beyond the file and device
  // range, or has no text at all: then the general text is the one that does
  // not mislead.
  const bool ownText = err > 0 && err <= -ecHardwareFailure && err != -ecInvalidParameter &&
                       MessageNumberToString(err).empty() && !KelpLoadStr(err).empty();
  if (!ownText) return {ecHardwareFailure, failure};
  return {-err, failure};
}

// Counts a call that uses the descriptor, so Close waits for it to leave.
// Thread contract: lives on the stack of the calling thread.
class TApdPosixDevice::TUse {
 public:
  explicit TUse(TApdPosixDevice& device) : device_(device), fd_(device.EnterUse()) {}
  ~TUse() {
    if (fd_ >= 0) device_.LeaveUse();
  }
  TUse(const TUse&) = delete;
  TUse& operator=(const TUse&) = delete;
  int fd() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  TApdPosixDevice& device_;
  int fd_;
};

TApdPosixDevice::TApdPosixDevice(std::string path) : path_(std::move(path)) {}

TApdPosixDevice::~TApdPosixDevice() {
  Close();
}

int TApdPosixDevice::EnterUse() {
  std::lock_guard lock(fdMutex_);
  if (!fd_.valid() || closing_) return -1;
  ++users_;
  return fd_.get();
}

void TApdPosixDevice::LeaveUse() {
  std::lock_guard lock(fdMutex_);
  if (--users_ == 0) fdIdle_.notify_all();
}

bool TApdPosixDevice::IsOpen() const {
  std::lock_guard lock(fdMutex_);
  return fd_.valid() && !closing_;
}

int TApdPosixDevice::Open() {
  std::unique_lock lock(fdMutex_);
  if (fd_.valid()) return ecAccessDenied;
  openFailure_ = TOpenFailure::ofNone;

  TApdFd fd(::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) {
    const int err = errno;
    // A socket is there, only no device: opening it fails as if nothing were.
    struct stat st {};
    if (err == ENXIO && ::stat(path_.c_str(), &st) == 0 && S_ISSOCK(st.st_mode))
      return OpenFailed(err, TOpenFailure::ofNotSerial);
    return OpenFailed(err);
  }
  // flock holds against every other opener, root included; TIOCEXCL adds
  // the kernel's own exclusive mode for programs that do not lock.
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return OpenFailed(errno);
  struct termios tio {};
  if (::tcgetattr(fd.get(), &tio) != 0) {
    // It opened, but has no line settings (a device such as /dev/urandom
    // answers EINVAL rather than ENOTTY): no terminal.
    const int err = errno;
    if (err == EINVAL) return OpenFailed(err, TOpenFailure::ofNotSerial);
    return OpenFailed(err);
  }
  if (RetryIoctl(fd.get(), TIOCEXCL, nullptr) != 0) return OpenFailed(errno);

  ::cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (::tcsetattr(fd.get(), TCSANOW, &tio) != 0) return OpenFailed(errno);

  auto closeEvent = std::make_unique<TApdEventFd>();
  if (!closeEvent->valid() || !lookAgain_.valid()) return OpenFailed(errno);
  // Received bytes go up at once (nothing fails after this, so Close puts
  // it back). A driver that refuses, such as a pseudo-terminal's, still
  // works, only slower to answer.
  bool lowLatencySet = false;
  posix_kernel::SetLowLatency(fd.get(), true, lowLatencySet);

  struct stat st {};
  isPseudoTerminal_ = ::fstat(fd.get(), &st) == 0 && ::major(st.st_rdev) >= kPtySlaveMajor &&
                      ::major(st.st_rdev) < kPtySlaveMajor + 8;
  int bits = 0;
  const bool lines = RetryIoctl(fd.get(), TIOCMGET, &bits) == 0;
  posix_kernel::TLineCounters counters;
  const bool haveCounters = posix_kernel::ReadLineCounters(fd.get(), counters) == 0;
  // A pseudo-terminal has no transmitter to ask about.
  int lineStatus = 0;
  const bool transmitterStatus =
      !isPseudoTerminal_ && RetryIoctl(fd.get(), TIOCSERGETLSR, &lineStatus) == 0;
  {
    std::lock_guard state(stateMutex_);
    record_ = TDeviceSettings{};
    ReadSettings(fd.get(), record_);
    lastLevels_ = lines ? LevelsFromModemBits(bits) : kLoopedBackLevels;
    lastCounters_ = counters;
    pendingErrors_ = 0;
    pendingEvents_ = 0;
  }
  hasModemLines_ = lines;
  hasCounters_ = haveCounters;
  hasTransmitterStatus_ = transmitterStatus;
  hungUp_ = false;
  txEmptyDue_ = false;
  lastOutQueue_ = -1;
  readTotal_ = 0;
  reportedArrivals_ = 0;
  seenPurgeCount_ = purgeCount_.load();
  lookAgain_.Drain();
  closeEvent_ = std::move(closeEvent);
  fd_ = std::move(fd);
  lowLatencySet_ = lowLatencySet;
  return ecOK;
}

TOpenFailure TApdPosixDevice::LastOpenFailure() const {
  std::lock_guard lock(fdMutex_);
  return openFailure_;
}

int TApdPosixDevice::OpenFailed(int err) {
  const TErrnoMeaning meaning = ErrnoMeaning(err, true);
  openFailure_ = meaning.Failure;
  return meaning.Result;
}

int TApdPosixDevice::OpenFailed(int err, TOpenFailure failure) {
  openFailure_ = failure;
  return ErrnoMeaning(err, true).Result;
}

void TApdPosixDevice::Close() {
  std::unique_lock lock(fdMutex_);
  if (!fd_.valid()) return;
  if (closing_) {  // another thread is closing: wait until it has
    fdIdle_.wait(lock, [this] { return !fd_.valid(); });
    return;
  }
  closing_ = true;
  closeEvent_->Signal();
  fdIdle_.wait(lock, [this] { return users_ == 0; });
  if (lowLatencySet_) {
    // Leave the driver as we found it; a device that vanished cannot be asked.
    bool changed = false;
    posix_kernel::SetLowLatency(fd_.get(), false, changed);
    lowLatencySet_ = false;
  }
  fd_.reset();  // also drops the lock and the exclusive mode
  closeEvent_.reset();
  closing_ = false;
  fdIdle_.notify_all();
}

int TApdPosixDevice::SetQueueSizes(int inSize, int outSize) {
  // The tty layer's queues have fixed sizes; ReceiveQueueSize says which.
  return inSize > 0 && outSize > 0 ? ecOK : ecInvalidParameter;
}

int TApdPosixDevice::ReceiveQueueSize() const {
  return kDriverReceiveQueue;
}

int TApdPosixDevice::ReadSettings(int fd, TDeviceSettings& s) {
  struct termios tio {};
  if (::tcgetattr(fd, &tio) != 0) return ApdResultFromErrno(errno);
  uint32_t baud = 0;
  if (posix_kernel::GetAnyBaud(fd, baud) == 0 && baud != 0) s.BaudRate = baud;

  // A pseudo-terminal has no wire: its driver forces CS8 without parity
  // whatever is asked, so the framing asked for is what it reports.
  if (!isPseudoTerminal_) {
    switch (tio.c_cflag & CSIZE) {
      case CS5:
        s.ByteSize = 5;
        break;
      case CS6:
        s.ByteSize = 6;
        break;
      case CS7:
        s.ByteSize = 7;
        break;
      default:
        s.ByteSize = 8;
        break;
    }
    if (!(tio.c_cflag & PARENB)) {
      s.Parity = NOPARITY;
    } else if (tio.c_cflag & CMSPAR) {
      s.Parity = (tio.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    } else {
      s.Parity = (tio.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    }
  }
  if (!(tio.c_cflag & CSTOPB)) {
    s.StopBits = ONESTOPBIT;
  } else if (s.ByteSize == 5) {
    // The UART sends 1.5 stop bits for CSTOPB with 5 data bits.
    s.StopBits = s.StopBits == TWOSTOPBITS ? TWOSTOPBITS : ONE5STOPBITS;
  } else {
    s.StopBits = TWOSTOPBITS;
  }

  s.Flags |= dcb_Binary;
  s.Flags = (tio.c_iflag & INPCK) ? (s.Flags | dcb_Parity) : (s.Flags & ~dcb_Parity);
  const uint32_t hwBits = dcb_OutxCtsFlow | dcb_RtsMask;
  if (!(tio.c_cflag & CRTSCTS)) {
    s.Flags &= ~dcb_OutxCtsFlow;
    if ((s.Flags & dcb_RtsMask) == dcb_RtsHandshake) s.Flags = (s.Flags & ~hwBits) | dcb_RtsEnable;
  } else if (!(s.Flags & dcb_OutxCtsFlow) && (s.Flags & dcb_RtsMask) != dcb_RtsHandshake) {
    // Someone else switched it on: it works both ways.
    s.Flags = (s.Flags & ~hwBits) | dcb_OutxCtsFlow | dcb_RtsHandshake;
  }
  s.Flags = (tio.c_iflag & IXON) ? (s.Flags | dcb_OutX) : (s.Flags & ~dcb_OutX);
  s.Flags = (tio.c_iflag & IXOFF) ? (s.Flags | dcb_InX) : (s.Flags & ~dcb_InX);
  s.XonChar = tio.c_cc[VSTART];
  s.XoffChar = tio.c_cc[VSTOP];
  return ecOK;
}

int TApdPosixDevice::GetState(TDeviceSettings& settings) {
  TUse use(*this);
  if (!use) return ecCommNotOpen;
  std::lock_guard state(stateMutex_);
  TDeviceSettings s = record_;
  if (int rc = ReadSettings(use.fd(), s)) return rc;
  settings = s;
  return ecOK;
}

// What termios cannot express is left out, not imitated: the XON/XOFF
// limits (XonLim, XoffLim, which the flow thresholds BufferFull and
// BufferResume become) are the kernel's own fixed thresholds; DSR-held
// output (dcb_OutxDsrFlow, hfRequireDSR) and DTR handshake
// (dcb_DtrHandshake, hfUseDTR) do not exist, so DTR simply stays where it
// was. Hardware handshake is CRTSCTS on RTS and CTS only.
int TApdPosixDevice::ApplyTermios(int fd, const TDeviceSettings& s) {
  struct termios tio {};
  if (::tcgetattr(fd, &tio) != 0) return ApdResultFromErrno(errno);
  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  tio.c_cflag |= kSizes[s.ByteSize - 5] | CLOCAL | CREAD;
  switch (s.Parity) {
    case ODDPARITY:
      tio.c_cflag |= PARENB | PARODD;
      break;
    case EVENPARITY:
      tio.c_cflag |= PARENB;
      break;
    case MARKPARITY:
      tio.c_cflag |= PARENB | CMSPAR | PARODD;
      break;
    case SPACEPARITY:
      tio.c_cflag |= PARENB | CMSPAR;
      break;
    default:
      break;
  }
  if (s.StopBits != ONESTOPBIT) tio.c_cflag |= CSTOPB;
  // Linux has one switch for both directions of hardware handshake.
  if ((s.Flags & dcb_OutxCtsFlow) || (s.Flags & dcb_RtsMask) == dcb_RtsHandshake) {
    tio.c_cflag |= CRTSCTS;
  }
  tio.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK | IGNPAR | PARMRK | ISTRIP);
  if (s.Flags & dcb_Parity) tio.c_iflag |= INPCK;
  if (s.Flags & dcb_OutX) tio.c_iflag |= IXON;
  if (s.Flags & dcb_InX) tio.c_iflag |= IXOFF;
  tio.c_cc[VSTART] = s.XonChar;
  tio.c_cc[VSTOP] = s.XoffChar;
  if (::tcsetattr(fd, TCSANOW, &tio) != 0) return ApdResultFromErrno(errno);
  return ApplyBaud(fd, s.BaudRate);
}

int TApdPosixDevice::SetState(const TDeviceSettings& s) {
  if (!IsSupportedLineSettings(s)) return ecInvalidParameter;
  TUse use(*this);
  if (!use) return ecCommNotOpen;
  std::lock_guard state(stateMutex_);
  if (int rc = ApplyTermios(use.fd(), s)) return rc;
  record_ = s;
  // The record's fixed DTR and RTS levels take effect with it.
  int rc = ecOK;
  const uint32_t dtr = s.Flags & dcb_DtrMask;
  if (dtr == dcb_DtrEnable || dtr == dcb_DtrDisable) {
    rc = SetLine(use.fd(), TIOCM_DTR, dtr == dcb_DtrEnable);
  }
  const uint32_t rts = s.Flags & dcb_RtsMask;
  if (rc == ecOK && rts != dcb_RtsToggle) {
    rc = SetLine(use.fd(), TIOCM_RTS, rts != dcb_RtsDisable);
  }
  return rc;
}

int TApdPosixDevice::SetLine(int fd, int modemBit, bool on) {
  if (!hasModemLines_) return ecOK;  // a pseudo-terminal: nothing to drive
  if (RetryIoctl(fd, on ? TIOCMBIS : TIOCMBIC, &modemBit) != 0) return ApdResultFromErrno(errno);
  return ecOK;
}

int TApdPosixDevice::Read(uint8_t* buffer, int n) {
  if (n <= 0) return 0;
  TUse use(*this);
  if (!use) return 0;
  ssize_t got;
  do {
    got = ::read(use.fd(), buffer, static_cast<size_t>(n));
  } while (got < 0 && errno == EINTR);
  if (got <= 0) return 0;
  readTotal_.fetch_add(static_cast<uint64_t>(got));
  if (wantRxRearm_.exchange(false)) lookAgain_.Signal();
  return static_cast<int>(got);
}

int TApdPosixDevice::Write(const uint8_t* data, int n) {
  if (n <= 0) return 0;
  TUse use(*this);
  if (!use) return ecCommNotOpen;
  ssize_t put;
  do {
    put = ::write(use.fd(), data, static_cast<size_t>(n));
  } while (put < 0 && errno == EINTR);
  if (put > 0 && !txEmptyDue_.exchange(true)) lookAgain_.Signal();  // time the drain
  if (put >= 0) return static_cast<int>(put);
  if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
  return ApdResultFromErrno(errno);
}

int TApdPosixDevice::WaitWritable(int cancelFd) {
  TUse use(*this);
  if (!use || hungUp_) return kDeviceClosed;
  int closeFd;
  {
    std::lock_guard lock(fdMutex_);
    closeFd = closeEvent_->get();
  }
  const int lookMs = isPseudoTerminal_ ? kPtyWritableLookMs : -1;
  for (;;) {
    struct pollfd fds[3] = {{closeFd, POLLIN, 0}, {use.fd(), POLLOUT, 0}, {cancelFd, POLLIN, 0}};
    const int rc = ::poll(fds, cancelFd >= 0 ? 3 : 2, lookMs);
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0 || fds[0].revents) return kDeviceClosed;
    if (cancelFd >= 0 && fds[2].revents) return kWaitCancelled;
    if (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) {
      hungUp_ = true;
      return kDeviceClosed;
    }
    if (fds[1].revents & POLLOUT) return kWaitReady;
  }
}

void TApdPosixDevice::SampleLines(int fd) {
  uint32_t events = 0;
  if (hasModemLines_) {
    int bits = 0;
    if (RetryIoctl(fd, TIOCMGET, &bits) == 0) {
      const uint8_t levels = LevelsFromModemBits(bits);
      const uint8_t changed = levels ^ lastLevels_;
      if (changed & ms_CtsOn) events |= ev_Cts;
      if (changed & ms_DsrOn) events |= ev_Dsr;
      if (changed & ms_RlsdOn) events |= ev_Rlsd;
      if (changed & ms_RingOn) events |= (levels & ms_RingOn) ? ev_Ring : ev_RingTe;
      lastLevels_ = levels;
    }
  }
  posix_kernel::TLineCounters now;
  if (hasCounters_ && posix_kernel::ReadLineCounters(fd, now) == 0) {
    // The counters also catch pulses shorter than the sampling interval.
    const auto& was = lastCounters_;
    if (now.cts != was.cts) events |= ev_Cts;
    if (now.dsr != was.dsr) events |= ev_Dsr;
    if (now.dcd != was.dcd) events |= ev_Rlsd;
    if (now.rng != was.rng && !(events & ev_RingTe)) events |= ev_Ring;
    uint32_t errors = 0;
    if (now.bufOverrun != was.bufOverrun) errors |= ce_RxOver;
    if (now.overrun != was.overrun) errors |= ce_Overrun;
    if (now.parity != was.parity) errors |= ce_RxParity;
    if (now.frame != was.frame) errors |= ce_Frame;
    if (errors) events |= ev_Err;
    if (now.brk != was.brk) {
      errors |= ce_Break;
      events |= ev_Break;
    }
    pendingErrors_ |= errors;
    lastCounters_ = now;
  }
  pendingEvents_ |= events;
}

// No kernel event says when the transmit queue has run empty. After a write
// the queue is looked at again once the bytes TIOCOUTQ reports can have left
// the wire; once it reads 0, the UART's FIFO and shift register are asked
// where the driver can tell. A look that finds no progress (output held by
// CTS or XOFF) doubles the time to the next one, up to the line-poll period.
// A pseudo-terminal hands bytes to its other side at once: it reports 0.
bool TApdPosixDevice::TransmitterDrained(int fd, std::chrono::nanoseconds charTime,
                                         std::chrono::nanoseconds& lookAgainIn) {
  lookAgainIn = std::chrono::nanoseconds::zero();
  if (!txEmptyDue_.exchange(false)) {
    lastOutQueue_ = -1;
    return false;
  }
  int queued = 0;
  if (RetryIoctl(fd, TIOCOUTQ, &queued) != 0 || queued < 0) queued = 0;
  bool shifting = false;
  if (queued == 0 && hasTransmitterStatus_) {
    int lineStatus = 0;
    shifting = RetryIoctl(fd, TIOCSERGETLSR, &lineStatus) == 0 && !(lineStatus & TIOCSER_TEMT);
  }
  if (queued == 0 && !shifting) {
    lastOutQueue_ = -1;
    return true;
  }
  // A write in between found the flag clear and woke us: a spare look.
  txEmptyDue_ = true;
  if (queued != lastOutQueue_) {
    txLookInterval_ =
        std::max<std::chrono::nanoseconds>(charTime * std::max(queued, 1), kShortestTxLook);
  } else {
    txLookInterval_ = std::min(txLookInterval_ * 2, kLongestTxLook);
  }
  lastOutQueue_ = queued;
  lookAgainIn = txLookInterval_;
  return false;
}

int TApdPosixDevice::WaitEvent(uint32_t mask, uint32_t& happened) {
  happened = 0;
  TUse use(*this);
  if (!use) return kDeviceClosed;
  if (mask == 0) return ecInvalidParameter;
  int closeFd;
  {
    std::lock_guard lock(fdMutex_);
    closeFd = closeEvent_->get();
  }
  const bool wantRx = mask & ev_RxChar;
  bool quietRx = false;  // POLLIN fired with nothing to show: do not trust it once
  for (;;) {
    if (hungUp_) return kDeviceClosed;
    uint32_t events = 0;
    std::chrono::nanoseconds charTime;
    {
      std::lock_guard state(stateMutex_);
      SampleLines(use.fd());
      events = pendingEvents_ & mask;
      pendingEvents_ = 0;
      charTime = CharacterTime(record_);
    }
    std::chrono::nanoseconds txLook{0};
    if ((mask & ev_TxEmpty) && TransmitterDrained(use.fd(), charTime, txLook)) {
      events |= ev_TxEmpty;
    }
    int waiting = 0;
    if (wantRx) {
      wantRxRearm_ = true;  // before sampling, so no Read slips past unseen
      const uint32_t purges = purgeCount_.load();
      if (purges != seenPurgeCount_) {
        // Whatever waits after a purge arrived after it.
        seenPurgeCount_ = purges;
        reportedArrivals_ = readTotal_.load();
      }
      if (RetryIoctl(use.fd(), FIONREAD, &waiting) != 0) waiting = 0;
      const uint64_t arrivals = readTotal_.load() + static_cast<uint64_t>(waiting);
      if (arrivals < reportedArrivals_) reportedArrivals_ = arrivals;
      if (arrivals > reportedArrivals_) {
        reportedArrivals_ = arrivals;
        events |= ev_RxChar;
      }
    }
    if (events) {
      wantRxRearm_ = false;
      happened = events;
      return kWaitReady;
    }
    // Unread bytes keep POLLIN up; ignore it until a Read or a purge wakes
    // us, and look again now and then for more arrivals.
    const bool pollRx = wantRx && waiting == 0 && !quietRx;
    const bool timed = hasModemLines_ || hasCounters_ || (wantRx && !pollRx);
    std::chrono::nanoseconds wait = timed ? kLinePoll : std::chrono::nanoseconds::max();
    if (txLook.count() > 0) wait = std::min(wait, txLook);
    struct timespec timeout {};
    timeout.tv_sec = static_cast<time_t>(wait / std::chrono::seconds(1));
    timeout.tv_nsec = static_cast<long>((wait % std::chrono::seconds(1)).count());
    const bool forever = wait == std::chrono::nanoseconds::max();
    struct pollfd fds[3] = {{closeFd, POLLIN, 0},
                            {use.fd(), static_cast<short>(pollRx ? POLLIN : 0), 0},
                            {lookAgain_.get(), POLLIN, 0}};
    const int rc = ::ppoll(fds, 3, forever ? nullptr : &timeout, nullptr);
    if (rc < 0 && errno != EINTR) return kDeviceClosed;
    if (fds[0].revents) return kDeviceClosed;
    if (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) {
      // A USB adapter that was pulled out, or a pseudo-terminal whose
      // other side closed: the port is gone.
      hungUp_ = true;
      return kDeviceClosed;
    }
    if (fds[2].revents) lookAgain_.Drain();
    quietRx = pollRx && (fds[1].revents & POLLIN) && !fds[2].revents;
    if (quietRx) {
      // Only suppress when the next look finds nothing new either.
      int now = 0;
      if (RetryIoctl(use.fd(), FIONREAD, &now) == 0 && now > 0) quietRx = false;
    }
  }
}

uint32_t TApdPosixDevice::GetError(TDeviceStatus& status) {
  status = TDeviceStatus{};
  TUse use(*this);
  if (!use) return 0;
  uint32_t errors;
  bool ctsFlow;
  uint8_t levels;
  {
    std::lock_guard state(stateMutex_);
    SampleLines(use.fd());
    errors = pendingErrors_;
    pendingErrors_ = 0;
    // CRTSCTS is on for either bit, and it always holds output on CTS.
    ctsFlow =
        (record_.Flags & dcb_OutxCtsFlow) || (record_.Flags & dcb_RtsMask) == dcb_RtsHandshake;
    levels = lastLevels_;
  }
  if (ctsFlow && hasModemLines_ && !(levels & ms_CtsOn)) status.HoldFlags |= hold_Cts;
  int count = 0;
  if (RetryIoctl(use.fd(), FIONREAD, &count) == 0 && count > 0) {
    status.InQue = static_cast<uint32_t>(count);
  }
  // What the driver still has to transmit (always 0 on a pseudo-terminal).
  count = 0;
  if (RetryIoctl(use.fd(), TIOCOUTQ, &count) == 0 && count > 0) {
    status.OutQue = static_cast<uint32_t>(count);
  }
  return errors;
}

int TApdPosixDevice::GetModemLines(uint8_t& levels) {
  levels = 0;
  TUse use(*this);
  if (!use) return ecCommNotOpen;
  if (!hasModemLines_) {
    levels = kLoopedBackLevels;
    return ecOK;
  }
  int bits = 0;
  if (RetryIoctl(use.fd(), TIOCMGET, &bits) != 0) return ApdResultFromErrno(errno);
  levels = LevelsFromModemBits(bits);
  return ecOK;
}

int TApdPosixDevice::Escape(int function) {
  if (function == GETBASEADDRESS) return 0;  // no I/O ports behind a tty
  TUse use(*this);
  if (!use) return ecCommNotOpen;
  switch (function) {
    case SETRTS:
      return SetLine(use.fd(), TIOCM_RTS, true);
    case CLRRTS:
      return SetLine(use.fd(), TIOCM_RTS, false);
    case SETDTR:
      return SetLine(use.fd(), TIOCM_DTR, true);
    case CLRDTR:
      return SetLine(use.fd(), TIOCM_DTR, false);
    case SETBREAK:
    case CLRBREAK:
      if (RetryIoctl(use.fd(), function == SETBREAK ? TIOCSBRK : TIOCCBRK, nullptr) != 0) {
        return ApdResultFromErrno(errno);
      }
      return ecOK;
    default:
      return ecInvalidParameter;
  }
}

int TApdPosixDevice::Purge(uint32_t flags) {
  TUse use(*this);
  if (!use) return ecCommNotOpen;
  const bool rx = flags & (PURGE_RXABORT | PURGE_RXCLEAR);
  // A pseudo-terminal has no transmit queue: what we wrote is already the
  // other side's input, and TCOFLUSH on our side would discard what that
  // side has not read yet.
  const bool tx = !isPseudoTerminal_ && (flags & (PURGE_TXABORT | PURGE_TXCLEAR));
  if (!rx && !tx) return ecOK;
  if (::tcflush(use.fd(), rx && tx ? TCIOFLUSH : (rx ? TCIFLUSH : TCOFLUSH)) != 0) {
    return ApdResultFromErrno(errno);
  }
  if (rx) {
    purgeCount_.fetch_add(1);
    lookAgain_.Signal();
  }
  if (tx) txEmptyDue_ = false;  // nothing was sent
  return ecOK;
}

}  // namespace kestrel
