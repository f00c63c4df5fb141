#pragma once
// Real pseudo-terminals and scratch directories for the serial port tests.

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace nvx::test {

// The master end stays with the test; the slave is the "device" a SerialPort opens.
class Pty {
public:
    Pty() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (master_ >= 0 && ::grantpt(master_) == 0 && ::unlockpt(master_) == 0) {
            char name[128];
            if (::ptsname_r(master_, name, sizeof name) == 0) slave_ = name;
        }
    }
    ~Pty() { CloseMaster(); }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    bool ok() const { return master_ >= 0 && !slave_.empty(); }
    int master() const { return master_; }
    const std::string& slave() const { return slave_; }

    void CloseMaster() {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }

    bool WriteMaster(const std::vector<uint8_t>& bytes) {
        return ::write(master_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }

    // Reads from the master until `count` bytes came or a second passed without any.
    std::vector<uint8_t> ReadMaster(std::size_t count) {
        std::vector<uint8_t> got;
        while (got.size() < count) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, 1000) <= 0) break;
            uint8_t buf[256];
            const ssize_t n = ::read(master_, buf, std::min(sizeof buf, count - got.size()));
            if (n <= 0) break;
            got.insert(got.end(), buf, buf + n);
        }
        return got;
    }

private:
    int master_ = -1;
    std::string slave_;
};

// Waits (on poll, at most a second per step) until fd has at least `count` bytes to read; the
// pty hands bytes from master to slave asynchronously.
inline bool WaitPending(int fd, int count) {
    for (int steps = 0; steps < 1000; ++steps) {
        int pending = 0;
        if (::ioctl(fd, FIONREAD, &pending) != 0) return false;
        if (pending >= count) return true;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 1000) <= 0) return false;
    }
    return false;
}

inline int Pending(int fd) {
    int pending = -1;
    ::ioctl(fd, FIONREAD, &pending);
    return pending;
}

class TempDir {
public:
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "nvx-test-XXXXXX").string();
        if (::mkdtemp(tmpl.data())) path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // With a trailing "/", as the start directory is kept.
    std::string dir() const { return path_ + "/"; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

    void Link(const std::string& name, const std::string& target) const {
        std::error_code ec;
        std::filesystem::remove(*this / name, ec);
        std::filesystem::create_symlink(target, *this / name);
    }

private:
    std::string path_;
};

}  // namespace nvx::test
