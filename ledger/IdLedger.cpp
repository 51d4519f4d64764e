#include "ledger/IdLedger.h"

#include <limits>

namespace ts {

const char* IdStateName(IdState s) {
    switch (s) {
        case IdState::None:
            return "none";
        case IdState::Reserved:
            return "reserved";
        case IdState::Written:
            return "written";
        case IdState::Verified:
            return "verified";
        case IdState::Released:
            return "released";
        case IdState::InDoubt:
            return "in doubt";
        case IdState::Replaced:
            return "replaced";
    }
    return "unknown";
}

const char* SourceKindName(IdSource::Kind k) {
    switch (k) {
        case IdSource::Kind::None:
            return "";
        case IdSource::Kind::File:
            return "file";
        case IdSource::Kind::Scan:
            return "scan";
        case IdSource::Kind::Counter:
            return "counter";
    }
    return "";
}

const char* AttemptModeName(AttemptMode m) {
    switch (m) {
        case AttemptMode::Write:
            return "write";
        case AttemptMode::Read:
            return "read";
        case AttemptMode::Release:
            return "release";
        case AttemptMode::Confirm:
            return "confirm";
        case AttemptMode::ReadBack:
            return "readback";
        case AttemptMode::Replace:
            return "replace";
    }
    return "";
}

LedgerResult IdLedger::ConfirmReserved(std::u16string_view, IdRecord*) {
    return LedgerResult::Fail(LedgerStatus::Unsupported,
                              "ledger " + Describe() + ": cannot confirm a reservation");
}

LedgerResult IdLedger::MarkInDoubt(const Reservation&) {
    return LedgerResult::Fail(LedgerStatus::Unsupported,
                              "ledger " + Describe() + ": keeps no IDs in doubt");
}

LedgerResult IdLedger::MarkReadBack(const Reservation&, int) {
    return LedgerResult::Fail(LedgerStatus::Unsupported,
                              "ledger " + Describe() + ": keeps no IDs in doubt");
}

LedgerResult IdLedger::SettleRead(std::u16string_view, const DeviceInfo&, bool* settled) {
    if (settled) *settled = false;
    return {};
}

LedgerResult IdLedger::Position(LedgerPosition*) {
    return LedgerResult::Fail(LedgerStatus::Unsupported,
                              "ledger " + Describe() + ": keeps no mark");
}

LedgerResult IdLedger::Backup(const std::string&) {
    return LedgerResult::Fail(
        LedgerStatus::Unsupported,
        "ledger " + Describe() + ": back it up with the server's own tools (pg_dump)");
}

bool JournalRowGaveId(std::string_view mode, const std::optional<int64_t>& result) {
    for (AttemptMode m : kModesGivingId)
        if (mode == AttemptModeName(m)) return true;
    return mode == AttemptModeName(AttemptMode::Read) && result == 0;
}

LedgerResult IdLedger::SerialHeldId(std::string_view usbSerial, bool* held) {
    *held = false;
    if (usbSerial.empty()) return {};
    return ReadJournal(std::numeric_limits<int64_t>::min(), [&](const JournalRow& row) {
        *held =
            row.usbSerial == usbSerial && !row.id.empty() && JournalRowGaveId(row.mode, row.result);
        return !*held;
    });
}

LedgerResult IdLedger::MarkReplaced(std::u16string_view, const DeviceInfo&) { return {}; }

std::string DeviceInfo::Summary() const {
    std::string s = !node.empty() ? node : (!port.empty() ? "port " + port : std::string());
    if (!usbSerial.empty()) s += (s.empty() ? "serial " : " serial ") + usbSerial;
    return s;
}

IdSource IdSource::FromFile(std::string sha256, std::string name, uint32_t line) {
    IdSource s;
    s.kind = Kind::File;
    s.fileSha256 = std::move(sha256);
    s.fileName = std::move(name);
    s.line = line;
    return s;
}

IdSource IdSource::FromScan() {
    IdSource s;
    s.kind = Kind::Scan;
    return s;
}

IdSource IdSource::FromCounter(std::u16string prefix, std::u16string suffix, bool down) {
    IdSource s;
    s.kind = Kind::Counter;
    s.prefix = std::move(prefix);
    s.suffix = std::move(suffix);
    s.down = down;
    return s;
}

namespace {

LedgerResult NoPools(const IdLedger& l) {
    return LedgerResult::Fail(LedgerStatus::Unsupported,
                              "ledger " + l.Describe() + ": keeps no pools");
}

}  // namespace

LedgerResult IdLedger::NextCounter(std::u16string_view, std::u16string_view, bool,
                                   std::u16string_view, std::optional<std::u16string>*) {
    return NoPools(*this);
}

LedgerResult IdLedger::ImportList(const std::string&, const std::string&, size_t,
                                  const std::function<std::u16string_view(size_t)>&,
                                  const std::function<uint32_t(size_t)>&, bool*) {
    return NoPools(*this);
}

LedgerResult IdLedger::Pools(const IdSource*, std::vector<PoolStatus>*) { return NoPools(*this); }

}  // namespace ts
