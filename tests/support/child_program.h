#pragma once
// Child programs for the end-to-end tests: run one to its end collecting its output, or keep one
// running (the virtual device) and talk to it through its standard output. Header only, so areas
// that do not link nvx_test_support can use it too.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

extern char** environ;

namespace nvx::test {

struct ProgramRun {
    int status = -1;  // exit status, 128 + n after signal n, -1 when it could not be started
    std::string out;
    std::string err;
};

// Where a child's standard output and error go besides the defaults (both on pipes).
struct ChildStreams {
    // Standard error into this file instead: for a long-running program that talks more than a
    // pipe nobody reads would hold, and whose words a failing test wants to show mid-run.
    std::string stderrFile = {};
    // Standard output on a raw pseudo-terminal, to see what a user at a terminal sees.
    bool stdoutIsTerminal = false;
};

// The environment of this process with some variables replaced or added ("NAME=value").
inline std::vector<std::string> EnvironmentWith(const std::vector<std::string>& changes) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const std::string& c : changes)
            if (c.substr(0, c.find('=')) == name) replaced = true;
        if (!replaced) env.push_back(entry);
    }
    env.insert(env.end(), changes.begin(), changes.end());
    return env;
}

inline int StatusOf(int waitStatus) {
    if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
    return -1;
}

// A started program with standard input from /dev/null. A program named without a '/' is
// looked up on PATH; an empty cwd keeps this process's.
class Child {
public:
    Child(const std::string& program, const std::vector<std::string>& argv, const std::string& cwd,
          const std::vector<std::string>& envChanges = {}, const ChildStreams& streams = {}) {
        int outPipe[2] = {-1, -1}, errPipe[2] = {-1, -1};
        if (streams.stdoutIsTerminal) {
            if (!OpenRawTerminal(outPipe[0], outPipe[1])) return;
        } else if (::pipe2(outPipe, O_CLOEXEC) != 0) {
            return;
        }
        if (streams.stderrFile.empty() && ::pipe2(errPipe, O_CLOEXEC) != 0) {
            ::close(outPipe[0]);
            ::close(outPipe[1]);
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
        if (streams.stderrFile.empty())
            posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
        else
            posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, streams.stderrFile.c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
        std::vector<std::string> args = argv;
        std::vector<char*> cargv;
        for (std::string& a : args) cargv.push_back(a.data());
        cargv.push_back(nullptr);
        std::vector<std::string> env = EnvironmentWith(envChanges);
        std::vector<char*> cenv;
        for (std::string& e : env) cenv.push_back(e.data());
        cenv.push_back(nullptr);
        const int rc = ::posix_spawnp(&pid_, program.c_str(), &actions, nullptr, cargv.data(),
                                      cenv.data());
        posix_spawn_file_actions_destroy(&actions);
        ::close(outPipe[1]);
        if (errPipe[1] >= 0) ::close(errPipe[1]);
        out_ = outPipe[0];
        err_ = errPipe[0];
        if (rc != 0) {
            pid_ = -1;
            CloseFds();
        }
    }
    ~Child() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            Wait();
        }
        CloseFds();
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    // The next whole line of standard output; what came of it so far at its end, or when none
    // came within timeoutMs (< 0: no limit).
    std::string ReadLine(int timeoutMs = -1) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const std::size_t nl = outBuffer_.find('\n');
            if (nl != std::string::npos) {
                std::string line = outBuffer_.substr(0, nl);
                outBuffer_.erase(0, nl + 1);
                return line;
            }
            int wait = -1;
            if (timeoutMs >= 0) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now());
                wait = left.count() > 0 ? static_cast<int>(left.count()) : 0;
            }
            pollfd p{out_, POLLIN, 0};
            const int ready = out_ >= 0 ? ::poll(&p, 1, wait) : 0;
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0 || !ReadMore(out_, outBuffer_)) {
                std::string rest;
                rest.swap(outBuffer_);
                return rest;
            }
        }
    }

    // Reads both streams to their end, then reaps the program.
    ProgramRun Finish() { return FinishWithin(-1); }

    // The same, but a program still running after limitMs is killed: status -2 then, and a note
    // on err. limitMs < 0: no limit.
    ProgramRun FinishWithin(int limitMs) {
        ProgramRun run;
        run.out.swap(outBuffer_);
        pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
        std::string* sinks[2] = {&run.out, &run.err};
        int open = (out_ >= 0) + (err_ >= 0);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
        while (open > 0) {
            int wait = -1;
            if (limitMs >= 0) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now());
                if (left.count() <= 0) {
                    ::kill(pid_, SIGKILL);
                    Wait();
                    CloseFds();
                    run.status = -2;
                    run.err += "\n[did not end within " + std::to_string(limitMs) + " ms]";
                    return run;
                }
                wait = static_cast<int>(left.count());
            }
            if (::poll(fds, 2, wait) < 0) {
                if (errno == EINTR) continue;
                break;
            }
            for (int i = 0; i < 2; ++i) {
                if (fds[i].fd < 0 || fds[i].revents == 0) continue;
                if (!ReadMore(fds[i].fd, *sinks[i])) {
                    fds[i].fd = -1;
                    --open;
                }
            }
        }
        run.status = Wait();
        CloseFds();
        return run;
    }

    void Signal(int signalNumber) {
        if (pid_ > 0) ::kill(pid_, signalNumber);
    }

    int Wait() {
        if (pid_ <= 0) return status_;
        int ws = 0;
        while (::waitpid(pid_, &ws, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        status_ = StatusOf(ws);
        return status_;
    }

private:
    // A pseudo-terminal without line discipline: no CR added before LF, the bytes arrive as
    // written. The reading end is the master.
    static bool OpenRawTerminal(int& master, int& slave) {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0) return false;
        if (::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
            (slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC)) < 0) {
            ::close(master);
            return false;
        }
        termios raw{};
        ::tcgetattr(slave, &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(slave, TCSANOW, &raw);
        return true;
    }
    // False at the end of the stream, or on EIO once a terminal's last writer has gone.
    static bool ReadMore(int fd, std::string& sink) {
        if (fd < 0) return false;
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n > 0) {
                sink.append(buffer, static_cast<std::size_t>(n));
                return true;
            }
            if (n < 0 && errno == EINTR) continue;
            return false;
        }
    }
    void CloseFds() {
        if (out_ >= 0) ::close(out_);
        if (err_ >= 0) ::close(err_);
        out_ = err_ = -1;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    int status_ = -1;
    std::string outBuffer_;
};

inline ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& argv,
                             const std::string& cwd,
                             const std::vector<std::string>& envChanges = {},
                             const ChildStreams& streams = {}) {
    Child child(program, argv, cwd, envChanges, streams);
    if (!child.started()) return {};
    return child.Finish();
}

// Why a test cannot run without the installed program at path (a test skips with it); empty
// when the program is there. The programs of this tree are built, never missing: their absence
// is a failure, not a reason.
inline std::string MissingProgram(const std::string& path) {
    if (::access(path.c_str(), X_OK) == 0) return {};
    return path + " is not installed (scripts/setup.sh)";
}

// The built `nvx` of this tree with arguments, from this process's directory.
inline ProgramRun RunNvx(const std::vector<std::string>& args, bool stdoutIsTerminal = false) {
    const std::string nvx = std::string(NVX_BINARY_DIR) + "/src/cli/nvx";
    std::vector<std::string> argv = {nvx};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(nvx, argv, "", {}, {.stdoutIsTerminal = stdoutIsTerminal});
}

}  // namespace nvx::test
