// The dispatcher's device operations over a TApdSerialDevice.

#include "serial/AwuserPosix.h"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "messages/AdErrorCodes.h"
#include "serial/EventTimer.h"

namespace kestrel {

namespace {

// Every device event the dispatcher acts on.
constexpr uint32_t kEventMask =
    ev_RxChar | ev_TxEmpty | ev_Cts | ev_Dsr | ev_Rlsd | ev_Break | ev_Err | ev_Ring;

}  // namespace

int OpenDevice(TApdSerialDevice& device) {
  if (!device.OpenMayWait()) return device.Open();
  std::atomic<bool> done{false};
  int rc = 0;
  std::thread opener([&] {
    rc = device.Open();
    done = true;
  });
  // A quit request stays pending for the event loop; the open is bounded.
  while (!done.load()) {
    if (SafeYield() != TYieldResult::Handled)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  opener.join();
  return rc;
}

TApdPosixDispatcher::TApdPosixDispatcher(void* owner, const TPortMap* devices, TApdPortList* ports)
    : TApdBaseDispatcher(owner, ports),
      OwnDevices_(devices ? nullptr : std::make_unique<TPortMap>()),
      Devices_(devices ? *devices : *OwnDevices_) {}

TApdPosixDispatcher::~TApdPosixDispatcher() {
  ShutdownDispatcher();
}

void TApdPosixDispatcher::SetDevice(std::unique_ptr<TApdSerialDevice> device) {
  Pending_ = std::move(device);
}

int TApdPosixDispatcher::OpenCom(const std::string& path, int inSize, int outSize) {
  std::unique_ptr<TApdSerialDevice> device;
  if (Pending_)
    device = std::move(Pending_);
  else
    device = Devices_.CreateSerialDevice(path);
  if (!device) return ecFileNotFound;
  // Opened before it is shared: window events handled meanwhile may ask the
  // dispatcher about its (absent) device.
  const int rc = OpenDevice(*device);
  if (rc < 0) return rc;
  std::lock_guard<std::mutex> lock(DeviceLock_);
  Device_ = std::move(device);
  return 0;
}

int TApdPosixDispatcher::CloseCom() {
  if (ThreadsActive_.load()) {
    KillThreads_ = true;
    ReadyEvent_.Set();
    // The output thread ends on the kill flag once it wakes.
    FlushEvent_.Signal();
  }
  if (Device_) Device_->Close();  // ends a blocked event or write wait
  return 0;
}

int TApdPosixDispatcher::SetupCom(int inSize, int outSize) {
  std::lock_guard<std::mutex> lock(DeviceLock_);
  if (!Device_) return ecInvalidHandle;
  return std::min(Device_->SetQueueSizes(inSize, outSize), 0);
}

int TApdPosixDispatcher::GetComState(TDeviceSettings& settings) {
  std::lock_guard<std::mutex> lock(DeviceLock_);
  if (!Device_) return ecInvalidHandle;
  return Device_->GetState(settings);
}

int TApdPosixDispatcher::SetComState(const TDeviceSettings& settings) {
  std::lock_guard<std::mutex> lock(DeviceLock_);
  if (!Device_) return ecInvalidHandle;
  return Device_->SetState(settings);
}

uint32_t TApdPosixDispatcher::GetComError(TDeviceStatus& status) {
  status = TDeviceStatus{};
  std::lock_guard<std::mutex> lock(DeviceLock_);
  return Device_ ? Device_->GetError(status) : 0;
}

int TApdPosixDispatcher::ComDriverOutQueue(uint32_t& errors) {
  TDeviceStatus status;
  std::lock_guard<std::mutex> lock(DeviceLock_);
  if (!Device_) return 0;
  errors |= Device_->GetError(status);
  return static_cast<int>(status.OutQue);
}

uint32_t TApdPosixDispatcher::GetComEventMask(int) {
  return 0;
}

int TApdPosixDispatcher::EscapeComFunction(int function) {
  std::lock_guard<std::mutex> lock(DeviceLock_);
  if (!Device_) return ecInvalidHandle;
  return Device_->Escape(function);
}

int TApdPosixDispatcher::FlushCom(int which) {
  std::lock_guard<std::mutex> lock(DeviceLock_);
  if (!Device_) return ecInvalidHandle;
  if (which == 1) return Device_->Purge(PURGE_RXABORT | PURGE_RXCLEAR);
  return Device_->Purge(PURGE_TXABORT | PURGE_TXCLEAR);
}

int TApdPosixDispatcher::ReadCom(uint8_t* buffer, int n) {
  if (!Device_) return 0;
  return std::max(Device_->Read(buffer, n), 0);
}

int TApdPosixDispatcher::WriteCom(const uint8_t* data, int n) {
  {
    std::lock_guard<std::recursive_mutex> lock(OutputLock_);
    if (!OBuffer_) return 0;
    int first = std::min(n, OutSize_ - OBufHead_);
    std::memcpy(OBuffer_.get() + OBufHead_, data, first);
    if (n > first) std::memcpy(OBuffer_.get(), data + first, n - first);
    OBufHead_ = (OBufHead_ + n) % OutSize_;
  }
  OutputEvent_.Signal();
  return n;
}

int TApdPosixDispatcher::WaitComEvent(uint32_t& mask) {
  if (!Device_) return kDeviceClosed;
  mask = 0;
  return Device_->WaitEvent(kEventMask, mask);
}

int TApdPosixDispatcher::ComWrite(const uint8_t* data, int n) {
  if (!Device_) return kDeviceClosed;
  return Device_->Write(data, n);
}

int TApdPosixDispatcher::ComWaitWritable(int cancelFd) {
  if (!Device_) return kDeviceClosed;
  return Device_->WaitWritable(cancelFd);
}

int TApdPosixDispatcher::ComModemLines(uint8_t& levels) {
  std::lock_guard<std::mutex> lock(DeviceLock_);
  if (!Device_) return ecInvalidHandle;
  return Device_->GetModemLines(levels);
}

std::string TApdPosixDispatcher::DeviceLostReason() {
  std::lock_guard<std::mutex> lock(DeviceLock_);
  return DeviceLost() && Device_ ? Device_->LostReason() : std::string();
}

std::vector<std::string> TApdPosixDispatcher::DeviceUnconfirmed() {
  std::lock_guard<std::mutex> lock(DeviceLock_);
  return Device_ ? Device_->Unconfirmed() : std::vector<std::string>();
}

int TApdPosixDispatcher::ProcessCommunications() {
  sched_yield();
  return 0;
}

}  // namespace kestrel
