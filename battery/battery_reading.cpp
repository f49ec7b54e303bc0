// placeholder
#include "battery/battery_reading.h"
BatteryReading batteryReadingFromProperties(const BatteryProperties&) { return {}; }
