#pragma once
// What happens before a desktop window exists, the same for every front end:
// the start-up arguments, and the application folder's check (which the
// command-line program makes too, with its own wording).
#include <optional>
#include <span>
#include <string>

#include "platform/AppFolder.h"
#include "platform/RegularFile.h"

namespace ts {

struct StartArgs {
    std::optional<std::string> simDir;  // --simulate DIR (UTF-8)
    bool debug = false;                 // --debug
};

inline constexpr char kStartUsage[] = "usage: tagsmith [--simulate DIR] [--debug]\n";
// The exit statuses of a desktop start.
inline constexpr int kStartOk = 0;
inline constexpr int kStartRefused = 1;
inline constexpr int kStartUsageError = 2;

// `args` without the program's name. False for anything else than the two
// options (the caller prints kStartUsage and ends with kStartUsageError).
bool ParseStartArgs(std::span<const std::string> args, StartArgs* out);

// --debug: the developer lines go to standard error, one per line.
void SendDebugToStderr();

// What keeps a process off the application folder.
struct AppFolderCheck {
    enum class Problem {
        None,
        FolderUnknown,  // the executable's folder cannot be found
        NoCodepage,     // the station's code page has no converter
        Busy,           // another process holds the folder's lock
        LockFailed,     // the lock file cannot be made or is not a file
        ConfigNotFile,  // tagsmith.cfg is something else than a file
    };
    Problem problem = Problem::None;
    std::string folder;  // the application folder (empty when unknown)
    std::string path;    // the lock file or tagsmith.cfg the problem names
    int error = 0;       // errno of a lock that failed (0: not a regular file)
    long holder = 0;     // the process holding a busy folder; 0 when unknown
    FileKind configKind = FileKind::Missing;

    bool Ok() const { return problem == Problem::None; }
};

// Takes the folder's lock into `lock` (held while the process uses the
// folder) and checks what every run there needs, in this order: the folder
// is known, (with `needsCodepage`) the code page converts, no other process
// uses the folder, tagsmith.cfg is a file or missing. Nothing is made when
// the code page is missing.
AppFolderCheck CheckAppFolder(const std::optional<std::string>& appDir, AppFolderLock& lock,
                              bool needsCodepage);

// The operator's text of a desktop start that the check stopped.
std::u16string StartProblemText(const AppFolderCheck& check);
// The operator's text of a --simulate folder that is not a folder.
std::u16string SimLineProblemText(const std::string& folder);

}  // namespace ts
