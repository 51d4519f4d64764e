#pragma once
// The station's mark of its ledger, kept in the application folder outside
// the ledger file: which ledger it wrote with (its identity) and the newest
// change it made there. A ledger that went missing, another ledger in its
// place, or an older copy of it would give written IDs out again: each is
// refused until the operator adopts a backup or starts a new ledger.
#include <cstdint>
#include <string>

#include "ledger/IdLedger.h"

namespace ts {

inline constexpr char kLedgerMarkName[] = "tagsmith.ledger.mark";

struct LedgerMark {
    std::string location;  // the ledger file
    std::string identity;  // LedgerPosition::identity
    int64_t newest = 0;    // the newest change the station made
    int64_t newestMs = 0;  // its time, UTC milliseconds
};

enum class MarkRead { None, Read, Damaged };
// None only when nothing stands at `path`. A mark is only ever replaced
// whole, so one that cannot be opened or read, or lacks its identity, is
// Damaged (with the reason in `why`): it never counts as absent, since a
// station without a mark would make a new empty ledger in a lost one's place.
MarkRead ReadLedgerMark(const std::string& path, LedgerMark* out, std::string* why = nullptr);
// 0 or an errno value; the file is replaced in one step.
int WriteLedgerMark(const std::string& path, const LedgerMark& mark);

// Whether the ledger at `location`, standing at `pos`, is the one the mark
// names and not older than it: Damaged with the reason otherwise.
LedgerResult CheckLedgerMark(const LedgerMark& mark, const std::string& location,
                             const LedgerPosition& pos);
// The refusal to make a new ledger at `location` where the mark says one was.
LedgerResult MissingMarkedLedger(const LedgerMark& mark, const std::string& location);
// The refusal to use any ledger while the mark at `path` is damaged.
LedgerResult DamagedLedgerMark(const std::string& path, const std::string& why);

}  // namespace ts
