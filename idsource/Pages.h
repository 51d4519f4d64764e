#pragma once
// The logic of the three ID pages and the ID picker, without any widget: each
// page's fields and buttons are plain state that the desktop program's views
// mirror (onChange tells them to refresh). The pages reach the main window
// through PageHost, as they would through the main window pointer.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "idsource/IdList.h"
#include "idsource/IdPage.h"
#include "ports/UiPorts.h"

namespace ts {

class CDlgListID;

// What the pages need of the main window.
class PageHost {
public:
    virtual ~PageHost() = default;
    virtual int IsWriteMode() = 0;
    virtual void EnableMainControls(bool enable) = 0;
    virtual void AppendLog(const std::u16string& line) = 0;
    virtual int WriteDeviceSN(const std::u16string& id) = 0;
    // Caption: the application's title unless given.
    virtual MsgAnswer MessageBox(const std::u16string& text, MsgButtons buttons, MsgIcon icon,
                                 const std::u16string& caption = std::u16string()) = 0;
    virtual void Sleep(uint32_t ms) = 0;
    // Shows the picker modally; true when it closed with OK.
    virtual bool RunPicker(CDlgListID& picker) = 0;

    // ---- what the record of written IDs adds (defaults: no record) ----
    // False, after telling the operator why, when IDs may not be written by
    // themselves now (the record of written IDs cannot be used).
    virtual bool AutomaticWriteAllowed() { return true; }
    // A list was loaded: entries that devices hold already are marked used.
    virtual void ListLoaded(IdList& ids) { (void)ids; }
    // A counter is armed: the counter to start from so that no ID a device
    // holds comes again (the counter itself when none is in the way). False
    // when counting down has no value left.
    virtual bool CounterStart(const std::u16string& prefix, const std::u16string& counter,
                              const std::u16string& suffix, bool down, std::u16string* start) {
        (void)prefix, (void)suffix, (void)down;
        *start = counter;
        return true;
    }
    // Where the stations of a line share one counter (their ledger keeps
    // it): the counter value of this station's next ID, taken so that no
    // other station gets it; `start` is the page's own counter. Empty value:
    // counting down is done. Unshared: the page counts by itself. Failed:
    // nothing may be written now (the log says why).
    enum class SharedCounter { Unshared, Taken, Failed };
    virtual SharedCounter TakeCounter(const std::u16string& prefix, const std::u16string& suffix,
                                      bool down, const std::u16string& start,
                                      std::optional<std::u16string>* value) {
        (void)prefix, (void)suffix, (void)down, (void)start, (void)value;
        return SharedCounter::Unshared;
    }
    // After a failed write: whether it failed because the ID had been taken
    // meanwhile (by another run or station), so the next ID is to be used.
    virtual bool LastWriteFoundIdTaken() { return false; }
    // Whether `id` was written to a device before; `when` and `station` say
    // when (local time) and where.
    virtual bool WrittenBefore(const std::u16string& id, std::u16string* when,
                               std::u16string* station) {
        (void)id, (void)when, (void)station;
        return false;
    }
};

// Views observe state through this; a setter that changes what is shown
// calls Notify().
struct Observable {
    std::function<void()> onChange;
    void Notify() {
        if (onChange) onChange();
    }
};

// The question before an ID is written again that, by the record of written
// IDs, a device got at `when` on `station`.
std::u16string RewriteQuestion(const std::u16string& when, const std::u16string& station);

// ---------------------------------------------------------------- picker ---
// The ID picker's logic: rows are indices into the page's list, so a million
// IDs are never copied.
class CDlgListID : public Observable {
public:
    enum class ChooseResult { CloseOk, CloseCancel, StayOpen };

    explicit CDlgListID(PageHost* host = nullptr) : host_(host) {}
    void SetHost(PageHost* host) { host_ = host; }
    void SetIdList(const IdList* list) { m_pIdList = list; }
    const IdList* GetIdList() const { return m_pIdList; }

    // Opening: every row, empty filter, no choice.
    void OnInitDialog();
    // Every change of the filter field.
    void OnFilterChanged(const std::u16string& text);
    void ApplyFilter(const std::u16string& text);
    void OnRowClicked(size_t row);
    // True when the dialog closes with OK (the row was hit).
    bool OnRowDoubleClicked(size_t row);
    // Button 1027 ("选择") or Enter.
    ChooseResult OnChooseClicked();
    std::u16string GetSelectedId() const { return m_selectedId; }

    const std::vector<uint32_t>& Rows() const { return rows_; }
    const std::u16string& FilterText() const { return filter_; }

    std::u16string m_selectedId;
    const IdList* m_pIdList = nullptr;

private:
    PageHost* host_;
    std::vector<uint32_t> rows_;
    std::u16string filter_;
};

// -------------------------------------------------------- ID list page ---
class CDlgCh1 : public Observable, public IdPage {
public:
    explicit CDlgCh1(PageHost* host = nullptr);
    void SetHost(PageHost* host);

    // A. After the file-open dialog returned a path (the dialog is the view's).
    void OnIdFileChosen(const std::u16string& path);
    // B. Button 1009.
    void OnBnClickedAutoWrite();
    // C. Button 1008.
    void OnBnClickedManualWrite();
    // D.
    bool WriteNextIdAuto();
    // E.
    bool TakeNextUnusedId(std::u16string& id);
    void ShowNextUnusedId();

    bool LoadIdFile(const std::u16string& path);
    void ReloadIdFile(const std::u16string& path);
    void SetCurrentIdText(const std::u16string& text);
    // Shows an entry of the list (cut when longer than any writable ID).
    void ShowListEntry(std::u16string_view text);
    bool IsAutoWriting() const { return m_autoWrite; }
    void EnableIdFileButton(bool enable);
    void EnableManualWriteButton(bool enable);
    // Resumes a list at `index`: the IDs before it count as used.
    // False (nothing changed) when the list is shorter than that.
    bool ResumeAt(uint32_t index);
    uint32_t Position() const { return m_cursor; }
    // Whether an unused ID remains at or after the position.
    bool HasIdLeft() const;
    std::u16string GetIdFilePath() const { return pathText; }
    // The path field changed by the operator (its context menu pastes and
    // deletes): the automatic write and the saved settings use what it shows.
    // The loaded list stays as it is.
    void SetPathText(const std::u16string& text);

    // ---- IdPage: the next unused ID, written by itself while automatic ----
    std::u16string AnnounceId() override;
    void ShowId(const std::u16string& text) override { SetCurrentIdText(text); }
    bool WritesAutomatically() const override { return m_autoWrite; }
    void DeviceReady() override;
    void DeviceGone() override { EnableManualWriteButton(false); }
    IdOrigin Origin() const override;

    // View state (controls 1004, 1005, 1007, 1008, 1009).
    std::u16string pathText;             // 1005
    std::u16string currentIdText;        // 1007
    bool idFileButtonEnabled = true;     // 1004
    bool manualWriteEnabled = false;     // 1008
    bool autoWriteButtonEnabled = true;  // 1009
    std::u16string autoWriteButtonText = u"自动烧写";

    IdList m_ids;
    // The file line of every entry, and the file they were read from.
    std::vector<uint32_t> m_lines;
    std::u16string m_loadedPath;
    CDlgListID m_picker;
    uint32_t m_cursor = 0;
    bool m_autoWrite = false;

private:
    void ShowIdText(std::u16string_view text);  // currentIdText, cut as ShowListEntry cuts

    PageHost* host_;
};

// ------------------------------------------------------------ scan page ---
class CDlgCh2 : public Observable, public IdPage {
public:
    explicit CDlgCh2(PageHost* host = nullptr) : host_(host) {}
    void SetHost(PageHost* host) { host_ = host; }
    void OnBnClickedWrite();
    std::u16string GetScanId() const { return scanText; }
    void SetScanId(const std::u16string& text);
    void EnableWriteButton(bool enable);

    // ---- IdPage: the typed ID, written by the operator ----
    std::u16string AnnounceId() override { return scanText; }
    void ShowId(const std::u16string& text) override { SetScanId(text); }
    bool WritesAutomatically() const override { return false; }
    void DeviceReady() override { EnableWriteButton(true); }
    void DeviceGone() override { EnableWriteButton(false); }
    IdOrigin Origin() const override {
        IdOrigin o;
        o.kind = IdOrigin::Kind::Scan;
        return o;
    }

    std::u16string scanText;          // 1011
    bool writeButtonEnabled = false;  // 1012

private:
    PageHost* host_;
};

// ------------------------------------------------------- increment page ---
class CDlgCh3 : public Observable, public IdPage {
public:
    explicit CDlgCh3(PageHost* host = nullptr) : host_(host) {}
    void SetHost(PageHost* host) { host_ = host; }

    void OnBnClickedIncrease();
    void OnBnClickedDecrease();
    void OnBnClickedWrite();  // arm or disarm
    void WriteNextId();

    std::u16string GetPrefix() const { return prefixText; }
    std::u16string GetCounter() const;
    std::u16string GetSuffix() const { return suffixText; }
    void SetPrefix(const std::u16string& text);
    void SetCounter(const std::u16string& text);
    void SetSuffix(const std::u16string& text);
    void SetDirection(int up);
    int IsIncrease() const { return increaseChecked ? 1 : 0; }
    void EnableInputs(bool enable);
    int IsAutoRun() const { return m_bAutoRun; }
    // The zero guard's state (a resumed run restores it).
    bool CounterAtZero() const { return g_bCounterAtZero != 0; }
    void SetCounterAtZero(bool atZero) { g_bCounterAtZero = atZero ? 1 : 0; }
    // False once a count-down stopped at its zero guard.
    bool HasIdLeft() const;

    // ---- IdPage: prefix, counter and suffix; counts on by itself when armed ----
    std::u16string AnnounceId() override { return GetPrefix() + GetCounter() + GetSuffix(); }
    void ShowId(const std::u16string&) override {}
    bool WritesAutomatically() const override { return m_bAutoRun != 0; }
    void DeviceReady() override {
        if (m_bAutoRun) WriteNextId();
    }
    void DeviceGone() override {}
    IdOrigin Origin() const override;

    // View state (controls 1014, 1015, 1020, 1021, 1022, 1012).
    std::u16string prefixText, counterText, suffixText;
    bool increaseChecked = false;
    bool decreaseChecked = false;
    bool inputsEnabled = true;
    std::u16string writeButtonText = u"烧写";

    int m_bIncrease = 0;
    int m_bAutoRun = 0;

private:
    PageHost* host_;
    // Set when the last successful automatic write left the counter at zero.
    int g_bCounterAtZero = 0;
    // A value of the line's shared counter whose write failed without the ID
    // becoming held (nothing reached the device): the next device gets it
    // instead of a new one, so no value is lost.
    std::optional<std::u16string> retryShared_;
};

}  // namespace ts
