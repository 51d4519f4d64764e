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
#include "ledger/SqliteLedger.h"
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
    return test::IdInImage(scratch);
}

struct Store {
    const char* name;
    bool server;
};

// One station of the line: its own folder, name, devices and window.
struct Station {
    test::TempDir app;
    MemoryLine line;
    MainDialog dlg;
    ScriptedMessageBoxer boxes;
    MemoryLogView log;
    FakeClock clock;
    std::map<char, std::shared_ptr<MemoryStorage>> devices;

    // Opens on `ledger` (a URL or a path; empty: tagsmith.ledger in its
    // folder).
    void Open(const std::string& name, const std::string& ledger) {
        test::InstallApp(app.Path(), {"modhost.so", "Volkit.so", "tagsmith.cfg", "ulpkData.bin",
                                      "tagsmith-cli"});
        test::WriteFile(app.Path() / "tagsmith.cfg",
                        test::ReadFile(app.Path() / "tagsmith.cfg") + "\nstation=" + name + "\n");
        StationParts parts = test::WindowParts(app, line, log, boxes, clock);
        parts.ledger = true;
        if (!ledger.empty()) parts.ledgerLocation = ledger;
        ASSERT_EQ(dlg.OnInitDialog(std::move(parts)), StationOpen::Ok);
        if (!mayFail) {
            ASSERT_NE(dlg.core.Ledger().Ledger(), nullptr) << WideToUtf8(log.text);
        }
    }
    // The CLI of this station's folder; its standard output.
    int Cli(const std::string& args, std::string* out) {
        return test::RunCommand("'" + app.Dir() + "tagsmith-cli' " + args + " 2>&1", out);
    }
    bool mayFail = false;  // Open: the ledger may be refused
    IdLedger& Ledger() { return *dlg.core.Ledger().Ledger(); }
    void ArmCounter(const std::u16string& start) {
        dlg.OnTabSelChange(2);
        dlg.m_page3.SetPrefix(u"1A2B3C4D");
        dlg.m_page3.SetCounter(start);
        dlg.m_page3.SetSuffix(u"");
        dlg.m_page3.SetDirection(1);
        dlg.m_page3.OnBnClickedWrite();
        ASSERT_TRUE(dlg.m_page3.IsAutoRun());
    }
    // Plugs a device at `letter` (new with `sectors` and `faults`, or the
    // one kept from before when `sectors` is 0) and lets the window handle it.
    void Plug(char letter, uint32_t sectors = 2048, const std::string& faults = "") {
        if (sectors == 0) {
            ASSERT_TRUE(line.Plug(letter, devices.at(letter)));
        } else {
            devices[letter] = line.Plug(letter, sectors, ParseSimFaults(faults, "test"));
        }
        dlg.core.WindowProc(DeviceEvent::Arrival);
    }
    void Unplug(char letter) {
        line.Unplug(letter);
        dlg.core.WindowProc(DeviceEvent::Removal);
    }
    // One device handled and taken out.
    void OneDevice(char letter, uint32_t sectors, const std::string& faults) {
        Plug(letter, sectors, faults);
        Unplug(letter);
    }
    IdState StateOf(const std::string& id) {
        IdRecord rec;
        EXPECT_TRUE(Ledger().Lookup(Utf8ToWide(id), &rec).ok());
        return rec.state;
    }
    std::string Log() const { return WideToUtf8(log.text); }
    ~Station() { dlg.DestroyWindow(); }
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
    // The ledger the stations share: the server's, or the first station's
    // file.
    std::string Location() const {
        return db_ ? db_->Url() : (a.app.Path() / "tagsmith.ledger").string();
    }
    void Open() { a.Open("line-1", db_ ? db_->Url() : std::string()); }
    // The ID each device of `s` holds, read from outside.
    std::map<char, std::string> Images(const Station& s) {
        std::map<char, std::string> ids;
        for (const auto& [letter, storage] : s.devices)
            ids[letter] = IdOnImage(*storage, work.Path() / "image");
        return ids;
    }

    Station a;
    test::TempDir work;
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
        a.log.text.clear();
        a.devices.clear();
        const std::string first = "1A2B3C4D" + std::to_string(start);
        a.ArmCounter(Utf8ToWide(std::to_string(start)));
        a.OneDevice('E', c.sectors, c.faults);
        a.OneDevice('F', 2048, "");
        const std::string text = WideToUtf8(a.log.text);
        std::string logged = c.logged;
        if (const size_t at = logged.find("%ID%"); at != std::string::npos)
            logged.replace(at, 4, first);
        EXPECT_NE(text.find(logged), std::string::npos) << logged << "\n" << text;
        EXPECT_EQ(a.StateOf(first), c.eState) << text;
        const std::map<char, std::string> ids = Images(a);
        EXPECT_NE(ids.at('F'), "");
        EXPECT_NE(ids.at('E'), ids.at('F')) << text;
        EXPECT_EQ(ids.at('F') == first, c.again) << text;
        // Whatever a device holds, the ledger holds too.
        for (const auto& [letter, id] : ids) {
            if (!id.empty()) {
                EXPECT_TRUE(IsHeld(a.StateOf(id))) << letter << " " << id;
            }
        }
        start += 10;
        a.dlg.m_page3.OnBnClickedWrite();  // stops the automatic run
    }
}

// An ID left in doubt is settled as written when its device is read later,
// and the operator's commands settle it too.
TEST_P(NoIdTwice, AnIdInDoubtIsSettledByALaterReadOrByTheOperator) {
    Open();
    a.ArmCounter(u"1");
    a.OneDevice('E', 2048, "fail_at=finish:1\ncheck_at=read:*");
    a.OneDevice('G', 2048, "fail_at=finish:1\ncheck_at=read:*");
    IdLedger& ledger = *a.dlg.core.Ledger().Ledger();
    ASSERT_EQ(a.StateOf("1A2B3C4D1"), IdState::InDoubt) << WideToUtf8(a.log.text);
    ASSERT_EQ(a.StateOf("1A2B3C4D2"), IdState::InDoubt);
    StateCounts counts;
    ASSERT_TRUE(ledger.Counts(&counts).ok());
    EXPECT_EQ(counts.inDoubt, 2u);
    EXPECT_EQ(counts.reserved, 0u);
    std::vector<IdRecord> open;
    ASSERT_TRUE(ledger.ListReserved(&open).ok());
    ASSERT_EQ(open.size(), 2u);
    EXPECT_EQ(open[0].state, IdState::InDoubt);

    // Read mode, with the device's reads working again.
    a.dlg.m_page3.OnBnClickedWrite();
    a.dlg.core.SetWriteMode(false);
    a.log.text.clear();
    ASSERT_TRUE(a.line.Plug('E', a.devices.at('E')));
    a.dlg.core.WindowProc(DeviceEvent::Arrival);
    a.line.Unplug('E');
    a.dlg.core.WindowProc(DeviceEvent::Removal);
    EXPECT_NE(WideToUtf8(a.log.text)
                  .find("ID 1A2B3C4D1 原为烧写结果不确定，设备中已有该ID，已记为已烧写"),
              std::string::npos)
        << WideToUtf8(a.log.text);
    EXPECT_EQ(a.StateOf("1A2B3C4D1"), IdState::Written);

    // The operator: a confirmation or a release, of an ID in doubt only.
    IdRecord was;
    ASSERT_TRUE(ledger.ReleaseReserved(u"1A2B3C4D2", &was).ok());
    EXPECT_EQ(was.state, IdState::InDoubt);
    EXPECT_EQ(a.StateOf("1A2B3C4D2"), IdState::Released);
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

// Row 3: automatic writing reads first a device that may hold a written ID:
// one still attached when the program starts again, and one the journal
// knows by its USB serial number, plugged back later. One holding a written
// ID is not written again (one log line says so), one holding an ID in
// doubt settles it as written, and the run goes on with the next device.
TEST_P(NoIdTwice, AutomaticWritingDoesNotRewriteADeviceHoldingAWrittenId) {
    Open();
    a.ArmCounter(u"1");
    auto withSerial = [](const char* serial) {
        auto storage = std::make_shared<MemoryStorage>(2048);
        storage->usbSerial = serial;
        return storage;
    };
    // E (serial SER-E) and F (no serial) are written; D (serial SER-D) is
    // left in doubt: its finish fails and it cannot be read back.
    a.devices['E'] = withSerial("SER-E");
    a.devices['D'] = withSerial("SER-D");
    a.Plug('E', 0);
    a.Unplug('E');
    a.OneDevice('F', 2048, "");
    ASSERT_TRUE(a.line.Plug('D', a.devices.at('D'),
                            ParseSimFaults("fail_at=finish:1\ncheck_at=read:*", "t")));
    a.dlg.core.WindowProc(DeviceEvent::Arrival);
    a.Unplug('D');
    ASSERT_EQ(a.StateOf("1A2B3C4D1"), IdState::Written) << a.Log();
    ASSERT_EQ(a.StateOf("1A2B3C4D2"), IdState::Written) << a.Log();
    ASSERT_EQ(a.StateOf("1A2B3C4D3"), IdState::InDoubt) << a.Log();
    a.dlg.m_page3.OnBnClickedWrite();  // stops the automatic run

    // The program starts again (the same station, the same ledger) with F
    // still attached.
    Station b;
    b.devices['F'] = a.devices.at('F');
    ASSERT_TRUE(b.line.Plug('F', b.devices.at('F')));
    b.Open("line-1", Location());
    b.ArmCounter(u"1");
    b.Plug('G');  // the scan takes F first, then goes on to G
    EXPECT_NE(b.Log().find("设备中已有ID 1A2B3C4D2，ID记录中该ID已烧写，该设备不再重复烧写，"
                           "请插入下一台设备"),
              std::string::npos)
        << b.Log();
    // E is plugged back later: the journal knows its serial number.
    b.devices['E'] = a.devices.at('E');
    b.Plug('E', 0);
    EXPECT_NE(b.Log().find("设备中已有ID 1A2B3C4D1，ID记录中该ID已烧写"), std::string::npos)
        << b.Log();
    b.Unplug('E');
    // D, in doubt, is read now: settled as written, not written again.
    b.devices['D'] = a.devices.at('D');
    b.Plug('D', 0);
    EXPECT_NE(b.Log().find("ID 1A2B3C4D3 原为烧写结果不确定，设备中已有该ID，已记为已烧写"),
              std::string::npos)
        << b.Log();
    EXPECT_NE(b.Log().find("设备中已有ID 1A2B3C4D3，ID记录中该ID已烧写"), std::string::npos)
        << b.Log();
    EXPECT_EQ(b.StateOf("1A2B3C4D3"), IdState::Written);
    b.Unplug('D');
    b.OneDevice('H', 2048, "");

    // Read from outside: E, F and D keep their IDs, G and H get new ones.
    const std::map<char, std::string> ids = Images(b);
    EXPECT_EQ(ids.at('E'), "1A2B3C4D1");
    EXPECT_EQ(ids.at('F'), "1A2B3C4D2");
    EXPECT_EQ(ids.at('D'), "1A2B3C4D3");
    EXPECT_EQ(ids.at('G'), "1A2B3C4D4") << b.Log();
    EXPECT_EQ(ids.at('H'), "1A2B3C4D5") << b.Log();
    for (const auto& [letter, id] : ids) EXPECT_TRUE(IsHeld(b.StateOf(id))) << letter << " " << id;
    EXPECT_EQ(b.Log().find("烧写成功 ID: 1A2B3C4D1"), std::string::npos) << b.Log();
    EXPECT_EQ(b.Log().find("烧写成功 ID: 1A2B3C4D2"), std::string::npos) << b.Log();
}

// Manual writes ask the ledger and keep it true: the ID a device held
// before is recorded as replaced, an ID another station wrote is asked about
// with when and where, and one it is reserving is refused, on every page.
TEST_P(NoIdTwice, ManualWritesAskTheLedgerAndRecordWhatTheyReplace) {
    Open();
    Station b;
    b.Open("line-2", Location());
    a.dlg.OnTabSelChange(1);
    a.Plug('E');
    a.dlg.m_page2.SetScanId(u"AB03");
    a.dlg.m_page2.OnBnClickedWrite();
    a.Unplug('E');
    ASSERT_EQ(a.StateOf("AB03"), IdState::Written) << a.Log();

    // Row 4: "yes" over a device holding AB03.
    a.Plug('E', 0);
    a.boxes.answers = {MsgAnswer::Yes};
    a.dlg.m_page2.SetScanId(u"AB04");
    a.dlg.m_page2.OnBnClickedWrite();
    a.Unplug('E');
    EXPECT_EQ(Images(a).at('E'), "AB04");
    EXPECT_EQ(a.StateOf("AB03"), IdState::Replaced) << a.Log();
    EXPECT_NE(a.Log().find("设备中原有的ID AB03 已被替换，ID记录已记下"), std::string::npos);
    EXPECT_EQ(b.StateOf("AB04"), IdState::Written);

    // Row 5: the other station's list page, manual write from the picker.
    test::WriteFile(b.app.Path() / "list.ids", "AB04\nAB05\n");
    b.dlg.OnTabSelChange(0);
    b.dlg.m_page1.ReloadIdFile(Utf8ToWide((b.app.Path() / "list.ids").string()));
    b.Plug('F');
    b.dlg.runPicker = [](CDlgListID& p) { return p.OnRowDoubleClicked(0); };
    b.boxes.shown.clear();
    b.boxes.answers = {MsgAnswer::No};
    b.dlg.m_page1.OnBnClickedManualWrite();
    ASSERT_FALSE(b.boxes.shown.empty());
    EXPECT_NE(WideToUtf8(b.boxes.shown[0].text).find("在工位 line-1 烧写过，确定要再次烧写？"),
              std::string::npos)
        << WideToUtf8(b.boxes.shown[0].text);
    EXPECT_EQ(b.boxes.shown.size(), 1u) << "asked once";
    EXPECT_EQ(Images(b).at('F'), "") << "declined: nothing written";

    // Station a is writing AB05 at this moment: b may not take it over.
    Attempt inProgress;
    inProgress.id = u"AB05";
    inProgress.device.port = "G";
    Reservation r;
    ASSERT_TRUE(a.Ledger().Reserve(inProgress, false, &r).ok());
    b.dlg.runPicker = [](CDlgListID& p) { return p.OnRowDoubleClicked(1); };
    b.boxes.shown.clear();
    b.log.text.clear();
    b.dlg.m_page1.OnBnClickedManualWrite();
    EXPECT_TRUE(b.boxes.shown.empty()) << "no question: refused";
    EXPECT_NE(b.Log().find("ID AB05 正在其他工位或进程中烧写（已预留），未烧写"), std::string::npos)
        << b.Log();
    EXPECT_EQ(Images(b).at('F'), "");
    IdRecord rec;
    ASSERT_TRUE(b.Ledger().Lookup(u"AB05", &rec).ok());
    EXPECT_EQ(rec.state, IdState::Reserved);
    EXPECT_EQ(rec.station, "line-1");
    ASSERT_TRUE(a.Ledger().MarkWritten(r).ok());
    b.Unplug('F');
}

// A station that wrote with a ledger file refuses a missing, another or an
// older ledger (never making a new empty one silently) until the operator
// adopts a backup or starts a new ledger.
TEST(LostLedger, AMissingReplacedOrOlderLedgerStopsWritingUntilTheOperatorDecides) {
    struct Case {
        const char* name;
        const char* says;
        const char* wayOut;  // the CLI command that lets the station write again
    };
    const Case cases[] = {
        {"deleted", "no ledger at", "ledger new"},
        {"an older copy", "older than this station's last change", "ledger adopt BACKUP"},
        {"another ledger", "not the ledger this station wrote with", "ledger new"},
        {"the file copied without its log while the station ran", "", "ledger adopt BACKUP"},
        // A mark that cannot be read is not "no mark": that would make a new
        // ledger in a lost one's place.
        {"the mark cut short", "ledger mark", "ledger adopt BACKUP"},
        {"a link in the mark's place", "ledger mark", "ledger new"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir work;
        const fs::path backup = work.Path() / "backup.ledger";
        const fs::path copied = work.Path() / "copied.ledger";
        fs::path folder;
        {
            Station s;
            s.Open("line-1", "");
            s.ArmCounter(u"1");
            s.OneDevice('E', 2048, "");
            std::string out;
            ASSERT_EQ(s.Cli("ledger backup '" + backup.string() + "'", &out), 0) << out;
            EXPECT_NE(out.find("backed up"), std::string::npos) << out;
            s.OneDevice('F', 2048, "");
            test::WriteFile(copied, test::ReadFile(s.app.Path() / "tagsmith.ledger"));
            ASSERT_EQ(s.StateOf("1A2B3C4D2"), IdState::Written);
            folder = work.Path() / "app";
            s.dlg.core.Ledger().Own(nullptr, false);  // the program closes its ledger
            EXPECT_FALSE(fs::exists(s.app.Path() / "tagsmith.ledger-wal") &&
                         fs::file_size(s.app.Path() / "tagsmith.ledger-wal") != 0)
                << "every change is in the ledger file itself";
            fs::copy(s.app.Path(), folder, fs::copy_options::recursive);
        }
        const fs::path ledger = folder / "tagsmith.ledger";
        const std::string name = c.name;
        if (name == "deleted") fs::remove(ledger);
        if (name == "an older copy")
            fs::copy_file(backup, ledger, fs::copy_options::overwrite_existing);
        if (name == "another ledger") {
            fs::remove(ledger);
            std::unique_ptr<SqliteLedger> other;
            LedgerOpenOptions o;
            o.station = "line-9";
            ASSERT_TRUE(SqliteLedger::Open(ledger.string(), o, &other).ok());
            Attempt a;
            a.id = u"99";
            Reservation r;
            ASSERT_TRUE(other->Reserve(a, false, &r).ok());
        }
        const fs::path markFile = folder / "tagsmith.ledger.mark";
        if (name == "the mark cut short") {
            const std::string text = test::ReadFile(markFile);
            test::WriteFile(markFile, text.substr(0, text.find("identity=") + 9));
        }
        if (name == "a link in the mark's place") {
            fs::rename(markFile, folder / "elsewhere");
            fs::create_symlink("elsewhere", markFile);
        }
        if (name.rfind("the file copied", 0) == 0)
            fs::copy_file(copied, ledger, fs::copy_options::overwrite_existing);

        Station again;
        fs::remove_all(again.app.Path());
        fs::copy(folder, again.app.Path(),
                 fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        again.mayFail = true;
        again.Open("line-1", "");
        const std::string log = again.Log();
        EXPECT_EQ(again.dlg.core.Ledger().Ledger(), nullptr) << log;
        EXPECT_NE(log.find("无法使用ID记录："), std::string::npos) << log;
        EXPECT_NE(log.find(c.says), std::string::npos) << log;
        EXPECT_NE(log.find("tagsmith-cli ledger adopt 备份文件 采用备份"), std::string::npos)
            << log;
        EXPECT_EQ(fs::exists(again.app.Path() / "tagsmith.ledger"), name != "deleted")
            << "no new empty ledger";
        again.dlg.OnTabSelChange(1);
        again.Plug('G');
        again.dlg.m_page2.SetScanId(u"1A2B3C4D3");
        again.dlg.m_page2.OnBnClickedWrite();
        again.Unplug('G');
        EXPECT_NE(again.Log().find("烧写失败，ID记录无法使用"), std::string::npos);

        std::string command = c.wayOut;
        if (const size_t at = command.find("BACKUP"); at != std::string::npos)
            command.replace(at, 6, "'" + backup.string() + "'");
        std::string out;
        ASSERT_EQ(again.Cli(command, &out), 0) << out;
        EXPECT_NE(out.find("may be given out again"), std::string::npos) << out;

        Station after;
        fs::remove_all(after.app.Path());
        fs::copy(again.app.Path(), after.app.Path(), fs::copy_options::recursive);
        after.Open("line-1", "");
        EXPECT_EQ(after.Log().find("无法使用ID记录"), std::string::npos) << after.Log();
    }
}

INSTANTIATE_TEST_SUITE_P(Stores, NoIdTwice,
                         ::testing::Values(Store{"File", false}, Store{"Pg", true}),
                         [](const ::testing::TestParamInfo<Store>& i) { return i.param.name; });

}  // namespace
}  // namespace ts
