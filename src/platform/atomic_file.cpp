#include "platform/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <utility>

namespace nvx {
namespace {

constexpr int kMaxLinkHops = 40;  // as the system's own limit for a path

bool Fail(std::string* error, const std::string& what, int err) {
    if (error) *error = what + ": " + std::strerror(err);
    return false;
}

// The temporary sits in the target's directory so that the rename stays on one file system.
// It is named after the target, unless that would make a name the file system refuses (a target
// name close to the limit is still written).
std::string TemporaryName(const std::string& path, unsigned attempt) {
    static std::atomic<unsigned> counter{0};
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, ".~%ld.%u.%u.tmp", static_cast<long>(getpid()),
                  counter.fetch_add(1), attempt);
    const std::size_t slash = path.rfind('/');
    const std::size_t nameLength = slash == std::string::npos ? path.size() : path.size() - slash - 1;
    if (nameLength + std::strlen(suffix) <= NAME_MAX) return path + suffix;
    return path.substr(0, slash == std::string::npos ? 0 : slash + 1) + suffix;
}

}  // namespace

bool FollowLinks(const std::string& path, std::string& target, int& err) {
    target = path;
    for (int hops = 0; hops < kMaxLinkHops; ++hops) {
        struct stat link {};
        if (::lstat(target.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) return true;
        std::string next(static_cast<std::size_t>(link.st_size > 0 ? link.st_size : PATH_MAX), '\0');
        const ssize_t n = ::readlink(target.c_str(), next.data(), next.size());
        if (n < 0) {
            err = errno;
            return false;
        }
        next.resize(static_cast<std::size_t>(n));
        const std::size_t slash = target.rfind('/');
        if (!next.empty() && next[0] != '/' && slash != std::string::npos)
            next = target.substr(0, slash + 1) + next;
        target = std::move(next);
    }
    err = ELOOP;
    return false;
}

namespace {

bool WriteAll(int fd, std::string_view bytes, int& err) {
    const char* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            err = errno;
            return false;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

// Writes into the existing file itself: for what is no regular file (a FIFO, a device), and for
// a regular file whose directory takes no new file. The open never waits for a FIFO's reader.
bool WriteInPlace(const std::string& target, const std::string& path, std::string_view bytes,
                  bool truncate, std::string* error) {
    const int fd = ::open(target.c_str(),
                          O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC | (truncate ? O_TRUNC : 0));
    if (fd < 0) return Fail(error, path, errno);
    int err = 0;
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0 || !WriteAll(fd, bytes, err) ||
        (truncate && ::fsync(fd) != 0)) {
        if (err == 0) err = errno;
        ::close(fd);
        return Fail(error, path, err);
    }
    if (::close(fd) != 0) return Fail(error, path, errno);
    return true;
}

}  // namespace

bool WriteFileAtomically(const std::string& path, std::string_view bytes, std::string* error) {
    if (path.empty()) return Fail(error, "empty file name", ENOENT);
    std::string target;
    int err = 0;
    if (!FollowLinks(path, target, err)) return Fail(error, path, err);
    struct stat existing {};
    const bool replaces = ::stat(target.c_str(), &existing) == 0;
    if (replaces && S_ISDIR(existing.st_mode)) return Fail(error, path, EISDIR);
    // Renaming over a FIFO or a device would put a plain file in its place.
    if (replaces && !S_ISREG(existing.st_mode))
        return WriteInPlace(target, path, bytes, false, error);

    std::string temp;
    int fd = -1;
    for (unsigned attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        temp = TemporaryName(target, attempt);
        // 0666 lets the umask decide, as for any newly created file.
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) {
            // A file that may be written in a directory that takes no new file: in place, then.
            if (replaces && (errno == EACCES || errno == EPERM))
                return WriteInPlace(target, path, bytes, true, error);
            return Fail(error, path, errno);
        }
    }
    if (fd < 0) return Fail(error, path, EEXIST);

    auto abandon = [&](int cause) {
        ::close(fd);
        ::unlink(temp.c_str());
        return Fail(error, path, cause);
    };
    // A replaced file keeps its permissions.
    if (replaces && ::fchmod(fd, existing.st_mode & 07777) != 0) return abandon(errno);
    if (!WriteAll(fd, bytes, err)) return abandon(err);
    // Without the flush a crash right after the rename could leave an empty file behind.
    if (::fsync(fd) != 0) return abandon(errno);
    if (::close(fd) != 0) {
        const int cause = errno;
        ::unlink(temp.c_str());
        return Fail(error, path, cause);
    }
    if (::rename(temp.c_str(), target.c_str()) != 0) {
        const int cause = errno;
        ::unlink(temp.c_str());
        return Fail(error, path, cause);
    }
    return true;
}

bool CanWriteFile(const std::string& path, std::string* error) {
    if (path.empty()) return Fail(error, "empty file name", ENOENT);
    std::string target;
    int err = 0;
    if (!FollowLinks(path, target, err)) return Fail(error, path, err);
    struct stat existing {};
    if (::stat(target.c_str(), &existing) == 0) {
        if (S_ISDIR(existing.st_mode)) return Fail(error, path, EISDIR);
        return ::access(target.c_str(), W_OK) == 0 || Fail(error, path, errno);
    }
    if (errno != ENOENT) return Fail(error, path, errno);
    const std::size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    return ::access(dir.c_str(), W_OK | X_OK) == 0 || Fail(error, path, errno);
}

bool WriteNewFile(const std::string& path, std::string_view bytes, std::string* error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return Fail(error, path, errno);
    int err = 0;
    if (!WriteAll(fd, bytes, err) || ::fsync(fd) != 0) {
        if (err == 0) err = errno;
        ::close(fd);
        ::unlink(path.c_str());
        return Fail(error, path, err);
    }
    if (::close(fd) != 0) return Fail(error, path, errno);
    return true;
}

bool ReadWholeFile(const std::string& path, std::string& bytes, std::string* error,
                   std::size_t maxBytes) {
    // Non-blocking: a FIFO without a writer must not hold the open.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return Fail(error, path, errno);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        return Fail(error, path, err);
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        if (S_ISDIR(st.st_mode)) return Fail(error, path, EISDIR);
        if (error) *error = path + kNotRegularFileText;
        return false;
    }
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
        // An endless source (/dev/zero) or a wrong file must not take all memory.
        if (data.size() > maxBytes) {
            ::close(fd);
            Fail(error, path, EFBIG);
            if (error) *error += " (more than " + std::to_string(maxBytes) + " bytes)";
            return false;
        }
    }
    ::close(fd);
    bytes = std::move(data);
    return true;
}

}  // namespace nvx
