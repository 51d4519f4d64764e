#pragma once
// The ledger in a local SQLite file (by default tagsmith.ledger in the
// application folder).
//
// Every change is one transaction committed with synchronous=FULL into a
// write-ahead log, so it is on the disk when the call returns. A new file is
// made under a temporary name and given its final name only once complete,
// so an existing file that is empty, not a database, not a ledger, of a
// newer schema or damaged (quick_check on open) is refused with a clear
// error, never replaced by a fresh ledger.
//
// An object is used by one thread at a time (its connection has no lock of
// its own); other processes may use the same file.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "ledger/IdLedger.h"
#include "ledger/StoreLedger.h"

struct sqlite3;
struct sqlite3_stmt;

namespace ts {

class SqliteLedger final : public StoreLedger {
public:
    // The schema version this build writes (PRAGMA user_version).
    static constexpr int kSchemaVersion = 2;
    // PRAGMA application_id of a ledger file ("TSLG").
    static constexpr int32_t kApplicationId = 0x54534C47;

    // Opens the ledger at `path`, making it when it does not exist and
    // options.create is set; `created` tells whether it was made now.
    static LedgerResult Open(const std::string& path, const LedgerOpenOptions& options,
                             std::unique_ptr<SqliteLedger>* out, bool* created = nullptr);

    ~SqliteLedger() override;

    std::string Describe() const override { return path_; }

    LedgerResult StatesOf(size_t count, const std::function<std::u16string_view(size_t)>& idAt,
                          std::vector<IdState>* states) override;
    LedgerResult FurthestCounter(std::u16string_view prefix, std::u16string_view suffix, bool down,
                                 std::optional<std::u16string>* out) override;
    LedgerResult StaleReservations(std::vector<IdRecord>* out) override;
    LedgerResult ListReserved(std::vector<IdRecord>* out) override;
    LedgerResult Counts(StateCounts* out) override;
    LedgerResult ReadJournal(int64_t sinceMs,
                             const std::function<bool(const JournalRow&)>& sink) override;
    LedgerResult SerialHeldId(std::string_view usbSerial, bool* held) override;
    LedgerResult NextCounter(std::u16string_view prefix, std::u16string_view suffix, bool down,
                             std::u16string_view start,
                             std::optional<std::u16string>* value) override;
    LedgerResult ImportList(const std::string& sha256, const std::string& name, size_t count,
                            const std::function<std::u16string_view(size_t)>& idAt,
                            const std::function<uint32_t(size_t)>& lineAt, bool* added) override;
    LedgerResult Pools(const IdSource* only, std::vector<PoolStatus>* out) override;
    LedgerResult Position(LedgerPosition* out) override;
    LedgerResult Backup(const std::string& path) override;

    // Lists up to this many IDs are looked up one by one; longer ones are
    // matched against one pass over the ledger.
    static constexpr size_t kLookupLimit = 20000;

private:
    SqliteLedger(std::string path, const LedgerOpenOptions& options);
    LedgerResult Init();
    LedgerResult Error(int rc, const char* what) const;
    int64_t NowMs() const;
    LedgerResult Exec(const char* sql, const char* what);
    LedgerResult Prepare(sqlite3_stmt** stmt, const char* sql);

    // The store the lifecycle works over.
    std::string Key(std::u16string_view id) const override;
    LedgerResult Run(const char* what, bool txn,
                     const std::function<LedgerResult()>& body) override;
    LedgerResult LockId(const std::string& key, bool tryOnly, bool* got) override;
    LedgerResult ReadId(const std::string& key, store::IdRow* row, bool* found) override;
    LedgerResult PutId(const std::string& key, const store::IdRow& row) override;
    LedgerResult AppendJournal(const Attempt& a, const std::string& key, int64_t time,
                               const int* result, int64_t durationMs, bool verified,
                               int64_t* seq) override;
    LedgerResult CloseJournal(int64_t seq, int result, int64_t durationMs, bool verified) override;
    LedgerResult ReadAttempt(int64_t seq, store::AttemptRow* out, bool* found) override;
    LedgerResult ReadCounter(const std::string& prefix, const std::string& suffix, bool down,
                             std::optional<std::string>* kept) override;
    LedgerResult SwapCounter(const std::string& prefix, const std::string& suffix, bool down,
                             const std::optional<std::string>& kept, const std::string& next,
                             int64_t time, bool* swapped) override;
    LedgerResult SessionLive(const std::string& session, bool* live) override;

    LedgerResult Reservations(bool staleOnly, std::vector<IdRecord>* out);
    LedgerResult PoolOf(const IdSource& src, PoolStatus* out);
    // Holds this session's lock file for the object's life, so that other
    // processes can tell its reservations from those of a run that died.
    void HoldSession();
    // Whether `session` is alive: this one, or another holding its lock
    // file.
    bool SessionAlive(const std::string& session) const;
    // Makes the indexes that only speed up reading, on a ledger opened for
    // writing (no schema change: an older program ignores them).
    void AddIndexes();

    int schemaVersion_ = 0;

    std::string path_;
    LedgerOpenOptions options_;
    sqlite3* db_ = nullptr;
    sqlite3_stmt* selectId_ = nullptr;
    sqlite3_stmt* putId_ = nullptr;
    sqlite3_stmt* insertJournal_ = nullptr;
    sqlite3_stmt* finishJournal_ = nullptr;
    int sessionFd_ = -1;
    std::string sessionFile_;
};

}  // namespace ts
