// Automatic writing with a ledger that another station shares: an ID that
// station took after this one resumed is passed over, and the same device
// gets the next one.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "ledger/SqliteLedger.h"
#include "platform/Codepage.h"
#include "tests/app/LineFixture.h"

namespace ts {
namespace {

class LedgerPassOverTest : public test::LineTest {
protected:
    LedgerPassOverTest() { withLedger = true; }

    // One device plugged in, handled and taken out; the log lines it gave.
    std::vector<std::u16string> OneDevice() {
        lines.clear();
        line.Plug('E', 2048);
        dlg.core.WindowProc(DeviceEvent::Arrival);
        line.Unplug('E');
        dlg.core.WindowProc(DeviceEvent::Removal);
        return lines;
    }
    // Another station on the same ledger reserves `id`.
    void TakenElsewhere(const std::u16string& id) {
        LedgerOpenOptions options;
        options.station = "line-2";
        std::unique_ptr<SqliteLedger> other;
        ASSERT_TRUE(
            SqliteLedger::Open((app.Path() / "tagsmith.ledger").string(), options, &other).ok());
        Attempt a;
        a.id = id;
        Reservation r;
        ASSERT_TRUE(other->Reserve(a, false, &r).ok());
    }
    static bool Has(const std::vector<std::u16string>& v, const std::u16string& text) {
        return std::any_of(v.begin(), v.end(), [&](const std::u16string& l) {
            return l.find(text) != std::u16string::npos;
        });
    }
};

TEST_F(LedgerPassOverTest, EachPageTakesTheNextIdOnTheSameDevice) {
    struct Case {
        const char* name;
        int tab;
        std::u16string first, taken, next;
    };
    const Case cases[] = {
        {"list", 0, u"A1", u"A2", u"A3"},
        {"counter", 2, u"C1", u"C2", u"C3"},
    };
    test::WriteFile(app.Path() / "list.ids", "A1\nA2\nA3\nA4\n");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        dlg.OnTabSelChange(c.tab);
        if (c.tab == 0) {
            dlg.m_page1.ReloadIdFile(Utf8ToWide((app.Path() / "list.ids").string()));
            dlg.m_page1.OnBnClickedAutoWrite();
        } else {
            dlg.m_page3.SetPrefix(u"C");
            dlg.m_page3.SetCounter(u"1");
            dlg.m_page3.SetSuffix(u"");
            dlg.m_page3.SetDirection(1);
            dlg.m_page3.OnBnClickedWrite();
        }
        EXPECT_TRUE(Has(OneDevice(), u"烧写成功 ID: " + c.first));
        TakenElsewhere(c.taken);
        const std::vector<std::u16string> second = OneDevice();
        EXPECT_TRUE(Has(second, u"ID " + c.taken + u" 已被占用")) << WideToUtf8(log.text);
        EXPECT_TRUE(Has(second, u"烧写成功 ID: " + c.next)) << WideToUtf8(log.text);
        EXPECT_FALSE(Has(second, u"烧写成功 ID: " + c.taken));
        if (c.tab == 0) {
            EXPECT_TRUE(dlg.m_page1.m_ids.IsUsed(1));
            dlg.m_page1.OnBnClickedAutoWrite();  // off again
        } else {
            EXPECT_EQ(dlg.m_page3.counterText, u"4");
            dlg.m_page3.OnBnClickedWrite();
        }
    }
}

}  // namespace
}  // namespace ts
