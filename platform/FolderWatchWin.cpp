#include <windows.h>

#include <map>

#include "platform/Files.h"
#include "platform/FolderWatch.h"
#include "platform/WinText.h"

namespace ts {
namespace {

// Change notifications say only that something changed: the folder is
// listed again and compared with what was there, name by name and file by
// file (a name taken by another file is a removal and an addition).
class NotifyWatch final : public FolderWatch {
public:
    NotifyWatch(HANDLE h, std::string dir) : h_(h), dir_(std::move(dir)) { seen_ = Snapshot(); }
    ~NotifyWatch() override { FindCloseChangeNotification(h_); }
    NotifyWatch(const NotifyWatch&) = delete;
    NotifyWatch& operator=(const NotifyWatch&) = delete;

    Waitable Get() const override { return win::ToWaitable(h_); }

    std::vector<FolderChange> Read() override {
        std::vector<FolderChange> changes;
        if (!IsReady(Get())) return changes;
        // Re-armed before the listing, so that a change made meanwhile
        // signals again instead of being lost.
        if (!FindNextChangeNotification(h_)) changes.push_back({FolderChange::Overflow, {}});
        std::map<std::string, std::string> now = Snapshot();
        for (const auto& [name, id] : seen_) {
            auto it = now.find(name);
            if (it == now.end() || it->second != id)
                changes.push_back({FolderChange::Removed, name});
        }
        for (const auto& [name, id] : now) {
            auto it = seen_.find(name);
            if (it == seen_.end() || it->second != id)
                changes.push_back({FolderChange::Added, name});
        }
        seen_ = std::move(now);
        return changes;
    }

private:
    // The files in the folder and their identities.
    std::map<std::string, std::string> Snapshot() const {
        std::map<std::string, std::string> out;
        std::vector<std::string> names;
        if (!files::ListFolder(dir_, &names)) return out;
        for (const std::string& n : names) {
            files::Status st;
            if (files::StatPath(dir_ + n, false, &st) && st.kind != files::Kind::Folder)
                out[n] = st.identity;
        }
        return out;
    }

    HANDLE h_;
    std::string dir_;
    std::map<std::string, std::string> seen_;
};

}  // namespace

std::unique_ptr<FolderWatch> WatchFolder(const std::string& dir, std::string* error) {
    HANDLE h = FindFirstChangeNotificationW(
        win::Wide(dir).c_str(), FALSE,
        FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE);
    if (h == INVALID_HANDLE_VALUE) {
        *error = "cannot watch " + dir + " (error " + std::to_string(GetLastError()) + ")";
        return nullptr;
    }
    return std::make_unique<NotifyWatch>(h, dir);
}

}  // namespace ts
