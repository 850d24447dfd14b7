#pragma once
// TApdCustomComPort (published as TApdComPort): the component through which the
// program talks to one serial port. It keeps the line settings as properties,
// opens and closes the port, forwards reads, writes and status queries to a
// dispatcher that exists only while the port is open, and turns the
// dispatcher's trigger messages into its OnTrigger... events on the window
// thread (through its hidden window).
//
// Events are std::function members, readable and replaceable (a status-light
// controller keeps the previous handler and calls it from its own).

#include <QEvent>
#include <QObject>
#include <QPointer>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "messages/Adexcept.h"
#include "serial/AwuserTriggers.h"
#include "serial/qt/AdportTypes.h"

namespace kestrel {

class TApdBaseDispatcher;
class TApdComWindow;
class TApdPortContext;
class TPortMap;
class TClock;
class TApdCustomComPort;
struct TApdRecorderOps;

using TComNotifyEvent = std::function<void(TApdCustomComPort* CP)>;
using TTriggerEvent =
    std::function<void(TApdCustomComPort* CP, uint16_t Msg, uint16_t TriggerHandle, uint16_t Data)>;
using TTriggerAvailEvent = std::function<void(TApdCustomComPort* CP, uint16_t Count)>;
using TTriggerDataEvent = std::function<void(TApdCustomComPort* CP, uint16_t TriggerHandle)>;
using TTriggerStatusEvent = std::function<void(TApdCustomComPort* CP, uint16_t TriggerHandle)>;
using TTriggerTimerEvent = std::function<void(TApdCustomComPort* CP, uint16_t TriggerHandle)>;
using TTriggerLineErrorEvent =
    std::function<void(TApdCustomComPort* CP, uint16_t Error, bool LineBreak)>;
using TWaitCharEvent = std::function<void(TApdCustomComPort* CP, char C)>;
using TPortCallback = std::function<void(TApdCustomComPort* CP, bool Opening)>;
using TPortCallbackEx = std::function<void(TApdCustomComPort* CP, TApdCallbackType CallbackType)>;

// The open/close notifications (apw_PortOpen, apw_PortClose, apw_ClosePending)
// a window registered with RegisterUser / RegisterUserEx receives, delivered
// synchronously with QCoreApplication::sendEvent.
// Thread contract: window thread only.
class TApdPortMessageEvent : public QEvent {
 public:
  TApdPortMessageEvent(uint32_t msg, uint32_t wParam, uint32_t lParam)
      : QEvent(EventType()), Msg(msg), wParam(wParam), lParam(lParam) {}
  static QEvent::Type EventType();

  const uint32_t Msg;
  const uint32_t wParam;
  const uint32_t lParam;
};

// Shows an exception that an event handler of a port made without the
// program's context let escape. The default writes it to the log.
using TShowExceptionProc = std::function<void(const std::exception& e)>;
void SetPortExceptionDisplay(TShowExceptionProc show);
void ShowPortException(const std::exception& e);

// Thread contract: window thread only (properties, open and close, data
// operations, events). Data operations may also be called from a trigger
// handler running on a dispatcher thread; the dispatcher locks its buffers.
class TApdCustomComPort : public QObject, public TAdComponentState {
  Q_OBJECT

 public:
  static constexpr uint16_t DefaultInSize = 4096;
  static constexpr uint16_t DefaultOutSize = 4096;
  static constexpr uint16_t DispatchBufferSize = 8192;
  static constexpr uint32_t MaxTraceSize = 4000000;
  static constexpr uint32_t MaxLogSize = 16000000;

  // `context` is shared with the program's other ports; without one the port
  // keeps its own.
  explicit TApdCustomComPort(QObject* owner = nullptr, TApdPortContext* context = nullptr);
  ~TApdCustomComPort() override;
  TApdCustomComPort(const TApdCustomComPort&) = delete;
  TApdCustomComPort& operator=(const TApdCustomComPort&) = delete;

  // Shows an exception the port raised itself where nobody could catch it:
  // through the context's display.
  void ShowException(const std::exception& e) const;

  // Copies the published properties of another port (not Open).
  virtual void Assign(const TApdCustomComPort& source);
  // Ends loading from the form description: opens the port when Open was set
  // meanwhile. An open failure is shown, not raised.
  virtual void Loaded();

  // ---- published properties ----
  TDeviceLayer DeviceLayer() const { return DeviceLayer_; }
  void SetDeviceLayer(TDeviceLayer layer);
  uint16_t ComNumber() const { return ComNumber_; }
  void SetComNumber(uint16_t number);
  int32_t Baud() const { return Baud_; }
  void SetBaud(int32_t baud);
  bool PromptForPort() const { return PromptForPort_; }
  void SetPromptForPort(bool prompt) { PromptForPort_ = prompt; }
  TParity Parity() const { return Parity_; }
  void SetParity(TParity parity);
  uint16_t DataBits() const { return DataBits_; }
  void SetDataBits(uint16_t bits);
  uint16_t StopBits() const { return StopBits_; }
  void SetStopBits(uint16_t bits);
  uint16_t InSize() const { return InSize_; }
  void SetInSize(uint16_t size);
  uint16_t OutSize() const { return OutSize_; }
  void SetOutSize(uint16_t size);
  bool AutoOpen() const { return AutoOpen_; }
  void SetAutoOpen(bool autoOpen) { AutoOpen_ = autoOpen; }
  bool Open() const { return Open_; }
  void SetOpen(bool open);
  bool DTR() const { return DTR_; }
  void SetDTR(bool on);
  bool RTS() const { return RTS_; }
  void SetRTS(bool on);
  THWFlowOptionSet HWFlowOptions() const { return HWFlowOptions_; }
  void SetHWFlowOptions(THWFlowOptionSet options);
  TSWFlowOptions SWFlowOptions() const { return SWFlowOptions_; }
  void SetSWFlowOptions(TSWFlowOptions options);
  char XOnChar() const { return XOnChar_; }
  void SetXOnChar(char c);
  char XOffChar() const { return XOffChar_; }
  void SetXOffChar(char c);
  uint16_t BufferFull() const { return BufferFull_; }
  void SetBufferFull(uint16_t level);
  uint16_t BufferResume() const { return BufferResume_; }
  void SetBufferResume(uint16_t level);
  TTraceLogState Tracing() const { return Tracing_; }
  void SetTracing(TTraceLogState state);
  uint32_t TraceSize() const { return TraceSize_; }
  void SetTraceSize(uint32_t size);
  const std::string& TraceName() const { return TraceName_; }
  void SetTraceName(std::string name);
  bool TraceHex() const { return TraceHex_; }
  void SetTraceHex(bool hex) { TraceHex_ = hex; }
  bool TraceAllHex() const { return TraceAllHex_; }
  void SetTraceAllHex(bool hex) { TraceAllHex_ = hex; }
  TTraceLogState Logging() const { return Logging_; }
  void SetLogging(TTraceLogState state);
  uint32_t LogSize() const { return LogSize_; }
  void SetLogSize(uint32_t size);
  const std::string& LogName() const { return LogName_; }
  void SetLogName(std::string name);
  bool LogHex() const { return LogHex_; }
  void SetLogHex(bool hex) { LogHex_ = hex; }
  bool LogAllHex() const { return LogAllHex_; }
  void SetLogAllHex(bool hex) { LogAllHex_ = hex; }
  bool UseMSRShadow() const { return UseMSRShadow_; }
  bool UseEventWord() const { return UseEventWord_; }
  void SetUseEventWord(bool use);
  uint16_t CommNotificationLevel() const { return CommNotificationLevel_; }
  void SetCommNotificationLevel(uint16_t level) { CommNotificationLevel_ = level; }
  TTapiMode TapiMode() const { return TapiMode_; }
  void SetTapiMode(TTapiMode mode) { TapiMode_ = mode; }
  bool RS485Mode() const { return RS485Mode_; }
  void SetRS485Mode(bool on);
  int32_t Tag() const { return Tag_; }
  void SetTag(int32_t tag) { Tag_ = tag; }

  // ---- public, not streamed ----
  uint16_t TriggerLength() const { return TriggerLength_; }
  void SetTriggerLength(uint16_t length);
  TApThreadBoost ThreadBoost() const { return ThreadBoost_; }
  void SetThreadBoost(TApThreadBoost boost);
  TPortState PortState() const { return PortState_; }
  // The open port's device went away (pulled out, switched off): every
  // write raises EDeviceLost until the port is closed and opened again.
  bool DeviceLost();
  // Why it went away, when the device can tell; else empty.
  std::string DeviceLostReason();
  // What the far end of the line has not confirmed; empty when closed.
  std::vector<std::string> DeviceUnconfirmed();
  // The device the port has open, or would open now.
  std::string DevicePath();
  // Where the port's number leads and how its device is made: its context's
  // map, shared with the program's other ports.
  TPortMap& PortMap() const;
  // The one terminal that claimed this port (its replies go to the port).
  QObject* MasterTerminal() const { return MasterTerminal_.data(); }
  void SetMasterTerminal(QObject* terminal) { MasterTerminal_ = terminal; }

  // ---- the dispatcher ----
  // Opens the port first when AutoOpen allows it; nullptr while closed.
  TApdBaseDispatcher* GetDispatcher();
  // As GetDispatcher, but a closed port raises ECommNotOpen.
  TApdBaseDispatcher* ValidDispatcher();

  // ---- data ----
  void PutChar(char c);
  void PutString(std::string_view s);
  void PutBlock(const void* block, uint16_t length);
  char GetChar();
  char PeekChar(uint16_t position);
  void GetBlock(void* block, uint16_t length);
  void PeekBlock(void* block, uint16_t length);
  bool CharReady();
  uint16_t InBuffUsed();
  uint16_t InBuffFree();
  uint16_t OutBuffUsed();
  uint16_t OutBuffFree();
  void FlushInBuffer();
  void FlushOutBuffer();
  // What is still on its way through the port, for a clock that skips the
  // time in which nothing can happen. Nothing while closed; never throws.
  struct TMotion {
    bool OutputLeaving = false;  // queued output that CTS does not hold back
    // Received bytes not yet taken by every reader: those a delivery under
    // way has given its first handlers (the terminal's, on the dispatch
    // thread) still count until the window's handler has had them.
    int ReceivedWaiting = 0;
    // Dispatch cycles ended so far: bytes the dispatch thread is taking in
    // are counted, and delivered, at the end of the cycle that takes them.
    uint64_t DispatchCycles = 0;
  };
  TMotion Motion();
  // Waits for s (timeout in 55 ms ticks), consuming every byte it examines.
  // False when the timeout passes first or the port's device is lost (once
  // the bytes that came before have been examined). With `clock` the
  // timeout is measured, and the sleeps taken, on that clock instead.
  bool WaitForString(std::string_view s, int32_t timeout, bool yield, bool ignoreCase,
                     TClock* clock = nullptr);
  // Switches event delivery off ahead of a WaitForString, so that an answer
  // arriving before the wait starts is left for the wait.
  void PrepareWait();
  // Undoes a PrepareWait that no WaitForString followed (the send before it
  // failed, say): delivery comes back on when it was on before.
  void AbandonPreparedWait();
  void SendBreak(uint16_t ticks, bool yield);
  void SetBreak(bool on);

  // ---- line and modem status (False / 0 unless open; never opens) ----
  bool CTS();
  bool DSR();
  bool RI();
  bool DCD();
  bool DeltaCTS();
  bool DeltaDSR();
  bool DeltaRI();
  bool DeltaDCD();
  uint8_t ModemStatus();
  uint16_t LineError();
  bool LineBreak();
  TFlowControlState FlowState();

  // ---- triggers ----
  uint16_t AddDataTrigger(std::string_view data, bool ignoreCase);
  uint16_t AddTimerTrigger();
  uint16_t AddStatusTrigger(uint16_t statusType);
  void SetTimerTrigger(uint16_t handle, int32_t ticks, bool activate);
  void SetStatusTrigger(uint16_t handle, uint16_t value, bool activate);
  void RemoveTrigger(uint16_t handle);
  void RemoveAllTriggers();

  // ---- trace and dispatch log (file names and hex flags as given; all-hex
  // from TraceAllHex / LogAllHex) ----
  void InitTracing(uint32_t entries);  // also stored in TraceSize
  void DumpTrace(const std::string& name, bool hex);
  void AppendTrace(const std::string& name, bool hex);
  void ClearTracing();
  void AbortTracing();
  void StartTracing();
  void StopTracing();
  void AddTraceEntry(char kind, char data);
  void InitLogging(uint32_t size);  // 0 keeps LogSize
  void DumpLog(const std::string& name, bool hex);
  void AppendLog(const std::string& name, bool hex);
  void ClearLogging();
  void AbortLogging();
  void StartLogging();
  void StopLogging();
  void AddStringToLog(std::string_view text);

  // ---- users (open and close notification) ----
  void RegisterUser(QObject* window);
  void RegisterUserEx(QObject* window);
  // owner identifies the callback for deregistration.
  void RegisterUserCallback(const void* owner, TPortCallback callback);
  void RegisterUserCallbackEx(const void* owner, TPortCallbackEx callback);
  void DeregisterUser(QObject* window);
  void DeregisterUserCallback(const void* owner);
  void DeregisterUserCallbackEx(const void* owner);

  // ---- events ----
  const TComNotifyEvent& OnPortOpen() const { return OnPortOpen_; }
  void SetOnPortOpen(TComNotifyEvent e) { OnPortOpen_ = std::move(e); }
  const TComNotifyEvent& OnPortClose() const { return OnPortClose_; }
  void SetOnPortClose(TComNotifyEvent e) { OnPortClose_ = std::move(e); }
  const TWaitCharEvent& OnWaitChar() const { return OnWaitChar_; }
  void SetOnWaitChar(TWaitCharEvent e) { OnWaitChar_ = std::move(e); }
  const TTriggerEvent& OnTrigger() const { return OnTrigger_; }
  void SetOnTrigger(TTriggerEvent e);
  const TTriggerAvailEvent& OnTriggerAvail() const { return OnTriggerAvail_; }
  void SetOnTriggerAvail(TTriggerAvailEvent e);
  const TTriggerDataEvent& OnTriggerData() const { return OnTriggerData_; }
  void SetOnTriggerData(TTriggerDataEvent e);
  const TTriggerStatusEvent& OnTriggerStatus() const { return OnTriggerStatus_; }
  void SetOnTriggerStatus(TTriggerStatusEvent e);
  const TTriggerTimerEvent& OnTriggerTimer() const { return OnTriggerTimer_; }
  void SetOnTriggerTimer(TTriggerTimerEvent e);
  const TTriggerLineErrorEvent& OnTriggerLineError() const { return OnTriggerLineError_; }
  void SetOnTriggerLineError(TTriggerLineErrorEvent e);
  const TComNotifyEvent& OnTriggerModemStatus() const { return OnTriggerModemStatus_; }
  void SetOnTriggerModemStatus(TComNotifyEvent e);
  const TComNotifyEvent& OnTriggerOutbuffFree() const { return OnTriggerOutbuffFree_; }
  void SetOnTriggerOutbuffFree(TComNotifyEvent e);
  const TComNotifyEvent& OnTriggerOutbuffUsed() const { return OnTriggerOutbuffUsed_; }
  void SetOnTriggerOutbuffUsed(TComNotifyEvent e);
  const TComNotifyEvent& OnTriggerOutSent() const { return OnTriggerOutSent_; }
  void SetOnTriggerOutSent(TComNotifyEvent e);

  // Gives up the rest of the calling thread's time slice.
  virtual void ProcessCommunications();

 protected:
  virtual void ActivateDeviceLayer();
  virtual void DeviceLayerChanged() {}
  virtual void InitializePort();
  virtual void RegisterComPort(bool enabling);
  virtual void ValidateComport();
  virtual void SetUseMSRShadow(bool use) { UseMSRShadow_ = use; }
  virtual void Trigger(uint16_t Msg, uint16_t TriggerHandle, uint16_t Data);
  virtual void TriggerAvail(uint16_t Count);
  virtual void TriggerData(uint16_t TriggerHandle);
  virtual void TriggerStatus(uint16_t TriggerHandle);
  virtual void TriggerTimer(uint16_t TriggerHandle);
  virtual void UpdateHandlerFlag();
  virtual void TriggerLineError(uint16_t Error, bool LineBreak);
  virtual void TriggerModemStatus();
  virtual void TriggerOutbuffFree();
  virtual void TriggerOutbuffUsed();
  virtual void TriggerOutSent();
  virtual void WaitChar(char C);
  virtual void DonePort();
  virtual void InitPort();
  virtual void PortClosing();
  virtual void PortClose();
  virtual void PortOpen();

 private:
  friend class TApdComPortTestAccess;
  class TWindowHandler;
  struct TUser;

  // Port state helpers.
  bool InState(TPortState s) const { return PortState_ == s; }
  int Check(int code) { return CheckException(this, code); }
  bool AnyTriggerEventAssigned() const;
  void WindowProc(uint32_t Msg, uint32_t wParam, uint32_t lParam);
  void HandleTriggerMessage(uint32_t Msg, uint32_t wParam, uint32_t lParam);
  // Raises the events of the messages held back during WaitForString.
  void DeliverHeldBackMessages();
  void FinishDeferredClose();
  void ReleaseDispatcher();
  void SaveTriggers();
  void RestoreTriggers();
  void ApplyLine();
  // The Tracing / Logging state machine over one recorder's operations.
  void ApplyRecorder(TTraceLogState& property, TTraceLogState request, const TApdRecorderOps& ops,
                     uint32_t size, const std::string& name, bool hex, bool allHex);
  // Writes a trace and a log that are on or paused before the port closes;
  // a file that cannot be written is reported and the close goes on.
  void DumpRecordersAtClose();
  // Fills thresholds of 0 or out of range with InSize * fullPercent / 100 and
  // InSize * resumePercent / 100 (truncated).
  void ApplyFlowDefaults(int fullPercent, int resumePercent);
  void NotifyUsers(uint32_t Msg, TApdCallbackType type);
  TApdBaseDispatcher* OpenDispatcher();  // the dispatcher when psOpen, else nullptr

  // Properties.
  TDeviceLayer DeviceLayer_ = dlWin32;
  uint16_t ComNumber_ = 0;
  int32_t Baud_ = 19200;
  bool PromptForPort_ = true;
  TParity Parity_ = pNone;
  uint16_t DataBits_ = 8;
  uint16_t StopBits_ = 1;
  uint16_t InSize_ = DefaultInSize;
  uint16_t OutSize_ = DefaultOutSize;
  bool AutoOpen_ = true;
  bool Open_ = false;
  bool DTR_ = true;
  bool RTS_ = true;
  THWFlowOptionSet HWFlowOptions_;
  TSWFlowOptions SWFlowOptions_ = swfNone;
  char XOnChar_ = 17;
  char XOffChar_ = 19;
  uint16_t BufferFull_ = 0;
  uint16_t BufferResume_ = 0;
  TTraceLogState Tracing_ = tlOff;
  uint32_t TraceSize_ = 10000;
  std::string TraceName_ = "KELP.TRC";
  bool TraceHex_ = true;
  bool TraceAllHex_ = false;
  TTraceLogState Logging_ = tlOff;
  uint32_t LogSize_ = 10000;
  std::string LogName_ = "KELP.LOG";
  bool LogHex_ = true;
  bool LogAllHex_ = false;
  bool UseMSRShadow_ = true;
  bool UseEventWord_ = true;
  uint16_t CommNotificationLevel_ = 10;
  TTapiMode TapiMode_ = tmAuto;
  bool RS485Mode_ = false;
  int32_t Tag_ = 0;
  uint16_t TriggerLength_ = 1;
  TApThreadBoost ThreadBoost_ = tbNone;
  QPointer<QObject> MasterTerminal_;

  // Events.
  TComNotifyEvent OnPortOpen_, OnPortClose_;
  TWaitCharEvent OnWaitChar_;
  TTriggerEvent OnTrigger_;
  TTriggerAvailEvent OnTriggerAvail_;
  TTriggerDataEvent OnTriggerData_;
  TTriggerStatusEvent OnTriggerStatus_;
  TTriggerTimerEvent OnTriggerTimer_;
  TTriggerLineErrorEvent OnTriggerLineError_;
  TComNotifyEvent OnTriggerModemStatus_, OnTriggerOutbuffFree_, OnTriggerOutbuffUsed_,
      OnTriggerOutSent_;

  // State.
  TPortState PortState_ = psClosed;
  std::unique_ptr<TApdPortContext> OwnContext_;
  TApdPortContext& Context_;
  std::unique_ptr<TApdBaseDispatcher> Dispatcher_;
  std::unique_ptr<TWindowHandler> WindowHandler_;
  QPointer<TApdComWindow> ComWindow_;
  std::vector<TUser> Users_;
  TTriggerSave SavedTriggers_;
  bool TriggersSaved_ = false;
  bool Force_ = false;
  bool OpenPending_ = false;  // Open set while loading
  bool ReopenAfterClose_ = false;
  // An open is under way: a network line opens while window events are
  // handled, and one of them must not start a second open meanwhile.
  bool Opening_ = false;
  bool Destroying_ = false;
  uint64_t WindowGeneration_ = 0;  // messages of an older hidden window are ignored
  uint64_t NextUserId_ = 0;
  // WaitForString: delivery switched off by PrepareWait while it was on.
  bool WaitPrepared_ = false;
  bool WaitPreparedWhileOn_ = false;
  int WaitDepth_ = 0;  // WaitForString calls running; trigger messages are not raised
  struct THeldBackMessage {
    uint32_t Msg, wParam, lParam;
  };
  // Trigger messages that came in while WaitForString ran, oldest first.
  std::vector<THeldBackMessage> HeldBackMessages_;
};

// The published form of the component.
// Thread contract: window thread only.
class TApdComPort : public TApdCustomComPort {
  Q_OBJECT

 public:
  using TApdCustomComPort::TApdCustomComPort;
};

}  // namespace kestrel
