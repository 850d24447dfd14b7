#pragma once
// The yield step on Qt: what a serial wait on the window thread does per poll.
//
// Thread contract: QtYieldStep on any thread (only on the application's
// thread does it process events; elsewhere it sleeps briefly and touches
// nothing of Qt); InstallQtYield on the window thread.

#include "serial/EventTimer.h"

namespace kestrel {

// Processes the window thread's pending events. A quit request met
// meanwhile (QCoreApplication::quit, the last window closing, a posted
// QEvent::Quit) is held back and posted again, so the waiting code learns of
// it (Quit) and the event loop still ends once the wait has unwound.
TYieldResult QtYieldStep();

// Makes QtYieldStep the yield hook. Call once the application object exists.
void InstallQtYield();

}  // namespace kestrel
