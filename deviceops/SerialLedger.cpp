#include "deviceops/SerialLedger.h"

namespace ts {

std::string SerialLedger::Describe() const {
    std::lock_guard lock(lock_);
    return inner_.Describe();
}

LedgerResult SerialLedger::Reserve(const Attempt& a, bool rewrite, Reservation* out,
                                   IdRecord* existing) {
    std::lock_guard lock(lock_);
    const LedgerResult r = inner_.Reserve(a, rewrite, out, existing);
    if (r.ok() && afterReserve) afterReserve();
    return r;
}

LedgerResult SerialLedger::MarkWritten(const Reservation& r) {
    std::lock_guard lock(lock_);
    return inner_.MarkWritten(r);
}

LedgerResult SerialLedger::MarkVerified(const Reservation& r) {
    std::lock_guard lock(lock_);
    return inner_.MarkVerified(r);
}

LedgerResult SerialLedger::Release(const Reservation& r, int resultCode) {
    std::lock_guard lock(lock_);
    return inner_.Release(r, resultCode);
}

LedgerResult SerialLedger::KeepReserved(const Reservation& r, int resultCode) {
    std::lock_guard lock(lock_);
    return inner_.KeepReserved(r, resultCode);
}

LedgerResult SerialLedger::MarkInDoubt(const Reservation& r) {
    std::lock_guard lock(lock_);
    return inner_.MarkInDoubt(r);
}

LedgerResult SerialLedger::MarkReadBack(const Reservation& r, int resultCode) {
    std::lock_guard lock(lock_);
    return inner_.MarkReadBack(r, resultCode);
}

LedgerResult SerialLedger::SettleRead(std::u16string_view id, const DeviceInfo& device,
                                      bool* settled) {
    std::lock_guard lock(lock_);
    return inner_.SettleRead(id, device, settled);
}

LedgerResult SerialLedger::MarkReplaced(std::u16string_view id, const DeviceInfo& device) {
    std::lock_guard lock(lock_);
    return inner_.MarkReplaced(id, device);
}

LedgerResult SerialLedger::RecordAttempt(const Attempt& a, int resultCode, int64_t durationMs,
                                         bool verified) {
    std::lock_guard lock(lock_);
    return inner_.RecordAttempt(a, resultCode, durationMs, verified);
}

LedgerResult SerialLedger::ReleaseReserved(std::u16string_view id, IdRecord* was) {
    std::lock_guard lock(lock_);
    return inner_.ReleaseReserved(id, was);
}

LedgerResult SerialLedger::ConfirmReserved(std::u16string_view id, IdRecord* was) {
    std::lock_guard lock(lock_);
    return inner_.ConfirmReserved(id, was);
}

LedgerResult SerialLedger::Lookup(std::u16string_view id, IdRecord* out) {
    std::lock_guard lock(lock_);
    return inner_.Lookup(id, out);
}

LedgerResult SerialLedger::StatesOf(size_t count,
                                    const std::function<std::u16string_view(size_t)>& idAt,
                                    std::vector<IdState>* states) {
    std::lock_guard lock(lock_);
    return inner_.StatesOf(count, idAt, states);
}

LedgerResult SerialLedger::FurthestCounter(std::u16string_view prefix, std::u16string_view suffix,
                                           bool down, std::optional<std::u16string>* out) {
    std::lock_guard lock(lock_);
    return inner_.FurthestCounter(prefix, suffix, down, out);
}

LedgerResult SerialLedger::StaleReservations(std::vector<IdRecord>* out) {
    std::lock_guard lock(lock_);
    return inner_.StaleReservations(out);
}

LedgerResult SerialLedger::ListReserved(std::vector<IdRecord>* out) {
    std::lock_guard lock(lock_);
    return inner_.ListReserved(out);
}

LedgerResult SerialLedger::Counts(StateCounts* out) {
    std::lock_guard lock(lock_);
    return inner_.Counts(out);
}

LedgerResult SerialLedger::NextCounter(std::u16string_view prefix, std::u16string_view suffix,
                                       bool down, std::u16string_view start,
                                       std::optional<std::u16string>* value) {
    std::lock_guard lock(lock_);
    return inner_.NextCounter(prefix, suffix, down, start, value);
}

LedgerResult SerialLedger::ImportList(const std::string& sha256, const std::string& name,
                                      size_t count,
                                      const std::function<std::u16string_view(size_t)>& idAt,
                                      const std::function<uint32_t(size_t)>& lineAt, bool* added) {
    std::lock_guard lock(lock_);
    return inner_.ImportList(sha256, name, count, idAt, lineAt, added);
}

LedgerResult SerialLedger::Pools(const IdSource* only, std::vector<PoolStatus>* out) {
    std::lock_guard lock(lock_);
    return inner_.Pools(only, out);
}

LedgerResult SerialLedger::Position(LedgerPosition* out) {
    std::lock_guard lock(lock_);
    return inner_.Position(out);
}

LedgerResult SerialLedger::Backup(const std::string& path) {
    std::lock_guard lock(lock_);
    return inner_.Backup(path);
}

LedgerResult SerialLedger::ReadJournal(int64_t sinceMs,
                                       const std::function<bool(const JournalRow&)>& sink) {
    std::lock_guard lock(lock_);
    return inner_.ReadJournal(sinceMs, sink);
}

LedgerResult SerialLedger::SerialHeldId(std::string_view usbSerial, bool* held) {
    std::lock_guard lock(lock_);
    return inner_.SerialHeldId(usbSerial, held);
}

}  // namespace ts
