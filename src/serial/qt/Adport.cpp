// TApdCustomComPort: construction, open and close, the hidden window's
// message handling and the users list.

#include "serial/qt/Adport.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>
#include <QtGlobal>
#include <algorithm>
#include <cstdio>
#include <mutex>

#include "serial/Awuser.h"
#include "serial/AwuserPosix.h"
#include "serial/qt/AdComWindow.h"
#include "serial/qt/AdPortContext.h"
#include "serial/qt/AdWaitWaker.h"
#include "serial/qt/Adselcom.h"
#include "serialdevice/AwPortPath.h"

namespace kestrel {

// ---------------------------------------------------------------------------
// Process-wide: the exception display of ports made without the program's
// context (tests, tools); the program's ports show through their context.

namespace {

std::mutex g_displayLock;
TShowExceptionProc g_showException;

// How long the hidden window waits before it looks again whether the threads
// of a dispatcher whose close was deferred have ended.
constexpr int kDeferredCloseRetryMs = 2;

}  // namespace

QEvent::Type TApdPortMessageEvent::EventType() {
  static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
  return type;
}

void SetPortExceptionDisplay(TShowExceptionProc show) {
  std::lock_guard guard(g_displayLock);
  g_showException = std::move(show);
}

void ShowPortException(const std::exception& e) {
  TShowExceptionProc show;
  {
    std::lock_guard guard(g_displayLock);
    show = g_showException;
  }
  if (show) {
    show(e);
  } else {
    qWarning("Kestrel: %s", e.what());
  }
}

// ---------------------------------------------------------------------------
// The dispatcher's view of the hidden window.

// Thread contract: DeliverTriggerMessage on the dispatch thread; created and
// destroyed with the hidden window on the window thread.
class TApdCustomComPort::TWindowHandler final : public TApdWindowHandler {
 public:
  explicit TWindowHandler(TApdComWindow* window) : Window_(window) {}
  void DeliverTriggerMessage(uint32_t Msg, uint32_t wParam, uint32_t lParam) override {
    Window_->Send(Msg, wParam, lParam);
  }

 private:
  TApdComWindow* const Window_;  // outlives the dispatcher's threads
};

struct TApdCustomComPort::TUser {
  uint64_t Id = 0;
  QPointer<QObject> Window;
  bool IsWindow = false;
  const void* Owner = nullptr;
  TPortCallback Callback;
  TPortCallbackEx CallbackEx;
  bool Extended = false;
};

// ---------------------------------------------------------------------------
// Life.

TApdCustomComPort::TApdCustomComPort(QObject* owner, TApdPortContext* context)
    : QObject(owner),
      OwnContext_(context ? nullptr : std::make_unique<TApdPortContext>(TApdWaitWaker::Instance())),
      Context_(context ? *context : *OwnContext_) {
  setObjectName(QStringLiteral("ApdComPort"));
}

TApdCustomComPort::~TApdCustomComPort() {
  Destroying_ = true;
  try {
    if (InState(psOpen)) DonePort();
  } catch (const std::exception& e) {
    ShowException(e);
  }
  // A close still pending ends here: the dispatcher waits for its threads.
  ReleaseDispatcher();
  PortState_ = psClosed;
}

void TApdCustomComPort::ShowException(const std::exception& e) const {
  Context_.ShowException(e);
}

void TApdCustomComPort::Assign(const TApdCustomComPort& source) {
  if (&source == this) return;
  SetDeviceLayer(source.DeviceLayer_);
  SetComNumber(source.ComNumber_);
  SetBaud(source.Baud_);
  SetPromptForPort(source.PromptForPort_);
  SetParity(source.Parity_);
  SetDataBits(source.DataBits_);
  SetStopBits(source.StopBits_);
  SetInSize(source.InSize_);
  SetOutSize(source.OutSize_);
  SetAutoOpen(source.AutoOpen_);
  SetDTR(source.DTR_);
  SetRTS(source.RTS_);
  SetHWFlowOptions(source.HWFlowOptions_);
  SetSWFlowOptions(source.SWFlowOptions_);
  SetXOnChar(source.XOnChar_);
  SetXOffChar(source.XOffChar_);
  SetBufferFull(source.BufferFull_);
  SetBufferResume(source.BufferResume_);
  SetTracing(source.Tracing_);
  SetTraceSize(source.TraceSize_);
  SetTraceName(source.TraceName_);
  SetTraceHex(source.TraceHex_);
  SetTraceAllHex(source.TraceAllHex_);
  SetLogging(source.Logging_);
  SetLogSize(source.LogSize_);
  SetLogName(source.LogName_);
  SetLogHex(source.LogHex_);
  SetLogAllHex(source.LogAllHex_);
  SetUseMSRShadow(source.UseMSRShadow_);
  SetUseEventWord(source.UseEventWord_);
  SetCommNotificationLevel(source.CommNotificationLevel_);
  SetTapiMode(source.TapiMode_);
  SetRS485Mode(source.RS485Mode_);
  SetTag(source.Tag_);
}

void TApdCustomComPort::Loaded() {
  SetLoading(false);
  if (OpenPending_) Open_ = true;
  if (!Open_) return;
  OpenPending_ = false;
  try {
    // InitPort expects a closed component whose Open is not yet set.
    Open_ = false;
    InitPort();
  } catch (const std::exception& e) {
    Open_ = false;
    ShowException(e);
  }
}

// ---------------------------------------------------------------------------
// Open and close.

void TApdCustomComPort::SetOpen(bool open) {
  if (Loading()) {
    if (open == Open_) return;
    Open_ = open;
    if (open) OpenPending_ = true;
    return;
  }
  if (!open) {
    // A reopen asked for while a deferred close runs is withdrawn.
    ReopenAfterClose_ = false;
    if (Open_) DonePort();
    return;
  }
  if (Open_) return;
  if (!InState(psClosed)) {
    ReopenAfterClose_ = true;
    return;
  }
  InitPort();
}

void TApdCustomComPort::ValidateComport() {
  if (ComNumber_ != 0) return;
  if (!PromptForPort_) {
    Check(ecNoPortSelected);
    return;
  }
  TComSelectForm form(Context_.PortMap, nullptr);
  const int result = form.exec();
  const int chosen = form.SelectedComNum();
  // An empty list confirmed with OK selects nothing either.
  if (result != TComSelectForm::mrOk || chosen <= 0) {
    Check(ecNoPortSelected);
    return;
  }
  ComNumber_ = static_cast<uint16_t>(chosen);
}

void TApdCustomComPort::ActivateDeviceLayer() {
  if (DeviceLayer_ != dlWin32) {
    Check(ecNullApi);
    return;
  }
  Dispatcher_ = std::make_unique<TApdPosixDispatcher>(this, &Context_.PortMap, &Context_.Ports);
  Dispatcher_->SetDeviceName("COM" + std::to_string(ComNumber_));
  // Received bytes wake a WaitForString that sleeps for them; output handed
  // on and modem-line changes wake the loader's drain and CTS waits.
  TApdWaitWaker& waker = Context_.Waker();
  Dispatcher_->SetDataArrivalHook([&waker] { waker.Notify(); });
  Dispatcher_->SetOutputStatusHook([&waker] { waker.Notify(); });
  Dispatcher_->SetSynchronizeHook([&context = Context_](const std::function<void()>& call) {
    context.SynchronizeOnWindowThread(call);
  });
}

void TApdCustomComPort::InitializePort() {
  uint32_t options = 0;
  if (DTR_) options |= ipAssertDTR;
  if (RTS_) options |= ipAssertRTS;
  if (HWFlowOptions_.Contains(hwfUseDTR)) options |= ipAutoDTR;
  if (HWFlowOptions_.Contains(hwfUseRTS)) options |= ipAutoRTS;
  int rc = Dispatcher_->InitPort(Context_.PortMap.ResolvePortPath(ComNumber_), Baud_, Parity_,
                                 static_cast<uint8_t>(DataBits_), static_cast<uint8_t>(StopBits_),
                                 InSize_, OutSize_, options);
  if (rc == ecAccessDenied) {
    rc = ecAlreadyOpen;
  } else if (rc == ecFileNotFound || rc == ecPathNotFound) {
    rc = ecBadId;
  }
  if (rc < 0) Check(rc);
}

void TApdCustomComPort::InitPort() {
  // An open now answers any reopen asked for while a close was running.
  ReopenAfterClose_ = false;
  if (TapiMode_ != tmOn) ValidateComport();
  // Without a number (only possible while loading, when nothing is raised) there is nothing to
  // open.
  if (ComNumber_ == 0 && TapiMode_ != tmOn) return;
  if (TapiMode_ == tmOn) {
    // A device handle handed in from outside is not supported here.
    Check(ecNotOpenedByTapi);
    return;
  }
  if (Opening_) {
    Check(ecAlreadyOpen);
    return;
  }
  try {
    ActivateDeviceLayer();
    if (!Dispatcher_) return;
    Opening_ = true;
    try {
      InitializePort();
    } catch (...) {
      Opening_ = false;
      throw;
    }
    Opening_ = false;
    PortState_ = psOpen;
    UpdateHandlerFlag();
    {
      const bool wasForced = Force_;
      Force_ = true;
      SetTracing(Tracing_);
      SetLogging(Logging_);
      SetHWFlowOptions(HWFlowOptions_);
      SetSWFlowOptions(SWFlowOptions_);
      SetXOnChar(XOnChar_);
      SetXOffChar(XOffChar_);
      SetTriggerLength(TriggerLength_);
      SetDTR(DTR_);
      SetRTS(RTS_);
      SetUseEventWord(UseEventWord_);
      SetRS485Mode(RS485Mode_);
      SetThreadBoost(ThreadBoost_);
      Force_ = wasForced;
    }
    Open_ = true;
    RegisterComPort(true);
    if (TriggersSaved_) RestoreTriggers();
    PortOpen();
  } catch (...) {
    Force_ = false;
    Open_ = false;
    PortState_ = psClosed;
    ReleaseDispatcher();
    throw;
  }
}

void TApdCustomComPort::DonePort() {
  if (!InState(psOpen)) return;
  DumpRecordersAtClose();
  PortState_ = psShuttingDown;
  HeldBackMessages_.clear();  // they belong to this dispatcher
  PortClosing();
  SaveTriggers();
  // A dispatch thread waiting for this window to take a message that has not
  // started must not hold up the close.
  if (ComWindow_) ComWindow_->Shutdown();
  Dispatcher_->DonePort();
  if (Dispatcher_->ClosePending() || Dispatcher_->ThreadsActive()) {
    // Called from inside a delivery: the dispatch thread finishes the close
    // once the handlers have returned; the hidden window completes it here.
    Open_ = false;
    if (ComWindow_) {
      ComWindow_->Post(apw_ClosePending, 0, static_cast<uint32_t>(Dispatcher_->Handle()) << 16);
    }
  } else {
    ReleaseDispatcher();
    PortState_ = psClosed;
    Open_ = false;
  }
  PortClose();
}

void TApdCustomComPort::FinishDeferredClose() {
  if (!InState(psShuttingDown) || !Dispatcher_) return;
  if (Dispatcher_->ThreadsActive()) {
    // Look again shortly rather than reposting at once, which would keep the
    // window thread busy while the threads wind down.
    QPointer<TApdComWindow> window = ComWindow_;
    const uint32_t lParam = static_cast<uint32_t>(Dispatcher_->Handle()) << 16;
    QTimer::singleShot(kDeferredCloseRetryMs, window, [window, lParam] {
      if (window) window->Post(apw_ClosePending, 0, lParam);
    });
    return;
  }
  ReleaseDispatcher();
  PortState_ = psClosed;
  Open_ = false;
  if (ReopenAfterClose_) {
    ReopenAfterClose_ = false;
    InitPort();
  }
}

void TApdCustomComPort::ReleaseDispatcher() {
  if (Dispatcher_ && WindowHandler_) Dispatcher_->DeregisterWndTriggerHandler(WindowHandler_.get());
  if (ComWindow_) ComWindow_->Shutdown();
  // Destroying the dispatcher waits for its threads, so nothing calls the
  // window handler afterwards.
  Dispatcher_.reset();
  WindowHandler_.reset();
  if (ComWindow_) {
    // The window may be the one whose message is being handled right now.
    ComWindow_->deleteLater();
    ComWindow_.clear();
  }
}

void TApdCustomComPort::RegisterComPort(bool enabling) {
  if (enabling) {
    const uint64_t generation = ++WindowGeneration_;
    auto window = std::make_unique<TApdComWindow>(
        [this, generation](uint32_t Msg, uint32_t wParam, uint32_t lParam) {
          if (generation == WindowGeneration_) WindowProc(Msg, wParam, lParam);
        },
        this);
    ComWindow_ = window.release();  // owned by this component (Qt parent)
    WindowHandler_ = std::make_unique<TWindowHandler>(ComWindow_.data());
    Dispatcher_->RegisterWndTriggerHandler(WindowHandler_.get());
    return;
  }
  if (Dispatcher_ && WindowHandler_) Dispatcher_->DeregisterWndTriggerHandler(WindowHandler_.get());
  WindowHandler_.reset();
  if (ComWindow_) {
    ComWindow_->Shutdown();
    ComWindow_->deleteLater();
    ComWindow_.clear();
  }
}

void TApdCustomComPort::SaveTriggers() {
  if (!Dispatcher_) return;
  SavedTriggers_ = TTriggerSave{};
  Dispatcher_->SaveTriggers(SavedTriggers_);
  TriggersSaved_ = true;
}

void TApdCustomComPort::RestoreTriggers() {
  if (!Dispatcher_) return;
  Dispatcher_->RestoreTriggers(SavedTriggers_);
  TriggerLength_ = SavedTriggers_.AvailThreshold;
  TriggersSaved_ = false;
  SavedTriggers_ = TTriggerSave{};
}

bool TApdCustomComPort::DeviceLost() {
  TApdBaseDispatcher* dispatcher = OpenDispatcher();
  return dispatcher && dispatcher->DeviceLost();
}

std::string TApdCustomComPort::DeviceLostReason() {
  TApdBaseDispatcher* dispatcher = OpenDispatcher();
  return dispatcher ? dispatcher->DeviceLostReason() : std::string();
}

std::vector<std::string> TApdCustomComPort::DeviceUnconfirmed() {
  TApdBaseDispatcher* dispatcher = OpenDispatcher();
  return dispatcher ? dispatcher->DeviceUnconfirmed() : std::vector<std::string>();
}

std::string TApdCustomComPort::DevicePath() {
  if (TApdBaseDispatcher* dispatcher = OpenDispatcher()) return dispatcher->DevicePath();
  return Context_.PortMap.ResolvePortPath(ComNumber_);
}

TPortMap& TApdCustomComPort::PortMap() const {
  return Context_.PortMap;
}

TApdBaseDispatcher* TApdCustomComPort::OpenDispatcher() {
  return InState(psOpen) ? Dispatcher_.get() : nullptr;
}

TApdBaseDispatcher* TApdCustomComPort::GetDispatcher() {
  if (!Dispatcher_ && !Loading() && !InState(psOpen) && AutoOpen_) SetOpen(true);
  return OpenDispatcher();
}

TApdBaseDispatcher* TApdCustomComPort::ValidDispatcher() {
  TApdBaseDispatcher* dispatcher = GetDispatcher();
  if (!dispatcher) Check(ecCommNotOpen);
  return dispatcher;
}

void TApdCustomComPort::ProcessCommunications() {
  QThread::yieldCurrentThread();
}

// ---------------------------------------------------------------------------
// The hidden window.

void TApdCustomComPort::WindowProc(uint32_t Msg, uint32_t wParam, uint32_t lParam) {
  try {
    if (Msg == apw_ClosePending) {
      FinishDeferredClose();
      return;
    }
    if (Msg < apw_TriggerAvail || Msg > apw_TriggerStatus) return;
    const int handle = static_cast<int>(lParam >> 16);
    TApdPortList& ports = Context_.Ports;
    ports.Lock();
    struct TUnlock {
      TApdPortList& Ports;
      ~TUnlock() { Ports.Unlock(); }
    } unlock{ports};
    TApdBaseDispatcher* dispatcher = ports.Entry(handle);
    // A message of a dispatcher that is gone, or not ours (any more), is ignored.
    if (!dispatcher || dispatcher != Dispatcher_.get() || !InState(psOpen)) return;
    // The suspension stops new deliveries, not one already on its way here:
    // such a message reaches us while the wait yields. The wait consumes the
    // bytes an avail message offers; any other message is held back until
    // the wait ends, for a timer or status trigger has disarmed itself and
    // only its handler would arm it again.
    if (WaitDepth_ > 0) {
      if (Msg != apw_TriggerAvail) HeldBackMessages_.push_back({Msg, wParam, lParam});
      return;
    }
    // Reads made here are this handler's, relative to the start of the offer.
    TApdHandlerScope scope(*dispatcher);
    HandleTriggerMessage(Msg, wParam, lParam);
  } catch (const std::exception& e) {
    ShowException(e);
  } catch (...) {
    ShowException(EAPDException("Kelp exception"));
  }
}

void TApdCustomComPort::DeliverHeldBackMessages() {
  while (!HeldBackMessages_.empty() && WaitDepth_ == 0) {
    const THeldBackMessage m = HeldBackMessages_.front();
    HeldBackMessages_.erase(HeldBackMessages_.begin());
    if (!OpenDispatcher()) {
      HeldBackMessages_.clear();
      return;
    }
    try {
      HandleTriggerMessage(m.Msg, m.wParam, m.lParam);
    } catch (const std::exception& e) {
      ShowException(e);
    } catch (...) {
      ShowException(EAPDException("Kelp exception"));
    }
  }
}

void TApdCustomComPort::HandleTriggerMessage(uint32_t Msg, uint32_t wParam, uint32_t lParam) {
  const auto handle = static_cast<uint16_t>(wParam);
  const auto data = static_cast<uint16_t>(lParam & 0xFFFF);
  switch (Msg) {
    case apw_TriggerAvail:
      Trigger(static_cast<uint16_t>(Msg), handle, handle);
      if (InState(psOpen)) TriggerAvail(handle);
      break;
    case apw_TriggerData:
      Trigger(static_cast<uint16_t>(Msg), handle, data);
      if (InState(psOpen)) TriggerData(handle);
      break;
    case apw_TriggerTimer:
      Trigger(static_cast<uint16_t>(Msg), handle, 0);
      if (InState(psOpen)) TriggerTimer(handle);
      break;
    case apw_TriggerStatus:
      Trigger(static_cast<uint16_t>(Msg), handle, data);
      if (!InState(psOpen)) break;
      TriggerStatus(handle);
      if (!InState(psOpen)) break;
      switch (TApdBaseDispatcher::ClassifyStatusTrigger(handle)) {
        case stModem:
          TriggerModemStatus();
          break;
        case stLine: {
          const bool lineBreak = LineBreak();
          const uint16_t error = LineError();
          TriggerLineError(error, lineBreak);
          break;
        }
        case stOutBuffFree:
          TriggerOutbuffFree();
          break;
        case stOutBuffUsed:
          TriggerOutbuffUsed();
          break;
        case stOutSent:
          TriggerOutSent();
          break;
        default:
          break;
      }
      break;
    default:
      break;
  }
}

// ---------------------------------------------------------------------------
// Events.

bool TApdCustomComPort::AnyTriggerEventAssigned() const {
  return OnTrigger_ || OnTriggerAvail_ || OnTriggerData_ || OnTriggerStatus_ || OnTriggerTimer_ ||
         OnTriggerLineError_ || OnTriggerModemStatus_ || OnTriggerOutbuffFree_ ||
         OnTriggerOutbuffUsed_ || OnTriggerOutSent_;
}

void TApdCustomComPort::UpdateHandlerFlag() {
  if (TApdBaseDispatcher* dispatcher = OpenDispatcher()) {
    dispatcher->UpdateHandlerFlags(AnyTriggerEventAssigned() ? fuEnablePort : fuDisablePort);
  }
}

void TApdCustomComPort::SetOnTrigger(TTriggerEvent e) {
  OnTrigger_ = std::move(e);
  UpdateHandlerFlag();
}
void TApdCustomComPort::SetOnTriggerAvail(TTriggerAvailEvent e) {
  OnTriggerAvail_ = std::move(e);
  UpdateHandlerFlag();
}
void TApdCustomComPort::SetOnTriggerData(TTriggerDataEvent e) {
  OnTriggerData_ = std::move(e);
  UpdateHandlerFlag();
}
void TApdCustomComPort::SetOnTriggerStatus(TTriggerStatusEvent e) {
  OnTriggerStatus_ = std::move(e);
  UpdateHandlerFlag();
}
void TApdCustomComPort::SetOnTriggerTimer(TTriggerTimerEvent e) {
  OnTriggerTimer_ = std::move(e);
  UpdateHandlerFlag();
}
void TApdCustomComPort::SetOnTriggerLineError(TTriggerLineErrorEvent e) {
  OnTriggerLineError_ = std::move(e);
  UpdateHandlerFlag();
}
void TApdCustomComPort::SetOnTriggerModemStatus(TComNotifyEvent e) {
  OnTriggerModemStatus_ = std::move(e);
  UpdateHandlerFlag();
}
void TApdCustomComPort::SetOnTriggerOutbuffFree(TComNotifyEvent e) {
  OnTriggerOutbuffFree_ = std::move(e);
  UpdateHandlerFlag();
}
void TApdCustomComPort::SetOnTriggerOutbuffUsed(TComNotifyEvent e) {
  OnTriggerOutbuffUsed_ = std::move(e);
  UpdateHandlerFlag();
}
void TApdCustomComPort::SetOnTriggerOutSent(TComNotifyEvent e) {
  OnTriggerOutSent_ = std::move(e);
  UpdateHandlerFlag();
}

// Each event is copied before the call: a handler may replace itself.
void TApdCustomComPort::Trigger(uint16_t Msg, uint16_t TriggerHandle, uint16_t Data) {
  if (auto e = OnTrigger_) e(this, Msg, TriggerHandle, Data);
}
void TApdCustomComPort::TriggerAvail(uint16_t Count) {
  if (auto e = OnTriggerAvail_) e(this, Count);
}
void TApdCustomComPort::TriggerData(uint16_t TriggerHandle) {
  if (auto e = OnTriggerData_) e(this, TriggerHandle);
}
void TApdCustomComPort::TriggerStatus(uint16_t TriggerHandle) {
  if (auto e = OnTriggerStatus_) e(this, TriggerHandle);
}
void TApdCustomComPort::TriggerTimer(uint16_t TriggerHandle) {
  if (auto e = OnTriggerTimer_) e(this, TriggerHandle);
}
void TApdCustomComPort::TriggerLineError(uint16_t Error, bool LineBreak) {
  if (auto e = OnTriggerLineError_) e(this, Error, LineBreak);
}
void TApdCustomComPort::TriggerModemStatus() {
  if (auto e = OnTriggerModemStatus_) e(this);
}
void TApdCustomComPort::TriggerOutbuffFree() {
  if (auto e = OnTriggerOutbuffFree_) e(this);
}
void TApdCustomComPort::TriggerOutbuffUsed() {
  if (auto e = OnTriggerOutbuffUsed_) e(this);
}
void TApdCustomComPort::TriggerOutSent() {
  if (auto e = OnTriggerOutSent_) e(this);
}
void TApdCustomComPort::WaitChar(char C) {
  if (auto e = OnWaitChar_) e(this, C);
}

// ---------------------------------------------------------------------------
// Users.

void TApdCustomComPort::RegisterUser(QObject* window) {
  TUser user;
  user.Id = ++NextUserId_;
  user.Window = window;
  user.IsWindow = true;
  Users_.push_back(std::move(user));
}

void TApdCustomComPort::RegisterUserEx(QObject* window) {
  TUser user;
  user.Id = ++NextUserId_;
  user.Window = window;
  user.IsWindow = true;
  user.Extended = true;
  Users_.push_back(std::move(user));
}

void TApdCustomComPort::RegisterUserCallback(const void* owner, TPortCallback callback) {
  TUser user;
  user.Id = ++NextUserId_;
  user.Owner = owner;
  user.Callback = std::move(callback);
  Users_.push_back(std::move(user));
}

void TApdCustomComPort::RegisterUserCallbackEx(const void* owner, TPortCallbackEx callback) {
  TUser user;
  user.Id = ++NextUserId_;
  user.Owner = owner;
  user.CallbackEx = std::move(callback);
  user.Extended = true;
  Users_.push_back(std::move(user));
}

void TApdCustomComPort::DeregisterUser(QObject* window) {
  if (Destroying_) return;
  std::erase_if(Users_, [window](const TUser& u) { return u.IsWindow && u.Window == window; });
}

void TApdCustomComPort::DeregisterUserCallback(const void* owner) {
  if (Destroying_) return;
  std::erase_if(Users_,
                [owner](const TUser& u) { return !u.IsWindow && !u.Extended && u.Owner == owner; });
}

void TApdCustomComPort::DeregisterUserCallbackEx(const void* owner) {
  if (Destroying_) return;
  std::erase_if(Users_,
                [owner](const TUser& u) { return !u.IsWindow && u.Extended && u.Owner == owner; });
}

void TApdCustomComPort::NotifyUsers(uint32_t Msg, TApdCallbackType type) {
  const uint32_t lParam = Dispatcher_ ? static_cast<uint32_t>(Dispatcher_->Handle()) << 16 : 0;
  // Last registered first. A user may deregister itself or others meanwhile:
  // work on a snapshot and skip entries that have gone.
  const std::vector<TUser> snapshot = Users_;
  for (auto it = snapshot.rbegin(); it != snapshot.rend(); ++it) {
    const bool stillThere =
        std::any_of(Users_.begin(), Users_.end(), [&](const TUser& u) { return u.Id == it->Id; });
    if (!stillThere) continue;
    if (type == ctClosing && !it->Extended) continue;
    if (it->IsWindow) {
      if (QObject* window = it->Window.data()) {
        TApdPortMessageEvent message(Msg, 0, lParam);
        QCoreApplication::sendEvent(window, &message);
      }
    } else if (it->Extended) {
      if (it->CallbackEx) it->CallbackEx(this, type);
    } else if (it->Callback) {
      it->Callback(this, type == ctOpen);
    }
  }
}

void TApdCustomComPort::PortOpen() {
  NotifyUsers(apw_PortOpen, ctOpen);
  if (auto e = OnPortOpen_) e(this);
}

void TApdCustomComPort::PortClosing() {
  NotifyUsers(apw_ClosePending, ctClosing);
}

void TApdCustomComPort::PortClose() {
  NotifyUsers(apw_PortClose, ctClosed);
  if (auto e = OnPortClose_) e(this);
}

}  // namespace kestrel
