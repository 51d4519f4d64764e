#pragma once
// Resuming without duplicates: what a page does with the ledger when it gets
// an ID list or arms its counter.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "idsource/IdList.h"
#include "ledger/IdLedger.h"

namespace ts {

struct ResumeCounts {
    size_t written = 0;   // entries marked used because a device holds them
    size_t reserved = 0;  // entries marked used because they are reserved
};

// Marks every entry of `list` that the ledger holds (reserved, written or
// verified) used. On failure the list is unchanged.
LedgerResult MarkHeldUsed(IdLedger& ledger, IdList& list, ResumeCounts* counts = nullptr);

// The counter an increment page should continue from so that it never
// produces an ID the ledger holds: `counter` itself, or the value past the
// furthest held one in the counting direction. `next` is empty when counting
// down has nothing left (zero is held).
LedgerResult ResumeCounter(IdLedger& ledger, std::u16string_view prefix,
                           std::u16string_view counter, std::u16string_view suffix, bool down,
                           std::optional<std::u16string>* next);

}  // namespace ts
