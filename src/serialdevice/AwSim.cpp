#include "serialdevice/AwSim.h"

#include "messages/AdErrorCodes.h"
#include "serialdevice/AwSimCable.h"

namespace kestrel {

namespace {
TSimClock::time_point Deadline(std::chrono::milliseconds timeout) {
  return TSimClock::now() + timeout;
}
}  // namespace

TApdSimDevice::TApdSimDevice(std::shared_ptr<TApdSimCable> cable, std::string path)
    : cable_(std::move(cable)), path_(std::move(path)) {}

TApdSimDevice::~TApdSimDevice() {
  Close();
}

int TApdSimDevice::Open() {
  return cable_->PortOpen(this);
}
void TApdSimDevice::Close() {
  cable_->PortClose(this);
}
bool TApdSimDevice::IsOpen() const {
  return cable_->PortIsOpenBy(this);
}

int TApdSimDevice::SetQueueSizes(int inSize, int outSize) {
  return cable_->PortSetQueueSizes(this, inSize, outSize);
}

int TApdSimDevice::ReceiveQueueSize() const {
  return cable_->PortReceiveQueueSize();
}

int TApdSimDevice::GetState(TDeviceSettings& settings) {
  return cable_->PortGetState(this, settings);
}

int TApdSimDevice::SetState(const TDeviceSettings& settings) {
  if (!IsSupportedLineSettings(settings)) return ecInvalidParameter;
  return cable_->PortSetState(this, settings);
}

int TApdSimDevice::Read(uint8_t* buffer, int n) {
  return cable_->PortRead(this, buffer, n);
}

int TApdSimDevice::Write(const uint8_t* data, int n) {
  return cable_->PortWrite(this, data, n);
}

int TApdSimDevice::WaitWritable(int cancelFd) {
  return cable_->PortWaitWritable(this, cancelFd);
}

int TApdSimDevice::WaitEvent(uint32_t mask, uint32_t& happened) {
  return cable_->PortWaitEvent(this, mask, happened);
}

uint32_t TApdSimDevice::GetError(TDeviceStatus& status) {
  return cable_->PortGetError(this, status);
}

int TApdSimDevice::GetModemLines(uint8_t& levels) {
  return cable_->PortModemLines(this, levels);
}

int TApdSimDevice::Escape(int function) {
  return cable_->PortEscape(this, function);
}

int TApdSimDevice::Purge(uint32_t flags) {
  return cable_->PortPurge(this, flags);
}

TApdSimFarEnd::TApdSimFarEnd(std::shared_ptr<TApdSimCable> cable, std::string path)
    : cable_(std::move(cable)), path_(std::move(path)) {}

TApdSimFarEnd::~TApdSimFarEnd() {
  cable_->FarDetach();
}

std::unique_ptr<TApdSimDevice> TApdSimFarEnd::MakePortDevice() const {
  return std::make_unique<TApdSimDevice>(cable_, path_);
}

int TApdSimFarEnd::Read(uint8_t* buffer, int n) {
  return cable_->FarRead(buffer, n, std::nullopt);
}

int TApdSimFarEnd::ReadFor(uint8_t* buffer, int n, std::chrono::milliseconds timeout) {
  return cable_->FarRead(buffer, n, Deadline(timeout));
}

std::vector<uint8_t> TApdSimFarEnd::ReadExactly(size_t n, std::chrono::milliseconds timeout) {
  const auto deadline = Deadline(timeout);
  std::vector<uint8_t> out(n);
  size_t got = 0;
  while (got < n) {
    const int k = cable_->FarRead(out.data() + got, static_cast<int>(n - got), deadline);
    if (k <= 0) break;
    got += static_cast<size_t>(k);
  }
  out.resize(got);
  return out;
}

size_t TApdSimFarEnd::Available() {
  return cable_->FarAvailable();
}

int TApdSimFarEnd::Send(const uint8_t* data, int n) {
  return cable_->FarSend(data, n, std::nullopt);
}

int TApdSimFarEnd::SendFor(const uint8_t* data, int n, std::chrono::milliseconds timeout) {
  return cable_->FarSend(data, n, Deadline(timeout));
}

int TApdSimFarEnd::SendFor(std::string_view text, std::chrono::milliseconds timeout) {
  return SendFor(reinterpret_cast<const uint8_t*>(text.data()), static_cast<int>(text.size()),
                 timeout);
}

void TApdSimFarEnd::SetCts(bool on) {
  cable_->FarSetLine(ms_CtsOn, on);
}
void TApdSimFarEnd::SetDsr(bool on) {
  cable_->FarSetLine(ms_DsrOn, on);
}
void TApdSimFarEnd::SetDcd(bool on) {
  cable_->FarSetLine(ms_RlsdOn, on);
}
void TApdSimFarEnd::SetRing(bool on) {
  cable_->FarSetLine(ms_RingOn, on);
}
uint8_t TApdSimFarEnd::Lines() {
  return cable_->FarLines();
}
void TApdSimFarEnd::InjectErrors(uint32_t ceBits) {
  cable_->FarInject(ceBits);
}
void TApdSimFarEnd::SendBreak() {
  cable_->FarInject(ce_Break);
}
bool TApdSimFarEnd::PortOpen() {
  return cable_->PortView().open;
}
bool TApdSimFarEnd::PortDtr() {
  return cable_->PortView().dtr;
}
bool TApdSimFarEnd::PortRts() {
  return cable_->PortView().rts;
}
bool TApdSimFarEnd::PortBreak() {
  return cable_->PortView().brk;
}
TDeviceSettings TApdSimFarEnd::PortSettings() {
  return cable_->PortView().settings;
}
size_t TApdSimFarEnd::PortTxQueued() {
  return cable_->PortView().txQueued;
}
size_t TApdSimFarEnd::PortRxQueued() {
  return cable_->PortView().rxQueued;
}
bool TApdSimFarEnd::PortTxHeld() {
  return cable_->PortView().txHeld;
}
void TApdSimFarEnd::SetPacing(bool on) {
  cable_->SetPacing(on);
}
void TApdSimFarEnd::SetFollowPortRts(bool on) {
  cable_->SetFollowPortRts(on);
}
uint64_t TApdSimFarEnd::ChangeCount() {
  return cable_->ChangeCount();
}

bool TApdSimFarEnd::WaitForChange(uint64_t seen, std::chrono::milliseconds timeout) {
  return cable_->WaitForChange(seen, Deadline(timeout));
}

TSimPair CreateSimDevice(const TSimOptions& options) {
  uint8_t lines = 0;
  if (options.cts) lines |= ms_CtsOn;
  if (options.dsr) lines |= ms_DsrOn;
  if (options.dcd) lines |= ms_RlsdOn;
  if (options.ring) lines |= ms_RingOn;
  auto cable = std::make_shared<TApdSimCable>(options.pace, lines, options.farReceiveSize,
                                              options.farTransmitFifo, options.unplugAfter);
  TSimPair pair;
  pair.port = std::make_unique<TApdSimDevice>(cable, options.path);
  pair.far = std::make_shared<TApdSimFarEnd>(cable, options.path);
  return pair;
}

}  // namespace kestrel
