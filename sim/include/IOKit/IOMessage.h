// Simulated Mac: the system power messages of <IOKit/IOMessage.h>.
#ifndef HESTLE_SIM_IOMESSAGE_H
#define HESTLE_SIM_IOMESSAGE_H

#include <stdint.h>

#define iokit_common_msg(message) ((uint32_t)(0xE0000000u | (message)))

#define kIOMessageCanSystemSleep iokit_common_msg(0x270)
#define kIOMessageSystemWillSleep iokit_common_msg(0x280)
#define kIOMessageSystemWillNotSleep iokit_common_msg(0x290)
#define kIOMessageSystemHasPoweredOn iokit_common_msg(0x300)
#define kIOMessageSystemWillPowerOn iokit_common_msg(0x320)

#endif
