#pragma once
// The in-memory null-modem cable: a port device on one end, a far end held
// by a test or by the simulated unit on the other. The far end's CTS, DSR,
// DCD and RI are the port's inputs; the port's DTR, RTS and break are
// visible to the far end. Either side may be destroyed first: a port whose
// far end has gone sees its input lines drop and sends into nothing.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "serialdevice/AwDevice.h"

namespace kestrel {

class TApdSimCable;

// A UART's transmitter FIFO: what the port still takes while its output is
// held (CTS or DSR low with that flow control on, XOFF received, break).
inline constexpr size_t kSimTxFifo = 16;
// Receive and transmit queue sizes until SetQueueSizes says otherwise.
inline constexpr size_t kSimDefaultQueue = 4096;

struct TSimOptions {
  std::string path = "sim:";
  // Bytes take their wire time (start, data, parity and stop bits at the
  // port's baud rate) in both directions.
  bool pace = false;
  // The far end's outputs at the start.
  bool cts = true, dsr = true, dcd = true, ring = false;
  // The far end's receive buffer; the wire stalls while it is full.
  size_t farReceiveSize = 1 << 16;
  // The far end's transmitter FIFO; its Send takes no more than this
  // beyond the room in the port's receive queue.
  size_t farTransmitFifo = 16;
  // The port's adapter is pulled out once the port has sent this many bytes
  // since it opened (-1: never). From then on its waits report the device
  // closed, its writes fail as a vanished device's do, and nothing crosses
  // the cable in either direction until the port opens again.
  int64_t unplugAfter = -1;
};

// The port side. Thread contract: as TApdSerialDevice.
class TApdSimDevice final : public TApdSerialDevice {
 public:
  TApdSimDevice(std::shared_ptr<TApdSimCable> cable, std::string path);
  ~TApdSimDevice() override;

  std::string Path() const override { return path_; }
  int Open() override;
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

 private:
  std::shared_ptr<TApdSimCable> cable_;
  std::string path_;
};

// The far end. Thread contract: any thread; calls take the cable's lock.
class TApdSimFarEnd {
 public:
  explicit TApdSimFarEnd(std::shared_ptr<TApdSimCable> cable, std::string path);
  ~TApdSimFarEnd();  // unplugs: the port's input lines drop
  TApdSimFarEnd(const TApdSimFarEnd&) = delete;
  TApdSimFarEnd& operator=(const TApdSimFarEnd&) = delete;

  // Another port object on this cable, for registries that hand out a
  // fresh device per open. Only one port object has it open at a time.
  std::unique_ptr<TApdSimDevice> MakePortDevice() const;

  // What the port sent. Read never blocks; ReadFor waits up to `timeout`
  // for at least one byte; ReadExactly collects n bytes or what came
  // before `timeout` ran out.
  int Read(uint8_t* buffer, int n);
  int ReadFor(uint8_t* buffer, int n, std::chrono::milliseconds timeout);
  std::vector<uint8_t> ReadExactly(size_t n, std::chrono::milliseconds timeout);
  size_t Available();

  // Toward the port. Send takes what fits now and says how much; SendFor
  // waits up to `timeout` for room and returns how much it took in all.
  // Nothing taken is lost while the port is open.
  int Send(const uint8_t* data, int n);
  int SendFor(const uint8_t* data, int n, std::chrono::milliseconds timeout);
  int SendFor(std::string_view text, std::chrono::milliseconds timeout);

  // The far end's outputs: the port's CTS, DSR, DCD and RI.
  void SetCts(bool on);
  void SetDsr(bool on);
  void SetDcd(bool on);
  void SetRing(bool on);
  uint8_t Lines();  // ms_* levels

  // Line conditions the port reports through GetError and WaitEvent:
  // ce_Overrun, ce_RxParity, ce_Frame, ce_RxOver, and a break received.
  void InjectErrors(uint32_t ceBits);
  void SendBreak();

  // The port's side as seen from here.
  bool PortOpen();
  bool PortDtr();
  bool PortRts();
  bool PortBreak();
  TDeviceSettings PortSettings();
  // Bytes the port's transmitter has accepted and not yet put on the wire.
  size_t PortTxQueued();
  // Bytes sent toward the port that it has not read yet.
  size_t PortRxQueued();
  // The port's output is held: by CTS or DSR with that flow control on, by
  // an XOFF it received, or by its break.
  bool PortTxHeld();

  void SetPacing(bool on);
  // The far end's transmitter pauses while the port's RTS is low, as a
  // UART whose CTS input is wired to it with automatic flow control.
  void SetFollowPortRts(bool on);

  // Anything on the cable changed (bytes moved, lines, settings, open or
  // close). WaitForChange returns false when `timeout` ran out first.
  uint64_t ChangeCount();
  bool WaitForChange(uint64_t seen, std::chrono::milliseconds timeout);

 private:
  std::shared_ptr<TApdSimCable> cable_;
  std::string path_;
};

struct TSimPair {
  std::unique_ptr<TApdSimDevice> port;
  std::shared_ptr<TApdSimFarEnd> far;
};

// A new cable: its (unopened) port device and its far end.
TSimPair CreateSimDevice(const TSimOptions& options = {});

}  // namespace kestrel
