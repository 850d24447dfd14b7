#pragma once
// Termios device helpers that need the kernel's own headers. Those headers
// (<asm/termbits.h>, <linux/serial.h>) clash with glibc's <termios.h>, so they
// live in AwPosixBaud.cpp alone and only plain types cross this header.
// Each helper returns 0 or the errno of the failed ioctl.
//
// Thread contract: any thread; callers serialise calls on one descriptor.

#include <cstdint>

namespace kestrel::posix_kernel {

// Sets input and output speed to any integer baud (termios2 + BOTHER),
// leaving every other termios field as it is.
int SetAnyBaud(int fd, uint32_t baud);
// Reads the output speed the driver really uses.
int GetAnyBaud(int fd, uint32_t& baud);

// Asks the driver to hand received bytes up at once instead of batching
// them (USB adapters wait up to 16 ms otherwise). Best effort.
int RequestLowLatency(int fd);

// The driver's interrupt counters (TIOCGICOUNT).
struct TLineCounters {
  uint32_t cts = 0, dsr = 0, rng = 0, dcd = 0;
  uint32_t frame = 0, overrun = 0, parity = 0, brk = 0, bufOverrun = 0;
};
int ReadLineCounters(int fd, TLineCounters& counters);

}  // namespace kestrel::posix_kernel
