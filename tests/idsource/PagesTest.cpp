// The three ID pages and the picker over a scripted main window.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "idsource/HexId.h"
#include "idsource/Pages.h"
#include "platform/Codepage.h"
#include "tests/support/TestSupport.h"

namespace ts {
namespace {

using test::TempDir;
using test::WriteFile;

// The main window as the pages see it: answers from scripts, everything the
// pages do recorded in order in `trace`.
class FakeHost : public PageHost {
public:
    int writeMode = 1;
    std::deque<MsgAnswer> answers;  // empty: OK boxes Ok, Yes/No boxes No
    std::deque<int> writeResults;   // empty: 0
    std::vector<MessageRequest> boxes;
    std::vector<std::u16string> logs;
    std::vector<std::u16string> writes;
    std::vector<std::string> trace;
    std::function<bool(CDlgListID&)> picker;
    bool locked = false;

    int IsWriteMode() override { return writeMode; }
    void EnableMainControls(bool enable) override {
        locked = !enable;
        trace.push_back(enable ? "unlock" : "lock");
    }
    void AppendLog(const std::u16string& line) override {
        logs.push_back(line);
        trace.push_back("log");
    }
    int WriteDeviceSN(const std::u16string& id) override {
        writes.push_back(id);
        trace.push_back("write " + WideToUtf8(id));
        if (writeResults.empty()) return 0;
        int r = writeResults.front();
        writeResults.pop_front();
        return r;
    }
    MsgAnswer MessageBox(const std::u16string& text, MsgButtons buttons, MsgIcon icon,
                         const std::u16string& caption) override {
        boxes.push_back(MessageRequest{text, caption, buttons, icon});
        trace.push_back("box");
        if (!answers.empty()) {
            MsgAnswer a = answers.front();
            answers.pop_front();
            return a;
        }
        return buttons == MsgButtons::Ok ? MsgAnswer::Ok : MsgAnswer::No;
    }
    void Sleep(uint32_t ms) override { trace.push_back("sleep " + std::to_string(ms)); }
    bool RunPicker(CDlgListID& p) override {
        trace.push_back("picker");
        p.OnInitDialog();
        return picker ? picker(p) : false;
    }
};

constexpr char16_t kReadModeMsg[] = u"读取模式下无法进行烧写操作，请先将软件置于烧写模式！";
constexpr char16_t kNoFileMsg[] = u"找不到id文件，无法进行自动烧写操作！";
constexpr char16_t kExhaustedMsg[] = u"id文件的id已经烧写完毕，请重新选择id文件之后再行烧录！";
constexpr char16_t kUsedMsg[] = u"您选择的ID已被使用，确定要再次使用？";
constexpr char16_t kReadyMsg[] = u"软件就绪，请插入设备进行烧写操作……";
constexpr char16_t kZeroMsg[] = u"自变数据段不能留空或者为零……";

std::vector<std::u16string> U16(const std::vector<std::string>& v) {
    std::vector<std::u16string> out;
    for (const auto& s : v) out.push_back(Utf8ToWide(s));
    return out;
}

// A picker script: click the row showing `id`, then press "选择".
std::function<bool(CDlgListID&)> PickId(std::u16string id) {
    return [id](CDlgListID& p) {
        for (size_t r = 0; r < p.Rows().size(); ++r) {
            if (p.GetIdList()->Text(p.Rows()[r]) == id) {
                p.OnRowClicked(r);
                break;
            }
        }
        return p.OnChooseClicked() == CDlgListID::ChooseResult::CloseOk;
    };
}

class ListPageTest : public ::testing::Test {
protected:
    TempDir dir;
    FakeHost host;
    CDlgCh1 page{&host};

    std::u16string MakeFile(const std::string& name, const std::string& bytes) {
        WriteFile(dir.Path() / name, bytes);
        return Utf8ToWide((dir.Path() / name).string());
    }
    void Load(const std::string& bytes) {
        page.OnIdFileChosen(MakeFile("list.ids", bytes));
        ASSERT_FALSE(page.pathText.empty());
    }
    void StartAuto() {
        page.OnBnClickedAutoWrite();
        ASSERT_TRUE(page.IsAutoWriting());
    }
};

// An entry longer than any writable ID is shown cut (a file of one huge line
// must not be copied whole for the view), and still sent whole, to be
// refused by the write flow; entries up to that length show as they are.
TEST_F(ListPageTest, AnEntryLongerThanAnyWritableIdIsShownCut) {
    struct Case {
        size_t length;
        bool cut;
    };
    for (const Case c :
         {Case{kMaxIdLength, false}, Case{kMaxIdLength + 1, true}, Case{size_t{1} << 20, true}}) {
        SCOPED_TRACE(c.length);
        const std::string id(c.length, 'A');
        Load(id + "\n");
        const std::u16string shown = page.currentIdText;
        EXPECT_EQ(shown, c.cut ? std::u16string(kMaxIdLength, u'A') + u"\u2026" : Utf8ToWide(id));
        host.writes.clear();
        StartAuto();
        page.DeviceReady();
        ASSERT_EQ(host.writes.size(), 1u);
        EXPECT_EQ(host.writes[0].size(), c.length) << "the whole entry is sent";
        page.OnBnClickedAutoWrite();
    }
}

TEST_F(ListPageTest, LoadShowsPathAndFirstIdAndRefusedLoadChangesNothing) {
    Load("a1\r\nB2\r\n");
    EXPECT_EQ(page.currentIdText, u"A1");
    const std::u16string path = page.pathText;

    // Refused loads: missing, empty, a byte-order mark only, a cancelled dialog.
    page.m_ids.MarkUsed(0);
    page.m_cursor = 1;
    for (const std::u16string& bad :
         {Utf8ToWide((dir.Path() / "missing.ids").string()), MakeFile("empty.ids", ""),
          MakeFile("bom.ids", "\xEF\xBB\xBF"), std::u16string()}) {
        page.OnIdFileChosen(bad);
        EXPECT_EQ(page.pathText, path);
        EXPECT_EQ(page.currentIdText, u"A1");
        EXPECT_EQ(page.m_ids.size(), 2u);
        EXPECT_TRUE(page.m_ids.IsUsed(0));
        EXPECT_EQ(page.m_cursor, 1u);
    }
    EXPECT_TRUE(host.boxes.empty());

    // A good reload clears the marks and the cursor but keeps automatic writing.
    StartAuto();
    page.ReloadIdFile(path);
    EXPECT_EQ(page.m_cursor, 0u);
    EXPECT_FALSE(page.m_ids.IsUsed(0));
    EXPECT_TRUE(page.IsAutoWriting());
}

struct AutoCase {
    const char* name;
    std::string file;
    std::deque<int> results;  // write results, in order
    int arrivals;
    std::vector<std::string> writes;
    std::string current;  // current-ID field afterwards
    int exhaustedBoxes;
};
// Test output names the case instead of dumping its bytes.
void PrintTo(const AutoCase& c, std::ostream* os) { *os << c.name; }

class ListPageAutoTest : public ListPageTest, public ::testing::WithParamInterface<AutoCase> {};

TEST_P(ListPageAutoTest, ArrivalsWriteTheListInOrder) {
    const AutoCase& c = GetParam();
    Load(c.file);
    StartAuto();
    host.writeResults = c.results;
    host.boxes.clear();
    for (int i = 0; i < c.arrivals; ++i) page.WriteNextIdAuto();
    EXPECT_EQ(host.writes, U16(c.writes));
    EXPECT_EQ(page.currentIdText, Utf8ToWide(c.current));
    int exhausted = 0;
    for (const auto& b : host.boxes) {
        EXPECT_EQ(b.text, kExhaustedMsg);
        EXPECT_EQ(b.icon, MsgIcon::Information);
        EXPECT_EQ(b.buttons, MsgButtons::Ok);
        ++exhausted;
    }
    EXPECT_EQ(exhausted, c.exhaustedBoxes);
}

INSTANTIATE_TEST_SUITE_P(
    Scenarios, ListPageAutoTest,
    ::testing::Values(
        // The last ID stays shown until the next arrival, which clears it.
        AutoCase{"ThreeIds", "A1\nA2\nA3\n", {}, 3, {"A1", "A2", "A3"}, "A3", 0},
        AutoCase{"FourthArrivalExhausted", "A1\nA2\nA3\n", {}, 4, {"A1", "A2", "A3"}, "", 1},
        AutoCase{"ExhaustedTwice", "A1\n", {}, 3, {"A1"}, "", 2},
        // A refused or failed write blocks the list at that entry.
        AutoCase{
            "FailureRetriesSameId", "A1\nA2\n", {822, 1, 0}, 4, {"A1", "A1", "A1", "A2"}, "A2", 0},
        AutoCase{"DuplicatesWrittenEach", "A1\nA1\nB2\n", {}, 3, {"A1", "A1", "B2"}, "B2", 0},
        // A file without IDs: one empty entry, nothing ever written, no message.
        AutoCase{"NoIds", "\r\n \r\n", {}, 2, {}, "", 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ListPageTest, AutoButtonChecksModeAndFileBothWays) {
    struct Case {
        int writeMode;
        bool loaded;
        const char16_t* box;
    } cases[] = {{0, true, kReadModeMsg}, {1, false, kNoFileMsg}, {0, false, kReadModeMsg}};
    for (const Case& c : cases) {
        FakeHost h;
        h.writeMode = c.writeMode;
        CDlgCh1 p(&h);
        if (c.loaded) p.OnIdFileChosen(MakeFile("x.ids", "A1\n"));
        p.OnBnClickedAutoWrite();
        ASSERT_EQ(h.boxes.size(), 1u);
        EXPECT_EQ(h.boxes[0].text, c.box);
        EXPECT_EQ(h.boxes[0].icon, MsgIcon::Error);
        EXPECT_TRUE(h.boxes[0].caption.empty());  // the window fills in its title
        EXPECT_FALSE(p.IsAutoWriting());
        EXPECT_EQ(p.autoWriteButtonText, u"自动烧写");
        EXPECT_EQ(h.trace, std::vector<std::string>{"box"});
    }
}

TEST_F(ListPageTest, AutoButtonLocksLogsAndUnlocks) {
    Load("A1\nA2\n");
    page.m_ids.MarkUsed(0);
    page.manualWriteEnabled = true;
    page.OnBnClickedAutoWrite();
    EXPECT_EQ(page.autoWriteButtonText, u"停止烧写");
    EXPECT_EQ(host.trace, (std::vector<std::string>{"lock", "log"}));
    EXPECT_EQ(host.logs, std::vector<std::u16string>{kReadyMsg});
    EXPECT_EQ(page.currentIdText, u"A2");
    EXPECT_FALSE(page.manualWriteEnabled);

    // The file goes away: stopping is refused and writing stays on.
    std::filesystem::remove(dir.Path() / "list.ids");
    page.OnBnClickedAutoWrite();
    EXPECT_TRUE(page.IsAutoWriting());
    EXPECT_EQ(host.boxes.back().text, kNoFileMsg);

    WriteFile(dir.Path() / "list.ids", "A1\n");
    page.manualWriteEnabled = true;
    page.OnBnClickedAutoWrite();
    EXPECT_FALSE(page.IsAutoWriting());
    EXPECT_EQ(page.autoWriteButtonText, u"自动烧写");
    EXPECT_FALSE(host.locked);
    EXPECT_FALSE(page.manualWriteEnabled);
    EXPECT_EQ(host.logs.size(), 1u);  // nothing logged when it goes off
}

TEST_F(ListPageTest, ManualWriteOrderAndMarks) {
    Load("A1\nB2\nC3\n");
    page.manualWriteEnabled = true;
    host.picker = PickId(u"A1");
    page.OnBnClickedManualWrite();
    EXPECT_EQ(host.trace, (std::vector<std::string>{"picker", "sleep 300", "lock", "sleep 100",
                                                    "write A1", "unlock"}));
    EXPECT_TRUE(page.m_ids.IsUsed(0));
    EXPECT_EQ(page.m_cursor, 0u);  // the manual write leaves the cursor
    EXPECT_EQ(page.currentIdText, u"A1");
    EXPECT_FALSE(page.manualWriteEnabled);
    EXPECT_TRUE(page.autoWriteButtonEnabled);

    // The automatic write then starts with the second ID.
    StartAuto();
    page.WriteNextIdAuto();
    EXPECT_EQ(host.writes.back(), u"B2");
}

TEST_F(ListPageTest, ManualWriteAsksOncePerUsedCopyAndMarksTheLast) {
    Load("A1\nB2\nA1\nA1\n");
    page.m_ids.MarkUsed(0);
    page.m_ids.MarkUsed(3);
    host.picker = PickId(u"A1");
    host.answers = {MsgAnswer::Yes, MsgAnswer::Yes};
    page.OnBnClickedManualWrite();
    ASSERT_EQ(host.boxes.size(), 2u);
    for (const auto& b : host.boxes) {
        EXPECT_EQ(b.text, kUsedMsg);
        EXPECT_EQ(b.buttons, MsgButtons::YesNo);
        EXPECT_EQ(b.icon, MsgIcon::Information);
    }
    EXPECT_EQ(host.writes, std::vector<std::u16string>{u"A1"});
    EXPECT_FALSE(page.m_ids.IsUsed(2));
    EXPECT_TRUE(page.m_ids.IsUsed(3));
}

TEST_F(ListPageTest, ManualWriteThatStopsChangesNothing) {
    struct Case {
        const char* name;
        std::function<bool(CDlgListID&)> picker;
        std::deque<MsgAnswer> answers;
        std::deque<int> results;
        bool marked;
    };
    const Case cases[] = {
        {"cancelled", [](CDlgListID&) { return false; }, {}, {}, false},
        {"closed without choice",
         [](CDlgListID& p) { return p.OnChooseClicked() == CDlgListID::ChooseResult::CloseOk; },
         {MsgAnswer::Yes},
         {},
         false},
        {"double click on no row",
         [](CDlgListID& p) { return p.OnRowDoubleClicked(p.Rows().size()); },
         {},
         {},
         false},
        {"used, answered No", PickId(u"B2"), {MsgAnswer::No}, {}, false},
        {"write failed", PickId(u"A1"), {}, {1}, false},
        // The write flow returns 0 when the operator declines to overwrite.
        {"overwrite declined", PickId(u"A1"), {}, {0}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeHost h;
        CDlgCh1 p(&h);
        p.OnIdFileChosen(MakeFile("m.ids", "A1\nB2\n"));
        p.m_ids.MarkUsed(1);
        p.manualWriteEnabled = true;
        h.picker = c.picker;
        h.answers = c.answers;
        h.writeResults = c.results;
        p.OnBnClickedManualWrite();
        EXPECT_EQ(p.m_ids.IsUsed(0), c.marked);
        EXPECT_FALSE(h.locked);
        if (h.writes.empty()) {
            EXPECT_TRUE(p.manualWriteEnabled);
            EXPECT_EQ(std::count(h.trace.begin(), h.trace.end(), "lock"), 0);
        }
    }
}

TEST_F(ListPageTest, EmptyFileOffersOneEmptyRowAndWritesNothing) {
    Load("\r\n\r\n");
    EXPECT_EQ(page.currentIdText, u"");
    host.picker = [](CDlgListID& p) {
        EXPECT_EQ(p.Rows().size(), 1u);
        return p.OnRowDoubleClicked(0);
    };
    page.OnBnClickedManualWrite();
    EXPECT_TRUE(host.writes.empty());
    std::u16string id = u"unchanged";
    EXPECT_TRUE(page.TakeNextUnusedId(id));
    EXPECT_EQ(id, u"");
}

TEST_F(ListPageTest, TakeNextUnusedIdAdvancesOnlyOverUsedEntries) {
    Load("A1\nA2\nA3\n");
    page.m_ids.MarkUsed(0);
    page.m_ids.MarkUsed(1);
    std::u16string id;
    ASSERT_TRUE(page.TakeNextUnusedId(id));
    EXPECT_EQ(id, u"A3");
    EXPECT_EQ(page.m_cursor, 2u);
    page.m_ids.MarkUsed(2);
    page.SetCurrentIdText(u"kept");
    id = u"kept too";
    EXPECT_FALSE(page.TakeNextUnusedId(id));
    EXPECT_EQ(id, u"kept too");
    EXPECT_EQ(page.currentIdText, u"kept");
    EXPECT_EQ(page.m_cursor, 3u);
    // No list at all.
    CDlgCh1 fresh(&host);
    EXPECT_FALSE(fresh.TakeNextUnusedId(id));
    EXPECT_FALSE(fresh.WriteNextIdAuto());
}

// ------------------------------------------------------------------ picker ---

class PickerTest : public ::testing::Test {
protected:
    FakeHost host;
    IdList list;
    CDlgListID picker{&host};
    void SetUp() override {
        for (auto id : {u"A100", u"A200", u"B100", u"A100"}) list.Append(id);
        picker.SetIdList(&list);
        picker.OnInitDialog();
    }
    std::vector<std::u16string> Shown() const {
        std::vector<std::u16string> out;
        for (uint32_t r : picker.Rows()) out.emplace_back(list.Text(r));
        return out;
    }
};

TEST_F(PickerTest, FilterMatchesUpperCasedPrefixInListOrder) {
    struct Case {
        std::u16string filter;
        std::vector<std::u16string> rows;
    } cases[] = {
        {u"a", {u"A100", u"A200", u"A100"}},
        {u"a1", {u"A100", u"A100"}},
        {u"B", {u"B100"}},
        {u"", {u"A100", u"A200", u"B100", u"A100"}},
        {u"A1000", {}},  // longer than every entry
        {u"A 1", {}},    // IDs hold no blanks
        {u"ａ", {}},     // full-width letters are not folded
    };
    for (const Case& c : cases) {
        picker.OnFilterChanged(c.filter);
        EXPECT_EQ(Shown(), c.rows) << WideToUtf8(c.filter);
        EXPECT_EQ(picker.FilterText(), c.filter);
    }
}

TEST_F(PickerTest, ChoosingNeedsAClickAndFilteringForgetsIt) {
    EXPECT_EQ(picker.Rows().size(), 4u);  // duplicates are rows of their own
    picker.OnRowClicked(7);               // misses every row
    EXPECT_TRUE(picker.GetSelectedId().empty());

    // Enter without a click: the warning; No keeps rows and filter.
    picker.OnFilterChanged(u"a");
    host.answers = {MsgAnswer::No};
    EXPECT_EQ(picker.OnChooseClicked(), CDlgListID::ChooseResult::StayOpen);
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].text, u"您没有选择任何ID，确定要退出选择？");
    EXPECT_EQ(host.boxes[0].caption, u"警告");
    EXPECT_EQ(host.boxes[0].buttons, MsgButtons::YesNo);
    EXPECT_EQ(host.boxes[0].icon, MsgIcon::None);
    EXPECT_EQ(picker.Rows().size(), 3u);
    EXPECT_EQ(picker.FilterText(), u"a");

    picker.OnRowClicked(1);
    EXPECT_EQ(picker.GetSelectedId(), u"A200");
    EXPECT_EQ(picker.OnChooseClicked(), CDlgListID::ChooseResult::CloseOk);

    // Typing after a click empties the choice even with the row still shown.
    picker.OnFilterChanged(u"A2");
    EXPECT_TRUE(picker.GetSelectedId().empty());
    host.answers = {MsgAnswer::Yes};
    EXPECT_EQ(picker.OnChooseClicked(), CDlgListID::ChooseResult::CloseCancel);

    EXPECT_FALSE(picker.OnRowDoubleClicked(1));
    EXPECT_TRUE(picker.OnRowDoubleClicked(0));
    EXPECT_EQ(picker.GetSelectedId(), u"A200");

    // A new showing starts afresh.
    picker.OnInitDialog();
    EXPECT_EQ(picker.Rows().size(), 4u);
    EXPECT_TRUE(picker.FilterText().empty());
    EXPECT_TRUE(picker.GetSelectedId().empty());
}

TEST(PickerNoList, OpensWithNoRows) {
    IdList empty;
    const IdList* lists[] = {nullptr, &empty};
    for (const IdList* l : lists) {
        CDlgListID p;
        p.SetIdList(l);
        p.OnInitDialog();
        p.OnFilterChanged(u"A");
        p.OnRowClicked(0);
        EXPECT_TRUE(p.Rows().empty());
        EXPECT_FALSE(p.OnRowDoubleClicked(0));
        EXPECT_EQ(p.OnChooseClicked(), CDlgListID::ChooseResult::StayOpen);
    }
}

// --------------------------------------------------------------- scan page ---

TEST(ScanPage, UpperCasesAndWritesUnlessEmpty) {
    struct Case {
        std::u16string typed, shown;
        std::vector<std::u16string> writes;
    } cases[] = {
        {u"a1b2", u"A1B2", {u"A1B2"}},
        {u"", u"", {}},
        {u"a1 b2", u"A1 B2", {u"A1 B2"}},  // blanks reach the write flow, which refuses them
    };
    for (const Case& c : cases) {
        FakeHost host;
        host.writeMode = 0;  // the page makes no mode check of its own
        CDlgCh2 page(&host);
        page.SetScanId(c.typed);
        page.OnBnClickedWrite();
        EXPECT_EQ(page.GetScanId(), c.shown);
        EXPECT_EQ(host.writes, c.writes);
    }
}

// ---------------------------------------------------------- increment page ---

class IncrementPageTest : public ::testing::Test {
protected:
    FakeHost host;
    CDlgCh3 page{&host};
    void Fill(const std::u16string& p, const std::u16string& c, const std::u16string& s, int up) {
        page.SetPrefix(p);
        page.SetCounter(c);
        page.SetSuffix(s);
        page.SetDirection(up);
    }
};

TEST_F(IncrementPageTest, ArmingNormalisesTheBoxesAndLocks) {
    Fill(u"ab ", u" 0x00f ", u"cd", 1);
    page.OnBnClickedWrite();
    EXPECT_EQ(page.IsAutoRun(), 1);
    EXPECT_EQ(page.writeButtonText, u"停止");
    EXPECT_EQ(page.prefixText, u"AB ");
    EXPECT_EQ(page.counterText, u"F");
    EXPECT_EQ(page.suffixText, u"CD");
    EXPECT_EQ(host.trace, (std::vector<std::string>{"lock", "log"}));
    EXPECT_EQ(host.logs, std::vector<std::u16string>{kReadyMsg});

    page.WriteNextId();
    EXPECT_EQ(host.writes, std::vector<std::u16string>{u"ABFCD"});
    EXPECT_EQ(page.counterText, u"10");

    page.SetCounter(u"0x0a");
    page.OnBnClickedWrite();  // disarming normalises too
    EXPECT_EQ(page.IsAutoRun(), 0);
    EXPECT_EQ(page.writeButtonText, u"烧写");
    EXPECT_EQ(page.counterText, u"A");
    EXPECT_FALSE(host.locked);
    EXPECT_EQ(host.logs.size(), 1u);
}

TEST_F(IncrementPageTest, ArmingInReadModeChangesNothing) {
    host.writeMode = 0;
    Fill(u"ab", u"0x1", u"", 1);
    page.OnBnClickedWrite();
    EXPECT_EQ(page.IsAutoRun(), 0);
    EXPECT_EQ(page.counterText, u"0x1");
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].text, kReadModeMsg);
    EXPECT_EQ(host.boxes[0].icon, MsgIcon::Error);
    EXPECT_EQ(host.trace, std::vector<std::string>{"box"});
}

struct CounterCase {
    const char* name;
    std::u16string counter;
    int up;
    std::deque<int> results;
    int devices;
    std::vector<std::u16string> writes;
    std::u16string counterAfter;
    int flagAfter;
    int refusals;
};
// Test output names the case instead of dumping its bytes.
void PrintTo(const CounterCase& c, std::ostream* os) { *os << c.name; }

class IncrementRunTest : public IncrementPageTest,
                         public ::testing::WithParamInterface<CounterCase> {};

TEST_P(IncrementRunTest, DevicesGetTheCounterInTurn) {
    const CounterCase& c = GetParam();
    Fill(u"P", c.counter, u"S", c.up);
    page.OnBnClickedWrite();
    host.writeResults = c.results;
    for (int i = 0; i < c.devices; ++i) page.WriteNextId();
    EXPECT_EQ(host.writes, c.writes);
    EXPECT_EQ(page.counterText, c.counterAfter);
    EXPECT_EQ(page.CounterAtZero() ? 1 : 0, c.flagAfter);
    int refusals = 0;
    for (const auto& b : host.boxes) {
        EXPECT_EQ(b.text, kZeroMsg);
        EXPECT_EQ(b.icon, MsgIcon::Error);
        ++refusals;
    }
    EXPECT_EQ(refusals, c.refusals);
    EXPECT_EQ(std::count(host.logs.begin(), host.logs.end(), kZeroMsg), c.refusals);
}

INSTANTIATE_TEST_SUITE_P(
    Scenarios, IncrementRunTest,
    ::testing::Values(
        CounterCase{"EmptyCounterStartsAtZero", u"", 1, {}, 1, {u"P0S"}, u"1", 0, 0},
        CounterCase{"CarryGrowsTheText", u"fe", 1, {}, 2, {u"PFES", u"PFFS"}, u"100", 0, 0},
        CounterCase{"KeepsWidthWhenCounting", u"0x0009", 1, {}, 1, {u"P9S"}, u"A", 0, 0},
        CounterCase{"DownFromTwoStopsAtZero", u"2", 0, {}, 3, {u"P2S", u"P1S"}, u"0", 1, 1},
        CounterCase{"DownFromZeroWritesZeroOnce", u"0", 0, {}, 3, {u"P0S"}, u"0", 1, 2},
        CounterCase{"FailedWriteKeepsCounter", u"1", 0, {1, 822}, 2, {u"P1S", u"P1S"}, u"1", 0, 0},
        CounterCase{"BlanksInsideAreDropped", u"1 2", 1, {}, 1, {u"P12S"}, u"13", 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(IncrementPageTest, AfterARefusalCountingUpWritesZero) {
    Fill(u"", u"1", u"", 0);
    page.OnBnClickedWrite();
    page.WriteNextId();
    page.WriteNextId();  // refused
    EXPECT_EQ(host.writes.size(), 1u);
    page.OnBnClickedWrite();
    page.OnBnClickedIncrease();
    page.OnBnClickedWrite();
    page.WriteNextId();
    EXPECT_EQ(host.writes.back(), u"0");
    EXPECT_EQ(page.counterText, u"1");
    EXPECT_FALSE(page.CounterAtZero());
}

TEST_F(IncrementPageTest, GettersAndDirection) {
    page.SetCounter(u" \t0X00aB\r\n");
    EXPECT_EQ(page.GetCounter(), u"aB");  // letters keep their case
    page.SetCounter(u"   ");
    EXPECT_EQ(page.GetCounter(), u"0");
    page.SetDirection(0);
    EXPECT_EQ(page.IsIncrease(), 0);
    EXPECT_EQ(page.m_bIncrease, 0);
    page.OnBnClickedIncrease();
    EXPECT_EQ(page.IsIncrease(), 1);
    page.OnBnClickedDecrease();
    EXPECT_EQ(page.IsIncrease(), 0);
    page.EnableInputs(false);
    EXPECT_FALSE(page.inputsEnabled);
}

}  // namespace
}  // namespace ts
