/* What the application and the bootloader tell each other across a reset: one word at the start
 * of the RAM, which both programs keep out of their data (their .data starts 2 bytes later, see
 * avr/CMakeLists.txt). A watchdog reset leaves the RAM as it was. */
#ifndef NVX_AVR_HANDOVER_H
#define NVX_AVR_HANDOVER_H

#include <avr/io.h>
#include <stdint.h>

#define NVX_HANDOVER (*(volatile uint16_t *)RAMSTART)

/* Set by the application before the watchdog reset of BootloadStart. */
#define NVX_HANDOVER_STAY_IN_BOOTLOADER 0xB00Cu
/* Why the application starts, for its reset condition; anything else is a power-on. */
#define NVX_HANDOVER_RESTART_COMMAND 0x5E01u
#define NVX_HANDOVER_RESTART_REBOOT 0x5E02u
#define NVX_HANDOVER_BOOTLOADER_EXIT 0x5E03u

#endif
