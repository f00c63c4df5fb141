#pragma once
// The byte pump: on every tick it moves the line bytes between the link driver of channel 0 and
// the serial port and the pipe files, and decodes what passes into frame rows. It is the traffic
// engine under both the TUV Communication window and the device commands of `nvx`; neither
// needs the other to move bytes.
//
//     BytePump pump(timers);
//     pump.Start();                             // pumping at g_startTickPeriodMs
//     pump.OpenChannelPort(0, 1, kChannelBaudRate);
//     ...                                       // the timers run; frameLog() fills up

#include <cstdint>
#include <functional>
#include <string>

#include "platform/timer_service.h"
#include "tuv/frame_decoder.h"

namespace nvx {

constexpr int kTuvChannelCount = 2;  // channel groups of the window; the stack drives channel 0
constexpr uint32_t kChannelBaudRate = 19200;
// Rows the frame log keeps; older ones are dropped, like the text of the trace views.
constexpr std::size_t kFrameViewLimit = 2000;

// Pipe flags of a channel.
constexpr int32_t kTxPipeOpen = 1;
constexpr int32_t kRxPipeOpen = 2;

// Pump state, process-wide and indexed by channel.
extern int32_t g_channelPortNumber[kTuvChannelCount];  // COM number of the open port, -1 closed
extern int32_t g_pipeFlags[kTuvChannelCount];
extern int g_txPipeFile[kTuvChannelCount];  // descriptors, valid while their flag is set
extern int g_rxPipeFile[kTuvChannelCount];

enum class PipeKind { Transmit, Receive };
enum class PipeOpenResult { Opened, OpenFailed, UnbufferedFailed };

class BytePump {
public:
    explicit BytePump(TimerService& timers);
    // Stops the timer and closes the pipes; the port stays as it is (it belongs to its opener).
    ~BytePump();
    BytePump(const BytePump&) = delete;
    BytePump& operator=(const BytePump&) = delete;

    // Starts (or restarts) pumping at g_startTickPeriodMs with channel 0's port closed and its
    // pipes shut; what an earlier pump left open is shut rather than leaked.
    void Start();

    // Called after every tick, once the bytes of that tick have been moved and decoded.
    void SetAfterTick(std::function<void()> afterTick) { afterTick_ = std::move(afterTick); }

    // Opens the one serial port (8N1) for a channel; false, changing nothing, when it fails.
    bool OpenChannelPort(int channel, int32_t portNumber, uint32_t baudRate);
    void CloseChannelPort(int channel);

    // A pipe file is a plain file or a named pipe; opening one shuts the channel's earlier pipe
    // of that kind. On failure nothing is left open.
    PipeOpenResult OpenPipe(PipeKind kind, int channel, const std::string& name);
    void ClosePipe(PipeKind kind, int channel);

    // One pump pass (the timer calls it).
    void Tick();

    const FrameLog& frameLog() const { return frameLog_; }
    void ClearFrames() { frameLog_.Clear(); }
    int timerId() const { return timerId_; }

private:
    // Line bytes into the frame rows, timed from the port's opening.
    void DecodeTx(uint8_t byte);
    void DecodeRx(const uint8_t* bytes, std::size_t count);
    int64_t FrameTimeMs() const;
    // A new stream begins: what is under way in the old one is ended.
    void RestartFrameStreams();

    TimerService& timers_;
    int timerId_ = 0;
    std::function<void()> afterTick_;
    FrameDecoder txDecoder_{FrameDirection::Tx};
    FrameDecoder rxDecoder_{FrameDirection::Rx};
    FrameLog frameLog_{kFrameViewLimit};
    uint64_t streamStartMs_ = 0;  // the port's opening (or the pump's start)
};

}  // namespace nvx
