// The window model on a shared ledger: counting stations of a line share one
// counter, and a ledger that cannot be used says what to check.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/MainDialog.h"
#include "platform/Codepage.h"
#include "sim/MemoryLine.h"
#include "tests/app/LineFixture.h"
#include "tests/ledger/PgTestServer.h"
#include "tests/support/TestSupport.h"

namespace ts {
namespace {

// One station of a line: its own folder (and station name), its own devices.
struct Station {
    test::TempDir app;
    MemoryLine line;
    MainDialog dlg;
    ScriptedMessageBoxer boxes;
    MemoryLogView log;
    FakeClock clock;

    // Opens on `ledger` (a URL or a path; empty: what tagsmith.cfg says).
    void Open(const std::string& name, const std::string& ledger) {
        test::InstallApp(app.Path(), {"modhost.so", "Volkit.so", "tagsmith.cfg", "ulpkData.bin"});
        test::WriteFile(app.Path() / "tagsmith.cfg",
                        test::ReadFile(app.Path() / "tagsmith.cfg") + "\nstation=" + name + "\n");
        StationParts parts = test::WindowParts(app, line, log, boxes, clock);
        parts.ledger = true;
        if (!ledger.empty()) parts.ledgerLocation = ledger;
        ASSERT_EQ(dlg.OnInitDialog(std::move(parts)), StationOpen::Ok);
    }
    void ArmCounter(const std::u16string& start) {
        dlg.OnTabSelChange(2);
        dlg.m_page3.SetPrefix(u"C");
        dlg.m_page3.SetCounter(start);
        dlg.m_page3.SetSuffix(u"");
        dlg.m_page3.SetDirection(1);
        dlg.m_page3.OnBnClickedWrite();
        ASSERT_TRUE(dlg.m_page3.IsAutoRun());
    }
    // One device plugged in, written and taken out: the ID it got (empty
    // when none).
    std::u16string OneDevice() {
        log.text.clear();
        line.Plug('E', 2048);
        dlg.core.WindowProc(DeviceEvent::Arrival);
        line.Unplug('E');
        dlg.core.WindowProc(DeviceEvent::Removal);
        const std::u16string mark = u"烧写成功 ID: ";
        const size_t at = log.text.find(mark);
        if (at == std::u16string::npos) return {};
        const size_t from = at + mark.size();
        return log.text.substr(from, log.text.find_first_of(u"\r\n", from) - from);
    }
    ~Station() { dlg.DestroyWindow(); }
};

TEST(SharedCounter, TwoStationsWriteEveryValueOnceAndContinueWhereTheLineIs) {
    std::string why;
    test::PgTestDb db;
    if (!db.Create(&why)) GTEST_SKIP() << why;
    Station a, b;
    a.Open("line-1", db.Url());
    b.Open("line-2", db.Url());
    ASSERT_TRUE(a.dlg.core.Ledger().Ledger() && a.dlg.core.Ledger().Ledger()->Shared());
    ASSERT_TRUE(b.dlg.core.Ledger().Ledger() && b.dlg.core.Ledger().Ledger()->Shared());
    // Both armed at the same start, as two operators would.
    a.ArmCounter(u"1");
    b.ArmCounter(u"1");

    std::vector<std::u16string> written;
    Station* order[] = {&a, &b, &b, &a, &a, &b, &a, &b};
    for (Station* s : order) written.push_back(s->OneDevice());
    // The second station's first device continues after the first's.
    EXPECT_EQ(written[1], u"C2");
    std::vector<std::u16string> sorted = written;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted,
              (std::vector<std::u16string>{u"C1", u"C2", u"C3", u"C4", u"C5", u"C6", u"C7", u"C8"}))
        << WideToUtf8(a.log.text) << WideToUtf8(b.log.text);
    StateCounts counts;
    ASSERT_TRUE(a.dlg.core.Ledger().Ledger()->Counts(&counts).ok());
    EXPECT_EQ(counts.written, 8u);
    EXPECT_EQ(counts.reserved, 0u);
}

// The advice after "无法使用ID记录" fits what the ledger is: a file or a
// server. Both the log and the box that refuses automatic writing give it.
TEST(LedgerFault, TheAdviceNamesTheFileOrTheServer) {
    struct Case {
        const char* name;
        bool damagedFile;
        std::string location;  // overrides the configuration (empty: none)
        std::u16string advice, notAdvice;
    };
    const Case cases[] = {
        {"a damaged file", true, "", u"请检查该文件", u"服务器"},
        {"a server that cannot be reached", false,
         "postgresql://tagsmith@/line?host=/nonexistent/run", u"请检查ID记录服务器的设置",
         u"请检查该文件"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Station s;
        if (c.damagedFile) {
            std::filesystem::create_directories(s.app.Path());
            test::WriteFile(s.app.Path() / "tagsmith.ledger", "no ledger here");
        }
        s.Open("line-1", c.location);
        ASSERT_FALSE(s.dlg.core.Ledger().Fault().empty());
        EXPECT_NE(s.log.text.find(u"无法使用ID记录："), std::u16string::npos);
        EXPECT_NE(s.log.text.find(c.advice), std::u16string::npos) << WideToUtf8(s.log.text);
        EXPECT_EQ(s.log.text.find(c.notAdvice), std::u16string::npos) << WideToUtf8(s.log.text);
        s.dlg.OnTabSelChange(2);
        s.dlg.m_page3.OnBnClickedWrite();
        EXPECT_FALSE(s.dlg.m_page3.IsAutoRun());
        ASSERT_EQ(s.boxes.shown.size(), 1u);
        EXPECT_NE(s.boxes.shown[0].text.find(c.advice), std::u16string::npos);
        EXPECT_EQ(s.boxes.shown[0].text.find(c.notAdvice), std::u16string::npos);
    }
}

}  // namespace
}  // namespace ts
