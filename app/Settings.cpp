// The operator's settings: restored once at start-up, saved once at the end.
// Only these two operations touch the nine keys the tool owns.
#include <filesystem>
#include <string>
#include <system_error>

#include "app/MainDialog.h"
#include "platform/Codepage.h"
#include "platform/Profile.h"

namespace ts {

namespace {

std::u16string Decimal(int value) {
    const std::string s = std::to_string(value);
    return std::u16string(s.begin(), s.end());
}

// A file or a folder: the list page itself refuses a folder quietly.
bool PathExists(const std::u16string& path) {
    if (path.empty()) return false;
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::path(WideToUtf8(path)), ec);
}

}  // namespace

void MainDialog::LoadConfig() { LoadConfig(core.ConfigPath()); }

void MainDialog::SaveConfig() { SaveConfig(core.ConfigPath()); }

void MainDialog::LoadConfig(const std::string& path) {
    const Profile cfgFile(path);
    const auto get = [&](const char16_t* key) { return cfgFile.GetString(cfg::kSection, key); };

    if (cfgFile.GetInt(cfg::kSection, cfg::kOption, 1) != 0) {
        writeRadioChecked = true;
        readRadioChecked = false;
        core.m_bWriteMode = 1;
        Notify();
    } else {
        readRadioChecked = true;
        writeRadioChecked = false;
        OnReadMode();
    }

    const std::u16string idFile = get(cfg::kIdFile);
    if (PathExists(idFile)) m_page1.ReloadIdFile(idFile);

    m_page2.SetScanId(get(cfg::kIdValue2));

    m_page3.SetDirection(cfgFile.GetInt(cfg::kSection, cfg::kMode, 1));
    m_page3.SetPrefix(get(cfg::kIdPrefix));
    m_page3.SetCounter(get(cfg::kIdAuto));
    m_page3.SetSuffix(get(cfg::kIdSuffix));

    // Applied after the mode on purpose: a hand-edited file may show page 3
    // in read mode, with the tab control still disabled.
    const int tab = cfgFile.GetInt(cfg::kSection, cfg::kTabMode, 0);
    if (tab >= 0 && tab < 3) OnTabSelChange(tab);
}

void MainDialog::SaveConfig(const std::string& path) {
    const Profile cfgFile(path);
    // A value the file cannot hold faithfully (a line break, say) is refused
    // by the profile, and the key keeps its previous value.
    const auto put = [&](const char16_t* key, const std::u16string& value) {
        cfgFile.WriteString(cfg::kSection, key, value);
    };

    put(cfg::kOption, readRadioChecked ? u"0" : u"1");
    put(cfg::kIdFile, m_page1.GetIdFilePath());
    // Nothing reads it back; with no unused ID left the text is empty.
    std::u16string next;
    m_page1.TakeNextUnusedId(next);
    put(cfg::kIdValue, next);
    put(cfg::kIdValue2, m_page2.GetScanId());
    put(cfg::kMode, Decimal(m_page3.IsIncrease()));
    put(cfg::kIdPrefix, m_page3.GetPrefix());
    put(cfg::kIdAuto, m_page3.GetCounter());
    put(cfg::kIdSuffix, m_page3.GetSuffix());
    put(cfg::kTabMode, Decimal(tabIndex));
}

}  // namespace ts
