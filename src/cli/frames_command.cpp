// nvx decode: a raw capture (what the TUV Communication window's pipe files hold) as one row per
// frame, as the window's "Frames" view shows it.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/cli_command.h"
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

}  // namespace

int RunDecode(const Args& args) {
    std::string path;
    bool csv = false, received = false;
    for (const std::string& a : args) {
        if (a == "--help" || a == "-h") {
            PrintDecodeUsage(stdout);
            return 0;
        } else if (a == "--csv") {
            csv = true;
        } else if (a == "--rx") {
            received = true;
        } else if (!a.empty() && a[0] == '-' && a != "-") {
            return UsageError("unknown option '" + a + "'");
        } else if (path.empty()) {
            path = a;
        } else {
            return UsageError("more than one capture file");
        }
    }
    if (path.empty()) return UsageError("no capture file given");

    const int fd = path == "-" ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st{};
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
