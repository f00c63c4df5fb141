#include "platform/work_directory.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace nvx {

namespace fs = std::filesystem;

namespace {

// Tries enough times to outlast a holder that removes the file between our open and our lock.
constexpr int kLockAttempts = 8;

// The name still leads to the file open on fd.
bool NameLeadsTo(const std::string& path, int fd) {
    struct stat held {}, named {};
    return ::fstat(fd, &held) == 0 && ::stat(path.c_str(), &named) == 0 &&
           held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

}  // namespace

bool DirectoryLock::TryAcquire(std::string& error) {
    busy_ = false;
    if (fd_ >= 0) return true;
    for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
        const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0) {
            error = path_ + ": " + std::strerror(errno);
            return false;
        }
        int rc;
        while ((rc = ::flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
        }
        if (rc != 0) {
            busy_ = errno == EWOULDBLOCK;
            error = busy_ ? path_ + " is locked" : path_ + ": " + std::strerror(errno);
            ::close(fd);
            return false;
        }
        if (NameLeadsTo(path_, fd)) {
            fd_ = fd;
            return true;
        }
        ::close(fd);  // the holder before removed it as we came: take the new one
    }
    error = path_ + ": removed again each time it was locked";
    return false;
}

void DirectoryLock::Release() {
    if (fd_ < 0) return;
    if (NameLeadsTo(path_, fd_)) ::unlink(path_.c_str());
    ::close(fd_);  // closing the only descriptor drops the lock
    fd_ = -1;
}

bool PrivateWorkDirectory::Create(std::string& error) {
    Remove();
    std::error_code ec;
    const fs::path base = fs::temp_directory_path(ec);
    if (ec) {
        error = "no temporary directory: " + ec.message();
        return false;
    }
    std::string pattern = (base / "nvx-work-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        error = pattern + ": " + std::strerror(errno);
        return false;
    }
    path_ = pattern + "/";
    return true;
}

bool PrivateWorkDirectory::Link(const std::string& name, const std::string& target,
                                std::string& error) {
    std::error_code ec;
    fs::create_symlink(target, path_ + name, ec);
    if (ec) error = path_ + name + ": " + ec.message();
    return !ec;
}

void PrivateWorkDirectory::Remove() {
    if (path_.empty()) return;
    std::error_code ignored;
    fs::remove_all(path_, ignored);
    path_.clear();
}

bool SameFilePath(const std::string& a, const std::string& b) {
    std::error_code ea, eb;
    const fs::path ca = fs::weakly_canonical(a, ea);
    const fs::path cb = fs::weakly_canonical(b, eb);
    return !ea && !eb && ca == cb;
}

}  // namespace nvx
