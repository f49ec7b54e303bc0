// The SMC bound to the daemon's connection smcConn, and the firmware probe.
#include "smc/smc_client.h"

#include <string>

#include "platform/clock.h"
#include "state/globals.h"
#include "smc/smc_protocol.h"
#include "store/log.h"
#include "util/text.h"

bool smcOpen(double patienceSeconds) {
  const double giveUpAt = monotonicNow() + patienceSeconds;
  kern_return_t status = smc_open(&smcConn);
  while (status != KERN_SUCCESS && monotonicNow() < giveUpAt) {
    pauseFor(1.0);
    status = smc_open(&smcConn);
  }
  if (status != KERN_SUCCESS) log("ERROR: smc_open failed with " + std::to_string(static_cast<int32_t>(status)));
  return status == KERN_SUCCESS;
}

bool smcKeyExists(uint32_t key) { return smc_key_exists(smcConn, key); }

std::optional<uint8_t> smcReadByte(uint32_t key) {
  uint8_t value = 0;
  if (!smc_read_byte(smcConn, key, &value)) return std::nullopt;
  return value;
}

bool smcWriteByte(uint32_t key, uint8_t value) { return smc_write_byte(smcConn, key, value); }

bool smcWriteBytes4(uint32_t key, uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3) {
  return smc_write_bytes(smcConn, key, b0, b1, b2, b3);
}

// Logs whether one key can be read, and its first byte when it can.
static void logKeyProbe(const char *name, uint32_t key) {
  uint8_t value = 0;
  if (smc_read_byte(smcConn, key, &value)) {
    log(std::string("Key ") + name + ": EXISTS value=0x" + hexByte(value));
  } else {
    log(std::string("Key ") + name + ": NOT FOUND");
  }
}

// A key the controller describes with size 0: a stub that takes no write.
static bool zeroSizeKey(uint32_t key) {
  uint32_t size = 1, type = 0;
  return smc_read_key_info(smcConn, key, &size, &type) && size == 0;
}

void markChargeInhibitUnusable(const std::string& finding) {
  chargeInhibitUsable = false;
  log("Firmware: " + finding + " — charging cannot be inhibited; holding the limit with the adapter alone");
}

void detectFirmware() {
  log("SMCParamStruct C size: " + std::to_string(smc_struct_size()) + " bytes");
  logKeyProbe("CH0B", KEY_CH0B);
  logKeyProbe("CH0C", KEY_CH0C);
  logKeyProbe("CHTE", KEY_CHTE);
  logKeyProbe("CH0I", KEY_CH0I);
  logKeyProbe("CH0J", KEY_CH0J);
  logKeyProbe("CHIE", KEY_CHIE);
  logKeyProbe("ACLC", KEY_ACLC);
  // The family rests on CHTE's key info alone: a stub CHTE that refuses reads
  // still marks a Tahoe controller.
  useTahoe = smc_key_exists(smcConn, KEY_CHTE);
  log(useTahoe ? "Firmware: Tahoe (CHTE)" : "Firmware: Pre-Tahoe (CH0B/CH0C)");
  chargeInhibitUsable = true;
  if (useTahoe && zeroSizeKey(KEY_CHTE)) markChargeInhibitUnusable("CHTE is a zero-size stub");
  if (!useTahoe && zeroSizeKey(KEY_CH0B) && zeroSizeKey(KEY_CH0C))
    markChargeInhibitUnusable("CH0B and CH0C are zero-size stubs");
}
