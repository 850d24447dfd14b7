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
// leaving every other termios field as it is. A driver may round the rate
// or fall back to another one without failing: GetAnyBaud tells.
int SetAnyBaud(int fd, uint32_t baud);
// Reads the output speed the driver really uses.
int GetAnyBaud(int fd, uint32_t& baud);

// The two rate calls are a system-call seam too, so that tests can stand in
// a driver that refuses rates. nullptr restores the kernel's.
struct TBaudCalls {
  int (*Set)(int fd, uint32_t baud);
  int (*Get)(int fd, uint32_t& baud);
};
void SetBaudCalls(const TBaudCalls* calls);

// The driver's serial flags word (TIOCGSERIAL / TIOCSSERIAL), the system-call
// seam of the latency setting: tests put a driver of their own behind it.
// Each call returns 0 or an errno.
struct TSerialFlagsCalls {
  int (*Get)(int fd, int& flags);
  int (*Set)(int fd, int flags);
};
// Routes the calls through `calls` (which must outlive its use); nullptr
// restores the kernel's.
void SetSerialFlagsCalls(const TSerialFlagsCalls* calls);

// The flag that makes the driver hand received bytes up at once instead of
// batching them (USB adapters wait up to 16 ms otherwise).
inline constexpr int kLowLatencyFlag = 0x2000;

// Sets low latency on or off, leaving every other flag as it is. `changed`
// tells whether the flag had to change.
int SetLowLatency(int fd, bool on, bool& changed);

// The driver's interrupt counters (TIOCGICOUNT).
struct TLineCounters {
  uint32_t cts = 0, dsr = 0, rng = 0, dcd = 0;
  uint32_t frame = 0, overrun = 0, parity = 0, brk = 0, bufOverrun = 0;
};
int ReadLineCounters(int fd, TLineCounters& counters);

}  // namespace kestrel::posix_kernel
