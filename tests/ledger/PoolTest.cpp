// Pools the stations share: counters handed out value by value, ID lists
// kept by content, and the status a supervisor reads. Run on both ledgers.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/Codepage.h"
#include "tests/ledger/LedgerFixture.h"

namespace ts {
namespace {

template <class Kind>
class PoolTest : public test::AnyLedgerFixture<Kind> {};
TYPED_TEST_SUITE(PoolTest, test::LedgerKinds, test::LedgerKindNames);

TYPED_TEST(PoolTest, CounterValuesAreSharedByStations) {
    auto st1 = this->Open("st1");
    auto st2 = this->Open("st2");
    ASSERT_TRUE(st1 && st2);
    // Held before the counter was ever shared: a new counter starts past it.
    this->Put(*st1, u"AB0100CD", "written");
    struct Step {
        int station;  // 1 or 2
        const char16_t* prefix;
        const char16_t* suffix;
        bool down;
        const char16_t* start;
        std::optional<std::u16string> value;
    };
    const std::vector<Step> steps = {
        {1, u"AB", u"CD", false, u"5", u"101"},       // past the held 100
        {2, u"AB", u"CD", false, u"5", u"102"},       // another station continues
        {2, u"A B", u"CD\t", false, u"0x5", u"103"},  // blanks are not part of an ID
        {1, u"AB", u"CD", false, u"200", u"200"},     // the operator moved it on
        {2, u"AB", u"CD", false, u"5", u"201"},
        {1, u"AB", u"EF", false, u"5", u"5"},  // another suffix, another counter
        {1, u"AB", u"CD", true, u"2", u"2"},   // counting down is a counter of its own
        {2, u"AB", u"CD", true, u"2", u"1"},
        {1, u"AB", u"CD", true, u"0", u"0"},
        {2, u"AB", u"CD", true, u"9", std::nullopt},  // zero was handed out: done
        {1, u"AB", u"CD", false, u"G1", u"G1"},       // not a counter: back as it is
        {1, u"X", u"", false, u"ff", u"FF"},
        {2, u"X", u"", false, u"ff", u"100"},
    };
    for (size_t k = 0; k < steps.size(); ++k) {
        const Step& s = steps[k];
        std::optional<std::u16string> value = u"unset";
        const LedgerResult r =
            (s.station == 1 ? st1 : st2)->NextCounter(s.prefix, s.suffix, s.down, s.start, &value);
        ASSERT_TRUE(r.ok()) << "step " << k << ": " << r.message;
        EXPECT_EQ(value, s.value) << "step " << k << " got "
                                  << (value ? WideToUtf8(*value) : std::string("none"));
    }
}

TYPED_TEST(PoolTest, StatusOfAListAndACounterPerStation) {
    auto st1 = this->Open("st1");
    auto st2 = this->Open("st2");
    ASSERT_TRUE(st1 && st2);
    const std::string sha(64, 'a');
    const std::vector<std::u16string> list = {u"L1", u"L2", u"L3", u"L4", u"L5", u"L2"};
    auto idAt = [&](size_t i) { return std::u16string_view(list[i]); };
    auto lineAt = [](size_t i) { return static_cast<uint32_t>(i + 1); };
    bool added = false;
    ASSERT_TRUE(st1->ImportList(sha, "b7.ids", list.size(), idAt, lineAt, &added).ok());
    EXPECT_TRUE(added);
    ASSERT_TRUE(st2->ImportList(sha, "other-name.ids", list.size(), idAt, lineAt, &added).ok());
    EXPECT_FALSE(added) << "the same content is the same list";

    auto fromList = [&](const char16_t* id, uint32_t line) {
        return this->Write(id, "E", IdSource::FromFile(sha, "b7.ids", line));
    };
    Reservation r;
    ASSERT_TRUE(st1->Reserve(fromList(u"L1", 1), false, &r).ok());
    ASSERT_TRUE(st1->MarkWritten(r).ok());
    ASSERT_TRUE(st1->Reserve(fromList(u"L2", 2), false, &r).ok());
    ASSERT_TRUE(st1->MarkVerified(r).ok());
    ASSERT_TRUE(st2->Reserve(fromList(u"L3", 3), false, &r).ok());
    ASSERT_TRUE(st2->Release(r, 7).ok());                           // failed: free again
    ASSERT_TRUE(st2->Reserve(fromList(u"L3", 3), false, &r).ok());  // left reserved
    // An ID passed over because it is held is no failure of the station.
    ASSERT_TRUE(st2->RecordAttempt(fromList(u"L1", 1), 1, 0, false).ok());
    // A scan of an ID of the list holds it too, but is no station's share of it.
    this->Put(*st2, u"L4", "written");

    const IdSource counter = IdSource::FromCounter(u"C ", u"", false);
    std::optional<std::u16string> v;
    ASSERT_TRUE(st2->NextCounter(counter.prefix, counter.suffix, false, u"1", &v).ok());
    ASSERT_TRUE(st2->Reserve(this->Write(u"C" + *v, "F", counter), false, &r).ok());
    ASSERT_TRUE(st2->MarkWritten(r).ok());

    std::vector<PoolStatus> pools;
    const IdSource file = IdSource::FromFile(sha, "", 0);
    ASSERT_TRUE(st1->Pools(&file, &pools).ok());
    ASSERT_EQ(pools.size(), 1u);
    EXPECT_TRUE(pools[0].imported);
    EXPECT_EQ(pools[0].source.fileName, "b7.ids");
    EXPECT_EQ(pools[0].entries, 6u);
    EXPECT_EQ(pools[0].free, 1u) << "L5 only; L2 twice, both held";
    auto line = [](const StationCounts& c) {
        return c.station + " r" + std::to_string(c.reserved) + " w" + std::to_string(c.written) +
               " v" + std::to_string(c.verified) + " f" + std::to_string(c.failed);
    };
    std::vector<std::string> got;
    for (const auto& c : pools[0].stations) got.push_back(line(c));
    EXPECT_EQ(got, (std::vector<std::string>{"st1 r0 w1 v1 f0", "st2 r1 w0 v0 f1"}));

    ASSERT_TRUE(st1->Pools(nullptr, &pools).ok());
    ASSERT_EQ(pools.size(), 2u) << "the list and the counter";
    EXPECT_EQ(pools[0].source.kind, IdSource::Kind::File);
    EXPECT_EQ(pools[1].source.kind, IdSource::Kind::Counter);
    EXPECT_EQ(pools[1].source.prefix, u"C");
    EXPECT_TRUE(pools[1].counterKnown);
    EXPECT_EQ(pools[1].next, u"2");
    got.clear();
    for (const auto& c : pools[1].stations) got.push_back(line(c));
    EXPECT_EQ(got, (std::vector<std::string>{"st2 r0 w1 v0 f0"}));

    // A list never imported nor used: known by nothing.
    const IdSource unknown = IdSource::FromFile(std::string(64, 'b'), "", 0);
    ASSERT_TRUE(st1->Pools(&unknown, &pools).ok());
    ASSERT_EQ(pools.size(), 1u);
    EXPECT_FALSE(pools[0].imported);
    EXPECT_TRUE(pools[0].stations.empty());

    // The operator, at a station of its own, confirms that st2's device
    // holds L3 once st2's run has ended: it becomes st2's write, and the
    // operator has no share.
    st2.reset();
    auto office = this->Open("office");
    ASSERT_TRUE(office->ConfirmReserved(u"L3", nullptr).ok());
    ASSERT_TRUE(st1->Pools(&file, &pools).ok());
    ASSERT_EQ(pools.size(), 1u);
    EXPECT_EQ(pools[0].free, 1u);
    got.clear();
    for (const auto& c : pools[0].stations) got.push_back(line(c));
    EXPECT_EQ(got, (std::vector<std::string>{"st1 r0 w1 v1 f0", "st2 r0 w1 v0 f1"}));
}

// A ledger of the first schema (no pools) is upgraded when opened for
// writing, and read as it is when opened for reading only.
class SqlitePoolTest : public test::LedgerFixture {
protected:
    void MakeFirstSchema() {
        ASSERT_TRUE(Open());
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(Path().c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db,
                               "DROP TABLE counters; DROP TABLE lists; DROP TABLE list_entries; "
                               "ALTER TABLE journal DROP COLUMN reserved; "
                               "PRAGMA user_version=1",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
    }
};

TEST_F(SqlitePoolTest, FirstSchemaIsUpgradedInPlace) {
    MakeFirstSchema();
    {
        LedgerOpenOptions o = Options();
        o.readOnly = true;
        auto ro = Open(o);
        ASSERT_TRUE(ro);
        std::vector<PoolStatus> pools;
        EXPECT_TRUE(ro->Pools(nullptr, &pools).ok());
        EXPECT_TRUE(pools.empty());
        std::optional<std::u16string> v;
        EXPECT_EQ(ro->NextCounter(u"A", u"", false, u"1", &v).status, LedgerStatus::Unsupported);
    }
    auto l = Open();
    ASSERT_TRUE(l);
    std::optional<std::u16string> v;
    ASSERT_TRUE(l->NextCounter(u"A", u"", false, u"1", &v).ok());
    EXPECT_EQ(v, u"1");
    auto again = Open();
    ASSERT_TRUE(again->NextCounter(u"A", u"", false, u"1", &v).ok());
    EXPECT_EQ(v, u"2");
}

// A ledger made before the look-up by USB serial gets its index when opened
// for writing; one opened for reading only is left as it is.
TEST_F(SqlitePoolTest, AnOlderLedgerGetsTheSerialIndexWhenOpenedForWriting) {
    ASSERT_TRUE(Open());
    auto hasIndex = [&] {
        sqlite3* db = nullptr;
        EXPECT_EQ(sqlite3_open(Path().c_str(), &db), SQLITE_OK);
        sqlite3_stmt* q = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(db,
                                     "SELECT count(*) FROM sqlite_master WHERE type = 'index' "
                                     "AND name = 'journal_usb_serial'",
                                     -1, &q, nullptr),
                  SQLITE_OK);
        EXPECT_EQ(sqlite3_step(q), SQLITE_ROW);
        const bool found = sqlite3_column_int(q, 0) == 1;
        sqlite3_finalize(q);
        sqlite3_close(db);
        return found;
    };
    EXPECT_TRUE(hasIndex()) << "a new ledger has it";
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(Path().c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, "DROP INDEX journal_usb_serial", nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
    }
    LedgerOpenOptions o = Options();
    o.readOnly = true;
    auto ro = Open(o);
    ASSERT_TRUE(ro);
    bool held = true;
    EXPECT_TRUE(ro->SerialHeldId("SN", &held).ok()) << "answered without the index";
    EXPECT_FALSE(held);
    ro.reset();
    EXPECT_FALSE(hasIndex());
    ASSERT_TRUE(Open());
    EXPECT_TRUE(hasIndex());
}

}  // namespace
}  // namespace ts
