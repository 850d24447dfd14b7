#pragma once
// The window's waits on a virtual clock, for tests against the simulated
// unit: the clock jumps whenever the window's port and every simulated unit
// are at rest, so the loader's own timeouts cost no time, while a unit at
// work (a flash write, a paced wire) is waited for in real time.

#include <memory>

#include "loader/form/MainUnit.h"
#include "loader/form/VirtualTimeWaits.h"
#include "unitsim/UnitSimScheme.h"

namespace kestrel {

// Puts a virtual clock on `form`; keep it until the form is gone.
inline std::unique_ptr<TVirtualTimeWaits> use_virtual_clock(TKestrelForm& form) {
  auto waits = std::make_unique<TVirtualTimeWaits>(form.ApdComPort1, &SimulatedUnitsSettled);
  form.SetWaits(waits.get());
  return waits;
}

}  // namespace kestrel
