// HEX to NPF of a 128 KB firmware image (about 360 KB of text): in memory, file to file, and as
// whole processes (`nvx convert` against `srec_cat` reading and rewriting the same file as Intel
// HEX). EEPROM reports per second for 4 KB images.

#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "eeprom/eeprom_image.h"
#include "eeprom/eeprom_report.h"
#include "platform/atomic_file.h"
#include "progtool/program_file.h"

namespace {

namespace fs = std::filesystem;

std::string Record(uint32_t address, uint8_t type, const uint8_t* data, std::size_t n) {
    static const char* digits = "0123456789ABCDEF";
    std::vector<uint8_t> bytes = {static_cast<uint8_t>(n), static_cast<uint8_t>(address >> 8),
                                  static_cast<uint8_t>(address), type};
    bytes.insert(bytes.end(), data, data + n);
    unsigned sum = 0;
    for (uint8_t b : bytes) sum += b;
    bytes.push_back(static_cast<uint8_t>(-sum));
    std::string line = ":";
    for (uint8_t b : bytes) {
        line += digits[b >> 4];
        line += digits[b & 15];
    }
    return line + "\r\n";
}

// 128 KB of firmware in 16-byte records, with an extended linear address record per 64 KB.
const std::string& FirmwareHex() {
    static const std::string text = [] {
        std::mt19937 random(42);
        std::string t;
        for (uint32_t a = 0; a < 128 * 1024; a += 16) {
            if (a % 0x10000 == 0) {
                const uint8_t upper[2] = {0, static_cast<uint8_t>(a >> 16)};
                t += Record(0, 4, upper, 2);
            }
            uint8_t data[16];
            for (uint8_t& b : data) b = static_cast<uint8_t>(random());
            t += Record(a & 0xFFFF, 0, data, 16);
        }
        return t + ":00000001FF\r\n";
    }();
    return text;
}

fs::path WorkDir() {
    static const fs::path dir = [] {
        fs::path d = fs::temp_directory_path() / ("nvx_bench_eeprom." + std::to_string(::getpid()));
        fs::create_directories(d);
        std::ofstream(d / "firmware.hex", std::ios::binary) << FirmwareHex();
        std::ofstream(d / "tiny.hex", std::ios::binary) << ":03000000010203F7\r\n:00000001FF\r\n";
        std::atexit([] { fs::remove_all(fs::temp_directory_path() / ("nvx_bench_eeprom." + std::to_string(::getpid()))); });
        return d;
    }();
    return dir;
}

void BM_HexToNpfInMemory(benchmark::State& state) {
    const std::string& hex = FirmwareHex();
    std::string npf;
    for (auto _ : state) {
        if (!nvx::ConvertProgramText(hex, nvx::kTransformScramble, npf).ok()) state.SkipWithError("rejected");
        benchmark::DoNotOptimize(npf.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * hex.size()));
    state.counters["image_bytes"] = static_cast<double>(hex.size());
}
BENCHMARK(BM_HexToNpfInMemory)->Unit(benchmark::kMillisecond);

void BM_HexToNpfFile(benchmark::State& state) {
    const std::string in = (WorkDir() / "firmware.hex").string();
    const std::string out = (WorkDir() / "firmware.npf").string();
    for (auto _ : state)
        if (!nvx::ConvertProgramFile(in, out, nvx::kTransformScramble).ok()) state.SkipWithError("failed");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * FirmwareHex().size()));
}
BENCHMARK(BM_HexToNpfFile)->Unit(benchmark::kMillisecond)->UseRealTime();

// The output step alone: the same bytes written to a temporary file, flushed, and renamed.
void BM_AtomicWrite(benchmark::State& state) {
    const std::string out = (WorkDir() / "written.npf").string();
    for (auto _ : state)
        if (!nvx::WriteFileAtomically(out, FirmwareHex())) state.SkipWithError("failed");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * FirmwareHex().size()));
}
BENCHMARK(BM_AtomicWrite)->Unit(benchmark::kMillisecond)->UseRealTime();

// Runs a program to its end; false when it cannot be started or fails.
bool RunProcess(std::vector<std::string> argv) {
    std::vector<char*> args;
    for (std::string& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    pid_t pid;
    if (::posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) return false;
    int status = 0;
    return ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Bytes are counted for the 128 KB image only, so the two-line runs show no throughput.
void ProcessBenchmark(benchmark::State& state, std::vector<std::string> argv) {
    for (auto _ : state)
        if (!RunProcess(argv)) {
            state.SkipWithError(("cannot run " + argv[0]).c_str());
            break;
        }
    if (state.range(0)) state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * FirmwareHex().size()));
}

// Each tool on the 128 KB image and on a two-line file: the difference is its cost per byte
// without the process start.
void BM_NvxConvertProcess(benchmark::State& state) {
    const std::string in = state.range(0) ? "firmware.hex" : "tiny.hex";
    ProcessBenchmark(state, {NVX_BINARY_DIR "/src/cli/nvx", "convert", (WorkDir() / in).string(), "-o",
                             (WorkDir() / "nvx_out.npf").string()});
}
BENCHMARK(BM_NvxConvertProcess)->Arg(1)->Arg(0)->ArgName("image")->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SrecCatProcess(benchmark::State& state) {
    const std::string in = state.range(0) ? "firmware.hex" : "tiny.hex";
    ProcessBenchmark(state, {"srec_cat", (WorkDir() / in).string(), "-Intel", "-o",
                             (WorkDir() / "srec_out.hex").string(), "-Intel"});
}
BENCHMARK(BM_SrecCatProcess)->Arg(1)->Arg(0)->ArgName("image")->Unit(benchmark::kMillisecond)->UseRealTime();

// A realistic 4 KB image: header, a PRXA temperature log, a full error memory ring.
const std::string& EepromHex() {
    static const std::string text = [] {
        std::vector<uint8_t> image(4096, 0xFF);
        const uint8_t header[28] = {0x5A, 0xA5, 0x34, 0x12, 0xCD, 0xAB, 0x2D, 0x4F, 0x02, 0x01, 0x1F, 0x00, 0x11, 0x45,
                                    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xC0, 0x02, 0x08, 0x10};
        std::copy(std::begin(header), std::end(header), image.begin());
        for (int i = 0; i < 12; ++i) image[0x20 + 2 * i] = static_cast<uint8_t>(i * 17), image[0x21 + 2 * i] = 1;
        const uint32_t error = 0xC00;
        image[error] = 100;
        image[error + 1] = 37;
        image[error + 2] = 9;
        image[error + 3] = 0x32;
        const uint8_t modules[] = {32, 37, 22, 23, 99, 1, 3, 34};
        for (uint32_t i = 0; i < 100; ++i) {
            image[error + 4 + 4 * i] = static_cast<uint8_t>(16 + i % 40);
            image[error + 5 + 4 * i] = modules[i % 8];
            image[error + 6 + 4 * i] = static_cast<uint8_t>(1 + i % 28);
            image[error + 7 + 4 * i] = static_cast<uint8_t>(0x41 + i % 9);
        }
        std::string t;
        for (uint32_t a = 0; a < 4096; a += 16) t += Record(a, 0, &image[a], 16);
        return t + ":00000001FF\r\n";
    }();
    return text;
}

void BM_EepromReport(benchmark::State& state) {
    const bool details = state.range(0) != 0;
    const std::string& hex = EepromHex();
    for (auto _ : state) {
        const nvx::EepromImage image = nvx::ParseEepromImage(hex);
        std::string report = nvx::BuildEepromReport(image, 24, details);
        benchmark::DoNotOptimize(report.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EepromReport)->Arg(0)->Arg(1)->ArgName("details")->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
