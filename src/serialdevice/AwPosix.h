#pragma once
// The termios device: real UARTs, USB-serial adapters and pseudo-terminals.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "serialdevice/AwDevice.h"
#include "serialdevice/AwFd.h"
#include "serialdevice/AwPosixBaud.h"

namespace kestrel {

// What an errno means: this layer's result code, and for a failed open
// what the operator is told.
struct TErrnoMeaning {
  int Result = 0;
  TOpenFailure Failure = TOpenFailure::ofNone;
};

// The one place that reads errno values. Result codes: no such device -2
// (ENOENT, ENODEV, ENXIO, and EIO, which a vanished device gives), path -3,
// too many files -4, in use or denied -5 (EBUSY, EACCES, EPERM, and
// EWOULDBLOCK from the lock at open), bad descriptor -6, no memory -8, bad
// argument -87. Any other errno is minus itself, so its text is the
// platform's, except where that number has a text of its own in the message
// table: those read "General failure" (-162). Open failures: a missing path
// is no device; ENOTTY and EISDIR (a file, a folder, /dev/null) are no
// serial device; EACCES, EPERM and EROFS are permission; EBUSY (another
// opener's exclusive mode) and the lock at open are in use.
TErrnoMeaning ErrnoMeaning(int err, bool atOpen = false);
inline int ApdResultFromErrno(int err, bool atOpen = false) {
  return ErrnoMeaning(err, atOpen).Result;
}

// Thread contract: as TApdSerialDevice. Close may race with every other
// call; the descriptor is released only once no call is using it, so a
// descriptor number is never reused under a running call.
class TApdPosixDevice final : public TApdSerialDevice {
 public:
  explicit TApdPosixDevice(std::string path);
  ~TApdPosixDevice() override;

  std::string Path() const override { return path_; }
  int Open() override;
  TOpenFailure LastOpenFailure() const override;
  void Close() override;
  bool IsOpen() const override;
  int SetQueueSizes(int inSize, int outSize) override;
  int ReceiveQueueSize() const override;
  int GetState(TDeviceSettings& settings) override;
  int SetState(const TDeviceSettings& settings) override;
  int Read(uint8_t* buffer, int n) override;
  int Write(const uint8_t* data, int n) override;
  int WaitWritable(int cancelFd) override;
  int WaitEvent(uint32_t mask, uint32_t& happened) override;
  uint32_t GetError(TDeviceStatus& status) override;
  int GetModemLines(uint8_t& levels) override;
  int Escape(int function) override;
  int Purge(uint32_t flags) override;

  // False on a pseudo-terminal: it has no modem lines, so CTS, DSR and DCD
  // read as up and DTR/RTS changes succeed without effect.
  bool HasModemLines() const { return hasModemLines_; }

 private:
  class TUse;

  // Records why Open failed (as `err` means, or as `failure` when the
  // caller knows better); returns the result code for `err`.
  int OpenFailed(int err);
  int OpenFailed(int err, TOpenFailure failure);
  int EnterUse();
  void LeaveUse();
  int ApplyTermios(int fd, const TDeviceSettings& s);
  int ReadSettings(int fd, TDeviceSettings& s);
  int SetLine(int fd, int modemBit, bool on);
  // Compares modem lines and driver counters with the last sample and
  // accumulates events and error bits. Caller holds stateMutex_.
  void SampleLines(int fd);
  // Device-wait thread. True when a transmit-empty report is due now; else
  // `lookAgainIn` says when to look next (nothing when none is pending).
  bool TransmitterDrained(int fd, std::chrono::nanoseconds charTime,
                          std::chrono::nanoseconds& lookAgainIn);

  const std::string path_;

  mutable std::mutex fdMutex_;  // fd_, closeEvent_, users_, closing_, openFailure_
  std::condition_variable fdIdle_;
  TApdFd fd_;
  std::unique_ptr<TApdEventFd> closeEvent_;
  int users_ = 0;
  bool closing_ = false;
  bool lowLatencySet_ = false;  // Open asked the driver for low latency
  TOpenFailure openFailure_ = TOpenFailure::ofNone;

  bool isPseudoTerminal_ = false;  // set by Open before the descriptor is shared
  std::atomic<bool> hasModemLines_{false};
  std::atomic<bool> hasCounters_{false};
  // The driver tells when the UART's FIFO and shift register are empty.
  std::atomic<bool> hasTransmitterStatus_{false};
  std::atomic<bool> hungUp_{false};

  std::mutex stateMutex_;  // the fields below up to the atomics
  TDeviceSettings record_;
  uint8_t lastLevels_ = 0;
  posix_kernel::TLineCounters lastCounters_;
  uint32_t pendingErrors_ = 0;
  uint32_t pendingEvents_ = 0;

  // Received-byte edges: arrivals = bytes read so far + bytes waiting.
  std::atomic<uint64_t> readTotal_{0};
  std::atomic<uint32_t> purgeCount_{0};
  std::atomic<bool> wantRxRearm_{false};
  // Read and Purge wake a wait that ignores POLLIN; Write wakes it to time
  // the transmit queue's drain.
  TApdEventFd lookAgain_;

  // Bytes were written since the transmit queue was last reported empty.
  std::atomic<bool> txEmptyDue_{false};

  // Device-wait thread only.
  uint64_t reportedArrivals_ = 0;
  uint32_t seenPurgeCount_ = 0;
  int lastOutQueue_ = -1;                       // TIOCOUTQ at the previous look
  std::chrono::nanoseconds txLookInterval_{0};  // time between looks at it
};

}  // namespace kestrel
