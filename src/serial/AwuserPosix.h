#pragma once
// TApdPosixDispatcher: the dispatcher over a serial device of this platform
// (a termios device, or any other TApdSerialDevice the device factory makes
// for a path, such as the in-memory null-modem device).
//
// Thread contract: as TApdBaseDispatcher. Device control calls (state, status,
// escape, purge, modem lines) are serialised by a leaf lock of their own.

#include <memory>
#include <mutex>
#include <string>

#include "serial/Awuser.h"
#include "serialdevice/AwDevice.h"
#include "serialdevice/AwPortPath.h"

namespace kestrel {

// Opens `device`; one whose open may take seconds opens on a thread of its
// own while the caller handles its pending window events (SafeYield).
// Thread contract: any thread.
int OpenDevice(TApdSerialDevice& device);

class TApdPosixDispatcher : public TApdBaseDispatcher {
 public:
  // `devices` makes the device for the path given to InitPort; without one
  // the dispatcher keeps a map of its own (termios devices and the console
  // guard, no schemes). `ports` as for the base.
  explicit TApdPosixDispatcher(void* owner, const TPortMap* devices = nullptr,
                               TApdPortList* ports = nullptr);
  ~TApdPosixDispatcher() override;

  // The device the next InitPort opens, instead of one made for the path
  // (tests and tools that hold the far end of a simulated cable).
  void SetDevice(std::unique_ptr<TApdSerialDevice> device);

  int ProcessCommunications() override;
  std::string DeviceLostReason() override;
  std::vector<std::string> DeviceUnconfirmed() override;

 protected:
  int EscapeComFunction(int function) override;
  int FlushCom(int which) override;
  uint32_t GetComError(TDeviceStatus& status) override;
  uint32_t GetComEventMask(int id) override;
  int GetComState(TDeviceSettings& settings) override;
  int ReadCom(uint8_t* buffer, int n) override;
  int SetComState(const TDeviceSettings& settings) override;
  int WriteCom(const uint8_t* data, int n) override;
  int WaitComEvent(uint32_t& mask) override;
  int SetupCom(int inSize, int outSize) override;
  int OpenCom(const std::string& path, int inSize, int outSize) override;
  int CloseCom() override;
  int ComWrite(const uint8_t* data, int n) override;
  int ComWaitWritable(int cancelFd) override;
  int ComModemLines(uint8_t& levels) override;
  int ComDriverOutQueue(uint32_t& errors) override;

 private:
  std::unique_ptr<TPortMap> OwnDevices_;
  const TPortMap& Devices_;
  std::unique_ptr<TApdSerialDevice> Pending_;
  // Created by OpenCom, kept until destruction so that a thread still
  // returning from a wait never meets a freed device.
  std::unique_ptr<TApdSerialDevice> Device_;
  std::mutex DeviceLock_;
};

}  // namespace kestrel
