// Device discovery and dispatch.
#include "deviceops/Discovery.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>
#include <utility>

#include "device/VendorProtocol.h"
#include "deviceops/FlowSupport.h"

namespace ts {

using namespace flow;

void Discovery::SetDrives(DriveSystem* drives) {
    drives_ = drives;
    handled_.clear();
    m_DevCtrl.SetOpener(drives);
    attachedAtStart_.clear();
    if (!drives) return;
    for (const std::u16string& root : drives->ListDrives()) {
        if (drives->GetDriveType(root) == kDriveRemovable)
            attachedAtStart_[root] = drives->AttachmentId(root);
    }
}

bool Discovery::SerialHeldAnId(const std::string& serial) {
    if (serialsWithId_.count(serial)) return true;
    IdLedger* ledger = ledger_.Ledger();
    if (!ledger) return false;
    // Asked again for every device: another station may have written it
    // since (the ledger answers from an index).
    bool held = false;
    const LedgerResult r = ledger->SerialHeldId(serial, &held);
    if (!r.ok()) {
        DebugW("ReadFirst: the journal cannot be read: %s\n", r.message.c_str());
        return false;
    }
    if (held) serialsWithId_.insert(serial);
    return held;
}

bool Discovery::ReadFirst(const std::u16string& root, const DeviceInfo& info) {
    if (auto it = attachedAtStart_.find(root);
        it != attachedAtStart_.end() && it->second == drives_->AttachmentId(root))
        return true;
    return !info.usbSerial.empty() && SerialHeldAnId(info.usbSerial);
}

bool Discovery::HoldsWrittenId() {
    IdLedger* ledger = ledger_.Ledger();
    if (!ledger) return false;
    Attempt attempt;
    attempt.mode = AttemptMode::Read;
    attempt.device = currentInfo_;
    const auto started = std::chrono::steady_clock::now();
    std::u16string held;
    const int read = ReadDeviceSN(held);
    attempt.id = read == kReadOk ? held : std::u16string();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);
    ledger->RecordAttempt(attempt, read, ms.count(), false);
    // A device that cannot be read, or holds no ID, is written as any other.
    if (read != kReadOk || held.empty()) return false;
    IdRecord record;
    if (!ledger->Lookup(held, &record).ok()) return false;
    if (record.state == IdState::InDoubt) {
        SettleFoundId(held);
    } else if (record.state != IdState::Written && record.state != IdState::Verified) {
        return false;
    }
    if (!currentInfo_.usbSerial.empty()) serialsWithId_.insert(currentInfo_.usbSerial);
    AppendLog(FormatWithText(
        u"设备中已有ID %s，ID记录中该ID已烧写，该设备不再重复烧写，请插入下一台设备", held));
    CloseCurrentDevice();
    return true;
}

DispatchOutcome Discovery::WindowProc(DeviceEvent event) {
    DispatchOutcome outcome;
    switch (event) {
        case DeviceEvent::Arrival:
            outcome = ScanDevices();
            break;
        case DeviceEvent::Removal:
            // The event does not say which device left: any removal closes
            // the current one.
            CloseCurrentDevice();
            AppendLog(u"设备已退出......");
            AppendLog(u"请插入新设备");
            outcome = ScanDevices();
            UpdateButtonsAfterRemoval();
            break;
    }
    return outcome;
}

void Discovery::DropHandled(const std::u16string& root) {
    handled_.erase(root);
    if (m_pCurDevice && m_pCurDevice == currentHandle_ && currentRoot_ == root)
        CloseCurrentDevice();
}

void Discovery::ForgetDetached(const std::vector<std::u16string>& roots) {
    std::vector<std::u16string> gone;
    for (const auto& [root, attachment] : handled_) {
        const bool listed = std::find(roots.begin(), roots.end(), root) != roots.end();
        if (!listed || drives_->AttachmentId(root) != attachment) gone.push_back(root);
    }
    for (const std::u16string& root : gone) DropHandled(root);
}

DispatchOutcome Discovery::ScanDevices() {
    if (!drives_) return {};
    // A device automatic writing did not write again is no reason to leave
    // the others waiting for the next event.
    DispatchOutcome passed;
    const std::vector<std::u16string> roots = drives_->ListDrives();
    ForgetDetached(roots);
    for (const std::u16string& root : roots) {
        if (drives_->GetDriveType(root) != kDriveRemovable) continue;
        if (!root.empty() && root[0] == u'A') continue;
        if (std::find(probing_.begin(), probing_.end(), root) != probing_.end()) continue;
        // A device is handled once while it stays attached: several devices
        // on a hub are each taken in turn, none of them twice.
        const std::string attachment = drives_->AttachmentId(root);
        if (auto it = handled_.find(root);
            !attachment.empty() && it != handled_.end() && it->second == attachment)
            continue;
        const std::string ansi = WideToAnsi(root);
        DeviceHandle* device =
            m_DevCtrl.DeviceOpen(ansi.c_str(), kGenericRead | kGenericWrite, kFileShareReadWrite);
        if (!device) {
            const int error = GetLastError();
            DebugW("DeviceOpen Error = %d\n", error);
            // Another program holds the device: it is left to that program.
            if (error == EBUSY)
                AppendLog(FormatWithText(u"设备 %s 正被其他程序使用，无法打开", root));
            continue;
        }
        // Pending events run here, possibly a whole nested scan and dispatch.
        // `device` is held only by this scan until it is dispatched, so a
        // nested scan can neither close it nor leak it, and leaves its drive
        // alone; whatever the nested dispatch made current is replaced (and
        // closed) by ours below.
        probing_.push_back(root);
        if (drain_) drain_();
        probing_.pop_back();
        // The answer lands in the shared buffer only for the device that is
        // dispatched, so a drive that does not answer leaves the current
        // device and its answer as they are.
        uint8_t answer[sizeof m_HandShakeBuf] = {};
        int rc = m_DevCtrl.HandShake(device, answer, sizeof answer);
        if (rc != 0 || !vendor::ParseHandShake(answer, sizeof answer, nullptr)) {
            m_DevCtrl.DeviceClose(device);
            continue;
        }
        std::memcpy(m_HandShakeBuf, answer, sizeof answer);
        if (!attachment.empty()) handled_[root] = attachment;
        dispatchRoot_ = root;
        DispatchOutcome outcome = DispatchFoundDevice(device);
        if (!outcome.notRewritten) return outcome;
        passed = outcome;
    }
    return passed;
}

DeviceInfo Discovery::DeviceInfoAt(const std::u16string& root) {
    DeviceInfo info;
    if (!drives_) return info;
    DriveDetails d = drives_->Details(root);
    info.node = std::move(d.node);
    info.usbSerial = std::move(d.usbSerial);
    info.usbVendor = std::move(d.usbVendor);
    info.usbProduct = std::move(d.usbProduct);
    info.port = std::move(d.port);
    return info;
}

DispatchOutcome Discovery::DispatchFoundDevice(DeviceHandle* device) {
    const std::u16string root = std::exchange(dispatchRoot_, std::u16string());
    auto makeCurrent = [this, device, root]() {
        if (m_pCurDevice && m_pCurDevice != device) m_DevCtrl.DeviceClose(m_pCurDevice);
        m_pCurDevice = device;
        currentHandle_ = device;
        currentRoot_ = root;
        currentInfo_ = DeviceInfoAt(root);
        ++deviceEpoch_;
    };
    // An automatic page writes the device; otherwise every page's write
    // button comes on, so it is ready on whichever tab the operator opens.
    auto followUp = [this]() {
        if (IdPage* automatic = AutomaticPage()) {
            automatic->DeviceReady();
            return;
        }
        for (IdPage* page : pages_) page->DeviceReady();
    };

    if (m_bWriteMode) {
        // A device that may hold a written ID is read before an automatic
        // write takes an ID for it (the only automatic writes that read).
        if (AutomaticPage() && ledger_.Ledger() && ReadFirst(root, DeviceInfoAt(root))) {
            makeCurrent();
            if (HoldsWrittenId()) {
                DispatchOutcome outcome;
                outcome.dispatched = true;
                outcome.notRewritten = true;
                return outcome;
            }
        }
        std::u16string id;
        GetCurrentId(id);
        if (id.empty()) {
            ShowCurrentId(std::u16string());
            AppendLog(u"新设备检测成功，当前无序列号可用");
            followUp();
            makeCurrent();
        } else {
            AppendLog(u"新设备检测成功，现在可以进行ID烧写操作了");
            makeCurrent();
            followUp();
        }
        DispatchOutcome outcome;
        outcome.dispatched = true;
        return outcome;
    }

    ShowCurrentId(u"读取中...");
    AppendLog(u"设备检测成功，当前设备ID读取中 ... ...");
    makeCurrent();
    DispatchOutcome outcome;
    outcome.dispatched = true;
    std::u16string& id = outcome.readId;
    Attempt attempt;
    attempt.mode = AttemptMode::Read;
    attempt.device = currentInfo_;
    const auto started = std::chrono::steady_clock::now();
    outcome.readResult = ReadDeviceSN(id);
    if (IdLedger* ledger = ledger_.Ledger()) {
        attempt.id = outcome.readResult == 0 ? id : std::u16string();
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - started);
        ledger->RecordAttempt(attempt, outcome.readResult, ms.count(), false);
    }
    if (outcome.readResult == 0) {
        SettleFoundId(id);
        AppendLog(u"设备ID读取成功");
        ShowCurrentId(id);
        AppendLog(FormatWithText(u"设备ID为 :%s", id));
    } else {
        AppendLog(u"设备ID读取失败，请重新插拔设备读取");
    }
    CloseCurrentDevice();
    return outcome;
}

void Discovery::UpdateButtonsAfterRemoval() {
    if (AutomaticPage()) return;
    for (IdPage* page : pages_) page->DeviceGone();
}

void Discovery::GetCurrentId(std::u16string& id) {
    IdPage* page = SelectedPage();
    id = page ? page->AnnounceId() : std::u16string();
}

void Discovery::ShowCurrentId(const std::u16string& text) {
    if (IdPage* page = SelectedPage()) page->ShowId(text);
}

}  // namespace ts
