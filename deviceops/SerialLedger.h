#pragma once
// One ledger used by several ports at once: every call goes through one
// lock, so the ledger below is only ever used by one thread at a time (the
// local ledger's connection is not shared safely between threads).
#include <mutex>

#include "ledger/IdLedger.h"

namespace ts {

class SerialLedger : public IdLedger {
public:
    // `inner` outlives this; `lock` guards every other use of it too.
    SerialLedger(IdLedger& inner, std::mutex& lock) : inner_(inner), lock_(lock) {}
    // Runs after each reservation that succeeded, still under the lock (the
    // station's mark of its ledger follows the ledger's newest change).
    std::function<void()> afterReserve;

    std::string Describe() const override;
    const std::string& Station() const override { return inner_.Station(); }
    bool Shared() const override { return inner_.Shared(); }
    LedgerResult Reserve(const Attempt& a, bool rewrite, Reservation* out,
                         IdRecord* existing) override;
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
    LedgerResult StatesOf(size_t count, const std::function<std::u16string_view(size_t)>& idAt,
                          std::vector<IdState>* states) override;
    LedgerResult FurthestCounter(std::u16string_view prefix, std::u16string_view suffix, bool down,
                                 std::optional<std::u16string>* out) override;
    LedgerResult StaleReservations(std::vector<IdRecord>* out) override;
    LedgerResult ListReserved(std::vector<IdRecord>* out) override;
    LedgerResult Counts(StateCounts* out) override;
    LedgerResult NextCounter(std::u16string_view prefix, std::u16string_view suffix, bool down,
                             std::u16string_view start,
                             std::optional<std::u16string>* value) override;
    LedgerResult ImportList(const std::string& sha256, const std::string& name, size_t count,
                            const std::function<std::u16string_view(size_t)>& idAt,
                            const std::function<uint32_t(size_t)>& lineAt, bool* added) override;
    LedgerResult Pools(const IdSource* only, std::vector<PoolStatus>* out) override;
    LedgerResult Position(LedgerPosition* out) override;
    LedgerResult Backup(const std::string& path) override;
    LedgerResult ReadJournal(int64_t sinceMs,
                             const std::function<bool(const JournalRow&)>& sink) override;
    LedgerResult SerialHeldId(std::string_view usbSerial, bool* held) override;

private:
    IdLedger& inner_;
    std::mutex& lock_;
};

}  // namespace ts
