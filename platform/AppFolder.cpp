#include "platform/AppFolder.h"

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/Files.h"

namespace ts {

AppFolderLock::~AppFolderLock() { Release(); }

void AppFolderLock::Release() {
    // The file stays: removing it would let a third process lock a new file
    // while a second one still waits on the old one.
    if (fd_ >= 0) files::Close(fd_);
    fd_ = -1;
}

AppFolderLock::Status AppFolderLock::Acquire(const std::string& appDir) {
    if (fd_ >= 0) return Status::Held;
    path_ = appDir + kFileName;
    error_ = 0;
    holder_ = 0;
    // No link is followed and nothing blocks: a planted link or FIFO is
    // refused, never created through or waited on.
    constexpr unsigned kFlags = files::kNoFollow | files::kNonBlock;
    bool writable = true;
    int fd = files::Open(path_, files::kReadWrite | files::kCreate | kFlags);
    if (fd < 0 && (errno == EACCES || errno == EROFS)) {
        // A folder the operator may not write: an existing lock file still
        // locks. Without one, the reason is the folder, not a missing file.
        const int readOnly = errno;
        writable = false;
        fd = files::Open(path_, files::kRead | kFlags);
        if (fd < 0 && errno == ENOENT) errno = readOnly;
    }
    if (fd < 0) {
        error_ = errno;
        return Status::Failed;
    }
    files::Status st;
    if (!files::StatFd(fd, &st) || st.kind != files::Kind::Regular) {
        files::Close(fd);
        return Status::Failed;
    }
    if (!files::TryLock(fd)) {
        const int e = errno;
        if (e == EWOULDBLOCK) {
            char text[32] = {};
            const long long n = files::ReadAt(fd, text, sizeof text - 1, 0);
            if (n > 0) holder_ = std::strtol(text, nullptr, 10);
        }
        files::Close(fd);
        if (e == EWOULDBLOCK) return Status::Busy;
        error_ = e;
        return Status::Failed;
    }
    if (writable) {
        // Only for messages: the lock itself is the system's file lock.
        const std::string pid = std::to_string(files::ProcessId()) + "\n";
        if (files::Truncate(fd, 0) && files::WriteAt(fd, pid.data(), pid.size(), 0) < 0) {
        }
    }
    fd_ = fd;
    return Status::Held;
}

}  // namespace ts
