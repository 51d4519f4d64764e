#pragma once
// A ledger over a store: the ID lifecycle's operations are the same for every
// store and live here once; a store adds its connection, its queries of many
// rows (counts, pools, the journal) and the statements the lifecycle runs.
#include <memory>
#include <string>

#include "ledger/IdLedger.h"
#include "ledger/LedgerStore.h"

namespace ts {

namespace store {
class IdLifecycle;
}

class StoreLedger : public IdLedger, protected store::LedgerStore {
public:
    ~StoreLedger() override;
    StoreLedger(const StoreLedger&) = delete;
    StoreLedger& operator=(const StoreLedger&) = delete;

    const std::string& Station() const override { return station_; }
    // This object's session: reservations made under another one that is no
    // longer alive were left by a run that ended.
    const std::string& Session() const { return session_; }

    LedgerResult Reserve(const Attempt& a, bool rewrite, Reservation* out,
                         IdRecord* existing = nullptr) override;
    LedgerResult MarkWritten(const Reservation& r) override;
    LedgerResult MarkVerified(const Reservation& r) override;
    LedgerResult Release(const Reservation& r, int resultCode) override;
    LedgerResult KeepReserved(const Reservation& r, int resultCode) override;
    LedgerResult MarkInDoubt(const Reservation& r) override;
    LedgerResult MarkReadBack(const Reservation& r, int resultCode) override;
    LedgerResult SettleRead(std::u16string_view id, const DeviceInfo& device,
                            bool* settled) override;
    LedgerResult MarkReplaced(std::u16string_view id, const DeviceInfo& device) override;
    LedgerResult RecordAttempt(const Attempt& a, int resultCode, int64_t durationMs,
                               bool verified) override;
    LedgerResult ReleaseReserved(std::u16string_view id, IdRecord* was) override;
    LedgerResult ConfirmReserved(std::u16string_view id, IdRecord* was) override;
    LedgerResult Lookup(std::u16string_view id, IdRecord* out) override;

protected:
    explicit StoreLedger(const LedgerOpenOptions& options);
    store::IdLifecycle& Life() { return *life_; }

    const std::string station_;
    const std::string session_;

private:
    std::unique_ptr<store::IdLifecycle> life_;
};

}  // namespace ts
