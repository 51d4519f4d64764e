#include "deviceops/StationState.h"

#include <cstring>
#include <optional>
#include <string>

#include "deviceops/PluginLoader.h"
#include "platform/AppFolder.h"
#include "platform/Codepage.h"
#include "platform/Profile.h"

namespace ts {

StationState::StationState() {
    // The ledger's retries pause as every flow does, through the clock.
    ledger_.sleep = [this](uint32_t ms) { Sleep(ms); };
}

StationState::~StationState() { CloseCurrentDevice(); }

void StationState::InitExeDir() {
    if (std::optional<std::string> dir = ExecutableFolder()) m_strExeDir = *dir;
}

void StationState::InitExeDir(const std::string& dir) {
    m_strExeDir = dir;
    if (!m_strExeDir.empty() && m_strExeDir.back() != '/') m_strExeDir += '/';
}

void StationState::SetWorkDir(const std::string& dir) {
    workDir_ = dir;
    if (!workDir_.empty() && workDir_.back() != '/') workDir_ += '/';
}

void StationState::AppendLog(const std::u16string& line) {
    LogView* log = log_ ? log_ : &defaultLog_;
    std::u16string text = log->GetText();
    text += u"\r\n";
    text += line;
    // The cap removes one line at most, so the box stays near 8192.
    if (text.size() > 8192) {
        auto pos = text.find(u"\r\n");
        if (pos != std::u16string::npos) text.erase(0, pos + 2);
    }
    log->SetText(text);
    log->ScrollToEnd();
    log->LineAppended(line);
}

MsgAnswer StationState::MessageBox(const std::u16string& text, MsgButtons buttons, MsgIcon icon,
                                   const std::u16string& caption) {
    MessageBoxer* boxes = boxes_ ? boxes_ : &defaultBoxes_;
    return boxes->Show(MessageRequest{text, caption, buttons, icon});
}

void StationState::Sleep(uint32_t ms) { (clock_ ? clock_ : &defaultClock_)->Sleep(ms); }

bool StationState::PauseAutomatic(uint32_t ms) {
    return (clock_ ? clock_ : &defaultClock_)->Pause(ms, [this] {
        return AutomaticPage() != nullptr;
    });
}

void StationState::LoadPlugin() {
    m_pVolkit = LoadVolkit(m_strExeDir);
    // Every write and read would fail later without saying why.
    if (!m_pVolkit && m_strExeDir.size() > MaxPluginDirBytes()) {
        AppendLog(u"无法加载文件系统插件 (Volkit)：程序所在目录的路径过长（" +
                  Utf8ToWide(std::to_string(m_strExeDir.size())) + u" 字节，最多 " +
                  Utf8ToWide(std::to_string(MaxPluginDirBytes())) + u" 字节）：" +
                  Utf8ToWide(m_strExeDir));
    }
}

std::u16string StationState::ReadConfigString(const char16_t* key) const {
    return Profile(ConfigPath()).GetString(cfg::kSection, key, u"");
}

bool StationState::AdoptDevice(const char* root) {
    DeviceHandle* device =
        m_DevCtrl.DeviceOpen(root, kGenericRead | kGenericWrite, kFileShareReadWrite);
    if (!device) return false;
    uint8_t answer[sizeof m_HandShakeBuf] = {};
    if (m_DevCtrl.HandShake(device, answer, sizeof answer) != 0) {
        m_DevCtrl.DeviceClose(device);
        return false;
    }
    CloseCurrentDevice();
    m_pCurDevice = device;
    currentInfo_.node = root;
    std::memcpy(m_HandShakeBuf, answer, sizeof answer);
    return true;
}

void StationState::CloseCurrentDevice() {
    ++deviceEpoch_;
    currentHandle_ = nullptr;
    currentRoot_.clear();
    currentInfo_ = DeviceInfo();
    if (m_pCurDevice) {
        m_DevCtrl.DeviceClose(m_pCurDevice);
        m_pCurDevice = nullptr;
    }
}

void StationState::SetPages(std::span<IdPage* const> pages) {
    pages_.assign(pages.begin(), pages.end());
    selected_ = 0;
}

IdPage* StationState::SelectedPage() const {
    if (selected_ < 0 || static_cast<size_t>(selected_) >= pages_.size()) return nullptr;
    return pages_[static_cast<size_t>(selected_)];
}

IdPage* StationState::AutomaticPage() const {
    for (IdPage* page : pages_) {
        if (page->WritesAutomatically()) return page;
    }
    return nullptr;
}

}  // namespace ts
