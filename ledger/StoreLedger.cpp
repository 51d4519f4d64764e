#include "ledger/StoreLedger.h"

#include "ledger/IdLifecycle.h"
#include "ledger/StoreSupport.h"

namespace ts {

using store::IdLifecycle;

StoreLedger::StoreLedger(const LedgerOpenOptions& options)
    : station_(options.station),
      session_(store::NewSession()),
      life_(std::make_unique<IdLifecycle>(static_cast<store::LedgerStore&>(*this), station_,
                                          session_, options.clockMs)) {}

StoreLedger::~StoreLedger() = default;

LedgerResult StoreLedger::Reserve(const Attempt& a, bool rewrite, Reservation* out,
                                  IdRecord* existing) {
    return life_->Reserve(a, rewrite, out, existing);
}

LedgerResult StoreLedger::MarkWritten(const Reservation& r) { return life_->MarkWritten(r); }

LedgerResult StoreLedger::MarkVerified(const Reservation& r) { return life_->MarkVerified(r); }

LedgerResult StoreLedger::Release(const Reservation& r, int resultCode) {
    return life_->Release(r, resultCode);
}

LedgerResult StoreLedger::KeepReserved(const Reservation& r, int resultCode) {
    return life_->KeepReserved(r, resultCode);
}

LedgerResult StoreLedger::MarkInDoubt(const Reservation& r) { return life_->MarkInDoubt(r); }

LedgerResult StoreLedger::MarkReadBack(const Reservation& r, int resultCode) {
    return life_->MarkReadBack(r, resultCode);
}

LedgerResult StoreLedger::SettleRead(std::u16string_view id, const DeviceInfo& device,
                                     bool* settled) {
    return life_->SettleRead(id, device, settled);
}

LedgerResult StoreLedger::MarkReplaced(std::u16string_view id, const DeviceInfo& device) {
    return life_->MarkReplaced(id, device);
}

LedgerResult StoreLedger::RecordAttempt(const Attempt& a, int resultCode, int64_t durationMs,
                                        bool verified) {
    return life_->RecordAttempt(a, resultCode, durationMs, verified);
}

LedgerResult StoreLedger::ReleaseReserved(std::u16string_view id, IdRecord* was) {
    return life_->ReleaseReserved(id, was);
}

LedgerResult StoreLedger::ConfirmReserved(std::u16string_view id, IdRecord* was) {
    return life_->ConfirmReserved(id, was);
}

LedgerResult StoreLedger::Lookup(std::u16string_view id, IdRecord* out) {
    return life_->Lookup(id, out);
}

}  // namespace ts
