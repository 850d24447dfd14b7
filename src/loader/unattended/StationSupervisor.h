#pragma once
// A station over many ports (kestrel --station SCRIPT --port DEVICE ...):
// every port is served by a one-port station in a process of its own,
// started from `program` with the port's device as its COM port; this
// process only watches them. A port whose process dies shows FAIL for the
// unit it was loading and is served again; globs are looked at again every
// second. The first SIGINT, SIGTERM or SIGHUP is handed to every port's
// process, which stops its run at the next block; a second ends them at
// once. The tally per port comes last. Needs no application object.

#include <cstdio>
#include <string>

#include "loader/core/CommandLine.h"

namespace kestrel {

// Returns 0 when every run passed, 1 when one failed, 128 + the signal's
// number when a signal stopped a run, 3 when the script, the settings file
// or the record cannot be used, 2 when a port can never hold a unit and no
// unit was loaded on any other.
int run_station_supervisor(const TCommandLine& line, const std::string& program, std::FILE* out,
                           bool terminal);

}  // namespace kestrel
