#pragma once
// An in-memory simulated line for in-process tests, benchmarks and soak runs.
//
//   MemoryLine line;
//   auto events = line.WatchEvents();        // Fd() is an eventfd
//   auto storage = line.Plug('E', 2048);     // vendor device at E:, Arrival
//   DeviceControl ctl(&line);                // opens "\\.\E:" through the line
//   ...
//   line.Unplug('E');                        // Removal; open volumes now fail
//
// Every Plug/Unplug is one event on every live source from WatchEvents().
// Plugging, unplugging and event reading may happen on different threads;
// the bytes of a MemoryStorage are not guarded, so touch them only while no
// command is running on that device.
#include <cstdint>
#include <memory>

#include "platform/DriveSystem.h"
#include "sim/SimDevice.h"
#include "sim/SimFaults.h"

namespace ts {

class MemoryLine : public DriveSystem {
public:
    MemoryLine();
    ~MemoryLine() override;
    MemoryLine(const MemoryLine&) = delete;
    MemoryLine& operator=(const MemoryLine&) = delete;

    // Plugs a vendor device of `sectors` zeroed sectors at `letter` (A-Z) and
    // returns its storage; null when the letter is bad or already taken.
    std::shared_ptr<MemoryStorage> Plug(char letter, uint32_t sectors, SimFaults faults = {});
    // Plugs the given storage (a device unplugged earlier, a prepared image).
    bool Plug(char letter, std::shared_ptr<MemoryStorage> storage, SimFaults faults = {});
    // Plugs an ordinary removable disk: it rejects every vendor command.
    bool PlugDisk(char letter, SimFaults faults = {});
    // Takes the device out. Volumes still open on it fail every command from
    // then on (the call fails with ENODEV), as a pulled device does.
    bool Unplug(char letter);
    // Faults for the volumes opened on `letter` from now on.
    bool SetFaults(char letter, SimFaults faults);
    // The storage of the device at `letter`, null when none is there.
    std::shared_ptr<MemoryStorage> Storage(char letter) const;
    // Volumes opened through this line and not yet closed (leak checks).
    int OpenVolumes() const;

    std::vector<std::u16string> ListDrives() override;
    unsigned GetDriveType(const std::u16string& root) override;
    // Each Plug is a new attachment, also of storage plugged before.
    std::string AttachmentId(const std::u16string& root) override;
    DriveDetails Details(const std::u16string& root) override;
    std::unique_ptr<ScsiTransport> OpenVolume(const char* path, uint32_t access, uint32_t shareMode,
                                              int& lastError) override;
    std::unique_ptr<DeviceEventSource> WatchEvents() override;

    struct State;

private:
    std::shared_ptr<State> state_;
};

}  // namespace ts
