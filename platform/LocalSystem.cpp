#include "platform/LocalSystem.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

namespace ts {

std::string HostName() {
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0 || buf[0] == '\0') return "localhost";
    return buf;
}

int PublishNewFile(const std::string& tmp, const std::string& path) {
    int err = 0;
    if (::renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) != 0) {
        err = errno;
        if (err == EINVAL || err == ENOSYS) {
            // The file system cannot rename without replacing: a hard link
            // fails just as cleanly when the name is taken.
            err = ::link(tmp.c_str(), path.c_str()) == 0 ? 0 : errno;
            if (err == 0) ::unlink(tmp.c_str());
        }
    }
    if (err != 0) return err;
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    const std::string dir = parent.empty() ? "." : parent.string();
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    err = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    return err;
}

}  // namespace ts
