#pragma once
// Helpers shared by the ledgers kept in a database (the local SQLite file
// and the PostgreSQL server). Internal to the ledger layer.
#include <cstdint>
#include <string>
#include <string_view>

#include "ledger/IdLedger.h"

namespace ts::store {

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

bool IsUpperHexDigit(char c);

// Compares hexadecimal digit texts by value.
int CompareHex8(std::string_view a, std::string_view b);

}  // namespace ts::store
