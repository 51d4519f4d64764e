#pragma once
// Helpers shared by the ledgers kept in a database (the local SQLite file
// and the PostgreSQL server). Internal to the ledger layer.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ledger/IdLedger.h"

namespace ts::store {

// An ID's row in the ids table.
struct IdRow {
    IdState state = IdState::None;
    // What a rewrite (the operator's decision to write a held ID again)
    // replaced, so that a failed rewrite gives it back.
    std::optional<IdState> prevState;
    int64_t prevAttempt = 0;
    int64_t attempt = 0;
    std::string station;
    std::string device;
    int64_t time = 0;

    IdRecord Record(std::u16string_view id) const {
        return IdRecord{std::u16string(id), state, station, device, time};
    }
};

// UTC milliseconds since 1970 from `clock`, or from the system clock when
// it is empty.
int64_t WallMs(const std::function<int64_t()>& clock);

// Monotonic milliseconds, for the duration of an attempt.
int64_t SteadyMs();

// A random name for this ledger object's run, kept in the journal so that
// the reservations of a run that died can be told from this run's own.
std::string NewSession();

// A state read from the database; anything unknown is kept out of
// circulation.
IdState StateFrom(int64_t v);

// What Lookup tells of an ID the ledger does not hold.
IdRecord Unknown(std::u16string_view id);

// The smallest text above every text that begins with `prefix`, in byte
// order; empty when there is none.
std::string PrefixEnd(std::string prefix);

// For the furthest counter value: when `id` is `prefix`, upper-case hex
// digits and `suffix`, keeps its digits in `best` if they lie beyond it in
// the counting direction (or `best` is empty).
void KeepFurthest(std::string_view id, std::string_view prefix, std::string_view suffix, bool down,
                  std::optional<std::string>* best);

// The held states (IsHeld: what no automatic write may take) and those a
// pool counts per station (StationCounts), as the values a query binds to
// its parameters: no query spells out a state's number.
const std::vector<int>& HeldStates();
const std::vector<int>& StationStates();

// "SELECT EXISTS (...)" over the journal for SerialHeldId, answered from
// the index on usb_serial: the serial is parameter 1, the modes of
// kModesGivingId follow, then the read's mode, all bound by the caller
// (SerialHeldIdModes gives them in order).
std::string SerialHeldIdSql(bool postgres);
std::vector<std::string> SerialHeldIdModes();
// The journal's look-up indexes, added to ledgers made before them when
// opened for writing: by USB serial (the partial index SerialHeldId uses)
// and by ID (every attempt for one ID, as the web view's search asks).
std::vector<std::string> LookupIndexSql(std::string_view table);

// Adds `n` IDs of a station whose stored state is `state` to `counts`.
void AddStationCount(int64_t state, uint64_t n, StationCounts* counts);

// Adds `n` IDs whose stored state is `state` to `counts`.
void AddCount(int64_t state, uint64_t n, StateCounts* counts);

// The refusal to release `id8`, which is not reserved; `row` is null when
// the ledger does not hold it.
LedgerResult NotReserved(const std::string& id8, const IdRow* row);

// The refusal to release or confirm `id8`, reserved by a run of `station`
// that is alive.
LedgerResult InProgress(const std::string& id8, const std::string& station);

// A confirmation that found `id8` taken over by another attempt.
LedgerResult Collided(const std::string& id8, const std::string& station, const std::string& device,
                      const char* state);

}  // namespace ts::store
