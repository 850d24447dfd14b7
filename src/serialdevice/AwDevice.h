#pragma once
// The seam between the dispatcher and a concrete serial device.
//
// The dispatcher keeps the classic serial-driver model: a device control
// record with flag bits, error bits, hold flags, modem-line bits and event
// bits. A device translates that model onto whatever it really is (a termios
// file descriptor, an in-memory null-modem cable, ...).
//
// Thread contract (for every implementation):
//   - Open, SetQueueSizes, GetState, SetState, Escape, SetBreak, Purge,
//     GetError, GetModemLines: any thread; callers serialise them (the
//     dispatcher holds its main or output lock).
//   - Read: the dispatch thread only.
//   - Write: one caller at a time (the dispatcher's output thread, or a
//     writer holding its output lock while nothing waits in its ring).
//   - WaitWritable: the output thread only.
//   - WaitEvent: the device-wait thread only.
//   - Close: any thread, at any time; it ends a blocked WaitEvent and
//     WaitWritable at once (they return kDeviceClosed).

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kestrel {

// Device control record flag bits.
inline constexpr uint32_t dcb_Binary = 0x0001;
inline constexpr uint32_t dcb_Parity = 0x0002;
inline constexpr uint32_t dcb_OutxCtsFlow = 0x0004;
inline constexpr uint32_t dcb_OutxDsrFlow = 0x0008;
inline constexpr uint32_t dcb_DtrMask = 0x0030;
inline constexpr uint32_t dcb_DtrDisable = 0x0000;
inline constexpr uint32_t dcb_DtrEnable = 0x0010;
inline constexpr uint32_t dcb_DtrHandshake = 0x0020;
inline constexpr uint32_t dcb_DsrSensitivity = 0x0040;
inline constexpr uint32_t dcb_TxContinueOnXoff = 0x0080;
inline constexpr uint32_t dcb_OutX = 0x0100;
inline constexpr uint32_t dcb_InX = 0x0200;
inline constexpr uint32_t dcb_ErrorChar = 0x0400;
inline constexpr uint32_t dcb_Null = 0x0800;
inline constexpr uint32_t dcb_RtsMask = 0x3000;
inline constexpr uint32_t dcb_RtsDisable = 0x0000;
inline constexpr uint32_t dcb_RtsEnable = 0x1000;
inline constexpr uint32_t dcb_RtsHandshake = 0x2000;
inline constexpr uint32_t dcb_RtsToggle = 0x3000;

// Parity values of the record.
inline constexpr uint8_t NOPARITY = 0, ODDPARITY = 1, EVENPARITY = 2, MARKPARITY = 3,
                         SPACEPARITY = 4;
// Stop-bit values of the record.
inline constexpr uint8_t ONESTOPBIT = 0, ONE5STOPBITS = 1, TWOSTOPBITS = 2;

struct TDeviceSettings {
  uint32_t BaudRate = 9600;
  uint32_t Flags = dcb_Binary | dcb_DtrEnable | dcb_RtsEnable;
  uint16_t XonLim = 0;
  uint16_t XoffLim = 0;
  uint8_t ByteSize = 8;
  uint8_t Parity = NOPARITY;
  uint8_t StopBits = ONESTOPBIT;
  uint8_t XonChar = 0x11;
  uint8_t XoffChar = 0x13;
};

// Hold flags of the status record.
inline constexpr uint32_t hold_Cts = 0x01;
inline constexpr uint32_t hold_Dsr = 0x02;
inline constexpr uint32_t hold_Dcd = 0x04;
inline constexpr uint32_t hold_XoffReceived = 0x08;
inline constexpr uint32_t hold_XoffSent = 0x10;

struct TDeviceStatus {
  uint32_t HoldFlags = 0;
  uint32_t InQue = 0;  // bytes waiting in the device's receive queue
  // Bytes the device has accepted from Write but not yet put on the wire: a
  // driver's transmit queue (TIOCOUTQ), the simulated transmitter's lane.
  // The dispatcher adds the bytes still in its output ring, so that a port
  // reporting nothing queued has really sent everything. A device whose
  // writes reach the other side at once (a pseudo-terminal) reports 0.
  uint32_t OutQue = 0;
};

// Error bits reported (and cleared) by GetError.
inline constexpr uint32_t ce_RxOver = 0x01;
inline constexpr uint32_t ce_Overrun = 0x02;
inline constexpr uint32_t ce_RxParity = 0x04;
inline constexpr uint32_t ce_Frame = 0x08;
inline constexpr uint32_t ce_Break = 0x10;

// Modem-line levels.
inline constexpr uint8_t ms_CtsOn = 0x10;
inline constexpr uint8_t ms_DsrOn = 0x20;
inline constexpr uint8_t ms_RingOn = 0x40;
inline constexpr uint8_t ms_RlsdOn = 0x80;

// Device event bits.
inline constexpr uint32_t ev_RxChar = 0x0001;
// The device's transmit queue became empty after output: everything Write
// accepted has been sent (as far as the device can tell; see WaitEvent).
inline constexpr uint32_t ev_TxEmpty = 0x0004;
inline constexpr uint32_t ev_Cts = 0x0008;
inline constexpr uint32_t ev_Dsr = 0x0010;
inline constexpr uint32_t ev_Rlsd = 0x0020;
inline constexpr uint32_t ev_Break = 0x0040;
inline constexpr uint32_t ev_Err = 0x0080;
inline constexpr uint32_t ev_Ring = 0x0100;
inline constexpr uint32_t ev_RingTe = 0x2000;

// Escape functions.
inline constexpr int SETRTS = 3, CLRRTS = 4, SETDTR = 5, CLRDTR = 6, SETBREAK = 8, CLRBREAK = 9,
                     GETBASEADDRESS = 10;

// Purge flags.
inline constexpr uint32_t PURGE_TXABORT = 0x0001, PURGE_RXABORT = 0x0002, PURGE_TXCLEAR = 0x0004,
                          PURGE_RXCLEAR = 0x0008;

// Line settings every device accepts: any baud above 0, 5..8 data bits,
// parity none..space, one, one and a half (5 data bits only) or two stop bits.
inline bool IsSupportedLineSettings(const TDeviceSettings& s) {
  return s.BaudRate > 0 && s.ByteSize >= 5 && s.ByteSize <= 8 && s.Parity <= SPACEPARITY &&
         s.StopBits <= TWOSTOPBITS && (s.StopBits != ONE5STOPBITS || s.ByteSize == 5);
}

// The wire time of one character: start bit, data bits, parity bit and stop
// bits at the baud rate, rounded up to the next nanosecond.
inline std::chrono::nanoseconds CharacterTime(const TDeviceSettings& s) {
  // Counted in half bits for one and a half stop bits.
  const uint64_t halfBits = 2u * (1u + s.ByteSize + (s.Parity != NOPARITY ? 1u : 0u)) +
                            (s.StopBits == ONESTOPBIT     ? 2u
                             : s.StopBits == ONE5STOPBITS ? 3u
                                                          : 4u);
  const uint64_t twiceBaud = 2ull * (s.BaudRate > 0 ? s.BaudRate : 1u);
  return std::chrono::nanoseconds((halfBits * 1'000'000'000ull + twiceBaud - 1) / twiceBaud);
}

// Results of the blocking waits.
inline constexpr int kWaitReady = 0;      // the awaited condition holds
inline constexpr int kWaitCancelled = 1;  // the cancel descriptor became readable
inline constexpr int kDeviceClosed = -1;  // the device was closed (or failed)

// Why a device could not be opened, in terms an operator can act on.
enum class TOpenFailure {
  ofNone,        // it opened, or the device cannot tell
  ofNoDevice,    // nothing is there (or what was there has gone)
  ofNotSerial,   // something that is no serial device: a file, a folder, /dev/null
  ofPermission,  // the user may not open it
  ofInUse,       // another program holds it
  ofConsole,     // the kernel's console, which is never opened unasked
  ofOther,
};

// Error numbers a device reports, negated (no such device -2, path -3,
// in use or denied -5, no memory -8, bad argument -87). Any other failure
// is minus the platform's own error number.
class TApdSerialDevice {
 public:
  virtual ~TApdSerialDevice() = default;

  // The path this device was created for (shown in messages).
  virtual std::string Path() const = 0;

  // Opens exclusively; 0 or a negative error number (see above).
  virtual int Open() = 0;
  // True when Open may take seconds (resolving a name, connecting, asking a
  // server): callers on the window thread run it on a thread of their own.
  virtual bool OpenMayWait() const { return false; }
  // Why the last Open failed; ofNone after one that succeeded.
  virtual TOpenFailure LastOpenFailure() const { return TOpenFailure::ofNone; }
  // The device's own words for why the last Open failed ("connection
  // refused"), when it has more to say than LastOpenFailure; else empty.
  virtual std::string LastOpenFailureReason() const { return {}; }
  // Why the device stopped working ("connection closed by the server"),
  // when it can tell; else empty.
  virtual std::string LostReason() const { return {}; }
  // What the far end of the line was asked and has not confirmed (a network
  // server's settings: "SET-CONTROL DTR on"); empty for a device without one.
  virtual std::vector<std::string> Unconfirmed() { return {}; }
  // Idempotent; wakes every blocked wait.
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;

  // Asks for queues of these sizes; a device that cannot size them accepts
  // and reports the receive queue it really has through ReceiveQueueSize.
  virtual int SetQueueSizes(int inSize, int outSize) = 0;
  virtual int ReceiveQueueSize() const = 0;

  virtual int GetState(TDeviceSettings& settings) = 0;
  virtual int SetState(const TDeviceSettings& settings) = 0;

  // Never blocks: 0..n bytes.
  virtual int Read(uint8_t* buffer, int n) = 0;
  // Never blocks: bytes accepted (0..n), or a negative error number.
  virtual int Write(const uint8_t* data, int n) = 0;
  // Blocks until the device can accept output, cancelFd (an eventfd or pipe
  // read end, -1 for none) becomes readable, or the device closes.
  virtual int WaitWritable(int cancelFd) = 0;
  // Blocks until an event of `mask` happens; reports which in `happened`.
  // Received-byte events are edge-like: reported when bytes arrived since
  // the previous wait, not merely because unread bytes remain (so a full
  // dispatch buffer does not make the waiting thread spin). Transmit-empty
  // events are edges too: reported once each time the transmit queue runs
  // empty after a Write accepted bytes, never for a queue that stays empty.
  // A purge or close drops a pending one (nothing was sent).
  virtual int WaitEvent(uint32_t mask, uint32_t& happened) = 0;

  // Returns and clears the error bits; fills hold flags, InQue and OutQue.
  virtual uint32_t GetError(TDeviceStatus& status) = 0;
  // Current levels of CTS, DSR, RI and DCD (ms_* bits); 0 or negative.
  virtual int GetModemLines(uint8_t& levels) = 0;
  // SETRTS..CLRBREAK; 0 done, negative refused. GETBASEADDRESS: the address or 0.
  virtual int Escape(int function) = 0;
  // PURGE_RX*: drops received bytes not yet read. PURGE_TX*: drops what was
  // accepted but not yet sent (never what the other side has received).
  virtual int Purge(uint32_t flags) = 0;
};

// Makes an unopened device for a path; nullptr when nothing can serve it.
using TDeviceFactory = std::unique_ptr<TApdSerialDevice> (*)(const std::string& path);

}  // namespace kestrel
