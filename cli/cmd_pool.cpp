// tagsmith-cli pool status [FILE] | import FILE: the pools the stations of a
// line allocate from (ID lists, known by their content, and counters), with
// each station's share, for the supervisor; and loading a list into the
// ledger before the stations start.
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cli/Cli.h"
#include "cli/CliLedger.h"
#include "idsource/IdList.h"
#include "ledger/JournalCsv.h"
#include "ledger/Sha256.h"
#include "platform/Codepage.h"
#include "platform/Files.h"

namespace ts::cli {
namespace {

void PoolUsage() {
    std::fputs("usage: tagsmith-cli pool status [FILE]\n       tagsmith-cli pool import FILE\n",
               stderr);
}

// Status only reads; an import makes the ledger when it is missing.
std::unique_ptr<IdLedger> OpenPool(const Context& ctx, bool create) {
    return OpenCommandLedger(ctx, create, !create);
}

// An ID file as the list page loads it, with the digest of the bytes loaded.
struct LoadedList {
    IdList list;
    std::vector<uint32_t> lines;
    std::string sha256;
};

// The file is read once, and the same bytes are parsed and hashed: the
// digest names the list the stations loaded. Only a regular file is opened
// (a FIFO would never end).
bool LoadList(const std::string& path, LoadedList* out) {
    auto fail = [&](const std::string& why) {
        std::fprintf(stderr, "tagsmith-cli: %s: not loaded: %s\n", Safe(path).c_str(),
                     Safe(why).c_str());
        return false;
    };
    files::Status st;
    if (!files::StatPath(path, true, &st)) return fail(std::strerror(errno));
    if (st.kind != files::Kind::Regular)
        return fail(st.kind == files::Kind::Folder ? "a folder" : "not a file");
    if (st.size >= (uint64_t{1} << 32)) return fail("4 GiB or more");
    const int fd = files::Open(path, files::kRead | files::kNonBlock);
    if (fd < 0) return fail(std::strerror(errno));
    std::string bytes;
    char buf[1 << 16];
    long long n = 0;
    while ((n = files::Read(fd, buf, sizeof buf)) > 0) bytes.append(buf, static_cast<size_t>(n));
    const int readErr = n < 0 ? errno : 0;
    files::Close(fd);
    if (readErr != 0) return fail(std::strerror(readErr));
    const IdFileError err = ParseIdFileBytes(reinterpret_cast<const uint8_t*>(bytes.data()),
                                             bytes.size(), &out->list, nullptr, &out->lines);
    if (err != IdFileError::None) return fail(IdFileErrorText(err));
    out->sha256 = Sha256Hex(bytes);
    return true;
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Describe(const PoolStatus& p) {
    if (p.source.kind == IdSource::Kind::File) {
        std::string s = "list " + Safe(p.source.fileName.empty() ? "-" : p.source.fileName) +
                        " (sha256 " + Safe(p.source.fileSha256) + "): ";
        if (p.imported) {
            s += std::to_string(p.entries) + " entries, " + std::to_string(p.free) + " free";
        } else {
            s += "not imported (entries unknown: tagsmith-cli pool import FILE)";
        }
        return s;
    }
    std::string s = "counter " + Safe(WideToUtf8(p.source.prefix)) + "<hex>" +
                    Safe(WideToUtf8(p.source.suffix)) + (p.source.down ? " down: " : " up: ");
    if (!p.counterKnown) return s + "next value not kept (no station shared it yet)";
    if (!p.next) return s + "done (zero was handed out)";
    return s + "next " + Safe(WideToUtf8(*p.next));
}

void PrintPool(const PoolStatus& p) {
    std::printf("%s\n", Describe(p).c_str());
    if (p.stations.empty()) {
        std::puts("  no station has taken an ID from it");
        return;
    }
    size_t width = 7;  // "station"
    for (const StationCounts& c : p.stations) width = std::max(width, Safe(c.station).size());
    std::printf("  %-*s  %8s  %8s  %8s  %8s  %8s\n", static_cast<int>(width), "station", "reserved",
                "written", "verified", "failed", "in doubt");
    for (const StationCounts& c : p.stations)
        std::printf("  %-*s  %8" PRIu64 "  %8" PRIu64 "  %8" PRIu64 "  %8" PRIu64 "  %8" PRIu64
                    "\n",
                    static_cast<int>(width), Safe(c.station).c_str(), c.reserved, c.written,
                    c.verified, c.failed, c.inDoubt);
}

int Status(const Context& ctx, const std::string* file) {
    LoadedList loaded;
    if (file && !LoadList(*file, &loaded)) return kExitFailed;
    auto ledger = OpenPool(ctx, false);
    if (!ledger) return kExitFailed;
    std::vector<PoolStatus> pools;
    LedgerResult r;
    if (file) {
        const IdSource src = IdSource::FromFile(loaded.sha256, BaseName(*file), 0);
        r = ledger->Pools(&src, &pools);
        // A list the ledger does not keep: its entries are counted here.
        if (r.ok() && !pools.empty() && !pools[0].imported) {
            std::vector<IdState> states;
            const IdList& list = loaded.list;
            r = ledger->StatesOf(
                list.size(), [&](size_t i) { return list.Text(i); }, &states);
            pools[0].imported = true;
            pools[0].source.fileName = BaseName(*file);
            pools[0].entries = states.size();
            pools[0].free = 0;
            for (IdState s : states) pools[0].free += IsHeld(s) ? 0 : 1;
        }
    } else {
        r = ledger->Pools(nullptr, &pools);
    }
    if (!r.ok()) {
        std::fprintf(stderr, "tagsmith-cli: %s\n", Safe(r.message).c_str());
        return kExitFailed;
    }
    std::printf("ledger: %s\n", Safe(ledger->Describe()).c_str());
    if (pools.empty()) std::puts("no list or counter in the ledger yet");
    for (const PoolStatus& p : pools) PrintPool(p);
    return std::fflush(stdout) == 0 ? kExitOk : kExitFailed;
}

int Import(const Context& ctx, const std::string& file) {
    LoadedList loaded;
    if (!LoadList(file, &loaded)) return kExitFailed;
    auto ledger = OpenPool(ctx, true);
    if (!ledger) return kExitFailed;
    const IdList& list = loaded.list;
    bool added = false;
    const LedgerResult r = ledger->ImportList(
        loaded.sha256, BaseName(file), list.size(), [&](size_t i) { return list.Text(i); },
        [&](size_t i) { return i < loaded.lines.size() ? loaded.lines[i] : 0u; }, &added);
    if (!r.ok()) {
        std::fprintf(stderr, "tagsmith-cli: %s\n", Safe(r.message).c_str());
        return kExitFailed;
    }
    std::printf("%s %s (sha256 %s): %zu entries\n",
                added ? "imported" : "already in the ledger:", Safe(file).c_str(),
                loaded.sha256.c_str(), list.size());
    return std::fflush(stdout) == 0 ? kExitOk : kExitFailed;
}

}  // namespace

int CmdPool(Context& ctx) {
    const auto& a = ctx.args;
    if (!a.empty() && a[0] == "status" && a.size() <= 2)
        return Status(ctx, a.size() == 2 ? &a[1] : nullptr);
    if (a.size() == 2 && a[0] == "import") return Import(ctx, a[1]);
    PoolUsage();
    return kExitUsage;
}

}  // namespace ts::cli
