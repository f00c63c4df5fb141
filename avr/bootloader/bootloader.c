/* The bootloader in the chip's boot section: the AVR109 commands a programmer such as avrdude
 * uses, at NVX_BOOT_BAUD, polled (no interrupts, so the application's vectors stay where they
 * are).
 *
 * It stays after the application's BootloadStart (a watchdog reset with the handover word set)
 * and while there is no application; otherwise it listens NVX_BOOT_WINDOW_MS for ESC or 'S'
 * (a manual start) and then starts the application.
 *
 * The first flash page is written last, when the programmer says 'E': a transfer cut short
 * leaves page 0 erased, so the next start finds no application and waits here for the next
 * update instead of running half an image. */

#include <avr/boot.h>
#include <avr/eeprom.h>
#include <avr/io.h>
#include <avr/pgmspace.h>
#include <avr/wdt.h>
#include <stdint.h>
#include <util/delay.h>

#include "handover.h"

#define BOOT_START ((uint32_t)FLASHEND + 1u - NVX_BOOT_SIZE)
#define UBRR_VALUE ((F_CPU / 8u + NVX_BOOT_BAUD / 2u) / NVX_BOOT_BAUD - 1u)
#define POLL_STEP_US 100u

#define ESCAPE 0x1B
#define ACK '\r'
#define UNKNOWN '?'
/* A single code in the device list of 't': avrdude only passes it back with 'T'. */
#define DEVICE_CODE 0x74

static uint8_t block[SPM_PAGESIZE];   /* a block as it came off the line */
static uint8_t merged[SPM_PAGESIZE];  /* a page with the block's bytes in it */
static uint8_t firstPage[SPM_PAGESIZE];
static uint8_t firstPagePending;
/* Words for flash, bytes for the EEPROM, as the programmer sets it with 'A' or 'H'. */
static uint32_t address;
static uint8_t sentAnything; /* TXC only ever comes after a byte */

static void uartInit(void) {
    UCSR0A = _BV(U2X0); /* before the rate: the divider means something else without it */
    UBRR0 = UBRR_VALUE;
    UCSR0C = _BV(UCSZ01) | _BV(UCSZ00);
    UCSR0B = _BV(RXEN0) | _BV(TXEN0);
}

static void put(uint8_t c) {
    while (!(UCSR0A & _BV(UDRE0))) {
    }
    UCSR0A |= _BV(TXC0); /* cleared by writing one: set again once this byte is out */
    UDR0 = c;
    sentAnything = 1;
}

static void waitSent(void) {
    while (sentAnything && !(UCSR0A & _BV(TXC0))) {
    }
}

static uint8_t get(void) {
    while (!(UCSR0A & _BV(RXC0))) {
    }
    return UDR0;
}

static uint8_t flashByte(uint32_t byteAddress) {
    if (firstPagePending && byteAddress < SPM_PAGESIZE) return firstPage[byteAddress];
#if FLASHEND > 0xFFFF
    return pgm_read_byte_far(byteAddress);
#else
    return pgm_read_byte((uint16_t)byteAddress);
#endif
}

static void programPage(uint32_t base, const uint8_t *data) {
    boot_page_erase_safe(base);
    boot_spm_busy_wait();
    for (uint16_t i = 0; i < SPM_PAGESIZE; i += 2)
        boot_page_fill_safe(base + i, data[i] | (uint16_t)data[i + 1] << 8);
    boot_page_write_safe(base);
    boot_spm_busy_wait();
    boot_rww_enable_safe();
}

static void erasePage(uint32_t base) {
    boot_page_erase_safe(base);
    boot_spm_busy_wait();
    boot_rww_enable_safe();
}

static void commitFirstPage(void) {
    if (!firstPagePending) return;
    firstPagePending = 0;
    programPage(0, firstPage);
}

static void chipErase(void) {
    firstPagePending = 0;
    for (uint32_t base = 0; base < BOOT_START; base += SPM_PAGESIZE) erasePage(base);
}

/* Writes count bytes of block at the current address, page by page, keeping what the pages held
 * around them; the boot section is left alone. */
static void writeFlash(uint16_t count) {
    uint32_t at = address * 2u;
    uint16_t done = 0;
    while (done < count) {
        const uint32_t base = at & ~(uint32_t)(SPM_PAGESIZE - 1);
        uint16_t offset = (uint16_t)(at - base);
        if (base >= BOOT_START) break;
        uint8_t *page = base == 0 ? firstPage : merged;
        for (uint16_t i = 0; i < SPM_PAGESIZE; ++i) page[i] = flashByte(base + i);
        while (offset < SPM_PAGESIZE && done < count) page[offset++] = block[done++];
        if (base == 0)
            firstPagePending = 1;
        else
            programPage(base, page);
        at = base + SPM_PAGESIZE;
    }
    address += count / 2u;
}

static void readFlash(uint16_t count) {
    uint32_t at = address * 2u;
    for (uint16_t i = 0; i < count; ++i) put(flashByte(at++));
    address += count / 2u;
}

static void writeEeprom(uint16_t count) {
    for (uint16_t i = 0; i < count; ++i) eeprom_update_byte((uint8_t *)(uint16_t)address++, block[i]);
}

static void readEeprom(uint16_t count) {
    for (uint16_t i = 0; i < count; ++i) put(eeprom_read_byte((const uint8_t *)(uint16_t)address++));
}

static void blockCommand(uint8_t write) {
    const uint16_t count = (uint16_t)get() << 8 | get();
    const uint8_t memory = get();
    const uint8_t known = memory == 'F' || memory == 'E';
    if (write) {
        /* Take the whole block off the line even when it is refused. */
        for (uint16_t i = 0; i < count; ++i) {
            const uint8_t c = get();
            if (i < SPM_PAGESIZE) block[i] = c;
        }
        if (!known || count > SPM_PAGESIZE) {
            put(UNKNOWN);
            return;
        }
        if (memory == 'F')
            writeFlash(count);
        else
            writeEeprom(count);
        put(ACK);
        return;
    }
    if (!known) {
        put(UNKNOWN);
        return;
    }
    if (memory == 'F')
        readFlash(count);
    else
        readEeprom(count);
}

static void startApplication(uint16_t handover) {
    waitSent();
    NVX_HANDOVER = handover;
    /* The UART stays on: the application takes it over as it is. */
    __asm__ __volatile__("jmp 0");
}

static void execute(uint8_t command) {
    switch (command) {
        case ESCAPE: break;
        case 'S':
            for (const char *p = "AVRBOOT"; *p; ++p) put((uint8_t)*p);
            break;
        case 'V': put('1'); put('0'); break;
        case 'v': put(UNKNOWN); break;
        case 'p': put('S'); break;
        case 'a': put('Y'); break;
        case 'b':
            put('Y');
            put((uint8_t)(SPM_PAGESIZE >> 8));
            put((uint8_t)(SPM_PAGESIZE & 0xFF));
            break;
        case 't': put(DEVICE_CODE); put(0); break;
        case 'T': get(); put(ACK); break;
        case 'x':
        case 'y': get(); put(ACK); break;
        case 'P':
        case 'L': put(ACK); break;
        case 's': put(SIGNATURE_2); put(SIGNATURE_1); put(SIGNATURE_0); break;
        case 'e': chipErase(); put(ACK); break;
        case 'A':
            address = (uint16_t)get() << 8;
            address |= get();
            put(ACK);
            break;
        case 'H':
            address = (uint32_t)get() << 16;
            address |= (uint16_t)get() << 8;
            address |= get();
            put(ACK);
            break;
        case 'B': blockCommand(1); break;
        case 'g': blockCommand(0); break;
        case 'D':
            block[0] = get();
            writeEeprom(1);
            put(ACK);
            break;
        case 'd': readEeprom(1); break;
        case 'E':
            commitFirstPage();
            put(ACK);
            startApplication(NVX_HANDOVER_BOOTLOADER_EXIT);
            break;
        default: put(UNKNOWN); break;
    }
}

/* The first byte of a manual start within the window, or 0 when none came. */
static uint8_t listenForProgrammer(void) {
    for (uint16_t n = 0; n < NVX_BOOT_WINDOW_MS * 1000ul / POLL_STEP_US; ++n) {
        if (UCSR0A & _BV(RXC0)) {
            const uint8_t c = UDR0;
            if (c == ESCAPE || c == 'S') return c;
        }
        _delay_us(POLL_STEP_US);
    }
    return 0;
}

int main(void) {
    const uint8_t resetCause = MCUSR;
    MCUSR = 0;
    wdt_disable();
    uartInit();

    const uint8_t requested =
        (resetCause & _BV(WDRF)) && NVX_HANDOVER == NVX_HANDOVER_STAY_IN_BOOTLOADER;
    if (requested) NVX_HANDOVER = 0;
    const uint8_t noApplication = pgm_read_word(0) == 0xFFFF;
    if (!requested && !noApplication) {
        const uint8_t first = listenForProgrammer();
        if (!first) startApplication(NVX_HANDOVER);
        execute(first);
    }
    for (;;) execute(get());
}
