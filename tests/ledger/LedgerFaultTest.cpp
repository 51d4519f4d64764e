// A ledger that cannot be trusted or reached is refused with a clear error
// and left as it is; it is never replaced by a fresh one.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "platform/Codepage.h"
#include "tests/ledger/LedgerFixture.h"

namespace ts {
namespace {

namespace fs = std::filesystem;

class LedgerFaultTest : public test::LedgerFixture {
protected:
    LedgerResult TryOpen(bool create = true) {
        std::unique_ptr<SqliteLedger> l;
        LedgerOpenOptions o = Options();
        o.create = create;
        return SqliteLedger::Open(Path(), o, &l);
    }

    // Runs SQL on the file through a connection of its own, as another
    // program would.
    static void Sql(const std::string& path, const std::string& sql) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
            << sqlite3_errmsg(db);
        sqlite3_close(db);
    }

    // A ledger (of the first schema: `firstSchema`) with pages overwritten.
    void MakeDamaged(bool firstSchema) {
        auto l = OpenUnsynced();
        for (int i = 0; i < 3000; ++i) {
            Reservation r;
            l->Reserve(Write(u"E" + Utf8ToWide(std::to_string(i))), false, &r);
        }
        l.reset();
        if (firstSchema)
            Sql(Path(),
                "DROP TABLE counters; DROP TABLE lists; DROP TABLE list_entries; "
                "ALTER TABLE journal DROP COLUMN reserved; PRAGMA user_version=1; "
                "PRAGMA journal_mode=DELETE");
        std::string bytes = test::ReadFile(Path());
        ASSERT_GT(bytes.size(), 16u * 4096);
        for (size_t i = 8 * 4096; i < 12 * 4096; ++i) bytes[i] = static_cast<char>(0xA5);
        test::WriteFile(Path(), bytes);
    }

    // Names in the folder: nothing may be left behind or made.
    std::vector<std::string> Names() const {
        std::vector<std::string> n;
        for (const auto& e : fs::directory_iterator(dir.Path())) n.push_back(e.path().filename());
        std::sort(n.begin(), n.end());
        return n;
    }
};

std::string RandomBytes(size_t n) {
    std::mt19937 rng(7);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(rng());
    return s;
}

TEST_F(LedgerFaultTest, UntrustworthyFilesAreRefusedAndKept) {
    struct Case {
        const char* name;
        std::function<void()> make;
        const char* says;
    };
    const std::vector<Case> cases = {
        {"garbage bytes", [this] { test::WriteFile(Path(), RandomBytes(8192)); }, "not a ledger"},
        {"empty file", [this] { test::WriteFile(Path(), ""); }, "empty"},
        {"text", [this] { test::WriteFile(Path(), "[Option]\nledger=x\n"); }, "not a ledger"},
        {"another program's database",
         [this] { Sql(Path(), "CREATE TABLE ids(id TEXT, state INT)"); }, "not a ledger"},
        {"a newer schema",
         [this] {
             Open();
             Sql(Path(), "PRAGMA user_version=99");
         },
         "newer version"},
        {"damaged pages", [this] { MakeDamaged(false); }, "damaged"},
        // Checked before an upgrade could touch it.
        {"damaged pages of the first schema", [this] { MakeDamaged(true); }, "damaged"},
        {"tables missing",
         [this] {
             Open();
             Sql(Path(), "DROP TABLE ids");
         },
         "damaged (no such table: ids)"},
        {"a folder", [this] { fs::create_directory(Path()); }, "not a file"},
    };
    for (const auto& c : cases) {
        fs::remove_all(Path());
        c.make();
        const std::vector<std::string> before = Names();
        const std::string bytes = fs::is_regular_file(Path()) ? test::ReadFile(Path()) : "";
        const LedgerResult r = TryOpen();
        EXPECT_EQ(r.status, LedgerStatus::Damaged) << c.name << ": " << r.message;
        EXPECT_NE(r.message.find(c.says), std::string::npos) << c.name << ": " << r.message;
        EXPECT_NE(r.message.find(Path()), std::string::npos) << c.name << ": " << r.message;
        EXPECT_EQ(Names(), before) << c.name;
        if (fs::is_regular_file(Path())) {
            EXPECT_EQ(test::ReadFile(Path()), bytes) << c.name;
        }
    }
}

TEST_F(LedgerFaultTest, MissingLedgerIsMadeOnlyWhereAllowed) {
    EXPECT_EQ(TryOpen(false).status, LedgerStatus::NotFound);
    EXPECT_TRUE(Names().empty());

    std::unique_ptr<SqliteLedger> l;
    LedgerOpenOptions o = Options();
    o.readOnly = true;
    EXPECT_EQ(SqliteLedger::Open(Path(), o, &l).status, LedgerStatus::NotFound);
    EXPECT_TRUE(Names().empty());

    const LedgerResult noFolder =
        SqliteLedger::Open(dir.Dir() + "missing/tagsmith.ledger", Options(), &l);
    EXPECT_EQ(noFolder.status, LedgerStatus::IoError) << noFolder.message;
    EXPECT_TRUE(Names().empty());

    bool created = false;
    ASSERT_TRUE(SqliteLedger::Open(Path(), Options(), &l, &created).ok());
    EXPECT_TRUE(created);
    l.reset();
    EXPECT_EQ(Names(), std::vector<std::string>{"tagsmith.ledger"}) << "no temporary file left";
    ASSERT_TRUE(SqliteLedger::Open(Path(), Options(), &l, &created).ok());
    EXPECT_FALSE(created);
}

TEST_F(LedgerFaultTest, LockedLedger) {
    auto l = Open();
    Reservation r;
    ASSERT_TRUE(l->Reserve(Write(u"A1"), false, &r).ok());

    // Another program in the middle of a write transaction: reading goes on,
    // reserving fails cleanly once the wait is over, and works afterwards.
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(Path().c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_EQ(StateOf(*l, u"A1"), IdState::Reserved);
    LedgerResult busy = l->Reserve(Write(u"A2"), false, &r);
    EXPECT_EQ(busy.status, LedgerStatus::Busy) << busy.message;
    EXPECT_NE(busy.message.find("locked"), std::string::npos) << busy.message;
    Reservation r1{u"A1", 1, 0, "port E"};
    EXPECT_EQ(l->MarkWritten(r1).status, LedgerStatus::Busy);
    EXPECT_EQ(l->ReleaseReserved(u"A1", nullptr).status, LedgerStatus::Busy);
    ASSERT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_EQ(StateOf(*l, u"A2"), IdState::None);
    EXPECT_TRUE(l->Reserve(Write(u"A2"), false, &r).ok());
    l.reset();

    sqlite3_close(other);

    // Held exclusively, even against readers: opening is refused.
    ASSERT_EQ(sqlite3_open(Path().c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE; COMMIT;",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    const std::vector<std::string> before = Names();
    const LedgerResult refused = TryOpen();
    EXPECT_EQ(refused.status, LedgerStatus::Busy) << refused.message;
    EXPECT_EQ(Names(), before);
    sqlite3_close(other);
    l = Open();
    ASSERT_TRUE(l);
    EXPECT_EQ(StateOf(*l, u"A2"), IdState::Reserved) << "nothing was lost";
}

// Runs `body` in a child whose files may not grow past `limit` bytes (as on
// a full disk); returns what it wrote to the pipe.
std::vector<int> InChildWithFileLimit(rlim_t limit, const std::function<void(int fd)>& body) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        signal(SIGXFSZ, SIG_IGN);
        rlimit rl{};
        getrlimit(RLIMIT_FSIZE, &rl);
        rl.rlim_cur = limit;
        setrlimit(RLIMIT_FSIZE, &rl);
        body(fds[1]);
        _exit(0);
    }
    close(fds[1]);
    std::vector<int> got;
    int v = 0;
    while (read(fds[0], &v, sizeof v) == sizeof v) got.push_back(v);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return got;
}

TEST_F(LedgerFaultTest, FullDiskFailsTheReservationAndLosesNothing) {
    Open();  // made with room to spare; the wait below is short
    uintmax_t largest = 0;
    for (const auto& e : fs::directory_iterator(dir.Path()))
        if (e.is_regular_file()) largest = std::max(largest, e.file_size());
    // Reserves until the disk is full: the number that succeeded, then the
    // status of the one that failed.
    const std::vector<int> got = InChildWithFileLimit(largest + 48 * 1024, [&](int fd) {
        std::unique_ptr<SqliteLedger> l;
        if (!SqliteLedger::Open(Path(), Options(), &l).ok()) return;
        int n = 0;
        for (; n < 100000; ++n) {
            Reservation r;
            const LedgerResult res =
                l->Reserve(Write(u"F" + Utf8ToWide(std::to_string(n))), false, &r);
            if (!res.ok()) {
                const int status = static_cast<int>(res.status);
                (void)!write(fd, &n, sizeof n);
                (void)!write(fd, &status, sizeof status);
                return;
            }
        }
    });
    ASSERT_EQ(got.size(), 2u) << "the reservations never failed";
    const int reserved = got[0];
    EXPECT_GT(reserved, 0);
    EXPECT_EQ(static_cast<LedgerStatus>(got[1]), LedgerStatus::Full);
    auto l = Open();
    ASSERT_TRUE(l) << "the ledger is intact";
    for (int i = 0; i < reserved; ++i)
        ASSERT_EQ(StateOf(*l, u"F" + Utf8ToWide(std::to_string(i))), IdState::Reserved) << i;
    EXPECT_EQ(StateOf(*l, u"F" + Utf8ToWide(std::to_string(reserved))), IdState::None)
        << "the failed reservation is not held: it was never sent";
}

TEST_F(LedgerFaultTest, FullDiskWhileMakingTheLedgerLeavesNothing) {
    const std::vector<int> got = InChildWithFileLimit(2048, [&](int fd) {
        std::unique_ptr<SqliteLedger> l;
        const LedgerResult res = SqliteLedger::Open(Path(), Options(), &l);
        const int status = static_cast<int>(res.status);
        (void)!write(fd, &status, sizeof status);
    });
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(static_cast<LedgerStatus>(got[0]), LedgerStatus::Full);
    EXPECT_TRUE(Names().empty());
}

}  // namespace
}  // namespace ts
