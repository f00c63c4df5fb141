// norvixosp.exe: the programmer adapter (see programmer_adapter.h).

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/atomic_file.h"
#include "platform/com_port_names.h"
#include "platform/serial_port.h"
#include "progtool/adapter/programmer_adapter.h"

extern char** environ;

namespace {

// How often avrdude and the port are looked at, and how long avrdude has to end once told.
constexpr int kWatchPeriodMs = 100;
constexpr int64_t kAvrdudeGraceMs = 1000;

volatile sig_atomic_t g_avrdudePid = 0;
volatile sig_atomic_t g_stopSignal = 0;

// The tool ends a programmer it gives up on with SIGTERM: avrdude must not go on holding the
// port after that, so the signal is passed on and the adapter ends once avrdude has.
extern "C" void OnStopSignal(int signalNumber) {
    g_stopSignal = signalNumber;
    if (g_avrdudePid > 0) ::kill(static_cast<pid_t>(g_avrdudePid), signalNumber);
}

void InstallSignalHandlers() {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    for (const int s : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(s, &action, nullptr);
}

int64_t MonotonicMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool LineSpeed(const std::string& path, uint32_t& baud, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    termios settings{};
    const bool got = ::tcgetattr(fd, &settings) == 0;
    const int savedErrno = errno;
    ::close(fd);
    if (!got) {
        error = std::string("no serial port: ") + std::strerror(savedErrno);
        return false;
    }
    baud = nvx::SpeedToBaud(cfgetospeed(&settings));
    if (baud == 0) {
        error = "no line speed set on the port";
        return false;
    }
    return true;
}

// The port avrdude is given with -P.
std::string PortOf(const std::vector<std::string>& argv) {
    const auto p = std::find(argv.begin(), argv.end(), "-P");
    return p != argv.end() && p + 1 != argv.end() ? *(p + 1) : std::string();
}

// Hands over what the pipe holds now; closes it once avrdude's end has gone.
void ReadAvailable(int& fd, const std::function<void(std::string_view)>& output) {
    char buffer[4096];
    while (fd >= 0) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            output(std::string_view(buffer, static_cast<size_t>(n)));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 || errno != EAGAIN) {
            ::close(fd);
            fd = -1;
        }
        return;
    }
}

int RunAvrdude(const std::vector<std::string>& argv,
               const std::function<void(std::string_view)>& output, std::string& error) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        error = std::strerror(errno);
        return -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);

    std::vector<char*> cargs;
    for (const std::string& a : argv) cargs.push_back(const_cast<char*>(a.c_str()));
    cargs.push_back(nullptr);

    pid_t pid = 0;
    const int rc = ::posix_spawnp(&pid, cargs[0], &actions, nullptr, cargs.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (rc != 0) {
        ::close(pipeFds[0]);
        error = std::strerror(rc);
        return -1;
    }
    ::fcntl(pipeFds[0], F_SETFL, ::fcntl(pipeFds[0], F_GETFL) | O_NONBLOCK);
    g_avrdudePid = pid;
    if (g_stopSignal != 0) ::kill(pid, g_stopSignal);

    // A port that hangs up (the device went away) leaves avrdude retrying on a dead line:
    // it is ended then. The port is only watched here, never read. avrdude's output is read
    // until it has gone, however much it writes; one that will not end when told is killed.
    const int port = ::open(PortOf(argv).c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    bool hungUp = false;
    int fromAvrdude = pipeFds[0];
    int status = 0;
    bool reaped = false;
    int64_t killAt = 0;  // once avrdude has been told to end: when it is killed
    while (!reaped) {
        if (killAt == 0 && (hungUp || g_stopSignal != 0)) killAt = MonotonicMs() + kAvrdudeGraceMs;
        if (killAt != 0 && MonotonicMs() >= killAt) ::kill(pid, SIGKILL);
        pollfd watched[2] = {{fromAvrdude, POLLIN, 0}, {port, 0, 0}};
        const bool watchPort = port >= 0 && !hungUp;
        ::poll(watched, watchPort ? 2 : 1, kWatchPeriodMs);
        if (watchPort && (watched[1].revents & (POLLHUP | POLLERR)) != 0) {
            hungUp = true;
            ::kill(pid, SIGTERM);
        }
        ReadAvailable(fromAvrdude, output);
        pid_t r;
        while ((r = ::waitpid(pid, &status, WNOHANG)) < 0 && errno == EINTR) {
        }
        reaped = r != 0;
    }
    ReadAvailable(fromAvrdude, output);  // what it wrote just before it ended
    if (port >= 0) ::close(port);
    if (fromAvrdude >= 0) ::close(fromAvrdude);
    g_avrdudePid = 0;
    if (hungUp) {
        error = "the port hung up";
        return nvx::adapter::kAvrdudePortHungUp;
    }
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

}  // namespace

int main(int argc, char** argv) {
    InstallSignalHandlers();
    // A tool that dies without ending its programmer must not leave avrdude on the port.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() == 1) return 128 + SIGTERM;

    nvx::adapter::AdapterSystem system;
    system.resolvePort = [](uint32_t port) {
        return nvx::ResolveComPort(port, nvx::ComStartDirectory());
    };
    system.lineSpeed = LineSpeed;
    system.readFile = [](const std::string& path, std::string& text) {
        return nvx::ReadWholeFile(path, text);
    };
    system.writeFile = [](const std::string& path, const std::string& text, std::string& error) {
        return nvx::WriteFileAtomically(path, text, &error);
    };
    system.delay = [](uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
    system.runAvrdude = RunAvrdude;
    if (const char* program = std::getenv("NORVIX_AVRDUDE"); program && *program)
        system.avrdudeProgram = program;
    // The tool reads the progress as it comes: every line goes out at once.
    system.standardOutput = [](const std::string& line) {
        std::fputs(line.c_str(), stdout);
        if (line.empty() || line.back() != '\n') std::fputc('\n', stdout);
        std::fflush(stdout);
    };
    system.standardError = [](const std::string& line) {
        std::fputs(line.c_str(), stderr);
        if (line.empty() || line.back() != '\n') std::fputc('\n', stderr);
        std::fflush(stderr);
    };

    const int status = nvx::adapter::RunAdapter(std::vector<std::string>(argv + 1, argv + argc),
                                                system);
    // Told to stop: that is the outcome, however avrdude had to be ended.
    if (g_stopSignal != 0) return 128 + g_stopSignal;
    return status;
}
