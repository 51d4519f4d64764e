#include "ledger/StoreSupport.h"

#include <chrono>
#include <random>
#include <string>

namespace ts::store {

namespace {

bool IsUpperHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

// Compares hexadecimal digit texts by value.
int CompareHex8(std::string_view a, std::string_view b) {
    while (!a.empty() && a.front() == '0') a.remove_prefix(1);
    while (!b.empty() && b.front() == '0') b.remove_prefix(1);
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    return a.compare(b);
}

}  // namespace

int64_t WallMs(const std::function<int64_t()>& clock) {
    if (clock) return clock();
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

int64_t SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string NewSession() {
    std::random_device rd;
    static const char kHex[] = "0123456789abcdef";
    std::string s;
    for (int i = 0; i < 4; ++i) {
        uint32_t v = rd();
        for (int k = 0; k < 8; ++k, v >>= 4) s.push_back(kHex[v & 15]);
    }
    return s;
}

IdState StateFrom(int64_t v) {
    if (v >= 1 && v <= 6) return static_cast<IdState>(v);
    return IdState::Reserved;
}

IdRecord Unknown(std::u16string_view id) {
    IdRecord rec;
    rec.id = std::u16string(id);
    return rec;
}

std::string PrefixEnd(std::string prefix) {
    while (!prefix.empty() && static_cast<unsigned char>(prefix.back()) == 0xFF) prefix.pop_back();
    if (!prefix.empty()) prefix.back() = static_cast<char>(prefix.back() + 1);
    return prefix;
}

void KeepFurthest(std::string_view id, std::string_view prefix, std::string_view suffix, bool down,
                  std::optional<std::string>* best) {
    if (id.size() <= prefix.size() + suffix.size() || id.substr(0, prefix.size()) != prefix ||
        id.substr(id.size() - suffix.size()) != suffix)
        return;
    const std::string_view digits =
        id.substr(prefix.size(), id.size() - prefix.size() - suffix.size());
    for (char c : digits)
        if (!IsUpperHexDigit(c)) return;
    const int cmp = *best ? CompareHex8(digits, **best) : 0;
    if (!*best || (down ? cmp < 0 : cmp > 0)) *best = std::string(digits);
}

const std::vector<int>& HeldStates() {
    // Replaced is the last state.
    static const std::vector<int> kHeld = [] {
        std::vector<int> out;
        for (int v = 0; v <= static_cast<int>(IdState::Replaced); ++v)
            if (IsHeld(static_cast<IdState>(v))) out.push_back(v);
        return out;
    }();
    return kHeld;
}

const std::vector<int>& StationStates() {
    static const std::vector<int> kStates = {
        static_cast<int>(IdState::Reserved), static_cast<int>(IdState::Written),
        static_cast<int>(IdState::Verified), static_cast<int>(IdState::InDoubt)};
    return kStates;
}

std::string SerialHeldIdSql(bool postgres) {
    const std::vector<std::string> modes = SerialHeldIdModes();
    auto param = [&](size_t i) { return (postgres ? "$" : "?") + std::to_string(i); };
    std::string in;
    for (size_t i = 0; i + 1 < modes.size(); ++i) in += (i ? ", " : "") + param(i + 2);
    // The index is partial: the query says it wants no empty serial.
    return "SELECT EXISTS (SELECT 1 FROM journal WHERE usb_serial = " + param(1) +
           " AND usb_serial <> '' AND id <> '' AND (mode IN (" + in +
           ") OR (mode = " + param(modes.size() + 1) + " AND result = 0)))";
}

std::vector<std::string> SerialHeldIdModes() {
    std::vector<std::string> out;
    for (AttemptMode m : kModesGivingId) out.push_back(AttemptModeName(m));
    out.push_back(AttemptModeName(AttemptMode::Read));
    return out;
}

std::vector<std::string> LookupIndexSql(std::string_view table) {
    const std::string t(table);
    return {"CREATE INDEX IF NOT EXISTS journal_usb_serial ON " + t +
                "(usb_serial) WHERE usb_serial <> ''",
            "CREATE INDEX IF NOT EXISTS journal_id ON " + t + "(id)"};
}

void AddStationCount(int64_t state, uint64_t n, StationCounts* counts) {
    switch (StateFrom(state)) {
        case IdState::Written:
            counts->written += n;
            break;
        case IdState::Verified:
            counts->verified += n;
            break;
        case IdState::InDoubt:
            counts->inDoubt += n;
            break;
        default:
            counts->reserved += n;
            break;
    }
}

void AddCount(int64_t state, uint64_t n, StateCounts* counts) {
    switch (StateFrom(state)) {
        case IdState::Written:
            counts->written += n;
            break;
        case IdState::Verified:
            counts->verified += n;
            break;
        case IdState::Released:
            counts->released += n;
            break;
        case IdState::InDoubt:
            counts->inDoubt += n;
            break;
        case IdState::Replaced:
            counts->replaced += n;
            break;
        default:
            counts->reserved += n;
            break;
    }
}

LedgerResult NotReserved(const std::string& id8, const IdRow* row) {
    return LedgerResult::Fail(LedgerStatus::NotReserved,
                              "ID " + id8 + " is not reserved" +
                                  (row ? std::string(" (it is ") + IdStateName(row->state) + ")"
                                       : std::string(" (not in the ledger)")));
}

LedgerResult InProgress(const std::string& id8, const std::string& station) {
    return LedgerResult::Fail(LedgerStatus::InProgress,
                              "ID " + id8 + " is being written now by a run of station " + station +
                                  " that is alive; check again once it ended");
}

LedgerResult Collided(const std::string& id8, const std::string& station, const std::string& device,
                      const char* state) {
    return LedgerResult::Fail(LedgerStatus::Collision,
                              "ID " + id8 + " was taken over by another attempt (" + state +
                                  ", station " + station + ", device " +
                                  (device.empty() ? "-" : device) + ")");
}

}  // namespace ts::store
