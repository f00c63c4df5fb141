// Decoding a 10 MB line capture: into rows only, into CSV text, in memory. With
// --write-capture FILE the program writes the same capture to FILE instead (for
// bench/decode_throughput.sh, which times `nvx decode` on it).

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "sim/frame_codec.h"
#include "tuv/frame_decoder.h"

namespace {

using namespace nvx;

constexpr std::size_t kCaptureBytes = 10u << 20;

// Requests and replies as the device's own encoder makes them, all three kinds; now and then a
// noise byte between frames and a frame with a wrong check byte.
const std::vector<uint8_t>& Capture() {
    static const std::vector<uint8_t> capture = [] {
        std::vector<uint8_t> line;
        line.reserve(kCaptureBytes + 8);
        std::mt19937 random(17);
        while (line.size() < kCaptureBytes) {
            sim::Frame f;
            f.id = static_cast<uint16_t>(random() & 0x3FFF);
            f.length = static_cast<uint8_t>((random() % 3) * 2);
            for (uint8_t& d : f.data) d = static_cast<uint8_t>(random());
            std::vector<uint8_t> wire = sim::EncodeFrame(f);
            const unsigned fault = random() % 64;
            if (fault == 0) wire.back() ^= 0x01;
            if (fault == 1) line.push_back(0x00);
            line.insert(line.end(), wire.begin(), wire.end());
        }
        line.resize(kCaptureBytes);
        return line;
    }();
    return capture;
}

class CountingSink : public FrameSink {
  public:
    void OnFrameRow(const FrameRow& row) override {
        ++rows;
        wrong += row.kind == FrameRowKind::Frame && !row.checkOk;
    }
    uint64_t rows = 0;
    uint64_t wrong = 0;
};

class CsvSink : public FrameSink {
  public:
    void OnFrameRow(const FrameRow& row) override {
        AppendFrameCsvLine(text, row);
        if (text.size() >= (1u << 18)) {
            bytes += text.size();
            text.clear();
        }
    }
    std::string text;
    uint64_t bytes = 0;
};

void BM_DecodeCaptureInMemory(benchmark::State& state) {
    const std::vector<uint8_t>& capture = Capture();
    CountingSink sink;
    for (auto _ : state) {
        FrameDecoder decoder(FrameDirection::Rx);
        decoder.Feed(capture.data(), capture.size(), sink);
        decoder.Finish(sink);
        benchmark::DoNotOptimize(sink.rows);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * capture.size()));
    state.counters["rows_per_iteration"] = static_cast<double>(sink.rows / state.iterations());
    state.counters["wrong_checks_per_iteration"] =
        static_cast<double>(sink.wrong / state.iterations());
}
BENCHMARK(BM_DecodeCaptureInMemory)->Unit(benchmark::kMillisecond);

void BM_DecodeCaptureToCsvInMemory(benchmark::State& state) {
    const std::vector<uint8_t>& capture = Capture();
    CsvSink sink;
    sink.text.reserve((1u << 18) + 256);
    for (auto _ : state) {
        FrameDecoder decoder(FrameDirection::Rx);
        decoder.Feed(capture.data(), capture.size(), sink);
        decoder.Finish(sink);
        benchmark::DoNotOptimize(sink.text.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * capture.size()));
}
BENCHMARK(BM_DecodeCaptureToCsvInMemory)->Unit(benchmark::kMillisecond);

// What the pump pays per received byte: one byte at a time with a time, as at 19200 baud.
void BM_DecodeOneTimedByte(benchmark::State& state) {
    const std::vector<uint8_t>& capture = Capture();
    CountingSink sink;
    FrameDecoder decoder(FrameDirection::Rx);
    std::size_t at = 0;
    int64_t timeMs = 0;
    for (auto _ : state) {
        decoder.Feed(&capture[at], 1, sink, timeMs);
        at = at + 1 == capture.size() ? 0 : at + 1;
        ++timeMs;
    }
    benchmark::DoNotOptimize(sink.rows);
}
BENCHMARK(BM_DecodeOneTimedByte);

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--write-capture") == 0) {
        const std::vector<uint8_t>& capture = Capture();
        FILE* out = std::fopen(argv[2], "wb");
        if (!out || std::fwrite(capture.data(), 1, capture.size(), out) != capture.size() ||
            std::fclose(out) != 0) {
            std::perror(argv[2]);
            return 1;
        }
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
