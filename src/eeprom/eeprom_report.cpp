#include "eeprom/eeprom_report.h"

#include <cstring>

#include "platform/format.h"

namespace nvx {
namespace {

constexpr const char* kSw = "Software: internes Problem";
constexpr const char* kUnknownStatus = "unknown status";
constexpr const char* kUnknownModule = "unknown module";
// Status texts of modules missing from the module table.
constexpr int kAnyOtherModule = -1;
// Its module text takes the whole error code; its status text is always empty.
constexpr int kFactoryResetModule = 23;

struct ModuleText {
    int module;
    const char* text;
    bool channelForm;  // status is "<sub-text> (Kanal <code >> 4>)"
};

constexpr ModuleText kModules[] = {
    {1, "Norvix Betriebssystem", false},
    {3, "TUV-Kommunikation", false},
    {8, "Display", false},
    {9, "Parameter-Speicher", false},
    {10, "Analogwert", false},
    {11, "Uhr", false},
    {16, "Reglermanagement", false},
    {17, "Aussentemperatur", false},
    {22, "Raumtemperatur", true},
    {23, "Werkseinstellung f\xFCr Programm %d ausgef\xFChrt", false},
    {32, "Heiz/K\xFChlkreis", true},
    {33, "Kessel/Brenner", false},
    {34, "W\xE4rme-/K\xE4lteerzeuger", false},
    {35, "Brauchwasser-Speicher", false},
    {36, "Brauchwasser-W\xE4rmetauscher", false},
    {37, "Fernw\xE4rme", false},
    {38, "Pufferspeicher", false},
    {39, "Energieverteilung", false},
    {41, "Raumklimaf\xFChrung", false},
    {42, "Mischersteuerung", false},
    {44, "Ventilsteuerung", false},
};

struct StatusText {
    int module;
    int code;
    const char* text;  // a "%d" takes code >> 4
};

constexpr StatusText kStatusTexts[] = {
    {1, 16, "Checksummenfehler: Programm-Speicher"},
    {1, 17, "Checksummenfehler: Bootloader-Speicher"},
    {1, 18, "Checksummenfehler: EEPROM Systembereich"},
    {1, 19, "Software inkompatibel zur Hardware"},
    {3, 1, kSw},
    {3, 2, kSw},
    {3, 20, "Fehler im Kommunikationstreiber"},
    {3, 21, "Fehler im Kommunikationstreiber"},
    {3, 22, "Fehler im Kommunikationstreiber"},
    {3, 23, "Fehler im Kommunikationstreiber"},
    {3, 24, "Fehler im Kommunikationstreiber"},
    {8, 16, "St\xF6rung in der Display-Ansteuerung"},
    {9, 1, kSw},
    {9, 16, "EEPROM: Schreib-/Lesefehler"},
    {10, 16, "Kalibrierdaten fehlerhaft"},
    {11, 16, "Uhrzeit ung\xFCltig"},
    {11, 18, "Schreib-/Lesefehler"},
    {16, 1, kSw},
    {16, 6, kSw},
    {17, 16, "Messfehler Witterungsf\xFChler"},
    {22, 16, "Messfehler Raumf\xFChler"},
    {22, 32, "Messfehler Raumf\xFChler"},
    {22, 48, "Messfehler Raumf\xFChler"},
    {22, 17, "Messfehler Raumverstellung"},
    {22, 33, "Messfehler Raumverstellung"},
    {22, 49, "Messfehler Raumverstellung"},
    {22, 18, "Messfehler Raumf\xFChler in ABE"},
    {22, 34, "Messfehler Raumf\xFChler in ABE"},
    {22, 50, "Messfehler Raumf\xFChler in ABE"},
    {32, 1, kSw},
    {32, 6, kSw},
    {32, 16, "Messfehler Vorlauff\xFChler"},
    {32, 32, "Messfehler Vorlauff\xFChler"},
    {32, 48, "Messfehler Vorlauff\xFChler"},
    {32, 17, "Messfehler R\xFC" "cklauff\xFChler"},
    {32, 33, "Messfehler R\xFC" "cklauff\xFChler"},
    {32, 49, "Messfehler R\xFC" "cklauff\xFChler"},
    {32, 18, "Messfehler Raumf\xFChler"},
    {32, 34, "Messfehler Raumf\xFChler"},
    {32, 50, "Messfehler Raumf\xFChler"},
    {32, 19, "Messfehler Raumverstellung"},
    {32, 35, "Messfehler Raumverstellung"},
    {32, 51, "Messfehler Raumverstellung"},
    {32, 20, "Fehler externe Betriebswahl"},
    {32, 36, "Fehler externe Betriebswahl"},
    {32, 52, "Fehler externe Betriebswahl"},
    {32, 21, "Messfehler Raumf\xFChler in ABE"},
    {32, 37, "Messfehler Raumf\xFChler in ABE"},
    {32, 53, "Messfehler Raumf\xFChler in ABE"},
    {32, 22, "Kommunikation mit ABE gest\xF6rt"},
    {32, 38, "Kommunikation mit ABE gest\xF6rt"},
    {32, 54, "Kommunikation mit ABE gest\xF6rt"},
    {32, 23, "Messfehler Vorlauff\xFChler Prim\xE4rkreis"},
    {32, 39, "Messfehler Vorlauff\xFChler Prim\xE4rkreis"},
    {32, 55, "Messfehler Vorlauff\xFChler Prim\xE4rkreis"},
    {33, 1, kSw},
    {33, 6, kSw},
    {33, 16, "Messfehler Kesself\xFChler"},
    {34, 1, kSw},
    {34, 6, kSw},
    {34, 16, "Messfehler Temperaturf\xFChler (Erzeuger %d)"},
    {34, 32, "Messfehler Temperaturf\xFChler (Erzeuger %d)"},
    {35, 1, kSw},
    {35, 6, kSw},
    {35, 16, "Messfehler Speicherf\xFChler"},
    {36, 1, kSw},
    {36, 6, kSw},
    {36, 16, "Messfehler Warmwasserf\xFChler"},
    {36, 19, "Aktivbetrieb: R\xFC" "cklauf-Temp. zu hoch"},
    {37, 1, kSw},
    {37, 6, kSw},
    {37, 16, "Messfehler prim\xE4rer Vorlauff\xFChler (Versorgung %d)"},
    {37, 32, "Messfehler prim\xE4rer Vorlauff\xFChler (Versorgung %d)"},
    {37, 48, "Messfehler prim\xE4rer Vorlauff\xFChler (Versorgung %d)"},
    {37, 17, "Messfehler R\xFC" "cklauff\xFChler (Versorgung %d)"},
    {37, 33, "Messfehler R\xFC" "cklauff\xFChler (Versorgung %d)"},
    {37, 49, "Messfehler R\xFC" "cklauff\xFChler (Versorgung %d)"},
    {37, 18, "R\xFC" "cklauf-Temp. zu hoch (Versorgung %d)"},
    {37, 34, "R\xFC" "cklauf-Temp. zu hoch (Versorgung %d)"},
    {37, 50, "R\xFC" "cklauf-Temp. zu hoch (Versorgung %d)"},
    {37, 19, "Messfehler sekund\xE4rer Vorlauff\xFChler (Versorgung %d)"},
    {37, 35, "Messfehler sekund\xE4rer Vorlauff\xFChler (Versorgung %d)"},
    {37, 51, "Messfehler sekund\xE4rer Vorlauff\xFChler (Versorgung %d)"},
    {38, 1, kSw},
    {38, 6, kSw},
    {38, 16, "Messfehler Pufferf\xFChler (Speicher %d)"},
    {39, 1, kSw},
    {39, 6, kSw},
    {41, 16, kSw},
    {41, 17, kSw},
    {44, 1, kSw},
    {kAnyOtherModule, 1, kSw},
};

const ModuleText* FindModule(int module) {
    for (const ModuleText& m : kModules)
        if (m.module == module) return &m;
    return nullptr;
}

const char* FindStatus(int module, int code) {
    for (const StatusText& s : kStatusTexts)
        if (s.module == module && s.code == code) return s.text;
    return nullptr;
}

struct DeviceTypeText {
    int32_t row;
    const char* text;
};

constexpr DeviceTypeText kDeviceTypes[] = {
    {3, "Solvane Operator, green Display"},
    {4, "Solvane Operator, blue Display, 64K"},
    {5, "Solvane Operator, blue Display, 128K"},
    {6, "Solvane Operator, hybrid, orange Display"},
    {7, "Solvane Operator, Touch-Display"},
    {10, "Solvane Controller"},
    {11, "Solvane Controller"},
    {12, "Solvane Controller"},
    {13, "Solvane Controller"},
    {16, "Room Sensor 4417"},
    {17, "Room Sensor 6120/6121"},
    {20, "Ice and Snow Detector 5362"},
    {24, "PRXA Operator"},
    {25, "PRXA Controller"},
    {26, "PRXA Operator"},
    {33, "Remote Steuerger\xE4t KTE3184"},
};

constexpr const char* kFlagLines[] = {
    "                  EEPROM initialisiert\r\n",
    "                  Ger\xE4t Kodiert\r\n",
    ("                  Hardware gepr\xFC" "ft\r\n"),
    "                  Hardware kalibriert\r\n",
    "                  Werkseinstellung erfolgt\r\n",
};

// The PRXA operating panels keep a temperature log at the start of their Exworks section.
bool HasTemperatureLog(int32_t deviceRow) { return deviceRow == 24 || deviceRow == 26; }

constexpr uint32_t kTemperatureBands = 12;

void AppendHeaderBlock(const EepromImage& image, std::string& out) {
    const auto& b = image.bytes;
    out += "Header\r\n";
    out += "------\r\n";
    out += Format("Signature:        0x%02x%02x\r\n", b[3], b[2]);
    if (b[4] == 0xFF && b[5] == 0xFF)
        out += "CheckSum:         not available\r\n";
    else
        out += Format("CheckSum:         0x%02x%02x\r\n", b[5], b[4]);

    if (b[6] == 0xFF && b[7] == 0xFF) {
        out += "Date of Build:    not available\r\n";
    } else {
        out += Format("Build:            %02d%02d\r\n", b[7], b[6]);
        // Months are counted from January 2001 = 1; month 0 has no date.
        const uint32_t n = 100u * (b[6] >> 5) + b[7];
        if (n == 0) {
            out += "Date of Build:    not available\r\n";
        } else {
            const uint32_t year = 2001u + (n - 1) / 12;
            const uint32_t month = (n - 1) % 12 + 1;
            const uint32_t day = b[6] & 0x1Fu;
            out += Format("Date of Build:    %4d-%02d-%02d\r\n", static_cast<int>(year),
                          static_cast<int>(month), static_cast<int>(day));
        }
    }

    if (b[8] == 0 && b[9] == 0)
        out += "ConfigCode:       0x0000 (not defined if HW-Code available)\r\n";
    else
        out += Format("ConfigCode:       0x%02x%02x\r\n", b[9], b[8]);

    out += Format("Production Flags: 0x%02x%02x\r\n", b[11], b[10]);
    for (unsigned bit = 0; bit < 5; ++bit)
        if (b[10] & (1u << bit)) out += kFlagLines[bit];

    // The decade is not stored: "20x" stands before the year's last digit.
    out += Format("Production Date:  0x%02x%02x, 20x%d-%02d-%02d\r\n\r\n", b[13], b[12],
                  (b[13] >> 4) % 10, b[13] & 0x0F, b[12]);
}

void AppendErrorMemory(const EepromImage& image, std::string& out) {
    const auto& b = image.bytes;
    const uint32_t head = image.errorStart();  // at most 0xFF0: the head always fits
    const uint32_t entries = b[head];
    const uint32_t pointer = b[head + 1];
    out += "Error Memory\r\n";
    out += "------------\r\n";
    out += Format("Entries: %3d\r\n", static_cast<int>(entries));
    out += Format("Pointer: %3d\r\n", static_cast<int>(pointer));
    out += Format("Date of last Deletion: 20x%d-%02d-%02d\r\n\r\n", (b[head + 3] >> 4) % 10,
                  b[head + 3] & 0x0F, b[head + 2]);
    out += "Entry|Error|Module|Date      |Description\r\n";
    out += "-----|-----|------|----------|--------------------------------------------------------------\r\n";
    if (entries == 0) {
        out += "no entries\r\n\r\n";
        return;
    }
    // Newest first: the entry just before Pointer, back round the ring to the oldest.
    for (uint32_t k = 1; k <= entries; ++k) {
        const uint32_t i = (entries + pointer - k) % entries;
        const uint32_t at = head + 4 + 4 * i;
        // An erased or damaged head can claim more entries than the image holds.
        if (at + 4 > EepromImage::kSize) continue;
        const uint8_t code = b[at];
        const uint8_t module = b[at + 1];
        out += Format("%5d|%5d|%6d|20x%d-%02d-%02d|", static_cast<int>(k), code, module, (b[at + 3] >> 4) % 10,
                      b[at + 3] & 0x0F, b[at + 2]);
        out += EepromErrorDescription(code, module);
        out += "\r\n";
    }
    out += "\r\n";
}

void AppendTemperatureLog(const EepromImage& image, std::string& out) {
    const auto& b = image.bytes;
    out += "Temperature Log\r\n";
    out += "---------------\r\n";
    out += "T [\xB0" "C] |  <40 |  <45 |  <50 |  <55 |  <60 |  <65 |  <70 |  <75 |  <80 |  <85 |  <90 |  >90 \r\n";
    out += "-------|------|------|------|------|------|------|------|------|------|------|------|------\r\n";
    out += "t [h]  ";
    const uint32_t start = image.exworksStart();
    const uint32_t end = image.textStart();
    uint32_t total = 0;
    for (uint32_t a = start; a < end && a < start + 2 * kTemperatureBands && a + 1 < EepromImage::kSize;
         a += 2) {
        const uint32_t counter = b[a] + 256u * b[a + 1];
        total += counter;
        out += Format("|%5d ", static_cast<int>(counter));
    }
    out += "\r\n\r\n";
    out += "Operating Time\r\n";
    out += "--------------\r\n";
    out += Format("Cumulative [h]: %d", static_cast<int>(total));
    out += "\r\n\r\n";
}

void AppendDump(const EepromImage& image, const char* title, const char* underline,
                uint32_t start, uint32_t end, std::string& out) {
    out += title;
    out += underline;
    // Sections start on 16-byte boundaries, so a row that starts inside the image ends inside it.
    if (end > EepromImage::kSize) end = EepromImage::kSize;
    for (uint32_t r = start; r < end; r += 16) {
        out += Format("0x%04x | ", r);
        for (uint32_t i = 0; i < 16; ++i) out += Format("%02x ", image.bytes[r + i]);
        out += "\r\n";
    }
    out += "\r\n";
}

void AppendDumps(const EepromImage& image, std::string& out) {
    AppendDump(image, "Header\r\n", "------\r\n", 0, image.exworksStart(), out);
    AppendDump(image, "Exworks\r\n", "-------\r\n", image.exworksStart(), image.textStart(), out);
    AppendDump(image, "Text\r\n", "----\r\n", image.textStart(), image.parameterStart(), out);
    AppendDump(image, "Parameter\r\n", "---------\r\n", image.parameterStart(), image.errorStart(),
               out);
    // Ends below the last byte read, so a row starting exactly there is left out.
    AppendDump(image, "Error\r\n", "-----\r\n", image.errorStart(), image.lastDataAddress, out);
}

}  // namespace

std::string EepromDeviceTypeLine(int32_t deviceRow) {
    if (deviceRow == 0) return {};
    const char* text = "unknown";
    for (const DeviceTypeText& d : kDeviceTypes)
        if (d.row == deviceRow) text = d.text;
    return std::string("Device Type:      ") + text + "\r\n";
}

std::string EepromErrorDescription(uint8_t errorCode, uint8_t moduleNumber) {
    const ModuleText* module = FindModule(moduleNumber);
    if (module && module->module == kFactoryResetModule)
        return Format(module->text, errorCode) + ", ";

    const std::string moduleText = module ? module->text : kUnknownModule;
    const char* found = FindStatus(module ? module->module : kAnyOtherModule, errorCode);
    std::string status = !found                          ? kUnknownStatus
                         : std::strstr(found, "%d") ? Format(found, errorCode >> 4)
                                                     : found;
    if (module && module->channelForm) status = Format("%s (Kanal %d)", status.c_str(), errorCode >> 4);
    return moduleText + ", " + status;
}

std::string BuildEepromReport(const EepromImage& image, int32_t deviceRow, bool reportHeaderDetails) {
    std::string out;
    out.reserve(reportHeaderDetails ? 32768 : 4096);
    out += "Velmor EEPROM Content\r\n";
    out += "---------------------\r\n";
    out += EepromDeviceTypeLine(deviceRow);
    out += "\r\n";
    if (reportHeaderDetails) AppendHeaderBlock(image, out);
    AppendErrorMemory(image, out);
    if (HasTemperatureLog(deviceRow)) AppendTemperatureLog(image, out);
    if (reportHeaderDetails) AppendDumps(image, out);
    return out;
}

}  // namespace nvx
