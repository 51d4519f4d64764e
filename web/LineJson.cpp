#include "web/LineJson.h"

#include <nlohmann/json.hpp>

#include "platform/Codepage.h"
#include "web/Access.h"

namespace ts::web {

using nlohmann::json;

namespace {

// A station counts as writing while its newest write runs or for this long
// after its newest attempt.
constexpr int64_t kWritingMs = 2 * 60 * 1000;

std::string Dump(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

json Optional(const std::optional<int64_t>& v) { return v ? json(*v) : json(nullptr); }

const char* Kind(AttentionKind k) {
    switch (k) {
        case AttentionKind::InDoubt:
            return "inDoubt";
        case AttentionKind::DeadReservation:
            return "deadReservation";
        case AttentionKind::Collision:
            return "collision";
    }
    return "";
}

json PoolJson(const PoolStatus& p, uint64_t writtenHour, int64_t nowMs) {
    json j;
    const bool file = p.source.kind == IdSource::Kind::File;
    j["kind"] = file ? "file" : "counter";
    if (file) {
        j["name"] = p.source.fileName;
        j["sha256"] = p.source.fileSha256;
        j["imported"] = p.imported;
        j["entries"] = p.entries;
        j["free"] = p.free;
    } else {
        j["prefix"] = WideToUtf8(p.source.prefix);
        j["suffix"] = WideToUtf8(p.source.suffix);
        j["down"] = p.source.down;
        j["next"] = p.next ? json(WideToUtf8(*p.next)) : json(nullptr);
        j["counterKnown"] = p.counterKnown;
    }
    StationCounts total;
    json stations = json::array();
    for (const StationCounts& c : p.stations) {
        total.reserved += c.reserved;
        total.written += c.written;
        total.verified += c.verified;
        total.failed += c.failed;
        total.inDoubt += c.inDoubt;
        stations.push_back({{"station", c.station},
                            {"reserved", c.reserved},
                            {"written", c.written},
                            {"verified", c.verified},
                            {"failed", c.failed},
                            {"inDoubt", c.inDoubt}});
    }
    j["reserved"] = total.reserved;
    j["written"] = total.written;
    j["verified"] = total.verified;
    j["failed"] = total.failed;
    j["inDoubt"] = total.inDoubt;
    j["stations"] = std::move(stations);
    j["writtenHour"] = writtenHour;
    // At the last hour's rate, the list's free entries last this long.
    j["runOutMs"] = nullptr;
    if (file && p.imported && writtenHour > 0)
        j["runOutMs"] = nowMs + static_cast<int64_t>(static_cast<double>(p.free) /
                                                     static_cast<double>(writtenHour) *
                                                     static_cast<double>(LineView::kHourMs));
    return j;
}

json StationJson(const StationActivity& a, int64_t nowMs) {
    json failures = json::array();
    for (const auto& [code, n] : a.failuresHour)
        failures.push_back({{"code", code}, {"text", ResultText(code)}, {"count", n}});
    const bool writing = a.open || (a.lastMs > 0 && nowMs - a.lastMs < kWritingMs);
    return {{"station", a.station},
            {"state", writing ? "writing" : "idle"},
            {"lastMs", a.lastMs ? json(a.lastMs) : json(nullptr)},
            {"lastMode", a.lastMode},
            {"lastId", a.lastId},
            {"lastResult", Optional(a.lastResult)},
            {"lastResultText", a.lastResult ? json(ResultText(*a.lastResult)) : json(nullptr)},
            {"writtenHour", a.writtenHour},
            {"failedHour", a.failedHour},
            {"failures", std::move(failures)}};
}

json AttentionJson(const AttentionItem& a) {
    json commands = json::array();
    const std::string id = ShellWord(a.id);
    if (a.kind == AttentionKind::Collision) {
        commands.push_back("tagsmith-cli read");
    } else {
        commands.push_back("tagsmith-cli ledger confirm " + id);
        commands.push_back("tagsmith-cli ledger release " + id);
    }
    return {{"kind", Kind(a.kind)},         {"id", a.id},
            {"station", a.station},         {"device", a.device},
            {"timeMs", a.timeMs},           {"otherStation", a.otherStation},
            {"otherDevice", a.otherDevice}, {"commands", std::move(commands)}};
}

}  // namespace

std::string ResultText(int64_t code) {
    switch (code) {
        case 0:
            return "成功";
        case 1:
            return "烧写失败";
        case 822:
            return "ID格式无效";
        case 829:
            return "ID过长";
        default:
            return "错误码 " + std::to_string(code);
    }
}

std::string SnapshotJson(const LineSnapshot& s) {
    json j;
    j["nowMs"] = s.nowMs;
    j["counts"] = {{"reserved", s.counts.reserved}, {"written", s.counts.written},
                   {"verified", s.counts.verified}, {"released", s.counts.released},
                   {"inDoubt", s.counts.inDoubt},   {"replaced", s.counts.replaced}};
    json pools = json::array();
    for (size_t i = 0; i < s.pools.size(); ++i)
        pools.push_back(PoolJson(s.pools[i], s.poolWrittenHour[i], s.nowMs));
    j["pools"] = std::move(pools);
    json stations = json::array();
    for (const StationActivity& a : s.stations) stations.push_back(StationJson(a, s.nowMs));
    j["stations"] = std::move(stations);
    json slices = json::array();
    for (const ThroughputSlice& t : s.chart)
        slices.push_back({{"t", t.startMs},
                          {"station", t.station},
                          {"written", t.written},
                          {"failed", t.failed}});
    j["chart"] = {{"fromMs", s.chartFromMs}, {"sliceMs", s.sliceMs}, {"slices", std::move(slices)}};
    json attention = json::array();
    for (const AttentionItem& a : s.attention) attention.push_back(AttentionJson(a));
    j["attention"] = std::move(attention);
    j["attentionCut"] = s.attentionCut;
    return Dump(j);
}

std::string TrailJson(const IdTrail& t) {
    json rows = json::array();
    for (const TrailRow& r : t.rows)
        rows.push_back({{"seq", r.seq},
                        {"timeMs", r.timeMs},
                        {"station", r.station},
                        {"mode", r.mode},
                        {"source", r.source},
                        {"device", r.device},
                        {"usbSerial", r.usbSerial},
                        {"usbVendor", r.usbVendor},
                        {"usbProduct", r.usbProduct},
                        {"port", r.port},
                        {"result", Optional(r.result)},
                        {"resultText", r.result ? json(ResultText(*r.result)) : json(nullptr)},
                        {"verified", r.verified}});
    const IdRecord& rec = t.record;
    json j = {{"id", WideToUtf8(rec.id)},
              {"state", rec.state == IdState::None ? "" : IdStateName(rec.state)},
              {"station", rec.station},
              {"device", rec.device},
              {"timeMs", rec.timeMs},
              {"rows", std::move(rows)},
              {"nextAfter", Optional(t.nextAfter)}};
    return Dump(j);
}

const char* FailureKind(LedgerStatus s) {
    switch (s) {
        case LedgerStatus::Offline:
            return "offline";
        case LedgerStatus::Busy:
            return "slow";
        default:
            return "error";
    }
}

std::string ErrorJson(const LedgerResult& r) {
    return Dump(json{{"error", FailureKind(r.status)}, {"message", r.message}});
}

}  // namespace ts::web
