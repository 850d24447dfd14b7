#pragma once
// The wire between the simulated port and its far end: two lanes of bytes,
// the modem lines, line errors and breaks, and the port's flow control.
// Internal to the sim device; tests and the simulated unit use AwSim.h.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

#include "serialdevice/AwDevice.h"
#include "serialdevice/AwFd.h"
#include "serialdevice/AwSim.h"

namespace kestrel {

using TSimClock = std::chrono::steady_clock;

// One direction of the wire: the sender's transmitter, then the
// receiver's queue. With pacing a byte crosses only after its wire time.
// Thread contract: guarded by the cable's lock.
struct TSimLane {
  std::deque<uint8_t> sending;
  std::deque<uint8_t> arrived;
  size_t recvCap = 0;
  uint64_t arrivedTotal = 0;
  bool onWire = false;             // paced: the head byte is being sent
  TSimClock::time_point headDone;  // paced: when it has been sent
};

// The port's side as the far end sees it at one moment. A plain copy.
struct TSimPortView {
  bool open = false, dtr = false, rts = false, brk = false;
  TDeviceSettings settings;
  size_t txQueued = 0;  // accepted by the port, not yet on the wire
  size_t rxQueued = 0;  // sent toward the port, not yet read by it
  bool txHeld = false;  // the port's output is held (flow control, break)
};

// Shared by the port objects and the far end of one cable.
// Thread contract: any thread; every member function takes `lock_` itself.
class TApdSimCable {
 public:
  TApdSimCable(bool pace, uint8_t farLines, size_t farReceiveSize, size_t farTransmitFifo,
               int64_t unplugAfter = -1);

  // ---- the port side; `owner` tells port objects on one cable apart ----
  int PortOpen(const void* owner);
  void PortClose(const void* owner);
  bool PortIsOpenBy(const void* owner);
  int PortSetQueueSizes(const void* owner, int inSize, int outSize);
  int PortReceiveQueueSize();
  int PortGetState(const void* owner, TDeviceSettings& settings);
  int PortSetState(const void* owner, const TDeviceSettings& settings);
  int PortRead(const void* owner, uint8_t* buffer, int n);
  int PortWrite(const void* owner, const uint8_t* data, int n);
  int PortWaitWritable(const void* owner, int cancelFd);
  int PortWaitEvent(const void* owner, uint32_t mask, uint32_t& happened);
  uint32_t PortGetError(const void* owner, TDeviceStatus& status);
  int PortModemLines(const void* owner, uint8_t& levels);
  int PortEscape(const void* owner, int function);
  int PortPurge(const void* owner, uint32_t flags);

  // ---- the far end ----
  int FarRead(uint8_t* buffer, int n, std::optional<TSimClock::time_point> deadline);
  size_t FarAvailable();
  int FarSend(const uint8_t* data, int n, std::optional<TSimClock::time_point> deadline);
  void FarSetLine(uint8_t msBit, bool on);
  uint8_t FarLines();
  void FarInject(uint32_t errorBits);
  void FarDetach();
  void SetPacing(bool on);
  void SetFollowPortRts(bool on);
  TSimPortView PortView();
  uint64_t ChangeCount();
  bool WaitForChange(uint64_t seen, TSimClock::time_point deadline);

 private:
  using Lock = std::unique_lock<std::mutex>;

  void Advance(TSimClock::time_point now);
  void DeliverToPort(uint8_t byte);
  void UpdateHandshake();
  void SendControl(uint8_t byte);
  void SetFarLines(uint8_t levels);  // and the port's events for the change
  void Changed();
  bool PortTxHeld() const;
  void Unplug();  // the port's adapter goes away
  // Whether the port side can be used by `owner`, and the result if not.
  bool PortUsable(const void* owner, int& result) const;
  size_t PortWriteRoom() const;
  void SetByteTime();
  // When the next batch of bytes on `lane` will have crossed (paced only).
  std::optional<TSimClock::time_point> NextCrossing(const TSimLane& lane) const;
  // When the port's transmitter will have sent its last queued byte, if a
  // transmit-empty report is due and the bytes are moving (paced only).
  std::optional<TSimClock::time_point> TxDrained() const;

  std::mutex lock_;
  std::condition_variable changed_;
  TApdEventFd txWake_;  // wakes PortWaitWritable, which also watches a cancel fd
  bool txWaiting_ = false;
  uint64_t changes_ = 0;

  TSimLane toFar_, toPort_;
  size_t txSize_ = kSimDefaultQueue;
  size_t farTransmitFifo_;
  bool pace_;
  bool followPortRts_ = false;
  std::chrono::nanoseconds byteTime_{0};

  const void* openedBy_ = nullptr;
  TDeviceSettings settings_;
  bool dtr_ = false, rts_ = false, break_ = false;
  bool xoffReceived_ = false, xoffSent_ = false;
  uint32_t errors_ = 0;
  uint32_t events_ = 0;
  uint64_t reportedArrivals_ = 0;
  bool txEmptyDue_ = false;  // the port wrote; report when its lane runs empty

  const int64_t unplugAfter_;
  uint64_t portWritten_ = 0;  // bytes the port has written since it opened
  bool unplugged_ = false;

  bool farAttached_ = true;
  uint8_t farLines_;  // ms_* levels the far end drives
};

}  // namespace kestrel
