#pragma once
// Network serial lines: "rfc2217://HOST:PORT", Telnet with the COM-PORT
// option (line settings, modem lines and purges travel to the server), and
// "tcp://HOST:PORT", raw bytes to a port the server connects to a line.
//
// Thread contract: as TApdNetDevice.

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "serialdevice/AwNetDevice.h"
#include "serialdevice/AwTelnet.h"

namespace kestrel {

inline constexpr const char* kRfc2217Prefix = "rfc2217://";
inline constexpr const char* kRawTcpPrefix = "tcp://";

// The device for a network path, or nullptr when `path` names none.
std::unique_ptr<TApdSerialDevice> CreateNetDevice(const std::string& path);

// Raw TCP: bytes both ways and nothing else; no modem lines, no settings.
class TApdTcpDevice final : public TApdNetDevice {
 public:
  using TApdNetDevice::TApdNetDevice;
};

class TApdRfc2217Device final : public TApdNetDevice {
 public:
  // How long the open waits for the server to take the COM-PORT option,
  // and a settings change for the server's confirmations.
  static constexpr int kOptionWaitMs = 2000;
  static constexpr int kAnswerWaitMs = 1000;

  TApdRfc2217Device(std::string path, std::string address);

  // What the server has not confirmed so far ("SET-CONTROL DTR on", ...).
  std::vector<std::string> Unconfirmed() override;

 protected:
  int StartLine(std::string& why) override;
  int ApplyLine(const TDeviceSettings& wanted, TDeviceSettings& confirmed) override;
  void Decode(const uint8_t* wire, int n, std::vector<uint8_t>& data,
              std::vector<uint8_t>& replies) override;
  void Encode(const uint8_t* data, int n, std::vector<uint8_t>& wire) override;
  int LineControl(int function) override;
  void PurgeRemote(uint32_t flags) override;
  uint8_t Levels() override;
  bool OutputSuspended() override;

 private:
  void Command(uint8_t code, const std::vector<uint8_t>& value);
  void Control(uint8_t value);
  void Answer(uint8_t code, const std::vector<uint8_t>& value);

  std::mutex Lock_;  // everything below
  TApdTelnetCodec Codec_;
  // The server's last answer to each command code, cleared when one is sent.
  std::array<std::optional<std::vector<uint8_t>>, 13> Answers_;
  std::vector<uint8_t> ControlsAsked_;  // SET-CONTROL values sent, in order
  std::vector<uint8_t> ControlsAnswered_;
  uint8_t Modem_ = 0;       // the server's last modem state
  bool ModemLive_ = false;  // it has shown a handshake line up at least once
  bool Suspended_ = false;  // it asked us to hold output
  bool HaveLine_ = false;   // Line_ holds what the server confirmed
  TDeviceSettings Line_;
  std::vector<std::string> NotConfirmed_;
};

}  // namespace kestrel
