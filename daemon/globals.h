// The start-up values of the daemon's process-wide state (state/globals.h).
#pragma once

#include <string>

#include "state/globals.h"

// Sets every global of state/globals.h, except loopCount, to its start-up
// value, in the order there, with the files placed in `dataDir`. Does not close a log that
// is open (the descriptor is left to the process).
void initGlobals(const std::string& dataDir);
