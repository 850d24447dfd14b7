#pragma once
// TApdPortContext: what the port components of one program share. The
// program makes one and hands it to every port it creates; a port made
// without one keeps one of its own.

#include "serial/AwuserPortList.h"

namespace kestrel {

// Thread contract: as its members say.
struct TApdPortContext {
  // The open dispatchers, by the handle their trigger messages carry.
  TApdPortList Ports;
};

}  // namespace kestrel
