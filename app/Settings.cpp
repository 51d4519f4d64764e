// The operator's settings: restored once at start-up, saved once at the end.
// Only these two operations touch the nine keys the tool owns.
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

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
        core.SetWriteMode(true);
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
    gangMode = cfgFile.GetInt(cfg::kSection, cfg::kGang, 0) == 1;
}

bool MainDialog::SaveConfig(const std::string& path, std::span<const ProfileEntry> extra,
                            size_t* refused) {
    // A value the file cannot hold faithfully (a line break, say) is refused
    // by the profile, and the key keeps its previous value. All keys go in
    // one replacement of the file.
    std::u16string next;  // nothing reads it back; empty with no unused ID left
    m_page1.TakeNextUnusedId(next);
    const std::u16string idFile = m_page1.GetIdFilePath();
    const std::u16string scanId = m_page2.GetScanId();
    const std::u16string mode = Decimal(m_page3.IsIncrease());
    const std::u16string prefix = m_page3.GetPrefix();
    const std::u16string counter = m_page3.GetCounter();
    const std::u16string suffix = m_page3.GetSuffix();
    const std::u16string tab = Decimal(tabIndex);
    std::vector<ProfileEntry> entries = {
        {cfg::kOption, readRadioChecked ? u"0" : u"1"},
        {cfg::kIdFile, idFile},
        {cfg::kIdValue, next},
        {cfg::kIdValue2, scanId},
        {cfg::kMode, mode},
        {cfg::kIdPrefix, prefix},
        {cfg::kIdAuto, counter},
        {cfg::kIdSuffix, suffix},
        {cfg::kTabMode, tab},
    };
    // One device at a time is the default, and a file that never had gang
    // mode keeps the nine keys alone.
    const Profile before(path);
    if (gangMode || before.GetString(cfg::kSection, cfg::kGang, u"\n") != u"\n")
        entries.push_back({cfg::kGang, gangMode ? u"1" : u"0"});
    entries.insert(entries.end(), extra.begin(), extra.end());
    return Profile(path).WriteStrings(cfg::kSection, entries, refused);
}

}  // namespace ts
