// Bytes from the line, interleaved with scheduler ticks, pump transmit steps and requests.
// Every input byte is an operation; received bytes take the byte after their operation byte.
// The records must stay consistent whatever arrives.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "comm/api_request.h"
#include "comm/converter.h"
#include "comm/link.h"
#include "comm/tick.h"
#include "platform/timer_service.h"

namespace {

class FixedCalendar : public nvx::CalendarClock {
public:
    std::time_t now() const override { return t; }
    std::time_t t = 1'400'000'000;
};

void Check(bool ok) {
    if (!ok) std::abort();
}

void CheckRecords() {
    using namespace nvx;
    const LinkChannel& link = g_linkChannels[0];
    const ConverterChannel& conv = g_converterChannels[0];
    Check(link.state <= kLinkReceiving);
    Check(link.txPos <= kLinkFrameBufferSize && link.rxPos <= kLinkFrameBufferSize);
    Check((link.control & kLinkCountMask) <= 8);
    Check(conv.state <= kConvRecover);
    Check(conv.txRead < kTxQueueSize && conv.txWrite < kTxQueueSize);
    Check((conv.txControl & 0x0F) <= 4);
    Check(g_txTrace[0].writeIndex < kTraceRingSize && g_rxTrace[0].writeIndex < kTraceRingSize);
    Check(g_traceFrameNumber[0] >= 0 && g_traceFrameNumber[0] <= kTraceMaxFrameNumber);
    Check(g_linkRxRegister[0] == -1);
    Check(g_linkTxRegister[0] >= -1 && g_linkTxRegister[0] <= 0xFF);
    uint8_t status[4];
    ConverterGetStatus(0, status);
    Check(status[2] <= kTxQueueSize && status[3] <= kRxSlotCount);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace nvx;
    static FixedCalendar calendar;
    SetCalendar(&calendar);
    InitCommStack();
    g_tickPeriodMs = 10;
    g_measureStart = calendar.now();
    g_tickCount = 0;

    for (size_t i = 0; i < size; ++i) {
        const uint8_t op = data[i];
        switch (op >> 5) {
            case 0:
            case 1:
            case 2:
            case 3:  // most operations are received bytes
                if (i + 1 < size) {
                    g_linkRxRegister[0] = static_cast<int8_t>(data[++i]);  // sign-extended, as pumped
                    LinkRxByte(0);
                }
                break;
            case 4:
                TickProc();
                break;
            case 5:
                if (g_linkTxRegister[0] >= 0) {
                    g_linkTxRegister[0] = -1;
                    LinkTxDone(0);
                }
                break;
            case 6: {
                BusMessage request{};
                request.length = static_cast<uint8_t>(op & 0x0F);
                request.data[0] = op;
                g_apiRequest.Start(0x0100u + (op & 0x1F), request, (op & 1) ? 20 : 0);
                break;
            }
            default: {
                BusMessage reply{};
                int32_t info = 0;
                g_apiRequest.Poll(reply, info, info, info);
                BusMessage any{};
                any.channel = kAnyChannel;
                any.id = 0x0100u + (op & 0x1F);
                any.mask = static_cast<uint8_t>(op << 3);
                ConverterReceive(any);
                Check(any.length <= 4);
                if (op & 0x10) calendar.t += 10;  // a measurement now and then
                break;
            }
        }
        CheckRecords();
    }
    return 0;
}
