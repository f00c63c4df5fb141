// nvx decode: a raw capture (what the TUV Communication window's pipe files hold) as one row per
// frame, as the window's "Frames" view shows it. nvx listen: the same rows, live, for every frame
// a device sends.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/cli_command.h"
#include "cli/console_session.h"
#include "platform/command_line.h"
#include "platform/serial_port.h"
#include "shell/shell.h"
#include "tuv/frame_decoder.h"

namespace nvx::cli {

namespace {

constexpr std::size_t kReadChunk = 1 << 20;
constexpr std::size_t kOutputFlushSize = 1 << 18;

// Rows to standard output as CSV or as an aligned table, in large writes.
class RowPrinter : public FrameSink {
  public:
    explicit RowPrinter(bool csv) : csv_(csv) {
        out_.reserve(kOutputFlushSize + 256);
        if (csv_) {
            AppendFrameCsvHeader(out_);
        } else {
            AppendFrameTableHeader(out_);
        }
    }
    ~RowPrinter() override { Flush(); }
    RowPrinter(const RowPrinter&) = delete;
    RowPrinter& operator=(const RowPrinter&) = delete;

    void OnFrameRow(const FrameRow& row) override {
        if (csv_) {
            AppendFrameCsvLine(out_, row);
        } else {
            AppendFrameTableLine(out_, row);
        }
        if (out_.size() >= kOutputFlushSize) Flush();
    }
    void Flush() {
        if (!out_.empty()) std::fwrite(out_.data(), 1, out_.size(), stdout);
        out_.clear();
        std::fflush(stdout);
    }

  private:
    bool csv_;
    std::string out_;
};

void PrintDecodeUsage(FILE* out) {
    std::fputs(
        "usage: nvx decode FILE [--csv] [--rx]\n"
        "\n"
        "Decodes a raw byte capture of one direction of the line (a pipe file of the TUV\n"
        "Communication window) into one row per frame: kind, identifier word with its parity,\n"
        "data and check byte. Frames are found as the link driver finds them; bytes between\n"
        "frames are noise rows, a frame cut off by the end of the file is marked truncated.\n"
        "\n"
        "  --csv   write CSV (CR LF line ends) instead of an aligned table\n"
        "  --rx    mark the rows as received (Rx); they are marked sent (Tx) otherwise\n"
        "\n"
        "Exit status: 0 done, 1 file error, 2 wrong usage.\n",
        out);
}

int UsageError(const std::string& message) {
    std::fprintf(stderr, "nvx decode: %s\n", message.c_str());
    std::fputs("Try 'nvx decode --help'.\n", stderr);
    return 2;
}

void PrintListenUsage(FILE* out) {
    std::fputs(
        "usage: nvx listen [--port N] [--seconds S] [--csv]\n"
        "\n"
        "Opens COM port N as the monitor does (19200 baud, 8N1), sends nothing, and prints every\n"
        "frame the device sends as it comes: milliseconds since the port was opened, kind,\n"
        "identifier word with its parity, data and check byte, and noise between frames.\n"
        "Runs until Ctrl-C, or for S seconds.\n"
        "\n"
        "  --port N      COM port number (1 to 256, default 1)\n"
        "  --seconds S   stop after S seconds (1 to 86400)\n"
        "  --csv         write CSV (CR LF line ends) instead of an aligned table\n"
        "\n"
        "Exit status: 0 done, 1 the port did not open, 2 wrong usage.\n",
        out);
}

int ListenUsageError(const std::string& message) {
    std::fprintf(stderr, "nvx listen: %s\n", message.c_str());
    std::fputs("Try 'nvx listen --help'.\n", stderr);
    return 2;
}

const KnownOption kCsvOption{"--csv", nullptr, false};
const KnownOption kRxOption{"--rx", nullptr, false};
const KnownOption kSecondsOption{"--seconds", nullptr, true};

constexpr long kMaxListenSeconds = 86400;
// Without --seconds: until Ctrl-C, checked at least this often.
constexpr uint32_t kListenSliceMs = 1000;

volatile std::sig_atomic_t g_listenStop = 0;

extern "C" void StopListening(int) { g_listenStop = 1; }

// Prints the rows the log got since the last call.
class NewRows {
  public:
    NewRows(const FrameLog& log, RowPrinter& printer)
        : log_(log), printer_(printer), seen_(log.total()) {}
    void Print() {
        const uint64_t added = log_.total() - seen_;
        if (added == 0) return;
        seen_ = log_.total();
        const std::size_t shown = static_cast<std::size_t>(std::min<uint64_t>(added, log_.size()));
        for (std::size_t i = log_.size() - shown; i < log_.size(); ++i)
            printer_.OnFrameRow(log_.at(i));
        printer_.Flush();
    }

  private:
    const FrameLog& log_;
    RowPrinter& printer_;
    uint64_t seen_;
};

}  // namespace

int RunListen(const Args& args) {
    CommandLine line;
    std::string error;
    if (!SplitCommandLine(args, {kHelpOption, kPortOption, kSecondsOption, kCsvOption}, line,
                          error))
        return ListenUsageError(error);
    if (line.has(kHelpOption.name)) {
        PrintListenUsage(stdout);
        return 0;
    }
    if (!line.operands.empty())
        return ListenUsageError("unexpected argument '" + line.operands[0] + "'");
    int port = 0;
    if (!ComPortFromCommandLine(line, port, error)) return ListenUsageError(error);
    long seconds = 0;
    if (line.has(kSecondsOption.name)) {
        const std::string value = line.value(kSecondsOption.name);
        char* end = nullptr;
        seconds = std::strtol(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0' || seconds < 1 || seconds > kMaxListenSeconds)
            return ListenUsageError("--seconds needs a number from 1 to 86400");
    }
    const bool csv = line.has(kCsvOption.name);
    ComPortNumber = port;

    ConsoleSession session;
    if (!session.shell().OpenComPort()) return 1;
    RowPrinter printer(csv);
    printer.Flush();
    NewRows rows(session.pump().frameLog(), printer);
    g_listenStop = 0;
    std::signal(SIGINT, StopListening);
    std::signal(SIGTERM, StopListening);
    bool gone = false;
    const auto stopped = [&] {
        rows.Print();
        gone = g_serialPort.HungUp();
        return g_listenStop != 0 || gone;
    };
    if (seconds > 0) {
        session.RunUntil(stopped, static_cast<uint32_t>(seconds * 1000));
    } else {
        while (!session.RunUntil(stopped, kListenSliceMs)) {
        }
    }
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    rows.Print();
    if (gone) {
        std::fflush(stdout);
        std::fprintf(stderr,
                     "nvx listen: COM%d is gone: the device or its link went away, nothing more "
                     "can come\n",
                     port);
    }
    session.shell().CloseComPort();
    return gone ? 1 : 0;
}

int RunDecode(const Args& args) {
    CommandLine line;
    std::string error;
    if (!SplitCommandLine(args, {kHelpOption, kCsvOption, kRxOption}, line, error))
        return UsageError(error);
    if (line.has(kHelpOption.name)) {
        PrintDecodeUsage(stdout);
        return 0;
    }
    if (line.operands.empty()) return UsageError("no capture file given");
    if (line.operands.size() > 1) return UsageError("more than one capture file");
    const std::string& path = line.operands[0];
    const bool csv = line.has(kCsvOption.name), received = line.has(kRxOption.name);

    const int fd = path == "-" ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd >= 0 && ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        std::fprintf(stderr, "nvx decode: %s: %s\n", path.c_str(), std::strerror(EISDIR));
        return 1;
    }
    if (fd < 0) {
        std::fprintf(stderr, "nvx decode: %s: %s\n", path.c_str(), std::strerror(errno));
        return 1;
    }
    FrameDecoder decoder(received ? FrameDirection::Rx : FrameDirection::Tx);
    RowPrinter printer(csv);
    std::vector<uint8_t> chunk(kReadChunk);
    int status = 0;
    for (;;) {
        const ssize_t n = ::read(fd, chunk.data(), chunk.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            std::fprintf(stderr, "nvx decode: %s: %s\n", path.c_str(), std::strerror(errno));
            status = 1;
            break;
        }
        if (n == 0) break;
        decoder.Feed(chunk.data(), static_cast<std::size_t>(n), printer);
    }
    decoder.Finish(printer);
    if (fd != STDIN_FILENO) ::close(fd);
    return status;
}

}  // namespace nvx::cli
