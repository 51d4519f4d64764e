#pragma once
// The main window without its widgets: it owns the shared core, the three
// pages and the window's own control state, wires the pages to the core, and
// holds the mode handlers, the tab handling, the control lock and the
// settings. The desktop program's CTagsmithDlg is a thin view over it; the
// CLI and the tests drive it directly.
#include <optional>
#include <span>
#include <string>

#include "app/LedgerResume.h"
#include "deviceops/Station.h"
#include "deviceops/TagsmithCore.h"
#include "idsource/Pages.h"
#include "platform/Profile.h"

namespace ts {

class MainDialog : public PageHost, public Observable {
public:
    MainDialog();
    ~MainDialog() override;

    TagsmithCore core;
    CDlgCh1 m_page1;
    CDlgCh2 m_page2;
    CDlgCh3 m_page3;

    // ---- window state the view mirrors ----
    bool writeRadioChecked = true;  // 1001
    bool readRadioChecked = false;  // 1002
    bool writeRadioEnabled = true;  // 1001
    bool readRadioEnabled = true;   // 1002
    bool closeEnabled = true;       // 1000, the title-bar close and Alt+F4
    bool tabEnabled = true;         // 1003
    int tabIndex = 0;               // selected tab (shown page)
    // Gang mode: the automatic pages write every attached device at once.
    bool gangMode = false;

    // The modal picker, supplied by the view (tests script it).
    std::function<bool(CDlgListID&)> runPicker;

    // The core part of initialisation: the station opened on what the view
    // supplies, with the window's settings from tagsmith.cfg unless `parts`
    // brings its own. The window's pages are already the core's.
    StationOpen OnInitDialog(StationParts parts);
    // The same on the folder `exeDir` (empty: the running executable's).
    StationOpen OnInitDialog(const std::string& exeDir = std::string());
    void OnWriteMode();
    void OnReadMode();
    // Selects and shows a page (the tab control's selection change).
    void OnTabSelChange(int index);
    void EnableMainControls(bool enable) override;
    void OnClearLog();
    void LoadConfig();
    void SaveConfig();
    // The same keys in another file (tagsmith-cli's --state), with `extra`
    // keys of the caller's own saved in the same replacement of the file.
    // False when the file could not be replaced; `refused` counts keys whose
    // text the file cannot hold (they keep their previous values).
    void LoadConfig(const std::string& path);
    bool SaveConfig(const std::string& path, std::span<const ProfileEntry> extra = {},
                    size_t* refused = nullptr);
    // The end of the main window: settings saved, current device closed.
    void DestroyWindow();

    // ---- PageHost ----
    int IsWriteMode() override { return core.IsWriteMode(); }
    void AppendLog(const std::u16string& line) override { core.AppendLog(line); }
    int WriteDeviceSN(const std::u16string& id) override { return core.WriteDeviceSN(id); }
    MsgAnswer MessageBox(const std::u16string& text, MsgButtons buttons, MsgIcon icon,
                         const std::u16string& caption = std::u16string()) override;
    void Sleep(uint32_t ms) override { core.Sleep(ms); }
    bool RunPicker(CDlgListID& picker) override;
    bool AutomaticWriteAllowed() override;
    void ListLoaded(IdList& ids) override { ResumeListFromLedger(core, ids); }
    bool CounterStart(const std::u16string& prefix, const std::u16string& counter,
                      const std::u16string& suffix, bool down, std::u16string* start) override {
        return CounterStartFromLedger(core, prefix, counter, suffix, down, start);
    }
    SharedCounter TakeCounter(const std::u16string& prefix, const std::u16string& suffix, bool down,
                              const std::u16string& start,
                              std::optional<std::u16string>* value) override {
        return TakeSharedCounter(core, prefix, suffix, down, start, value);
    }
    bool LastWriteFoundIdTaken() override { return core.Ledger().lastTaken; }
    bool WrittenBefore(const std::u16string& id, std::u16string* when,
                       std::u16string* station) override {
        return HeldInLedger(core, id, when, station);
    }

private:
    // Shows page `index` and makes it the one dispatch works on.
    void SelectTab(int index);
};

}  // namespace ts
