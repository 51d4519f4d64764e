#include "app/LedgerResume.h"

#include <optional>
#include <string>

#include "deviceops/Station.h"
#include "ledger/Resume.h"
#include "platform/Codepage.h"

namespace ts {

namespace {

std::u16string Decimal(uint64_t v) { return Utf8ToWide(std::to_string(v)); }

}  // namespace

void ResumeListFromLedger(TagsmithCore& core, IdList& ids) {
    IdLedger* ledger = core.Ledger().Ledger();
    if (!ledger) return;
    ResumeCounts counts;
    const LedgerResult r = MarkHeldUsed(*ledger, ids, &counts);
    if (!r.ok()) {
        // Every write still asks the ledger, so no held ID is written.
        core.AppendLog(u"无法从ID记录中查出已烧写的ID：" + LedgerText(r.message));
        return;
    }
    if (counts.written + counts.reserved != 0) {
        core.AppendLog(u"ID记录中已有本列表的 " + Decimal(counts.written) + u" 个已烧写ID、" +
                       Decimal(counts.reserved) + u" 个预留ID，均已标记为已使用");
    }
}

bool CounterStartFromLedger(TagsmithCore& core, const std::u16string& prefix,
                            const std::u16string& counter, const std::u16string& suffix, bool down,
                            std::u16string* start) {
    *start = counter;
    IdLedger* ledger = core.Ledger().Ledger();
    if (!ledger) return true;
    std::optional<std::u16string> next;
    const LedgerResult r = ResumeCounter(*ledger, prefix, counter, suffix, down, &next);
    if (!r.ok()) {
        core.AppendLog(u"无法从ID记录中查出已烧写的ID：" + LedgerText(r.message));
        return true;
    }
    if (!next) return false;
    *start = *next;
    return true;
}

PageHost::SharedCounter TakeSharedCounter(TagsmithCore& core, const std::u16string& prefix,
                                          const std::u16string& suffix, bool down,
                                          const std::u16string& start,
                                          std::optional<std::u16string>* value) {
    IdLedger* ledger = core.Ledger().Ledger();
    if (!ledger || !ledger->Shared()) return PageHost::SharedCounter::Unshared;
    // Only automatic runs take from the shared counter: a server that went
    // away pauses them here as it does before a reservation.
    OfflinePause pause(core.Ledger(), true,
                       [&core](const std::u16string& line) { core.AppendLog(line); });
    LedgerResult r;
    do {
        r = ledger->NextCounter(prefix, suffix, down, start, value);
    } while (pause.Again(r));
    if (r.status == LedgerStatus::Unsupported) return PageHost::SharedCounter::Unshared;
    if (!r.ok()) {
        core.AppendLog(u"烧写失败，无法从ID记录取得自变数据段的下一个值：" + LedgerText(r.message));
        return PageHost::SharedCounter::Failed;
    }
    return PageHost::SharedCounter::Taken;
}

bool HeldInLedger(TagsmithCore& core, const std::u16string& id, std::u16string* when,
                  std::u16string* station) {
    IdLedger* ledger = core.Ledger().Ledger();
    if (!ledger) return false;
    IdRecord rec;
    // A reservation in progress is no question: the write is refused.
    if (!ledger->Lookup(id, &rec).ok() || !IsHeld(rec.state) || rec.state == IdState::Reserved)
        return false;
    *when = LocalTimeText(rec.timeMs);
    *station = rec.station.empty() ? u"-" : LedgerText(rec.station);
    return true;
}

}  // namespace ts
