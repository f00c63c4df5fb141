#pragma once
// A child program for the end-to-end tests: argument vector, working directory, standard output
// on a pipe, standard error in a file. Waits are on the pipe and the child's exit, never on the
// clock.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

extern char** environ;

namespace nvx::test {

class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& argv, const std::string& workDir,
                 const std::string& stderrPath) {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderrPath.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addchdir_np(&actions, workDir.c_str());
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        if (::posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        stdout_ = out[0];
    }
    ~ChildProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
        if (stdout_ >= 0) ::close(stdout_);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }

    // The next line of standard output; empty when none came within timeoutMs.
    std::string readLine(int timeoutMs) {
        std::string line;
        char c;
        for (;;) {
            pollfd p{stdout_, POLLIN, 0};
            if (::poll(&p, 1, timeoutMs) <= 0) return line;
            if (::read(stdout_, &c, 1) != 1 || c == '\n') return line;
            line += c;
        }
    }

    // Collects standard output until the child closes it (at its end, or after timeoutMs of
    // silence), then its exit status; -1 when it did not end.
    int finish(int timeoutMs) {
        char buf[512];
        for (;;) {
            pollfd p{stdout_, POLLIN, 0};
            if (::poll(&p, 1, timeoutMs) <= 0) return -1;
            const ssize_t n = ::read(stdout_, buf, sizeof buf);
            if (n > 0) {
                output.append(buf, static_cast<std::size_t>(n));
                continue;
            }
            if (n == 0 || (errno != EINTR && errno != EAGAIN)) break;
        }
        int status = 0;
        if (::waitpid(pid_, &status, 0) != pid_) return -1;
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    std::string output;  // standard output collected by finish()

private:
    pid_t pid_ = -1;
    int stdout_ = -1;
};

}  // namespace nvx::test
