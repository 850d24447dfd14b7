#pragma once
// The window's waits on a virtual clock, for tests against the simulated
// unit: the clock jumps whenever the window's port and every simulated unit
// are at rest, so the loader's own timeouts cost no time, while a unit at
// work (a flash write, a paced wire) is waited for in real time.

#include <memory>
#include <vector>

#include "VirtualTimeClock.h"
#include "loader/AppWindows.h"
#include "loader/form/MainUnit.h"
#include "unitsim/UnitSimScheme.h"

namespace kestrel {

// Puts a virtual clock on `form`; keep it until the form is gone.
inline std::unique_ptr<TVirtualTimeClock> use_virtual_clock(TKestrelForm& form) {
  auto clock = std::make_unique<TVirtualTimeClock>(form.ApdComPort1, &SimulatedUnitsSettled);
  form.SetClock(clock.get());
  return clock;
}

// Makes unattended runs' windows, each on a virtual clock of its own kept
// in `clocks`, which outlive the windows.
inline TLoaderRunFactory unattended_windows_on_virtual_clocks(
    std::vector<std::unique_ptr<TVirtualTimeClock>>& clocks) {
  return [&clocks](TOperatorDialog& dialog, TApdPortContext* ports) {
    std::unique_ptr<TKestrelForm> window = create_unattended_window(dialog, ports);
    clocks.push_back(use_virtual_clock(*window));
    return std::unique_ptr<TLoaderRun>(std::move(window));
  };
}

}  // namespace kestrel
