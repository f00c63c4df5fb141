#pragma once
// Where a procedure keeps the files it hands to an external program: a lock that tells two
// procedures sharing one directory apart, a private directory for one that wants none shared,
// and the test whether a user's path names one of those files.

#include <string>
#include <utility>

namespace nvx {

// An exclusive flock on one file. The kernel drops it when the process ends, however it ends, so
// a lock file left behind by a process that died never blocks. The holder removes the file when
// it lets go, while it still holds the lock and only if the name still leads to its file; a taker
// that finds its locked file no longer under the name (removed meanwhile) tries again, so two
// holders never hold two files of one name.
class DirectoryLock {
public:
    explicit DirectoryLock(std::string path) : path_(std::move(path)) {}
    ~DirectoryLock() { Release(); }
    DirectoryLock(const DirectoryLock&) = delete;
    DirectoryLock& operator=(const DirectoryLock&) = delete;

    // Takes the lock without waiting; true when it is held (also when it was held already).
    // False when another holder has it (busy() then holds) or the file cannot be made or locked
    // (error then says why).
    bool TryAcquire(std::string& error);
    // The file removed (when it is still this lock's) and the lock given back.
    void Release();
    bool held() const { return fd_ >= 0; }
    // The last TryAcquire failed because another holder has the lock.
    bool busy() const { return busy_; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
    int fd_ = -1;
    bool busy_ = false;
};

// A fresh directory of its own under the system's temporary directory, removed with everything
// in it by Remove or the destructor. While it exists its owner holds an flock on a file beside it
// (<directory>.lock); a directory whose lock nobody holds was left by a process that died (killed,
// power lost), and Create removes such leftovers of the same user.
class PrivateWorkDirectory {
public:
    PrivateWorkDirectory() = default;
    ~PrivateWorkDirectory() { Remove(); }
    PrivateWorkDirectory(const PrivateWorkDirectory&) = delete;
    PrivateWorkDirectory& operator=(const PrivateWorkDirectory&) = delete;

    // False with a reason when no directory could be made.
    bool Create(std::string& error);
    // A symbolic link `name` in the directory to target (an absolute path); false with a reason.
    bool Link(const std::string& name, const std::string& target, std::string& error);
    void Remove();
    // The directory with a trailing '/'; empty before Create and after Remove.
    const std::string& path() const { return path_; }

private:
    std::string path_;
    int ownerLock_ = -1;
};

// True when both paths name the same file once links and "." / ".." are resolved; a path whose
// file does not exist yet is compared by where it would be made.
bool SameFilePath(const std::string& a, const std::string& b);

}  // namespace nvx
