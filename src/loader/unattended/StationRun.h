#pragma once
// A station (kestrel --station SCRIPT [--ini FILE] [--record FILE]
// [--baud N]): loads unit after unit. It waits for a unit to answer on the
// port, runs SCRIPT as --batch does, says PASS or FAIL in one line, and
// waits for the unit to go before it waits for the next one, so that a
// unit left on the line is never loaded twice. A signal between runs ends
// the loop; one during a run stops the run as it stops --batch, and then
// ends the loop. Either way the tally is the last line.

#include "loader/core/CommandLine.h"
#include "loader/form/LoaderRun.h"
#include "loader/unattended/StationEvents.h"

namespace kestrel {

class TApdPortContext;
class TClock;
class TConsoleOperatorDialog;
class TUnattendedConsole;

// Returns 0 when every run passed, 1 when one failed, 128 + the signal's
// number when a signal stopped a run, 3 when the script or
// a file named with --ini or --record cannot be used. The application
// object must exist, with `dialog` as its operator dialog. The waits
// between runs take their time from `clock`; each run is one `makeRun`
// makes (a test's puts its waits on its clock). The ports share `ports`
// (none: each keeps its own). `setup` says where a supervising station
// wants its events and which unit comes first.
int run_station(const TCommandLine& line, TConsoleOperatorDialog& dialog,
                TUnattendedConsole& console, TClock& clock, const TLoaderRunFactory& makeRun,
                TApdPortContext* ports = nullptr, const TStationChildSetup& setup = {});

}  // namespace kestrel
