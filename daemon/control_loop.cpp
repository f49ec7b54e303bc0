// placeholder
#include "daemon/control_loop.h"
void runControlLoopPass() {}
void applyRegulation(const ChargeConfig&, const BatteryReading&) {}
void runControlLoop() {}
