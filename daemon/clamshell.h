// Clamshell mode: the lid closed on an external display, the Mac awake. macOS
// keeps it so only on external power: switching the adapter off there puts
// the Mac to sleep at once.
#pragma once

// The root power domain's "AppleClamshellState" is true (the lid is closed)
// and its "AppleClamshellCausesSleep" false (closing it does not sleep the
// Mac: an external display). False when the registry cannot be read or the
// Mac has no lid. Releases what it obtains.
bool inClamshellMode();
