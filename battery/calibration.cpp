// placeholder
#include "battery/calibration.h"
bool handleCalibration(BatteryReading, ChargeConfig&) { return false; }
