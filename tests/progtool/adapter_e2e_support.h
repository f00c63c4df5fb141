#pragma once
// Child programs for the adapter and end-to-end tests: run one to its end collecting its output,
// or keep one running (the virtual device) and talk to it through its standard output; scratch
// start directories; Intel HEX images made and read back.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace nvx::test {

struct ProgramRun {
    int status = -1;  // exit status, 128 + n after signal n, -1 when it could not be started
    std::string out;
    std::string err;
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

// A started program with its standard output and error on pipes and standard input from
// /dev/null.
class Child {
public:
    Child(const std::string& program, const std::vector<std::string>& argv, const std::string& cwd,
          const std::vector<std::string>& envChanges = {}) {
        int outPipe[2], errPipe[2];
        if (::pipe2(outPipe, O_CLOEXEC) != 0) return;
        if (::pipe2(errPipe, O_CLOEXEC) != 0) {
            ::close(outPipe[0]);
            ::close(outPipe[1]);
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
        if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
        std::vector<std::string> args = argv;
        std::vector<char*> cargv;
        for (std::string& a : args) cargv.push_back(a.data());
        cargv.push_back(nullptr);
        std::vector<std::string> env = EnvironmentWith(envChanges);
        std::vector<char*> cenv;
        for (std::string& e : env) cenv.push_back(e.data());
        cenv.push_back(nullptr);
        const int rc = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, cargv.data(),
                                     cenv.data());
        posix_spawn_file_actions_destroy(&actions);
        ::close(outPipe[1]);
        ::close(errPipe[1]);
        if (rc != 0) {
            pid_ = -1;
            ::close(outPipe[0]);
            ::close(errPipe[0]);
            return;
        }
        out_ = outPipe[0];
        err_ = errPipe[0];
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

    // Blocks until a whole line has come on standard output; empty at its end.
    std::string ReadLine() {
        for (;;) {
            const std::size_t nl = outBuffer_.find('\n');
            if (nl != std::string::npos) {
                std::string line = outBuffer_.substr(0, nl);
                outBuffer_.erase(0, nl + 1);
                return line;
            }
            if (!ReadMore(out_, outBuffer_)) {
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
                             const std::vector<std::string>& envChanges = {}) {
    Child child(program, argv, cwd, envChanges);
    if (!child.started()) return {};
    return child.Finish();
}

// A fresh directory under the system's temporary directory, removed with everything in it.
class ScratchDir {
public:
    explicit ScratchDir(const std::string& tag) {
        std::string pattern =
            (std::filesystem::temp_directory_path() / ("nvx-" + tag + "-XXXXXX")).string();
        if (::mkdtemp(pattern.data())) path_ = pattern;
    }
    ~ScratchDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// ---- Intel HEX

inline std::string HexRecord(uint8_t type, uint16_t address, const std::vector<uint8_t>& data) {
    char buf[16];
    std::string line = ":";
    unsigned sum = static_cast<unsigned>(data.size()) + (address >> 8) + (address & 0xFF) + type;
    std::snprintf(buf, sizeof buf, "%02X%04X%02X", static_cast<unsigned>(data.size()),
                  static_cast<unsigned>(address), static_cast<unsigned>(type));
    line += buf;
    for (uint8_t b : data) {
        std::snprintf(buf, sizeof buf, "%02X", b);
        line += buf;
        sum += b;
    }
    std::snprintf(buf, sizeof buf, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    return line + buf + "\r\n";
}

// An image of bytes from address 0, 16 bytes a record, extended linear address records past
// 64 KB, CR LF line ends.
inline std::string HexImage(const std::vector<uint8_t>& bytes) {
    std::string text;
    uint32_t segment = 0;
    for (std::size_t at = 0; at < bytes.size(); at += 16) {
        const uint32_t high = static_cast<uint32_t>(at >> 16);
        if (high != segment) {
            text += HexRecord(4, 0, {static_cast<uint8_t>(high >> 8), static_cast<uint8_t>(high)});
            segment = high;
        }
        const std::size_t n = std::min<std::size_t>(16, bytes.size() - at);
        text += HexRecord(0, static_cast<uint16_t>(at & 0xFFFF),
                          std::vector<uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                               bytes.begin() + static_cast<std::ptrdiff_t>(at + n)));
    }
    return text + ":00000001FF\r\n";
}

inline std::vector<uint8_t> RandomBytes(std::size_t count, uint32_t seed) {
    std::mt19937 gen(seed);
    std::vector<uint8_t> bytes(count);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(gen() & 0xFF);
    return bytes;
}

// The data bytes of an Intel HEX text by address (types 00, 02 and 04); false on a malformed
// record.
inline bool ParseHex(const std::string& text, std::map<uint32_t, uint8_t>& bytes) {
    uint32_t base = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        if (line[0] != ':' || line.size() < 11 || line.size() % 2 == 0) return false;
        std::vector<uint8_t> b;
        for (std::size_t i = 1; i + 1 < line.size(); i += 2)
            b.push_back(static_cast<uint8_t>(std::stoul(line.substr(i, 2), nullptr, 16)));
        unsigned sum = 0;
        for (uint8_t v : b) sum += v;
        if ((sum & 0xFF) != 0 || b.size() != b[0] + 5u) return false;
        const uint32_t address = static_cast<uint32_t>(b[1] << 8 | b[2]);
        switch (b[3]) {
        case 0:
            for (uint8_t i = 0; i < b[0]; ++i) bytes[base + address + i] = b[4 + i];
            break;
        case 1: return true;
        case 2: base = static_cast<uint32_t>(b[4] << 8 | b[5]) << 4; break;
        case 4: base = static_cast<uint32_t>(b[4] << 8 | b[5]) << 16; break;
        default: break;
        }
    }
    return true;
}

}  // namespace nvx::test
