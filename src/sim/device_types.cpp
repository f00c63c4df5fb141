#include "sim/device_types.h"

namespace nvx::sim {

namespace {

// Versions and serial numbers are invented but fixed, so every run reports the same identity.
constexpr DeviceType kTypes[] = {
    {3, "Solvane operating panel, green display", "solbed", "atmega64", 4, "SolBed", 38400, 0,
     0, false, {1, 2, 0x0103, 3, 12, 1, 2, 7, 12, 14}, 10030417},
    {4, "Solvane operating panel, blue display 64K", "solgrabed64", "atmega644p", 4, "SolGrb",
     38400, 0, 0, false, {2, 1, 0x0204, 4, 2, 2, 3, 1, 14, 9}, 10040822},
    {5, "Solvane operating panel, blue display 128K", "solgrabed128", "atmega1284p", 4, "SolGrb",
     38400, 0, 0, false, {2, 3, 0x0206, 4, 5, 2, 3, 4, 16, 33}, 10051290},
    {6, "Solvane operating panel, orange display", "solhyb", "atmega644p", 10, "SolHyb", 38400, 0,
     0, false, {3, 1, 0x0310, 4, 5, 3, 1, 9, 15, 40}, 10060051},
    {7, "Solvane operating panel, touch display", "soltbed", "atxmega128d3", 4, "SolTbed", 38400,
     0, 0, false, {4, 1, 0x0420, 5, 1, 4, 1, 2, 17, 21}, 10070733},
    {10, "Solvane controller via operating panel", "solreg", "atmega64", 259, "SolReg", 19200, 25,
     4, false, {5, 2, 0x0502, 3, 12, 10, 6, 3, 13, 45}, 20100366},
    {11, "Solvane controller via front panel", nullptr, "atmega64", 515, "SolReg", 38400, 0, 0,
     false, {5, 2, 0x0502, 3, 12, 10, 6, 3, 13, 45}, 20110528},
    {12, "Solvane controller 7330/7331/7332", nullptr, "atmega644p", 3, "SolReg", 38400, 0, 0,
     false, {5, 4, 0x0544, 4, 5, 10, 7, 1, 16, 2}, 20120914},
    {13, "Solvane controller, direct connection", nullptr, "atmega64", 3, "SolReg", 38400, 0, 0,
     false, {5, 2, 0x0502, 3, 12, 10, 6, 3, 13, 45}, 20130102},
    {16, "Room sensor 4417", nullptr, "atmega168p", 13, "SolMinibed", 38400, 7, 0, false,
     {6, 1, 0x0601, 2, 8, 13, 1, 5, 11, 30}, 30160220},
    {17, "Room sensor 6120/6121", nullptr, "atmega324p", 13, "SolMinibed", 38400, 7, 0, false,
     {6, 2, 0x0612, 4, 2, 13, 2, 2, 14, 48}, 30170761},
    {20, "Ice/snow detector 5362 until 2012", "frostwarn32k", "atmega32", 5, "5362", 38400, 0, 0,
     false, {7, 1, 0x0701, 2, 8, 5, 1, 8, 10, 19}, 40200415},
    {21, "Ice/snow detector 5362 64K since 2012", "frostwarn64k", "atmega644p", 5, "5362", 38400,
     0, 0, false, {7, 2, 0x0722, 4, 5, 5, 2, 0, 13, 5}, 40210998},
    {24, "PRXA operating panel via controller", "prxabed", "atmega324p", 264, "PrxaBed", 19200,
     15, 25, true, {8, 1, 0x0811, 4, 2, 8, 1, 4, 15, 11}, 50240137},
    {25, "PRXA controller", "prxareg", "atmega324p", 7, "PrxaReg", 38400, 0, 0, false,
     {8, 2, 0x0820, 4, 2, 7, 2, 6, 15, 11}, 50250642},
    {26, "PRXA operating panel, direct connection", nullptr, "atmega324p", 8, "PrxaBed", 38400, 0,
     0, true, {8, 1, 0x0811, 4, 2, 8, 1, 4, 15, 11}, 50260311},
    {29, "GlenVal operating panel via controller", "glenvalbed", "atmega324p", 275, "GlenValBed",
     19200, 15, 30, false, {9, 1, 0x0911, 4, 5, 15, 1, 1, 18, 6}, 60290084},
    {30, "GlenVal controller", "glenvalreg", "atmega324p", 18, "GlenValReg", 38400, 0, 0, false,
     {9, 2, 0x0920, 4, 5, 18, 1, 3, 18, 6}, 60300217},
    {33, "3184 KTE AirCase", "aircase", "atmega32", 15, "3184", 38400, 0, 0, false,
     {10, 1, 0x0A01, 2, 8, 15, 1, 1, 12, 37}, 70330058},
};

}  // namespace

std::span<const DeviceType> DeviceTypes() { return kTypes; }

const DeviceType* FindDeviceByStem(std::string_view stem) {
    for (const DeviceType& t : kTypes)
        if (t.stem && stem == t.stem) return &t;
    return nullptr;
}

const DeviceType* FindDeviceByRow(int row) {
    for (const DeviceType& t : kTypes)
        if (t.row == row) return &t;
    return nullptr;
}

}  // namespace nvx::sim
