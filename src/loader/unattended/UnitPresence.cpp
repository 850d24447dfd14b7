#include "loader/unattended/UnitPresence.h"

#include <filesystem>

#include "serial/qt/AdPortTrial.h"
#include "serial/qt/Adport.h"
#include "serialdevice/AwPortPath.h"

namespace kestrel {

namespace {

// A prompt wait of the probe, in 55 ms ticks: a unit that is there answers
// a carriage return at once.
constexpr int kPresenceWait = 9;

// Puts the settings' line onto the port and nothing else.
class TLineSettings : public TQuietSettingsTarget {
 public:
  explicit TLineSettings(TApdComPort& port) : Port(port) {}
  void SetBaud(long baud) override { Port.SetBaud(int32_t(baud)); }
  void SetDataBits(int bits) override { Port.SetDataBits(uint16_t(bits)); }
  void SetParity(int parity) override { Port.SetParity(TParity(parity)); }
  void SetStopBits(int bits) override { Port.SetStopBits(uint16_t(bits)); }

 private:
  TApdComPort& Port;
};

}  // namespace

TUnitPresence::TUnitPresence(const std::string& iniFile, long baud, TApdPortContext* ports)
    : FPort(std::make_unique<TApdComPort>(nullptr, ports)) {
  // The line as the window sets it up before the settings are read.
  FPort->SetAutoOpen(false);
  FPort->SetBaud(38400);
  FPort->SetDataBits(8);
  FPort->SetParity(pNone);
  FPort->SetStopBits(1);
  FPort->SetHWFlowOptions({hwfUseRTS, hwfRequireCTS});
  FSettings.CommandLineBaud = baud;
  TLineSettings target(*FPort);
  read_settings_file(iniFile.empty() ? kSettingsFileName : iniFile.c_str(), FSettings, target);
  if (baud != 0) FPort->SetBaud(int32_t(baud));
  const int configured = FSettings.ConfiguredComNumber;
  FComNumber = configured > 0 && configured <= kMaxComNumber ? configured : 1;
  FPort->SetComNumber(uint16_t(FComNumber));
}

TUnitPresence::~TUnitPresence() = default;

std::string TUnitPresence::DevicePath() const {
  return FPort->PortMap().ResolvePortPath(FComNumber);
}

TUnitPresence::TState TUnitPresence::Probe(TClock& clock) {
  // An adapter not plugged in is waited for without touching anything.
  const std::string path = DevicePath();
  std::error_code ec;
  if (!path.empty() && path.front() == '/' && !std::filesystem::exists(path, ec))
    return TState::NoDevice;
  FOpenFailure.clear();
  FNeverAUnit = false;
  bool answered = false;
  try {
    FPort->SetOpen(true);
  } catch (const std::exception& e) {
    // A device that will not open has no unit to offer; why, in the words
    // a run uses for it.
    const TPortTrial trial = TryPort(FComNumber, FPort->PortMap());
    const TOpenFailure failure = trial.Failure;
    FNeverAUnit = failure == TOpenFailure::ofNotSerial;
    // A network line's own words (refused, no such host) say the most.
    FOpenFailure = !trial.Reason.empty() ? trial.Reason
                   : failure == TOpenFailure::ofNone || failure == TOpenFailure::ofOther
                       ? e.what()
                       : OpenFailureText(failure, path);
    return TState::Silent;
  }
  try {
    answered = exchange(clock);
  } catch (const std::exception&) {
    // The device went away meanwhile.
  }
  const bool lost = FPort->Open() && FPort->DeviceLost();
  try {
    FPort->SetOpen(false);
  } catch (const std::exception&) {
  }
  if (answered) return TState::Answers;
  return lost ? TState::NoDevice : TState::Silent;
}

bool TUnitPresence::exchange(TClock& clock) {
  // The unit answers "#", or ">" in loader mode, as the start-up probe expects.
  for (char prompt : {FSettings.NormalPrompt, FSettings.LoaderPrompt}) {
    FPort->PrepareWait();
    try {
      FPort->FlushInBuffer();
      FPort->PutString("\r");
    } catch (...) {
      FPort->AbandonPreparedWait();
      throw;
    }
    if (FPort->WaitForString(std::string(1, prompt), kPresenceWait, true, false, &clock))
      return true;
    if (FPort->DeviceLost()) return false;
  }
  return false;
}

}  // namespace kestrel
