#pragma once
// Discovery and dispatch: every arrival or removal scans the removable
// drives; the first one that answers the handshake and was not yet handled
// since it was plugged in is dispatched by mode and selected page (written
// through the write flow, or read through the read flow).
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "deviceops/WriteFlow.h"
#include "platform/DriveSystem.h"

namespace ts {

// What a scan did: whether it dispatched a device and, in read mode, what
// the read gave.
struct DispatchOutcome {
    bool dispatched = false;
    int readResult = -1;  // -1: no read ran
    std::u16string readId;
    // Automatic writing: the device holds an ID the ledger knows as written,
    // and was not written again (the scan goes on to the next device).
    bool notRewritten = false;
};

class Discovery : public WriteFlow {
public:
    // The drives to scan; also becomes the command channel's volume opener.
    void SetDrives(DriveSystem* drives);
    DriveSystem* Drives() const { return drives_; }
    // Runs before each handshake of a scan: the GUI processes its pending
    // events here, as the message-queue drain does.
    void SetDrainHook(std::function<void()> drain) { drain_ = std::move(drain); }

    DispatchOutcome WindowProc(DeviceEvent event);
    DispatchOutcome ScanDevices();
    DispatchOutcome DispatchFoundDevice(DeviceHandle* device);
    void UpdateButtonsAfterRemoval();
    void GetCurrentId(std::u16string& id);
    void ShowCurrentId(const std::u16string& text);

    // For stations that handle a drive's device on a port of its own: what
    // the platform tells of it, and whether automatic writing is to read it
    // before writing (see ReadFirst below).
    DeviceInfo DescribeDrive(const std::u16string& root) { return DeviceInfoAt(root); }
    bool ReadsFirst(const std::u16string& root, const DeviceInfo& info) {
        return AutomaticPage() && ledger_.Ledger() && ReadFirst(root, info);
    }
    // A device with this USB serial number may hold an ID now.
    void NoteSerialWithId(const std::string& serial) {
        if (!serial.empty()) serialsWithId_.insert(serial);
    }

protected:
    // The read before an automatic write: true when the device holds an ID
    // the ledger knows as written (an ID in doubt is settled as written by
    // it), so it is not written again; the device is closed then.
    bool HoldsWrittenId();

private:
    DriveSystem* drives_ = nullptr;
    std::function<void()> drain_;
    // Discovery handles a device once per attachment: the attachment last
    // dispatched on each drive, kept while it stays there.
    std::map<std::u16string, std::string> handled_;
    // Drives that scans further out are about to handshake (a nested scan
    // leaves them to those).
    std::vector<std::u16string> probing_;
    // The drive of the device that a scan is dispatching.
    std::u16string dispatchRoot_;
    // Forgets what was handled on drives that are gone or hold another
    // attachment now; the current device goes with its drive.
    void ForgetDetached(const std::vector<std::u16string>& roots);
    void DropHandled(const std::u16string& root);
    // What the platform tells of the device at `root`, for the journal.
    DeviceInfo DeviceInfoAt(const std::u16string& root);

    // Automatic writing reads a device first when it may hold a written ID:
    // it was attached before this station started (its attachment, by
    // drive, as SetDrives found it), or the ledger's journal names its USB
    // serial number on a device that was given an ID.
    // (WriteFlow keeps the serials of the devices this station wrote.)
    std::map<std::u16string, std::string> attachedAtStart_;
    bool ReadFirst(const std::u16string& root, const DeviceInfo& info);
    bool SerialHeldAnId(const std::string& serial);
};

}  // namespace ts
