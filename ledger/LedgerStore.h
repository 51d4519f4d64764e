#pragma once
// What a store of the ledger (a local SQLite file, a PostgreSQL server) does
// for the ID lifecycle: transactions, an ID's row, the journal and the
// sessions. The rules themselves live once, in IdLifecycle. Internal to the
// ledger layer; no database header here.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "ledger/IdLedger.h"
#include "ledger/StoreSupport.h"

namespace ts::store {

// What the rules need of a journal row.
struct AttemptRow {
    std::string station;
    std::string session;
    std::string device;  // DeviceInfo::Summary of its device
    int64_t time = 0;
    bool open = false;  // no result yet
};

class LedgerStore {
public:
    virtual ~LedgerStore() = default;

    // Where the ledger lives, for messages (never with credentials).
    virtual std::string Describe() const = 0;
    // The ID as the store keeps it (UTF-8, as the store can hold it).
    virtual std::string Key(std::u16string_view id) const = 0;

    // Runs `body`, with `txn` in one transaction committed when it succeeds
    // and rolled back otherwise; `what` names the change in errors. A store
    // may run `body` a second time (its connection was found dead before
    // anything was committed), so a body starts from scratch each time.
    virtual LedgerResult Run(const char* what, bool txn,
                             const std::function<LedgerResult()>& body) = 0;
    // After a Run that failed: whether its commit was sent but never
    // answered, so that it may have been done.
    virtual bool CommitUncertain() const { return false; }

    // Within a transaction, holds the ID against every other change until
    // the transaction ends. `tryOnly`: never waits; `got` false when another
    // station holds it now.
    virtual LedgerResult LockId(const std::string& key, bool tryOnly, bool* got) = 0;

    virtual LedgerResult ReadId(const std::string& key, IdRow* row, bool* found) = 0;
    virtual LedgerResult PutId(const std::string& key, const IdRow& row) = 0;

    // A journal row of this station and session; `result` null opens the
    // attempt of a reservation. `seq` (optional) receives its number.
    virtual LedgerResult AppendJournal(const Attempt& a, const std::string& key, int64_t time,
                                       const int* result, int64_t durationMs, bool verified,
                                       int64_t* seq) = 0;
    // Opens a reservation's attempt and puts `row` under it (row->attempt
    // becomes the attempt's number). A store may do both in one statement.
    virtual LedgerResult OpenReservation(const Attempt& a, const std::string& key, IdRow* row) {
        LedgerResult r = AppendJournal(a, key, row->time, nullptr, 0, false, &row->attempt);
        return r.ok() ? PutId(key, *row) : r;
    }
    // Gives an open attempt its outcome.
    virtual LedgerResult CloseJournal(int64_t seq, int result, int64_t durationMs,
                                      bool verified) = 0;
    virtual LedgerResult ReadAttempt(int64_t seq, AttemptRow* out, bool* found) = 0;

    // The next value kept for the counter of `prefix`, `suffix` (cleaned)
    // and direction; none when no station counted so yet.
    virtual LedgerResult ReadCounter(const std::string& prefix, const std::string& suffix,
                                     bool down, std::optional<std::string>* kept) = 0;
    // Keeps `next` for that counter where it still holds `kept` (none: where
    // it is not there yet); `swapped` false when another station changed it
    // first.
    virtual LedgerResult SwapCounter(const std::string& prefix, const std::string& suffix,
                                     bool down, const std::optional<std::string>& kept,
                                     const std::string& next, int64_t time, bool* swapped) = 0;

    // Whether the program that holds `session` is alive (this one always).
    virtual LedgerResult SessionLive(const std::string& session, bool* live) = 0;
};

}  // namespace ts::store
