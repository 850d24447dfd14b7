// Picking and running a script, and the file upload.

#include "MainUnit.h"

namespace kestrel {

// The script runner reads ScriptFileName and runs it line by line; it joins
// the window together with the serial port component.
void TKestrelForm::read_ini() {}

void TKestrelForm::PickButtonClick() {}

void TKestrelForm::UploadButtonClick() {}

}  // namespace kestrel
