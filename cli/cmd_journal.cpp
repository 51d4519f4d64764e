// tagsmith-cli journal [--since TIME] [--csv FILE]: every attempt the ledger
// recorded, as readable lines or as CSV (FILE "-" is standard output).
#include <cstdio>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <string>

#include "cli/Cli.h"
#include "cli/CliLedger.h"
#include "ledger/JournalCsv.h"
#include "platform/Files.h"
#include "platform/Profile.h"

namespace ts::cli {
namespace {

struct JournalOptions {
    int64_t since = std::numeric_limits<int64_t>::min();
    std::optional<std::string> csv;
};

void JournalUsage() {
    std::fputs(
        "usage: tagsmith-cli journal [--since TIME] [--csv FILE]\n"
        "  TIME: YYYY-MM-DD[THH:MM[:SS[.fff]]][Z], UTC; FILE '-': standard output\n",
        stderr);
}

bool Parse(const std::vector<std::string>& args, JournalOptions& o) {
    bool since = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (i + 1 >= args.size()) return false;
        if (a == "--since" && !since) {
            const std::optional<int64_t> t = ParseUtcTime(args[++i]);
            if (!t) {
                std::fprintf(stderr, "tagsmith-cli: --since: not a time: %s\n", args[i].c_str());
                return false;
            }
            o.since = *t;
            since = true;
        } else if (a == "--csv" && !o.csv) {
            o.csv = args[++i];
        } else {
            return false;
        }
    }
    return true;
}

struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f) std::fclose(f);
    }
};

bool WriteTo(std::FILE* f, std::string_view bytes) {
    return std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
}

// CSV into a file: written beside it under a temporary name and renamed over
// it when complete, so a failed export never leaves half a file (or destroys
// an earlier export).
int ExportToFile(IdLedger& ledger, const JournalOptions& o) {
    const std::string& target = *o.csv;
    const size_t slash = target.find_last_of(files::kPathSeparators);
    const std::string dir = slash == std::string::npos ? "./" : target.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    const std::string tmp = dir + "." + name + ".tmp-" + std::to_string(std::random_device{}());
    std::unique_ptr<std::FILE, FileCloser> f(files::OpenStream(tmp, "wbx"));
    if (!f) {
        std::fprintf(stderr, "tagsmith-cli: cannot write %s\n", o.csv->c_str());
        return kExitFailed;
    }
    uint64_t rows = 0;
    LedgerResult r = ExportJournalCsv(
        ledger, o.since, [&](std::string_view b) { return WriteTo(f.get(), b); }, &rows);
    const bool closed = std::fclose(f.release()) == 0;
    const int moved = r.ok() && closed ? files::Rename(tmp, target) : 0;
    if (!r.ok() || !closed || moved != 0) {
        files::Remove(tmp);
        std::string why;
        if (!r.ok()) AppendSafeText(why, ": " + r.message);
        std::fprintf(stderr, "tagsmith-cli: cannot write %s%s\n", o.csv->c_str(), why.c_str());
        return kExitFailed;
    }
    std::fprintf(stderr, "%llu attempts written to %s\n", static_cast<unsigned long long>(rows),
                 o.csv->c_str());
    return kExitOk;
}

std::string Source(const JournalRow& row) {
    std::string s(row.source);
    if (row.source == "file") {
        s += " ";
        s += row.fileName.empty() ? row.fileSha256.substr(0, 12) : row.fileName;
        if (row.line > 0) s += ":" + std::to_string(row.line);
    } else if (row.source == "counter") {
        s += " ";
        s += row.prefix;
        s += "*";
        s += row.suffix;
        s += " ";
        s += row.direction;
    }
    return s;
}

// One readable line per attempt.
int PrintLines(IdLedger& ledger, const JournalOptions& o) {
    bool failed = false;
    std::string line;
    LedgerResult r = ledger.ReadJournal(o.since, [&](const JournalRow& row) {
        line = FormatUtcMs(row.timeMs);
        for (std::string_view f : {row.station, row.mode}) {
            line += "  ";
            AppendSafeText(line, f);
        }
        line += "  ";
        AppendSafeText(line, row.id.empty() ? std::string_view("-") : row.id);
        if (!row.source.empty()) {
            line += "  ";
            AppendSafeText(line, Source(row));
        }
        DeviceInfo d;
        d.node = row.device;
        d.port = row.port;
        d.usbSerial = row.usbSerial;
        const std::string device = d.Summary();
        if (!device.empty()) {
            line += "  ";
            AppendSafeText(line, device);
        }
        line += row.result ? "  result " + std::to_string(*row.result) : "  unfinished";
        line += "  " + std::to_string(row.durationMs) + " ms";
        if (row.verified) line += "  verified";
        line += '\n';
        failed = !WriteTo(stdout, line);
        return !failed;
    });
    if (!r.ok()) {
        std::string msg;
        AppendSafeText(msg, r.message);
        std::fprintf(stderr, "tagsmith-cli: %s\n", msg.c_str());
        return kExitFailed;
    }
    return failed || std::fflush(stdout) != 0 ? kExitFailed : kExitOk;
}

}  // namespace

int CmdJournal(Context& ctx) {
    JournalOptions o;
    if (!Parse(ctx.args, o)) {
        JournalUsage();
        return kExitUsage;
    }
    const std::unique_ptr<IdLedger> ledger = OpenCommandLedger(ctx, false, true);
    if (!ledger) return kExitFailed;
    if (!o.csv) return PrintLines(*ledger, o);
    if (*o.csv != "-") return ExportToFile(*ledger, o);
    const LedgerResult e =
        ExportJournalCsv(*ledger, o.since, [](std::string_view b) { return WriteTo(stdout, b); });
    if (!e.ok() || std::fflush(stdout) != 0) {
        std::fprintf(stderr, "tagsmith-cli: the journal could not be written to standard output\n");
        return kExitFailed;
    }
    return kExitOk;
}

}  // namespace ts::cli
