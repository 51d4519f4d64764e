#include "ledger/LineView.h"

#include <algorithm>
#include <set>

#include "ledger/LedgerKinds.h"
#include "ledger/LedgerSettings.h"
#include "platform/Codepage.h"

namespace ts {

namespace {

// The journal's counter parts as the counter forms IDs: blanks removed.
std::string Clean(std::string_view part) {
    std::string s;
    for (char c : part)
        if (c != ' ' && c != '\t' && c != '\r') s += c;
    return s;
}

// Which pool a write drew from, as one text; empty for a scanned ID.
std::string PoolKey(std::string_view source, std::string_view sha, std::string_view prefix,
                    std::string_view suffix, bool down) {
    if (source == "file") return "f:" + std::string(sha);
    if (source == "counter")
        return "c:" + Clean(prefix) + '\x1f' + Clean(suffix) + '\x1f' + (down ? "d" : "u");
    return {};
}

std::string PoolKey(const IdSource& s) {
    if (s.kind == IdSource::Kind::File) return PoolKey("file", s.fileSha256, "", "", false);
    if (s.kind == IdSource::Kind::Counter)
        return PoolKey("counter", "", WideToUtf8(s.prefix), WideToUtf8(s.suffix), s.down);
    return {};
}

// Operator releases looked into for collisions per snapshot.
constexpr size_t kReleasesChecked = 20;
// Attempts on one released ID read to find its collision.
constexpr size_t kRowsPerRelease = 200;

}  // namespace

LineView::LineView(std::unique_ptr<IdLedger> ledger) : ledger_(std::move(ledger)) {}
LineView::~LineView() = default;

std::string LineView::Describe() const { return ledger_->Describe(); }

LedgerResult LineView::Open(const std::string& location, std::unique_ptr<LineView>* out) {
    out->reset();
    LedgerOpenOptions options;
    options.create = false;
    options.readOnly = true;
    options.station = "tagsmith-serve";
    std::unique_ptr<IdLedger> ledger;
    const bool shared = IsSharedLedger(location);
    LedgerResult r = shared ? OpenSharedLedger(location, options, &ledger, nullptr)
                            : OpenLocalLedger(location, options, &ledger, nullptr);
    if (!r.ok()) return r;
    return shared ? OpenPgLineView(location, std::move(ledger), out)
                  : OpenSqliteLineView(location, std::move(ledger), out);
}

LedgerResult LineView::Snapshot(int64_t nowMs, LineSnapshot* out) {
    LineSnapshot s;
    s.nowMs = nowMs;
    s.sliceMs = kSliceMs;
    s.chartFromMs = (nowMs - kShiftMs) / kSliceMs * kSliceMs + kSliceMs;
    LedgerResult r = ledger_->Counts(&s.counts);
    if (!r.ok()) return r;
    r = ledger_->Pools(nullptr, &s.pools);
    if (!r.ok() && r.status != LedgerStatus::Unsupported) return r;

    std::map<std::string, size_t> poolIndex;
    for (size_t i = 0; i < s.pools.size(); ++i) poolIndex[PoolKey(s.pools[i].source)] = i;
    s.poolWrittenHour.assign(s.pools.size(), 0);
    std::map<std::string, StationActivity> stations;
    std::map<std::pair<int64_t, std::string>, ThroughputSlice> slices;
    std::vector<std::string> released;
    std::set<std::string> releasedSeen;
    const int64_t hourFrom = nowMs - kHourMs;
    bool more = false;
    r = JournalPage(
        s.chartFromMs, INT64_MAX, 0, kWindowRows,
        [&](const JournalRow& row, bool reserved) {
            StationActivity& a = stations[std::string(row.station)];
            if (row.timeMs >= a.lastMs) {
                a.lastMs = row.timeMs;
                a.lastMode = row.mode;
                a.lastId = row.id;
                a.lastResult = row.result;
                a.open = row.mode == "write" && !row.result;
            }
            if (row.mode == "release" && released.size() < kReleasesChecked &&
                releasedSeen.insert(std::string(row.id)).second)
                released.emplace_back(row.id);
            if (row.mode != "write" || !row.result || !reserved) return;
            const bool ok = *row.result == 0;
            const int64_t slice = (row.timeMs - s.chartFromMs) / kSliceMs * kSliceMs;
            ThroughputSlice& t = slices[{s.chartFromMs + slice, std::string(row.station)}];
            (ok ? t.written : t.failed) += 1;
            if (row.timeMs < hourFrom) return;
            if (ok) {
                ++a.writtenHour;
                const auto p = poolIndex.find(PoolKey(row.source, row.fileSha256, row.prefix,
                                                      row.suffix, row.direction == "down"));
                if (p != poolIndex.end()) ++s.poolWrittenHour[p->second];
            } else {
                ++a.failedHour;
                ++a.failuresHour[*row.result];
            }
        },
        &more);
    if (!r.ok()) return r;
    // Stations that hold IDs of a pool but did nothing in the shift.
    for (const PoolStatus& p : s.pools)
        for (const StationCounts& c : p.stations) stations[c.station];
    for (auto& [name, a] : stations) {
        a.station = name;
        s.stations.push_back(std::move(a));
    }
    for (auto& [key, t] : slices) {
        t.startMs = key.first;
        t.station = key.second;
        s.chart.push_back(std::move(t));
    }
    r = Attention(released, &s);
    if (!r.ok()) return r;
    *out = std::move(s);
    return {};
}

LedgerResult LineView::Attention(const std::vector<std::string>& releasedIds, LineSnapshot* out) {
    std::vector<IdRecord> held;
    LedgerResult r = ledger_->ListReserved(&held);
    if (!r.ok()) return r;
    auto add = [&](AttentionItem item) {
        if (out->attention.size() >= kAttentionLimit) {
            out->attentionCut = true;
            return;
        }
        out->attention.push_back(std::move(item));
    };
    for (const IdRecord& rec : held) {
        AttentionItem item;
        if (rec.state == IdState::InDoubt) {
            item.kind = AttentionKind::InDoubt;
        } else if (rec.state == IdState::Reserved && !rec.live) {
            item.kind = AttentionKind::DeadReservation;
        } else {
            continue;
        }
        item.id = WideToUtf8(rec.id);
        item.station = rec.station;
        item.device = rec.device;
        item.timeMs = rec.timeMs;
        add(std::move(item));
    }
    // A collision: a write whose confirmation came after the operator
    // released its reservation and another write took the ID (the late
    // confirmation's row has result 1, the ID's record the other write).
    for (const std::string& id : releasedIds) {
        int64_t releaseSeq = 0;
        std::vector<TrailRow> late;
        r = RowsOfId(id, 0, kRowsPerRelease, [&](const JournalRow& row, bool reserved) {
            if (row.mode == "release" && !releaseSeq) releaseSeq = row.seq;
            if (row.mode == "write" && reserved && row.result == 1) {
                TrailRow t;
                t.seq = row.seq;
                t.timeMs = row.timeMs;
                t.station = row.station;
                t.device = row.device;
                late.push_back(std::move(t));
            }
        });
        if (!r.ok()) return r;
        IdRecord rec;
        r = ledger_->Lookup(Utf8ToWide(id), &rec);
        if (!r.ok()) return r;
        if (rec.state != IdState::Written && rec.state != IdState::Verified) continue;
        for (const TrailRow& t : late) {
            if (t.seq > releaseSeq || (t.station == rec.station && t.device == rec.device))
                continue;
            AttentionItem item;
            item.kind = AttentionKind::Collision;
            item.id = id;
            item.station = t.station;
            item.device = t.device;
            item.timeMs = t.timeMs;
            item.otherStation = rec.station;
            item.otherDevice = rec.device;
            add(std::move(item));
        }
    }
    return {};
}

LedgerResult LineView::JournalPage(int64_t fromMs, int64_t toMs, int64_t afterSeq, size_t limit,
                                   const RowSink& sink, bool* more) {
    size_t n = 0;
    *more = false;
    return RowsInWindow(fromMs, toMs, afterSeq, limit + 1,
                        [&](const JournalRow& row, bool reserved) {
                            if (n++ < limit) {
                                sink(row, reserved);
                            } else {
                                *more = true;
                            }
                        });
}

LedgerResult LineView::Trail(std::string_view id8, int64_t afterSeq, size_t limit, IdTrail* out) {
    IdTrail t;
    LedgerResult r = ledger_->Lookup(Utf8ToWide(id8), &t.record);
    if (!r.ok()) return r;
    r = RowsOfId(id8, afterSeq, limit + 1, [&](const JournalRow& row, bool) {
        TrailRow x;
        x.seq = row.seq;
        x.timeMs = row.timeMs;
        x.station = row.station;
        x.mode = row.mode;
        x.source = row.source;
        x.device = row.device;
        x.usbSerial = row.usbSerial;
        x.usbVendor = row.usbVendor;
        x.usbProduct = row.usbProduct;
        x.port = row.port;
        x.result = row.result;
        x.verified = row.verified;
        t.rows.push_back(std::move(x));
    });
    if (!r.ok()) return r;
    if (t.rows.size() > limit) {
        t.rows.resize(limit);
        t.nextAfter = t.rows.back().seq;
    }
    *out = std::move(t);
    return {};
}

}  // namespace ts
