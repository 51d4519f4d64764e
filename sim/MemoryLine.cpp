#include "sim/MemoryLine.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>

#include "device/DeviceControl.h"
#include "platform/DebugOut.h"
#include "platform/Waiting.h"
#include "sim/SimLine.h"

namespace ts {
namespace {

constexpr uint32_t kDiskSectors = 2048;

struct Queue {
    WakeSignal wake;
    std::mutex mutex;
    std::deque<DeviceEvent> events;
};

struct Slot {
    std::shared_ptr<MemoryStorage> storage;
    SimFaults faults;
    bool vendor = true;
    uint64_t attachment = 0;
    // Shared with the volumes opened on this plug-in; cleared by Unplug.
    std::shared_ptr<std::atomic<bool>> plugged;
};

int Index(char letter) { return letter >= 'A' && letter <= 'Z' ? letter - 'A' : -1; }

}  // namespace

struct MemoryLine::State {
    mutable std::mutex mutex;
    Slot slots[26];
    std::vector<std::weak_ptr<Queue>> watchers;
    std::atomic<int> openVolumes{0};
    uint64_t attachments = 0;

    bool Insert(char letter, std::shared_ptr<MemoryStorage> storage, SimFaults faults,
                bool vendor) {
        int i = Index(letter);
        if (i < 0 || !storage) return false;
        std::lock_guard lock(mutex);
        Slot& s = slots[i];
        if (s.storage) return false;
        s.storage = std::move(storage);
        s.faults = std::move(faults);
        s.vendor = vendor;
        s.attachment = ++attachments;
        s.plugged = std::make_shared<std::atomic<bool>>(true);
        Post(DeviceEvent::Arrival);
        return true;
    }

    // Called with the mutex held.
    void Post(DeviceEvent ev) {
        std::erase_if(watchers, [](const auto& w) { return w.expired(); });
        for (auto& w : watchers) {
            auto q = w.lock();
            if (!q) continue;
            {
                std::lock_guard lock(q->mutex);
                q->events.push_back(ev);
            }
            q->wake.Signal();
        }
    }
};

namespace {

// A plugged memory device as one open volume sees it.
class PluggedStorage : public SimStorage {
public:
    PluggedStorage(std::shared_ptr<MemoryStorage> inner, std::shared_ptr<std::atomic<bool>> plugged,
                   std::shared_ptr<MemoryLine::State> state)
        : inner_(std::move(inner)), plugged_(std::move(plugged)), state_(std::move(state)) {
        ++state_->openVolumes;
    }
    ~PluggedStorage() override { --state_->openVolumes; }
    PluggedStorage(const PluggedStorage&) = delete;
    PluggedStorage& operator=(const PluggedStorage&) = delete;

    uint64_t Sectors() const override { return inner_->Sectors(); }
    bool Read(uint64_t offset, uint8_t* out, size_t n, int& err) override {
        return inner_->Read(offset, out, n, err);
    }
    bool Write(uint64_t offset, const uint8_t* in, size_t n, int& err) override {
        return inner_->Write(offset, in, n, err);
    }
    bool Attached(int& err) override {
        if (plugged_->load()) return true;
        err = ENODEV;
        return false;
    }

private:
    std::shared_ptr<MemoryStorage> inner_;
    std::shared_ptr<std::atomic<bool>> plugged_;
    std::shared_ptr<MemoryLine::State> state_;
};

class MemoryEvents : public DeviceEventSource {
public:
    explicit MemoryEvents(std::shared_ptr<Queue> q) : q_(std::move(q)) {}
    int Fd() const override { return q_->wake.Get(); }
    std::vector<DeviceEvent> ReadEvents() override {
        q_->wake.Drain();
        std::lock_guard lock(q_->mutex);
        std::vector<DeviceEvent> out(q_->events.begin(), q_->events.end());
        q_->events.clear();
        return out;
    }

private:
    std::shared_ptr<Queue> q_;
};

}  // namespace

MemoryLine::MemoryLine() : state_(std::make_shared<State>()) {}

MemoryLine::~MemoryLine() {
    // Volumes that outlive the line behave as unplugged.
    std::lock_guard lock(state_->mutex);
    for (auto& s : state_->slots) {
        if (s.plugged) s.plugged->store(false);
    }
}

std::shared_ptr<MemoryStorage> MemoryLine::Plug(char letter, uint32_t sectors, SimFaults faults) {
    auto storage = std::make_shared<MemoryStorage>(sectors);
    return Plug(letter, storage, std::move(faults)) ? storage : nullptr;
}

bool MemoryLine::Plug(char letter, std::shared_ptr<MemoryStorage> storage, SimFaults faults) {
    return state_->Insert(letter, std::move(storage), std::move(faults), true);
}

bool MemoryLine::PlugDisk(char letter, SimFaults faults) {
    return state_->Insert(letter, std::make_shared<MemoryStorage>(kDiskSectors), std::move(faults),
                          false);
}

bool MemoryLine::Unplug(char letter) {
    int i = Index(letter);
    if (i < 0) return false;
    std::lock_guard lock(state_->mutex);
    Slot& s = state_->slots[i];
    if (!s.storage) return false;
    s.plugged->store(false);
    s = Slot{};
    state_->Post(DeviceEvent::Removal);
    return true;
}

bool MemoryLine::SetFaults(char letter, SimFaults faults) {
    int i = Index(letter);
    if (i < 0) return false;
    std::lock_guard lock(state_->mutex);
    Slot& s = state_->slots[i];
    if (!s.storage) return false;
    s.faults = std::move(faults);
    return true;
}

std::shared_ptr<MemoryStorage> MemoryLine::Storage(char letter) const {
    int i = Index(letter);
    if (i < 0) return nullptr;
    std::lock_guard lock(state_->mutex);
    return state_->slots[i].storage;
}

int MemoryLine::OpenVolumes() const { return state_->openVolumes.load(); }

std::vector<std::u16string> MemoryLine::ListDrives() {
    std::vector<std::u16string> roots;
    std::lock_guard lock(state_->mutex);
    for (int i = 0; i < 26; ++i) {
        if (state_->slots[i].storage)
            roots.push_back({static_cast<char16_t>(u'A' + i), u':', u'\\'});
    }
    return roots;
}

unsigned MemoryLine::GetDriveType(const std::u16string& root) {
    bool wellFormed = (root.size() == 2 || (root.size() == 3 && root[2] == u'\\')) &&
                      root[0] >= u'A' && root[0] <= u'Z' && root[1] == u':';
    if (!wellFormed) return kDriveUnknown;
    std::lock_guard lock(state_->mutex);
    return state_->slots[root[0] - u'A'].storage ? kDriveRemovable : kDriveUnknown;
}

std::string MemoryLine::AttachmentId(const std::u16string& root) {
    if (GetDriveType(root) != kDriveRemovable) return {};
    std::lock_guard lock(state_->mutex);
    const Slot& s = state_->slots[root[0] - u'A'];
    return s.storage ? "mem:" + std::to_string(s.attachment) : std::string();
}

DriveDetails MemoryLine::Details(const std::u16string& root) {
    DriveDetails d = DriveSystem::Details(root);
    if (GetDriveType(root) == kDriveRemovable) {
        d.port = std::string(1, static_cast<char>(root[0]));
        std::lock_guard lock(state_->mutex);
        const Slot& s = state_->slots[root[0] - u'A'];
        if (s.storage) d.usbSerial = s.storage->usbSerial;
    }
    return d;
}

std::unique_ptr<ScsiTransport> MemoryLine::OpenVolume(const char* path, uint32_t access, uint32_t,
                                                      int& lastError) {
    auto letter = SimLetterOfPath(path);
    std::lock_guard lock(state_->mutex);
    const Slot* s = letter ? &state_->slots[*letter - 'A'] : nullptr;
    if (!s || !s->storage) {
        lastError = ENOENT;
        return nullptr;
    }
    if (s->faults.openFails) {
        lastError = s->faults.openErrno;
        return nullptr;
    }
    auto storage = std::make_shared<PluggedStorage>(s->storage, s->plugged, state_);
    return std::make_unique<SimDevice>(std::move(storage), s->faults, s->vendor,
                                       (access & kGenericWrite) != 0);
}

std::unique_ptr<DeviceEventSource> MemoryLine::WatchEvents() {
    auto q = std::make_shared<Queue>();
    if (!q->wake.Ok()) {
        OutputDebugStringA(
            (std::string("MemoryLine: no wake-up signal: ") + std::strerror(errno) + "\n").c_str());
        return nullptr;
    }
    std::lock_guard lock(state_->mutex);
    state_->watchers.push_back(q);
    return std::make_unique<MemoryEvents>(std::move(q));
}

}  // namespace ts
