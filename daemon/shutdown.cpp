// placeholder
#include "daemon/shutdown.h"
void cleanShutdown() {}
void installTerminationHandlers() {}
bool stopRequested() { return false; }
void requestStop() {}
int stopWakeFd() { return -1; }
