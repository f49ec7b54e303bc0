// The MagSafe LED, written through the ACLC key; results are not looked at.
#pragma once

void setMagSafeLED(bool charging);  // orange when charging, else green
void resetMagSafeLED();             // hand the LED back to the system
