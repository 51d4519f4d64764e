// tagsmith-cli journal [--since TIME] [--csv FILE]: every attempt the ledger
// recorded, as readable lines or as CSV (FILE "-" is standard output).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <string>

#include "cli/Cli.h"
#include "cli/CliLedger.h"
#include "ledger/JournalCsv.h"
#include "ledger/LedgerSettings.h"
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

bool EndsWithCsv(const std::string& name) {
    if (name.size() < 4) return false;
    std::string ext = name.substr(name.size() - 4);
    for (char& c : ext) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return ext == ".csv";
}

// Why `path` must not be replaced by an export, or empty. The ledger and its
// side files are what the export reads (replacing them loses every record of
// the IDs written); the application folder holds the configuration, the
// plug-ins, the lock and the staging files the tool relies on, so there only
// a file named *.csv is written.
std::string Forbidden(const Context& ctx, const std::string& path, const files::Status& st) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path real = fs::weakly_canonical(fs::path(path), ec);
    const auto same = [&](const std::string& other) {
        files::Status o;
        if (st.kind != files::Kind::Missing && files::StatPath(other, true, &o) &&
            o.identity == st.identity)
            return true;
        std::error_code e2;
        const fs::path otherReal = fs::weakly_canonical(fs::path(other), e2);
        return !ec && !e2 && real == otherReal;
    };
    const LedgerSettings ledger = ctx.Ledger();
    if (!ledger.off && !IsSharedLedger(ledger.location)) {
        for (const char* side : {"", "-wal", "-shm", "-journal"}) {
            if (same(ledger.location + side))
                return "it is the ledger" + std::string(*side ? " or one of its files" : "") +
                       ", which the journal is read from";
        }
    }
    if (!ctx.appDir.empty() && !ec && !EndsWithCsv(real.filename().string())) {
        std::error_code e2;
        if (fs::equivalent(real.parent_path(), fs::path(ctx.appDir), e2))
            return "the application folder's files are never replaced (only a name ending in "
                   ".csv is written there)";
    }
    return {};
}

// CSV into a FIFO or a character device: written as it comes, never
// replaced. A FIFO that no program reads is refused instead of waited on.
int ExportToStream(IdLedger& ledger, const JournalOptions& o, const std::string& path) {
    const int fd = files::Open(path, files::kWrite | files::kNonBlock);
    if (fd < 0) {
        const int err = errno;
        std::fprintf(stderr, "tagsmith-cli: cannot write %s: %s\n", o.csv->c_str(),
                     err == ENXIO ? "no program reads from it" : std::strerror(err));
        return kExitFailed;
    }
    uint64_t rows = 0;
    const LedgerResult r = ExportJournalCsv(
        ledger, o.since,
        [&](std::string_view b) { return files::WriteAll(fd, b.data(), b.size()); }, &rows);
    files::Close(fd);
    if (!r.ok()) {
        std::fprintf(stderr, "tagsmith-cli: cannot write %s: %s\n", o.csv->c_str(),
                     Safe(r.message).c_str());
        return kExitFailed;
    }
    std::fprintf(stderr, "%llu attempts written to %s\n", static_cast<unsigned long long>(rows),
                 o.csv->c_str());
    return kExitOk;
}

// CSV into a file: written beside it under a temporary name and renamed over
// it when complete, so a failed export never leaves half a file (or destroys
// an earlier export). A link is followed: the file it names is replaced.
int ExportToFile(const Context& ctx, IdLedger& ledger, const JournalOptions& o) {
    const std::string target = files::ResolveLink(*o.csv);
    files::Status st;
    if (!files::StatPath(target, true, &st)) st.kind = files::Kind::Missing;
    std::string refusal;
    if (st.kind == files::Kind::Folder) {
        refusal = "it is a folder";
    } else if (st.kind == files::Kind::Special) {
        if (st.stream) return ExportToStream(ledger, o, target);
        refusal = "it is a socket or a block device, not a file";
    } else {
        refusal = Forbidden(ctx, target, st);
    }
    if (!refusal.empty()) {
        std::fprintf(stderr, "tagsmith-cli: will not write %s: %s\n", o.csv->c_str(),
                     refusal.c_str());
        return kExitFailed;
    }
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
        if (!r.ok()) why = ": " + Safe(r.message);
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
            line += Safe(f);
        }
        line += "  ";
        line += Safe(row.id.empty() ? std::string_view("-") : row.id);
        if (!row.source.empty()) {
            line += "  ";
            line += Safe(Source(row));
        }
        DeviceInfo d;
        d.node = row.device;
        d.port = row.port;
        d.usbSerial = row.usbSerial;
        const std::string device = d.Summary();
        if (!device.empty()) {
            line += "  ";
            line += Safe(device);
        }
        line += row.result ? "  result " + std::to_string(*row.result) : "  unfinished";
        line += "  " + std::to_string(row.durationMs) + " ms";
        if (row.verified) line += "  verified";
        line += '\n';
        failed = !WriteTo(stdout, line);
        return !failed;
    });
    if (!r.ok()) {
        std::fprintf(stderr, "tagsmith-cli: %s\n", Safe(r.message).c_str());
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
    if (*o.csv != "-") return ExportToFile(ctx, *ledger, o);
    const LedgerResult e =
        ExportJournalCsv(*ledger, o.since, [](std::string_view b) { return WriteTo(stdout, b); });
    if (!e.ok() || std::fflush(stdout) != 0) {
        std::fprintf(stderr, "tagsmith-cli: the journal could not be written to standard output\n");
        return kExitFailed;
    }
    return kExitOk;
}

}  // namespace ts::cli
