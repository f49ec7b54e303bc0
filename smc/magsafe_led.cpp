// The MagSafe LED, written through the ACLC key.
#include "smc/magsafe_led.h"

#include "state/globals.h"
#include "smc/smc_protocol.h"

// A refused LED write changes nothing the daemon relies on, so it is dropped.
// magSafeLEDColoured remembers that the daemon has taken the LED over, so that
// switching the limit off can hand it back once.
void setMagSafeLED(bool charging) {
  smc_write_byte(smcConn, KEY_ACLC, charging ? LED_ORANGE : LED_GREEN);
  magSafeLEDColoured = true;
}

void resetMagSafeLED() {
  smc_write_byte(smcConn, KEY_ACLC, LED_SYSTEM);
  magSafeLEDColoured = false;
}
