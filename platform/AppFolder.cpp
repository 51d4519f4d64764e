#include "platform/AppFolder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

namespace ts {

std::optional<std::string> ExecutableFolder(const char* selfLink) {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink(selfLink, buf, sizeof buf);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof buf) return std::nullopt;
    std::string path(buf, static_cast<size_t>(n));
    const size_t slash = path.rfind('/');
    if (path.front() != '/' || slash == std::string::npos) return std::nullopt;
    return path.substr(0, slash + 1);
}

AppFolderLock::~AppFolderLock() { Release(); }

void AppFolderLock::Release() {
    // The file stays: removing it would let a third process lock a new file
    // while a second one still waits on the old one.
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

AppFolderLock::Status AppFolderLock::Acquire(const std::string& appDir) {
    if (fd_ >= 0) return Status::Held;
    path_ = appDir + kFileName;
    error_ = 0;
    holder_ = 0;
    // No link is followed and nothing blocks: a planted link or FIFO is
    // refused, never created through or waited on.
    constexpr int kFlags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
    bool writable = true;
    int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | kFlags, 0644);
    if (fd < 0 && (errno == EACCES || errno == EROFS)) {
        // A folder the operator may not write: an existing lock file still locks.
        writable = false;
        fd = ::open(path_.c_str(), O_RDONLY | kFlags);
    }
    if (fd < 0) {
        error_ = errno;
        return Status::Failed;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return Status::Failed;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int e = errno;
        if (e == EWOULDBLOCK) {
            char text[32] = {};
            const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
            if (n > 0) holder_ = std::strtol(text, nullptr, 10);
        }
        ::close(fd);
        if (e == EWOULDBLOCK) return Status::Busy;
        error_ = e;
        return Status::Failed;
    }
    if (writable) {
        // Only for messages: the lock itself is the flock.
        const std::string pid = std::to_string(::getpid()) + "\n";
        if (::ftruncate(fd, 0) == 0 && ::pwrite(fd, pid.data(), pid.size(), 0) < 0) {
        }
    }
    fd_ = fd;
    return Status::Held;
}

}  // namespace ts
