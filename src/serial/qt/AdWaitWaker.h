#pragma once
// Wakes a window-thread wait (WaitForString) when received bytes reach a
// dispatcher, so that the wait can sleep instead of polling.
//
// Every device the port component opens is wrapped in a TApdWakingDevice,
// which tells the waker after each read that returned bytes. The dispatcher
// reads under its input lock, so a waiter woken this way that then asks
// CharReady sees the bytes once the read has been stored.

#include <QAbstractEventDispatcher>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "AwDevice.h"

namespace kestrel {

// Thread contract: any thread.
class TApdWaitWaker {
 public:
  static TApdWaitWaker& Instance();

  // Bytes arrived somewhere: bump the arrival count, wake every waiter.
  void Notify();
  // The arrival count; a waiter reads it before it looks for data and sleeps
  // only while it is unchanged.
  uint64_t Arrivals() const;
  // Sleeps until the arrival count differs from `seen` or the time is up.
  void WaitFor(uint64_t seen, int milliseconds);

  // While registered, Notify also wakes this event dispatcher (a waiter that
  // blocks in processEvents). Registration is counted.
  void AddEventDispatcher(QAbstractEventDispatcher* dispatcher);
  void RemoveEventDispatcher(QAbstractEventDispatcher* dispatcher);

 private:
  mutable std::mutex Lock_;
  std::condition_variable Changed_;
  uint64_t Arrivals_ = 0;
  std::vector<QAbstractEventDispatcher*> Dispatchers_;
};

// A device that forwards everything to the device it wraps and tells the
// waker whenever Read returned bytes.
// Thread contract: as the wrapped device.
class TApdWakingDevice : public TApdSerialDevice {
 public:
  explicit TApdWakingDevice(std::unique_ptr<TApdSerialDevice> inner) : Inner_(std::move(inner)) {}

  // The device factory the port component gives its dispatcher.
  static std::unique_ptr<TApdSerialDevice> Create(const std::string& path);

  std::string Path() const override { return Inner_->Path(); }
  int Open() override { return Inner_->Open(); }
  void Close() override { Inner_->Close(); }
  bool IsOpen() const override { return Inner_->IsOpen(); }
  int SetQueueSizes(int inSize, int outSize) override {
    return Inner_->SetQueueSizes(inSize, outSize);
  }
  int ReceiveQueueSize() const override { return Inner_->ReceiveQueueSize(); }
  int GetState(TDeviceSettings& settings) override { return Inner_->GetState(settings); }
  int SetState(const TDeviceSettings& settings) override { return Inner_->SetState(settings); }
  int Read(uint8_t* buffer, int n) override;
  int Write(const uint8_t* data, int n) override { return Inner_->Write(data, n); }
  int WaitWritable(int cancelFd) override { return Inner_->WaitWritable(cancelFd); }
  int WaitEvent(uint32_t mask, uint32_t& happened) override {
    return Inner_->WaitEvent(mask, happened);
  }
  uint32_t GetError(TDeviceStatus& status) override { return Inner_->GetError(status); }
  int GetModemLines(uint8_t& levels) override { return Inner_->GetModemLines(levels); }
  int Escape(int function) override { return Inner_->Escape(function); }
  int Purge(uint32_t flags) override { return Inner_->Purge(flags); }

 private:
  std::unique_ptr<TApdSerialDevice> Inner_;
};

}  // namespace kestrel
