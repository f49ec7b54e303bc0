// placeholder
#include "smc/actuators.h"
bool setChargingEnabled(bool) { return false; }
bool setAdapterEnabled(bool) { return false; }
