#pragma once
// What each port of a gang is doing, for front ends to show: drive, state,
// ID, result and time. The ports' workers update it; front ends read a
// snapshot whenever onChange tells them (which runs on the worker's thread,
// so a window hands it on to its own thread).
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace ts {

enum class PortState {
    Empty,     // nothing attached any more
    Checking,  // opened, handshake and (maybe) a first read
    Writing,
    Reading,
    Passed,   // written or read
    Failed,   // the write or read failed with the device attached
    Pulled,   // the device went away before its write or read ended
    Skipped,  // it held a written ID already, or no ID was left for it
};

struct PortView {
    std::u16string root;
    PortState state = PortState::Empty;
    std::u16string id;
    int result = -1;  // the flow's result code; -1 while none
    int64_t elapsedMs = 0;
};

class PortModel {
public:
    // Changes the port at `root` (made when new) through `change`.
    void Update(const std::u16string& root, const std::function<void(PortView&)>& change);
    // Every port, in drive order.
    std::vector<PortView> Snapshot() const;
    // Called after each change, on the thread that made it.
    std::function<void()> onChange;

private:
    mutable std::mutex mutex_;
    std::map<std::u16string, PortView> ports_;
};

}  // namespace ts
