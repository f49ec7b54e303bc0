// The charge actuators: charging and the power adapter, on the key family
// chosen by detectFirmware(). Each call writes, logs its state line, and on
// success sets its flag (currentlyInhibited, adapterDisabled).
#pragma once

// A call always writes, whatever its flag shows; a failed call logs
// "WARNING: Failed to {enable|disable} {charging|adapter}!" after the state
// line and leaves the flag as it was. The pre-Tahoe family writes both keys
// of its pair with the same value and succeeds when either was accepted.

// Tahoe: CHTE = v 00 00 00 (v 1 to inhibit). Pre-Tahoe: CH0B, CH0C = 0x02 to
// inhibit, 0x00 to allow. Once chargeInhibitUsable is false: false at once,
// nothing written or logged.
bool setChargingEnabled(bool enabled);
// The same write for a retry of a call that failed: logs its state line only
// when the controller accepts it, and nothing when it refuses again.
bool retryChargingEnabled(bool enabled);
// Tahoe: CHIE = 0x08 to disable, 0x00 to enable. Pre-Tahoe: CH0I, CH0J =
// 0x01 to disable, 0x00 to enable.
bool setAdapterEnabled(bool enabled);
