#pragma once
// The window's waits on a virtual clock, for tests against the simulated
// unit: the clock jumps whenever the window's port and every simulated unit
// are at rest, so the loader's own timeouts cost no time, while a unit at
// work (a flash write, a paced wire) is waited for in real time.

#include <memory>

#include "VirtualTimeClock.h"
#include "loader/form/MainUnit.h"
#include "unitsim/UnitSimScheme.h"

namespace kestrel {

// Puts a virtual clock on `form`; keep it until the form is gone.
inline std::unique_ptr<TVirtualTimeClock> use_virtual_clock(TKestrelForm& form) {
  auto clock = std::make_unique<TVirtualTimeClock>(form.ApdComPort1, &SimulatedUnitsSettled);
  form.SetClock(clock.get());
  return clock;
}

}  // namespace kestrel
