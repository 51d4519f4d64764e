#include <gtest/gtest.h>
#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "idsource/IdList.h"
#include "ledger/CounterBound.h"
#include "ledger/Resume.h"
#include "platform/Codepage.h"
#include "tests/ledger/LedgerFixture.h"

namespace ts {
namespace {

using test::kStartMs;

// The behaviour every kind of ledger shares, on each kind.
template <class Kind>
class LedgerTest : public test::AnyLedgerFixture<Kind> {};
TYPED_TEST_SUITE(LedgerTest, test::LedgerKinds, test::LedgerKindNames);

// Steps on one ID through named reservations, with the status each returns
// and the state the ID is in afterwards.
struct Step {
    // reserve, rewrite, written, verified, release, keep, indoubt, readback;
    // operator (the operator's release) and confirm (the operator's
    // confirmation)
    const char* op;
    const char* handle;  // the reservation a step makes or uses
    LedgerStatus status;
    IdState after;
};

struct TransitionCase {
    const char* name;
    std::vector<Step> steps;
};

TYPED_TEST(LedgerTest, StateTransitions) {
    using S = LedgerStatus;
    using I = IdState;
    const std::vector<TransitionCase> cases = {
        {"confirmed write",
         {{"reserve", "r1", S::Ok, I::Reserved},
          {"written", "r1", S::Ok, I::Written},
          {"reserve", "r2", S::Held, I::Written},
          {"operator", "", S::NotReserved, I::Written},
          {"confirm", "", S::NotReserved, I::Written}}},
        {"an ID the ledger does not know cannot be confirmed",
         {{"confirm", "", S::NotReserved, I::None}}},
        {"the operator confirms what the device holds; a late release does not free it",
         {{"reserve", "r1", S::Ok, I::Reserved},
          {"confirm", "", S::Ok, I::Written},
          {"confirm", "", S::NotReserved, I::Written},
          {"release", "r1", S::Ok, I::Written},
          {"reserve", "r2", S::Held, I::Written}}},
        {"failed write goes back into circulation",
         {{"reserve", "r1", S::Ok, I::Reserved},
          {"reserve", "r2", S::Held, I::Reserved},
          {"release", "r1", S::Ok, I::Released},
          {"reserve", "r2", S::Ok, I::Reserved},
          {"written", "r2", S::Ok, I::Written}}},
        {"verified from reserved",
         {{"reserve", "r1", S::Ok, I::Reserved},
          {"verified", "r1", S::Ok, I::Verified},
          {"reserve", "r2", S::Held, I::Verified},
          {"confirm", "", S::NotReserved, I::Verified}}},
        {"written, then verified",
         {{"reserve", "r1", S::Ok, I::Reserved},
          {"written", "r1", S::Ok, I::Written},
          {"verified", "r1", S::Ok, I::Verified}}},
        {"verify mismatch stays reserved until the operator releases it",
         {{"reserve", "r1", S::Ok, I::Reserved},
          {"keep", "r1", S::Ok, I::Reserved},
          {"reserve", "r2", S::Held, I::Reserved},
          {"operator", "", S::Ok, I::Released},
          {"operator", "", S::NotReserved, I::Released},
          {"confirm", "", S::NotReserved, I::Released}}},
        {"failed rewrite gives the earlier write back",
         {{"reserve", "r1", S::Ok, I::Reserved},
          {"written", "r1", S::Ok, I::Written},
          {"rewrite", "r2", S::Ok, I::Reserved},
          {"release", "r2", S::Ok, I::Written}}},
        {"rewrite of a rewrite in progress keeps the original",
         {{"reserve", "r1", S::Ok, I::Reserved},
          {"verified", "r1", S::Ok, I::Verified},
          {"rewrite", "r2", S::Ok, I::Reserved},
          {"rewrite", "r3", S::Ok, I::Reserved},
          {"release", "r3", S::Ok, I::Verified}}},
        {"operator release of a rewrite gives the earlier write back",
         {{"reserve", "r1", S::Ok, I::Reserved},
          {"written", "r1", S::Ok, I::Written},
          {"rewrite", "r2", S::Ok, I::Reserved},
          {"operator", "", S::Ok, I::Written}}},
        {"operator confirm of a rewrite keeps the new write",
         {{"reserve", "r1", S::Ok, I::Reserved},
          {"verified", "r1", S::Ok, I::Verified},
          {"rewrite", "r2", S::Ok, I::Reserved},
          {"confirm", "", S::Ok, I::Written},
          {"release", "r2", S::Ok, I::Written}}},
        {"a late release does not free another run's reservation",
         {{"reserve", "r1", S::Ok, I::Reserved},
          {"operator", "", S::Ok, I::Released},
          {"reserve", "r2", S::Ok, I::Reserved},
          {"release", "r1", S::Ok, I::Reserved},
          {"written", "r2", S::Ok, I::Written}}},
        {"a device that confirmed counts even after the operator released it",
         {{"reserve", "r1", S::Ok, I::Reserved},
          {"operator", "", S::Ok, I::Released},
          {"written", "r1", S::Ok, I::Written}}},
        {"rewrite of a free ID is a plain reservation",
         {{"rewrite", "r1", S::Ok, I::Reserved}, {"release", "r1", S::Ok, I::Released}}},
        {"an ID in doubt is held until a read-back found it elsewhere",
         {{"reserve", "r1", S::Ok, I::Reserved},
          {"indoubt", "r1", S::Ok, I::InDoubt},
          {"reserve", "r2", S::Held, I::InDoubt},
          {"release", "r1", S::Ok, I::Released}}},
        {"an ID in doubt found on its device is written",
         {{"reserve", "r1", S::Ok, I::Reserved},
          {"indoubt", "r1", S::Ok, I::InDoubt},
          {"readback", "r1", S::Ok, I::Written},
          {"confirm", "", S::NotReserved, I::Written}}},
        {"the operator settles an ID in doubt",
         {{"reserve", "r1", S::Ok, I::Reserved},
          {"indoubt", "r1", S::Ok, I::InDoubt},
          {"keep", "r1", S::Ok, I::InDoubt},
          {"confirm", "", S::Ok, I::Written}}},
        {"a confirmation after the ID was taken over is a collision, never an overwrite",
         {{"reserve", "r1", S::Ok, I::Reserved},
          {"operator", "", S::Ok, I::Released},
          {"reserve", "r2", S::Ok, I::Reserved},
          {"written", "r1", S::Collision, I::Reserved},
          {"readback", "r1", S::Collision, I::Reserved},
          {"written", "r2", S::Ok, I::Written}}},
    };
    int n = 0;
    for (const auto& c : cases) {
        auto l = this->Open();
        ASSERT_TRUE(l);
        const std::u16string id = u"A" + Utf8ToWide(std::to_string(++n));
        std::map<std::string, Reservation> handles;
        for (size_t k = 0; k < c.steps.size(); ++k) {
            const Step& s = c.steps[k];
            const std::string op = s.op;
            LedgerResult r;
            if (op == "reserve" || op == "rewrite") {
                Reservation res;
                r = l->Reserve(this->Write(id), op == "rewrite", &res);
                if (r.ok()) handles[s.handle] = res;
            } else if (op == "operator") {
                r = l->ReleaseReserved(id, nullptr);
            } else if (op == "confirm") {
                r = l->ConfirmReserved(id, nullptr);
            } else {
                const Reservation& res = handles.at(s.handle);
                if (op == "written") r = l->MarkWritten(res);
                if (op == "verified") r = l->MarkVerified(res);
                if (op == "release") r = l->Release(res, 1);
                if (op == "keep") r = l->KeepReserved(res, 2);
                if (op == "indoubt") r = l->MarkInDoubt(res);
                if (op == "readback") r = l->MarkReadBack(res, 1);
            }
            EXPECT_EQ(r.status, s.status) << c.name << ", step " << k << ": " << r.message;
            EXPECT_EQ(this->StateOf(*l, id), s.after) << c.name << ", step " << k;
        }
    }
}

// A reservation belongs to its run's session: while that run is alive it is
// neither left over nor settled by the operator; once it ended, it is both.
TYPED_TEST(LedgerTest, OnlyADeadRunsReservationIsLeftOver) {
    auto run = this->Open("st1");
    Reservation r;
    ASSERT_TRUE(run->Reserve(this->Write(u"L1", "E"), false, &r).ok());
    auto restarted = this->Open("st1");
    std::vector<IdRecord> recs;
    ASSERT_TRUE(restarted->StaleReservations(&recs).ok());
    EXPECT_TRUE(recs.empty()) << "the first run is writing it now";
    ASSERT_TRUE(restarted->ListReserved(&recs).ok());
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_TRUE(recs[0].live);
    EXPECT_EQ(restarted->ReleaseReserved(u"L1", nullptr).status, LedgerStatus::InProgress);
    EXPECT_EQ(restarted->ConfirmReserved(u"L1", nullptr).status, LedgerStatus::InProgress);
    EXPECT_EQ(this->StateOf(*restarted, u"L1"), IdState::Reserved);

    run.reset();  // the run died
    ASSERT_TRUE(restarted->StaleReservations(&recs).ok());
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].id, u"L1");
    EXPECT_FALSE(recs[0].live);
    EXPECT_TRUE(restarted->ReleaseReserved(u"L1", nullptr).ok());
}

TYPED_TEST(LedgerTest, HeldIdTellsByWhomAndWhen) {
    auto l = this->Open();
    Reservation r1;
    ASSERT_TRUE(l->Reserve(this->Write(u"AB", "E"), false, &r1).ok());
    this->now += 5000;
    ASSERT_TRUE(l->MarkWritten(r1).ok());
    this->now += 5000;
    Reservation r2;
    IdRecord existing;
    const LedgerResult r = l->Reserve(this->Write(u"AB", "F"), false, &r2, &existing);
    EXPECT_EQ(r.status, LedgerStatus::Held);
    EXPECT_NE(r.message.find("AB"), std::string::npos) << r.message;
    EXPECT_EQ(existing.state, IdState::Written);
    EXPECT_EQ(existing.station, "st1");
    EXPECT_EQ(existing.device, "port E");
    EXPECT_EQ(existing.timeMs, kStartMs + 5000);

    // The operator writes it again on F, which fails: the record shows the
    // write on E again, not the failed attempt.
    ASSERT_TRUE(l->Reserve(this->Write(u"AB", "F"), true, &r2).ok());
    IdRecord rec;
    ASSERT_TRUE(l->Lookup(u"AB", &rec).ok());
    EXPECT_EQ(rec.device, "port F");
    this->now += 5000;
    ASSERT_TRUE(l->Release(r2, 1).ok());
    ASSERT_TRUE(l->Lookup(u"AB", &rec).ok());
    EXPECT_EQ(rec.state, IdState::Written);
    EXPECT_EQ(rec.device, "port E");
    EXPECT_EQ(rec.timeMs, kStartMs) << "the time of the attempt that wrote it";
}

TYPED_TEST(LedgerTest, JournalRecordsEveryAttempt) {
    auto l = this->Open();
    DeviceInfo dev;
    dev.node = "/dev/sg3";
    dev.usbSerial = "SN-1";
    dev.usbVendor = "0781";
    dev.usbProduct = "5567";
    Attempt fromFile =
        this->Write(u"0001", "", IdSource::FromFile(std::string(64, 'a'), "b7.ids", 12));
    fromFile.device = dev;
    Reservation r;
    ASSERT_TRUE(l->Reserve(fromFile, false, &r).ok());
    ASSERT_TRUE(l->MarkVerified(r).ok());

    this->now += 60000;
    ASSERT_TRUE(l->Reserve(this->Write(u"AB0FCD", "F", IdSource::FromCounter(u"AB", u"CD", true)),
                           false, &r)
                    .ok());
    ASSERT_TRUE(l->Release(r, 1).ok());

    this->now += 60000;
    ASSERT_TRUE(l->Reserve(this->Write(u"77"), false, &r).ok());  // never finished
    Attempt read;
    read.mode = AttemptMode::Read;
    read.id = u"0001";
    read.device = this->Port("G");
    ASSERT_TRUE(l->RecordAttempt(read, 0, 250, false).ok());
    ASSERT_TRUE(l->ReleaseReserved(u"77", nullptr).ok());
    ASSERT_TRUE(l->Reserve(this->Write(u"78", "F"), false, &r).ok());
    ASSERT_TRUE(l->ConfirmReserved(u"78", nullptr).ok());

    std::vector<std::string> lines;
    auto collect = [&](int64_t since) {
        lines.clear();
        const LedgerResult res = l->ReadJournal(since, [&](const JournalRow& j) {
            std::string s = std::to_string(j.timeMs - kStartMs) + "|" + std::string(j.station) +
                            "|" + std::string(j.mode) + "|" + std::string(j.source) + "|" +
                            std::string(j.fileSha256.substr(0, 2)) + "|" + std::string(j.fileName) +
                            "|" + std::to_string(j.line) + "|" + std::string(j.prefix) + "|" +
                            std::string(j.suffix) + "|" + std::string(j.direction) + "|" +
                            std::string(j.id) + "|" + std::string(j.device) + "|" +
                            std::string(j.usbSerial) + "|" + std::string(j.usbVendor) + "|" +
                            std::string(j.usbProduct) + "|" + std::string(j.port) + "|" +
                            (j.result ? std::to_string(*j.result) : "none") + "|" +
                            (j.verified ? "verified" : "");
            lines.push_back(s);
            return true;
        });
        EXPECT_TRUE(res.ok()) << res.message;
    };
    collect(INT64_MIN);
    const std::vector<std::string> expected = {
        "0|st1|write|file|aa|b7.ids|12||||0001|/dev/sg3|SN-1|0781|5567||0|verified",
        "60000|st1|write|counter|||0|AB|CD|down|AB0FCD|||||F|1|",
        "120000|st1|write|scan|||0||||77|||||E|none|",
        "120000|st1|read||||0||||0001|||||G|0|",
        "120000|st1|release||||0||||77|port E|||||0|",
        "120000|st1|write|scan|||0||||78|||||F|none|",
        "120000|st1|confirm||||0||||78|port F|||||0|",
    };
    EXPECT_EQ(lines, expected);
    collect(kStartMs + 60000);
    EXPECT_EQ(lines.size(), 6u) << "from the second attempt on";
    collect(kStartMs + 200000);
    EXPECT_TRUE(lines.empty());

    // The sink may stop early.
    int seen = 0;
    ASSERT_TRUE(l->ReadJournal(INT64_MIN, [&](const JournalRow&) { return ++seen < 2; }).ok());
    EXPECT_EQ(seen, 2);
}

// Which devices were given an ID, by USB serial: the store's look-up agrees
// with the rule applied to every journal row.
TYPED_TEST(LedgerTest, SerialHeldIdCountsTheRowsThatGaveAnId) {
    auto l = this->Open();
    struct Row {
        const char* serial;
        AttemptMode mode;
        const char16_t* id;
        int result;  // -1: a reservation left open; -2: released with 1
    };
    const std::vector<Row> rows = {
        {"W-OK", AttemptMode::Write, u"01", 0},      {"W-FAILED", AttemptMode::Write, u"02", -2},
        {"W-OPEN", AttemptMode::Write, u"03", -1},   {"R-ID", AttemptMode::Read, u"04", 0},
        {"R-FAILED", AttemptMode::Read, u"05", 3},   {"R-EMPTY", AttemptMode::Read, u"", 0},
        {"BACK", AttemptMode::ReadBack, u"06", 0},   {"CONFIRM", AttemptMode::Confirm, u"07", 0},
        {"RELEASE", AttemptMode::Release, u"08", 0}, {"REPLACE", AttemptMode::Replace, u"09", 0},
        {"", AttemptMode::Write, u"0A", 0},
    };
    for (const Row& row : rows) {
        Attempt a = this->Write(row.id);
        a.mode = row.mode;
        a.device.usbSerial = row.serial;
        Reservation r;
        if (row.result < 0) {
            ASSERT_TRUE(l->Reserve(a, false, &r).ok());
            if (row.result == -2) {
                ASSERT_TRUE(l->Release(r, 1).ok());
            }
        } else {
            ASSERT_TRUE(l->RecordAttempt(a, row.result, 0, false).ok());
        }
    }
    const std::map<std::string, bool> expected = {
        {"W-OK", true},      {"W-FAILED", true}, {"W-OPEN", true}, {"R-ID", true},
        {"R-FAILED", false}, {"R-EMPTY", false}, {"BACK", true},   {"CONFIRM", true},
        {"RELEASE", false},  {"REPLACE", false}, {"", false},      {"UNKNOWN", false},
    };
    for (const auto& [serial, want] : expected) {
        bool held = !want;
        const LedgerResult r = l->SerialHeldId(serial, &held);
        ASSERT_TRUE(r.ok()) << r.message;
        EXPECT_EQ(held, want) << "serial '" << serial << "'";
        bool scanned = !want;
        ASSERT_TRUE(l->IdLedger::SerialHeldId(serial, &scanned).ok());
        EXPECT_EQ(scanned, want) << "serial '" << serial << "', whole journal";
    }
}

// What the ledger holds, then a list whose entries are checked against it;
// both the one-by-one and the one-pass look-ups give the same answers.
TYPED_TEST(LedgerTest, StatesOfAListForResuming) {
    auto l = this->Open();
    this->Put(*l, u"A", "written");
    this->Put(*l, u"B", "reserved");
    this->Put(*l, u"C", "released");
    this->Put(*l, u"D", "verified");
    this->Put(*l, u"中文", "written");
    const std::vector<std::u16string> head = {u"A", u"X", u"B", u"C", u"D", u"A", u"", u"中文"};
    const std::vector<IdState> expected = {IdState::Written,  IdState::None,     IdState::Reserved,
                                           IdState::Released, IdState::Verified, IdState::Written,
                                           IdState::None,     IdState::Written};
    for (size_t pad : {size_t{0}, TypeParam::kLongList}) {
        std::vector<std::u16string> list = head;
        for (size_t i = 0; i < pad; ++i) list.push_back(u"F" + Utf8ToWide(std::to_string(i)));
        std::vector<IdState> states;
        const LedgerResult r = l->StatesOf(
            list.size(), [&](size_t i) { return std::u16string_view(list[i]); }, &states);
        ASSERT_TRUE(r.ok()) << r.message;
        ASSERT_EQ(states.size(), list.size());
        EXPECT_EQ(std::vector<IdState>(states.begin(), states.begin() + head.size()), expected)
            << "padding " << pad;
        for (size_t i = head.size(); i < list.size(); ++i)
            ASSERT_EQ(states[i], IdState::None) << "padding " << pad << ", entry " << i;
    }

    // An ID list: held entries become used, others stay free.
    IdList ids;
    for (const auto& id : head) ids.Append(id);
    ResumeCounts counts;
    ASSERT_TRUE(MarkHeldUsed(*l, ids, &counts).ok());
    std::vector<bool> used;
    for (size_t i = 0; i < ids.size(); ++i) used.push_back(ids.IsUsed(i));
    EXPECT_EQ(used, (std::vector<bool>{true, false, true, false, true, true, false, true}));
    EXPECT_EQ(counts.written, 4u);
    EXPECT_EQ(counts.reserved, 1u);
    uint32_t cursor = 0;
    ASSERT_TRUE(ids.AdvanceToUnused(cursor));
    EXPECT_EQ(ids.Text(cursor), u"X") << "the first ID no device has";
}

TYPED_TEST(LedgerTest, FurthestCounterOfAPrefixAndSuffix) {
    auto l = this->Open();
    struct Held {
        const char16_t* id;
        const char* how;
    };
    const std::vector<Held> held = {
        {u"AB0FCD", "written"},  {u"AB10CD", "reserved"}, {u"AB100CD", "released"},
        {u"AB1GCD", "written"},  {u"ABCD", "written"},    {u"AB0000FFCD", "verified"},
        {u"XAB20CD", "written"}, {u"AB30CDE", "written"}, {u"0X5", "written"},
    };
    for (const auto& h : held) this->Put(*l, h.id, h.how);
    struct Case {
        const char16_t* prefix;
        const char16_t* suffix;
        bool down;
        std::optional<std::u16string> furthest;
    };
    const std::vector<Case> cases = {
        {u"AB", u"CD", false, u"0000FF"},  // by value; AB100CD is released
        {u"AB", u"CD", true, u"0F"},
        {u"A B ", u"\tCD\r", false, u"0000FF"},  // blanks are not part of an ID
        {u"A", u"CD", false, u"B0000FF"},        // a hexadecimal prefix overlaps the digits
        {u"AB", u"CDE", false, u"30"},
        {u"", u"", false, u"AB0000FFCD"},  // every all-hexadecimal held ID
        {u"", u"", true, u"ABCD"},
        {u"0X", u"", false, u"5"},
        {u"ZZ", u"", false, std::nullopt},
        {u"AB", u"EF", true, std::nullopt},
    };
    for (const auto& c : cases) {
        std::optional<std::u16string> got = u"unset";
        const LedgerResult r = l->FurthestCounter(c.prefix, c.suffix, c.down, &got);
        ASSERT_TRUE(r.ok()) << r.message;
        EXPECT_EQ(got, c.furthest) << U8(c.prefix) << "|" << U8(c.suffix) << " down " << c.down;
    }

    std::optional<std::u16string> next;
    ASSERT_TRUE(ResumeCounter(*l, u"AB", u"5", u"CD", false, &next).ok());
    EXPECT_EQ(next, u"100");
    ASSERT_TRUE(ResumeCounter(*l, u"AB", u"5", u"CD", true, &next).ok());
    EXPECT_EQ(next, u"5") << "counting down from below the held ones";
}

TEST(CounterPastTest, MovesPastTheFurthestHeldValue) {
    struct Case {
        const char16_t* current;
        std::optional<std::u16string> furthest;
        bool down;
        std::optional<std::u16string> expected;
    };
    const std::vector<Case> cases = {
        {u"5", std::nullopt, false, u"5"}, {u"5", u"0000FF", false, u"100"},
        {u"FF", u"FF", false, u"100"},     {u"100", u"FF", false, u"100"},
        {u"0x0a", u"F", false, u"10"},     {u"0", u"FFF", false, u"1000"},
        {u"0", u"0", false, u"1"},         {u"20", u"10", true, u"F"},
        {u"10", u"10", true, u"F"},        {u"5", u"10", true, u"5"},
        {u"10", u"0", true, std::nullopt}, {u"10", u"000", true, std::nullopt},
        {u"G1", u"5", false, u"G1"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CounterPast(c.current, c.furthest, c.down), c.expected)
            << U8(c.current) << " past " << (c.furthest ? U8(*c.furthest) : "none") << " down "
            << c.down;
}

TYPED_TEST(LedgerTest, StaleReservationsAreThoseOfEarlierRuns) {
    {
        auto first = this->Open();
        Reservation r;
        ASSERT_TRUE(first->Reserve(this->Write(u"A1", "E"), false, &r).ok());
        this->now += 1000;
        ASSERT_TRUE(first->Reserve(this->Write(u"A2", "F"), false, &r).ok());
        ASSERT_TRUE(first->MarkWritten(r).ok());
        std::vector<IdRecord> stale;
        ASSERT_TRUE(first->StaleReservations(&stale).ok());
        EXPECT_TRUE(stale.empty()) << "its own reservations are not stale";
    }
    this->now += 1000;
    auto other = this->Open("st2");
    Reservation r;
    ASSERT_TRUE(other->Reserve(this->Write(u"B1", "G"), false, &r).ok());
    auto second = this->Open();
    ASSERT_TRUE(second->Reserve(this->Write(u"A3", "H"), false, &r).ok());

    std::vector<IdRecord> stale;
    ASSERT_TRUE(second->StaleReservations(&stale).ok());
    ASSERT_EQ(stale.size(), 1u);
    EXPECT_EQ(stale[0].id, u"A1");
    EXPECT_EQ(stale[0].device, "port E");
    EXPECT_EQ(stale[0].timeMs, kStartMs);
    EXPECT_EQ(stale[0].station, "st1");

    std::vector<IdRecord> all;
    ASSERT_TRUE(second->ListReserved(&all).ok());
    std::vector<std::u16string> ids;
    for (const auto& rec : all) ids.push_back(rec.id);
    EXPECT_EQ(ids, (std::vector<std::u16string>{u"A1", u"B1", u"A3"}));

    IdRecord was;
    ASSERT_TRUE(second->ReleaseReserved(u"A1", &was).ok());
    EXPECT_EQ(was.device, "port E");
    ASSERT_TRUE(second->StaleReservations(&stale).ok());
    EXPECT_TRUE(stale.empty());

    StateCounts counts;
    ASSERT_TRUE(second->Counts(&counts).ok());
    EXPECT_EQ(counts.reserved, 2u);
    EXPECT_EQ(counts.written, 1u);
    EXPECT_EQ(counts.verified, 0u);
    EXPECT_EQ(counts.released, 1u);
}

// Processes killed with fork and SIGKILL: Linux only (the Windows build's
// kills are those of tagsmith-cli's kill points, tests/cli/LedgerRunTest.cpp).
#ifndef _WIN32
// A process killed at any moment keeps every reservation it was told about.
TYPED_TEST(LedgerTest, ReservationSurvivesSigkill) {
    this->Open();  // made before, so the child only reserves
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::unique_ptr<IdLedger> l;
        LedgerOpenOptions o;
        o.station = "st1";
        if (!this->kind.Open(o, &l).ok()) _exit(3);
        Reservation r;
        Attempt a;
        a.id = u"C00";
        if (!l->Reserve(a, false, &r).ok()) _exit(4);
        kill(getpid(), SIGKILL);  // right after the reservation returned
        _exit(5);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    auto l = this->Open();
    ASSERT_TRUE(l);
    EXPECT_EQ(this->StateOf(*l, u"C00"), IdState::Reserved);
    std::vector<IdRecord> stale;
    ASSERT_TRUE(l->StaleReservations(&stale).ok());
    ASSERT_EQ(stale.size(), 1u);
    EXPECT_EQ(stale[0].id, u"C00");
    int rows = 0;
    ASSERT_TRUE(l->ReadJournal(INT64_MIN, [&](const JournalRow& j) {
                     EXPECT_FALSE(j.result) << "the attempt never finished";
                     return ++rows != 0;
                 }).ok());
    EXPECT_EQ(rows, 1);
}

TYPED_TEST(LedgerTest, KilledInTheMiddleOfReservingLosesNoReportedReservation) {
    this->Open();
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(fds[0]);
        std::unique_ptr<IdLedger> l;
        LedgerOpenOptions o;
        o.station = "st1";
        if (!this->kind.Open(o, &l).ok()) _exit(3);
        for (int i = 0;; ++i) {
            Reservation r;
            Attempt a;
            a.id = u"D" + Utf8ToWide(std::to_string(i));
            if (!l->Reserve(a, false, &r).ok()) _exit(4);
            if (i % 2 == 1 && !l->MarkWritten(r).ok()) _exit(4);
            if (write(fds[1], &i, sizeof i) != sizeof i) _exit(5);
        }
    }
    close(fds[1]);
    int last = -1, got = 0;
    while (last < 20 && read(fds[0], &got, sizeof got) == sizeof got) last = got;
    kill(pid, SIGKILL);  // lands somewhere in a later transaction
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    close(fds[0]);
    ASSERT_TRUE(WIFSIGNALED(status)) << "child exit " << WEXITSTATUS(status);
    auto l = this->Open();
    ASSERT_TRUE(l) << "a ledger killed mid-transaction opens cleanly";
    for (int i = 0; i <= last; ++i)
        EXPECT_EQ(this->StateOf(*l, u"D" + Utf8ToWide(std::to_string(i))),
                  i % 2 == 1 ? IdState::Written : IdState::Reserved)
            << i;
}

#endif

}  // namespace
}  // namespace ts
