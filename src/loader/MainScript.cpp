// Picking and running a script.

#include "MainUnit.h"

namespace kestrel {

// The script runner reads ScriptFileName and runs it line by line; it joins
// the window together with the serial port component.
bool TKestrelForm::read_ini() {
  return false;
}

void TKestrelForm::PickButtonClick() {}

}  // namespace kestrel
