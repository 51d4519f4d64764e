// The write flow's moments as the ledger sees them: what is reserved,
// confirmed, verified or given back, and that nothing reaches a device whose
// ID could not be reserved.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/deviceops/FlowFixture.h"

namespace ts {
namespace {

// Records each call as one word; Reserve answers `reserveAnswer`. A server
// that is away: the first `reserveOffline` reservations and `confirmOffline`
// confirmations answer Offline.
class RecordingLedger : public IdLedger {
public:
    LedgerStatus reserveAnswer = LedgerStatus::Ok;
    int reserveOffline = 0;
    int confirmOffline = 0;
    std::vector<std::string> calls;
    std::vector<Attempt> attempts;

    std::string Describe() const override { return "recording"; }
    const std::string& Station() const override { return station_; }
    LedgerResult Reserve(const Attempt& a, bool rewrite, Reservation* out, IdRecord*) override {
        attempts.push_back(a);
        calls.push_back(rewrite ? "rewrite" : "reserve");
        if (reserveOffline > 0 && reserveOffline--)
            return LedgerResult::Fail(LedgerStatus::Offline, "away");
        if (reserveAnswer != LedgerStatus::Ok) return LedgerResult::Fail(reserveAnswer, "refused");
        *out = Reservation{a.id, 1, 0, a.device.Summary()};
        return {};
    }
    LedgerResult MarkWritten(const Reservation&) override { return Confirm("written"); }
    LedgerResult MarkVerified(const Reservation&) override { return Confirm("verified"); }
    LedgerResult Release(const Reservation&, int code) override {
        return Add("release " + std::to_string(code));
    }
    LedgerResult KeepReserved(const Reservation&, int code) override {
        return Add("keep " + std::to_string(code));
    }
    LedgerResult MarkInDoubt(const Reservation&) override { return Add("in doubt"); }
    LedgerResult MarkReadBack(const Reservation&, int code) override {
        return Add("read back " + std::to_string(code));
    }
    LedgerResult RecordAttempt(const Attempt& a, int code, int64_t, bool) override {
        attempts.push_back(a);
        return Add(std::string(AttemptModeName(a.mode)) + " " + std::to_string(code));
    }
    LedgerResult ReleaseReserved(std::u16string_view, IdRecord*) override { return {}; }
    LedgerResult Lookup(std::u16string_view, IdRecord*) override { return {}; }
    LedgerResult StatesOf(size_t, const std::function<std::u16string_view(size_t)>&,
                          std::vector<IdState>*) override {
        return {};
    }
    LedgerResult FurthestCounter(std::u16string_view, std::u16string_view, bool,
                                 std::optional<std::u16string>*) override {
        return {};
    }
    LedgerResult StaleReservations(std::vector<IdRecord>*) override { return {}; }
    LedgerResult ListReserved(std::vector<IdRecord>*) override { return {}; }
    LedgerResult Counts(StateCounts*) override { return {}; }
    LedgerResult ReadJournal(int64_t, const std::function<bool(const JournalRow&)>&) override {
        return {};
    }

private:
    LedgerResult Confirm(const std::string& call) {
        if (confirmOffline > 0 && confirmOffline--) {
            calls.push_back(call + " offline");
            return LedgerResult::Fail(LedgerStatus::Offline, "away");
        }
        return Add(call);
    }
    LedgerResult Add(std::string call) {
        calls.push_back(std::move(call));
        return {};
    }
    std::string station_ = "test";
};

class LedgerGuardTest : public test::FlowFixture {
protected:
    bool Untouched(char letter) const {
        const auto& bytes = line.Storage(letter)->bytes;
        return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
    }
    RecordingLedger ledger;
};

size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t p = text.find(part); p != std::string::npos; p = text.find(part, p + 1)) ++n;
    return n;
}

SimFaults Faults(const std::string& text) { return ParseSimFaults(text, "test"); }

TEST_F(LedgerGuardTest, EachOutcomeLeavesItsRecord) {
    struct Case {
        const char* name;
        const char* faults;
        LedgerStatus reserve;
        bool verify;
        bool automatic;
        int result;
        std::vector<std::string> calls;
        bool sent;
        const char* logged;  // a log line that must be there
    };
    const Case cases[] = {
        {"written",
         "",
         LedgerStatus::Ok,
         false,
         true,
         0,
         {"reserve", "written"},
         true,
         "烧写成功 ID: A1"},
        {"a manual write may rewrite a held ID",
         "",
         LedgerStatus::Ok,
         false,
         false,
         0,
         {"rewrite", "written"},
         true,
         "烧写成功 ID: A1"},
        {"verified",
         "",
         LedgerStatus::Ok,
         true,
         true,
         0,
         {"reserve", "verified"},
         true,
         "烧写成功 ID: A1"},
        {"a block after the ID's is refused: in doubt, the device read back holds the ID, "
         "written",
         "fail_at=write:2",
         LedgerStatus::Ok,
         false,
         true,
         1,
         {"reserve", "in doubt", "read back 1"},
         true,
         "烧写中途出错，读回设备中已有ID A1，该ID已记为已烧写"},
        {"the first block is refused: in doubt until the device read back shows no ID",
         "fail_at=write:1",
         LedgerStatus::Ok,
         false,
         true,
         1,
         {"reserve", "in doubt", "release 1"},
         false,
         "烧写中途出错，读回设备中没有ID A1，该ID已释放"},
        {"the finish is not confirmed: the device read back holds the ID, written",
         "finish=garbled",
         LedgerStatus::Ok,
         false,
         true,
         1,
         {"reserve", "in doubt", "read back 1"},
         true,
         "烧写中途出错，读回设备中已有ID A1，该ID已记为已烧写"},
        {"the finish call fails and the device cannot be read back: stays in doubt",
         "fail_at=finish:1\nfail_at=read:1",
         LedgerStatus::Ok,
         false,
         true,
         1,
         {"reserve", "in doubt", "keep 1"},
         true,
         "ID A1 烧写结果不确定（设备 E:\\，端口 E），设备无法读回，该ID不会再被烧写。请读取该设备："
         "设备中已有该ID时用 tagsmith-cli ledger confirm A1 确认，否则用 tagsmith-cli ledger "
         "release A1 释放"},
        {"confirmed but not stored: kept reserved",
         "write=discard",
         LedgerStatus::Ok,
         true,
         true,
         1,
         {"reserve", "keep 1"},
         false,
         "烧写校验失败"},
        {"disk full: nothing is sent",
         "",
         LedgerStatus::Full,
         false,
         true,
         1,
         {"reserve", "write 1"},
         false,
         "烧写失败，无法在ID记录中预留该ID，设备未被改写：refused"},
        {"locked: nothing is sent, and the lock is not waited on twice",
         "",
         LedgerStatus::Busy,
         false,
         true,
         1,
         {"reserve"},
         false,
         "设备未被改写"},
        {"taken by another run: nothing is sent",
         "",
         LedgerStatus::Held,
         false,
         true,
         1,
         {"reserve", "write 1"},
         false,
         "ID A1 已被占用"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        line.Unplug('E');
        ASSERT_TRUE(line.Plug('E', 4096, Faults(c.faults)));
        std::filesystem::remove_all(app.Path() / "prvdata");
        std::filesystem::remove(app.Path() / "tmp.data");
        ledger = RecordingLedger();
        ledger.reserveAnswer = c.reserve;
        core.Ledger().Attach(&ledger, c.verify);
        page.automatic = c.automatic;
        log.text.clear();
        // Made current by discovery, which knows its drive.
        core.SetWriteMode(true);
        core.ScanDevices();
        ASSERT_NE(core.CurrentDevice(), nullptr);
        EXPECT_EQ(core.WriteDeviceSN(u"A1"), c.result);
        EXPECT_EQ(ledger.calls, c.calls);
        EXPECT_EQ(!Untouched('E'), c.sent);
        EXPECT_EQ(core.Ledger().lastTaken, c.reserve == LedgerStatus::Held);
        // A refused reservation costs no image: on a line sharing one list
        // most IDs a station tries are refused.
        if (c.reserve != LedgerStatus::Ok) {
            EXPECT_FALSE(Exists("tmp.data"));
            EXPECT_FALSE(Exists("prvdata"));
        }
        const std::vector<std::string> lines = LogLines();
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
            return l.find(c.logged) != std::string::npos;
        })) << WideToUtf8(log.text);
        // The device as the journal names it: the port of the line.
        ASSERT_FALSE(ledger.attempts.empty());
        EXPECT_EQ(ledger.attempts[0].device.port, "E");
        EXPECT_EQ(ledger.attempts[0].device.node, "E:\\");
        core.CloseCurrentDevice();
    }
}

TEST_F(LedgerGuardTest, AServerAwayPausesAutomaticWritingAndRetriesConfirmations) {
    struct Case {
        const char* name;
        bool automatic;
        bool waits;          // a waiting hook is set
        int waitsGiven;      // the hook gives up after this many waits
        int reserveOffline;  // Reserve answers Offline this often first
        int confirmOffline;  // MarkWritten answers Offline this often first
        bool verify;
        int result;
        std::vector<std::string> calls;
        std::vector<const char*> logged;
        int clockPauses = 0;                           // bounded retries, each a pause of the clock
        LedgerStatus reserveAfter = LedgerStatus::Ok;  // Reserve's answer once back
    };
    const Case cases[] = {
        {"paused, then resumed when the server is back",
         true,
         true,
         100,
         2,
         0,
         false,
         0,
         {"reserve", "reserve", "reserve", "written"},
         {"自动烧写已暂停", "自动烧写继续", "烧写成功 ID: A1"}},
        {"back, but another station took the ID meanwhile: the resume is logged all the same",
         true,
         true,
         100,
         2,
         0,
         false,
         1,
         {"reserve", "reserve", "reserve", "write 1"},
         {"自动烧写已暂停", "自动烧写继续", "ID A1 已被占用"},
         0,
         LedgerStatus::Held},
        {"a stop during the pause: nothing sent",
         true,
         true,
         2,
         5,
         0,
         false,
         1,
         {"reserve", "reserve", "write 1"},
         {"自动烧写已暂停", "设备未被改写：away"}},
        {"without a waiting hook the write fails at once",
         true,
         false,
         0,
         1,
         0,
         false,
         1,
         {"reserve", "write 1"},
         {"设备未被改写：away"}},
        {"a manual write never waits",
         false,
         true,
         100,
         1,
         0,
         false,
         1,
         {"rewrite", "write 1"},
         {"设备未被改写：away"}},
        {"a confirmation is tried again",
         true,
         false,
         0,
         0,
         2,
         false,
         0,
         {"reserve", "written offline", "written offline", "written"},
         {"烧写成功 ID: A1"},
         2},
        {"a verified confirmation too",
         true,
         false,
         0,
         0,
         1,
         true,
         0,
         {"reserve", "verified offline", "verified"},
         {"烧写成功 ID: A1"},
         1},
        {"retries are bounded: the ID stays reserved",
         true,
         false,
         0,
         0,
         100,
         false,
         0,
         {"reserve", "written offline", "written offline", "written offline"},
         {"该ID保持预留：away"},
         2},
        {"automatic writing waits for a confirmation past the bounded tries",
         true,
         true,
         100,
         0,
         4,
         false,
         0,
         {"reserve", "written offline", "written offline", "written offline", "written offline",
          "written"},
         {"自动烧写已暂停，正在重试：away", "自动烧写继续", "烧写成功 ID: A1"}},
        {"and for a verified one",
         true,
         true,
         100,
         0,
         3,
         true,
         0,
         {"reserve", "verified offline", "verified offline", "verified offline", "verified"},
         {"自动烧写已暂停", "自动烧写继续", "烧写成功 ID: A1"}},
        {"a stop while a confirmation waits: the device keeps its ID, the ID stays reserved",
         true,
         true,
         2,
         0,
         100,
         false,
         0,
         {"reserve", "written offline", "written offline"},
         {"自动烧写已暂停", "该ID保持预留：away"}},
        {"a manual write's confirmation is tried a few times only",
         false,
         true,
         100,
         0,
         100,
         false,
         0,
         {"rewrite", "written offline", "written offline", "written offline"},
         {"该ID保持预留：away"},
         2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        line.Unplug('E');
        ASSERT_TRUE(line.Plug('E', 4096));
        ledger = RecordingLedger();
        ledger.reserveOffline = c.reserveOffline;
        ledger.confirmOffline = c.confirmOffline;
        ledger.reserveAnswer = c.reserveAfter;
        core.Ledger().Attach(&ledger, c.verify);
        core.Ledger().confirmRetries = 2;
        core.Ledger().retryDelayMs = 7;
        clock.sleeps.clear();
        int waited = 0;
        core.Ledger().waitOffline = nullptr;
        if (c.waits) core.Ledger().waitOffline = [&] { return ++waited < c.waitsGiven; };
        page.automatic = c.automatic;
        log.text.clear();
        core.SetWriteMode(true);
        core.ScanDevices();
        ASSERT_NE(core.CurrentDevice(), nullptr);
        EXPECT_EQ(core.WriteDeviceSN(u"A1"), c.result);
        EXPECT_EQ(ledger.calls, c.calls);
        EXPECT_EQ(Untouched('E'), c.result != 0);
        const std::string text = WideToUtf8(log.text);
        for (const char* l : c.logged)
            EXPECT_NE(text.find(l), std::string::npos) << l << "\n" << text;
        // A pause is logged once however long it lasts.
        EXPECT_LE(Count(text, "自动烧写已暂停"), 1u);
        EXPECT_EQ(std::count(clock.sleeps.begin(), clock.sleeps.end(), 7u), c.clockPauses);
        core.CloseCurrentDevice();
    }
}

// The station's own wait (what a window uses): through the front end's
// clock, until the server is back or the operator switches automatic writing
// off.
TEST_F(LedgerGuardTest, TheStationWaitsThroughItsClockUntilAutomaticWritingStops) {
    struct StoppingClock : FakeClock {
        int pauses = 0;
        int stopAt = 0;  // this pause switches automatic writing off (0: none)
        test::FakePage* page = nullptr;
        bool Pause(uint32_t ms, const std::function<bool()>& goOn) override {
            Sleep(ms);
            if (++pauses == stopAt) page->automatic = false;
            return goOn();
        }
    };
    struct Case {
        const char* name;
        int reserveOffline;
        int stopAt;
        int result;
        int pauses;
        const char* logged;
    };
    const Case cases[] = {
        {"resumed when the server is back", 3, 0, 0, 3, "自动烧写继续"},
        {"switched off during the pause: nothing sent", 100, 2, 1, 2, "设备未被改写：away"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StoppingClock pausing;
        pausing.stopAt = c.stopAt;
        pausing.page = &page;
        core.SetClock(&pausing);
        line.Unplug('E');
        ASSERT_TRUE(line.Plug('E', 4096));
        ledger = RecordingLedger();
        ledger.reserveOffline = c.reserveOffline;
        core.Ledger().Attach(&ledger, false);
        ASSERT_TRUE(core.Ledger().waitOffline);  // set up when the station opened
        page.automatic = true;
        log.text.clear();
        core.SetWriteMode(true);
        core.ScanDevices();
        ASSERT_NE(core.CurrentDevice(), nullptr);
        EXPECT_EQ(core.WriteDeviceSN(u"A1"), c.result);
        EXPECT_EQ(pausing.pauses, c.pauses);
        EXPECT_EQ(pausing.sleeps, std::vector<uint32_t>(c.pauses, 1500u));
        EXPECT_EQ(Untouched('E'), c.result != 0);
        EXPECT_NE(WideToUtf8(log.text).find(c.logged), std::string::npos) << WideToUtf8(log.text);
        core.CloseCurrentDevice();
        core.SetClock(&clock);
    }
}

TEST_F(LedgerGuardTest, AnUnusableLedgerRefusesEveryWrite) {
    ASSERT_TRUE(line.Plug('E', 4096));
    core.Ledger().Attach(nullptr, false);
    core.Ledger().SetFault(u"damaged");
    page.automatic = true;
    OpenCurrent();
    EXPECT_EQ(core.WriteDeviceSN(u"A1"), 1);
    EXPECT_TRUE(Untouched('E'));
    EXPECT_NE(WideToUtf8(log.text).find("烧写失败，ID记录无法使用：damaged"), std::string::npos);
}

TEST_F(LedgerGuardTest, ReadsAreJournalled) {
    ASSERT_TRUE(line.Plug('F', 4096));
    core.Ledger().Attach(&ledger, false);
    core.SetWriteMode(false);
    core.ScanDevices();  // blank: nothing to read
    core.SetWriteMode(true);
    ASSERT_TRUE(line.Plug('E', 4096));
    core.ScanDevices();
    ASSERT_EQ(core.WriteDeviceSN(u"B7"), 0);
    // Plugged in again and read.
    const auto storage = line.Storage('E');
    line.Unplug('E');
    ASSERT_TRUE(line.Plug('E', storage));
    core.SetWriteMode(false);
    core.ScanDevices();
    EXPECT_EQ(ledger.calls, (std::vector<std::string>{"read 518", "rewrite", "written", "read 0"}));
    ASSERT_EQ(ledger.attempts.size(), 3u);
    EXPECT_EQ(ledger.attempts[0].device.port, "F");
    EXPECT_EQ(ledger.attempts[0].id, u"");
    EXPECT_EQ(ledger.attempts[2].mode, AttemptMode::Read);
    EXPECT_EQ(ledger.attempts[2].id, u"B7");
    EXPECT_EQ(ledger.attempts[2].device.port, "E");
}

}  // namespace
}  // namespace ts
