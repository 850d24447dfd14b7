// Kernel-header ioctls for the termios device. No <termios.h> here: the
// kernel's struct termios and termios2 come from <asm/termbits.h>.
#include "serialdevice/AwPosixBaud.h"

#include <asm/termbits.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <atomic>
#include <cerrno>

namespace kestrel::posix_kernel {

namespace {
int Ioctl(int fd, unsigned long request, void* arg) {
  int rc;
  do {
    rc = ::ioctl(fd, request, arg);
  } while (rc < 0 && errno == EINTR);
  return rc < 0 ? errno : 0;
}
}  // namespace

namespace {
int KernelSetAnyBaud(int fd, uint32_t baud) {
  struct termios2 tio {};
  if (int err = Ioctl(fd, TCGETS2, &tio)) return err;
  tio.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  tio.c_ospeed = baud;
  tio.c_ispeed = baud;
  return Ioctl(fd, TCSETS2, &tio);
}

int KernelGetAnyBaud(int fd, uint32_t& baud) {
  struct termios2 tio {};
  if (int err = Ioctl(fd, TCGETS2, &tio)) return err;
  baud = tio.c_ospeed;
  return 0;
}

constexpr TBaudCalls kKernelBaud = {KernelSetAnyBaud, KernelGetAnyBaud};
std::atomic<const TBaudCalls*> baudCalls{&kKernelBaud};
}  // namespace

void SetBaudCalls(const TBaudCalls* calls) {
  baudCalls = calls ? calls : &kKernelBaud;
}

int SetAnyBaud(int fd, uint32_t baud) {
  return baudCalls.load()->Set(fd, baud);
}

int GetAnyBaud(int fd, uint32_t& baud) {
  return baudCalls.load()->Get(fd, baud);
}

namespace {
static_assert(kLowLatencyFlag == ASYNC_LOW_LATENCY);

int KernelGetSerialFlags(int fd, int& flags) {
  struct serial_struct serial {};
  if (int err = Ioctl(fd, TIOCGSERIAL, &serial)) return err;
  flags = serial.flags;
  return 0;
}

int KernelSetSerialFlags(int fd, int flags) {
  struct serial_struct serial {};
  if (int err = Ioctl(fd, TIOCGSERIAL, &serial)) return err;
  serial.flags = flags;
  return Ioctl(fd, TIOCSSERIAL, &serial);
}

constexpr TSerialFlagsCalls kKernelSerialFlags = {KernelGetSerialFlags, KernelSetSerialFlags};
std::atomic<const TSerialFlagsCalls*> serialFlagsCalls{&kKernelSerialFlags};
}  // namespace

void SetSerialFlagsCalls(const TSerialFlagsCalls* calls) {
  serialFlagsCalls = calls ? calls : &kKernelSerialFlags;
}

int SetLowLatency(int fd, bool on, bool& changed) {
  changed = false;
  const TSerialFlagsCalls& calls = *serialFlagsCalls.load();
  int flags = 0;
  if (int err = calls.Get(fd, flags)) return err;
  if (((flags & kLowLatencyFlag) != 0) == on) return 0;
  if (int err = calls.Set(fd, on ? flags | kLowLatencyFlag : flags & ~kLowLatencyFlag)) return err;
  changed = true;
  return 0;
}

int ReadLineCounters(int fd, TLineCounters& counters) {
  struct serial_icounter_struct icount {};
  if (int err = Ioctl(fd, TIOCGICOUNT, &icount)) return err;
  counters.cts = static_cast<uint32_t>(icount.cts);
  counters.dsr = static_cast<uint32_t>(icount.dsr);
  counters.rng = static_cast<uint32_t>(icount.rng);
  counters.dcd = static_cast<uint32_t>(icount.dcd);
  counters.frame = static_cast<uint32_t>(icount.frame);
  counters.overrun = static_cast<uint32_t>(icount.overrun);
  counters.parity = static_cast<uint32_t>(icount.parity);
  counters.brk = static_cast<uint32_t>(icount.brk);
  counters.bufOverrun = static_cast<uint32_t>(icount.buf_overrun);
  return 0;
}

}  // namespace kestrel::posix_kernel
