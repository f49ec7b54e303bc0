// placeholder
#include "smc/magsafe_led.h"
void setMagSafeLED(bool) {}
void resetMagSafeLED() {}
