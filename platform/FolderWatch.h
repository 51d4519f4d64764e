#pragma once
// Changes to the names in one folder, as the system reports them: inotify on
// Linux, change notifications on Windows.
#include <memory>
#include <string>
#include <vector>

#include "platform/Waiting.h"

namespace ts {

struct FolderChange {
    enum Kind {
        Added,     // a complete file now stands at the name (a new file, or another one)
        Removed,   // the name went away (or was taken by another file)
        Overflow,  // changes were lost: whoever watches must look again
    };
    Kind kind;
    std::string name;
};

class FolderWatch {
public:
    virtual ~FolderWatch() = default;
    // Ready when changes may be pending.
    virtual Waitable Get() const = 0;
    // Never blocks; the changes since the last call, in order.
    virtual std::vector<FolderChange> Read() = 0;
};

// Watches the files (not subfolders) of `dir` (ending in '/'); null with
// `error` set when the system cannot.
std::unique_ptr<FolderWatch> WatchFolder(const std::string& dir, std::string* error);

}  // namespace ts
