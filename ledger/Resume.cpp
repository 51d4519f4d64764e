#include "ledger/Resume.h"

#include <vector>

#include "idsource/HexId.h"
#include "ledger/CounterBound.h"

namespace ts {

LedgerResult MarkHeldUsed(IdLedger& ledger, IdList& list, ResumeCounts* counts) {
    std::vector<IdState> states;
    // An entry longer than any writable ID is in no ledger: it is not looked
    // up (a list of one huge line would otherwise be copied for the query).
    LedgerResult r = ledger.StatesOf(
        list.size(),
        [&](size_t i) {
            const std::u16string_view id = list.Text(i);
            return id.size() > kMaxIdLength ? std::u16string_view() : id;
        },
        &states);
    if (!r.ok()) return r;
    ResumeCounts c;
    for (size_t i = 0; i < states.size(); ++i) {
        if (!IsHeld(states[i])) continue;
        list.MarkUsed(i);
        ++(IsUnsettled(states[i]) ? c.reserved : c.written);
    }
    if (counts) *counts = c;
    return {};
}

LedgerResult ResumeCounter(IdLedger& ledger, std::u16string_view prefix,
                           std::u16string_view counter, std::u16string_view suffix, bool down,
                           std::optional<std::u16string>* next) {
    std::optional<std::u16string> furthest;
    LedgerResult r = ledger.FurthestCounter(prefix, suffix, down, &furthest);
    if (!r.ok()) return r;
    *next = CounterPast(counter, furthest, down);
    return {};
}

}  // namespace ts
