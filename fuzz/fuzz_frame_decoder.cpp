// A capture of arbitrary line bytes, fed in pieces of changing size and time. Every byte must end
// up in exactly one row, in order; a frame row must be as long as its kind says; every row must
// format as CSV and as a table line.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "comm/link.h"
#include "tuv/frame_decoder.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

class CheckingSink : public nvx::FrameSink {
  public:
    void OnFrameRow(const nvx::FrameRow& row) override {
        using nvx::FrameRowKind;
        Check(row.offset == nextOffset);
        Check(row.length >= 1 && row.length <= nvx::kFrameRowMaxBytes);
        Check(row.dataBegin() <= row.dataEnd() && row.dataEnd() <= row.length);
        const uint8_t frameLength = nvx::LinkFrameLength(row.bytes[0]);
        switch (row.kind) {
            case FrameRowKind::Frame:
                Check(row.length == frameLength);
                break;
            case FrameRowKind::Truncated:
                Check(frameLength != 0 && row.length < frameLength);
                break;
            case FrameRowKind::Noise:
                for (std::size_t i = 0; i < row.length; ++i)
                    Check(nvx::LinkFrameLength(row.bytes[i]) == 0);
                break;
        }
        nextOffset += row.length;
        text.clear();
        nvx::AppendFrameCsvLine(text, row);
        Check(text.size() > 2 && text.compare(text.size() - 2, 2, "\r\n") == 0);
        nvx::AppendFrameTableLine(text, row);
    }
    uint64_t nextOffset = 0;
    std::string text;
};

}  // namespace

// The first byte of each piece gives its length (low 4 bits) and how far time moves before it
// (high 4 bits, in steps of 40 ms, so that gaps longer than the receive timeout occur).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    nvx::FrameDecoder decoder(nvx::FrameDirection::Rx);
    CheckingSink sink;
    int64_t timeMs = 0;
    uint64_t fed = 0;
    std::size_t at = 0;
    while (at < size) {
        const uint8_t control = data[at++];
        const std::size_t length = std::min<std::size_t>(control & 0x0F, size - at);
        timeMs += (control >> 4) * 40;
        decoder.Feed(data + at, length, sink, (control & 0x80) ? nvx::kNoFrameTime : timeMs);
        at += length;
        fed += length;
    }
    decoder.Finish(sink);
    Check(sink.nextOffset == fed);
    return 0;
}
