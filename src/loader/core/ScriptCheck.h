#pragma once
// Checking a script without a unit (kestrel --check SCRIPT): reads it as the
// script runner does, follows the upload chain _LF, _LA, _LV, _LD with the
// files as they are now, and tells what each command line would do and what
// would go wrong. Opens no port.

#include <ostream>
#include <string>

#include "loader/core/LoaderSettings.h"

namespace kestrel {

// Writes every command line as it would run, each upload line as it would
// be sent, each problem as "SCRIPT:LINE: text", and last the outcome, which
// counts the `settingsProblems` found before; returns the number of all
// problems (a script that cannot be opened is one).
int check_script(const std::string& script, const TLoaderSettings& settings, std::ostream& out,
                 int settingsProblems = 0);

}  // namespace kestrel
