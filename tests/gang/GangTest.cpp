// Gang mode on an in-memory line: every attached device written (or read)
// at once, each on its own port, with faults on some ports. Every device
// image is read from outside (mtools) and held against the ledger and its
// journal.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "deviceops/Gang.h"
#include "platform/Codepage.h"
#include "sim/MemoryLine.h"
#include "tests/app/LineFixture.h"
#include "tests/support/TestSupport.h"

namespace ts {
namespace {

namespace fs = std::filesystem;

// The ports pause for nothing (the read flow's pacing), from any thread.
class NoWait : public Clock {
public:
    void Sleep(uint32_t) override {}
};

std::string IdOnImage(const MemoryStorage& storage, const fs::path& scratch) {
    test::WriteFile(scratch, std::string(storage.bytes.begin(), storage.bytes.end()));
    return test::IdInImage(scratch);
}

SimFaults Faults(const std::string& text) { return ParseSimFaults(text, "test"); }

constexpr char kPorts[] = "EFGHIJKL";
// A refused block on F; G pulled in the middle of its write (every command
// from its third block on finds no device).
const std::map<char, std::string> kFaulty = {
    {'F', "check_at=write:2"},
    {'G', "fail_errno=19\nfail_at=write:3\nfail_at=read:*\nfail_at=finish:*"},
};

class GangTest : public test::LineTest {
protected:
    GangTest() { withLedger = true; }

    NoWait noWait;
    std::unique_ptr<GangStation> gang;
    std::map<char, std::shared_ptr<MemoryStorage>> devices;
    std::vector<std::u16string> logLines;

    void SetUp() override {
        test::LineTest::SetUp();
        if (test::RunCommand("command -v mtype >/dev/null") != 0) GTEST_SKIP() << "mtools missing";
        log.onLine = [this](const std::u16string& l) { logLines.push_back(l); };
    }
    void TearDown() override {
        gang.reset();
        // The log tells which port did what.
        if (HasFailure()) {
            for (const std::u16string& l : logLines) std::printf("%s\n", WideToUtf8(l).c_str());
        }
        test::LineTest::TearDown();
    }

    void Open() {
        gang = std::make_unique<GangStation>(dlg.core, &noWait);
        logLines.clear();
    }
    // Plugs every letter (faults from kFaulty and `extra`), then one event.
    void PlugAll(const std::string& letters, const std::string& extra = "") {
        for (char c : letters) {
            const auto fault = kFaulty.find(c);
            devices[c] = line.Plug(
                c, 2048, Faults((fault != kFaulty.end() ? fault->second : "") + "\n" + extra));
        }
        gang->OnEvent(DeviceEvent::Arrival);
        gang->WaitIdle();
    }
    std::string Image(char c) { return IdOnImage(*devices.at(c), app.Path() / "scratch.img"); }
    IdState StateOf(const std::string& id) {
        IdRecord rec;
        if (!dlg.core.Ledger().Ledger()->Lookup(Utf8ToWide(id), &rec).ok()) return IdState::None;
        return rec.state;
    }
    std::map<std::u16string, PortView> Ports() {
        std::map<std::u16string, PortView> out;
        for (const PortView& v : gang->Model().Snapshot()) out[v.root] = v;
        return out;
    }
    static std::u16string Root(char c) { return std::u16string(1, c) + u":\\"; }

    // Each device against the ledger and its journal: a healthy one holds
    // its ID, written, with the journal's successful write on its port; a
    // faulty one's ID is written only if its image holds it, else released
    // or in doubt (never lost, never on two devices).
    void CheckAgainstLedger(std::set<std::string>* healthyIds) {
        std::map<std::string, std::string> journalPort;  // id -> port of its successful write
        dlg.core.Ledger().Ledger()->ReadJournal(INT64_MIN, [&](const JournalRow& row) {
            if (row.mode == "write" && row.result && *row.result == 0)
                journalPort[std::string(row.id)] = std::string(row.port);
            return true;
        });
        std::map<std::string, char> holder;
        const auto ports = Ports();
        for (const auto& [c, storage] : devices) {
            const std::string onImage = Image(c);
            const PortView& port = ports.at(Root(c));
            SCOPED_TRACE(std::string(1, c) + " holds '" + onImage + "'");
            if (!onImage.empty()) {
                EXPECT_FALSE(holder.count(onImage)) << "two devices hold " << onImage;
                holder[onImage] = c;
            }
            if (kFaulty.count(c)) {
                EXPECT_NE(port.result, 0);
                const std::string id = WideToUtf8(port.id);
                const IdState st = StateOf(id);
                // Released only when the device does not hold it; in doubt
                // when it could not be read back.
                if (onImage == id) {
                    EXPECT_TRUE(st == IdState::Written || st == IdState::InDoubt)
                        << static_cast<int>(st);
                } else {
                    EXPECT_TRUE(st == IdState::Released || st == IdState::InDoubt)
                        << static_cast<int>(st);
                }
                continue;
            }
            if (port.result != 0) continue;  // a device that got no ID
            EXPECT_EQ(port.state, PortState::Passed);
            EXPECT_EQ(onImage, WideToUtf8(port.id));
            EXPECT_EQ(StateOf(onImage), IdState::Written);
            EXPECT_EQ(journalPort[onImage], std::string(1, c));
            healthyIds->insert(onImage);
        }
    }
};

TEST_F(GangTest, ListOfEightWithARefusedBlockAndAPullSettlesEachPortByItself) {
    std::string ids;
    for (int i = 1; i <= 12; ++i) ids += "C0DE" + std::to_string(100 + i) + "\r\n";
    dlg.m_page1.ReloadIdFile(ListFile(ids));
    dlg.m_page1.OnBnClickedAutoWrite();
    ASSERT_TRUE(dlg.m_page1.IsAutoWriting());
    Open();
    gang->SetIds(GangListIds(dlg.m_page1));

    PlugAll(kPorts);
    const GangCounts counts = gang->Counts();
    EXPECT_EQ(counts.written, 6);
    EXPECT_EQ(counts.failed, 2);

    std::set<std::string> healthy;
    CheckAgainstLedger(&healthy);
    EXPECT_EQ(healthy.size(), 6u);
    // The eight ports took the list's first eight entries, one each.
    std::set<std::string> taken = healthy;
    const auto ports = Ports();
    for (const auto& [c, fault] : kFaulty) taken.insert(WideToUtf8(ports.at(Root(c)).id));
    std::set<std::string> firstEight;
    for (int i = 1; i <= 8; ++i) firstEight.insert("C0DE" + std::to_string(100 + i));
    EXPECT_EQ(taken, firstEight);
    // The pulled device could not be read back: its ID stays in doubt.
    EXPECT_EQ(StateOf(WideToUtf8(ports.at(Root('G')).id)), IdState::InDoubt);

    // Every log line names its port.
    for (const std::u16string& l : logLines) {
        EXPECT_EQ(l.rfind(u"[", 0), 0u) << WideToUtf8(l);
    }

    // An ID the refused write gave back goes to the next device first.
    const std::u16string fId = ports.at(Root('F')).id;
    const bool released = StateOf(WideToUtf8(fId)) == IdState::Released;
    PlugAll("M");
    const std::u16string mId = Ports().at(Root('M')).id;
    EXPECT_EQ(mId, released ? fId : u"C0DE109");
    EXPECT_EQ(Image('M'), WideToUtf8(mId));
    EXPECT_EQ(StateOf(WideToUtf8(mId)), IdState::Written);
}

TEST_F(GangTest, CounterDownToTheZeroGuardStopsNewDevicesOnly) {
    dlg.OnTabSelChange(2);
    CDlgCh3& page = dlg.m_page3;
    page.SetPrefix(u"AB");
    page.SetCounter(u"8");
    page.OnBnClickedDecrease();
    page.OnBnClickedWrite();
    ASSERT_TRUE(page.IsAutoRun());
    Open();
    gang->SetIds(GangCounterIds(page, gang->SharedLedger(),
                                [this](const std::u16string& l) { gang->Log(l); }));

    PlugAll(kPorts);
    EXPECT_EQ(gang->Counts().written, 6);
    std::set<std::string> healthy;
    CheckAgainstLedger(&healthy);
    EXPECT_EQ(healthy.size(), 6u);
    for (const std::string& id : healthy) {
        EXPECT_TRUE(id.size() == 3 && id.rfind("AB", 0) == 0 && id[2] >= '1' && id[2] <= '8') << id;
    }
    // The counter reached its guard once the eight values were out; a value
    // the refused write gave back is still offered, then nothing.
    const std::u16string fId = Ports().at(Root('F')).id;
    const bool released = StateOf(WideToUtf8(fId)) == IdState::Released;
    EXPECT_EQ(gang->HasIdLeft(), released);
    PlugAll("MN");
    const auto ports = Ports();
    std::set<std::u16string> late = {ports.at(Root('M')).id, ports.at(Root('N')).id};
    if (released) {
        EXPECT_TRUE(late.count(fId));
        EXPECT_EQ(gang->Counts().written, 7);
    } else {
        EXPECT_EQ(gang->Counts().written, 6);
    }
    EXPECT_FALSE(gang->HasIdLeft());
    EXPECT_NE(std::find(logLines.begin(), logLines.end(), u"自变数据段不能留空或者为零……"),
              logLines.end());
    EXPECT_EQ(StateOf("AB0"), IdState::None);
}

// Each port builds its image from a copy of the operator's prvdata, which
// no port writes into; a link there is left out, as the image build does.
TEST_F(GangTest, EachPortStagesFromTheOperatorsPrvdataAndLeavesItAsItIs) {
    const fs::path prvdata = app.Path() / "prvdata";
    fs::create_directories(prvdata / "doc");
    test::WriteFile(prvdata / "doc" / "readme.txt", "station notes");
    test::WriteFile(app.Path() / "outside.txt", "not for devices");
    fs::create_symlink(app.Path() / "outside.txt", prvdata / "doc" / "link.txt");
    dlg.m_page1.ReloadIdFile(ListFile("D1\r\nD2\r\nD3\r\n"));
    dlg.m_page1.OnBnClickedAutoWrite();
    Open();
    gang->SetIds(GangListIds(dlg.m_page1));
    PlugAll("HIJ");
    EXPECT_EQ(gang->Counts().written, 3);
    for (char c : std::string("HIJ")) {
        SCOPED_TRACE(c);
        const fs::path img = app.Path() / "scratch.img";
        EXPECT_EQ(Image(c), WideToUtf8(Ports().at(Root(c)).id));
        std::string out;
        EXPECT_EQ(
            test::RunCommand(
                "MTOOLS_SKIP_CHECK=1 mtype -i '" + img.string() + "' ::/doc/readme.txt", &out),
            0);
        EXPECT_EQ(out, "station notes");
        EXPECT_NE(test::RunCommand("MTOOLS_SKIP_CHECK=1 mtype -i '" + img.string() +
                                   "' ::/doc/link.txt 2>/dev/null"),
                  0);
    }
    EXPECT_FALSE(fs::exists(prvdata / "sn"));
    EXPECT_EQ(test::ReadFile(prvdata / "doc" / "readme.txt"), "station notes");
}

TEST_F(GangTest, AHungPortDelaysNoOther) {
    dlg.m_page1.ReloadIdFile(ListFile("A1\r\nA2\r\nA3\r\nA4\r\n"));
    dlg.m_page1.OnBnClickedAutoWrite();
    Open();
    gang->SetIds(GangListIds(dlg.m_page1));
    // E answers its handshake, then takes 1 s for each block it is sent.
    devices['E'] = line.Plug('E', 2048, Faults("latency=write:1000"));
    for (char c : std::string("FGH")) devices[c] = line.Plug(c, 2048);
    const auto t0 = std::chrono::steady_clock::now();
    gang->OnEvent(DeviceEvent::Arrival);
    while (gang->Counts().written < 3 &&
           std::chrono::steady_clock::now() - t0 < std::chrono::seconds(20))
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(gang->Counts().written, 3);
    EXPECT_EQ(Ports().at(Root('E')).state, PortState::Writing);
    // Pulled: E's worker ends with a failure of its own.
    line.Unplug('E');
    gang->WaitIdle();
    EXPECT_EQ(Ports().at(Root('E')).state, PortState::Pulled);
    EXPECT_EQ(gang->Counts().failed, 1);
    devices.erase('E');
}

TEST_F(GangTest, ReadModeReadsEveryDeviceAtOnce) {
    // Written one by one first, then read together.
    dlg.m_page1.ReloadIdFile(ListFile("B1\r\nB2\r\nB3\r\nB4\r\n"));
    dlg.m_page1.OnBnClickedAutoWrite();
    Open();
    gang->SetIds(GangListIds(dlg.m_page1));
    for (char c : std::string("EFGH")) devices[c] = line.Plug(c, 2048);
    gang->OnEvent(DeviceEvent::Arrival);
    gang->WaitIdle();
    ASSERT_EQ(gang->Counts().written, 4);
    const auto written = Ports();
    gang.reset();
    for (char c : std::string("EFGH")) line.Unplug(c);
    dlg.m_page1.OnBnClickedAutoWrite();  // stop writing
    dlg.OnReadMode();
    Open();
    for (char c : std::string("EFGH")) line.Plug(c, devices[c], Faults("latency=read:2"));
    std::vector<PortOutcome> outcomes;
    std::mutex lock;
    gang->onDone = [&](const PortOutcome& o, const GangCounts&) {
        std::lock_guard l(lock);
        outcomes.push_back(o);
    };
    gang->OnEvent(DeviceEvent::Arrival);
    gang->WaitIdle();
    EXPECT_EQ(gang->Counts().read, 4);
    ASSERT_EQ(outcomes.size(), 4u);
    for (const PortOutcome& o : outcomes) {
        EXPECT_FALSE(o.write);
        EXPECT_EQ(o.id, written.at(o.root).id);
    }
}

}  // namespace
}  // namespace ts
