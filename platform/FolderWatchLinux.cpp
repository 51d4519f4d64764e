#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>

#include "platform/FolderWatch.h"

namespace ts {
namespace {

class InotifyWatch final : public FolderWatch {
public:
    InotifyWatch(int fd, std::string dir) : fd_(fd), dir_(std::move(dir)) {}
    ~InotifyWatch() override { ::close(fd_); }
    InotifyWatch(const InotifyWatch&) = delete;
    InotifyWatch& operator=(const InotifyWatch&) = delete;

    Waitable Get() const override { return fd_; }

    std::vector<FolderChange> Read() override {
        std::vector<FolderChange> changes;
        alignas(inotify_event) char buf[8192];
        for (;;) {
            ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            size_t pos = 0;
            while (pos + sizeof(inotify_event) <= static_cast<size_t>(n)) {
                const auto* ev = reinterpret_cast<const inotify_event*>(buf + pos);
                size_t next = pos + sizeof(inotify_event) + ev->len;
                if (next > static_cast<size_t>(n)) break;
                Handle(*ev, changes);
                pos = next;
            }
        }
        return changes;
    }

private:
    void Handle(const inotify_event& ev, std::vector<FolderChange>& changes) {
        if (ev.mask & IN_Q_OVERFLOW) {
            changes.push_back({FolderChange::Overflow, {}});
            return;
        }
        if (ev.len == 0 || (ev.mask & IN_ISDIR)) return;
        std::string name(ev.name, strnlen(ev.name, ev.len));
        if (ev.mask & IN_CREATE) {
            // A file being written is reported when it is closed; a link to
            // a finished file (symbolic or hard) is complete at once.
            struct stat st;
            std::string path = dir_ + name;
            if (::lstat(path.c_str(), &st) == 0 && (S_ISLNK(st.st_mode) || st.st_nlink > 1)) {
                changes.push_back({FolderChange::Added, name});
            } else {
                pending_.insert(name);
            }
        } else if (ev.mask & IN_CLOSE_WRITE) {
            if (pending_.erase(name)) changes.push_back({FolderChange::Added, name});
        } else if (ev.mask & IN_MOVED_TO) {
            pending_.erase(name);
            changes.push_back({FolderChange::Added, name});
        } else if (ev.mask & (IN_DELETE | IN_MOVED_FROM)) {
            // A file that never became complete never arrived.
            if (!pending_.erase(name)) changes.push_back({FolderChange::Removed, name});
        }
    }

    int fd_;
    std::string dir_;
    std::set<std::string> pending_;
};

}  // namespace

std::unique_ptr<FolderWatch> WatchFolder(const std::string& dir, std::string* error) {
    int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) {
        *error = std::string("inotify_init1: ") + std::strerror(errno);
        return nullptr;
    }
    uint32_t mask =
        IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_ONLYDIR;
    if (::inotify_add_watch(fd, dir.c_str(), mask) < 0) {
        *error = "cannot watch " + dir + ": " + std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<InotifyWatch>(fd, dir);
}

}  // namespace ts
