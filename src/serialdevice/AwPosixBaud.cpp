// Kernel-header ioctls for the termios device. No <termios.h> here: the
// kernel's struct termios and termios2 come from <asm/termbits.h>.
#include "AwPosixBaud.h"

#include <asm/termbits.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

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

int SetAnyBaud(int fd, uint32_t baud) {
  struct termios2 tio {};
  if (int err = Ioctl(fd, TCGETS2, &tio)) return err;
  tio.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  tio.c_ospeed = baud;
  tio.c_ispeed = baud;
  return Ioctl(fd, TCSETS2, &tio);
}

int GetAnyBaud(int fd, uint32_t& baud) {
  struct termios2 tio {};
  if (int err = Ioctl(fd, TCGETS2, &tio)) return err;
  baud = tio.c_ospeed;
  return 0;
}

int RequestLowLatency(int fd) {
  struct serial_struct serial {};
  if (int err = Ioctl(fd, TIOCGSERIAL, &serial)) return err;
  if (serial.flags & ASYNC_LOW_LATENCY) return 0;
  serial.flags |= ASYNC_LOW_LATENCY;
  return Ioctl(fd, TIOCSSERIAL, &serial);
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
