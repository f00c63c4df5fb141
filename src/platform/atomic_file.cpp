#include "platform/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

namespace nvx {
namespace {

bool Fail(std::string* error, const std::string& what, int err) {
    if (error) *error = what + ": " + std::strerror(err);
    return false;
}

// The temporary sits in the target's directory so that the rename stays on one file system.
std::string TemporaryName(const std::string& path, unsigned attempt) {
    static std::atomic<unsigned> counter{0};
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, ".~%ld.%u.%u.tmp", static_cast<long>(getpid()),
                  counter.fetch_add(1), attempt);
    return path + suffix;
}

}  // namespace

bool WriteFileAtomically(const std::string& path, std::string_view bytes, std::string* error) {
    if (path.empty()) return Fail(error, "empty file name", ENOENT);
    struct stat existing {};
    const bool replaces = ::stat(path.c_str(), &existing) == 0;
    if (replaces && S_ISDIR(existing.st_mode)) return Fail(error, path, EISDIR);

    std::string temp;
    int fd = -1;
    for (unsigned attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        temp = TemporaryName(path, attempt);
        // 0666 lets the umask decide, as for any newly created file.
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) return Fail(error, path, errno);
    }
    if (fd < 0) return Fail(error, path, EEXIST);

    auto abandon = [&](int err) {
        ::close(fd);
        ::unlink(temp.c_str());
        return Fail(error, path, err);
    };
    // A replaced file keeps its permissions.
    if (replaces && ::fchmod(fd, existing.st_mode & 07777) != 0) return abandon(errno);
    const char* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return abandon(errno);
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    // Without the flush a crash right after the rename could leave an empty file behind.
    if (::fsync(fd) != 0) return abandon(errno);
    if (::close(fd) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        return Fail(error, path, err);
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        return Fail(error, path, err);
    }
    return true;
}

bool ReadWholeFile(const std::string& path, std::string& bytes, std::string* error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Fail(error, path, errno);
    std::string data;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            ::close(fd);
            return Fail(error, path, err);
        }
        data.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    bytes = std::move(data);
    return true;
}

}  // namespace nvx
