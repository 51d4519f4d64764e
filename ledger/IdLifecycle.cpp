#include "ledger/IdLifecycle.h"

#include <utility>

#include "ledger/CounterBound.h"
#include "platform/Codepage.h"

namespace ts::store {

IdLifecycle::IdLifecycle(LedgerStore& store, std::string station, std::string session,
                         std::function<int64_t()> clockMs)
    : store_(store),
      station_(std::move(station)),
      session_(std::move(session)),
      clockMs_(std::move(clockMs)) {}

namespace {

LedgerResult HeldAlready(const std::string& key, IdState state) {
    return LedgerResult::Fail(LedgerStatus::Held,
                              "ID " + key + " is " + IdStateName(state) + " already");
}

}  // namespace

LedgerResult IdLifecycle::Reserve(const Attempt& a, bool rewrite, Reservation* out,
                                  IdRecord* existing) {
    const std::string key = store_.Key(a.id);
    const std::string device = a.device.Summary();
    const char* what = "cannot reserve";
    // Stations allocating from one list mostly meet IDs another station
    // took: while passing over those, one plain read (which waits on
    // nothing) refuses an ID held already, without a transaction or a lock.
    // A station that finds its IDs free does without it, and so does one
    // that lost an ID to a station reserving it at that moment: the next ID
    // is most likely still free. Taking an ID is decided only below, under
    // the ID's lock, on a fresh read.
    if (passingOver_ && !rewrite && !uncertain_.count(key)) {
        IdRow row;
        bool found = false;
        LedgerResult q = store_.Run(what, false, [&] { return store_.ReadId(key, &row, &found); });
        if (!q.ok()) return q;
        if (found && IsHeld(row.state)) {
            if (existing) *existing = row.Record(a.id);
            return HeldAlready(key, row.state);
        }
    }
    int64_t seq = 0;
    bool contended = false;
    LedgerResult r = store_.Run(what, true, [&]() -> LedgerResult {
        // Another station reserving or changing it right now holds it. Not
        // so for our own reservation whose commit we never heard of: a
        // station passing over it holds its lock a moment only, and giving up
        // would leave our own reservation behind with no device.
        bool got = false;
        LedgerResult q = store_.LockId(key, !uncertain_.count(key), &got);
        if (!q.ok()) return q;
        contended = !got;
        if (!got) {
            if (existing) {
                *existing = Unknown(a.id);
                existing->state = IdState::Reserved;
            }
            return LedgerResult::Fail(LedgerStatus::Held,
                                      "ID " + key + " is being reserved by another station");
        }
        IdRow row;
        bool found = false;
        q = store_.ReadId(key, &row, &found);
        if (!q.ok()) return q;
        if (found && existing) *existing = row.Record(a.id);
        const bool held = found && IsHeld(row.state);
        // Whose reservation it is matters to a rewrite, and to taking over
        // our own unanswered one.
        AttemptRow owner;
        bool ownerFound = false;
        if (found && row.state == IdState::Reserved && (rewrite || uncertain_.count(key))) {
            q = store_.ReadAttempt(row.attempt, &owner, &ownerFound);
            if (!q.ok()) return q;
        }
        const bool mine = ownerFound && owner.session == session_;
        // Our own reservation whose commit we never heard of: it is this
        // attempt's, if no one touched it since.
        if (held && !rewrite && mine && owner.open && uncertain_.count(key)) {
            seq = row.attempt;
            return LedgerResult{};
        }
        if (held && !rewrite) return HeldAlready(key, row.state);
        // A rewrite replaces a write, never another run's reservation.
        if (found && row.state == IdState::Reserved && !mine)
            return LedgerResult::Fail(
                LedgerStatus::Held,
                "ID " + key + " is reserved by another run (" + row.station + ")");
        // A rewrite keeps what it replaces; a rewrite of a rewrite in
        // progress keeps the original.
        IdRow next;
        next.state = IdState::Reserved;
        if (held) {
            const bool nested = row.state == IdState::Reserved && row.prevState;
            next.prevState = nested ? *row.prevState : row.state;
            next.prevAttempt = nested ? row.prevAttempt : row.attempt;
        }
        next.station = station_;
        next.device = device;
        next.time = NowMs();
        q = store_.OpenReservation(a, key, &next);
        if (q.ok()) seq = next.attempt;
        return q;
    });
    passingOver_ = r.status == LedgerStatus::Held && !contended;
    if (r.status == LedgerStatus::Offline && store_.CommitUncertain()) uncertain_.insert(key);
    if (!r.ok()) return r;
    uncertain_.erase(key);
    *out = Reservation{a.id, seq, SteadyMs(), device};
    return {};
}

LedgerResult IdLifecycle::Confirm(const Reservation& res, IdState state) {
    const std::string key = store_.Key(res.id);
    IdRow other;
    bool collided = false;
    LedgerResult r = store_.Run("cannot record the write", true, [&]() -> LedgerResult {
        collided = false;
        bool found = false;
        LedgerResult q = LockAndRead(key, &other, &found);
        if (!q.ok()) return q;
        // Another attempt took the ID over (after an operator's release):
        // its record stays, and this attempt is closed as failed.
        if (found && other.attempt != res.attempt) {
            collided = true;
            return store_.CloseJournal(res.attempt, 1, SteadyMs() - res.startedMs, false);
        }
        IdRow row;
        row.state = state;
        row.attempt = res.attempt;
        row.station = station_;
        row.device = res.device;
        row.time = NowMs();
        q = store_.PutId(key, row);
        if (!q.ok()) return q;
        return store_.CloseJournal(res.attempt, 0, SteadyMs() - res.startedMs,
                                   state == IdState::Verified);
    });
    if (!r.ok() || !collided) return r;
    return Collided(key, other.station, other.device, IdStateName(other.state));
}

LedgerResult IdLifecycle::GiveBack(const std::string& key, const IdRow& row, int64_t time) {
    IdRow back = row;
    back.prevState.reset();
    back.prevAttempt = 0;
    if (!row.prevState) {
        back.state = IdState::Released;
        back.time = time;
        return store_.PutId(key, back);
    }
    back.state = *row.prevState;
    back.attempt = row.prevAttempt;
    AttemptRow earlier;
    bool found = false;
    LedgerResult r = store_.ReadAttempt(row.prevAttempt, &earlier, &found);
    if (!r.ok()) return r;
    if (found) {
        back.station = earlier.station;
        back.device = earlier.device;
        back.time = earlier.time;
    }
    return store_.PutId(key, back);
}

LedgerResult IdLifecycle::LockAndRead(const std::string& key, IdRow* row, bool* found) {
    bool got = false;
    LedgerResult r = store_.LockId(key, false, &got);
    if (!r.ok()) return r;
    return store_.ReadId(key, row, found);
}

LedgerResult IdLifecycle::Release(const Reservation& res, int resultCode) {
    const std::string key = store_.Key(res.id);
    return store_.Run("cannot release", true, [&]() -> LedgerResult {
        IdRow row;
        bool found = false;
        LedgerResult r = LockAndRead(key, &row, &found);
        if (!r.ok()) return r;
        if (found && IsUnsettled(row.state) && row.attempt == res.attempt) {
            r = GiveBack(key, row, NowMs());
            if (!r.ok()) return r;
        }
        return store_.CloseJournal(res.attempt, resultCode, SteadyMs() - res.startedMs, false);
    });
}

LedgerResult IdLifecycle::KeepReserved(const Reservation& res, int resultCode) {
    return store_.Run("the journal cannot be written", false, [&] {
        return store_.CloseJournal(res.attempt, resultCode, SteadyMs() - res.startedMs, false);
    });
}

LedgerResult IdLifecycle::MarkInDoubt(const Reservation& res) {
    const std::string key = store_.Key(res.id);
    return store_.Run("cannot record the doubtful write", true, [&]() -> LedgerResult {
        IdRow row;
        bool found = false;
        LedgerResult r = LockAndRead(key, &row, &found);
        if (!r.ok() || !found || row.state != IdState::Reserved || row.attempt != res.attempt)
            return r;
        row.state = IdState::InDoubt;
        row.time = NowMs();
        return store_.PutId(key, row);
    });
}

LedgerResult IdLifecycle::AppendDone(AttemptMode mode, std::u16string_view id,
                                     const DeviceInfo& device, const std::string& key, int64_t time,
                                     bool verified, int64_t* seq) {
    Attempt a;
    a.mode = mode;
    a.id = std::u16string(id);
    a.device = device;
    const int ok = 0;
    return store_.AppendJournal(a, key, time, &ok, 0, verified, seq);
}

LedgerResult IdLifecycle::MarkReadBack(const Reservation& res, int resultCode) {
    const std::string key = store_.Key(res.id);
    IdRow other;
    bool collided = false;
    LedgerResult result = store_.Run("cannot record the write", true, [&]() -> LedgerResult {
        collided = false;
        const int64_t now = NowMs();
        bool found = false;
        LedgerResult r = LockAndRead(key, &other, &found);
        if (!r.ok()) return r;
        if (found && other.attempt != res.attempt) {
            collided = true;
            return store_.CloseJournal(res.attempt, resultCode, SteadyMs() - res.startedMs, false);
        }
        IdRow row;
        row.state = IdState::Written;
        row.attempt = res.attempt;
        row.station = station_;
        row.device = res.device;
        row.time = now;
        r = store_.PutId(key, row);
        if (!r.ok()) return r;
        r = store_.CloseJournal(res.attempt, resultCode, SteadyMs() - res.startedMs, false);
        if (!r.ok()) return r;
        DeviceInfo d;
        d.node = res.device;
        return AppendDone(AttemptMode::ReadBack, res.id, d, key, now, true);
    });
    if (!result.ok() || !collided) return result;
    return Collided(key, other.station, other.device, IdStateName(other.state));
}

LedgerResult IdLifecycle::SettleRead(std::u16string_view id, const DeviceInfo& device,
                                     bool* settled) {
    if (settled) *settled = false;
    const std::string key = store_.Key(id);
    bool done = false;
    LedgerResult result = store_.Run("cannot record the read", true, [&]() -> LedgerResult {
        done = false;
        IdRow row;
        bool found = false;
        LedgerResult r = LockAndRead(key, &row, &found);
        if (!r.ok() || !found || row.state != IdState::InDoubt) return r;
        const int64_t now = NowMs();
        r = AppendDone(AttemptMode::ReadBack, id, device, key, now, true);
        if (!r.ok()) return r;
        // Kept with the attempt that sent it, as a confirmation is.
        row.state = IdState::Written;
        row.prevState.reset();
        row.prevAttempt = 0;
        row.time = now;
        r = store_.PutId(key, row);
        done = r.ok();
        return r;
    });
    if (result.ok() && settled) *settled = done;
    return result;
}

LedgerResult IdLifecycle::MarkReplaced(std::u16string_view id, const DeviceInfo& device) {
    const std::string key = store_.Key(id);
    return store_.Run("cannot record the replaced ID", true, [&]() -> LedgerResult {
        IdRow row;
        bool found = false;
        LedgerResult r = LockAndRead(key, &row, &found);
        if (!r.ok() ||
            (found && (row.state == IdState::Reserved || row.state == IdState::Replaced)))
            return r;
        const int64_t now = NowMs();
        int64_t seq = 0;
        r = AppendDone(AttemptMode::Replace, id, device, key, now, false, &seq);
        if (!r.ok()) return r;
        // Kept with the attempt that wrote it, where the ledger knows one.
        if (!found) {
            row.attempt = seq;
            row.station = station_;
            row.device = device.Summary();
        }
        row.state = IdState::Replaced;
        row.prevState.reset();
        row.prevAttempt = 0;
        row.time = now;
        return store_.PutId(key, row);
    });
}

LedgerResult IdLifecycle::RecordAttempt(const Attempt& a, int resultCode, int64_t durationMs,
                                        bool verified) {
    const std::string key = store_.Key(a.id);
    return store_.Run("the journal cannot be written", false, [&] {
        return store_.AppendJournal(a, key, NowMs(), &resultCode, durationMs, verified, nullptr);
    });
}

LedgerResult IdLifecycle::Settle(std::u16string_view id, IdRecord* was, AttemptMode mode) {
    const std::string key = store_.Key(id);
    const bool confirm = mode == AttemptMode::Confirm;
    return store_.Run(confirm ? "cannot confirm" : "cannot release", true, [&]() -> LedgerResult {
        IdRow row;
        bool found = false;
        LedgerResult r = LockAndRead(key, &row, &found);
        if (!r.ok()) return r;
        if (was) *was = found ? row.Record(id) : Unknown(id);
        if (!found || !IsUnsettled(row.state)) return NotReserved(key, found ? &row : nullptr);
        if (row.state == IdState::Reserved) {
            AttemptRow owner;
            bool ownerFound = false;
            r = store_.ReadAttempt(row.attempt, &owner, &ownerFound);
            if (!r.ok()) return r;
            bool live = false;
            if (ownerFound && owner.session != session_) {
                r = store_.SessionLive(owner.session, &live);
                if (!r.ok()) return r;
            }
            if (live) return InProgress(key, row.station);
        }
        const int64_t now = NowMs();
        DeviceInfo d;
        d.node = row.device;
        r = AppendDone(mode, id, d, key, now, false);
        if (!r.ok()) return r;
        // Confirmed, the ID stays with the attempt that sent it, so that the
        // pools count it for that attempt's station and source.
        if (!confirm) return GiveBack(key, row, now);
        row.state = IdState::Written;
        row.prevState.reset();
        row.prevAttempt = 0;
        row.time = now;
        return store_.PutId(key, row);
    });
}

LedgerResult IdLifecycle::Lookup(std::u16string_view id, IdRecord* out) {
    const std::string key = store_.Key(id);
    return store_.Run("cannot be read", false, [&]() -> LedgerResult {
        IdRow row;
        bool found = false;
        LedgerResult r = store_.ReadId(key, &row, &found);
        if (!r.ok()) return r;
        *out = found ? row.Record(id) : Unknown(id);
        return LedgerResult{};
    });
}

LedgerResult IdLifecycle::NextCounter(
    std::u16string_view prefix, std::u16string_view suffix, bool down, std::u16string_view start,
    const std::function<LedgerResult(std::optional<std::u16string>*)>& furthest,
    std::optional<std::u16string>* value) {
    if (!IsCounterValue(start)) {
        *value = std::u16string(start);
        return {};
    }
    const std::string p8 = store_.Key(CleanIdPart(prefix));
    const std::string s8 = store_.Key(CleanIdPart(suffix));
    const char* what = "cannot take a counter value";
    // Compare and swap: read the kept value, write the next one only where
    // it is still the one read; another station got there first otherwise.
    // No lock is held between the two, nor while the held IDs are read.
    for (int tries = 0; tries < 1000; ++tries) {
        std::optional<std::string> kept8;
        LedgerResult r = store_.Run(what, false, [&] {
            kept8.reset();
            return store_.ReadCounter(p8, s8, down, &kept8);
        });
        if (!r.ok()) return r;
        std::optional<std::u16string> kept;
        if (kept8) kept = Utf8ToWide(*kept8);
        if (kept && kept->empty()) {  // counting down is done
            value->reset();
            return {};
        }
        std::optional<std::u16string> far;
        if (!kept) {
            r = furthest(&far);
            if (!r.ok()) return r;
        }
        const CounterStep step = TakeCounter(start, kept, far, down);
        bool swapped = false;
        r = store_.Run(what, true, [&] {
            return store_.SwapCounter(p8, s8, down, kept8, WideToUtf8(step.next), NowMs(),
                                      &swapped);
        });
        if (!r.ok()) return r;
        if (swapped) {
            *value = step.value;
            return {};
        }
    }
    return LedgerResult::Fail(LedgerStatus::Busy, "ledger " + store_.Describe() + ": " + what +
                                                      ": too many stations at once");
}

}  // namespace ts::store
