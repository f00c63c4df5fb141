#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <utility>

extern char** environ;

namespace nvx {
namespace {

// How long a child asked to end (SIGTERM to its process group) may take before it is killed,
// and how long the kill may take to show before the child is left to the system.
constexpr int kEndGraceMs = 1500;
constexpr int kKillGraceMs = 1000;
// What of a child's standard error is passed on to the tool's own: a programmer that fails on
// every block can write megabytes, the reason stands in its first and last lines.
constexpr std::size_t kPassedOnLimit = 64 * 1024;

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

class SpawnedChild : public ChildProcess {
public:
    SpawnedChild(pid_t pid, int outFd, int errFd) : pid_(pid), outFd_(outFd), errFd_(errFd) {}

    ~SpawnedChild() override {
        if (!finished_) End();
        if (outFd_ >= 0) ::close(outFd_);
        if (errFd_ >= 0) ::close(errFd_);
    }

    std::string TakeOutput() override {
        Drain(outFd_, output_);
        return std::exchange(output_, {});
    }

    std::string TakeErrors() override {
        Drain(errFd_, errors_);
        return std::exchange(errors_, {});
    }

    bool Finished() override {
        if (!finished_) Reap(WNOHANG);
        return finished_;
    }

    bool WaitForExit(int limitMs) override {
        const int64_t deadline = NowMs() + limitMs;
        while (!Finished()) {
            const int64_t left = deadline - NowMs();
            if (left <= 0) return false;
            WaitForOutput(static_cast<int>(std::min<int64_t>(left, kReapPollMs)));
            Drain(outFd_, output_);
            Drain(errFd_, errors_);
        }
        // What it wrote last may still be in the pipes.
        Drain(outFd_, output_);
        Drain(errFd_, errors_);
        return true;
    }

    int ExitCode() const override { return exitCode_; }

    void Signal(int signalNumber) override {
        if (!finished_) ::kill(-pid_, signalNumber);
    }

private:
    static constexpr int kReapPollMs = 20;

    // SIGTERM to the whole group (a programmer's own children included), then SIGKILL; the
    // pipes are kept drained meanwhile so that a child blocked writing to them can go.
    void End() {
        ::kill(-pid_, SIGTERM);
        if (WaitForExit(kEndGraceMs)) {
            // The group may outlive its leader: nothing of it may go on holding a port.
            ::kill(-pid_, SIGKILL);
            return;
        }
        ::kill(-pid_, SIGKILL);
        WaitForExit(kKillGraceMs);
    }

    void WaitForOutput(int timeoutMs) {
        pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
        if (outFd_ < 0 && errFd_ < 0) {
            ::poll(nullptr, 0, timeoutMs);
            return;
        }
        ::poll(fds, 2, timeoutMs);
    }

    // Appends what the pipe holds (output kept since the last take is bounded); closes it once
    // every writer has gone. The child's standard error is passed on to the tool's own as it
    // arrives, up to kPassedOnLimit.
    void Drain(int& fd, std::string& into) {
        if (fd < 0) return;
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n > 0) {
                const std::size_t count = static_cast<std::size_t>(n);
                into.append(buffer, count);
                // Trimmed only when twice the limit, so a flood costs one move per megabyte and
                // not one per read.
                if (into.size() > 2 * kKeptUntakenLimit) {
                    into.erase(0, into.size() - kKeptUntakenLimit);
                }
                if (&fd == &errFd_) PassOn(buffer, count);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n == 0) {
                ::close(fd);
                fd = -1;
            }
            break;  // EAGAIN: nothing more for now
        }
    }

    void PassOn(const char* bytes, std::size_t count) {
        if (passedOn_ >= kPassedOnLimit) return;
        const std::size_t now = std::min(count, kPassedOnLimit - passedOn_);
        WriteToStandardError(bytes, now);
        passedOn_ += now;
        if (passedOn_ == kPassedOnLimit) {
            static const char kCut[] = "\n[further output of the program not shown]\n";
            WriteToStandardError(kCut, sizeof kCut - 1);
        }
    }

    static void WriteToStandardError(const char* bytes, std::size_t count) {
        while (count > 0) {
            const ssize_t n = ::write(STDERR_FILENO, bytes, count);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            bytes += n;
            count -= static_cast<std::size_t>(n);
        }
    }

    void Reap(int options) {
        int status = 0;
        pid_t r;
        do {
            r = ::waitpid(pid_, &status, options);
        } while (r < 0 && errno == EINTR);
        if (r == 0) return;  // still running
        finished_ = true;
        if (r < 0)
            exitCode_ = 127;  // reaped elsewhere; its outcome is unknown
        else if (WIFEXITED(status))
            exitCode_ = WEXITSTATUS(status);
        else if (WIFSIGNALED(status))
            exitCode_ = 128 + WTERMSIG(status);
    }

    // Output nobody takes is kept up to this much, the newest.
    static constexpr std::size_t kKeptUntakenLimit = 1024 * 1024;

    pid_t pid_;
    int outFd_;
    int errFd_;
    std::string output_;
    std::string errors_;
    std::size_t passedOn_ = 0;
    bool finished_ = false;
    int exitCode_ = -1;
};

SpawnProcessRunner g_spawnRunner;
ProcessRunner* g_runner = &g_spawnRunner;

}  // namespace

std::unique_ptr<ChildProcess> SpawnProcessRunner::Start(const ProcessSpec& launch,
                                                        std::string& error) {
    if (launch.arguments.empty()) {
        error = std::strerror(EINVAL);
        return nullptr;
    }
    int pipeFds[2];
    int errorFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        error = std::strerror(errno);
        return nullptr;
    }
    if (::pipe2(errorFds, O_CLOEXEC) != 0) {
        error = std::strerror(errno);
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        return nullptr;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // A group of its own: the tool ends the child together with whatever it started, and a
    // Ctrl-C at the terminal reaches the tool alone, which ends its children its own way.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errorFds[1], STDERR_FILENO);
    // Serial ports and pipe files of the tool must not stay open in the programmer.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    if (!launch.workingDirectory.empty())
        posix_spawn_file_actions_addchdir_np(&actions, launch.workingDirectory.c_str());

    std::vector<char*> argv;
    argv.reserve(launch.arguments.size() + 1);
    for (const std::string& a : launch.arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, launch.program.c_str(), &actions, &attributes,
                                 argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(pipeFds[1]);
    ::close(errorFds[1]);
    if (rc != 0) {
        ::close(pipeFds[0]);
        ::close(errorFds[0]);
        error = std::strerror(rc);
        return nullptr;
    }
    for (const int fd : {pipeFds[0], errorFds[0]})
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    return std::make_unique<SpawnedChild>(pid, pipeFds[0], errorFds[0]);
}

ProcessRunner& Processes() { return *g_runner; }
void SetProcessRunner(ProcessRunner* runner) { g_runner = runner ? runner : &g_spawnRunner; }

std::vector<int> ProgressLineReader::Feed(const std::string& output) {
    std::vector<int> values;
    partial_ += output;
    std::size_t start = 0;
    for (std::size_t end; (end = partial_.find('\n', start)) != std::string::npos;
         start = end + 1) {
        std::string line = partial_.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        static const std::string kPrefix = "PROGRESS ";
        if (line.compare(0, kPrefix.size(), kPrefix) != 0) continue;
        const std::string digits = line.substr(kPrefix.size());
        if (digits.empty() || digits.size() > 3 ||
            digits.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const int value = std::stoi(digits);
        if (value <= 100) values.push_back(value);
    }
    partial_.erase(0, start);
    // A line that never ends must not grow without bound.
    if (partial_.size() > 4096) partial_.clear();
    return values;
}

namespace {

bool HoldsMoreThanSpace(const std::string& line) {
    return line.find_first_not_of(" \t\r\n") != std::string::npos;
}

}  // namespace

void LastLineKeeper::Feed(const std::string& text) {
    for (const char c : text) {
        if (c != '\n' && c != '\r') {
            partial_ += c;
            continue;
        }
        if (HoldsMoreThanSpace(partial_)) complete_ = partial_;
        partial_.clear();
    }
    // A line that never ends must not grow without bound.
    if (partial_.size() > 4096) partial_.clear();
}

std::string LastLineKeeper::Last() const {
    return HoldsMoreThanSpace(partial_) ? partial_ : complete_;
}

}  // namespace nvx
