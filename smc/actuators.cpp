// The charge actuators: charging and the power adapter on the chosen key family.
#include "smc/actuators.h"

#include <string>

#include "state/globals.h"
#include "smc/smc_protocol.h"
#include "store/log.h"
#include "util/text.h"

static const char *describeAction(bool enabled) { return enabled ? "enable" : "disable"; }

// Writes the charging keys and puts the state line in `line`; on success
// sets currentlyInhibited.
static bool writeChargingKeys(bool enabled, std::string& line) {
  // Known to take no write: trying again every pass would only fill the log.
  if (!chargeInhibitUsable) return false;
  bool ok = false;
  if (useTahoe) {
    uint8_t v = enabled ? 0 : 1;
    ok = smc_write_bytes(smcConn, KEY_CHTE, v, 0, 0, 0);
    line = "setCharging: CHTE=" + std::to_string(v) + " (" + describeAction(enabled) + ") -> " + boolText(ok);
  } else {
    uint8_t v = enabled ? 0x00 : 0x02;
    // Both keys of the pair are written, whatever the first one answered.
    bool okB = smc_write_byte(smcConn, KEY_CH0B, v);
    bool okC = smc_write_byte(smcConn, KEY_CH0C, v);
    line = std::string("setCharging: CH0B=") + boolText(okB) + " CH0C=" + boolText(okC) + " val=0x" + hexByte(v);
    ok = okB || okC;
  }
  if (ok) currentlyInhibited = !enabled;
  if (ok) inhibitRefusals = 0;
  else if (!enabled) ++inhibitRefusals;
  return ok;
}

bool setChargingEnabled(bool enabled) {
  std::string line;
  const bool ok = writeChargingKeys(enabled, line);
  if (line.empty()) return false;
  log(line);
  if (!ok) log(std::string("WARNING: Failed to ") + describeAction(enabled) + " charging!");
  return ok;
}

bool retryChargingEnabled(bool enabled) {
  std::string line;
  if (!writeChargingKeys(enabled, line)) return false;
  log(line);
  return true;
}

bool setAdapterEnabled(bool enabled) {
  bool ok = false;
  if (useTahoe) {
    uint8_t v = enabled ? 0x00 : 0x08;
    ok = smc_write_byte(smcConn, KEY_CHIE, v);
    log("setAdapter: CHIE=0x" + hexByte(v) + " (" + describeAction(enabled) + ") -> " + boolText(ok));
  } else {
    uint8_t v = enabled ? 0x00 : 0x01;
    bool okI = smc_write_byte(smcConn, KEY_CH0I, v);
    bool okJ = smc_write_byte(smcConn, KEY_CH0J, v);
    log(std::string("setAdapter: CH0I=") + boolText(okI) + " CH0J=" + boolText(okJ) + " val=0x" +
        hexByte(v));
    ok = okI || okJ;
  }
  if (!ok) {
    log(std::string("WARNING: Failed to ") + describeAction(enabled) + " adapter!");
    return false;
  }
  adapterDisabled = !enabled;
  return true;
}
