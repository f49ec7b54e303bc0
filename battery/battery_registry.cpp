// placeholder
#include "battery/battery_reading.h"
BatteryReading getBatteryPercent() { return {}; }
