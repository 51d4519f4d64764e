#pragma once
// The application folder: where it is, and the lock that keeps a second
// process off it. The write and read flows stage their files there (prvdata,
// tmp.data, sn.txt), so two processes on one folder would mix each other's
// files and report IDs their devices do not hold.
#include <optional>
#include <string>

namespace ts {

// The running executable's folder, ending in '/'; nothing when it cannot be
// found (no /proc). `selfLink` is the link naming the executable.
std::optional<std::string> ExecutableFolder(const char* selfLink = "/proc/self/exe");
// What ExecutableFolder asks, for the operator's message when it cannot tell:
// "/proc" on Linux; empty where the system always answers.
const char* ExecutableFolderSource();

// An exclusive lock on the file `tagsmith.lock` in the application folder,
// held until the object is destroyed (or the process ends, however it ends).
// Taking it never waits.
class AppFolderLock {
public:
    static constexpr char kFileName[] = "tagsmith.lock";

    enum class Status {
        Held,    // this process holds the folder
        Busy,    // another process holds it
        Failed,  // the lock file cannot be made or opened (see Error())
    };

    AppFolderLock() = default;
    ~AppFolderLock();
    AppFolderLock(const AppFolderLock&) = delete;
    AppFolderLock& operator=(const AppFolderLock&) = delete;

    // `appDir` ends in '/'. Taking a lock already held here gives Held.
    Status Acquire(const std::string& appDir);
    void Release();

    bool Held() const { return fd_ >= 0; }
    const std::string& Path() const { return path_; }
    // errno of a Failed acquisition (0: the path is not a regular file).
    int Error() const { return error_; }
    // The process that holds a Busy folder, as it recorded itself; 0 if unknown.
    long Holder() const { return holder_; }

private:
    int fd_ = -1;
    int error_ = 0;
    long holder_ = 0;
    std::string path_;
};

}  // namespace ts
