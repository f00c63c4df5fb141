/* The application of a device of the family, as far as the monitor and its update procedure
 * rely on it: frames "T", "U" and "V" at 19200 baud with identifier parity and check byte, the
 * kernel commands, the version queries, the starting texts in the EEPROM and status frames.
 * The chip sleeps whenever there is nothing to do; a byte or the 100 ms tick wakes it.
 *
 * Built per device row: NVX_DEVICE_CODE, NVX_BOOT_TARGET, the NVX_VERSION_* bytes and the build
 * number NVX_BUILD_YEAR / NVX_BUILD_WEEK come from the build (avr/CMakeLists.txt). */

#include <avr/eeprom.h>
#include <avr/interrupt.h>
#include <avr/io.h>
#include <avr/sleep.h>
#include <avr/wdt.h>
#include <stdint.h>

#include "handover.h"

#define APPLICATION_BAUD 19200u
#define UBRR_VALUE ((F_CPU / 8u + APPLICATION_BAUD / 2u) / APPLICATION_BAUD - 1u)
#define TICK_MS 100u
#define TIMER_PRESCALER 1024u
/* A frame whose next byte is later than this is dropped. */
#define FRAME_GAP_TICKS (500u / TICK_MS)
#define STATUS_PERIOD_TICKS (NVX_STATUS_PERIOD_S * 1000u / TICK_MS)

#define KIND_T 0x54
#define KIND_U 0x55
#define KIND_V 0x56

#define ID_KERNEL_COMMAND 0x0080
#define ID_VERSION_QUERY 0x0081
#define ID_START_TEXT 0x0411
#define ID_STATUS_BASE 0x0380

#define CODE_TEST 0x00
#define CODE_RESET 0xFF
#define CODE_REBOOT 0xFE
#define CODE_BOOTLOAD_START 0xFD
#define CODE_EEPROM_CLEAR 0xFC
#define CODE_RESET_CONDITION 0xCF
#define CODE_BOOT_NUMBER 0xCE
#define CODE_EEPROM_READ 0xCC
#define CODE_HARDWARE_CODE 0xBF

#define REPLY_OK 0x0000u
#define REPLY_REFUSED 0x0001u
#define REPLY_UNKNOWN 0xFFFFu

#define RESET_POWER_ON 0
#define RESET_COMMAND 1
#define RESET_REBOOT 2
#define RESET_BOOTLOADER_EXIT 3

/* EEPROM layout: a header with the signature and the section starts (units of 16 bytes). */
#define EE_SIGNATURE 2
#define EE_SECTION_STARTS 24 /* error, exworks, text, parameter */
#define EEPROM_SIGNATURE 0x4E58u
#define DEFAULT_EXWORKS 0x040u
#define DEFAULT_TEXT 0x080u
#define DEFAULT_PARAMETER 0x0C0u
#define DEFAULT_ERROR 0x180u
#define TEXT_LENGTH 30u
#define PARAMETER_BYTES 8u
#define ERROR_HEAD_BYTES 4u
#define PARAM_BOOT_NUMBER 2
#define PARAM_RESET_CONDITION 4

#define RX_QUEUE 64u /* a power of two */

static volatile uint8_t rxQueue[RX_QUEUE];
static volatile uint8_t rxHead, rxTail;
static volatile uint8_t ticks;

static uint8_t frame[8];
static uint8_t frameHave, frameLength, frameAge;
#if NVX_STATUS_PERIOD_S > 0
static uint8_t statusTicks;
#endif
static uint16_t textStart, parameterStart;

ISR(USART0_RX_vect) {
    const uint8_t c = UDR0;
    const uint8_t next = (uint8_t)((rxHead + 1u) & (RX_QUEUE - 1u));
    if (next != rxTail) {
        rxQueue[rxHead] = c;
        rxHead = next;
    }
}

ISR(TIMER1_COMPA_vect) { ++ticks; }

static uint8_t eeByte(uint16_t a) { return eeprom_read_byte((const uint8_t *)a); }
static void eeSetByte(uint16_t a, uint8_t v) { eeprom_update_byte((uint8_t *)a, v); }
static uint16_t eeWord(uint16_t a) { return (uint16_t)(eeByte(a) | (uint16_t)eeByte(a + 1) << 8); }
static void eeSetWord(uint16_t a, uint16_t v) {
    eeSetByte(a, (uint8_t)v);
    eeSetByte(a + 1, (uint8_t)(v >> 8));
}

/* A section start from the header, or the firmware's own when it makes no sense. */
static uint16_t sectionStart(uint8_t index, uint16_t fallback) {
    const uint16_t start = (uint16_t)eeByte(EE_SECTION_STARTS + index) * 16u;
    return start >= 32u && start + 32u <= E2END + 1u ? start : fallback;
}

static void formatEeprom(void) {
    eeSetWord(EE_SIGNATURE, EEPROM_SIGNATURE);
    eeSetByte(EE_SECTION_STARTS + 0, DEFAULT_ERROR / 16u);
    eeSetByte(EE_SECTION_STARTS + 1, DEFAULT_EXWORKS / 16u);
    eeSetByte(EE_SECTION_STARTS + 2, DEFAULT_TEXT / 16u);
    eeSetByte(EE_SECTION_STARTS + 3, DEFAULT_PARAMETER / 16u);
    for (uint8_t i = 0; i < TEXT_LENGTH; ++i) eeSetByte(DEFAULT_TEXT + i, ' ');
    for (uint8_t i = 0; i < PARAMETER_BYTES; ++i) eeSetByte(DEFAULT_PARAMETER + i, 0);
    for (uint8_t i = 0; i < ERROR_HEAD_BYTES; ++i) eeSetByte(DEFAULT_ERROR + i, 0);
}

static void eraseEeprom(void) {
    for (uint16_t a = 0; a <= E2END; ++a) eeSetByte(a, 0xFF);
}

static uint8_t resetReason(uint16_t handover) {
    switch (handover) {
        case NVX_HANDOVER_RESTART_COMMAND: return RESET_COMMAND;
        case NVX_HANDOVER_RESTART_REBOOT: return RESET_REBOOT;
        case NVX_HANDOVER_BOOTLOADER_EXIT: return RESET_BOOTLOADER_EXIT;
        default: return RESET_POWER_ON;
    }
}

/* ---- line */

static void put(uint8_t c) {
    while (!(UCSR0A & _BV(UDRE0))) {
    }
    UCSR0A |= _BV(TXC0);
    UDR0 = c;
}

static void waitSent(void) {
    while (!(UCSR0A & _BV(TXC0))) {
    }
}

static uint8_t endAroundSum(const uint8_t *bytes, uint8_t count) {
    uint16_t sum = 0;
    for (uint8_t i = 0; i < count; ++i) {
        sum += bytes[i];
        if (sum > 255u) sum -= 255u;
    }
    return (uint8_t)sum;
}

/* XOR of the bits first, first + 2, ... of value. */
static uint8_t everySecondBitParity(uint16_t value, uint8_t first) {
    uint8_t p = 0;
    for (uint8_t bit = first; bit < 16; bit += 2) p ^= (uint8_t)((value >> bit) & 1u);
    return p;
}

static void sendFrame(uint16_t id, const uint8_t *data, uint8_t length) {
    uint8_t out[8];
    const uint16_t v = id & 0x3FFFu;
    const uint16_t word =
        (uint16_t)(v << 2 | everySecondBitParity(v, 1) << 1 | everySecondBitParity(v, 0));
    out[0] = (uint8_t)(KIND_T + length / 2u);
    out[1] = (uint8_t)(word >> 8);
    out[2] = (uint8_t)word;
    for (uint8_t i = 0; i < length; ++i) out[3 + i] = data[i];
    out[3 + length] = (uint8_t)(255u - endAroundSum(out, (uint8_t)(3 + length)));
    for (uint8_t i = 0; i < 4u + length; ++i) put(out[i]);
}

static void sendWord(uint16_t id, uint16_t w) {
    const uint8_t data[2] = {(uint8_t)w, (uint8_t)(w >> 8)};
    sendFrame(id, data, 2);
}

static void send4(uint16_t id, uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3) {
    const uint8_t data[4] = {b0, b1, b2, b3};
    sendFrame(id, data, 4);
}

/* The reply is out; the chip restarts through the watchdog, the bootloader first. */
static void restart(uint16_t handover) {
    waitSent();
    cli();
    NVX_HANDOVER = handover;
    wdt_enable(WDTO_15MS);
    for (;;) {
    }
}

/* ---- requests */

static void kernelCommand(const uint8_t *data) {
    const uint8_t code = data[0];
    const uint8_t p8 = data[1];
    const uint16_t p16 = (uint16_t)(data[2] | (uint16_t)data[3] << 8);
    uint16_t reply = REPLY_OK;
    uint16_t restartWith = 0;
    switch (code) {
        case CODE_TEST: break;
        case CODE_RESET: restartWith = NVX_HANDOVER_RESTART_COMMAND; break;
        case CODE_REBOOT: restartWith = NVX_HANDOVER_RESTART_REBOOT; break;
        case CODE_BOOTLOAD_START:
            if (p8 == NVX_BOOT_TARGET)
                restartWith = NVX_HANDOVER_STAY_IN_BOOTLOADER;
            else
                reply = REPLY_REFUSED;
            break;
        case CODE_EEPROM_CLEAR:
            /* Parameter 0 is the harmless form. */
            if (p8 != 0) {
                eraseEeprom();
                reply = 1;
            }
            break;
        case CODE_RESET_CONDITION: reply = eeByte(parameterStart + PARAM_RESET_CONDITION); break;
        case CODE_BOOT_NUMBER: reply = eeWord(parameterStart + PARAM_BOOT_NUMBER); break;
        case CODE_EEPROM_READ: reply = eeWord(p16 % (E2END + 1u)); break;
        case CODE_HARDWARE_CODE: reply = NVX_VERSION_HARDWARE; break;
        default: reply = REPLY_UNKNOWN; break;
    }
    sendWord(ID_KERNEL_COMMAND, reply);
    if (restartWith) restart(restartWith);
}

static void versionQuery(uint8_t which) {
    switch (which) {
        case 0:
            send4(ID_VERSION_QUERY, NVX_VERSION_PLATFORM, NVX_VERSION_VARIANT,
                  (uint8_t)(NVX_VERSION_HARDWARE & 0xFF), (uint8_t)(NVX_VERSION_HARDWARE >> 8));
            break;
        case 1:
            send4(ID_VERSION_QUERY, NVX_VERSION_KERNEL_MINOR, NVX_VERSION_KERNEL_MAJOR,
                  NVX_VERSION_APP_NUMBER, 0);
            break;
        case 2:
            send4(ID_VERSION_QUERY, NVX_VERSION_APP_MINOR, NVX_VERSION_APP_MAJOR, NVX_BUILD_WEEK,
                  NVX_BUILD_YEAR);
            break;
        default: send4(ID_VERSION_QUERY, 0, 0, 0, 0); break;
    }
}

/* Bit 7 of the address writes the character; the reply echoes what the EEPROM holds. */
static void startText(const uint8_t *data) {
    const uint8_t address = data[0] & 0x7F;
    uint8_t reply[2] = {0, 0};
    if (address >= TEXT_LENGTH) {
        reply[1] = 0xFF;
    } else {
        if (data[0] & 0x80) eeSetByte(textStart + address, data[1]);
        reply[0] = eeByte(textStart + address);
    }
    sendFrame(ID_START_TEXT, reply, 2);
}

static void handleFrame(void) {
    if (endAroundSum(frame, frameLength) != 255u) return;
    const uint16_t word = (uint16_t)(frame[1] << 8 | frame[2]);
    if (everySecondBitParity(word, 0) || everySecondBitParity(word, 1)) return;
    uint8_t data[4] = {0, 0, 0, 0};
    for (uint8_t i = 0; i + 4u < frameLength; ++i) data[i] = frame[3 + i];
    switch (word >> 2) {
        case ID_KERNEL_COMMAND: kernelCommand(data); break;
        case ID_VERSION_QUERY: versionQuery(data[0]); break;
        case ID_START_TEXT: startText(data); break;
        default: break; /* not for this unit */
    }
}

static void receive(uint8_t c) {
    if (frameLength == 0) {
        frameLength = c == KIND_T ? 4 : c == KIND_U ? 6 : c == KIND_V ? 8 : 0;
        if (frameLength == 0) return; /* no frame starts with it */
        frameHave = 0;
    }
    frame[frameHave++] = c;
    frameAge = 0;
    if (frameHave == frameLength) {
        handleFrame();
        frameLength = 0;
    }
}

static void tick(void) {
    if (frameLength != 0 && ++frameAge > FRAME_GAP_TICKS) frameLength = 0;
#if NVX_STATUS_PERIOD_S > 0
    if (++statusTicks >= STATUS_PERIOD_TICKS) {
        statusTicks = 0;
        sendWord(ID_STATUS_BASE + NVX_DEVICE_CODE, eeWord(parameterStart + PARAM_BOOT_NUMBER));
    }
#endif
}

int main(void) {
    MCUSR = 0;
    wdt_disable();
    const uint8_t reason = resetReason(NVX_HANDOVER);
    NVX_HANDOVER = 0;

    /* The bootloader may have left the UART on: it is taken over without switching it off. */
    UCSR0A = _BV(U2X0);
    UBRR0 = UBRR_VALUE;
    UCSR0C = _BV(UCSZ01) | _BV(UCSZ00);
    UCSR0B = _BV(RXEN0) | _BV(TXEN0) | _BV(RXCIE0);
    while (UCSR0A & _BV(RXC0)) (void)UDR0; /* what the bootloader left unread */

    TCCR1A = 0;
    OCR1A = (uint16_t)(F_CPU / TIMER_PRESCALER * TICK_MS / 1000u - 1u);
    TCCR1B = _BV(WGM12) | _BV(CS12) | _BV(CS10);
    TIMSK1 = _BV(OCIE1A);

    if (eeWord(EE_SIGNATURE) != EEPROM_SIGNATURE) formatEeprom();
    textStart = sectionStart(2, DEFAULT_TEXT);
    parameterStart = sectionStart(3, DEFAULT_PARAMETER);
    eeSetWord(parameterStart + PARAM_BOOT_NUMBER,
              (uint16_t)(eeWord(parameterStart + PARAM_BOOT_NUMBER) + 1u));
    eeSetByte(parameterStart + PARAM_RESET_CONDITION, reason);

    set_sleep_mode(SLEEP_MODE_IDLE);
    sei();
    for (;;) {
        cli();
        if (rxHead == rxTail && ticks == 0) {
            sleep_enable();
            sei();
            sleep_cpu();
            sleep_disable();
        }
        sei();
        while (rxHead != rxTail) {
            const uint8_t c = rxQueue[rxTail];
            rxTail = (uint8_t)((rxTail + 1u) & (RX_QUEUE - 1u));
            receive(c);
        }
        while (ticks) {
            cli();
            --ticks;
            sei();
            tick();
        }
    }
}
