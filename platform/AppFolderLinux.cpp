#include <limits.h>
#include <unistd.h>

#include "platform/AppFolder.h"

namespace ts {

const char* ExecutableFolderSource() { return "/proc"; }

std::optional<std::string> ExecutableFolder(const char* selfLink) {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink(selfLink, buf, sizeof buf);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof buf) return std::nullopt;
    std::string path(buf, static_cast<size_t>(n));
    const size_t slash = path.rfind('/');
    if (path.front() != '/' || slash == std::string::npos) return std::nullopt;
    return path.substr(0, slash + 1);
}

}  // namespace ts
