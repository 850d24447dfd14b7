#pragma once
// A serial line at the far end of a TCP connection. This class carries what
// every network line shares: connecting, the receive queue the socket is
// read into, output with TCP's back-pressure as the handshake, drain events
// from what the peer has acknowledged, and the end of the connection as a
// lost device. The line protocol (raw bytes, or Telnet with serial control)
// plugs in through the protected hooks.
//
// Thread contract: as TApdSerialDevice. Internally the socket is read by
// whichever thread pumps input (the device-wait thread, or a settings call
// waiting for an answer) under the input lock; output and control messages
// go out under the output lock, so a control message never lands inside
// escaped data. Lock order: input, then output, then state; the protocol's
// own lock is taken last.

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "serialdevice/AwDevice.h"
#include "serialdevice/AwFd.h"
#include "serialdevice/AwSocket.h"

namespace kestrel {

class TApdNetDevice : public TApdSerialDevice {
 public:
  // `path` as the operator wrote it ("tcp://host:port"); `address` the part
  // after the scheme.
  TApdNetDevice(std::string path, std::string address);
  ~TApdNetDevice() override;

  std::string Path() const override { return Path_; }
  int Open() override;
  bool OpenMayWait() const override { return true; }
  TOpenFailure LastOpenFailure() const override;
  std::string LastOpenFailureReason() const override;
  std::string LostReason() const override;
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

 protected:
  // After the connection stands, before Open returns: 0, or a negative
  // result code with the reason in `why` (the open fails).
  virtual int StartLine(std::string& why) { return 0; }
  // Asks the far end for these line settings; what it confirmed goes into
  // `confirmed`. Without a protocol for it the settings are only recorded.
  virtual int ApplyLine(const TDeviceSettings& wanted, TDeviceSettings& confirmed) {
    confirmed = wanted;
    return 0;
  }
  // Bytes from the wire become data (appended to `data`) and, for a
  // protocol, replies to send back.
  virtual void Decode(const uint8_t* wire, int n, std::vector<uint8_t>& data,
                      std::vector<uint8_t>& replies) {
    data.insert(data.end(), wire, wire + n);
  }
  // Data becomes bytes for the wire.
  virtual void Encode(const uint8_t* data, int n, std::vector<uint8_t>& wire) {
    wire.insert(wire.end(), data, data + n);
  }
  // SETRTS..CLRBREAK: a line without modem control takes them without
  // effect, as a three-wire cable does.
  virtual int LineControl(int) { return 0; }
  virtual void PurgeRemote(uint32_t) {}
  // CTS, DSR and DCD read as up, as on a cable with the handshake looped back.
  virtual uint8_t Levels() { return ms_CtsOn | ms_DsrOn | ms_RlsdOn; }
  // True while the far end has asked us to hold output.
  virtual bool OutputSuspended() { return false; }

  // For the protocol: sends control bytes behind what is already queued.
  void SendControl(const std::vector<uint8_t>& bytes);
  // Reads and decodes what the socket has until `done` holds or `ms` pass;
  // false when the time ran out or the connection ended.
  template <class TDone>
  bool PumpUntil(TDone done, int ms);
  // Events and error bits the protocol learnt of (modem changes, line errors).
  void Raise(uint32_t events, uint32_t errors);
  // Wakes a waiting device-wait thread (output resumed, ...).
  void Nudge() { LookAgain_.Signal(); }

 private:
  // Reads what the socket has into the receive queue; false once the
  // connection has ended.
  bool PumpInput();
  // Sends queued output; true when none is left. Caller holds OutputLock_.
  bool FlushLocked();
  TApdSocket* Socket() const;
  int64_t NowMs() const;

  const std::string Path_;
  const std::string Address_;

  mutable std::mutex OpenLock_;  // Socket_, Retired_, Failure_, Why_, Open_
  std::unique_ptr<TApdSocket> Socket_;
  std::vector<std::unique_ptr<TApdSocket>> Retired_;  // closed ones a late wait may still see
  TOpenFailure Failure_ = TOpenFailure::ofNone;
  std::string Why_;
  bool Open_ = false;

  std::mutex InputLock_;  // Received_, Arrivals_
  std::deque<uint8_t> Received_;
  uint64_t Arrivals_ = 0;  // data bytes decoded since open
  std::atomic<uint32_t> Purges_{0};

  std::mutex OutputLock_;  // Pending_
  std::vector<uint8_t> Pending_;
  std::atomic<int> PendingSize_{0};
  std::atomic<bool> TxEmptyDue_{false};

  std::mutex StateLock_;  // Record_, Events_, Errors_
  TDeviceSettings Record_;
  uint32_t Events_ = 0;
  uint32_t Errors_ = 0;

  TApdEventFd LookAgain_;

  // Device-wait thread only.
  uint64_t Reported_ = 0;
  uint32_t SeenPurges_ = 0;
  int TxLookMs_ = 1;
  int LastTxQueue_ = 0;
};

template <class TDone>
bool TApdNetDevice::PumpUntil(TDone done, int ms) {
  const int64_t due = NowMs() + ms;
  for (;;) {
    const bool alive = PumpInput();
    if (done()) return true;
    if (!alive) return false;
    const int64_t left = due - NowMs();
    if (left <= 0) return false;
    TApdSocket* socket = Socket();
    if (!socket || socket->WaitReadable(-1, int(std::min<int64_t>(left, 10))) < 0) {
      PumpInput();
      return done();
    }
  }
}

}  // namespace kestrel
