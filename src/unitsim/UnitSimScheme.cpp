#include "unitsim/UnitSimScheme.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <set>
#include <thread>

#include "serialdevice/AwForwardingDevice.h"
#include "serialdevice/AwPortPath.h"
#include "serialdevice/AwSim.h"
#include "unitsim/UnitOptions.h"
#include "unitsim/UnitSession.h"

namespace kestrel {

namespace {

// How long the serving thread sleeps at most when nothing happens on the
// cable; it is woken earlier by any change, including the port's close.
constexpr int kIdleWaitMs = 200;
// Output the port has not taken yet before the unit is asked for more.
constexpr size_t kMaxPending = 4096;

// The port device handed to the dispatcher, with the unit on its far end.
// Thread contract: as TApdSerialDevice; Open and Close also start and stop
// the unit's thread under `runLock_`.
class TSimUnitDevice final : public TApdForwardingDevice<TApdSimDevice> {
 public:
  TSimUnitDevice(TSimPair pair, const TUnitOptions& options, bool paced);
  ~TSimUnitDevice() override;

  int Open() override {
    std::lock_guard lock(runLock_);
    int rc = inner().Open();
    // The unit powers up at the first open: a device that is only made
    // (to see whether the port exists, say) leaves no files behind.
    if (rc == 0 && !session_) PowerUp();
    if (rc == 0 && !thread_.joinable()) {
      stop_ = false;
      resting_ = false;
      thread_running_ = true;
      thread_ = std::thread([this] { Serve(); });
    }
    return rc;
  }
  void Close() override {
    std::lock_guard lock(runLock_);
    stop_ = true;
    inner().Close();  // a change on the cable: wakes the unit's wait
    if (thread_.joinable()) thread_.join();
    thread_running_ = false;
  }

  // See SimulatedUnitsSettled. Looked at in the order bytes travel, and
  // only counted when nothing on the cable changed meanwhile.
  bool Settled() {
    const uint64_t before = far_->ChangeCount();
    if (thread_running_) {
      // Bytes on their way to the unit, and bytes it will take.
      if (far_->PortTxQueued() > 0 && !far_->PortTxHeld()) return false;
      if (accepting_ && far_->Available() > 0) return false;
      if (!resting_) return false;
    }
    return far_->PortRxQueued() == 0 && far_->ChangeCount() == before;
  }

 private:
  void Serve();
  void PowerUp();

  std::shared_ptr<TApdSimFarEnd> far_;
  std::mutex runLock_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> thread_running_{false};
  // The unit's thread has nothing of its own to do until bytes come (never
  // while a round that may read is under way), and whether it takes them
  // now.
  std::atomic<bool> resting_{false};
  std::atomic<bool> accepting_{true};
  const TUnitOptions options_;
  const bool paced_;  // the cable gives bytes their wire time
  // The unit's thread only (and Open while it is not running).
  std::unique_ptr<TUnitSession> session_;
  std::string pending_;
};

// A unit that cannot keep what it is asked to keep (a folder it cannot
// write) says so, as the stand-alone unit does: otherwise a load that
// stores nothing would pass unnoticed.
void TSimUnitDevice::PowerUp() {
  session_ = std::make_unique<TUnitSession>(options_);
  // Each text once: a port is made and opened more than once while the
  // unit is looked for.
  const auto warn = [](const std::string& error) {
    static std::mutex lock;
    static std::set<std::string> told;
    std::lock_guard hold(lock);
    if (told.insert(error).second)
      std::fprintf(stderr, "kestrel: the simulated unit: %s\n", error.c_str());
  };
  std::string told = session_->Recorder().Error();
  if (!told.empty()) warn(told);
  session_->OnUpload = [this, warn, told](const TUnitUpload&) mutable {
    const std::string& error = session_->Recorder().Error();
    if (error != told) warn(told = error);
  };
}

void TSimUnitDevice::Serve() {
  TUnitSession& session = *session_;
  uint8_t buffer[4096];
  while (!stop_) {
    // Taken first: whatever changes from here on ends the wait below.
    uint64_t seen = far_->ChangeCount();

    if (session.AcceptsInput()) {
      // Busy before any byte leaves the cable, so that a look at the cable
      // and then at the unit cannot miss them. Whether bytes are waiting
      // cannot decide it: some may come after such a look found none and
      // still be taken by the read below.
      resting_ = false;
      int n = far_->Read(buffer, static_cast<int>(std::min(sizeof buffer, session.InputRoom())));
      if (n > 0) session.Received(std::string_view(reinterpret_cast<char*>(buffer), n));
    }
    if (pending_.size() < kMaxPending) pending_ += session.TakeOutput();
    // The line first, then the words: a unit that says its flash is written
    // has let CTS up already.
    const bool cts = session.Cts();
    if (((far_->Lines() & ms_CtsOn) != 0) != cts) far_->SetCts(cts);
    if (!pending_.empty()) {
      int n = far_->Send(reinterpret_cast<const uint8_t*>(pending_.data()),
                         static_cast<int>(pending_.size()));
      if (n > 0) {
        session.Sent(std::string_view(pending_).substr(0, static_cast<size_t>(n)));
        pending_.erase(0, static_cast<size_t>(n));
      }
    }

    if (stop_) break;
    if (paced_ && far_->PortTxQueued() > 0) {
      // A paced wire brings the port's bytes one by one: the wait below
      // ends when the next batch of them has crossed, instead of at once
      // for the few that crossed while this round ran.
      seen = far_->ChangeCount();
    } else if (session.AcceptsInput() && far_->Available() > 0) {
      // Bytes that arrived while the unit was busy must not be left waiting
      // for a change that already happened.
      continue;
    }
    // With a backlog nobody reads, only the cable (the port reading) can
    // bring work; otherwise the unit's own timers decide.
    int waitMs = kIdleWaitMs;
    if (pending_.size() < kMaxPending) {
      waitMs = session.WaitMs(kIdleWaitMs);
      if (!pending_.empty()) waitMs = std::min(waitMs, 5);
    }

    // A wake that brings nothing leaves the unit at rest.
    accepting_ = session.AcceptsInput();
    resting_ = pending_.empty() && session.WaitsForInput();
    if (waitMs > 0) far_->WaitForChange(seen, std::chrono::milliseconds(waitMs));
  }
}

// The simulated units alive in this process.
std::mutex gUnitsLock;
std::set<TSimUnitDevice*> gUnits;

TSimUnitDevice::TSimUnitDevice(TSimPair pair, const TUnitOptions& options, bool paced)
    : TApdForwardingDevice(std::move(pair.port)),
      far_(std::move(pair.far)),
      options_(options),
      paced_(paced) {
  std::lock_guard lock(gUnitsLock);
  gUnits.insert(this);
}

TSimUnitDevice::~TSimUnitDevice() {
  {
    std::lock_guard lock(gUnitsLock);
    gUnits.erase(this);
  }
  Close();
}

std::unique_ptr<TApdSerialDevice> SchemeFactory(const std::string& path) {
  std::string error;
  auto device = CreateSimulatedUnitDevice(path, error);
  if (!device) std::fprintf(stderr, "kestrel: %s: %s\n", path.c_str(), error.c_str());
  return device;
}

}  // namespace

bool SimulatedUnitsSettled() {
  std::lock_guard lock(gUnitsLock);
  for (TSimUnitDevice* unit : gUnits)
    if (!unit->Settled()) return false;
  return true;
}

std::unique_ptr<TApdSerialDevice> CreateSimulatedUnitDevice(const std::string& path,
                                                            std::string& error) {
  const size_t colon = path.find(':');
  TUnitOptions options;
  if (colon != std::string::npos &&
      !ParseUnitOptions(std::string_view(path).substr(colon + 1), options, error)) {
    return nullptr;
  }
  TSimOptions sim;
  sim.path = path;
  // On the cable, pacing is the wire's own: both directions, at the port's
  // baud rate. The unit then sends as fast as the wire lets it.
  sim.pace = options.Pace;
  options.Pace = false;
  sim.unplugAfter = options.UnplugAfter;
  return std::make_unique<TSimUnitDevice>(CreateSimDevice(sim), options, sim.pace);
}

void RegisterSimulatedUnitScheme(TPortMap& ports) {
  ports.RegisterDeviceScheme("sim", &SchemeFactory);
}

}  // namespace kestrel
