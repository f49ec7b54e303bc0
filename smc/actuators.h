// The charge actuators: charging and the power adapter, on the key family
// chosen by detectFirmware(). Each call writes, logs its state line, and on
// success sets its flag (currentlyInhibited, adapterDisabled).
#pragma once

bool setChargingEnabled(bool enabled);
bool setAdapterEnabled(bool enabled);
