// The main window's own behaviour: wiring, mode handlers, tabs, the control
// lock, the log button and the end of the window.
#include "app/MainDialog.h"

#include <utility>

namespace ts {

namespace {
constexpr int kTabCount = 3;
}

MainDialog::MainDialog() {
    // The pages reach the window as they would through its process-wide
    // pointer; the core reaches them, in tab order, as ID pages.
    m_page1.SetHost(this);
    m_page2.SetHost(this);
    m_page3.SetHost(this);
    IdPage* const pages[kTabCount] = {&m_page1, &m_page2, &m_page3};
    core.SetPages(pages);
    core.SelectPage(tabIndex);
}

MainDialog::~MainDialog() {
    // The core outlives nothing it points to: drop the pages first.
    core.SetPages({});
}

void MainDialog::SelectTab(int index) {
    tabIndex = index;
    core.SelectPage(index);
}

StationOpen MainDialog::OnInitDialog(StationParts parts) {
    if (!parts.loadSettings) parts.loadSettings = [this] { LoadConfig(); };
    return OpenStation(core, parts);
}

StationOpen MainDialog::OnInitDialog(const std::string& exeDir) {
    StationParts parts;
    parts.appDir = exeDir;
    return OnInitDialog(std::move(parts));
}

void MainDialog::OnWriteMode() {
    core.SetWriteMode(true);
    writeRadioChecked = true;
    readRadioChecked = false;
    tabEnabled = true;
    Notify();
    m_page1.EnableIdFileButton(true);
    m_page1.ShowNextUnusedId();
}

void MainDialog::OnReadMode() {
    core.SetWriteMode(false);
    readRadioChecked = true;
    writeRadioChecked = false;
    SelectTab(0);
    tabEnabled = false;
    Notify();
    m_page1.EnableIdFileButton(false);
}

void MainDialog::OnTabSelChange(int index) {
    if (index < 0 || index >= kTabCount) return;
    SelectTab(index);
    Notify();
}

void MainDialog::EnableMainControls(bool enable) {
    readRadioEnabled = enable;
    writeRadioEnabled = enable;
    closeEnabled = enable;  // the close button, the title-bar close and Alt+F4
    tabEnabled = enable;
    Notify();
    m_page1.EnableIdFileButton(enable);
    m_page3.EnableInputs(enable);
}

void MainDialog::OnClearLog() { core.GetLogView()->SetText(std::u16string()); }

MsgAnswer MainDialog::MessageBox(const std::u16string& text, MsgButtons buttons, MsgIcon icon,
                                 const std::u16string& caption) {
    return core.MessageBox(text, buttons, icon,
                           caption.empty() ? std::u16string(kAppTitle) : caption);
}

bool MainDialog::RunPicker(CDlgListID& picker) {
    // Every showing starts afresh: all rows, empty filter, no choice.
    picker.OnInitDialog();
    return runPicker ? runPicker(picker) : false;
}

bool MainDialog::AutomaticWriteAllowed() {
    const std::u16string& fault = core.Ledger().Fault();
    if (fault.empty()) return true;
    MessageBox(
        u"无法使用ID记录，自动烧写不会开始：\n" + fault + u"\n" + LedgerFaultAdvice(core.Ledger()),
        MsgButtons::Ok, MsgIcon::Error);
    return false;
}

void MainDialog::DestroyWindow() {
    SaveConfig();
    core.CloseCurrentDevice();
}

}  // namespace ts
