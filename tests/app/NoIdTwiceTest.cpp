// No ID on two devices, none lost unlogged: the ways a line was seen to break
// that promise, as one table of scenarios run on the window model against
// each store (a ledger file, a PostgreSQL server). Every device image is
// read from outside (mtools) at the end.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
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

namespace fs = std::filesystem;

// The ID file inside a device's bytes, as any reader of the volume sees it;
// empty when there is none.
std::string IdOnImage(const MemoryStorage& storage, const fs::path& scratch) {
    test::WriteFile(scratch, std::string(storage.bytes.begin(), storage.bytes.end()));
    std::string out;
    if (test::RunCommand(
            "MTOOLS_SKIP_CHECK=1 mtype -i '" + scratch.string() + "' ::/sn/id.txt 2>/dev/null",
            &out) != 0)
        return {};
    return out.substr(0, out.find('\0'));
}

struct Store {
    const char* name;
    bool server;
};

class NoIdTwice : public ::testing::TestWithParam<Store> {
protected:
    void SetUp() override {
        if (GetParam().server) {
            std::string why;
            db_ = std::make_unique<test::PgTestDb>();
            if (!db_->Create(&why)) GTEST_SKIP() << why;
        }
    }
    // Opens a window station on the store under test.
    void Open() {
        test::InstallApp(app.Path(), {"modhost.so", "Volkit.so", "tagsmith.cfg", "ulpkData.bin"});
        test::WriteFile(app.Path() / "tagsmith.cfg",
                        test::ReadFile(app.Path() / "tagsmith.cfg") + "\nstation=line-1\n");
        StationParts parts = test::WindowParts(app, line, log, boxes, clock);
        parts.ledger = true;
        if (db_) parts.ledgerLocation = db_->Url();
        ASSERT_EQ(dlg.OnInitDialog(std::move(parts)), StationOpen::Ok);
        ASSERT_NE(dlg.core.Ledger().Ledger(), nullptr) << WideToUtf8(log.text);
    }
    void ArmCounter(const std::u16string& start) {
        dlg.OnTabSelChange(2);
        dlg.m_page3.SetPrefix(u"1A2B3C4D");
        dlg.m_page3.SetCounter(start);
        dlg.m_page3.SetSuffix(u"");
        dlg.m_page3.SetDirection(1);
        dlg.m_page3.OnBnClickedWrite();
        ASSERT_TRUE(dlg.m_page3.IsAutoRun());
    }
    // One device plugged at `letter` with `faults`, handled and taken out.
    void OneDevice(char letter, uint32_t sectors, const std::string& faults) {
        devices_[letter] = line.Plug(letter, sectors, ParseSimFaults(faults, "test"));
        dlg.core.WindowProc(DeviceEvent::Arrival);
        line.Unplug(letter);
        dlg.core.WindowProc(DeviceEvent::Removal);
    }
    // The ID each device holds, read from outside.
    std::map<char, std::string> Images() {
        std::map<char, std::string> ids;
        for (const auto& [letter, storage] : devices_)
            ids[letter] = IdOnImage(*storage, work.Path() / "image");
        return ids;
    }
    IdState StateOf(const std::string& id) {
        IdRecord rec;
        EXPECT_TRUE(dlg.core.Ledger().Ledger()->Lookup(Utf8ToWide(id), &rec).ok());
        return rec.state;
    }
    void TearDown() override { dlg.DestroyWindow(); }

    test::TempDir app, work;
    MemoryLine line;
    MainDialog dlg;
    ScriptedMessageBoxer boxes;
    MemoryLogView log;
    FakeClock clock;
    std::map<char, std::shared_ptr<MemoryStorage>> devices_;
    std::unique_ptr<test::PgTestDb> db_;
};

// A device E with a fault, then a good device F, on the increment page: the
// two never share an ID, and the ID E may hold is never given back.
TEST_P(NoIdTwice, DoubtfulOutcomesAreSettledByReadingTheDevice) {
    struct Case {
        const char* row;
        const char* faults;  // device E's
        uint32_t sectors;
        IdState eState;  // the state of the ID E got, afterwards
        const char* logged;
        bool again = false;  // F gets the ID E was to get
    };
    const Case cases[] = {
        {"1: finish answer garbled", "finish=garbled", 2048, IdState::Written,
         "读回设备中已有ID %ID%，该ID已记为已烧写"},
        {"1: finish answer without its terminator", "finish=nonul", 2048, IdState::Written,
         "该ID已记为已烧写"},
        {"1: the finish call fails", "fail_at=finish:1", 2048, IdState::Written,
         "该ID已记为已烧写"},
        {"1: the finish ends with a bad status", "status=finish:2", 2048, IdState::Written,
         "该ID已记为已烧写"},
        {"1: the finish ends in a check condition", "check_at=finish:1", 2048, IdState::Written,
         "该ID已记为已烧写"},
        {"1: the finish fails and the device cannot be read back",
         "fail_at=finish:1\ncheck_at=read:*", 2048, IdState::InDoubt,
         "ID %ID% 烧写结果不确定（设备 E:\\，端口 E），设备无法读回"},
        {"2: the block after the ID's is refused", "fail_at=write:2", 2048, IdState::Written,
         "该ID已记为已烧写"},
        {"2: the block after the ID's ends in a check condition", "check_at=write:2", 2048,
         IdState::Written, "该ID已记为已烧写"},
        {"2: the block after the ID's is cut short", "short_at=write:2", 2048, IdState::Written,
         "该ID已记为已烧写"},
        {"2: the last block of a 1 MiB device is refused", "fail_at=write:32", 2048,
         IdState::Written, "该ID已记为已烧写"},
        // Given back, and offered again to the next device.
        {"a refused first block leaves the device without the ID: released", "fail_at=write:1",
         2048, IdState::Written, "读回设备中没有ID %ID%，该ID已释放", true},
    };
    Open();
    uint32_t start = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.row);
        log.text.clear();
        devices_.clear();
        const std::string first = "1A2B3C4D" + std::to_string(start);
        ArmCounter(Utf8ToWide(std::to_string(start)));
        OneDevice('E', c.sectors, c.faults);
        OneDevice('F', 2048, "");
        const std::string text = WideToUtf8(log.text);
        std::string logged = c.logged;
        if (const size_t at = logged.find("%ID%"); at != std::string::npos)
            logged.replace(at, 4, first);
        EXPECT_NE(text.find(logged), std::string::npos) << logged << "\n" << text;
        EXPECT_EQ(StateOf(first), c.eState) << text;
        const std::map<char, std::string> ids = Images();
        EXPECT_NE(ids.at('F'), "");
        EXPECT_NE(ids.at('E'), ids.at('F')) << text;
        EXPECT_EQ(ids.at('F') == first, c.again) << text;
        // Whatever a device holds, the ledger holds too.
        for (const auto& [letter, id] : ids) {
            if (!id.empty()) {
                EXPECT_TRUE(IsHeld(StateOf(id))) << letter << " " << id;
            }
        }
        start += 10;
        dlg.m_page3.OnBnClickedWrite();  // stops the automatic run
    }
}

// An ID left in doubt is settled as written when its device is read later,
// and the operator's commands settle it too.
TEST_P(NoIdTwice, AnIdInDoubtIsSettledByALaterReadOrByTheOperator) {
    Open();
    ArmCounter(u"1");
    OneDevice('E', 2048, "fail_at=finish:1\ncheck_at=read:*");
    OneDevice('G', 2048, "fail_at=finish:1\ncheck_at=read:*");
    IdLedger& ledger = *dlg.core.Ledger().Ledger();
    ASSERT_EQ(StateOf("1A2B3C4D1"), IdState::InDoubt) << WideToUtf8(log.text);
    ASSERT_EQ(StateOf("1A2B3C4D2"), IdState::InDoubt);
    StateCounts counts;
    ASSERT_TRUE(ledger.Counts(&counts).ok());
    EXPECT_EQ(counts.inDoubt, 2u);
    EXPECT_EQ(counts.reserved, 0u);
    std::vector<IdRecord> open;
    ASSERT_TRUE(ledger.ListReserved(&open).ok());
    ASSERT_EQ(open.size(), 2u);
    EXPECT_EQ(open[0].state, IdState::InDoubt);

    // Read mode, with the device's reads working again.
    dlg.m_page3.OnBnClickedWrite();
    dlg.core.SetWriteMode(false);
    log.text.clear();
    ASSERT_TRUE(line.Plug('E', devices_.at('E')));
    dlg.core.WindowProc(DeviceEvent::Arrival);
    line.Unplug('E');
    dlg.core.WindowProc(DeviceEvent::Removal);
    EXPECT_NE(
        WideToUtf8(log.text).find("ID 1A2B3C4D1 原为烧写结果不确定，设备中已有该ID，已记为已烧写"),
        std::string::npos)
        << WideToUtf8(log.text);
    EXPECT_EQ(StateOf("1A2B3C4D1"), IdState::Written);

    // The operator: a confirmation or a release, of an ID in doubt only.
    IdRecord was;
    ASSERT_TRUE(ledger.ReleaseReserved(u"1A2B3C4D2", &was).ok());
    EXPECT_EQ(was.state, IdState::InDoubt);
    EXPECT_EQ(StateOf("1A2B3C4D2"), IdState::Released);
    EXPECT_EQ(ledger.ConfirmReserved(u"1A2B3C4D1", &was).status, LedgerStatus::NotReserved);

    // The journal says how each was settled.
    std::vector<std::string> modes;
    ASSERT_TRUE(ledger
                    .ReadJournal(INT64_MIN,
                                 [&](const JournalRow& row) {
                                     if (row.mode != "write" && row.mode != "read")
                                         modes.push_back(std::string(row.mode) + " " +
                                                         std::string(row.id));
                                     return true;
                                 })
                    .ok());
    EXPECT_EQ(modes, (std::vector<std::string>{"readback 1A2B3C4D1", "release 1A2B3C4D2"}));
}

INSTANTIATE_TEST_SUITE_P(Stores, NoIdTwice,
                         ::testing::Values(Store{"File", false}, Store{"Pg", true}),
                         [](const ::testing::TestParamInfo<Store>& i) { return i.param.name; });

}  // namespace
}  // namespace ts
