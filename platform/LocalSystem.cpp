#include "platform/LocalSystem.h"

#include "platform/Files.h"

namespace ts {

int PublishNewFile(const std::string& tmp, const std::string& path) {
    const int err = files::RenameNoReplace(tmp, path);
    if (err != 0) return err;
    const size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos) return files::SyncFolder(".");
    return files::SyncFolder(slash == 0 ? "/" : path.substr(0, slash));
}

}  // namespace ts
