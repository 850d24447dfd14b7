#pragma once
// A running simulated unit: the engine on the real clock, with its records,
// images and transcript written as it goes. The bindings (pseudo-terminal,
// in-memory device) move bytes; this decides what the unit does with them.
//
// Thread contract: one owner thread (the binding's serving thread).

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "unitsim/UnitEngine.h"
#include "unitsim/UnitOptions.h"
#include "unitsim/UnitRecorder.h"

namespace kestrel {

class TUnitSession {
 public:
  explicit TUnitSession(const TUnitOptions& options);

  // Bytes that arrived from the loader.
  void Received(std::string_view bytes);
  // Runs the unit's timers and returns what it wants to send now. Bytes the
  // binding then really sends are reported through Sent.
  std::string TakeOutput();
  void Sent(std::string_view bytes) { recorder_.Sent(bytes, NowMs()); }

  // Milliseconds until the unit next has something to do on its own, at most
  // `cap` (so a serving loop also notices being stopped).
  int WaitMs(int cap) const;
  // Nothing happens in the unit until bytes come in.
  bool WaitsForInput() const { return engine_.NextEventMs() == INT64_MAX; }

  bool Cts() const { return engine_.Cts(); }
  bool AcceptsInput() const { return engine_.AcceptsInput(); }
  size_t InputRoom() const { return engine_.InputRoom(); }

  // Called for each finished upload, after its image and record are written.
  std::function<void(const TUnitUpload&)> OnUpload;

  const TUnitRecorder& Recorder() const { return recorder_; }

 private:
  int64_t NowMs() const;
  void Collect();

  std::chrono::steady_clock::time_point start_;
  TUnitEngine engine_;
  TUnitRecorder recorder_;
};

}  // namespace kestrel
