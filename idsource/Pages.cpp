// The logic of the three ID pages and the ID picker. Message texts, icons,
// buttons and waits are the product's; the views only mirror the fields.
#include "idsource/Pages.h"

#include <filesystem>
#include <system_error>

#include "idsource/HexId.h"
#include "platform/Codepage.h"

namespace ts {

namespace {

constexpr char16_t kReadModeNoWrite[] = u"读取模式下无法进行烧写操作，请先将软件置于烧写模式！";
constexpr char16_t kReady[] = u"软件就绪，请插入设备进行烧写操作……";

// Only a-z: IDs are hexadecimal, and other scripts have no case worth folding.
std::u16string AsciiUpper(std::u16string text) {
    for (char16_t& c : text) {
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    }
    return text;
}

// Spaces, carriage returns and tabs; line feeds stay (the write flow refuses them).
std::u16string WithoutBlanks(const std::u16string& text) {
    std::u16string out;
    out.reserve(text.size());
    for (char16_t c : text) {
        if (c != u' ' && c != u'\r' && c != u'\t') out.push_back(c);
    }
    return out;
}

// A file or folder at the path; an empty path names nothing.
bool PathExists(const std::u16string& path) {
    if (path.empty()) return false;
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::path(WideToUtf8(path)), ec);
}

}  // namespace

std::u16string RewriteQuestion(const std::u16string& when, const std::u16string& station) {
    return u"该ID已于 " + when + u" 在工位 " + station + u" 烧写过，确定要再次烧写？";
}

// ----------------------------------------------------------------- picker ---

void CDlgListID::OnInitDialog() {
    rows_.clear();
    if (m_pIdList && !m_pIdList->empty()) rows_ = m_pIdList->FilterByPrefix(std::u16string_view());
    filter_.clear();
    m_selectedId.clear();
    Notify();
}

void CDlgListID::OnFilterChanged(const std::u16string& text) {
    m_selectedId.clear();
    ApplyFilter(text);
}

void CDlgListID::ApplyFilter(const std::u16string& text) {
    filter_ = text;
    rows_.clear();
    if (m_pIdList && !m_pIdList->empty()) rows_ = m_pIdList->FilterByPrefix(AsciiUpper(text));
    Notify();
}

void CDlgListID::OnRowClicked(size_t row) {
    if (row >= rows_.size() || !m_pIdList) return;
    m_selectedId = std::u16string(m_pIdList->Text(rows_[row]));
    Notify();
}

bool CDlgListID::OnRowDoubleClicked(size_t row) {
    if (row >= rows_.size() || !m_pIdList) return false;
    m_selectedId = std::u16string(m_pIdList->Text(rows_[row]));
    Notify();
    return true;
}

CDlgListID::ChooseResult CDlgListID::OnChooseClicked() {
    if (!m_selectedId.empty()) return ChooseResult::CloseOk;
    // Nobody to ask: keep the dialog open, as a No would.
    if (!host_) return ChooseResult::StayOpen;
    MsgAnswer a = host_->MessageBox(u"您没有选择任何ID，确定要退出选择？", MsgButtons::YesNo,
                                    MsgIcon::None, u"警告");
    return a == MsgAnswer::Yes ? ChooseResult::CloseCancel : ChooseResult::StayOpen;
}

// ----------------------------------------------------------- ID list page ---

CDlgCh1::CDlgCh1(PageHost* host) : m_picker(host), host_(host) {}

void CDlgCh1::SetHost(PageHost* host) {
    host_ = host;
    m_picker.SetHost(host);
}

bool CDlgCh1::LoadIdFile(const std::u16string& path) {
    if (path.empty()) return false;
    std::vector<uint32_t> lines;
    if (ReadIdFile(WideToUtf8(path), &m_ids, nullptr, &lines) != IdFileError::None) return false;
    m_cursor = 0;
    m_lines = std::move(lines);
    m_loadedPath = path;
    // Entries a device holds already are never offered as unused.
    if (host_) host_->ListLoaded(m_ids);
    return true;
}

IdOrigin CDlgCh1::Origin() const {
    IdOrigin o;
    o.kind = IdOrigin::Kind::File;
    o.filePath = m_loadedPath;
    if (m_cursor < m_lines.size()) o.line = m_lines[m_cursor];
    return o;
}

void CDlgCh1::ReloadIdFile(const std::u16string& path) {
    if (!LoadIdFile(path)) return;
    pathText = path;
    // Entries the ledger holds are used already: the first unused one shows.
    uint32_t next = m_cursor;
    ShowIdText(m_ids.AdvanceToUnused(next) ? m_ids.Text(next) : std::u16string_view());
    Notify();
}

void CDlgCh1::SetPathText(const std::u16string& text) {
    pathText = text;
    Notify();
}

void CDlgCh1::OnIdFileChosen(const std::u16string& path) {
    // An empty path is a cancelled dialog.
    ReloadIdFile(path);
}

void CDlgCh1::OnBnClickedAutoWrite() {
    if (!host_) return;
    if (!host_->IsWriteMode()) {
        host_->MessageBox(kReadModeNoWrite, MsgButtons::Ok, MsgIcon::Error);
        return;
    }
    if (!PathExists(pathText)) {
        host_->MessageBox(u"找不到id文件，无法进行自动烧写操作！", MsgButtons::Ok, MsgIcon::Error);
        return;
    }
    if (!m_autoWrite && !host_->AutomaticWriteAllowed()) return;
    m_autoWrite = !m_autoWrite;
    autoWriteButtonText = m_autoWrite ? u"停止烧写" : u"自动烧写";
    Notify();
    host_->EnableMainControls(!m_autoWrite);
    if (m_autoWrite) {
        host_->AppendLog(kReady);
        ShowNextUnusedId();
    }
    EnableManualWriteButton(false);
}

void CDlgCh1::OnBnClickedManualWrite() {
    if (!host_) return;
    m_picker.SetIdList(&m_ids);
    if (!host_->RunPicker(m_picker)) return;
    const std::u16string id = m_picker.GetSelectedId();
    if (id.empty()) return;

    SetCurrentIdText(id);
    host_->Sleep(300);

    // The ledger knows of writes by every station and run: an ID written
    // before is asked about with when and where, and then once only.
    std::u16string when, station;
    const bool asked = host_->WrittenBefore(id, &when, &station);
    if (asked && host_->MessageBox(RewriteQuestion(when, station), MsgButtons::YesNo,
                                   MsgIcon::Question) != MsgAnswer::Yes)
        return;
    // Asked once per used copy; the last copy is the one marked.
    IdList::Match match = m_ids.FindLastMatch(id, [this, asked](size_t) {
        return asked || host_->MessageBox(u"您选择的ID已被使用，确定要再次使用？", MsgButtons::YesNo,
                                          MsgIcon::Information) == MsgAnswer::Yes;
    });
    if (match.stopped) return;

    host_->EnableMainControls(false);
    manualWriteEnabled = false;
    autoWriteButtonEnabled = false;
    Notify();
    host_->Sleep(100);

    const int result = host_->WriteDeviceSN(id);
    // The list cannot be reloaded meanwhile (its button is locked), but check
    // that the remembered entry still holds the ID before marking it.
    if (result == 0 && match.last != IdList::npos && m_ids.Text(match.last) == id) {
        m_ids.MarkUsed(match.last);
    }

    host_->EnableMainControls(true);
    autoWriteButtonEnabled = true;
    Notify();
}

bool CDlgCh1::WriteNextIdAuto() {
    if (!host_) return false;
    if (m_cursor >= m_ids.size()) {
        host_->MessageBox(u"id文件的id已经烧写完毕，请重新选择id文件之后再行烧录！", MsgButtons::Ok,
                          MsgIcon::Information);
        SetCurrentIdText(std::u16string());
        return false;
    }
    std::u16string id;
    for (;;) {
        id.clear();
        if (m_ids.AdvanceToUnused(m_cursor)) id.assign(m_ids.Text(m_cursor));
        ShowListEntry(id);
        if (id.empty()) return false;
        if (host_->WriteDeviceSN(id) == 0) break;
        // Taken meanwhile by another run: it counts as used, and the same
        // device gets the next one.
        if (!host_->LastWriteFoundIdTaken() || m_cursor >= m_ids.size() ||
            m_ids.Text(m_cursor) != id)
            return false;
        m_ids.MarkUsed(m_cursor);
    }

    if (m_cursor < m_ids.size() && m_ids.Text(m_cursor) == id) {
        if (m_ids.MarkUsedAndAdvance(m_cursor)) ShowListEntry(m_ids.Text(m_cursor));
    }
    return true;
}

bool CDlgCh1::TakeNextUnusedId(std::u16string& id) {
    if (!m_ids.AdvanceToUnused(m_cursor)) return false;
    id.assign(m_ids.Text(m_cursor));
    ShowListEntry(id);
    return true;
}

std::u16string CDlgCh1::AnnounceId() {
    std::u16string id;
    TakeNextUnusedId(id);
    return id;
}

void CDlgCh1::DeviceReady() {
    if (m_autoWrite) {
        WriteNextIdAuto();
    } else {
        EnableManualWriteButton(true);
    }
}

bool CDlgCh1::ResumeAt(uint32_t index) {
    if (index > m_ids.size()) return false;
    for (uint32_t i = 0; i < index; ++i) m_ids.MarkUsed(i);
    m_cursor = index;
    return true;
}

bool CDlgCh1::HasIdLeft() const {
    uint32_t cursor = m_cursor;
    return m_ids.AdvanceToUnused(cursor) && !m_ids.Text(cursor).empty();
}

void CDlgCh1::ShowNextUnusedId() {
    if (!m_ids.AdvanceToUnused(m_cursor)) return;
    ShowListEntry(m_ids.Text(m_cursor));
}

void CDlgCh1::SetCurrentIdText(const std::u16string& text) {
    currentIdText = text;
    Notify();
}

void CDlgCh1::ShowListEntry(std::u16string_view text) {
    ShowIdText(text);
    Notify();
}

// An entry longer than any writable ID (a file that is one huge line) is
// shown cut, ending in "…": showing it must not cost a second copy of the
// list's text, and it is refused when written anyway.
void CDlgCh1::ShowIdText(std::u16string_view text) {
    if (text.size() <= kMaxIdLength) {
        currentIdText.assign(text);
        return;
    }
    currentIdText.assign(text.substr(0, kMaxIdLength));
    currentIdText += u'\u2026';
    currentIdText.shrink_to_fit();
}

void CDlgCh1::EnableIdFileButton(bool enable) {
    idFileButtonEnabled = enable;
    Notify();
}

void CDlgCh1::EnableManualWriteButton(bool enable) {
    manualWriteEnabled = enable;
    Notify();
}

// -------------------------------------------------------------- scan page ---

void CDlgCh2::OnBnClickedWrite() {
    const std::u16string id = AsciiUpper(scanText);
    SetScanId(id);
    if (id.empty() || !host_) return;
    std::u16string when, station;
    if (host_->WrittenBefore(id, &when, &station) &&
        host_->MessageBox(RewriteQuestion(when, station), MsgButtons::YesNo, MsgIcon::Question) !=
            MsgAnswer::Yes)
        return;
    host_->WriteDeviceSN(id);
}

void CDlgCh2::SetScanId(const std::u16string& text) {
    scanText = text;
    Notify();
}

void CDlgCh2::EnableWriteButton(bool enable) {
    writeButtonEnabled = enable;
    Notify();
}

// --------------------------------------------------------- increment page ---

void CDlgCh3::OnBnClickedIncrease() {
    increaseChecked = true;
    decreaseChecked = false;
    m_bIncrease = 1;
    Notify();
}

void CDlgCh3::OnBnClickedDecrease() {
    increaseChecked = false;
    decreaseChecked = true;
    m_bIncrease = 0;
    Notify();
}

void CDlgCh3::OnBnClickedWrite() {
    if (!host_) return;
    if (!host_->IsWriteMode()) {
        host_->MessageBox(kReadModeNoWrite, MsgButtons::Ok, MsgIcon::Error);
        return;
    }
    retryShared_.reset();
    if (!m_bAutoRun) {
        if (!host_->AutomaticWriteAllowed()) return;
        // Counted on past every ID a device holds, before anything is armed.
        std::u16string start;
        const std::u16string counter = AsciiUpper(GetCounter());
        if (!host_->CounterStart(AsciiUpper(GetPrefix()), counter, AsciiUpper(GetSuffix()),
                                 m_bIncrease == 0, &start)) {
            constexpr char16_t kNoneLeft[] = u"自变数据段已无可用的值，所有可能的ID均已烧写……";
            host_->AppendLog(kNoneLeft);
            host_->MessageBox(kNoneLeft, MsgButtons::Ok, MsgIcon::Error);
            return;
        }
        if (start != counter) {
            host_->AppendLog(u"自变数据段跳过已烧写的ID，从 " + start + u" 继续");
            SetCounter(start);
            g_bCounterAtZero = 0;
        }
    }
    m_bAutoRun = m_bAutoRun ? 0 : 1;
    writeButtonText = m_bAutoRun ? u"停止" : u"烧写";
    Notify();
    host_->EnableMainControls(!m_bAutoRun);
    if (m_bAutoRun) host_->AppendLog(kReady);
    SetCounter(AsciiUpper(GetCounter()));
    SetPrefix(AsciiUpper(GetPrefix()));
    SetSuffix(AsciiUpper(GetSuffix()));
}

IdOrigin CDlgCh3::Origin() const {
    IdOrigin o;
    o.kind = IdOrigin::Kind::Counter;
    o.prefix = WithoutBlanks(GetPrefix());
    o.suffix = WithoutBlanks(GetSuffix());
    o.down = m_bIncrease == 0;
    return o;
}

void CDlgCh3::WriteNextId() {
    if (!host_) return;
    const std::u16string prefix = GetPrefix();
    const std::u16string counter = GetCounter();
    const std::u16string suffix = GetSuffix();

    if (counter == u"0" && g_bCounterAtZero && m_bIncrease == 0) {
        constexpr char16_t kZero[] = u"自变数据段不能留空或者为零……";
        host_->AppendLog(kZero);
        host_->MessageBox(kZero, MsgButtons::Ok, MsgIcon::Error);
        return;
    }
    g_bCounterAtZero = 0;

    std::u16string current = counter;
    for (;;) {
        std::optional<std::u16string> shared;
        // A value whose write failed is offered again; the ledger refuses
        // it should it be held meanwhile (in doubt, taken by another run).
        PageHost::SharedCounter taken = PageHost::SharedCounter::Taken;
        if (retryShared_) {
            shared = std::move(retryShared_);
            retryShared_.reset();
        } else {
            taken = host_->TakeCounter(prefix, suffix, m_bIncrease == 0, WithoutBlanks(current),
                                       &shared);
        }
        switch (taken) {
            case PageHost::SharedCounter::Unshared:
                break;
            case PageHost::SharedCounter::Failed:
                return;
            case PageHost::SharedCounter::Taken:
                if (!shared) {
                    // The line counted down to its end: this run stops too.
                    host_->AppendLog(u"自变数据段已无可用的值，所有可能的ID均已烧写……");
                    SetCounter(u"0");
                    g_bCounterAtZero = 1;
                    return;
                }
                current = *shared;
                break;
        }
        const bool written = host_->WriteDeviceSN(WithoutBlanks(prefix + current + suffix)) == 0;
        // An ID taken meanwhile by another run is passed over: the same
        // device gets the next one.
        if (!written && !host_->LastWriteFoundIdTaken()) {
            if (taken == PageHost::SharedCounter::Taken) retryShared_ = current;
            return;
        }
        std::u16string next = ParseHexCounter(WithoutBlanks(current));
        if (m_bIncrease) {
            IncrementHex(next);
        } else {
            DecrementHex(next);
        }
        SetCounter(next);
        g_bCounterAtZero = next == u"0" ? 1 : 0;
        // Counting down stops at zero, as after a write.
        if (written || (m_bIncrease == 0 && g_bCounterAtZero)) return;
        current = next;
    }
}

bool CDlgCh3::HasIdLeft() const {
    return !(m_bIncrease == 0 && g_bCounterAtZero && GetCounter() == u"0");
}

std::u16string CDlgCh3::GetCounter() const { return ParseHexCounter(counterText); }

void CDlgCh3::SetPrefix(const std::u16string& text) {
    prefixText = text;
    Notify();
}

void CDlgCh3::SetCounter(const std::u16string& text) {
    counterText = text;
    Notify();
}

void CDlgCh3::SetSuffix(const std::u16string& text) {
    suffixText = text;
    Notify();
}

void CDlgCh3::SetDirection(int up) {
    // Like checking one radio button directly: the other keeps its state.
    if (up) {
        increaseChecked = true;
        m_bIncrease = 1;
    } else {
        decreaseChecked = true;
        m_bIncrease = 0;
    }
    Notify();
}

void CDlgCh3::EnableInputs(bool enable) {
    inputsEnabled = enable;
    Notify();
}

}  // namespace ts
