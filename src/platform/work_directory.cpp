#include "platform/work_directory.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string_view>

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

namespace {

constexpr std::string_view kWorkDirectoryPrefix = "nvx-work-";
constexpr std::string_view kOwnerLockSuffix = ".lock";

bool TryLock(int fd) {
    int rc;
    while ((rc = ::flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    return rc == 0;
}

// The owner's lock file, locked before it appears under its name: no other process ever finds
// it there unlocked while the owner lives. -1 with errno when it cannot be made.
int CreateLockedFile(const std::string& path) {
    const std::string staged = path + ".new";
    const int fd = ::open(staged.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return -1;
    if (!TryLock(fd) || ::rename(staged.c_str(), path.c_str()) != 0) {
        const int err = errno;
        ::unlink(staged.c_str());
        ::close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

// Work directories of this user whose owner is gone: their lock file is there and can be taken.
// One without a lock file is left alone (its owner may be making it).
void RemoveAbandonedWorkDirectories(const fs::path& base) {
    std::error_code ec;
    for (fs::directory_iterator entry(base, ec), end; !ec && entry != end; entry.increment(ec)) {
        const std::string name = entry->path().filename().string();
        if (name.rfind(kWorkDirectoryPrefix, 0) != 0) continue;
        struct stat st {};
        if (::lstat(entry->path().c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
            st.st_uid != ::geteuid())
            continue;
        const std::string lock = entry->path().string() + std::string(kOwnerLockSuffix);
        const int fd = ::open(lock.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) continue;
        if (TryLock(fd)) {
            std::error_code ignored;
            fs::remove_all(entry->path(), ignored);
            ::unlink(lock.c_str());
        }
        ::close(fd);
    }
}

}  // namespace

bool PrivateWorkDirectory::Create(std::string& error) {
    Remove();
    std::error_code ec;
    const fs::path base = fs::temp_directory_path(ec);
    if (ec) {
        error = "no temporary directory: " + ec.message();
        return false;
    }
    RemoveAbandonedWorkDirectories(base);
    std::string pattern = (base / (std::string(kWorkDirectoryPrefix) + "XXXXXX")).string();
    if (!::mkdtemp(pattern.data())) {
        error = pattern + ": " + std::strerror(errno);
        return false;
    }
    ownerLock_ = CreateLockedFile(pattern + std::string(kOwnerLockSuffix));
    if (ownerLock_ < 0) {
        error = pattern + std::string(kOwnerLockSuffix) + ": " + std::strerror(errno);
        std::error_code ignored;
        fs::remove_all(pattern, ignored);
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
    path_.pop_back();  // the trailing '/'
    ::unlink((path_ + std::string(kOwnerLockSuffix)).c_str());
    ::close(ownerLock_);  // only after: the lock says the directory is in use
    ownerLock_ = -1;
    path_.clear();
}

bool SameFilePath(const std::string& a, const std::string& b) {
    std::error_code ea, eb;
    const fs::path ca = fs::weakly_canonical(a, ea);
    const fs::path cb = fs::weakly_canonical(b, eb);
    return !ea && !eb && ca == cb;
}

}  // namespace nvx
