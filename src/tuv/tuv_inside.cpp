#include "tuv/tuv_inside.h"

#include "comm/converter.h"
#include "comm/link.h"
#include "comm/tick.h"
#include "platform/format.h"

namespace nvx {

const char kTuvInsideTitle[] = "TUV Inside";

TuvInsideLogic::TuvInsideLogic(TimerService& timers, TuvInsideView& view) : timers_(timers), view_(view) {}

TuvInsideLogic::~TuvInsideLogic() {
    if (timerId_ != 0) timers_.stop(timerId_);
}

void TuvInsideLogic::Initialize() {
    if (timerId_ != 0) timers_.stop(timerId_);
    timerId_ = timers_.start(g_startTickPeriodMs, [this] { OnTimer(); });
}

void TuvInsideLogic::OnTimer() {
    const LinkChannel& link = g_linkChannels[0];
    TuvInsideFields f = fields_;
    f.driverState[0] = link.state;
    if (link.control != shownControl_) {
        shownControl_ = link.control;
        f.driverControl[0] = Format("%02X", static_cast<unsigned>(link.control));
    }
    f.driverRxCounter[0] = 0;
    f.driverTxIndex[0] = link.txPos;
    f.driverCkIndex[0] = 0;
    f.driverRxIndex[0] = link.rxPos;

    uint8_t errors[5] = {};
    ConverterGetErrors(0, errors);
    f.txOverflow[0] = errors[0];
    f.txError[0] = errors[1];
    f.rxOverflow[0] = errors[2];
    f.rfError[0] = errors[3];
    f.rxError[0] = errors[4];

    uint8_t status[4] = {};
    ConverterGetStatus(0, status);
    f.converterState[0] = status[0];
    f.converterTimeout[0] = status[1];
    f.txQueued[0] = status[2];
    f.rxSlotsUsed[0] = status[3];

    if (shownOnce_ && f == fields_) return;
    shownOnce_ = true;
    fields_ = f;
    view_.writeControls(fields_);
}

}  // namespace nvx
