#include "cli/parallel_runner.h"

#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <memory>

#include "platform/format.h"

namespace nvx::cli {

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void OnInterrupt(int) { g_interrupted = 1; }

// Children write when they have something to say; a round this long between looks costs
// nothing and keeps the bars current.
constexpr int kRoundMs = 20;
constexpr int kBarWidth = 30;
constexpr const char* kProgressPrefix = "PROGRESS ";

struct Running {
    const PortRun* run = nullptr;
    std::unique_ptr<ChildProcess> child;
    std::chrono::steady_clock::time_point started;
    std::string partial;
    int percent = 0;
    std::string latest;
    bool done = false;
    PortOutcome outcome;
};

bool IsLogLine(const std::string& line) {
    return line.size() >= 3 && line.compare(1, 2, "> ") == 0;
}

bool IsFinalLine(const std::string& line) {
    return line.rfind("I> ", 0) == 0 || line.rfind("E> ", 0) == 0;
}

class Display {
public:
    Display(bool terminal, std::FILE* out, std::FILE* err)
        : terminal_(terminal), out_(out), err_(err) {}

    void Line(const Running& r, const std::string& line) {
        if (IsLogLine(line) && !terminal_) {
            std::fprintf(out_, "COM%d: %s\n", r.run->port, line.c_str());
            std::fflush(out_);
        } else if (!IsLogLine(line)) {
            Clear();
            std::fprintf(terminal_ ? out_ : err_, "COM%d: %s\n", r.run->port, line.c_str());
        }
    }

    // The block of one line per port, drawn again in place (terminals only).
    void Draw(const std::vector<Running>& all) {
        if (!terminal_) return;
        Clear();
        for (const Running& r : all) {
            const int filled = std::clamp(r.percent, 0, 100) * kBarWidth / 100;
            const std::string status = r.done ? (r.outcome.exitCode == 0 ? "finished" : "ended")
                                              : r.latest;
            std::fprintf(out_, "\033[KCOM%-3d [%s%s] %3d%%  %s\n", r.run->port,
                         std::string(static_cast<std::size_t>(filled), '#').c_str(),
                         std::string(static_cast<std::size_t>(kBarWidth - filled), '.').c_str(),
                         r.percent, status.c_str());
        }
        drawnLines_ = static_cast<int>(all.size());
        std::fflush(out_);
    }

private:
    void Clear() {
        if (drawnLines_ == 0) return;
        std::fprintf(out_, "\033[%dA\r\033[J", drawnLines_);
        drawnLines_ = 0;
    }

    bool terminal_;
    std::FILE* out_;
    std::FILE* err_;
    int drawnLines_ = 0;
};

// Takes the child's complete lines; true when the block needs drawing again.
bool Gather(Running& r, Display& display) {
    r.partial += r.child->TakeOutput();
    bool changed = false;
    std::size_t end;
    while ((end = r.partial.find('\n')) != std::string::npos) {
        std::string line = r.partial.substr(0, end);
        r.partial.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind(kProgressPrefix, 0) == 0) {
            r.percent = std::atoi(line.c_str() + std::char_traits<char>::length(kProgressPrefix));
            changed = true;
            continue;
        }
        if (IsLogLine(line)) {
            r.latest = line;
            if (IsFinalLine(line)) r.outcome.finalLine = line;
        }
        display.Line(r, line);
        changed = true;
    }
    return changed;
}

}  // namespace

void CatchInterrupts() {
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    for (const int s : {SIGINT, SIGTERM}) ::sigaction(s, &action, nullptr);
}

bool Interrupted() { return g_interrupted != 0; }

std::vector<PortOutcome> RunPerPort(const std::string& program, const std::vector<PortRun>& runs,
                                    bool terminal, std::FILE* out, std::FILE* err) {
    Display display(terminal, out, err);
    std::vector<Running> all(runs.size());
    for (std::size_t i = 0; i < runs.size(); ++i) {
        Running& r = all[i];
        r.run = &runs[i];
        r.outcome.port = runs[i].port;
        r.started = std::chrono::steady_clock::now();
        std::string error;
        r.child = Processes().Start({program, runs[i].arguments, ""}, error);
        if (!r.child) {
            std::fprintf(err, "COM%d: cannot start %s: %s\n", runs[i].port, program.c_str(),
                         error.c_str());
            r.done = true;
        }
    }
    display.Draw(all);
    bool passedOn = false;
    for (;;) {
        if (Interrupted() && !passedOn) {
            for (Running& r : all)
                if (!r.done) r.child->Signal(SIGINT);
            passedOn = true;
        }
        bool changed = false;
        bool running = false;
        for (Running& r : all) {
            if (r.done) continue;
            // Finished first, then the output: what the child wrote before it ended is all there.
            const bool finished = r.child->Finished();
            changed = Gather(r, display) || changed;
            if (finished) {
                r.done = true;
                r.outcome.exitCode = r.child->ExitCode();
                r.outcome.seconds =
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - r.started)
                        .count();
                changed = true;
            } else {
                running = true;
            }
        }
        if (changed) display.Draw(all);
        if (!running) break;
        ::poll(nullptr, 0, kRoundMs);
    }
    std::vector<PortOutcome> outcomes;
    for (Running& r : all) outcomes.push_back(r.outcome);
    return outcomes;
}

void PrintOutcomeTable(const std::vector<PortOutcome>& outcomes, std::FILE* out) {
    std::fprintf(out, "%-6s %-9s %8s  %s\n", "PORT", "OUTCOME", "SECONDS", "LINE");
    for (const PortOutcome& o : outcomes) {
        const char* outcome = o.exitCode == 0                       ? "finished"
                              : o.finalLine.rfind("E> ", 0) == 0 ? "aborted"
                                                                 : "failed";
        std::fprintf(out, "%-6s %-9s %8.1f  %s\n", Format("COM%d", o.port).c_str(), outcome,
                     o.seconds, o.finalLine.empty() ? "-" : o.finalLine.c_str());
    }
    std::fflush(out);
}

}  // namespace nvx::cli
