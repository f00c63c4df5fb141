#pragma once
// Runs the built `nvx` program with arguments and collects its exit status and output; standard
// output can be a pseudo-terminal to see what a user at a terminal sees.

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace nvx::test {

struct NvxRun {
    int status = -1;  // exit status; -1 when it did not exit normally
    std::string out;
    std::string err;
};

inline std::string NvxPath() { return std::string(NVX_BINARY_DIR) + "/src/cli/nvx"; }

inline NvxRun RunNvx(const std::vector<std::string>& args, bool stdoutIsTerminal = false) {
    NvxRun run;
    int outPipe[2] = {-1, -1}, errPipe[2];
    int master = -1, slave = -1;
    if (::pipe2(errPipe, O_CLOEXEC) != 0) return run;
    if (stdoutIsTerminal) {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return run;
        slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios raw{};
        ::tcgetattr(slave, &raw);
        ::cfmakeraw(&raw);  // no CR added before LF: the bytes arrive as written
        ::tcsetattr(slave, TCSANOW, &raw);
    } else if (::pipe2(outPipe, O_CLOEXEC) != 0) {
        return run;
    }
    const int outWrite = stdoutIsTerminal ? slave : outPipe[1];
    const int outRead = stdoutIsTerminal ? master : outPipe[0];

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outWrite, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
    std::vector<std::string> argv = {NvxPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (std::string& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, cargv[0], &actions, nullptr, cargv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(outWrite);
    ::close(errPipe[1]);
    if (spawned != 0) {
        ::close(outRead);
        ::close(errPipe[0]);
        return run;
    }
    pollfd fds[2] = {{outRead, POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&run.out, &run.err};
    int open = 2;
    while (open > 0 && ::poll(fds, 2, -1) > 0) {
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[4096];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
            } else {  // end of file, or EIO once the terminal's last writer has gone
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    int wstatus = 0;
    ::waitpid(pid, &wstatus, 0);
    run.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    return run;
}

}  // namespace nvx::test
