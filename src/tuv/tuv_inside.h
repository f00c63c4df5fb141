#pragma once
// The TUV Inside window without its widgets: the link driver's and the converter's inner state
// for the live channel, read on every tick of its own timer (timer 13), shown or not. Only a tick
// that changed something builds text or reaches the window, so a window at rest costs nothing.
//
// Each row has a field per channel; only channel 0's column is ever filled, channel 1's keeps its
// start value. Call Initialize() once, when the window is created (it starts the timer).

#include <cstdint>
#include <string>

#include "platform/timer_service.h"

namespace nvx {

extern const char kTuvInsideTitle[];  // "TUV Inside"

struct TuvInsideFields {
    // "Treiber"
    int32_t driverState[2] = {0, 0};     // "Zustand"
    std::string driverControl[2];        // "Control", "%02X"
    int32_t driverRxCounter[2] = {0, 0}; // "Rx Z\xE4hler", always 0
    int32_t driverTxIndex[2] = {0, 0};   // "Tx Index"
    int32_t driverCkIndex[2] = {0, 0};   // "Ck Index", always 0
    int32_t driverRxIndex[2] = {0, 0};   // "Rx Index"
    // "Konverter"
    int32_t converterState[2] = {0, 0};   // "Zustand"
    int32_t converterTimeout[2] = {0, 0}; // "Timeout"
    int32_t txQueued[2] = {0, 0};         // "Tf belegt"
    int32_t rxSlotsUsed[2] = {0, 0};      // "Rf belegt"
    int32_t txOverflow[2] = {0, 0};       // "Tf Overflow"
    int32_t txError[2] = {0, 0};          // "Tx Error"
    int32_t rxOverflow[2] = {0, 0};       // "Rx Overflow"
    int32_t rfError[2] = {0, 0};          // "Rf Error"
    int32_t rxError[2] = {0, 0};          // "Rx Error"

    bool operator==(const TuvInsideFields&) const = default;
};

class TuvInsideView {
public:
    virtual ~TuvInsideView() = default;
    virtual void writeControls(const TuvInsideFields& fields) = 0;
};

class TuvInsideLogic {
public:
    TuvInsideLogic(TimerService& timers, TuvInsideView& view);
    ~TuvInsideLogic();
    TuvInsideLogic(const TuvInsideLogic&) = delete;
    TuvInsideLogic& operator=(const TuvInsideLogic&) = delete;

    // Starts the refresh timer at g_startTickPeriodMs.
    void Initialize();
    // One refresh (timer 13): reads channel 0's records into the first column.
    void OnTimer();

    const TuvInsideFields& fields() const { return fields_; }
    int timerId() const { return timerId_; }

private:
    TimerService& timers_;
    TuvInsideView& view_;
    TuvInsideFields fields_;
    int timerId_ = 0;
    bool shownOnce_ = false;
    int shownControl_ = -1;  // the control byte driverControl[0] was built from
};

}  // namespace nvx
