#pragma once
// The simulated unit behind the "sim:" device scheme: every "sim:OPTIONS"
// path becomes an in-memory null-modem port whose far end is a simulated
// unit configured by OPTIONS (see UnitOptions.h), for example
//   KESTREL_COM1='sim:loader=>;flash-ms=5;dir=unit-flash'
//
// The unit runs on a thread of its own from the port's Open to its Close
// (or the device's destruction); its state (loader mode and so on) lasts as
// long as the device object. With `pace` the cable itself gives every byte,
// in both directions, its wire time at the port's baud rate.

#include <memory>
#include <string>

#include "serialdevice/AwDevice.h"
#include "serialdevice/AwPortPath.h"

namespace kestrel {

// Registers the "sim" scheme with `ports`. Called by the program's
// composition root (or a test) before ports are opened.
void RegisterSimulatedUnitScheme(TPortMap& ports);

// Whether every simulated unit now running is at rest: it has taken all the
// port sent, has sent all it had, the cable holds nothing in either
// direction, and it has nothing to do until more bytes come. A clock that
// moves on by itself while nothing can arrive asks this first. Any thread.
bool SimulatedUnitsSettled();

// The device for one "sim:OPTIONS" path; nullptr with a message in `error`
// when the options are not understood.
std::unique_ptr<TApdSerialDevice> CreateSimulatedUnitDevice(const std::string& path,
                                                            std::string& error);

}  // namespace kestrel
