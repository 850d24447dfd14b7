#pragma once
// TApdBaseDispatcher: the object that owns an open serial port. It holds the
// 8192-byte dispatch buffer and the output ring, runs the device-wait, dispatch
// and output threads, keeps the line, modem and error status, and evaluates
// triggers and delivers trigger messages to the registered handlers.
//
// Thread contract: any thread. Reads and input counts take the input lock,
// writes and output counts the output lock, line settings, status, trigger and
// handler operations the main lock; the process-wide port-list lock guards the
// handle table. Locks nest port-list, input, main, output, never the other way.
// Handlers run on the dispatch thread (procedure and event handlers) or on the
// window thread (window handlers, synchronised event handlers) while the
// dispatch thread waits; they may read, write, change triggers and close.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "serial/AwuserLog.h"
#include "serial/AwuserPortList.h"
#include "serial/AwuserSignals.h"
#include "serial/AwuserTrace.h"
#include "serial/AwuserTriggers.h"
#include "serialdevice/AwDevice.h"
#include "serialdevice/AwFd.h"

namespace kestrel {

class TApdDispatcherThread;

// InitPort option word.
inline constexpr uint32_t ipAssertDTR = 0x01;  // DTR up at open (unless under handshake)
inline constexpr uint32_t ipAssertRTS = 0x02;  // RTS up at open (unless under handshake)
inline constexpr uint32_t ipAutoDTR = 0x10;    // DTR under handshake control
inline constexpr uint32_t ipAutoRTS = 0x20;    // RTS under handshake control

// Options word bits (OptionsOn / OptionsOff / OptionsAreOn).
inline constexpr uint16_t poUseEventWord = 0x10;

// HWFlowOptions mask.
inline constexpr uint16_t hfUseDTR = 0x01;
inline constexpr uint16_t hfUseRTS = 0x02;
inline constexpr uint16_t hfRequireDSR = 0x04;
inline constexpr uint16_t hfRequireCTS = 0x08;

// SWFlowEnable mask.
inline constexpr uint16_t sfTransmitFlow = 0x01;
inline constexpr uint16_t sfReceiveFlow = 0x02;

// HWFlowState / SWFlowState results (the component subtracts 1).
inline constexpr int fsOff = 1;
inline constexpr int fsOn = 2;
inline constexpr int fsDsrHold = 3;
inline constexpr int fsCtsHold = 4;
inline constexpr int fsDcdHold = 5;
inline constexpr int fsXOutHold = 6;   // our output held by a received XOFF
inline constexpr int fsXInHold = 7;    // we have sent XOFF
inline constexpr int fsXBothHold = 8;  // both

// GetLineError results.
inline constexpr int leNoError = 0;
inline constexpr int leBuffer = 1;   // receive-queue overrun
inline constexpr int leOverrun = 2;  // hardware overrun
inline constexpr int leParity = 3;
inline constexpr int leFraming = 4;
inline constexpr int leBreak = 9;

// Modem status change bits (levels are the ms_* bits of AwDevice.h).
inline constexpr uint8_t msDeltaCTS = 0x01;
inline constexpr uint8_t msDeltaDSR = 0x02;
inline constexpr uint8_t msTrailingRI = 0x04;
inline constexpr uint8_t msDeltaDCD = 0x08;

// UpdateHandlerFlags kinds.
inline constexpr int fuKeepPort = 0;     // recount
inline constexpr int fuEnablePort = 1;   // the component wants events
inline constexpr int fuDisablePort = 2;  // the component does not

class TApdBaseDispatcher {
 public:
  static constexpr int DispatchBufferSize = 8192;
  // Status triggers on output levels, which change without a device event,
  // are looked at this often; so is a trigger after it was armed.
  static constexpr int kPollCycleMs = 50;
  // A window handler is waited for at most this long.
  static constexpr int WindowHandlerTimeoutMs = 3000;

  // `ports`, when given, lists the dispatcher for its life; one made without
  // a list (a tool's, a test's) has handle 0.
  explicit TApdBaseDispatcher(void* owner, TApdPortList* ports = nullptr);
  virtual ~TApdBaseDispatcher();
  TApdBaseDispatcher(const TApdBaseDispatcher&) = delete;
  TApdBaseDispatcher& operator=(const TApdBaseDispatcher&) = delete;

  // ---- identity ----
  int Handle() const { return Handle_; }
  void* Owner() const { return Owner_; }
  std::string DeviceName() const;
  void SetDeviceName(std::string name);

  // ---- open and close ----
  // Opens the device at `path` and starts the threads; 0 or a negative code
  // (an operating-system error n as -n). A failure leaves the port closed.
  int InitPort(const std::string& path, int32_t baud, uint8_t parity, uint8_t dataBits,
               uint8_t stopBits, uint16_t inSize, uint16_t outSize, uint32_t options);
  // Flushes, closes the device and stops the threads. Called during a delivery
  // it only closes the device and leaves the rest to the dispatch thread.
  int DonePort();
  virtual void DonePortPrim();
  // Starts the three threads; throws std::logic_error("Dispatcher already
  // started") when they run already.
  virtual int StartDispatcher();
  virtual void StopDispatcher();
  bool ThreadsActive() const { return ThreadsActive_.load(); }
  int ActiveThreadCount() const { return ActiveThreads_.load(); }
  bool ClosePending() const { return ClosePending_.load(); }
  // No delivery starts now: one is running, or SetEventBusy suspended them.
  bool EventBusy() const { return Delivering_.load() || Suspended_.load(); }
  bool PortOpen() const { return DeviceOpen_.load(); }
  // The device went away while open (an adapter pulled out, the other side
  // of a pseudo-terminal closed): the threads have ended or are ending, and
  // writes fail with -3011 until the port is closed and opened again.
  bool DeviceLost() const { return DeviceLost_.load(); }
  // Why, when the device can tell ("connection closed by the server"); empty
  // for a device that just went away.
  virtual std::string DeviceLostReason() { return {}; }
  // What the far end of the line has not confirmed (see TApdSerialDevice).
  virtual std::vector<std::string> DeviceUnconfirmed() { return {}; }
  // The path the port was opened on (empty before the first InitPort).
  std::string DevicePath() const;
  // Dispatch cycles completed so far. Each cycle takes in what arrived,
  // delivers what is due and checks the timers; a caller that reads n and
  // later sees n + 2 knows one whole cycle ran after its read. An idle port
  // runs no cycles, so asking wakes the dispatch thread for one.
  uint64_t DispatchCycles();

  // Called on the dispatch thread each time received bytes have been moved
  // into the dispatch buffer (also while delivery is suspended), after the
  // input lock has been released. It must not block. Set before InitPort.
  void SetDataArrivalHook(std::function<void()> hook) { DataArrivalHook_ = std::move(hook); }
  // Runs the synchronised handlers on the window thread (the component
  // layer gives its dispatchers one); without it they run on the dispatch
  // thread. Set before InitPort.
  void SetSynchronizeHook(TApdSynchronizeHook hook) { SynchronizeHook_ = std::move(hook); }
  // Called on the output thread each time the output ring has been handed to
  // the device in full (on the writer's thread when PutBlock handed a block
  // to the device itself), on the device-wait thread each time the device
  // reports its transmit queue empty after output, and on the dispatch thread
  // each time the device reports a change of its modem lines, so that a wait
  // for the output to drain or for CTS can stop sleeping; and once on the
  // thread that finds the device lost. It must not block. Set before InitPort.
  void SetOutputStatusHook(std::function<void()> hook) { OutputStatusHook_ = std::move(hook); }

  // ---- reading (input lock) ----
  // During an avail or data delivery, the handler being called reads from the
  // start of the offer onwards (every handler sees the same bytes); any other
  // reader takes bytes from the unread mark at once. Nobody reads a byte that
  // another reader has taken outside the delivery's accounting, and the mark
  // never moves back over anything read.
  bool CharReady();
  int PeekChar(uint16_t position);        // byte (1 = oldest) or -3007
  int GetChar();                          // byte or -3007
  int PeekBlock(void* dest, int length);  // length (0 for 0) or -3007, nothing copied
  int GetBlock(void* dest, int length);   // length (0 for 0) or -3007, nothing taken

  // ---- writing (output lock) ----
  int PutChar(uint8_t c);
  int PutString(std::string_view s);
  int PutBlock(const void* data, int length);  // 0, -3006, -3004, -3010, -3011

  // ---- counts and flushes ----
  int InBuffUsed();
  int InBuffFree();
  // The bytes InBuffUsed counts, and those an avail or data delivery under
  // way has handed to its first handlers but not yet to the rest of them:
  // InBuffUsed already leaves those out.
  int InBuffHeld();
  // Output not yet on the wire: the bytes in the output ring plus those the
  // device has accepted and not sent, at most OutSize; OutBuffFree is the
  // rest of OutSize. PutBlock's room is the ring's own free space, never less.
  int OutBuffUsed();
  int OutBuffFree();
  int FlushInBuffer();
  int FlushOutBuffer();
  int InSize() const { return InSize_; }
  int OutSize() const { return OutSize_; }

  // Suspends (true) or resumes (false) trigger processing; wasBusy receives
  // the previous value. The suspension is the caller's alone: a delivery
  // running meanwhile finishes, and its end does not resume anything. What
  // the caller reads meanwhile is taken at once, never offered again.
  void SetEventBusy(bool& wasBusy, bool busy);

  // ---- options word ----
  void OptionsOn(uint16_t bits);
  void OptionsOff(uint16_t bits);
  bool OptionsAreOn(uint16_t bits);

  // ---- line settings, flow control and status ----
  // Parity 5, data bits 9, stop bits 3 and baud 0 keep the current value.
  int SetLine(int32_t baud, uint8_t parity, uint8_t dataBits, uint8_t stopBits);
  int SetCommBuffers(int inSize, int outSize);
  int SetCommStateFix(TDeviceSettings& settings);
  void WaitTxSent();
  int SetDtr(bool on);  // 1 under handshake (nothing done), 0 done, -1002 refused
  int SetRts(bool on);
  uint8_t GetModemStatus();  // clears all change bits
  bool CheckCTS();
  bool CheckDSR();
  bool CheckRI();
  bool CheckDCD();
  bool CheckDeltaCTS();
  bool CheckDeltaDSR();
  bool CheckDeltaRI();
  bool CheckDeltaDCD();
  int GetLineError();  // leNoError..leBreak; clears the four error bits
  bool CheckLineBreak();
  // Holds a break for `ticks` timer ticks; with yield the window thread's
  // messages are handled meanwhile.
  void SendBreak(uint32_t ticks, bool yield);
  void SetBreak(bool on);
  int HWFlowOptions(uint16_t bufferFull, uint16_t bufferResume, uint16_t options);
  int HWFlowState();
  int SWFlowEnable(uint16_t bufferFull, uint16_t bufferResume, uint16_t options);
  int SWFlowDisable();
  int SWFlowState();
  int SWFlowChars(uint8_t on, uint8_t off);
  int SetRS485Mode(bool on);
  void SetBaseAddress(uint16_t address);
  uint16_t GetBaseAddress();
  virtual int SetThreadBoost(uint8_t boost);  // 0..2 steps above normal
  void RefreshStatus();
  // Accumulated error flags (ce_* bits) without clearing them.
  uint32_t ErrorFlags();

  // ---- triggers (main lock) ----
  int ChangeLengthTrigger(uint16_t threshold);
  uint16_t AvailThreshold();
  int AddDataTrigger(const char* text, bool ignoreCase);
  int AddDataTriggerLen(const char* text, bool ignoreCase, int length);
  int AddTimerTrigger();
  int AddStatusTrigger(uint16_t statusType);
  int SetTimerTrigger(uint16_t handle, int32_t ticks, bool activate);
  int ExtendTimer(uint16_t handle, int32_t ticks);
  int TimerTicksRemaining(uint16_t handle, int32_t& ticksRemaining);
  int SetStatusTrigger(uint16_t handle, uint16_t value, bool activate);
  int RemoveTrigger(uint16_t handle);
  void RemoveAllTriggers();
  void SaveTriggers(TTriggerSave& save);
  void RestoreTriggers(const TTriggerSave& save);
  static int ClassifyStatusTrigger(uint16_t handle) { return handle & 7; }

  // ---- handlers (main lock) ----
  void RegisterWndTriggerHandler(TApdWindowHandler* window);
  void DeregisterWndTriggerHandler(TApdWindowHandler* window);
  void RegisterProcTriggerHandler(TApdNotifyProc proc);
  void DeregisterProcTriggerHandler(TApdNotifyProc proc);
  void RegisterEventTriggerHandler(const void* owner, TApdNotifyEvent event);
  void RegisterSyncEventTriggerHandler(const void* owner, TApdNotifyEvent event);
  void DeregisterEventTriggerHandler(const void* owner);
  virtual void UpdateHandlerFlags(int kind);

  // ---- trace and dispatch log (main lock; AwuserTrace.cpp, AwuserLog.cpp) ----
  // Init empties an existing recorder or creates one, and records. Write
  // operations stop recording, write the file (nothing when empty) and free
  // the recorder whatever happened; 0 or a negative result code.
  int InitTracing(uint32_t entries);  // -1002 above 4000000 entries
  int StartTracing();
  int StopTracing();
  int ClearTracing();
  int AbortTracing();
  int AddTraceEntry(char kind, uint8_t byte);
  int DumpTrace(const std::string& file, bool hex, bool allHex);
  int AppendTrace(const std::string& file, bool hex, bool allHex);
  int InitDispatchLogging(uint32_t size);
  int StartDispatchLogging();
  int StopDispatchLogging();
  int ClearDispatchLogging();
  int AbortDispatchLogging();
  int AddDispatchEntry(int type, int subType, uint32_t length, const void* bytes, uint32_t data);
  int AddStringToLog(std::string_view text);  // recorded only while logging records
  int DumpDispatchLog(const std::string& file, bool hex, bool allHex);
  int AppendDispatchLog(const std::string& file, bool hex, bool allHex);

  virtual int ProcessCommunications() = 0;

 protected:
  // Closes the port, waits for every thread and leaves the port list. A
  // platform dispatcher calls it first in its destructor, while its device
  // operations still exist.
  void ShutdownDispatcher();

  // ---- device operations, implemented by the platform dispatcher ----
  virtual int EscapeComFunction(int function) = 0;
  virtual int FlushCom(int which) = 0;  // 0 output, 1 input
  // The device's error bits and status record (its OutQue is what the
  // device has accepted and not yet sent; the ring is not in it).
  virtual uint32_t GetComError(TDeviceStatus& status) = 0;
  virtual uint32_t GetComEventMask(int id) = 0;
  virtual int GetComState(TDeviceSettings& settings) = 0;
  virtual int ReadCom(uint8_t* buffer, int n) = 0;
  virtual int SetComState(const TDeviceSettings& settings) = 0;
  virtual int WriteCom(const uint8_t* data, int n) = 0;
  virtual int WaitComEvent(uint32_t& mask) = 0;
  virtual int SetupCom(int inSize, int outSize) = 0;
  // Opens the device; 0, -8 (no resources) or the device's negative error.
  virtual int OpenCom(const std::string& path, int inSize, int outSize) = 0;
  virtual int CloseCom() = 0;
  // Device services the threads and line operations need beyond the slots
  // above (the device handle of the platform dispatcher).
  // The output thread, or a writer holding the output lock while the ring
  // is empty (never both: bytes leave the ring only once written).
  virtual int ComWrite(const uint8_t* data, int n) = 0;
  virtual int ComWaitWritable(int cancelFd) = 0;  // output thread only
  virtual int ComModemLines(uint8_t& levels) = 0;
  // Bytes still in the driver's transmit queue; error bits it reported are
  // added to `errors`.
  virtual int ComDriverOutQueue(uint32_t& errors) = 0;

  struct TWndHandlerEntry {
    TApdWindowHandler* Window;
    bool Deleted;
  };
  struct TProcHandlerEntry {
    TApdNotifyProc Proc;
    bool Deleted;
  };
  struct TEventHandlerEntry {
    const void* Owner;
    TApdNotifyEvent Event;
    bool Sync;
    bool Deleted;
  };

  // Identity.
  void* const Owner_;
  TApdPortList* const Ports_;
  int Handle_ = 0;
  std::string DeviceName_;
  std::string DevicePath_;

  // Locks (see the class comment for the nesting order). StatusLock_ is a
  // leaf guarding the device status record. FlushLock_ lets one output
  // flush at a time talk to the output thread; it is taken before any other.
  mutable std::recursive_mutex InputLock_;
  mutable std::recursive_mutex MainLock_;
  mutable std::recursive_mutex OutputLock_;
  mutable std::mutex StatusLock_;
  std::mutex FlushLock_;

  // Line settings (main lock).
  TDeviceSettings Settings_;
  int32_t LastBaud_ = 115200;
  bool DtrState_ = false;
  bool DtrAuto_ = false;
  bool RtsState_ = false;
  bool RtsAuto_ = false;
  int InSize_ = 0;
  int OutSize_ = 0;

  // Dispatch buffer (input lock). Positions in the byte stream are also
  // counted without wrapping ("serials"), so that a scan or notification
  // mark can never be confused with a position 8192 bytes later.
  std::unique_ptr<uint8_t[]> DBuffer_;
  int DBufHead_ = 0;
  int DBufTail_ = 0;
  bool DBufFull_ = false;
  uint64_t HeadSerial_ = 0;       // bytes stored since the open
  uint64_t ScanSerial_ = 0;       // next byte the data-trigger scan looks at
  uint64_t LastAvailSerial_ = 0;  // head at the last avail notification
  bool HeldBack_ = false;         // the driver holds bytes the buffer had no room for
  // An avail or data delivery: its offer starts at DeliveryBase_; the handler
  // being called (call number HandlerCall_, 0 between handlers) reads on from
  // HandlerSerial_; DeliveryEnd_ is the furthest any handler got, where other
  // readers start meanwhile. The unread mark moves there when it ends.
  bool InAvailDelivery_ = false;
  uint64_t DeliveryBase_ = 0;
  uint64_t HandlerSerial_ = 0;
  uint64_t DeliveryEnd_ = 0;
  uint64_t HandlerCall_ = 0;
  uint64_t HandlerCalls_ = 0;  // handler calls made, numbering them

  // Output ring (output lock).
  std::unique_ptr<uint8_t[]> OBuffer_;
  std::unique_ptr<uint8_t[]> OScratch_;  // the wrapped part while the ring is rotated
  int OBufHead_ = 0;                     // write index
  int OBufTail_ = 0;                     // send index
  bool OBufFull_ = false;
  bool OutputWritten_ = false;
  bool FlushInProgress_ = false;

  // Status.
  std::atomic<uint32_t> ErrorFlags_{0};
  TDeviceStatus ComStatus_;  // StatusLock_
  uint8_t ModemStatus_ = 0;  // main lock
  std::atomic<bool> RingFlag_{false};
  std::atomic<uint32_t> LastEventMask_{0};  // device events not yet handled

  // Triggers and handlers (main lock).
  uint16_t AvailThreshold_ = 0;
  int TriggerCounter_ = 1;
  bool StatusHit_ = false;
  std::vector<TTimerTrigger> TimerTriggers_;
  std::vector<TDataTrigger> DataTriggers_;
  std::vector<TStatusTrigger> StatusTriggers_;
  std::vector<TWndHandlerEntry> WndHandlers_;
  std::vector<TProcHandlerEntry> ProcHandlers_;
  std::vector<TEventHandlerEntry> EventHandlers_;
  std::atomic<bool> HandlerService_{false};
  bool ComponentHandler_ = false;
  bool HandlersToPurge_ = false;
  // Together they are the event-busy state: a delivery is running
  // (SendNotify), or a caller has suspended delivery (SetEventBusy).
  std::atomic<bool> Delivering_{false};
  std::atomic<bool> Suspended_{false};
  std::function<void()> DataArrivalHook_;   // set before the threads start
  std::function<void()> OutputStatusHook_;  // set before the threads start
  // Set before the threads start.
  TApdSynchronizeHook SynchronizeHook_;

  // Threads and signals. The device-wait thread blocks in the device's event
  // wait (closing the device releases it), signals ComEvent_ and waits for
  // ReadyEvent_; the dispatch thread waits for ComEvent_ until the next timer
  // trigger is due, at most one 50 ms cycle while a status trigger must be
  // polled; a change to the triggers has it look within one cycle. The
  // output thread poll()s OutputEvent_ and FlushEvent_, and a write the
  // device cannot take yet waits in the device's writable wait with
  // FlushEvent_ as the cancel: that wait's end is the write completion. A
  // flush is acknowledged on FlushAckEvent_, a thread start on AckEvent_.
  std::unique_ptr<TApdDispatcherThread> ComThread_;
  std::unique_ptr<TApdDispatcherThread> DispThread_;
  std::unique_ptr<TApdDispatcherThread> OutThread_;
  std::atomic<int> ActiveThreads_{0};
  std::atomic<bool> ThreadsActive_{false};
  std::atomic<bool> KillThreads_{false};
  std::atomic<bool> ClosePending_{false};
  std::atomic<bool> DispEndedByClose_{false};
  std::atomic<bool> DeviceOpen_{false};
  std::atomic<bool> DeviceLost_{false};
  std::atomic<uint64_t> DispatchCycles_{0};
  TApdDispatchAlarm ComEvent_;      // -> dispatch: a device event happened, a cycle is due
  TApdEvent ReadyEvent_{false};     // dispatch -> device-wait: go on waiting
  TApdEvent AckEvent_{false};       // a thread -> its starter: started
  TApdEvent FlushAckEvent_{false};  // output thread -> flusher: pending write abandoned
  TApdEventFd OutputEvent_;         // writer -> output thread: bytes queued
  TApdEventFd FlushEvent_;          // flusher or stopper -> output thread
  std::mutex GoneMutex_;            // with GoneCond_: a thread has ended
  std::condition_variable GoneCond_;

  // Other (main lock).
  uint16_t Options_ = 0;
  bool RS485Mode_ = false;
  uint16_t BaseAddress_ = 0;
  uint8_t ThreadBoost_ = 0;
  bool ShutDown_ = false;

 private:
  friend class TComThread;
  friend class TDispThread;
  friend class TOutThread;

  // Threads (AwuserThreads.cpp).
  void ComThreadExecute(TApdDispatcherThread* self);
  void DispThreadExecute(TApdDispatcherThread* self);
  void OutThreadExecute(TApdDispatcherThread* self);
  void ThreadStarting(int boostSteps);
  void ThreadGone(TApdDispatcherThread* self, bool dispatchThread);
  void ReceiveCycle();
  void TimerCycle();
  void SendLoop();
  void AdvanceSend(int k);
  void DropRtsWhenSent();
  // The device failed under a thread that did not close it: remember the
  // loss and let every thread end.
  void MarkDeviceLost();
  bool IsOwnThread() const;     // any of this dispatcher's threads
  bool IsOutputThread() const;  // this dispatcher's output thread
  // Waits, handling window messages unless on one of our own threads, until
  // the thread has gone or `ms` have passed (ms < 0: no limit).
  bool WaitThreadGone(TApdDispatcherThread* thread, int ms);
  void WaitAllThreadsGone();
  bool WaitGone(const std::function<bool()>& gone, int ms);
  void JoinThreads();
  void ApplyThreadPriorities();
  int ThreadBoostSteps(bool outputThread);

  friend class TApdHandlerScope;

  // Receive path and buffers (Awuser.cpp).
  int ExtractData();  // bytes moved into the dispatch buffer
  int UsedLocked() const;
  uint64_t TailSerialLocked() const { return HeadSerial_ - static_cast<uint64_t>(UsedLocked()); }
  // True when the calling thread runs the handler being called now.
  bool HandlerReaderLocked() const;
  // The serial of the next byte the calling thread would read.
  uint64_t ReadSerialLocked() const;
  void CopyAtLocked(uint64_t serial, uint8_t* dest, int length) const;
  int RelativeRead(int offset, int length, uint8_t* dest, bool take);
  // Delivery bookkeeping (input lock held): a delivery starts, a handler
  // call starts or ends, the delivery ends (returns how far the handlers read).
  void BeginDeliveryLocked(bool reading);
  void BeginHandlerCallLocked();
  void EndHandlerCallLocked();
  uint64_t EndDeliveryLocked(bool advance);
  void FreeBuffers();
  void LeavePortList();
  int RingQueuedLocked() const;  // output lock held
  // Output lock held: hands bytes to the device directly when nothing is
  // queued before them; returns how many it took (0 when it may not).
  int WriteAtOnceLocked(const uint8_t* data, int length);
  // The ring's bytes plus the device's unsent ones, at most `size`, which
  // receives OutSize.
  int QueuedOutput(int& size);
  // Refreshes the status record and error flags; `status` gets the record.
  void RefreshStatus(TDeviceStatus& status);
  void WakeIfHeldBack();  // input lock held

  // Modem status (AwuserLine.cpp): reads the lines, folds changes and a
  // pending ring into the change bits, returns the byte, then clears `clear`.
  uint8_t ReadModemStatus(uint8_t clear);

  // Trigger evaluation and delivery (AwuserDelivery.cpp).
  bool SendNotify(uint32_t msg, uint32_t wParam, uint16_t param);
  bool CheckReceiveTriggers();
  bool CheckStatusTriggers();
  // Whether a status trigger's condition holds (main lock held); `param`
  // receives its message's count. With `take`, reading consumes what the
  // condition saw (the line errors, the written flag).
  bool StatusMetLocked(TStatusTrigger& trigger, uint16_t& param, bool take);
  // How long the dispatch thread may sleep unless woken: until the next
  // timer trigger is due, or a polling cycle while a status trigger must be
  // polled; -1 without limit.
  int DispatchWaitMs();
  // A trigger was armed or changed: the dispatch thread looks at the
  // triggers within one polling cycle.
  void LookAtTriggersSoon();
  bool CheckTimerTriggers();
  void ClearStatusHits();
  void StatusTriggerLoop();
  void ReceiveTriggerLoop();

  // Trigger bookkeeping (AwuserTriggers.cpp).
  int NewTriggerHandle();
  bool NumberInUse(uint16_t number) const;
  void PurgeHandlers();
  void ResetDataTriggerMatches();

  // Trace and dispatch log (AwuserTrace.cpp, AwuserLog.cpp). The hooks cost
  // one atomic load while nothing records.
  void TraceBytes(char kind, const uint8_t* data, int n);
  void LogDispatch(int type, int subType, uint32_t data, const void* attached, int n);
  void SetTraceRecording(bool on);
  void SetLogRecording(bool on);
  int WriteTrace(const std::string& file, bool hex, bool allHex, bool append);
  int WriteDispatchLog(const std::string& file, bool hex, bool allHex, bool append);
  std::unique_ptr<TApdTraceRecorder> Trace_;  // main lock
  std::unique_ptr<TApdDispatchLog> Log_;      // main lock
  std::atomic<bool> TraceActive_{false};
  std::atomic<bool> LogActive_{false};
  // Log times count from the dispatcher's creation, just before its open.
  const uint32_t LogTimeBase_ = AdTimeGetTime();
};

// Marks the calling thread, while the scope lives, as the one running the
// handler the dispatcher is calling now: reads it makes are the handler's.
// The dispatcher sets one around every handler it calls itself; the side of a
// window handler that runs the message sets one on the window thread. Made
// when no handler call is waiting for this thread (say, a message whose
// sender gave up), it marks nothing. Thread contract: the marked thread only.
class TApdHandlerScope {
 public:
  explicit TApdHandlerScope(TApdBaseDispatcher& dispatcher);
  ~TApdHandlerScope();
  TApdHandlerScope(const TApdHandlerScope&) = delete;
  TApdHandlerScope& operator=(const TApdHandlerScope&) = delete;

 private:
  const TApdBaseDispatcher* SavedDispatcher_;
  uint64_t SavedCall_;
};

}  // namespace kestrel
