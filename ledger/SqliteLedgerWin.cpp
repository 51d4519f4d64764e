// The Windows build has no SQLite library to link (Debian builds none for
// mingw-w64): a local ledger is refused with a clear message, and settings
// that turn the ledger off work as everywhere. No object of the class is
// ever made here; its operations exist only to complete the class.
#include "ledger/SqliteLedger.h"

namespace ts {
namespace {

LedgerResult Missing() {
    return LedgerResult::Fail(LedgerStatus::Unsupported,
                              "local ledgers are not available in this build");
}

}  // namespace

LedgerResult SqliteLedger::Open(const std::string& path, const LedgerOpenOptions&,
                                std::unique_ptr<SqliteLedger>* out, bool* created) {
    out->reset();
    if (created) *created = false;
    return LedgerResult::Fail(LedgerStatus::Unsupported,
                              "ledger " + path + ": local ledgers are not available in this build");
}

SqliteLedger::~SqliteLedger() = default;

LedgerResult SqliteLedger::Reserve(const Attempt&, bool, Reservation*, IdRecord*) {
    return Missing();
}
LedgerResult SqliteLedger::MarkWritten(const Reservation&) { return Missing(); }
LedgerResult SqliteLedger::MarkVerified(const Reservation&) { return Missing(); }
LedgerResult SqliteLedger::Release(const Reservation&, int) { return Missing(); }
LedgerResult SqliteLedger::KeepReserved(const Reservation&, int) { return Missing(); }
LedgerResult SqliteLedger::RecordAttempt(const Attempt&, int, int64_t, bool) { return Missing(); }
LedgerResult SqliteLedger::ReleaseReserved(std::u16string_view, IdRecord*) { return Missing(); }
LedgerResult SqliteLedger::Lookup(std::u16string_view, IdRecord*) { return Missing(); }
LedgerResult SqliteLedger::StatesOf(size_t, const std::function<std::u16string_view(size_t)>&,
                                    std::vector<IdState>*) {
    return Missing();
}
LedgerResult SqliteLedger::FurthestCounter(std::u16string_view, std::u16string_view, bool,
                                           std::optional<std::u16string>*) {
    return Missing();
}
LedgerResult SqliteLedger::StaleReservations(std::vector<IdRecord>*) { return Missing(); }
LedgerResult SqliteLedger::ListReserved(std::vector<IdRecord>*) { return Missing(); }
LedgerResult SqliteLedger::Counts(StateCounts*) { return Missing(); }
LedgerResult SqliteLedger::ReadJournal(int64_t, const std::function<bool(const JournalRow&)>&) {
    return Missing();
}

}  // namespace ts
