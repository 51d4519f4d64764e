#pragma once
// The rules of an ID's life, once for every store: reserve (and rewrite),
// confirm (written, verified, read back), release (back to what a rewrite
// replaced), keep reserved, in doubt, settle by a read, replaced, and the
// operator's release and confirmation. Each change is one transaction of
// the store, under the ID's lock. Internal to the ledger layer.
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "ledger/IdLedger.h"
#include "ledger/LedgerStore.h"

namespace ts::store {

class IdLifecycle {
public:
    IdLifecycle(LedgerStore& store, std::string station, std::string session,
                std::function<int64_t()> clockMs);

    LedgerResult Reserve(const Attempt& a, bool rewrite, Reservation* out, IdRecord* existing);
    LedgerResult MarkWritten(const Reservation& r) { return Confirm(r, IdState::Written); }
    LedgerResult MarkVerified(const Reservation& r) { return Confirm(r, IdState::Verified); }
    LedgerResult Release(const Reservation& r, int resultCode);
    LedgerResult KeepReserved(const Reservation& r, int resultCode);
    LedgerResult MarkInDoubt(const Reservation& r);
    LedgerResult MarkReadBack(const Reservation& r, int resultCode);
    LedgerResult SettleRead(std::u16string_view id, const DeviceInfo& device, bool* settled);
    LedgerResult MarkReplaced(std::u16string_view id, const DeviceInfo& device);
    LedgerResult RecordAttempt(const Attempt& a, int resultCode, int64_t durationMs, bool verified);
    LedgerResult ReleaseReserved(std::u16string_view id, IdRecord* was) {
        return Settle(id, was, AttemptMode::Release);
    }
    LedgerResult ConfirmReserved(std::u16string_view id, IdRecord* was) {
        return Settle(id, was, AttemptMode::Confirm);
    }
    LedgerResult Lookup(std::u16string_view id, IdRecord* out);
    // A shared counter's next value (IdLedger::NextCounter); `furthest`
    // gives the held value furthest in the counting direction, for a new
    // counter.
    LedgerResult NextCounter(
        std::u16string_view prefix, std::u16string_view suffix, bool down,
        std::u16string_view start,
        const std::function<LedgerResult(std::optional<std::u16string>*)>& furthest,
        std::optional<std::u16string>* value);

private:
    int64_t NowMs() const { return WallMs(clockMs_); }
    LedgerResult Confirm(const Reservation& res, IdState state);
    LedgerResult Settle(std::u16string_view id, IdRecord* was, AttemptMode mode);
    // A reservation ends without a write: back to the state a rewrite
    // replaced (with the station, device and time of that attempt), else
    // released.
    LedgerResult GiveBack(const std::string& key, const IdRow& row, int64_t time);
    // Inside a transaction: waits for the ID's lock, then reads its record.
    LedgerResult LockAndRead(const std::string& key, IdRow* row, bool* found);
    // The journal row of an operator's step or a read: result 0.
    LedgerResult AppendDone(AttemptMode mode, std::u16string_view id, const DeviceInfo& device,
                            const std::string& key, int64_t time, bool verified,
                            int64_t* seq = nullptr);

    LedgerStore& store_;
    std::string station_;
    std::string session_;
    std::function<int64_t()> clockMs_;
    // IDs whose reservation was sent but whose commit was never answered
    // (the server went away meanwhile): reserving one again takes over that
    // reservation instead of finding it held.
    std::set<std::string> uncertain_;
    // The last reservation found its ID held: this station is passing over
    // IDs others took (see Reserve).
    bool passingOver_ = false;
};

}  // namespace ts::store
