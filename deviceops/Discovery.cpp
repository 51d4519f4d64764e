// Device discovery and dispatch: every arrival or removal scans the
// removable drives; the first one that answers the handshake is dispatched
// by mode and active page.
#include <cstring>

#include "deviceops/FlowSupport.h"
#include "deviceops/TagsmithCore.h"

namespace ts {

using namespace flow;

void TagsmithCore::WindowProc(DeviceEvent event) {
    switch (event) {
        case DeviceEvent::Arrival:
            ScanDevices();
            break;
        case DeviceEvent::Removal:
            // The event does not say which device left: any removal closes
            // the current one.
            CloseCurrentDevice();
            AppendLog(u"设备已退出......");
            AppendLog(u"请插入新设备");
            ScanDevices();
            UpdateButtonsAfterRemoval();
            break;
    }
}

void TagsmithCore::ScanDevices() {
    if (!drives_) return;
    const std::vector<std::u16string> roots = drives_->ListDrives();
    for (const std::u16string& root : roots) {
        if (drives_->GetDriveType(root) != kDriveRemovable) continue;
        if (!root.empty() && root[0] == u'A') continue;
        const std::string ansi = WideToAnsi(root);
        DeviceHandle* device =
            m_DevCtrl.DeviceOpen(ansi.c_str(), kGenericRead | kGenericWrite, kFileShareReadWrite);
        if (!device) {
            DebugW("DeviceOpen Error = %d\n", GetLastError());
            continue;
        }
        std::memset(m_HandShakeBuf, 0, sizeof m_HandShakeBuf);
        // Pending events run here, possibly a whole nested scan and dispatch.
        // `device` is held only by this scan until it is dispatched, so a
        // nested scan can neither close it nor leak it; whatever the nested
        // dispatch made current is replaced (and closed) by ours below.
        if (drain_) drain_();
        std::memset(m_HandShakeBuf, 0, sizeof m_HandShakeBuf);
        int rc = m_DevCtrl.HandShake(device, m_HandShakeBuf, sizeof m_HandShakeBuf);
        if (rc != 0 || std::memcmp(m_HandShakeBuf, "usbhandshake", 13) != 0) {
            // Not a device in programming mode. The reference to the current
            // device is cleared, and the device is closed with it rather than
            // leaked: the handshake answer no longer belongs to it.
            m_DevCtrl.DeviceClose(device);
            CloseCurrentDevice();
            continue;
        }
        DispatchFoundDevice(device);
        break;
    }
}

void TagsmithCore::DispatchFoundDevice(DeviceHandle* device) {
    auto makeCurrent = [this, device]() {
        if (m_pCurDevice && m_pCurDevice != device) m_DevCtrl.DeviceClose(m_pCurDevice);
        m_pCurDevice = device;
        ++deviceEpoch_;
    };
    auto followUp = [this]() {
        if (!pages_) return;
        if (pages_->IsAutoWriting()) {
            pages_->WriteNextIdAuto();
        } else if (pages_->IsAutoRun()) {
            pages_->WriteNextId();
        } else {
            pages_->EnableManualWriteButton(true);
            pages_->EnableWriteButton(true);
        }
    };

    if (m_bWriteMode) {
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
        return;
    }

    ShowCurrentId(u"读取中...");
    AppendLog(u"设备检测成功，当前设备ID读取中 ... ...");
    makeCurrent();
    std::u16string id;
    m_lastReadResult = ReadDeviceSN(id);
    if (m_lastReadResult == 0) {
        AppendLog(u"设备ID读取成功");
        ShowCurrentId(id);
        AppendLog(FormatWithText(u"设备ID为 :%s", id));
    } else {
        AppendLog(u"设备ID读取失败，请重新插拔设备读取");
    }
    CloseCurrentDevice();
}

void TagsmithCore::UpdateButtonsAfterRemoval() {
    if (!pages_) return;
    if (!pages_->IsAutoWriting() && !pages_->IsAutoRun()) {
        pages_->EnableManualWriteButton(false);
        pages_->EnableWriteButton(false);
    }
}

void TagsmithCore::GetCurrentId(std::u16string& id) {
    id.clear();
    if (!pages_) return;
    switch (pages_->ActiveTab()) {
        case 0:
            pages_->TakeNextUnusedId(id);
            break;
        case 1:
            id = pages_->GetScanId();
            break;
        case 2:
            id = pages_->GetPrefix() + pages_->GetCounter() + pages_->GetSuffix();
            break;
        default:
            break;
    }
}

void TagsmithCore::ShowCurrentId(const std::u16string& text) {
    if (!pages_) return;
    switch (pages_->ActiveTab()) {
        case 0:
            pages_->SetCurrentIdText(text);
            break;
        case 1:
            pages_->SetScanId(text);
            break;
        default:
            break;
    }
}

}  // namespace ts
