#pragma once
// The ledger on a PostgreSQL server, shared by the stations of a line
// (ledger=postgresql://USER@HOST/DB in tagsmith.cfg).
//
// Same behaviour as the local ledger; what differs is sharing:
//  - a Reserve of an ID that another station holds, or is reserving at this
//    moment, answers Held at once: it takes a transaction-scoped advisory
//    lock on the ID with a try, and a free ID's row with SKIP LOCKED, so it
//    never waits on another station or transaction;
//  - counters are one row per (prefix, suffix, direction), advanced with a
//    compare-and-swap, so no lock is held between two statements;
//  - the server going away makes an operation fail with Offline; the next
//    operation connects again. An operation whose connection was found dead
//    before it committed anything is run once more on a new connection.
//    Nothing ever falls back to a local ledger.
// Messages never carry the password: the URL is shown without its user
// information, and the password (from the URL, the environment or libpq's
// password file, which libpq reads itself) is blotted from server texts.
//
// Tables live in the schema "tagsmith", created and upgraded by the tool
// (schema version in tagsmith.meta). An object is used by one thread at a
// time; each station (process or thread) opens its own.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "ledger/IdLedger.h"
#include "ledger/SqliteLedger.h"
#include "ledger/StoreLedger.h"

namespace ts {

class PgLedger final : public StoreLedger {
public:
    static constexpr int kSchemaVersion = 1;

    // Connects to the server named by `url` and makes or upgrades the schema
    // (not with options.create false or options.readOnly: then a database
    // without a ledger is NotFound). `created`: the schema was made now.
    static LedgerResult Open(const std::string& url, const LedgerOpenOptions& options,
                             std::unique_ptr<PgLedger>* out, bool* created = nullptr);

    ~PgLedger() override;

    std::string Describe() const override;
    bool Shared() const override { return true; }

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

    // The key of the transaction-scoped advisory lock every change of an ID
    // (UTF-8) takes: 64 bits of FNV-1a, so that two IDs changed at the same
    // moment practically never share one.
    static int64_t LockKeyOf(std::string_view id8);

    // IDs sent to the server per statement when matching a list.
    static constexpr size_t kBatch = 10000;

    class Db;  // the connection and its statements (PgLedger.cpp)

private:
    PgLedger(std::string url, const LedgerOpenOptions& options);
    int64_t NowMs() const;
    // Runs `body` in one transaction (or, with `txn` false, as it is),
    // connecting first when needed; once more on a new connection when the
    // old one turned out dead before anything was committed.
    LedgerResult Run(const char* what, bool txn, const std::function<LedgerResult(Db&)>& body);
    LedgerResult Setup(Db& db, bool* created);
    // Makes the indexes that only speed up reading, where they are missing
    // (no schema change: an older program ignores them).
    void AddIndexes(Db& db);
    // Whether `session` is alive: this one, or a connection that holds its
    // session lock (taken on every connect, gone with the connection).
    LedgerResult SessionLive(Db& db, const std::string& session, bool* live);

    // The store the lifecycle works over; its statements run inside Run,
    // on the connection Run holds, and name the Run's change in errors.
    std::string Key(std::u16string_view id) const override;
    LedgerResult Run(const char* what, bool txn,
                     const std::function<LedgerResult()>& body) override;
    bool CommitUncertain() const override;
    LedgerResult LockId(const std::string& key, bool tryOnly, bool* got) override;
    LedgerResult ReadId(const std::string& key, store::IdRow* row, bool* found) override;
    LedgerResult PutId(const std::string& key, const store::IdRow& row) override;
    LedgerResult AppendJournal(const Attempt& a, const std::string& key, int64_t time,
                               const int* result, int64_t durationMs, bool verified,
                               int64_t* seq) override;
    LedgerResult OpenReservation(const Attempt& a, const std::string& key,
                                 store::IdRow* row) override;
    LedgerResult CloseJournal(int64_t seq, int result, int64_t durationMs, bool verified) override;
    LedgerResult ReadAttempt(int64_t seq, store::AttemptRow* out, bool* found) override;
    LedgerResult ReadCounter(const std::string& prefix, const std::string& suffix, bool down,
                             std::optional<std::string>* kept) override;
    LedgerResult SwapCounter(const std::string& prefix, const std::string& suffix, bool down,
                             const std::optional<std::string>& kept, const std::string& next,
                             int64_t time, bool* swapped) override;
    LedgerResult SessionLive(const std::string& session, bool* live) override;

    std::string url_;
    LedgerOpenOptions options_;
    std::unique_ptr<Db> db_;
    const char* what_ = "";  // the change the running Run makes
};

}  // namespace ts
