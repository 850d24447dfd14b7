#pragma once
// A device that hands every operation to another device. Wrappers derive
// from it and override only what they add to (opening, writing, ...).
// Thread contract: as the wrapped device's.

#include <memory>
#include <utility>

#include "serialdevice/AwDevice.h"

namespace kestrel {

template <class TInner = TApdSerialDevice>
class TApdForwardingDevice : public TApdSerialDevice {
 public:
  std::string Path() const override { return inner_->Path(); }
  int Open() override { return inner_->Open(); }
  void Close() override { inner_->Close(); }
  bool IsOpen() const override { return inner_->IsOpen(); }
  int SetQueueSizes(int inSize, int outSize) override {
    return inner_->SetQueueSizes(inSize, outSize);
  }
  int ReceiveQueueSize() const override { return inner_->ReceiveQueueSize(); }
  int GetState(TDeviceSettings& settings) override { return inner_->GetState(settings); }
  int SetState(const TDeviceSettings& settings) override { return inner_->SetState(settings); }
  int Read(uint8_t* buffer, int n) override { return inner_->Read(buffer, n); }
  int Write(const uint8_t* data, int n) override { return inner_->Write(data, n); }
  int WaitWritable(int cancelFd) override { return inner_->WaitWritable(cancelFd); }
  int WaitEvent(uint32_t mask, uint32_t& happened) override {
    return inner_->WaitEvent(mask, happened);
  }
  uint32_t GetError(TDeviceStatus& status) override { return inner_->GetError(status); }
  int GetModemLines(uint8_t& levels) override { return inner_->GetModemLines(levels); }
  int Escape(int function) override { return inner_->Escape(function); }
  int Purge(uint32_t flags) override { return inner_->Purge(flags); }

 protected:
  explicit TApdForwardingDevice(std::unique_ptr<TInner> inner) : inner_(std::move(inner)) {}
  TInner& inner() const { return *inner_; }

 private:
  std::unique_ptr<TInner> inner_;
};

}  // namespace kestrel
